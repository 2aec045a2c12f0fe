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
# root=PARTUUID=..."; the disk is tools/make-disk.sh's, whose
# /etc/preinit first writes a line to /dev/kmsg.
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
. "$here/../tools/lib/guests.sh"

rounds=5
limit=${QUENVALE_BOOT_TIMEOUT:-120}
. "$here/configs.sh"
VARIANTS=(debian built)
FORMATS=(gzip none xz zstd lz4)

configs=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) [ $# -ge 2 ] || { echo "-n needs a count" >&2; exit 2; }; rounds=$2; shift ;;
    -h|--help) sed -n '2,33p' "$0"; exit 0 ;;
    *) [ -n "${CONFIG_ARCH[$1]:-}" ] || { echo "unknown configuration: $1" >&2; exit 2; }
       configs+=("$1") ;;
  esac
  shift
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "rounds must be a positive number: $rounds" >&2; exit 2; }
[ ${#configs[@]} -gt 0 ] || configs=("${CONFIGS[@]}")

mapfile -t arches < <(bench_arches "${configs[@]}")

work=$QV_CACHE/bench-e2fsck
results=$work/results.tsv
sizes=$work/sizes.tsv
mkdir -p "$work/logs"

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

# parse LOG CONFIG: start of unpack, its end, /init's start, e2fsck's
# microseconds and preinit's stamp, tab-separated; status 1 when a figure
# is missing, e2fsck did not run exactly once or the root is not mounted.
parse() {
  tr -d '\r' <"$1" | awk -v root="/dev/${CONFIG_PART[$2]} ext4" "$QV_STAMP_AWK"'
    { s = stamp("Trying to unpack rootfs image as initramfs"); if (s != "") unpack = s
      s = stamp("Freeing initrd memory"); if (s != "") freed = s
      s = stamp("Run /init as init process"); if (s != "") start = s
      s = stamp("QUENVALE-STAMP preinit"); if (s != "") pre = s }
    match($0, /QVBENCH-E2FSCK-US [0-9]+/) { us = substr($0, RSTART + 18, RLENGTH - 18); checks++ }
    /Pass 5: Checking group summary information/ { pass5++ }
    /^QUENVALE-ROOT / { mounted = $2 " " $3 }
    END {
      if (unpack == "" || freed == "" || start == "" || pre == "" || us == "" ||
          checks != 1 || pass5 != 1 || mounted != root) exit 1
      print unpack "\t" freed "\t" start "\t" us "\t" pre
    }'
}

qv_install_deps "${arches[@]}"
machine=$work/machine.txt
bench_machine "$machine"
printf 'config\tvariant\twhat\tbytes\n' >"$sizes"
declare -A INIT_OF=() KERNEL_OF=() MODULES_OF=() BUSYBOX_OF=() E2FSCK_OF=() DEBIAN_OF=()
for arch in "${arches[@]}"; do
  command -v "$(qv_guest_cc_name "$arch")" >/dev/null || fail "no $(qv_guest_cc_name "$arch")"
  qv_fetch_guest "$arch"
  qv_build_init "$arch"
  INIT_OF[$arch]=$QV_INIT KERNEL_OF[$arch]=$QV_KERNEL MODULES_OF[$arch]=$QV_MODULES_DIR
  BUSYBOX_OF[$arch]=$QV_BUSYBOX E2FSCK_OF[$arch]=$QV_E2FSCK DEBIAN_OF[$arch]=$QV_E2FSCK_DEBIAN
  # 32 MiB, a power of two, for the SD card; /dev/kmsg for preinit's stamp.
  "$QV_ROOT/tools/make-disk.sh" "$work/$arch.disk" "$QV_BUSYBOX" \
    --char-node /dev/kmsg:1:11 --size 32 >"$work/$arch.disk.log" 2>&1 ||
    { cat "$work/$arch.disk.log" >&2; fail "$arch: could not make the disk"; }
  echo "kernel $arch: $(basename "$QV_KERNEL")" >>"$machine"
done
use_arch() {
  QV_INIT=${INIT_OF[$1]} QV_KERNEL=${KERNEL_OF[$1]} QV_MODULES_DIR=${MODULES_OF[$1]}
  QV_BUSYBOX=${BUSYBOX_OF[$1]} QV_E2FSCK=${E2FSCK_OF[$1]} QV_E2FSCK_DEBIAN=${DEBIAN_OF[$1]}
}
for config in "${configs[@]}"; do
  use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the images"
  (build_config "$config") >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
done

printf 'config\tvariant\tround\tunpack_start\tunpack_end\tinit\te2fsck_us\tpreinit\n' >"$results"
for round in $(seq 1 "$rounds"); do
  for config in "${configs[@]}"; do
    arch=${CONFIG_ARCH[$config]}
    use_arch "$arch"
    order=("${VARIANTS[@]}")
    [ $((round % 2)) = 1 ] || order=("${VARIANTS[1]}" "${VARIANTS[0]}")
    for variant in "${order[@]}"; do
      log=$work/logs/$config-$variant-$round.log
      append="console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 initramfs_async=0 root=PARTUUID=$PART_UUID"
      qv_wait_for_quiet_machine || fail "another QEMU kept running"
      status=0
      qv_boot "$arch" "$work/$config/$variant-timed.img" "$work/$arch.disk" "$append" \
        "$log" "$limit" "${CONFIG_BUS[$config]}" || status=$?
      if [ $status -ne 0 ] || ! figures=$(parse "$log" "$config"); then
        echo "$config $variant round $round did not reach /etc/preinit with" \
             "/dev/${CONFIG_PART[$config]} mounted as ext4 after one check" \
             "(qemu status $status); console (${log#"$QV_ROOT"/}):" >&2
        tr -d '\r' <"$log" | tail -n 25 | sed 's/^/  | /' >&2
        exit 1
      fi
      printf '%s\t%s\t%s\t%s\n' "$config" "$variant" "$round" "$figures" >>"$results"
      awk -F'\t' -v c="$config" -v v="$variant" -v r="$round" '{
        printf "%-13s %-6s round %-2s unpack %6.1f ms, e2fsck %7.1f ms, hand-over %7.1f ms, boot %8.1f ms\n",
               c, v, r, ($2 - $1) * 1000, $4 / 1000, ($5 - $3) * 1000, $5 * 1000 }' <<<"$figures" >&2
    done
  done
done

python3 "$here/e2fsck_report.py" "$results" "$sizes" "$machine"
