# shellcheck shell=bash
# apt for every script that installs or downloads Debian packages, made to
# ride out an archive mirror in the middle of a sync.
#
#   . tools/apt.sh
#   apt_update                   # never fails: see below
#   apt_install PACKAGE...       # retried; fails when they will not install
#   apt_download PACKAGE...      # into the current directory, retried
#
# While a mirror syncs, some of its package indexes have the wrong size
# for minutes or hours ("File has unexpected size ... Mirror sync in
# progress?") and apt-get update exits 100, often for an architecture or
# a suite the caller does not need. apt keeps the indexes it had and uses
# the ones it fetched, so an update that fails is reported and passed
# over: whether it mattered shows when the packages are asked for, and
# those requests are what is retried.

APT_TRIES=${APT_TRIES:-4}
APT_UPDATE_TRIES=${APT_UPDATE_TRIES:-2}
APT_RETRY_PAUSE=${APT_RETRY_PAUSE:-15}

apt_note() { echo "${0##*/}: $*" >&2; }

apt_update() {
  local try
  for ((try = 1; try <= APT_UPDATE_TRIES; try++)); do
    apt-get update -qq && return 0
    [ "$try" -lt "$APT_UPDATE_TRIES" ] && sleep "$APT_RETRY_PAUSE"
  done
  apt_note "apt-get update failed $APT_UPDATE_TRIES times; going on with the package lists apt has"
  return 0
}

# apt_retry COMMAND...: runs an apt command until it succeeds, updating
# the package lists between tries.
apt_retry() {
  local try
  for ((try = 1; try <= APT_TRIES; try++)); do
    "$@" && return 0
    [ "$try" -lt "$APT_TRIES" ] || break
    apt_note "'$*' failed (try $try of $APT_TRIES); updating and trying again"
    sleep "$APT_RETRY_PAUSE"
    apt_update
  done
  apt_note "'$*' failed $APT_TRIES times"
  return 1
}

apt_install() {
  DEBIAN_FRONTEND=noninteractive apt_retry \
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

apt_download() {
  apt_retry apt-get download -qq -o APT::Sandbox::User=root "$@"
}
