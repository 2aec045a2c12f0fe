#!/usr/bin/env bash
# The boot from the kernel's start with each e2fsck: the standard image as
# it ships (built e2fsck, tools/build-e2fsck.sh) against the same image
# with Debian's e2fsck.static, round-robin under QEMU (TCG), on the floor
# benchmark's four configurations (x86_64-virtio, malta-virtio, malta-sd,
# malta-usb).
#
# Usage: bench/e2fsck_bench.sh [-n ROUNDS] [CONFIGURATION...]
#   ROUNDS per configuration (default 5); a round boots both images back to
#   back, the first one in turn. QUENVALE_BOOT_TIMEOUT: seconds per boot
#   (default 120).
#
# The two images of a configuration differ in /bin/e2fsck.real alone: both
# carry the bus's module chain and bench/e2fsck_timer.c as /bin/e2fsck,
# which runs the real checker and prints its time. Sizes are of the images
# as they ship (no timer), in every format the builder writes. The kernel
# command line is "console=CONSOLE (QV_ARCH_CONSOLE) panic=-1 printk.time=1 initramfs_async=0
# root=PARTUUID=..."; the disk is bench/lib.sh's, whose /etc/preinit
# (tools/preinit.sh) first writes a line to /dev/kmsg.
#
# Measured per boot, on the kernel's clock (printk stamps, counted from the
# kernel's start):
#   unpack:    "Trying to unpack rootfs image as initramfs..." to "Freeing
#              initrd memory" (with initramfs_async=0 the kernel waits for it);
#   e2fsck:    the timer's figure (fork to reaped child);
#   hand-over: "Run /init as init process" to preinit's stamp;
#   boot:      preinit's stamp itself, the whole boot.
#
# Prints Markdown tables; raw figures in .cache/boot/bench-e2fsck/results.tsv
# and sizes.tsv. Exits 1 as soon as a boot does not reach /etc/preinit with
# the root mounted as ext4 after exactly one check. Not part of
# tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"

rounds=5
VARIANTS=(debian built)
FORMATS=(gzip none xz zstd lz4)
bench_options "${CONFIGS[*]}" "$@"
[ ${#BENCH_OPT[@]} -eq 0 ] || { echo "unknown option: ${!BENCH_OPT[*]}" >&2; exit 2; }

work=$QV_CACHE/bench-e2fsck
results=$work/results.tsv
sizes=$work/sizes.tsv

fail() { echo "e2fsck_bench: $*" >&2; exit 1; }

# e2fsck_of VARIANT: that variant's checker for the current guest.
e2fsck_of() {
  case $1 in
    debian) echo "$QV_E2FSCK_DEBIAN" ;;
    built) echo "$QV_E2FSCK" ;;
  esac
}

# build_config CONFIG: the shipped images (sizes) and the timed ones.
build_config() {
  local config=$1 arch=${CONFIG_ARCH[$1]} bus=${CONFIG_BUS[$1]} dir=$work/$1
  local variant format e2fsck
  mkdir -p "$dir"
  qv_guest_cc "$arch" "$dir/e2fsck-timer" "$here/e2fsck_timer.c"
  for variant in "${VARIANTS[@]}"; do
    e2fsck=$(e2fsck_of "$variant")
    for format in "${FORMATS[@]}"; do
      QV_IMAGE_E2FSCK=$e2fsck qv_make_bus_image "$arch" "$bus" \
        "$dir/$variant.$format" --compress "$format"
      printf '%s\t%s\timage (%s)\t%s\n' "$config" "$variant" "$format" \
        "$(stat -c %s "$dir/$variant.$format")" >>"$sizes"
    done
    printf '%s\t%s\te2fsck\t%s\n' "$config" "$variant" "$(stat -c %s "$e2fsck")" >>"$sizes"
    QV_IMAGE_E2FSCK=$e2fsck qv_make_bus_image "$arch" "$bus" "$dir/$variant-timed.img" \
      --gzip --file "/bin/e2fsck=$dir/e2fsck-timer" --file "/bin/e2fsck.real=$e2fsck"
    cmp -s <(gzip -dc "$dir/$variant-timed.img" | cpio -i --quiet --to-stdout bin/e2fsck.real) \
      "$e2fsck" || fail "$config: /bin/e2fsck.real of the $variant image is not $e2fsck"
  done
  # The composition: what each image carries besides the checker.
  printf '%s\t-\tinit\t%s\n' "$config" "$(stat -c %s "$QV_INIT")" >>"$sizes"
  printf '%s\t-\tmodules\t%s\n' "$config" "$(gzip -dc "$dir/built.gzip" |
    cpio -i --quiet --to-stdout 'lib/modules/*' | wc -c)" >>"$sizes"
}

bench_prepare "$work" "${arches[@]}"
printf 'config\tvariant\twhat\tbytes\n' >"$sizes"
for config in "${configs[@]}"; do
  bench_use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the images"
  (build_config "$config") >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
done

# A boot's figures: the unpack's start and end, /init's start, e2fsck's
# microseconds and preinit's stamp; e2fsck must have run once, to its
# fifth pass.
FIGURES=(unpack freed start e2fsck_us preinit)
printf 'config\tvariant\tround\tunpack_start\tunpack_end\tinit\te2fsck_us\tpreinit\n' >"$results"
for round in $(seq 1 "$rounds"); do
  for config in "${configs[@]}"; do
    arch=${CONFIG_ARCH[$config]}
    bench_use_arch "$arch"
    order=("${VARIANTS[@]}")
    [ $((round % 2)) = 1 ] || order=("${VARIANTS[1]}" "${VARIANTS[0]}")
    for variant in "${order[@]}"; do
      log=$work/logs/$config-$variant-$round.log
      bench_boot "$config" "$work/$config/$variant-timed.img" "$log" \
        "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 initramfs_async=0 root=PARTUUID=$PART_UUID"
      if [ "${FIG[checks]:-}" != 1 ] || [ "${FIG[pass5]:-}" != 1 ] ||
         ! figures=$(bench_row "${FIGURES[@]}"); then
        bench_boot_failed "$log" "a figure is missing or e2fsck did not run once"
      fi
      printf '%s\t%s\t%s\t%s\n' "$config" "$variant" "$round" "$figures" >>"$results"
      awk -F'\t' -v c="$config" -v v="$variant" -v r="$round" '{
        printf "%-13s %-6s round %-2s unpack %6.1f ms, e2fsck %7.1f ms, hand-over %7.1f ms, boot %8.1f ms\n",
               c, v, r, ($2 - $1) * 1000, $4 / 1000, ($5 - $3) * 1000, $5 * 1000 }' <<<"$figures" >&2
    done
  done
done

python3 "$here/e2fsck_report.py" "$results" "$sizes" "$work/machine.txt"
