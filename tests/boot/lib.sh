# shellcheck shell=bash
# The boot tests' own part of the guests (tools/lib/guests.sh): the
# variants of the root buses that the tests play (removable media that
# come and go, read errors, cloned media), for tests/boot/run.sh and
# tools/mutation-check.sh. Source it; it needs bash.

# shellcheck source=tools/lib/guests.sh
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/lib/guests.sh"
QV_BOOT_DIR=$QV_ROOT/tests/boot

# Removable roots that come and go on malta's USB bus, played through
# QEMU's monitor (qv_boot, tools/lib/monitor.py): a stick without the root
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
# a root whose superblock fails its first reads; a root disk with a bad
# sector inside one of the prefetch's reads but in no probe's, and one
# with a bad sector that nothing reads. @COPY@ is a copy of the
# junk disk made for the boot, without a snapshot, so that qv_boot can tell
# whether anything was written to it; @DISK@ is the root disk.
qv_blkdebug() {
  echo "-drive if=none,id=$1,driver=raw,file.driver=blkdebug,file.config=$QV_BOOT_DIR/blkdebug/$2.conf,file.image.filename=$3"
}
QV_BUS_DEVICE+=(
  [virtio-dead]="$(qv_blkdebug bad every-read @COPY@) -device virtio-blk-pci,drive=bad -device virtio-blk-pci,drive=root"
  [virtio-notable]="$(qv_blkdebug bad table @COPY@) -device virtio-blk-pci,drive=bad -device virtio-blk-pci,drive=root"
  [virtio-flaky]="$(qv_blkdebug flaky root-superblock-fails @DISK@),snapshot=on -device virtio-blk-pci,drive=flaky"
  [virtio-gap]="$(qv_blkdebug gap gap-sector-fails @DISK@),snapshot=on -device virtio-blk-pci,drive=gap"
  [virtio-unread]="$(qv_blkdebug unread unread-sector-fails @DISK@),snapshot=on -device virtio-blk-pci,drive=unread")
# One image written to two media, as a board's eMMC and its SD card: each
# @CLONE@ a copy of the root disk made for the boot, without a snapshot, in
# the order vda, vdb.
QV_BUS_DEVICE[virtio-clone]="-drive if=none,id=first,file=@CLONE@,format=raw -device virtio-blk-pci,drive=first -drive if=none,id=second,file=@CLONE@,format=raw -device virtio-blk-pci,drive=second"
QV_BUS_PARTITION[virtio-clone]=" vda: vda1"
# Each a list of monitor.py steps, separated by '|'.
declare -gA QV_BUS_MONITOR=(
  [usb-swap]="wait Waiting for root|wait Bad magic number|hmp device_del stick|wait USB disconnect|sleep 1|hmp device_add usb-storage,bus=ehci.0,drive=root,id=stick2"
  [usb-card]="wait Waiting for root|wait  sda: sda1|sleep 2|hmp change card -f @MEDIUM@ raw|until 8  sda: sda1"
  [usb-late]="wait Waiting for root|sleep 2|hmp device_add usb-storage,bus=ehci.0,drive=root,id=stick"
  [usb-eject]="wait Waiting for root|wait  sda: sda1|sleep 2|press change card @MEDIUM@ raw|wait QUENVALE-LINGER|hmp change card @JUNK@ raw read-only|answer is locked")
QV_BUS_PARTITION+=([usb-swap]=" sda: sda1" [usb-card]=" sda: sda1" [usb-late]=" sda: sda1"
                  [usb-eject]=" sda: sda1" [virtio-dead]=" vdb: vdb1"
                  [virtio-notable]=" vdb: vdb1" [virtio-flaky]=" vda: vda1"
                  [virtio-gap]=" vda: vda1" [virtio-unread]=" vda: vda1")

# The image path of a module, as /etc/quenvale_list names it: the image
# builder's own answer, from the load order of a dry run.
qv_module_path() {
  local path
  path=$("$QV_ROOT/images/quenvale-mkimage" --dry-run --init "$QV_INIT" --e2fsck "$QV_E2FSCK" \
           --modules-dir "$QV_MODULES_DIR" -m "$1" |
         awk -v m="$1" '$1 ~ /^[0-9]+$/ && $2 ~ ("/" m "\\.ko$") { print $2 }')
  [ -n "$path" ] || return 1
  echo "$path"
}
