#!/usr/bin/env bash
# Floor benchmark: quenvale-init against the least an initramfs /init can
# do (bench/floor-init.c) and against a busybox ash script doing
# quenvale-init's job (bench/busybox-init.sh), under QEMU (TCG) with the
# kernels of tests/boot, on four configurations:
#   x86_64-virtio  Debian's cloud kernel, root on virtio-blk (vda)
#   malta-virtio   Debian's 4kc-malta kernel, root on virtio-blk (vda)
#   malta-sd       the same, root on an SD card behind sdhci-pci (mmcblk0)
#   malta-usb      the same, root on a USB stick behind EHCI (sda)
#
# Usage: bench/floor_bench.sh [-n ROUNDS] [CONFIGURATION...]
#   ROUNDS: rounds per configuration (default 3); a round boots the three
#   inits back to back, quenvale, floor, busybox. Configurations default to
#   all four. QUENVALE_BOOT_TIMEOUT: seconds per boot (default 120);
#   QUENVALE_BOOT_INIT_X86_64 / _MIPSEL: boot that quenvale-init binary
#   instead of building one.
#
# The three images of a configuration hold the same modules (the bus's
# chain of tools/lib/guests.sh), the same /etc/quenvale_list and the same
# /bin/e2fsck, tests/boot/e2fsck_stamp.c, which stamps the kernel log and
# executes the real checker; only /init differs (and the busybox image adds
# /bin/busybox). All boot the same disk (tools/make-disk.sh with
# bench/floor-preinit.sh as /etc/preinit and a /dev/kmsg node). The kernel
# command line is "console=CONSOLE (QV_ARCH_CONSOLE) panic=-1 printk.time=1" and the root:
#   quenvale: root=PARTUUID=, as on the real target;
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
#
# bench/floor_bench.sh [-n ROUNDS] --idle SECONDS [CONFIGURATION...]
# instead measures one pass of the wait for a root that never comes, for
# quenvale (root=PARTUUID= of no partition) and busybox (root=UUID= of no
# file system), ROUNDS times each, in turn; the floor's pass reads nothing
# and cannot be counted this way. Each boot lasts SECONDS with the disk
# attached, while QEMU traces every read of it (-trace blk_co_preadv, host
# clock). Each pass probes the disk and reads the same places again: in
# the second half of the trace, the most frequent read marks the passes
# (bench/floor_report.py --trace) and gives the time, reads and bytes per
# pass. Figures to .cache/boot/bench-floor/idle.tsv. Nothing in the
# programs changes; a pass that read nothing from the disk could not be
# counted.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/lib/guests.sh"

rounds=3
idle=
limit=${QUENVALE_BOOT_TIMEOUT:-120}
. "$here/configs.sh"
INITS=(quenvale floor busybox)

configs=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) [ $# -ge 2 ] || { echo "-n needs a count" >&2; exit 2; }; rounds=$2; shift ;;
    --idle) [ $# -ge 2 ] || { echo "--idle needs seconds" >&2; exit 2; }; idle=$2; shift ;;
    -h|--help) sed -n '2,54p' "$0"; exit 0 ;;
    *) [ -n "${CONFIG_ARCH[$1]:-}" ] || { echo "unknown configuration: $1" >&2; exit 2; }
       configs+=("$1") ;;
  esac
  shift
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "rounds must be a positive number: $rounds" >&2; exit 2; }
[ -z "$idle" ] || [[ $idle =~ ^[1-9][0-9]*$ ]] ||
  { echo "--idle needs a positive number of seconds: $idle" >&2; exit 2; }
