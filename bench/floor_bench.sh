#!/usr/bin/env bash
# Floor benchmark: quenvale-init against the least an initramfs /init can
# do (bench/floor-init.c), against the least one can do that finds its
# root by UUID as this system does (bench/probe-floor-init.c: one libblkid
# probe of every device, each disk's table once, no prefetch, no hold) and
# against a busybox ash script doing quenvale-init's job
# (bench/busybox-init.sh), under QEMU (TCG) with the kernels of
# tools/lib/guests.sh; by default on four configurations:
#   x86_64-virtio  Debian's cloud kernel, root on virtio-blk (vda)
#   malta-virtio   Debian's 4kc-malta kernel, root on virtio-blk (vda)
#   malta-sd       the same, root on an SD card behind sdhci-pci (mmcblk0)
#   malta-usb      the same, root on a USB stick behind EHCI (sda)
#
# Usage: bench/floor_bench.sh [-n ROUNDS] [CONFIGURATION...]
#   ROUNDS: rounds per configuration (default 3); a round boots the four
#   inits back to back, quenvale, probing floor, floor, busybox.
#   Configurations (bench/lib.sh) default to the four above. QUENVALE_BOOT_TIMEOUT: seconds per boot (default 120);
#   QUENVALE_BOOT_INIT_X86_64 / _MIPSEL: boot that quenvale-init binary
#   instead of building one.
#
# The four images of a configuration hold the same modules (the bus's
# chain of tools/lib/guests.sh), the same /etc/quenvale_list and the same
# /bin/e2fsck, tests/boot/e2fsck_stamp.c, which stamps the kernel log and
# executes the real checker; only /init differs (and the busybox image adds
# /bin/busybox). All boot the same disk (bench/lib.sh's, with
# tools/preinit.sh as /etc/preinit). The kernel
# command line is "console=CONSOLE (QV_ARCH_CONSOLE) panic=-1 printk.time=1" and the root:
#   quenvale: root=PARTUUID=, as on the real target, and so the probing floor;
#   floor:    root=/dev/NAME (vda1, mmcblk0p1, sda1), all that it reads;
#   busybox:  root=UUID=, since busybox's findfs has no PARTUUID= form.
#
# Measured per boot, from the console (printk stamps, microseconds):
#   hand-over: the kernel's "Run /init as init process" to preinit's first
#     action, a line it writes to /dev/kmsg;
#   partition line to e2fsck: the kernel's " vda: vda1" (" mmcblk0: p1",
#     " sda: sda1") to the stamp of /bin/e2fsck's start;
#   reads: the root disk's completed read requests and sectors read
#     (fields 1 and 3 of /sys/block/DISK/stat) when preinit starts.
#
# Prints the tables (Markdown) and exits 0; exits 1 as soon as a boot does
# not reach /etc/preinit with the right root mounted as ext4, with the
# console's tail. Work files and console logs go to .cache/boot/bench-floor;
# the raw figures to .cache/boot/bench-floor/results.tsv. Not part of
# tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
# shellcheck source=bench/inits.sh
. "$here/inits.sh"

rounds=3
INITS=(quenvale probing floor busybox)
bench_options "${CONFIGS[*]}" "$@"
[ ${#BENCH_OPT[@]} -eq 0 ] || { echo "unknown option: ${!BENCH_OPT[*]}" >&2; exit 2; }

work=$QV_CACHE/bench-floor
results=$work/results.tsv

fail() { echo "floor_bench: $*" >&2; exit 1; }

bench_prepare "$work" "${arches[@]}"
for arch in "${arches[@]}"; do
  bench_use_arch "$arch"
  qv_log "$arch: building the floors and the e2fsck stamp"
  bench_build_inits "$work" "$arch" >"$work/$arch.build.log" 2>&1 ||
    { cat "$work/$arch.build.log" >&2; fail "$arch: could not build"; }
  echo "floor-init $arch: $(stat -c %s "$work/$arch/floor-init") B" >>"$work/machine.txt"
  echo "probe-floor-init $arch: $(stat -c %s "$work/$arch/probe-floor-init") B" >>"$work/machine.txt"
done
for config in "${configs[@]}"; do
  bench_use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the images"
  (bench_build_images "$work" "$config" "${INITS[@]}") >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
done

# A boot's figures: the stamps (seconds), then the root disk's read
# requests and sectors when preinit starts; e2fsck must have started once,
# after the partition line, and run to its fifth pass.
FIGURES=(start found e2fsck preinit reads sectors)
printf 'config\tinit\tround\tstart\tpartition\te2fsck\tpreinit\treads\tsectors\n' >"$results"
for round in $(seq 1 "$rounds"); do
  for config in "${configs[@]}"; do
    arch=${CONFIG_ARCH[$config]}
    bench_use_arch "$arch"
    for init in "${INITS[@]}"; do
      log=$work/logs/$config-$init-$round.log
      bench_boot "$config" "$work/$config/$init.img" "$log" \
        "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 $(bench_root_arg "$config" "$init")"
      if [ "${FIG[stamps]:-}" != 1 ] || [ -n "${FIG[early]:-}" ] || [ "${FIG[pass5]:-}" != 1 ] ||
         ! figures=$(bench_row "${FIGURES[@]}"); then
        bench_boot_failed "$log" "a figure is missing or e2fsck did not run once after the partition line"
      fi
      printf '%s\t%s\t%s\t%s\n' "$config" "$init" "$round" "$figures" >>"$results"
      awk -F'\t' -v c="$config" -v i="$init" -v r="$round" '{
        printf "%-13s %-8s round %-2s hand-over %7.1f ms, partition line -> e2fsck %7.1f ms, reads %s (%s sectors)\n",
               c, i, r, ($4 - $1) * 1000, ($3 - $2) * 1000, $5, $6 }' <<<"$figures" >&2
    done
  done
done

python3 "$here/floor_report.py" "$results" "$work/machine.txt"
