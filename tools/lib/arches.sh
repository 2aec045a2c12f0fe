# shellcheck shell=bash
# The machines of tools/arches.tsv as bash tables, keyed by the project's
# name for each:
#
#   QV_ALL_ARCHES       the targets, in the table's order
#   QV_BYTE_ORDER_ARCH  the big-endian machine of the unit tests
#   QV_ARCH_MUSL  QV_ARCH_GNU  QV_ARCH_MULTIARCH  QV_ARCH_DEB  QV_ARCH_QEMU
#   QV_ARCH_BITS  QV_ARCH_ORDER  QV_ARCH_KERNEL  QV_ARCH_QEMU_SYSTEM
#   QV_ARCH_MACHINE  QV_ARCH_CONSOLE
#                       its columns (the file says what each is); "-" there
#                       is empty here
# shellcheck disable=SC2034 # the tables are for the scripts that source this
[ -z "${QV_LIB_ARCHES:-}" ] || return 0
QV_LIB_ARCHES=1
# shellcheck source=tools/lib/base.sh
. "$(dirname "${BASH_SOURCE[0]}")/base.sh"

QV_ALL_ARCHES=()
QV_BYTE_ORDER_ARCH=
declare -gA QV_ARCH_MUSL=() QV_ARCH_GNU=() QV_ARCH_MULTIARCH=() QV_ARCH_DEB=() \
  QV_ARCH_QEMU=() QV_ARCH_BITS=() QV_ARCH_ORDER=() QV_ARCH_KERNEL=() \
  QV_ARCH_QEMU_SYSTEM=() QV_ARCH_MACHINE=() QV_ARCH_CONSOLE=()

# qv_arch_field NAME...: empties the variables that hold "-".
qv_arch_field() {
  local var
  for var; do [ "${!var}" != - ] || printf -v "$var" ''; done
}

qv_read_arches() {
  local row name role musl gnu multiarch deb qemu bits order
  local kernel qemu_system machine console
  while IFS= read -r row; do
    case $row in '' | '#'* | name$'\t'*) continue ;; esac
    # Tabs are blanks to read, which would run empty fields together.
    IFS=$'\x1f' read -r name role musl gnu multiarch deb qemu _ bits order _ \
      kernel qemu_system machine console <<<"${row//$'\t'/$'\x1f'}"
    case $role in
      target) QV_ALL_ARCHES+=("$name") ;;
      byteorder) QV_BYTE_ORDER_ARCH=$name ;;
      *) qv_die "tools/arches.tsv: $name: unknown role '$role'" ;;
    esac
    qv_arch_field musl gnu multiarch deb qemu kernel qemu_system machine console
    QV_ARCH_MUSL[$name]=$musl QV_ARCH_GNU[$name]=$gnu QV_ARCH_MULTIARCH[$name]=$multiarch
    QV_ARCH_DEB[$name]=$deb QV_ARCH_QEMU[$name]=$qemu QV_ARCH_BITS[$name]=$bits
    QV_ARCH_ORDER[$name]=$order QV_ARCH_KERNEL[$name]=$kernel
    QV_ARCH_QEMU_SYSTEM[$name]=$qemu_system QV_ARCH_MACHINE[$name]=$machine
    QV_ARCH_CONSOLE[$name]=$console
  done <"$QV_ROOT/tools/arches.tsv"
}
qv_read_arches

# qv_known_arch NAME: true for a target.
qv_known_arch() {
  [ -n "${1:-}" ] && [ -n "${QV_ARCH_MUSL[$1]:-}" ]
}

# The targets as a usage text: "x86_64|mipsel|...".
qv_arch_choices() {
  local IFS='|'
  echo "${QV_ALL_ARCHES[*]}"
}

# The build machine's own architecture among them (its programs run
# without an emulator).
qv_build_arch() {
  local arch deb
  deb=$(dpkg --print-architecture)
  for arch in "${QV_ALL_ARCHES[@]}"; do
    [ "${QV_ARCH_DEB[$arch]}" != "$deb" ] || { echo "$arch"; return 0; }
  done
  return 1
}

# The kernel header trees (linux, asm, asm-generic, mtd) for ARCH: the
# machine's own for its architecture, the cross package's for the others.
qv_kernel_header_dirs() {
  local base
  if [ "${QV_ARCH_DEB[$1]}" = "$(dpkg --print-architecture)" ]; then
    echo /usr/include/linux "/usr/include/${QV_ARCH_MULTIARCH[$1]}/asm" \
      /usr/include/asm-generic /usr/include/mtd
  else
    base=/usr/${QV_ARCH_GNU[$1]}/include
    echo "$base/linux" "$base/asm" "$base/asm-generic" "$base/mtd"
  fi
}
