# shellcheck shell=bash
# Debian's binary packages: the one place that runs apt and dpkg's
# package database. Installs only what is missing, downloads packages
# without installing them, and rides out an archive mirror in the middle
# of a sync.
#
#   qv_installed PACKAGE...         true when all are installed
#   qv_package_version PACKAGE      its source package's version
#   qv_add_arches DEB...            enables foreign architectures
#   qv_refresh_lists                updates the lists when an architecture
#                                   was added since they last were
#   qv_install PACKAGE...           the missing ones, foreign ones too
#                                   (NAME:ARCH); fails when they will not
#   qv_download DIR PACKAGE...      their .deb files into DIR
#   qv_kernel_package META          the versioned kernel behind META
#
# While a mirror syncs, some of its package indexes have the wrong size
# for minutes or hours ("File has unexpected size ... Mirror sync in
# progress?") and apt-get update exits 100, often for an architecture or
# a suite the caller does not need. apt keeps the indexes it had and uses
# the ones it fetched, so an update that fails is reported and passed
# over: whether it mattered shows when the packages are asked for, and
# those requests are what is retried, with an update between tries.
[ -z "${QV_LIB_PACKAGES:-}" ] || return 0
QV_LIB_PACKAGES=1
# shellcheck source=tools/lib/base.sh
. "$(dirname "${BASH_SOURCE[0]}")/base.sh"

QV_APT_TRIES=${QV_APT_TRIES:-4}
QV_APT_UPDATE_TRIES=${QV_APT_UPDATE_TRIES:-2}
QV_APT_RETRY_PAUSE=${QV_APT_RETRY_PAUSE:-15}
# Whether this process has updated the package lists since it last
# changed what they cover.
qv_lists_updated=no
# Whether an architecture was added since the lists were last updated.
qv_lists_stale=no

qv_installed() {
  local name
  for name; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'install ok installed' ||
      return 1
  done
}

qv_package_version() {
  dpkg-query -W -f='${source:Version}' "$1"
}

# apt takes one caller at a time: scripts running side by side wait for
# each other here rather than fail on apt's lock.
qv_apt_locked() {
  local lock status=0
  mkdir -p "$QV_ROOT/.cache"
  exec {lock}>"$QV_ROOT/.cache/.apt.lock"
  flock "$lock"
  "$@" || status=$?
  exec {lock}>&-
  return $status
}

# Never fails: see above.
qv_update() {
  local try
  for ((try = 1; try <= QV_APT_UPDATE_TRIES; try++)); do
    if qv_apt_locked apt-get update -qq; then
      qv_lists_updated=yes qv_lists_stale=no
      return 0
    fi
    [ "$try" -lt "$QV_APT_UPDATE_TRIES" ] && sleep "$QV_APT_RETRY_PAUSE"
  done
  qv_note "apt-get update failed $QV_APT_UPDATE_TRIES times; going on with the package lists apt has"
  qv_lists_updated=yes qv_lists_stale=no
}

# qv_apt_retry COMMAND...: until it succeeds, updating the lists between
# tries.
qv_apt_retry() {
  local try
  for ((try = 1; try <= QV_APT_TRIES; try++)); do
    "$@" && return 0
    [ "$try" -lt "$QV_APT_TRIES" ] || break
    qv_note "'$*' failed (try $try of $QV_APT_TRIES); updating and trying again"
    sleep "$QV_APT_RETRY_PAUSE"
    qv_update
  done
  qv_note "'$*' failed $QV_APT_TRIES times"
  return 1
}

qv_add_arches() {
  local deb
  for deb; do
    [ "$deb" != "$(dpkg --print-architecture)" ] || continue
    dpkg --print-foreign-architectures | grep -qx "$deb" && continue
    dpkg --add-architecture "$deb"
    qv_lists_updated=no qv_lists_stale=yes
  done
}

qv_refresh_lists() {
  [ "$qv_lists_stale" = no ] || qv_update
}

qv_apt_install() {
  DEBIAN_FRONTEND=noninteractive qv_apt_locked \
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

qv_install() {
  local missing=() name
  # Once each: callers may name a package twice.
  for name in $(printf '%s\n' "$@" | awk '!seen[$0]++'); do
    qv_installed "$name" || missing+=("$name")
    case $name in *:*) qv_add_arches "${name##*:}" ;; esac
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  qv_note "installing: ${missing[*]}"
  [ "$qv_lists_updated" = yes ] || qv_update
  qv_apt_retry qv_apt_install "${missing[@]}"
}

qv_download() {
  local dir=$1 name
  shift
  for name; do
    case $name in *:*) qv_add_arches "${name##*:}" ;; esac
  done
  # The lists at hand usually name them; an update is for when they do
  # not.
  (cd "$dir" && apt-get download -qq -o APT::Sandbox::User=root "$@" 2>/dev/null) && return 0
  [ "$qv_lists_updated" = yes ] || qv_update
  (cd "$dir" && qv_apt_retry apt-get download -qq -o APT::Sandbox::User=root "$@")
}

qv_kernel_depends() {
  apt-cache depends "$1" 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}

qv_kernel_package() {
  local meta=$1 found
  case $meta in *:*) qv_add_arches "${meta##*:}" ;; esac
  found=$(qv_kernel_depends "$meta")
  if [ -z "$found" ]; then
    qv_update
    found=$(qv_kernel_depends "$meta")
  fi
  [ -n "$found" ] || { qv_note "no kernel package behind $meta"; return 1; }
  echo "$found"
}
