# shellcheck shell=bash
# What the boot benchmarks (boot_bench.sh, floor_bench.sh, e2fsck_bench.sh)
# share: their configurations and command line, the guests and the disk
# they boot, one boot with its figures, the machine section. Each
# benchmark is a driver that writes a TSV and a report (*_report.py) that
# prints its tables.
#
#   bench_options DEFAULT_CONFIGS "$@"   sets rounds, configs, BENCH_OPT
#   bench_prepare ARCH...        guests, inits and the disk; machine lines
#   bench_use_arch ARCH          the guests.sh variables of that guest
#                                (each fetch and build sets them anew)
#   bench_boot CONFIG IMAGE LOG APPEND   boots; FIG holds the figures
#   bench_row KEY...             FIG's values, tab-separated
#
# The configurations: each is a guest of tools/arches.tsv and the bus of
# its root disk, whose board file (images/boards) makes the image; the
# disk and root partition follow from the bus (QV_BUS_PARTITION):
#   x86_64-virtio  Debian's cloud kernel, root on virtio-blk (vda)
#   malta-virtio   Debian's 4kc-malta kernel, root on virtio-blk (vda)
#   malta-sd       the same, root on an SD card behind sdhci-pci (mmcblk0)
#   malta-usb      the same, root on a USB stick behind EHCI (sda)
# and, taken only when named, the other architectures' virtio roots:
#   malta64-virtio  Debian's 5kc-malta kernel (mips64el)
#   armhf-virtio    Debian's armmp kernel on QEMU's virt board, Cortex-A15
#   arm64-virtio    Debian's arm64 kernel on QEMU's virt board, Cortex-A53
#   i386-virtio     Debian's 686 kernel on QEMU's PC
#   x86_64-scsi, malta-scsi   the root on a SCSI disk behind virtio-scsi,
#                   the bus of machines with many disks
# shellcheck disable=SC2034 # read by the scripts that source this
[ -z "${QV_BENCH_LIB:-}" ] || return 0
QV_BENCH_LIB=1
# shellcheck source=tools/lib/guests.sh
. "$(dirname "${BASH_SOURCE[0]}")/../tools/lib/guests.sh"

CONFIGS=(x86_64-virtio malta-virtio malta-sd malta-usb)
declare -A CONFIG_ARCH=() CONFIG_BUS=() CONFIG_DISK=() CONFIG_PART=()
while read -r _config _arch _bus; do
  CONFIG_ARCH[$_config]=$_arch CONFIG_BUS[$_config]=$_bus
  # " vda: vda1", " mmcblk0: p1": the disk and its partition, as the
  # kernel's partition line names them.
  read -r _disk _part <<<"${QV_BUS_PARTITION[$_bus]}"
  _disk=${_disk%:}
  case $_part in p[0-9]*) _part=$_disk$_part ;; esac
  CONFIG_DISK[$_config]=$_disk CONFIG_PART[$_config]=$_part
done <<'EOF_CONFIGS'
x86_64-virtio  x86_64   virtio
malta-virtio   mipsel   virtio
malta-sd       mipsel   sd
malta-usb      mipsel   usb
malta-scsi     mipsel   scsi
x86_64-scsi    x86_64   scsi
malta64-virtio mips64el virtio
armhf-virtio   armhf    virtio
arm64-virtio   arm64    virtio
i386-virtio    i386     virtio
EOF_CONFIGS
unset _config _arch _bus _disk _part

# bench_arches CONFIG...: their guests, each once, in order, one per line.
bench_arches() {
  local config
  for config in "$@"; do echo "${CONFIG_ARCH[$config]}"; done | awk '!seen[$0]++'
}

# bench_machine FILE: the host's lines of a benchmark's machine section.
bench_machine() {
  {
    echo "nproc: $(nproc)"
    echo "cpu: $(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)"
    echo "qemu: $(qemu-system-x86_64 --version | head -n 1)"
  } >"$1"
}

