# Shared by tests/boot/run.sh and tools/demo.sh: host packages, guest
# kernels and programs from Debian (downloaded and unpacked, never
# installed), the init binaries, initramfs and disk images, and QEMU.
# Source it; it needs bash.

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QV_BOOT_DIR=$QV_ROOT/tests/boot
QV_CACHE=${QUENVALE_BOOT_CACHE:-$QV_ROOT/.cache/boot}
. "$QV_BOOT_DIR/ids.sh"
# shellcheck source=cmake/arches.sh
. "$QV_ROOT/cmake/arches.sh"
# shellcheck source=tools/apt.sh
. "$QV_ROOT/tools/apt.sh"

QV_ARCHES=("${QV_ALL_ARCHES[@]}")

# Debian's kernel for each guest. arm64's full kernel rather than its cloud
# flavour, which has neither MMC nor USB storage; armhf's without LPAE, as
# the small boards' are.
declare -A QV_KERNEL_META=([x86_64]=linux-image-cloud-amd64
                           [mipsel]=linux-image-4kc-malta:mipsel
                           [mips64el]=linux-image-5kc-malta:mips64el
                           [armhf]=linux-image-armmp:armhf
                           [arm64]=linux-image-arm64:arm64)
declare -A QV_QEMU_PACKAGE=([x86_64]=qemu-system-x86 [mipsel]=qemu-system-mips
                            [mips64el]=qemu-system-mips [armhf]=qemu-system-arm
                            [arm64]=qemu-system-arm)
# The board and its serial console. QEMU's virt board has its PCI host's
# configuration space above 4 GiB unless told otherwise, where a kernel
# without LPAE cannot reach it.
declare -A QV_MACHINE=([x86_64]="qemu-system-x86_64 -m 512"
                       [mipsel]="qemu-system-mipsel -M malta -m 256"
                       [mips64el]="qemu-system-mips64el -M malta -cpu 5KEc -m 256"
                       [armhf]="qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 256"
                       [arm64]="qemu-system-aarch64 -M virt -cpu cortex-a53 -m 512")
declare -A QV_CONSOLE=([x86_64]=ttyS0 [mipsel]=ttyS0 [mips64el]=ttyS0
                       [armhf]=ttyAMA0 [arm64]=ttyAMA0)
# The board file (images/boards) of each guest's root bus (ARCH:BUS): the
# modules that reach the ext4 root, and why. Debian's cloud kernel for
# x86_64 has neither MMC nor USB storage, so it has no sd or usb board. The
# variants of a bus (usb-swap, virtio-dead, ...) boot its board's image.
declare -A QV_BOARD=([x86_64:virtio]=x86_64-pc-virtio
                     [mipsel:virtio]=mipsel-malta-virtio
                     [mipsel:sd]=mipsel-malta-sd
                     [mipsel:usb]=mipsel-malta-usb
                     [mips64el:virtio]=mips64el-malta-virtio
                     [armhf:virtio]=armhf-virt-virtio
                     [arm64:virtio]=arm64-virt-virtio
                     [arm64:sd]=arm64-virt-sd
                     [arm64:usb]=arm64-virt-usb)
# How QEMU attaches the disk (drive "root") on each bus, and the kernel's
# line once it has read the partition table. An SD card appears only after
# its host controller found it, a USB stick after the hub and storage
# drivers did: later than the module loads, as on a real board.
declare -A QV_BUS_DEVICE=(
  [virtio]="-device virtio-blk-pci,drive=root"
  [sd]="-device sdhci-pci -device sd-card,drive=root"
  [usb]="-device usb-ehci,id=ehci -device usb-storage,bus=ehci.0,drive=root")
declare -A QV_BUS_PARTITION=([virtio]=" vda: vda1" [sd]=" mmcblk0: p1"
                             [usb]=" sda: sda1")
# Removable roots that come and go on malta's USB bus, played through
# QEMU's monitor (qv_boot, tests/boot/monitor.py): a stick without the root
# pulled and the root stick plugged in (usb-swap), a card reader whose
# card without the root is changed for the root's (usb-card), the root
# stick plugged in late (usb-late). @JUNK@ is a disk whose partitions hold
# no file system, @MEDIUM@ a copy of the root disk for this boot. A card
# can be pulled from a reader whatever the drive says, so the change is
# forced past the lock the guest puts on a medium in use; QEMU 7.2 can lose
# a forced change that lands while a read is under way (monitor.py, until),
# so the card is pulled and put back once more if the guest saw nothing
# after 8 s. A card can also
# be asked for, as a drive's eject button does (usb-eject): the change
# without -f, pressed again while the drive answers that the medium is
# locked, as the init may be reading the card's partition table at that
# moment; once the next stage runs, on its own root card, the same request
# must be refused.
QV_BUS_DEVICE+=(
  [usb-swap]="-device usb-ehci,id=ehci -drive if=none,id=junk,file=@JUNK@,format=raw,snapshot=on -device usb-storage,bus=ehci.0,drive=junk,id=stick"
  [usb-card]="-device usb-ehci,id=ehci -drive if=none,id=card,file=@JUNK@,format=raw,snapshot=on -device usb-storage,bus=ehci.0,drive=card,removable=on,id=reader"
  [usb-late]="-device usb-ehci,id=ehci")
