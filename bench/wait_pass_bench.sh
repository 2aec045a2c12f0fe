#!/usr/bin/env bash
# One pass of the wait for a root that is not there: the block device scan
# and the mount attempt, timed by the system tests' driver
# (tests/system/root_driver.cpp in its bench modes: PASSES passes of the
# init's own steps, then the first pass's time and the median, least and
# most of the others). One measure, in two kinds of place:
#   host         the release driver as process 1 in private namespaces,
#                with 8, 32 and 128 loop devices added
#                (bench/wait_pass_host.sh); needs root;
#   virtio, sd, usb   the driver cross-built for malta (mipsel) and booted
#                as /init under QEMU (TCG) with the test disk (GPT, one
#                ext4 partition) on that bus; the guest's clock, and the
#                disk's read requests per later pass.
#
# Usage: bench/wait_pass_bench.sh [-n PASSES] [--driver FILE]... [PLACE...]
#   PASSES: default 200. PLACEs default to all four. --driver: root_driver
#   binaries to compare, each run in every place named (host binaries for
#   host, mipsel ones for the buses); by default the one built from this
#   tree for the place.
# Raw figures in .cache/boot/bench-wait/results.tsv; bench/wait_pass_report.py
# prints the table. Not part of tools/test.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=bench/lib.sh
. "$here/lib.sh"

passes=200
places=()
drivers=()
while [ $# -gt 0 ]; do
  case $1 in
    -n) [ $# -ge 2 ] || { echo "-n needs a count" >&2; exit 2; }; passes=$2; shift ;;
    --driver) [ $# -ge 2 ] || { echo "--driver needs a file" >&2; exit 2; }
              drivers+=("$(realpath "$2")"); shift ;;
    -h|--help) qv_usage; exit 0 ;;
    host|virtio|sd|usb) places+=("$1") ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
[[ $passes =~ ^[1-9][0-9]*$ ]] || { echo "passes must be a positive number: $passes" >&2; exit 2; }
[ ${#places[@]} -gt 0 ] || places=(host virtio sd usb)

work=$QV_CACHE/bench-wait
results=$work/results.tsv
mkdir -p "$work"
printf 'place\tdevices\tin_sysfs\tpasses\tdriver\tfirst_us\tmedian_us\tleast_us\tmost_us\treads_first\treads_last\n' >"$results"
absent=00000000-0000-0000-0000-00000000dead

# built_driver DIR CMAKE-ARGS...: the release root_driver of this tree.
built_driver() {
  local dir=$1
  shift
  cmake -S "$QV_ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null &&
    cmake --build "$dir" --target root_driver -j"$(nproc)" >/dev/null ||
    { echo "cannot build the driver in ${dir#"$QV_ROOT"/}" >&2; exit 1; }
  echo "$dir/tests/root_driver"
}

for place in "${places[@]}"; do
  if [ "$place" = host ]; then
    "$QV_ROOT/tools/install-deps.sh" build test
    list=("${drivers[@]}")
    [ ${#list[@]} -gt 0 ] || list=("$(built_driver "$QV_ROOT/build/bench-release")")
    for driver in "${list[@]}"; do
      "$here/wait_pass_host.sh" "$driver" "$passes" "$results"
    done
    continue
  fi
  if [ -z "${disk:-}" ]; then
    qv_install_deps mipsel
    qv_fetch_guest mipsel
    disk=$work/disk.img
    "$QV_ROOT/tools/make-disk.sh" "$disk" "$QV_BUSYBOX" --size 32
    guest_drivers=("${drivers[@]}")
    [ ${#guest_drivers[@]} -gt 0 ] ||
      guest_drivers=("$(built_driver "$QV_ROOT/build/test-mipsel" \
        -DCMAKE_TOOLCHAIN_FILE="$QV_ROOT/cmake/gnu.cmake" -DQUENVALE_ARCH=mipsel)")
  fi
  for i in "${!guest_drivers[@]}"; do
    # shellcheck disable=SC2034 # read by qv_make_bus_image
    QV_INIT=${guest_drivers[$i]}
    qv_make_bus_image mipsel "$place" "$work/driver$i-$place.img" --gzip 2>/dev/null
    log=$work/driver$i-$place.log
    read -r disk_name _ <<<"${QV_BUS_PARTITION[$place]}"
    qv_wait_for_quiet_machine || { echo "another QEMU kept running" >&2; exit 1; }
    qv_boot mipsel "$work/driver$i-$place.img" "$disk" \
      "console=${QV_ARCH_CONSOLE[mipsel]} panic=-1 -- guest-bench $passes root=PARTUUID=$absent /sys/block/${disk_name%:}/stat" \
      "$log" 300 "$place" || true
    figures=$(bench_pass_figures "$log") || bench_boot_failed "$log" "no figures from the driver"
    printf '%s\t1\t-\t%s\t%s\t%s\n' "$place" "$passes" "${guest_drivers[$i]}" \
      "${figures// /$'\t'}" >>"$results"
  done
done

python3 "$here/wait_pass_report.py" "$results"
