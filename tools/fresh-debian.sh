#!/usr/bin/env bash
# Runs commands in a fresh, minimal Debian 12 system, as a new user of the
# project would on a new machine: nothing installed but what
# `debootstrap --variant=minbase bookworm` lays down, a clean clone of this
# repository in /root/quenvale, an empty environment.
#
# Usage: tools/fresh-debian.sh COMMAND...   (as root)
#   Each COMMAND is one shell command line, run in order in the clone with
#   `set -e`; e.g. tools/fresh-debian.sh tools/test.sh tools/demo.sh
#   Only PATH, HOME, LANG and CI (when set) reach the commands.
#
# The system comes from the same Debian archive that this machine's apt
# uses (read from its sources), with the same suites and the same
# Acquire:: settings; it is kept as a tarball in .cache/fresh and unpacked
# anew for every run. Everything is mounted in a private mount namespace of
# its own: the tree's root bound onto itself (without a mount point as
# root, `unshare --mount` inside fails with "cannot change root filesystem
# propagation") and this machine's /proc, /sys and /dev bound in. The tree
# is removed afterwards, also on failure; the clone's work (builds,
# downloads) goes with it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/packages.sh
. "$root/tools/lib/packages.sh"
cache=$root/.cache/fresh
suite=bookworm
[ $# -gt 0 ] || { qv_usage; exit 2; }
[ "$(id -u)" = 0 ] || { echo "$0: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }

log() { echo "== fresh $suite: $*" >&2; }

# Removes a tree of this script's, never through a mount: what is mounted
# below it is unmounted first, and should anything stay mounted the tree
# is left alone. rm stays on the tree's own file system regardless.
remove_tree() {
  local dir=$1 mp
  [ -e "$dir" ] || return 0
  for mp in $(awk -v d="$dir" 'index($5, d "/") == 1 || $5 == d { print $5 }' \
              /proc/self/mountinfo | sort -r); do
    umount -l "$mp" 2>/dev/null || true
  done
  if awk -v d="$dir" 'index($5, d "/") == 1 || $5 == d { found = 1 } END { exit !found }' \
       /proc/self/mountinfo; then
    echo "$0: $dir still has mounts below it; not removing it" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

# The URI serving SUITE's main component in this machine's apt sources,
# one-line or deb822.
archive_uri() {
  local wanted=$1 file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -r "$file" ] || continue
    awk -v s="$wanted" '$1 == "deb" {
        i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
        if ($(i + 1) == s) { print $i; exit } }' "$file"
  done
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -r "$file" ] || continue
    awk -v s="$wanted" 'BEGIN { RS = ""; FS = "\n" }
      { types = uris = suites = ""; enabled = 1
        for (i = 1; i <= NF; i++) {
          if ($i ~ /^Types:/) types = $i
          if ($i ~ /^URIs:/) uris = $i
          if ($i ~ /^Suites:/) suites = $i
          if ($i ~ /^Enabled: *no/) enabled = 0 }
        if (!enabled || types !~ /[: ]deb( |$)/) next
        n = split(suites, s2, " "); found = 0
        for (j = 2; j <= n; j++) if (s2[j] == s) found = 1
        if (found) { split(uris, u, " "); print u[2]; exit } }' "$file"
  done
}

# The first URI for each suite of this release, as one-line sources.
sources_list() {
  local s uri
  for s in "$suite" "$suite-updates" "$suite-security"; do
    uri=$(archive_uri "$s" | head -n 1)
    [ -n "$uri" ] && echo "deb $uri $s main"
  done
  return 0
}

mirror=$(archive_uri "$suite" | head -n 1)
[ -n "$mirror" ] || { echo "$0: no '$suite' suite in this machine's apt sources" >&2; exit 1; }

tarball=$cache/$suite-minbase.tar
if [ ! -s "$tarball" ] || [ "$(cat "$tarball.source" 2>/dev/null)" != "$mirror" ]; then
  if ! command -v debootstrap >/dev/null; then
    log "installing debootstrap"
    qv_install debootstrap
  fi
  log "debootstrap --variant=minbase from this machine's archive"
  mkdir -p "$cache"
  build=$cache/debootstrap.tmp
  remove_tree "$build"
  # debootstrap mounts /proc and /sys in the tree it builds; in a mount
  # namespace of its own, none of them outlives it, even when it fails.
  unshare --mount --propagation private \
    debootstrap --variant=minbase "$suite" "$build" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log" >&2; remove_tree "$build"; exit 1; }
  tar -C "$build" --numeric-owner -cf "$tarball.tmp" .
  remove_tree "$build"
  mv "$tarball.tmp" "$tarball"
  echo "$mirror" >"$tarball.source"
fi

tree=$(mktemp -d "$cache/root.XXXXXX")
chmod 755 "$tree"
cleanup() {
  local status=$? pid
  # Nothing here may end the cleanup early: a process that is gone before
  # its kill must not leave the tree behind.
  set +e
  # Whatever was left running inside (an emulator, say) goes first.
  for pid in /proc/[0-9]*; do
    if [ "$(readlink "$pid/root" 2>/dev/null)" = "$tree" ]; then
      kill -9 "${pid#/proc/}" 2>/dev/null
    fi
  done
  # The mounts lived in the namespace only; should any be visible here, the
  # tree is left alone rather than deleted through them.
  if grep -qF " $tree" /proc/self/mountinfo; then
    echo "$0: mounts under $tree are visible outside their namespace; not removing it" >&2
    exit 1
  fi
  rm -rf --one-file-system "$tree"
  exit "$status"
}
trap cleanup EXIT

log "unpacking into ${tree#"$root"/}"
tar -C "$tree" --numeric-owner -xf "$tarball"
sources_list >"$tree/etc/apt/sources.list"
# The archive's own access settings (a proxy, a snapshot's expired Release
# dates): what any machine using this archive needs to reach it.
for file in /etc/apt/apt.conf.d/*; do
  [ -f "$file" ] && grep -q '^[[:space:]]*Acquire::' "$file" &&
    cp "$file" "$tree/etc/apt/apt.conf.d/"
done
cp /etc/resolv.conf "$tree/etc/resolv.conf"
# Likewise the machine's own certificate authorities (an intercepting
# proxy's, a company's), for what is fetched over HTTPS (Zig, by
# tools/zig-toolchain.sh): the ca-certificates package adds them to the
# bundle it makes when the test command installs it.
if [ -d /usr/local/share/ca-certificates ]; then
  mkdir -p "$tree/usr/local/share/ca-certificates"
  cp -r /usr/local/share/ca-certificates/. "$tree/usr/local/share/ca-certificates/"
fi
git clone -q --no-hardlinks "$root" "$tree/root/quenvale"

script='set -e; cd /root/quenvale'
for command in "$@"; do
  script+="; echo \"== fresh: $command\" >&2; $command"
done
environment=(PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
             HOME=/root LANG=C.UTF-8)
[ -n "${CI:-}" ] && environment+=("CI=$CI")

unshare --mount --propagation private -- bash -c '
  set -e
  tree=$1; shift
  mount --bind "$tree" "$tree"
  mount --rbind /proc "$tree/proc"
  mount --rbind /sys "$tree/sys"
  mount --rbind /dev "$tree/dev"
  exec chroot "$tree" "$@"' bash "$tree" env -i "${environment[@]}" bash -c "$script" </dev/null
