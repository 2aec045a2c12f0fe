/* The smallest program that links what quenvale-init cannot do without:
 * static glibc start-up and one libblkid probe. bench/size_report.sh
 * builds it with the release flags and sets quenvale-init against it. */
#include <blkid/blkid.h>
#include <stddef.h>

int main(int argc, char **argv) {
  blkid_probe probe =
      blkid_new_probe_from_filename(argc > 1 ? argv[1] : "/dev/null");
  if (probe == NULL) return 1;
  blkid_free_probe(probe);
  return 0;
}