QV_BUS_DEVICE[usb-eject]=${QV_BUS_DEVICE[usb-card]}
# Read errors injected by QEMU's blkdebug driver (rules in tests/boot/blkdebug)
# on virtio disks: a disk that fails every read and one whose partition
# table cannot be read, each probed before the root (the root is then vdb);
# a root whose superblock fails its first reads. @COPY@ is a copy of the
# junk disk made for the boot, without a snapshot, so that qv_boot can tell
# whether anything was written to it; @DISK@ is the root disk.
qv_blkdebug() {
  echo "-drive if=none,id=$1,driver=raw,file.driver=blkdebug,file.config=$QV_BOOT_DIR/blkdebug/$2.conf,file.image.filename=$3"
}
QV_BUS_DEVICE+=(
  [virtio-dead]="$(qv_blkdebug bad every-read @COPY@) -device virtio-blk-pci,drive=bad -device virtio-blk-pci,drive=root"
  [virtio-notable]="$(qv_blkdebug bad table @COPY@) -device virtio-blk-pci,drive=bad -device virtio-blk-pci,drive=root"
  [virtio-flaky]="$(qv_blkdebug flaky root-superblock-fails @DISK@),snapshot=on -device virtio-blk-pci,drive=flaky")
# One image written to two media, as a board's eMMC and its SD card: each
# @CLONE@ a copy of the root disk made for the boot, without a snapshot, in
# the order vda, vdb.
QV_BUS_DEVICE[virtio-clone]="-drive if=none,id=first,file=@CLONE@,format=raw -device virtio-blk-pci,drive=first -drive if=none,id=second,file=@CLONE@,format=raw -device virtio-blk-pci,drive=second"
QV_BUS_PARTITION[virtio-clone]=" vda: vda1"
# Each a list of monitor.py steps, separated by '|'.
declare -A QV_BUS_MONITOR=(
  [usb-swap]="wait Waiting for root|wait Bad magic number|hmp device_del stick|wait USB disconnect|sleep 1|hmp device_add usb-storage,bus=ehci.0,drive=root,id=stick2"
  [usb-card]="wait Waiting for root|wait  sda: sda1|sleep 2|hmp change card -f @MEDIUM@ raw|until 8  sda: sda1"
  [usb-late]="wait Waiting for root|sleep 2|hmp device_add usb-storage,bus=ehci.0,drive=root,id=stick"
  [usb-eject]="wait Waiting for root|wait  sda: sda1|sleep 2|press change card @MEDIUM@ raw|wait QUENVALE-LINGER|hmp change card @JUNK@ raw read-only|answer is locked")
QV_BUS_PARTITION+=([usb-swap]=" sda: sda1" [usb-card]=" sda: sda1" [usb-late]=" sda: sda1"
                  [usb-eject]=" sda: sda1" [virtio-dead]=" vdb: vdb1"
                  [virtio-notable]=" vdb: vdb1" [virtio-flaky]=" vda: vda1")

qv_log() { echo "== $*" >&2; }

qv_apt_updated=no
qv_apt_update() {
  [ "$qv_apt_updated" = yes ] && return 0
  apt_update
  qv_apt_updated=yes
}

qv_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs the named packages that are missing.
qv_apt_install() {
  local missing=() name
  # Once each: guests may share a QEMU package.
  for name in $(printf '%s\n' "$@" | awk '!seen[$0]++'); do
    qv_installed "$name" || missing+=("$name")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qv_log "installing ${missing[*]}"
  qv_apt_update
  apt_install "${missing[@]}"
}

# Host tools for building and booting the given architectures.
qv_install_deps() {
  local packages=(cmake g++ make pkg-config libblkid-dev python3 kmod fdisk
                  e2fsprogs xz-utils zstd lz4 coreutils cpio) arch
  for arch in "$@"; do packages+=("${QV_QEMU_PACKAGE[$arch]}"); done
  qv_apt_install "${packages[@]}"
  for arch in "$@"; do
    if [ "$arch" != x86_64 ]; then
      # The cross compiler, for the programs the boots build for the guest.
      "$QV_ROOT/cmake/cross-deps.sh" "$arch"
      qv_apt_updated=yes  # it updates whatever it installs
    fi
  done
}

