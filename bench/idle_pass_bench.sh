#!/usr/bin/env bash
# Cost of one idle wait-loop pass on malta (mipsel, QEMU TCG): the scan and
# the mount attempt while the root device is absent, with the test disk
# (GPT, one ext4 partition) attached on virtio, an SD card or a USB stick.
# The system tests' driver, cross-built, is booted as /init in its bench
# mode: it runs PASSES passes of the program's own steps and prints the
# first pass's time and the median of the others, on the guest's clock.
#
# Usage: bench/idle_pass_bench.sh [-n PASSES] [DRIVER...]
#   DRIVER: mipsel root_driver binaries to compare, booted in turn on each
#   bus (default: the one built from this tree in build/test-mipsel).
# Prints one line per boot. Not part of tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../tools/lib/guests.sh"

passes=300
drivers=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) passes=$2; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) drivers+=("$(realpath "$1")") ;;
  esac
  shift
done

qv_install_deps mipsel
qv_fetch_guest mipsel
if [ ${#drivers[@]} -eq 0 ]; then
  cmake -S "$QV_ROOT" -B "$QV_ROOT/build/test-mipsel" \
    -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/gnu.cmake" -DQUENVALE_ARCH=mipsel \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$QV_ROOT/build/test-mipsel" --target root_driver -j"$(nproc)" >/dev/null
  drivers=("$QV_ROOT/build/test-mipsel/tests/root_driver")
fi

work=$QV_CACHE/idle-pass
mkdir -p "$work"
"$QV_ROOT/tools/make-disk.sh" "$work/disk.img" "$QV_BUSYBOX" --size 32
absent=00000000-0000-0000-0000-00000000dead

for bus in virtio sd usb; do
  for i in "${!drivers[@]}"; do
    # shellcheck disable=SC2034 # read by qv_make_bus_image
    QV_INIT=${drivers[$i]}
    qv_make_bus_image mipsel "$bus" "$work/driver$i-$bus.img" --gzip 2>/dev/null
  done
  for i in "${!drivers[@]}"; do
    log=$work/driver$i-$bus.log
    qv_boot mipsel "$work/driver$i-$bus.img" "$work/disk.img" \
      "console=${QV_ARCH_CONSOLE[mipsel]} panic=-1 -- guest-bench $passes root=PARTUUID=$absent" "$log" 300 "$bus" || true
    figures=$(tr -d '\r' <"$log" | awk '/^first pass us:/ { first = $4 }
      /^later pass us:/ { print first, $5, $7, $9 }')
    [ -n "$figures" ] || { echo "no figures in ${log#"$QV_ROOT"/}" >&2; tail -n 15 "$log" >&2; exit 1; }
    read -r first median low high <<<"$figures"
    printf '%-7s driver %d  first pass %8d us  later passes: median %6d us (%d-%d)  %s\n' \
      "$bus" "$i" "$first" "$median" "$low" "$high" "${drivers[$i]}"
  done
done
