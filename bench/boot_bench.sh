#!/usr/bin/env bash
# Boot benchmark: quenvale-init against a busybox ash script doing the same
# job as /init (bench/busybox-init.sh), under QEMU (TCG) with the kernels
# of tests/boot.
#
# Usage: bench/boot_bench.sh [-n COUNT] [ARCH]...   (ARCH: a machine of tools/arches.tsv)
#   COUNT: boots per image and architecture (default 5, or
#   QUENVALE_BENCH_COUNT); architectures default to all five.
#   QUENVALE_BOOT_TIMEOUT: seconds per boot (default 120).
#
# Measured per boot, from the console with printk.time=1:
#   hand-over: the kernel's "Run /init as init process" stamp to the first
#     action of /etc/preinit, a line it writes to /dev/kmsg (same clock,
#     microseconds); also to the /proc/uptime it prints next (10 ms steps,
#     and after mounting /proc);
#   e2fsck: the time /bin/e2fsck took, printed by bench/e2fsck_timer.c,
#     which stands in for /bin/e2fsck in both images and runs the real one;
#   phases: the kernel's stamps of the partition scan (" vda: vda1") and of
#     the root mount split the hand-over in three.
# Boots alternate between the images (A, B, A, B, ...), so drift in this
# machine's speed hits both alike; ratios compare the two medians of one
# run. Both boot root=UUID=: busybox's findfs has no PARTUUID= form.
#
# Prints the tables and exits 0; exits 1 as soon as a boot does not reach
# /etc/preinit with /dev/vda1 mounted as ext4, with the console's tail.
# Work files and console logs go to .cache/boot/bench; the raw figures to
# .cache/boot/bench/results.tsv. Not part of tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/lib/guests.sh"

count=${QUENVALE_BENCH_COUNT:-5}
limit=${QUENVALE_BOOT_TIMEOUT:-120}
arches=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) [ $# -ge 2 ] || { echo "-n needs a count" >&2; exit 2; }; count=$2; shift ;;
    -h|--help) sed -n '2,28p' "$0"; exit 0 ;;
    *) qv_known_arch "$1" || { echo "unknown argument: $1" >&2; exit 2; }
       arches+=("$1") ;;
  esac
  shift
