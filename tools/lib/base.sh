# shellcheck shell=bash
# The base of the project's shell library (tools/lib), which every other
# layer sources: where the checkout is, and how a script speaks.
#
#   arches.sh           the machines of tools/arches.tsv
#   packages.sh         Debian's binary packages: the only user of apt
#   packages-source.sh  Debian's source packages, through a private apt
#   source-build.sh     libraries and programs built from those sources
#   guests.sh           QEMU guests: kernels, images, boots, timestamps
#
# Each needs bash and sources the layers below it; sourcing one twice is
# harmless.
# shellcheck disable=SC2034 # QV_LIB is for the layers above
[ -z "${QV_LIB_BASE:-}" ] || return 0
QV_LIB_BASE=1

QV_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
QV_LIB=$QV_ROOT/tools/lib

# A step of a long job, for its log.
qv_log() { echo "== $*" >&2; }

# A line of the running script's own, on standard error.
qv_note() { echo "${0##*/}: $*" >&2; }

# The running script's usage: its opening comment, without the marks.
qv_usage() {
  awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
}

qv_die() {
  qv_note "$@"
  exit 1
}
