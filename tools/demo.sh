#!/usr/bin/env bash
# Shows quenvale-init starting a 32-bit MIPS little-endian machine: installs
# what is missing (cross compiler, QEMU, ...), builds the static MIPS init,
# its initramfs and a root disk, and boots Debian's malta kernel under QEMU
# with the serial console on this terminal, from the kernel's first line to
# the marker printed by the root file system's /etc/preinit. Run as root
# (apt-get); downloads are kept in .cache/boot.
set -euo pipefail
. "$(dirname "$0")/lib/guests.sh"

arch=mipsel
qv_install_deps "$arch"
qv_fetch_guest "$arch"
qv_build_init "$arch"

work=$QV_CACHE/demo
mkdir -p "$work"
# The module options travel on the kernel command line, behind "--".
init_args=$(qv_make_image "$arch" "$work/initrd.img" --gzip --options "queue_depth=64")
"$QV_ROOT/tools/make-disk.sh" "$work/disk.img" "$QV_BUSYBOX"

append="console=ttyS0 panic=-1 root=PARTUUID=$PART_UUID $init_args"
qv_log "init $(stat -c %s "$QV_INIT") B, initramfs $(stat -c %s "$work/initrd.img") B"
qv_log "qemu-system-mipsel -M malta, kernel $(basename "$QV_KERNEL")"
qv_log "command line: $append"
start=$SECONDS
qv_boot "$arch" "$work/initrd.img" "$work/disk.img" "$append" - 180 |
  tee "$work/console.log"
if tr -d '\r' <"$work/console.log" | grep -q '^QUENVALE-PREINIT-OK'; then
  qv_log "reached /etc/preinit; the machine powered off after $((SECONDS - start)) s"
else
  qv_log "did not reach /etc/preinit (console: ${work#"$QV_ROOT"/}/console.log)"
  exit 1
fi