done
[[ $count =~ ^[1-9][0-9]*$ ]] || { echo "count must be a positive number: $count" >&2; exit 2; }
[ ${#arches[@]} -gt 0 ] || arches=("${QV_ALL_ARCHES[@]}")

IMAGES=(quenvale busybox)
work=$QV_CACHE/bench
results=$work/results.tsv
mkdir -p "$work/logs"

fail() { echo "boot_bench: $*" >&2; exit 1; }

# build_images ARCH: the images as they would ship (sizes) and as booted
# (with the e2fsck timer); sets nothing, writes into $work/ARCH.
build_images() {
  local arch=$1 dir=$work/$1 timer_args bb_args
  mkdir -p "$dir"
  qv_guest_cc "$arch" "$dir/e2fsck-timer" "$here/e2fsck_timer.c"
  bb_args=(--file "/init=$here/busybox-init.sh" --file "/bin/busybox=$QV_BUSYBOX")
  timer_args=(--file "/bin/e2fsck=$dir/e2fsck-timer" --file "/bin/e2fsck.real=$QV_E2FSCK")
  qv_make_image "$arch" "$dir/quenvale.img" --gzip
  qv_make_image "$arch" "$dir/quenvale.cpio" --compress none
  qv_make_image "$arch" "$dir/busybox.img" --gzip "${bb_args[@]}"
  qv_make_image "$arch" "$dir/busybox.cpio" --compress none "${bb_args[@]}"
  qv_make_image "$arch" "$dir/quenvale-timed.img" --gzip "${timer_args[@]}"
  qv_make_image "$arch" "$dir/busybox-timed.img" --gzip "${bb_args[@]}" "${timer_args[@]}"
  # The comparison must not carry quenvale-init, nor quenvale's image the
  # script: the sizes would mean nothing otherwise.
  # (The caller shows this function's output only when it fails: a plain
  # return, not fail's exit, lets it.)
  cmp -s <(cpio -i --quiet --to-stdout init <"$dir/busybox.cpio") "$here/busybox-init.sh" ||
    { echo "$arch: /init of the busybox image is not bench/busybox-init.sh"; return 1; }
  cmp -s <(cpio -i --quiet --to-stdout init <"$dir/quenvale.cpio") "$QV_INIT" ||
    { echo "$arch: /init of the quenvale image is not quenvale-init"; return 1; }
  "$QV_ROOT/tools/make-disk.sh" "$dir/bench.disk" "$QV_BUSYBOX" \
    --preinit "$here/preinit.sh" --char-node /dev/kmsg:1:11
}

# parse LOG: one tab-separated line of the figures the boot printed, or
# nothing when one is missing. Kernel lines can break into user-space
# output, so stamps are searched anywhere in a line.
parse() {
  tr -d '\r' <"$1" | awk '
    function stamp(marker,   m) {
      if (match($0, "\\[ *[0-9]+\\.[0-9]+\\] " marker)) {
        m = substr($0, RSTART + 1, RLENGTH - 1)
        sub(/\].*/, "", m)
        gsub(/ /, "", m)
        return m
      }
      return ""
    }
    { s = stamp("Run /init as init process"); if (s != "") start = s
      s = stamp(" vda: vda1"); if (s != "") found = s
      s = stamp("EXT4-fs \\(vda1\\): mounted"); if (s != "") mounted = s
      s = stamp("QVBENCH-PREINIT($|[^-])"); if (s != "") pre = s
      s = stamp("QVBENCH-SYNC($|[^-])"); if (s != "") sync = s }
    match($0, /QVBENCH-UPTIME [0-9.]+/) { up = substr($0, RSTART + 15, RLENGTH - 15) }
    match($0, /QVBENCH-E2FSCK-US [0-9]+/) { e2 = substr($0, RSTART + 18, RLENGTH - 18); checks++ }
    match($0, /QVBENCH-SYNC-UPTIME [0-9.]+ [0-9.]+/) {
      split(substr($0, RSTART + 20, RLENGTH - 20), u, " "); before = u[1]; after = u[2] }
    /^QVBENCH-ROOT / { root = $2 " " $3 }
    END {
      if (start == "" || found == "" || mounted == "" || pre == "" || up == "" ||
          e2 == "" || sync == "" || before == "" || checks != 1 ||
          root != "/dev/vda1 ext4") exit 1
      print start "\t" pre "\t" up "\t" e2 "\t" sync "\t" before "\t" after "\t" found "\t" mounted
    }'
}

qv_install_deps "${arches[@]}"
for arch in "${arches[@]}"; do
  command -v "$(qv_guest_cc_name "$arch")" >/dev/null || fail "no $(qv_guest_cc_name "$arch") for the e2fsck timer"
done

printf 'arch\timage\tboot\tstart\tpreinit\tuptime\te2fsck_us\tsync\tsync_before\tsync_after\tvda1\tmounted\n' >"$results"
sizes=$work/sizes.tsv
printf 'arch\twhat\tbytes\n' >"$sizes"
machine=$work/machine.txt
{
  echo "nproc: $(nproc)"
  echo "cpu: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
  echo "qemu: $(qemu-system-x86_64 --version | head -n 1)"
} >"$machine"

for arch in "${arches[@]}"; do
  qv_fetch_guest "$arch"
  qv_build_init "$arch"
  qv_log "$arch: building the benchmark images"
  build_images "$arch" >"$work/$arch.build.log" 2>&1 ||
    { cat "$work/$arch.build.log" >&2; fail "$arch: could not build the images"; }
  dir=$work/$arch
  {
    printf '%s\tquenvale image (gzip)\t%s\n' "$arch" "$(stat -c %s "$dir/quenvale.img")"
    printf '%s\tbusybox image (gzip)\t%s\n' "$arch" "$(stat -c %s "$dir/busybox.img")"
    printf '%s\tquenvale image (cpio)\t%s\n' "$arch" "$(stat -c %s "$dir/quenvale.cpio")"
    printf '%s\tbusybox image (cpio)\t%s\n' "$arch" "$(stat -c %s "$dir/busybox.cpio")"
    printf '%s\tquenvale-init\t%s\n' "$arch" "$(stat -c %s "$QV_INIT")"
    printf '%s\tbusybox + script\t%s\n' "$arch" \
      "$(($(stat -c %s "$QV_BUSYBOX") + $(stat -c %s "$here/busybox-init.sh")))"
    printf '%s\tbusybox\t%s\n' "$arch" "$(stat -c %s "$QV_BUSYBOX")"
    printf '%s\tbusybox-init.sh\t%s\n' "$arch" "$(stat -c %s "$here/busybox-init.sh")"
    printf '%s\te2fsck.static (both)\t%s\n' "$arch" "$(stat -c %s "$QV_E2FSCK")"
  } >>"$sizes"
  echo "kernel $arch: $(basename "$QV_KERNEL")" >>"$machine"

  append="console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 root=UUID=$FS_UUID"
  for i in $(seq 1 "$count"); do
    for image in "${IMAGES[@]}"; do
      log=$work/logs/$arch-$image-$i.log
      qv_wait_for_quiet_machine || fail "another QEMU kept running"
      status=0
      qv_boot "$arch" "$dir/$image-timed.img" "$dir/bench.disk" "$append" "$log" "$limit" ||
        status=$?
      if [ $status -ne 0 ] || ! figures=$(parse "$log"); then
        echo "$arch $image boot $i did not reach /etc/preinit cleanly (qemu status $status)" >&2
        echo "console (${log#"$QV_ROOT"/}), last lines:" >&2
        tr -d '\r' <"$log" | tail -n 20 | sed 's/^/  | /' >&2
        exit 1
      fi
      printf '%s\t%s\t%s\t%s\n' "$arch" "$image" "$i" "$figures" >>"$results"
      awk -F'\t' -v a="$arch" -v m="$image" -v i="$i" \
        '{ printf "%-7s %-9s boot %-3s hand-over %8.1f ms, e2fsck %7.1f ms\n", a, m, i, ($2 - $1) * 1000, $4 / 1000 }' \
        <<<"$figures" >&2
    done
  done
done

python3 "$here/boot_report.py" "$results" "$sizes" "$machine"
