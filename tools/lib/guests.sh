# shellcheck shell=bash
# QEMU guests of Debian's kernels for the boot tests, the benchmarks and
# the demo: host packages, the guests' kernels and programs from Debian
# (downloaded and unpacked, never installed), the init binaries, the
# images of the board files, boots, and the kernel's timestamps.
#
#   qv_install_deps ARCH...    host tools for booting them
#   qv_fetch_guest ARCH        sets QV_KERNEL, QV_KERNEL_CONFIG,
#                              QV_MODULES_DIR, QV_BUSYBOX, QV_E2FSCK_DEBIAN
#   qv_build_init ARCH         sets QV_INIT and QV_E2FSCK
#   qv_board ARCH BUS          the board file of the guest's root bus
#   qv_make_bus_image ARCH BUS OUTPUT [quenvale-mkimage options...]
#   qv_guest_cc ARCH OUTPUT SOURCE...   a small static program for it
#   qv_blkid_cc ARCH OUTPUT SOURCE...   the same, musl, with the init's libblkid
#   qv_boot ARCH INITRD DISK APPEND LOG TIMEOUT [BUS]
#   QV_STAMP_AWK               the printk stamp of a marker, for awk
#
# The machines (kernel, QEMU board, console) are tools/arches.tsv's.
# shellcheck disable=SC2034 # QV_E2FSCK, QV_STAMP_AWK, ... are for the callers
[ -z "${QV_LIB_GUESTS:-}" ] || return 0
QV_LIB_GUESTS=1
# shellcheck source=tools/lib/arches.sh
. "$(dirname "${BASH_SOURCE[0]}")/arches.sh"
# shellcheck source=tools/lib/packages.sh
. "$QV_LIB/packages.sh"
# shellcheck source=tools/lib/disk-ids.sh
. "$QV_LIB/disk-ids.sh"

QV_CACHE=${QUENVALE_BOOT_CACHE:-$QV_ROOT/.cache/boot}
# Steps played through QEMU's monitor during a boot on a bus, for buses
# whose devices come and go (the boot tests' own, tests/boot/lib.sh).
declare -gA QV_BUS_MONITOR=()