[ ${#configs[@]} -gt 0 ] || configs=("${CONFIGS[@]}")

mapfile -t arches < <(bench_arches "${configs[@]}")

work=$QV_CACHE/bench-floor
results=$work/results.tsv
mkdir -p "$work/logs"

fail() { echo "floor_bench: $*" >&2; exit 1; }

# member IMAGE PATH: one member of a gzip image, on standard output.
member() {
  gzip -dc "$1" | cpio -i --quiet --to-stdout "$2"
}

# build_arch ARCH: the floor, the e2fsck stamp and the disk, in $work/ARCH.
build_arch() {
  local arch=$1 dir=$work/$1
  mkdir -p "$dir"
  qv_guest_cc "$arch" "$dir/floor-init" "$here/floor-init.c"
  qv_guest_cc "$arch" "$dir/e2fsck-stamp" "$QV_ROOT/tests/boot/e2fsck_stamp.c"
  # 32 MiB, a power of two, for the SD card.
  "$QV_ROOT/tools/make-disk.sh" "$dir/floor.disk" "$QV_BUSYBOX" \
    --preinit "$here/floor-preinit.sh" --char-node /dev/kmsg:1:11 --size 32
}

# build_images CONFIG: the three images of a configuration, in
# $work/CONFIG; each is checked to carry its own /init and nothing of the
# others.
build_images() {
  local config=$1 arch=${CONFIG_ARCH[$1]} bus=${CONFIG_BUS[$1]} dir=$work/$1
  local common=(--gzip --file "/bin/e2fsck=$work/$arch/e2fsck-stamp"
                --file "/bin/e2fsck.real=$QV_E2FSCK")
  mkdir -p "$dir"
  qv_make_bus_image "$arch" "$bus" "$dir/quenvale.img" "${common[@]}"
  qv_make_bus_image "$arch" "$bus" "$dir/floor.img" "${common[@]}" \
    --file "/init=$work/$arch/floor-init"
  qv_make_bus_image "$arch" "$bus" "$dir/busybox.img" "${common[@]}" \
    --file "/init=$here/busybox-init.sh" --file "/bin/busybox=$QV_BUSYBOX"
  cmp -s <(member "$dir/quenvale.img" init) "$QV_INIT" ||
    fail "$config: /init of the quenvale image is not quenvale-init"
  cmp -s <(member "$dir/floor.img" init) "$work/$arch/floor-init" ||
    fail "$config: /init of the floor image is not the floor"
  cmp -s <(member "$dir/busybox.img" init) "$here/busybox-init.sh" ||
    fail "$config: /init of the busybox image is not bench/busybox-init.sh"
  local image
  for image in quenvale floor busybox; do
    member "$dir/$image.img" etc/quenvale_list >"$dir/$image.list"
    cmp -s "$dir/quenvale.list" "$dir/$image.list" ||
      fail "$config: the $image image lists other modules"
    cmp -s <(member "$dir/$image.img" bin/e2fsck) "$work/$arch/e2fsck-stamp" ||
      fail "$config: /bin/e2fsck of the $image image is not the stamp"
  done
  for image in quenvale floor; do
    [ "$(gzip -dc "$dir/$image.img" | cpio -t --quiet | grep -cx bin/busybox)" = 0 ] ||
      fail "$config: the $image image carries busybox"
  done
}

# root_arg CONFIG INIT: the root= word of that init's command line.
root_arg() {
  case $2 in
    quenvale) echo "root=PARTUUID=$PART_UUID" ;;
    floor) echo "root=/dev/${CONFIG_PART[$1]}" ;;
    busybox) echo "root=UUID=$FS_UUID" ;;
  esac
}

