#!/usr/bin/env bash
# Boot benchmark: quenvale-init against a busybox ash script doing the same
# job as /init (bench/busybox-init.sh), under QEMU (TCG) with the kernels
# of tools/lib/guests.sh.
#
# Usage: bench/boot_bench.sh [-n COUNT] [CONFIGURATION...]
#   COUNT: boots per image and configuration (default 5, or
#   QUENVALE_BENCH_COUNT); configurations (bench/lib.sh) default to the
#   virtio root of every guest. QUENVALE_BOOT_TIMEOUT: seconds per boot
#   (default 120).
#
# Measured per boot, from the console with printk.time=1:
#   hand-over: the kernel's "Run /init as init process" stamp to the first
#     action of /etc/preinit, a line it writes to /dev/kmsg (same clock,
#     microseconds); also to the /proc/uptime it prints (10 ms steps, after
#     mounting sysfs and /proc);
#   e2fsck: the time /bin/e2fsck took, printed by bench/e2fsck_timer.c,
#     which stands in for /bin/e2fsck in both images and runs the real one;
#   phases: the kernel's stamps of the partition scan (" vda: vda1") and of
#     the root mount split the hand-over in three.
# Boots alternate between the images (A, B, A, B, ...), so drift in this
# machine's speed hits both alike; ratios compare the two medians of one
# run. Both boot root=UUID=: busybox's findfs has no PARTUUID= form.
#
# Prints the tables and exits 0; exits 1 as soon as a boot does not reach
# /etc/preinit with the root mounted as ext4, with the console's tail.
# Work files and console logs go to .cache/boot/bench; the raw figures to
# .cache/boot/bench/results.tsv. Not part of tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"

rounds=${QUENVALE_BENCH_COUNT:-5}
virtio=()
for config in "${!CONFIG_ARCH[@]}"; do
  [ "${CONFIG_BUS[$config]}" != virtio ] || virtio+=("$config")
done
mapfile -t virtio < <(printf '%s\n' "${virtio[@]}" | sort)
bench_options "${virtio[*]}" "$@"
[ ${#BENCH_OPT[@]} -eq 0 ] || { echo "unknown option: ${!BENCH_OPT[*]}" >&2; exit 2; }

IMAGES=(quenvale busybox)
work=$QV_CACHE/bench
results=$work/results.tsv
sizes=$work/sizes.tsv

fail() { echo "boot_bench: $*" >&2; exit 1; }

# build_images CONFIG: the images as they would ship (sizes) and as booted
# (with the e2fsck timer); sets nothing, writes into $work/CONFIG.
build_images() {
  local config=$1 arch=${CONFIG_ARCH[$1]} bus=${CONFIG_BUS[$1]} dir=$work/$1 timer_args bb_args
  mkdir -p "$dir"
  qv_guest_cc "$arch" "$dir/e2fsck-timer" "$here/e2fsck_timer.c"
  bb_args=(--file "/init=$here/busybox-init.sh" --file "/bin/busybox=$QV_BUSYBOX")
  timer_args=(--file "/bin/e2fsck=$dir/e2fsck-timer" --file "/bin/e2fsck.real=$QV_E2FSCK")
  qv_make_bus_image "$arch" "$bus" "$dir/quenvale.img" --gzip
  qv_make_bus_image "$arch" "$bus" "$dir/quenvale.cpio" --compress none
  qv_make_bus_image "$arch" "$bus" "$dir/busybox.img" --gzip "${bb_args[@]}"
  qv_make_bus_image "$arch" "$bus" "$dir/busybox.cpio" --compress none "${bb_args[@]}"
  qv_make_bus_image "$arch" "$bus" "$dir/quenvale-timed.img" --gzip "${timer_args[@]}"
  qv_make_bus_image "$arch" "$bus" "$dir/busybox-timed.img" --gzip "${bb_args[@]}" "${timer_args[@]}"
  # The comparison must not carry quenvale-init, nor quenvale's image the
  # script: the sizes would mean nothing otherwise.
  # (The caller shows this function's output only when it fails: a plain
  # return, not fail's exit, lets it.)
  cmp -s <(cpio -i --quiet --to-stdout init <"$dir/busybox.cpio") "$here/busybox-init.sh" ||
    { echo "$config: /init of the busybox image is not bench/busybox-init.sh"; return 1; }
  cmp -s <(cpio -i --quiet --to-stdout init <"$dir/quenvale.cpio") "$QV_INIT" ||
    { echo "$config: /init of the quenvale image is not quenvale-init"; return 1; }
}

bench_prepare "$work" "${arches[@]}"
printf 'config\twhat\tbytes\n' >"$sizes"
for config in "${configs[@]}"; do
  bench_use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the benchmark images"
  build_images "$config" >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
  dir=$work/$config
  {
    printf '%s\tquenvale image (gzip)\t%s\n' "$config" "$(stat -c %s "$dir/quenvale.img")"
    printf '%s\tbusybox image (gzip)\t%s\n' "$config" "$(stat -c %s "$dir/busybox.img")"
    printf '%s\tquenvale image (cpio)\t%s\n' "$config" "$(stat -c %s "$dir/quenvale.cpio")"
    printf '%s\tbusybox image (cpio)\t%s\n' "$config" "$(stat -c %s "$dir/busybox.cpio")"
    printf '%s\tquenvale-init\t%s\n' "$config" "$(stat -c %s "$QV_INIT")"
    printf '%s\tbusybox + script\t%s\n' "$config" \
      "$(($(stat -c %s "$QV_BUSYBOX") + $(stat -c %s "$here/busybox-init.sh")))"
    printf '%s\tbusybox\t%s\n' "$config" "$(stat -c %s "$QV_BUSYBOX")"
    printf '%s\tbusybox-init.sh\t%s\n' "$config" "$(stat -c %s "$here/busybox-init.sh")"
    printf '%s\te2fsck.static (both)\t%s\n' "$config" "$(stat -c %s "$QV_E2FSCK")"
  } >>"$sizes"
done

# A boot's figures: the stamps of /init's start, preinit, the partition
# line, the root's mount and the clock check, preinit's uptime reads and
# e2fsck's microseconds; e2fsck must have run once.
FIGURES=(start preinit uptime e2fsck_us sync sync_before sync_after found mounted)
printf 'config\timage\tboot\tstart\tpreinit\tuptime\te2fsck_us\tsync\tsync_before\tsync_after\tpartition\tmounted\n' >"$results"
for config in "${configs[@]}"; do
  arch=${CONFIG_ARCH[$config]}
  bench_use_arch "$arch"
  for i in $(seq 1 "$rounds"); do
    for image in "${IMAGES[@]}"; do
      log=$work/logs/$config-$image-$i.log
      bench_boot "$config" "$work/$config/$image-timed.img" "$log" \
        "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 root=UUID=$FS_UUID"
      if [ "${FIG[checks]:-}" != 1 ] || ! figures=$(bench_row "${FIGURES[@]}"); then
        bench_boot_failed "$log" "a figure is missing or e2fsck did not run once"
      fi
      printf '%s\t%s\t%s\t%s\n' "$config" "$image" "$i" "$figures" >>"$results"
      awk -F'\t' -v c="$config" -v m="$image" -v i="$i" \
        '{ printf "%-14s %-9s boot %-3s hand-over %8.1f ms, e2fsck %7.1f ms\n", c, m, i, ($2 - $1) * 1000, $4 / 1000 }' \
        <<<"$figures" >&2
    done
  done
done

python3 "$here/boot_report.py" "$results" "$sizes" "$work/machine.txt"