# qv_board ARCH BUS: images/boards/ARCH-BOARD-BUS.toml, the board file of
# the guest's root bus, without its directory and suffix. The variants of
# a bus (usb-swap, virtio-dead, ...) boot its board's image.
qv_board() {
  local files name
  files=("$QV_ROOT/images/boards/$1"-*-"${2%%-*}".toml)
  [ ${#files[@]} -eq 1 ] && [ -e "${files[0]}" ] || return 1
  name=${files[0]##*/}
  echo "${name%.toml}"
}

# How QEMU attaches the disk (drive "root") on each bus, and the kernel's
# line once it has read the partition table. An SD card appears only after
# its host controller found it, a USB stick after the hub and storage
# drivers did: later than the module loads, as on a real board. On
# virtio-scsi the root is at the last target, where the kernel's scan
# meets it after any other disk a benchmark adds.
declare -gA QV_BUS_DEVICE=(
  [virtio]="-device virtio-blk-pci,drive=root"
  [sd]="-device sdhci-pci -device sd-card,drive=root"
  [usb]="-device usb-ehci,id=ehci -device usb-storage,bus=ehci.0,drive=root"
  [scsi]="-device virtio-scsi-pci,id=scsi -device scsi-hd,drive=root,bus=scsi.0,scsi-id=255")
declare -gA QV_BUS_PARTITION=([virtio]=" vda: vda1" [sd]=" mmcblk0: p1"
                             [usb]=" sda: sda1" [scsi]=" sda: sda1")
qv_log() { echo "== $*" >&2; }

# Host tools for building and booting the given architectures.
qv_install_deps() {
  local packages=(cmake g++ make pkg-config libblkid-dev python3 kmod fdisk
                  e2fsprogs xz-utils zstd lz4 coreutils cpio) arch
  for arch in "$@"; do packages+=("${QV_ARCH_QEMU_SYSTEM[$arch]}"); done
  qv_install "${packages[@]}"
  for arch in "$@"; do
    if [ "$arch" != x86_64 ]; then
      # The cross compiler, for the programs the boots build for the guest.
      "$QV_ROOT/cmake/cross-deps.sh" "$arch"
    fi
  done
}

# Downloads and unpacks the guest's kernel, busybox and Debian's static
# e2fsck into the cache, once per package set; sets QV_KERNEL,
# QV_KERNEL_CONFIG, QV_MODULES_DIR, QV_BUSYBOX and QV_E2FSCK_DEBIAN (the
# images carry the e2fsck built here, qv_build_init; Debian's is what the
# benchmarks weigh it against).
qv_fetch_guest() {
  local arch=$1 deb_arch=${QV_ARCH_DEB[$1]} dir=$QV_CACHE/$1 kernel_pkg
  kernel_pkg=$(qv_kernel_package "${QV_ARCH_KERNEL[$arch]}:$deb_arch")
  kernel_pkg=${kernel_pkg%:*}:$deb_arch
  local debs="$kernel_pkg busybox-static:$deb_arch e2fsck-static:$deb_arch"
  if [ "$(cat "$dir/packages" 2>/dev/null)" != "$debs" ]; then
    qv_log "fetching $debs"
    rm -rf "$dir/root" "$dir/debs" "$dir/packages"
    mkdir -p "$dir/debs"
    # shellcheck disable=SC2086 # words
    qv_download "$dir/debs" $debs
    local deb
    for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$dir/root"; done
    rm -rf "$dir/debs"
    echo "$debs" >"$dir/packages"
  fi
  QV_KERNEL=$(ls "$dir"/root/boot/vmlinuz-* | head -n 1)
  QV_KERNEL_CONFIG=$dir/root/boot/config-${QV_KERNEL##*/vmlinuz-}
  QV_MODULES_DIR=$(ls -d "$dir"/root/lib/modules/* | head -n 1)
  QV_BUSYBOX=$dir/root/bin/busybox
  QV_E2FSCK_DEBIAN=$dir/root/sbin/e2fsck.static
  local f
  for f in "$QV_KERNEL" "$QV_KERNEL_CONFIG" "$QV_MODULES_DIR" "$QV_BUSYBOX" "$QV_E2FSCK_DEBIAN"; do
    [ -e "$f" ] || { echo "missing after unpacking: $f" >&2; return 1; }
  done
}

# Builds the init and the e2fsck that ship for the guest (tools/build.sh
# and tools/build-e2fsck.sh: static, musl); sets QV_INIT and QV_E2FSCK.
# QUENVALE_BOOT_INIT_X86_64 / QUENVALE_BOOT_INIT_MIPSEL name an init to take
# instead.
qv_build_init() {
  local arch=$1 log=$QV_ROOT/build/musl-$1.log given
  mkdir -p "$QV_ROOT/build"
  qv_log "building e2fsck for $arch (tools/build-e2fsck.sh $arch)"
  "$QV_ROOT/tools/build-e2fsck.sh" "$arch" >"$log" 2>&1 ||
    { tail -n 30 "$log" >&2; return 1; }
  QV_E2FSCK=$QV_ROOT/build/musl-$arch/e2fsck
  given=QUENVALE_BOOT_INIT_${arch^^}
  if [ -n "${!given:-}" ]; then
    QV_INIT=$(realpath "${!given}")
    qv_log "using $QV_INIT"
    return 0
  fi
  qv_log "building quenvale-init for $arch (tools/build.sh $arch)"
  "$QV_ROOT/tools/build.sh" "$arch" >"$log" 2>&1 ||
    { tail -n 30 "$log" >&2; return 1; }
  QV_INIT=$QV_ROOT/build/musl-$arch/src/quenvale-init
}

# qv_blkid_cc ARCH OUTPUT SOURCE-OR-OPTION...: a static musl program for
# the guest that uses libblkid: the libblkid of the init's musl build
# (tools/build.sh ARCH, which qv_build_init runs), the program compiled as
# libblkid is and linked as the init is (src/CMakeLists.txt).
QV_BLKID_CFLAGS=(-Os -ffunction-sections -fdata-sections -fno-pie)
# shellcheck disable=SC2054 # the linker's options carry commas
QV_BLKID_LDFLAGS=(-static -Wl,--gc-sections -Wl,-z,noexecstack -Wl,-z,noseparate-code
                  -Wl,--build-id=none)
qv_blkid_cc() {
  local arch=$1 output=$2 sysroot=$QV_ROOT/.cache/musl/$1/sysroot
  shift 2
  "${QV_ARCH_MUSL[$arch]}-gcc" "${QV_BLKID_CFLAGS[@]}" -Wall -Wextra -Werror \
    -isystem "$QV_ROOT/.cache/musl/$arch/kernel-headers" -I"$sysroot/include/blkid" \
    "${QV_BLKID_LDFLAGS[@]}" -o "$output" "$@" -L"$sysroot/lib" -lblkid
}

# qv_guest_cc ARCH OUTPUT SOURCE...: a small static program for the
# guest (timers, stamps, floors), with the Debian cross compiler of its
# architecture.
qv_guest_cc() {
  local arch=$1 output=$2
  shift 2
  "$(qv_guest_cc_name "$arch")" -Os -static -s -Wall -Wextra -Werror -Wl,-z,noexecstack \
    -o "$output" "$@"
}

# The guest compiler's command, to check for it before a long run.
qv_guest_cc_name() {
  echo "${QV_ARCH_GNU[$1]}-gcc"
}

# qv_make_image ARCH OUTPUT [quenvale-mkimage options...]: for a virtio
# root.
qv_make_image() {
  local arch=$1
  shift
  qv_make_bus_image "$arch" virtio "$@"
}

# qv_make_bus_image ARCH BUS OUTPUT [quenvale-mkimage options...]: the
# image of the guest's board file for BUS, checked against the guest
# kernel's configuration; the builder's own e2fsck for ARCH, unless
# QV_IMAGE_E2FSCK names another. The options given override the board
# file's (a plain cpio wants --compress none).
qv_make_bus_image() {
  local arch=$1 bus=$2 output=$3 board
  shift 3
  board=$(qv_board "$arch" "$bus") || { echo "no board file for $arch on $bus" >&2; return 1; }
  local e2fsck=()
  [ -z "${QV_IMAGE_E2FSCK:-}" ] || e2fsck=(--e2fsck "$QV_IMAGE_E2FSCK")
  "$QV_ROOT/images/quenvale-mkimage" --config "$QV_ROOT/images/boards/$board.toml" \
    --init "$QV_INIT" ${e2fsck[@]+"${e2fsck[@]}"} --modules-dir "$QV_MODULES_DIR" \
    --kernel-config "$QV_KERNEL_CONFIG" -o "$output" "$@"
}

# qv_boot ARCH INITRD DISK APPEND LOG TIMEOUT [BUS]: runs the guest until
# it powers off, panics (panic=-1 with -no-reboot) or the time runs out; the
# console goes to LOG ("-": standard output). DISK is attached on BUS
# (QV_BUS_DEVICE; default virtio). Returns QEMU's status, 124 on time-out.
# Words of the array QV_QEMU_EXTRA, when set, go to QEMU as well (-trace,
# say).
#
# A bus with monitor steps (QV_BUS_MONITOR) gets a monitor socket and
# tools/lib/monitor.py playing them against the console; it needs QV_JUNK_DISK
# and the log as a file. Its steps' output goes to LOG.monitor. A bus with
# a copy of the junk disk (@COPY@) or of the root disk (@CLONE@) gets
# LOG.host: whether the boot wrote to it.
qv_boot() {
  local arch=$1 initrd=$2 disk=$3 append=$4 log=$5 limit=$6 bus=${7:-virtio}
  local machine device monitor=() steps=() medium='' player='' status=0 i copy='' clone='' clones=()
  [ -n "${QV_BUS_DEVICE[$bus]:-}" ] || { echo "unknown bus: $bus" >&2; return 2; }
  read -r -a device <<<"${QV_BUS_DEVICE[$bus]}"
  [ "$log" = - ] || rm -f -- "$log.host"
  for i in "${!device[@]}"; do
    if [ "${device[$i]//@COPY@/}" != "${device[$i]}" ]; then
      copy=$log.copy
      cp "$QV_JUNK_DISK" "$copy"
    elif [ "${device[$i]//@CLONE@/}" != "${device[$i]}" ]; then
      clone=$log.clone${#clones[@]}
      clones+=("$clone")
      cp "$disk" "$clone"
    fi
    device[$i]=${device[$i]//@COPY@/$copy}
    device[$i]=${device[$i]//@CLONE@/$clone}
    device[$i]=${device[$i]//@DISK@/$disk}
  done
  if [ -n "${QV_BUS_MONITOR[$bus]:-}" ]; then
    medium=$log.medium
    cp "$disk" "$medium"
    for i in "${!device[@]}"; do
      device[$i]=${device[$i]//@JUNK@/$QV_JUNK_DISK}
    done
    local script=${QV_BUS_MONITOR[$bus]//@MEDIUM@/$medium}
    IFS='|' read -r -a steps <<<"${script//@JUNK@/$QV_JUNK_DISK}"
    monitor=(-monitor "unix:$log.sock,server=on,wait=off")
    rm -f "$log.sock" "$log"
    : >"$log"
  fi
  # "-": the caller's standard output, duplicated rather than reopened as
  # /dev/stdout, which some sandboxes hand QEMU as a pipe nobody reads.
  local console
  if [ "$log" = - ]; then exec {console}>&1; else exec {console}>"$log"; fi
  read -r -a machine <<<"${QV_ARCH_MACHINE[$arch]}"
  # -vga none: the boards have no display, and without it QEMU looks for
  # the default card's ROM, which only a recommended package brings.
  # snapshot=on: e2fsck and the mount write to a throw-away overlay, so
  # every boot starts from the same disk.
  if [ ${#steps[@]} -gt 0 ]; then
    python3 "$QV_ROOT/tools/lib/monitor.py" "$log.sock" "$log" "${steps[@]}" \
      2>"$log.monitor" &
    player=$!
  fi
  timeout --kill-after=5 "$limit" "${machine[@]}" -accel tcg -smp 1 \
    -nographic -vga none -no-reboot -net none \
    -kernel "$QV_KERNEL" -initrd "$initrd" -append "$append" \
    -drive "if=none,id=root,file=$disk,format=raw,snapshot=on" \
    "${device[@]}" ${monitor[@]+"${monitor[@]}"} \
    ${QV_QEMU_EXTRA[@]+"${QV_QEMU_EXTRA[@]}"} </dev/null >&"$console" 2>&1 || status=$?
  exec {console}>&-
  if [ -n "$player" ]; then
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
    rm -f "$log.sock" "$medium"
  fi
  if [ -n "$copy" ]; then
    if cmp -s "$QV_JUNK_DISK" "$copy"; then
      echo "host: the other disk is unchanged"
    else
      echo "host: the other disk was written"
    fi >"$log.host"
    rm -f "$copy"
  fi
  [ ${#clones[@]} -eq 0 ] || qv_clones_written "$disk" "$log" "${clones[@]}" >"$log.host"
  return $status
}

# qv_clones_written DISK LOG CLONE...: which clones (vda, vdb, ...) the boot
# wrote to, against the root the next stage reported: "host: only the root
# clone was written" when every other one is unchanged.
qv_clones_written() {
  local disk=$1 log=$2 root clone written=() letters=(a b c d e f g h)
  shift 2
  root=$(tr -d '\r' <"$log" | sed -n 's|^QUENVALE-ROOT /dev/\(vd[a-z]\)1 .*|\1|p' | head -n 1)
  for clone in "$@"; do
    cmp -s "$disk" "$clone" || written+=("vd${letters[0]}")
    letters=("${letters[@]:1}")
    rm -f "$clone"
  done
  if [ -n "$root" ] && [ "${written[*]:-}" = "$root" ]; then
    echo "host: only the root clone was written ($root)"
  else
    echo "host: clones written: ${written[*]:-none}; root: ${root:-none}"
  fi
}

# An awk function for the boot scripts: the printk stamp (seconds) of the
# kernel line that MARKER (a regular expression) begins, or "" when this
# line holds none. Kernel lines can break into user-space output, so the
# stamp is searched anywhere in a line.
QV_STAMP_AWK='
  function stamp(marker,   m) {
    if (!match($0, "\\[ *[0-9]+\\.[0-9]+\\] " marker)) return ""
    m = substr($0, RSTART + 1, RLENGTH - 1)
    sub(/\].*/, "", m)
    gsub(/ /, "", m)
    return m
  }'

# Another QEMU on this 2-core machine would skew a benchmark's figures:
# waits for it to end, for 30 minutes at the most (then returns 1).
qv_wait_for_quiet_machine() {
  local waited=0
  while pgrep -x 'qemu-system-.*' >/dev/null; do
    [ $waited -eq 0 ] && qv_log "another QEMU is running; waiting for it to end"
    waited=$((waited + 5))
    [ $waited -le 1800 ] || { qv_log "another QEMU ran for 30 minutes; giving up"; return 1; }
    sleep 5
  done
}
