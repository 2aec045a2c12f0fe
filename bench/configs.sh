# shellcheck shell=bash
# The boot benchmarks' four configurations, sourced by bench/floor_bench.sh
# and bench/e2fsck_bench.sh:
#   x86_64-virtio  Debian's cloud kernel, root on virtio-blk (vda)
#   malta-virtio   Debian's 4kc-malta kernel, root on virtio-blk (vda)
#   malta-sd       the same, root on an SD card behind sdhci-pci (mmcblk0)
#   malta-usb      the same, root on a USB stick behind EHCI (sda)
# and, taken only when named, the other architectures' virtio roots:
#   malta64-virtio  Debian's 5kc-malta kernel (mips64el)
#   armhf-virtio    Debian's armmp kernel on QEMU's virt board, Cortex-A15
#   arm64-virtio    Debian's arm64 kernel on QEMU's virt board, Cortex-A53
# shellcheck disable=SC2034 # read by the scripts that source this

CONFIGS=(x86_64-virtio malta-virtio malta-sd malta-usb)
# Per configuration: guest architecture, bus, root disk, root partition.
declare -A CONFIG_ARCH=([x86_64-virtio]=x86_64 [malta-virtio]=mipsel
                        [malta-sd]=mipsel [malta-usb]=mipsel
                        [malta64-virtio]=mips64el [armhf-virtio]=armhf
                        [arm64-virtio]=arm64)
declare -A CONFIG_BUS=([x86_64-virtio]=virtio [malta-virtio]=virtio
                       [malta-sd]=sd [malta-usb]=usb [malta64-virtio]=virtio
                       [armhf-virtio]=virtio [arm64-virtio]=virtio)
declare -A CONFIG_DISK=([x86_64-virtio]=vda [malta-virtio]=vda
                        [malta-sd]=mmcblk0 [malta-usb]=sda [malta64-virtio]=vda
                        [armhf-virtio]=vda [arm64-virtio]=vda)
declare -A CONFIG_PART=([x86_64-virtio]=vda1 [malta-virtio]=vda1
                        [malta-sd]=mmcblk0p1 [malta-usb]=sda1 [malta64-virtio]=vda1
                        [armhf-virtio]=vda1 [arm64-virtio]=vda1)
# The compiler of each guest's small static helpers (timers, stamps).
declare -A BENCH_CC=()
for _arch in "${QV_ALL_ARCHES[@]}"; do BENCH_CC[$_arch]=${QV_ARCH_GNU[$_arch]}-gcc; done
unset _arch

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