# parse LOG CONFIG: the boot's stamps (seconds) and the root disk's
# counters as one tab-separated line: start, partition line, e2fsck,
# preinit, read requests, sectors read. Nothing (status 1) when a figure is
# missing, e2fsck did not start exactly once after the partition line, or
# preinit did not find /dev/PART mounted as ext4. Kernel lines can break
# into user-space output, so stamps are searched anywhere in a line.
parse() {
  tr -d '\r' <"$1" | awk \
    -v part="${QV_BUS_PARTITION[${CONFIG_BUS[$2]}]}" \
    -v disk="${CONFIG_DISK[$2]}" -v root="/dev/${CONFIG_PART[$2]} ext4" "$QV_STAMP_AWK"'
    { s = stamp("Run /init as init process"); if (s != "") start = s
      s = stamp(part); if (s != "" && found == "") found = s
      s = stamp("QUENVALE-STAMP e2fsck"); if (s != "") { e2fsck = s; checks++
        if (found == "") early = 1 }
      s = stamp("QVFLOOR-PREINIT"); if (s != "") pre = s }
    /Pass 5: Checking group summary information/ { pass5++ }
    match($0, /QVFLOOR-STAT [^ ]+( +[0-9]+)+/) {
      n = split(substr($0, RSTART, RLENGTH), f, / +/)
      if (f[2] == disk && n >= 5) { reads = f[3]; sectors = f[5] }
    }
    /^QVFLOOR-ROOT / { mounted = $2 " " $3 }
    END {
      if (start == "" || found == "" || e2fsck == "" || pre == "" ||
          reads == "" || checks != 1 || early || pass5 != 1 || mounted != root)
        exit 1
      print start "\t" found "\t" e2fsck "\t" pre "\t" reads "\t" sectors
    }'
}

qv_install_deps "${arches[@]}"
for arch in "${arches[@]}"; do
  command -v "$(qv_guest_cc_name "$arch")" >/dev/null || fail "no $(qv_guest_cc_name "$arch")"
done

machine=$work/machine.txt
bench_machine "$machine"
declare -A INIT_OF=() KERNEL_OF=() MODULES_OF=() BUSYBOX_OF=() E2FSCK_OF=()
for arch in "${arches[@]}"; do
  qv_fetch_guest "$arch"
  qv_build_init "$arch"
  INIT_OF[$arch]=$QV_INIT KERNEL_OF[$arch]=$QV_KERNEL MODULES_OF[$arch]=$QV_MODULES_DIR
  BUSYBOX_OF[$arch]=$QV_BUSYBOX E2FSCK_OF[$arch]=$QV_E2FSCK
  qv_log "$arch: building the floor, the e2fsck stamp and the disk"
  build_arch "$arch" >"$work/$arch.build.log" 2>&1 ||
    { cat "$work/$arch.build.log" >&2; fail "$arch: could not build"; }
  echo "kernel $arch: $(basename "$QV_KERNEL")" >>"$machine"
  echo "quenvale-init $arch: $QV_INIT ($(stat -c %s "$QV_INIT") B)" >>"$machine"
  echo "floor-init $arch: $(stat -c %s "$work/$arch/floor-init") B" >>"$machine"
done
# use_arch ARCH: the lib.sh variables of that guest.
use_arch() {
  QV_INIT=${INIT_OF[$1]} QV_KERNEL=${KERNEL_OF[$1]} QV_MODULES_DIR=${MODULES_OF[$1]}
  QV_BUSYBOX=${BUSYBOX_OF[$1]} QV_E2FSCK=${E2FSCK_OF[$1]}
}
for config in "${configs[@]}"; do
  use_arch "${CONFIG_ARCH[$config]}"
  qv_log "$config: building the images"
  (build_images "$config") >"$work/$config.build.log" 2>&1 ||
    { cat "$work/$config.build.log" >&2; fail "$config: could not build the images"; }
done

