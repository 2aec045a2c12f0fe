# shellcheck shell=bash
# The boot benchmarks' configurations, sourced by bench/floor_bench.sh and
# bench/e2fsck_bench.sh after tools/lib/guests.sh. Each is a guest of
# tools/arches.tsv and the bus of its root disk, whose board file
# (images/boards) makes the image; the disk and root partition follow
# from the bus (QV_BUS_PARTITION):
#   x86_64-virtio  Debian's cloud kernel, root on virtio-blk (vda)
#   malta-virtio   Debian's 4kc-malta kernel, root on virtio-blk (vda)
#   malta-sd       the same, root on an SD card behind sdhci-pci (mmcblk0)
#   malta-usb      the same, root on a USB stick behind EHCI (sda)
# and, taken only when named, the other architectures' virtio roots:
#   malta64-virtio  Debian's 5kc-malta kernel (mips64el)
#   armhf-virtio    Debian's armmp kernel on QEMU's virt board, Cortex-A15
#   arm64-virtio    Debian's arm64 kernel on QEMU's virt board, Cortex-A53
#   i386-virtio     Debian's 686 kernel on QEMU's PC
# shellcheck disable=SC2034 # read by the scripts that source this

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
