# shellcheck shell=bash
# The inits that the boot benchmarks compare, each booted as /init of an
# image that differs from the others in /init alone (and busybox for the
# script):
#   quenvale  quenvale-init
#   probing   the probing floor, bench/probe-floor-init.c: what finding
#             the root by UUID as this system does costs at the least
#   floor     the floor, bench/floor-init.c: the least any init can do,
#             knowing the root's name in advance
#   busybox   bench/busybox-init.sh, a busybox ash script doing the init's
#             job
# All carry tests/boot/e2fsck_stamp.c as /bin/e2fsck (it stamps the kernel
# log and executes the real checker). Sourced after bench/lib.sh.
#
#   bench_build_inits WORK ARCH            the floors and the stamp, WORK/ARCH
#   bench_build_images WORK CONFIG INIT... their images, WORK/CONFIG/INIT.img
#   bench_root_arg CONFIG INIT             the root= word of its command line

bench_member() {
  gzip -dc "$1" | cpio -i --quiet --to-stdout "$2"
}

bench_build_inits() {
  local dir=$1/$2 arch=$2
  mkdir -p "$dir"
  qv_guest_cc "$arch" "$dir/floor-init" "$QV_ROOT/bench/floor-init.c"
  qv_blkid_cc "$arch" "$dir/probe-floor-init" -s "$QV_ROOT/bench/probe-floor-init.c"
  qv_guest_cc "$arch" "$dir/e2fsck-stamp" "$QV_ROOT/tests/boot/e2fsck_stamp.c"
}

# Each image is checked to carry its own /init, the same module list and
# the stamp, and nothing of the others; returns 1 with a message when one
# does not.
bench_build_images() {
  local work=$1 config=$2 arch=${CONFIG_ARCH[$2]} bus=${CONFIG_BUS[$2]} init image
  local dir=$work/$2 programs=$work/${CONFIG_ARCH[$2]}
  shift 2
  local common=(--gzip --file "/bin/e2fsck=$programs/e2fsck-stamp"
                --file "/bin/e2fsck.real=$QV_E2FSCK")
  declare -A program=([quenvale]=$QV_INIT [probing]=$programs/probe-floor-init
                      [floor]=$programs/floor-init [busybox]=$QV_ROOT/bench/busybox-init.sh)
  mkdir -p "$dir"
  for init in "$@"; do
    image=$dir/$init.img
    case $init in
      quenvale) qv_make_bus_image "$arch" "$bus" "$image" "${common[@]}" ;;
      busybox) qv_make_bus_image "$arch" "$bus" "$image" "${common[@]}" \
                 --file "/init=${program[$init]}" --file "/bin/busybox=$QV_BUSYBOX" ;;
      *) qv_make_bus_image "$arch" "$bus" "$image" "${common[@]}" --file "/init=${program[$init]}" ;;
    esac
    cmp -s <(bench_member "$image" init) "${program[$init]}" ||
      { echo "$config: /init of the $init image is not ${program[$init]}"; return 1; }
    bench_member "$image" etc/quenvale_list >"$dir/$init.list"
    cmp -s "$dir/$1.list" "$dir/$init.list" ||
      { echo "$config: the $init image lists other modules than the $1 image"; return 1; }
    cmp -s <(bench_member "$image" bin/e2fsck) "$programs/e2fsck-stamp" ||
      { echo "$config: /bin/e2fsck of the $init image is not the stamp"; return 1; }
    [ "$init" = busybox ] ||
      [ "$(gzip -dc "$image" | cpio -t --quiet | grep -cx bin/busybox)" = 0 ] ||
      { echo "$config: the $init image carries busybox"; return 1; }
  done
}

bench_root_arg() {
  case $2 in
    quenvale|probing) echo "root=PARTUUID=$PART_UUID" ;;
    floor) echo "root=/dev/${CONFIG_PART[$1]}" ;;
    busybox) echo "root=UUID=$FS_UUID" ;;
  esac
}
