/* The smallest program that links what quenvale-init cannot do without:
 * static musl start-up and one libblkid UUID probe. bench/size_report.sh
 * builds it the way the shipped init is built and sets the init against
 * it. */
#include <blkid.h>
#include <stdio.h>

int main(int argc, char **argv) {
  blkid_probe probe =
      blkid_new_probe_from_filename(argc > 1 ? argv[1] : "/dev/null");
  if (probe == NULL) return 1;
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_UUID);
  const char *uuid = NULL;
  const int found = blkid_do_probe(probe) == 0 &&
                    blkid_probe_lookup_value(probe, "UUID", &uuid, NULL) == 0;
  if (found) puts(uuid);
  blkid_free_probe(probe);
  return found ? 0 : 2;
}