# bench_options DEFAULT_CONFIGS "$@": the benchmarks' command line,
# [-n ROUNDS] [--NAME VALUE]... [CONFIGURATION...]. Sets rounds (kept when
# -n is absent), configs (DEFAULT_CONFIGS, a space-separated list, when
# none is named), arches (their guests) and BENCH_OPT[--NAME]; -h prints
# the caller's leading comment.
declare -gA BENCH_OPT=()
bench_options() {
  local defaults=$1
  shift
  configs=()
  while [ $# -gt 0 ]; do
    case $1 in
      -n) [ $# -ge 2 ] || { echo "-n needs a count" >&2; exit 2; }; rounds=$2; shift ;;
      -h|--help) qv_usage; exit 0 ;;
      --*) [ $# -ge 2 ] || { echo "$1 needs a value" >&2; exit 2; }
           BENCH_OPT[$1]=$2; shift ;;
      *) [ -n "${CONFIG_ARCH[$1]:-}" ] || { echo "unknown configuration: $1" >&2; exit 2; }
         configs+=("$1") ;;
    esac
    shift
  done
  [[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "rounds must be a positive number: $rounds" >&2; exit 2; }
  # shellcheck disable=SC2206 # a list of configuration names
  [ ${#configs[@]} -gt 0 ] || configs=($defaults)
  mapfile -t arches < <(bench_arches "${configs[@]}")
}

# bench_prepare WORK ARCH...: host tools, then for each guest its kernel,
# busybox, init and e2fsck, and WORK/ARCH.disk, the disk every boot of it
# attaches (tools/make-disk.sh: 32 MiB, a power of two for the SD card,
# with tools/preinit.sh and a /dev/kmsg node for its stamps). Writes the
# machine section to WORK/machine.txt.
declare -gA BENCH_INIT=() BENCH_KERNEL=() BENCH_MODULES=() BENCH_BUSYBOX=()
declare -gA BENCH_E2FSCK=() BENCH_E2FSCK_DEBIAN=() BENCH_DISK=() BENCH_CONFIG=()
bench_prepare() {
  local work=$1 arch
  shift
  mkdir -p "$work/logs"
  qv_install_deps "$@"
  for arch in "$@"; do
    command -v "$(qv_guest_cc_name "$arch")" >/dev/null ||
      { echo "no $(qv_guest_cc_name "$arch") for the guest's programs" >&2; exit 1; }
  done
  bench_machine "$work/machine.txt"
  for arch in "$@"; do
    qv_fetch_guest "$arch"
    qv_build_init "$arch"
    BENCH_INIT[$arch]=$QV_INIT BENCH_KERNEL[$arch]=$QV_KERNEL
    BENCH_MODULES[$arch]=$QV_MODULES_DIR BENCH_CONFIG[$arch]=$QV_KERNEL_CONFIG
    BENCH_BUSYBOX[$arch]=$QV_BUSYBOX
    BENCH_E2FSCK[$arch]=$QV_E2FSCK BENCH_E2FSCK_DEBIAN[$arch]=$QV_E2FSCK_DEBIAN
    BENCH_DISK[$arch]=$work/$arch.disk
    "$QV_ROOT/tools/make-disk.sh" "$work/$arch.disk" "$QV_BUSYBOX" \
      --char-node /dev/kmsg:1:11 --size 32 >"$work/$arch.disk.log" 2>&1 ||
      { cat "$work/$arch.disk.log" >&2; echo "$arch: could not make the disk" >&2; exit 1; }
    {
      echo "kernel $arch: $(basename "$QV_KERNEL")"
      echo "quenvale-init $arch: $(stat -c %s "$QV_INIT") B"
    } >>"$work/machine.txt"
  done
}

bench_use_arch() {
  QV_INIT=${BENCH_INIT[$1]} QV_KERNEL=${BENCH_KERNEL[$1]}
  QV_MODULES_DIR=${BENCH_MODULES[$1]} QV_KERNEL_CONFIG=${BENCH_CONFIG[$1]}
  QV_BUSYBOX=${BENCH_BUSYBOX[$1]}
  QV_E2FSCK=${BENCH_E2FSCK[$1]} QV_E2FSCK_DEBIAN=${BENCH_E2FSCK_DEBIAN[$1]}
}

# bench_figures LOG CONFIG: reads a boot's console into FIG, every figure
# any benchmark takes, each empty when the boot did not print it. Stamps
# are the kernel's (seconds); kernel lines can break into user-space
# output, so they are searched anywhere in a line.
#   unpack, freed   the initramfs unpack, its start and end
#   start           "Run /init as init process"
#   found           the root disk's partition line (QV_BUS_PARTITION)
#   mounted         the kernel's line of the root's ext4 mount
#   e2fsck          the e2fsck stamp (tests/boot/e2fsck_stamp.c), last one
#   stamps, early   how many e2fsck stamps; 1 when one came before "found"
#   e2fsck_us, checks   the e2fsck timer's microseconds, how many it printed
#   pass5           how many times e2fsck's fifth pass ran
#   preinit, sync   preinit's two stamps
#   uptime, sync_before, sync_after   preinit's /proc/uptime reads
#   reads, sectors  the root disk's read requests and sectors at preinit
#   all_reads, all_sectors   the same summed over every disk (not over
#                   CD drives, loop or RAM devices)
#   root            "DEVICE TYPE" of the root preinit found
declare -gA FIG=()
bench_figures() {
  local key value disk=${CONFIG_DISK[$2]} part=${CONFIG_PART[$2]}
  FIG=()
  while read -r key value; do
    FIG[$key]=$value
  done < <(tr -d '\r' <"$1" | awk -v found_line="${QV_BUS_PARTITION[${CONFIG_BUS[$2]}]}" \
    -v disk="$disk" -v mount_line="EXT4-fs \\\\($part\\\\): mounted" "$QV_STAMP_AWK"'
    function keep(key, marker,   s) { s = stamp(marker); if (s != "") f[key] = s; return s }
    { keep("unpack", "Trying to unpack rootfs image as initramfs")
      keep("freed", "Freeing initrd memory")
      keep("start", "Run /init as init process")
      if (!("found" in f)) keep("found", found_line)
      keep("mounted", mount_line)
      if (keep("e2fsck", "QUENVALE-STAMP e2fsck") != "") {
        f["stamps"]++
        if (!("found" in f)) f["early"] = 1
      }
      keep("preinit", "QUENVALE-STAMP preinit($|[^-])")
      keep("sync", "QUENVALE-STAMP sync($|[^-])") }
    /Pass 5: Checking group summary information/ { f["pass5"]++ }
    match($0, /QUENVALE-E2FSCK-US [0-9]+/) {
      f["e2fsck_us"] = substr($0, RSTART + 19, RLENGTH - 19); f["checks"]++ }
    match($0, /QUENVALE-UPTIME [0-9.]+/) { f["uptime"] = substr($0, RSTART + 16, RLENGTH - 16) }
    match($0, /QUENVALE-SYNC-UPTIME [0-9.]+ [0-9.]+/) {
      split(substr($0, RSTART + 21, RLENGTH - 21), u, " ")
      f["sync_before"] = u[1]; f["sync_after"] = u[2] }
    match($0, /QUENVALE-STAT [^ ]+( +[0-9]+)+/) {
      n = split(substr($0, RSTART, RLENGTH), w, / +/)
      if (w[2] == disk && n >= 5) { f["reads"] = w[3]; f["sectors"] = w[5] }
      if (w[2] !~ /^(sr|loop|ram|zram|fd)[0-9]/ && n >= 5) {
        f["all_reads"] += w[3]; f["all_sectors"] += w[5] }
    }
    /^QUENVALE-ROOT / { f["root"] = $2 " " $3 }
    END { for (k in f) print k, f[k] }')
}

# bench_boot CONFIG IMAGE LOG APPEND [ROOT]: one boot of IMAGE with the
# configuration's disk and bus (and QV_QEMU_EXTRA's devices), after any
# other QEMU ended; FIG holds its figures. Exits with the console's tail
# when the boot failed or preinit did not find the root mounted as ext4:
# the configuration's root partition, or the device ROOT names (a
# pattern).
bench_boot() {
  local config=$1 image=$2 log=$3 append=$4 arch=${CONFIG_ARCH[$1]} status=0
  local root=${5:-/dev/${CONFIG_PART[$1]}}
  qv_wait_for_quiet_machine || { echo "another QEMU kept running" >&2; exit 1; }
  qv_boot "$arch" "$image" "${BENCH_DISK[$arch]}" "$append" "$log" \
    "${QUENVALE_BOOT_TIMEOUT:-120}" "${CONFIG_BUS[$config]}" || status=$?
  bench_figures "$log" "$config"
  # shellcheck disable=SC2053 # ROOT may be a pattern
  if [ $status -ne 0 ] || [[ ${FIG[root]:-} != $root" ext4" ]]; then
    bench_boot_failed "$log" "did not reach /etc/preinit with $root mounted as ext4 (qemu status $status)"
  fi
}

# bench_boot_failed LOG WHAT: the message, the console's tail, exit 1.
bench_boot_failed() {
  echo "${1##*/}: $2; console (${1#"$QV_ROOT"/}), last lines:" >&2
  tr -d '\r' <"$1" | tail -n 25 | sed 's/^/  | /' >&2
  exit 1
}

# bench_row KEY...: FIG's values of the keys, tab-separated; status 1 when
# one is missing.
bench_row() {
  local key row=()
  for key in "$@"; do
    [ -n "${FIG[$key]:-}" ] || return 1
    row+=("${FIG[$key]}")
  done
  (IFS=$'\t'; echo "${row[*]}")
}

# bench_pass_figures FILE: the wait-pass figures that the system tests'
# driver prints in its bench modes (tests/system/root_driver.cpp): the
# first pass's microseconds, the later passes' median, least and most,
# and the disk's completed reads after the first pass and after the last
# ("-" when it watched no disk), space-separated; status 1 when the times
# are not there.
bench_pass_figures() {
  tr -d '\r' <"$1" | awk '/^first pass us:/ { first = $4 }
    /^later pass us:/ { later = $5 " " $7 " " $9 }
    /^reads after the first pass:/ { after_first = $6 }
    /^reads after the last pass:/ { after_last = $6 }
    END { if (first == "" || later == "") exit 1
          if (after_first == "" || after_last == "") after_first = after_last = "-"
          print first, later, after_first, after_last }'
}
