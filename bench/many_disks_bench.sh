#!/usr/bin/env bash
# Many disks: how the hand-over and the reads grow with the number of
# disks the wait meets before the root. quenvale-init, the probing floor
# and the busybox script (bench/inits.sh) boot with 0, 8, 32 and 64 extra
# disks on the root's bus, virtio-scsi: each an 8 MiB disk with a GPT, one
# partition and an ext4 file system, all with UUIDs of their own; the root
# disk sits at the bus's last target, so the kernel's scan finds it last.
#
# Usage: bench/many_disks_bench.sh [-n ROUNDS] [--counts "0 8 32 64"] [CONFIGURATION...]
#   ROUNDS: default 3; a round boots the three inits back to back with each
#   count of disks. Configurations (bench/lib.sh) default to x86_64-scsi;
#   malta-scsi is the same on malta. QUENVALE_BOOT_TIMEOUT: seconds per
#   boot (default 120).
#
# Measured per boot, from the console: the hand-over ("Run /init as init
# process" to preinit's stamp) and the read requests and sectors of every
# disk together when preinit starts. An extra disk has no /etc/preinit, so
# a boot that reaches preinit mounted the root. bench/many_disks_report.py
# prints the tables and the slopes per extra disk, and draws the curves
# (.cache/boot/bench-disks/many-disks.svg). Not part of tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"
# shellcheck source=bench/inits.sh
. "$here/inits.sh"

rounds=3
INITS=(quenvale probing busybox)
bench_options "x86_64-scsi" "$@"
counts=${BENCH_OPT[--counts]:-0 8 32 64}
unset 'BENCH_OPT[--counts]'
[ ${#BENCH_OPT[@]} -eq 0 ] || { echo "unknown option: ${!BENCH_OPT[*]}" >&2; exit 2; }
read -r -a counts <<<"$counts"
most=0
for count in "${counts[@]}"; do
  [[ $count =~ ^[0-9]+$ ]] && [ "$count" -le 200 ] ||
    { echo "a count of disks is a number up to 200: $count" >&2; exit 2; }
  [ "$count" -le "$most" ] || most=$count
done
for config in "${configs[@]}"; do
  [ "${CONFIG_BUS[$config]}" = scsi ] || { echo "$config: not a virtio-scsi configuration" >&2; exit 2; }
done

work=$QV_CACHE/bench-disks
results=$work/results.tsv

fail() { echo "many_disks_bench: $*" >&2; exit 1; }

# The extra disks, made once: d0.img, d1.img, ...
extra_disks() {
  local i image
  mkdir -p "$work/extras"
  for ((i = 0; i < most; i++)); do
    image=$work/extras/d$i.img
    [ -e "$image" ] && continue
    truncate -s 8M "$image.new"
    printf 'label: gpt\nstart=2048, size=12288\n' | sfdisk -q "$image.new" >/dev/null
    mkfs.ext4 -q -F -E offset=$((2048 * 512)) "$image.new" 6144 >/dev/null 2>&1
    mv "$image.new" "$image"
  done
}

# extra_devices COUNT: QEMU's options for the first COUNT extra disks, at
# targets 0 to COUNT-1 of the root's virtio-scsi bus, in QV_QEMU_EXTRA.
# shellcheck disable=SC2034 # QV_QEMU_EXTRA is read by qv_boot
extra_devices() {
  local i
  QV_QEMU_EXTRA=()
  for ((i = 0; i < $1; i++)); do
    QV_QEMU_EXTRA+=(-drive "if=none,id=extra$i,file=$work/extras/d$i.img,format=raw,snapshot=on"
                    -device "scsi-hd,drive=extra$i,bus=scsi.0,scsi-id=$i")
  done
}

bench_prepare "$work" "${arches[@]}"
extra_disks
for arch in "${arches[@]}"; do
  bench_use_arch "$arch"
  qv_log "$arch: building the probing floor and the e2fsck stamp"
  bench_build_inits "$work" "$arch" >"$work/$arch.build.log" 2>&1 ||
    { cat "$work/$arch.build.log" >&2; fail "$arch: could not build"; }
  echo "probe-floor-init $arch: $(stat -c %s "$work/$arch/probe-floor-init") B" >>"$work/machine.txt"
done
for config in "${configs[@]}"; do
  bench_use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the images"
  (bench_build_images "$work" "$config" "${INITS[@]}") >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
done

# A boot's figures: the stamps (seconds), the reads of every disk.
FIGURES=(start preinit all_reads all_sectors)
printf 'config\tdisks\tinit\tround\tstart\tpreinit\treads\tsectors\n' >"$results"
for round in $(seq 1 "$rounds"); do
  for config in "${configs[@]}"; do
    arch=${CONFIG_ARCH[$config]}
    bench_use_arch "$arch"
    for count in "${counts[@]}"; do
      extra_devices "$count"
      for init in "${INITS[@]}"; do
        log=$work/logs/$config-$count-$init-$round.log
        # The root's name depends on the order the kernel named the disks.
        bench_boot "$config" "$work/$config/$init.img" "$log" \
          "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 $(bench_root_arg "$config" "$init")" \
          "/dev/sd*1"
        figures=$(bench_row "${FIGURES[@]}") || bench_boot_failed "$log" "a figure is missing"
        printf '%s\t%s\t%s\t%s\t%s\n' "$config" "$count" "$init" "$round" "$figures" >>"$results"
        awk -F'\t' -v c="$config" -v n="$count" -v i="$init" -v r="$round" '{
          printf "%-12s %2d disks %-8s round %-2s hand-over %8.1f ms, reads %s (%s sectors)\n",
                 c, n, i, r, ($2 - $1) * 1000, $3, $4 }' <<<"$figures" >&2
      done
    done
  done
done
# shellcheck disable=SC2034 # read by qv_boot
QV_QEMU_EXTRA=()

python3 "$here/many_disks_report.py" "$results" "$work/machine.txt" "$work/many-disks.svg"