# The versioned kernel package behind a meta package.
qv_kernel_package() {
  local meta=$1 found
  found=$(apt-cache depends "$meta" 2>/dev/null |
          awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
  if [ -z "$found" ]; then
    qv_apt_update
    found=$(apt-cache depends "$meta" |
            awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }')
  fi
  [ -n "$found" ] || { echo "no kernel package behind $meta" >&2; return 1; }
  echo "$found"
}

# Downloads and unpacks the guest's kernel, busybox and Debian's static
# e2fsck into the cache, once per package set; sets QV_KERNEL,
# QV_KERNEL_CONFIG, QV_MODULES_DIR, QV_BUSYBOX and QV_E2FSCK_DEBIAN (the
# images carry the e2fsck built here, qv_build_init; Debian's is what the
# benchmarks weigh it against).
qv_fetch_guest() {
  local arch=$1 deb_arch=${QV_ARCH_DEB[$1]} dir=$QV_CACHE/$1 kernel_pkg
  if [ "$deb_arch" != "$(dpkg --print-architecture)" ] &&
     ! dpkg --print-foreign-architectures | grep -qx "$deb_arch"; then
    dpkg --add-architecture "$deb_arch"
    qv_apt_updated=no
    qv_apt_update
  fi
  kernel_pkg=$(qv_kernel_package "${QV_KERNEL_META[$arch]}")
  kernel_pkg=${kernel_pkg%:*}:$deb_arch
  local packages="$kernel_pkg busybox-static:$deb_arch e2fsck-static:$deb_arch"
  if [ "$(cat "$dir/packages" 2>/dev/null)" != "$packages" ]; then
    qv_log "fetching $packages"
    rm -rf "$dir/root" "$dir/debs" "$dir/packages"
    mkdir -p "$dir/debs"
    # shellcheck disable=SC2086
    (cd "$dir/debs" && apt-get download -qq $packages 2>/dev/null) ||
      (qv_apt_update && cd "$dir/debs" && apt_download $packages)
    local deb
    for deb in "$dir"/debs/*.deb; do dpkg -x "$deb" "$dir/root"; done
    rm -rf "$dir/debs"
    echo "$packages" >"$dir/packages"
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
  board=${QV_BOARD[$arch:${bus%%-*}]:-}
  [ -n "$board" ] || { echo "no board file for $arch on $bus" >&2; return 1; }
  local e2fsck=()
  [ -z "${QV_IMAGE_E2FSCK:-}" ] || e2fsck=(--e2fsck "$QV_IMAGE_E2FSCK")
  "$QV_ROOT/images/quenvale-mkimage" --config "$QV_ROOT/images/boards/$board.toml" \
    --init "$QV_INIT" ${e2fsck[@]+"${e2fsck[@]}"} --modules-dir "$QV_MODULES_DIR" \
    --kernel-config "$QV_KERNEL_CONFIG" -o "$output" "$@"
}

# The image path of a module, as /etc/quenvale_list names it.
qv_module_path() {
  local file
  file=$(cd "$QV_MODULES_DIR" && find kernel -name "$1.ko*" | sort | head -n 1)
  [ -n "$file" ] || return 1
  file=${file%.xz}; file=${file%.zst}; file=${file%.gz}
  echo "/lib/modules/$(basename "$QV_MODULES_DIR")/$file"
}

# qv_boot ARCH INITRD DISK APPEND LOG TIMEOUT [BUS]: runs the guest until
# it powers off, panics (panic=-1 with -no-reboot) or the time runs out; the
# console goes to LOG ("-": standard output). DISK is attached on BUS
# (QV_BUS_DEVICE; default virtio). Returns QEMU's status, 124 on time-out.
# Words of the array QV_QEMU_EXTRA, when set, go to QEMU as well (-trace,
# say).
#
# A bus with monitor steps (QV_BUS_MONITOR) gets a monitor socket and
# tests/boot/monitor.py playing them against the console; it needs QV_JUNK_DISK
# and the log as a file. Its steps' output goes to LOG.monitor. A bus with
# a copy of the junk disk (@COPY@) or of the root disk (@CLONE@) gets
# LOG.host: whether the boot wrote to it.
qv_boot() {
  local arch=$1 initrd=$2 disk=$3 append=$4 log=$5 limit=$6 bus=${7:-virtio}
  local machine device monitor=() steps=() medium= player= status=0 i copy= clone= clones=()
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
    steps=${QV_BUS_MONITOR[$bus]//@MEDIUM@/$medium}
    IFS='|' read -r -a steps <<<"${steps//@JUNK@/$QV_JUNK_DISK}"
    monitor=(-monitor "unix:$log.sock,server=on,wait=off")
    rm -f "$log.sock" "$log"
    : >"$log"
  fi
  # "-": the caller's standard output, duplicated rather than reopened as
  # /dev/stdout, which some sandboxes hand QEMU as a pipe nobody reads.
  local console
  if [ "$log" = - ]; then exec {console}>&1; else exec {console}>"$log"; fi
  read -r -a machine <<<"${QV_MACHINE[$arch]}"
  # -vga none: the boards have no display, and without it QEMU looks for
  # the default card's ROM, which only a recommended package brings.
  # snapshot=on: e2fsck and the mount write to a throw-away overlay, so
  # every boot starts from the same disk.
  if [ ${#steps[@]} -gt 0 ]; then
    python3 "$QV_BOOT_DIR/monitor.py" "$log.sock" "$log" "${steps[@]}" \
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