# idle_pass: the --idle measurement, ROUNDS rounds of quenvale then busybox
# per configuration.
idle_pass() {
  local table=$work/idle.tsv config arch init log trace append status figures
  local console round never=00000000-0000-4000-8000-000000000000
  printf 'config\tinit\tround\tseconds\tpasses\tms_per_pass\tmedian_ms\treads_per_pass\tbytes_per_pass\n' >"$table"
  for round in $(seq 1 "$rounds"); do
    for config in "${configs[@]}"; do
      arch=${CONFIG_ARCH[$config]}
      use_arch "$arch"
      for init in quenvale busybox; do
        log=$work/logs/$config-$init-idle-$round.log
        trace=$work/logs/$config-$init-idle-$round.trace
        case $init in
          quenvale) append="root=PARTUUID=$never" ;;
          busybox) append="root=UUID=$never" ;;
        esac
        rm -f "$trace"
        qv_wait_for_quiet_machine || fail "another QEMU kept running"
        status=0
        # shellcheck disable=SC2034 # read by qv_boot
        QV_QEMU_EXTRA=(-msg timestamp=on -trace "enable=blk_co_preadv,file=$trace")
        qv_boot "$arch" "$work/$config/$init.img" "$work/$arch/floor.disk" \
          "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 $append" "$log" "$idle" \
          "${CONFIG_BUS[$config]}" || status=$?
        # shellcheck disable=SC2034 # read by qv_boot
        QV_QEMU_EXTRA=()
        console=$(tr -d '\r' <"$log")
        if [ $status -ne 124 ] || ! grep -q "^Waiting for root: " <<<"$console" ||
           ! grep -qF "${QV_BUS_PARTITION[${CONFIG_BUS[$config]}]}" <<<"$console" ||
           grep -q "Kernel panic" <<<"$console"; then
          echo "$config $init did not wait for the absent root until the time-out (qemu status $status)" >&2
          tail -n 25 <<<"$console" | sed 's/^/  | /' >&2
          exit 1
        fi
        figures=$(python3 "$here/floor_report.py" --trace "$trace") ||
          fail "$config $init: too few passes in the trace (${trace#"$QV_ROOT"/})"
        printf '%s\t%s\t%s\t%s\t%s\n' "$config" "$init" "$round" "$idle" "$figures" >>"$table"
        awk -F'\t' -v c="$config" -v i="$init" -v r="$round" '{
          printf "%-13s %-8s idle round %s: %s passes, %.2f ms per pass (median gap %.2f), %s reads (%s bytes) per pass\n",
                 c, i, r, $1, $2, $3, $4, $5 }' <<<"$figures" >&2
      done
    done
  done
  python3 "$here/floor_report.py" --idle "$table"
}
if [ -n "$idle" ]; then
  idle_pass
  exit 0
fi

printf 'config\tinit\tround\tstart\tpartition\te2fsck\tpreinit\treads\tsectors\n' >"$results"
for round in $(seq 1 "$rounds"); do
  for config in "${configs[@]}"; do
    arch=${CONFIG_ARCH[$config]}
    use_arch "$arch"
    for init in "${INITS[@]}"; do
      log=$work/logs/$config-$init-$round.log
      append="console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 $(root_arg "$config" "$init")"
      qv_wait_for_quiet_machine || fail "another QEMU kept running"
      status=0
      qv_boot "$arch" "$work/$config/$init.img" "$work/$arch/floor.disk" "$append" \
        "$log" "$limit" "${CONFIG_BUS[$config]}" || status=$?
      if [ $status -ne 0 ] || ! figures=$(parse "$log" "$config"); then
        echo "$config $init round $round did not reach /etc/preinit with" \
             "/dev/${CONFIG_PART[$config]} mounted as ext4 and every figure" \
             "(qemu status $status)" >&2
        echo "console (${log#"$QV_ROOT"/}), last lines:" >&2
        tr -d '\r' <"$log" | tail -n 25 | sed 's/^/  | /' >&2
        exit 1
      fi
      printf '%s\t%s\t%s\t%s\n' "$config" "$init" "$round" "$figures" >>"$results"
      awk -F'\t' -v c="$config" -v i="$init" -v r="$round" '{
        printf "%-13s %-8s round %-2s hand-over %7.1f ms, partition line -> e2fsck %7.1f ms, reads %s (%s sectors)\n",
               c, i, r, ($4 - $1) * 1000, ($3 - $2) * 1000, $5, $6 }' <<<"$figures" >&2
    done
  done
done

python3 "$here/floor_report.py" "$results" "$machine"
