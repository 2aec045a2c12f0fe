# shellcheck shell=bash
# Debian's source packages, exactly as the archive ships them, fetched
# with a private apt:
#
#   debian_source PACKAGE VERSION    # sets dsc to its verified .dsc
#   debian_source_available          # whether the machine has a Debian
#                                    # archive to fetch sources from
#   QV_SOURCE_FETCH_TOOLS            # the programs it runs, and the
#                                    # Debian packages they come in
#
# For tools/lib/source-build.sh, whose builds hold .cache/musl/.lock while
# they call it, since all share one apt directory and one download
# directory under .cache/musl.
# shellcheck disable=SC2034 # QV_SOURCE_FETCH_TOOLS is for the callers
[ -z "${QV_LIB_PACKAGES_SOURCE:-}" ] || return 0
QV_LIB_PACKAGES_SOURCE=1
# shellcheck source=tools/lib/base.sh
. "$(dirname "${BASH_SOURCE[0]}")/base.sh"

declare -gA QV_SOURCE_FETCH_TOOLS=([dpkg-source]=dpkg-dev [dpkg-query]=dpkg [apt-get]=apt
                                   [apt-config]=apt [sha256sum]=coreutils)

qv_src_cache=$QV_ROOT/.cache/musl
qv_src_apt_dir=$qv_src_cache/apt
qv_src_downloads=$qv_src_cache/src/download

# A private apt: its own deb-src list made from the machine's Debian
# entries, its own index and cache, and only the machine's Acquire::
# settings (proxies, the snapshot archive's expired Valid-Until). The
# machine's own apt state and configuration stay untouched, and so does
# everything its hooks would act on.
private_apt() {
  mkdir -p "$qv_src_apt_dir/etc/sources.list.d" "$qv_src_apt_dir/etc/apt.conf.d" \
           "$qv_src_apt_dir/etc/preferences.d" "$qv_src_apt_dir/state/lists/partial" \
           "$qv_src_apt_dir/cache/archives/partial"
  : >"$qv_src_apt_dir/state/status"
  : >"$qv_src_apt_dir/etc/sources.list"
  : >"$qv_src_apt_dir/etc/apt.conf.main"
  : >"$qv_src_apt_dir/etc/preferences"
  cat >"$qv_src_apt_dir/apt.conf" <<EOF
Dir::Etc::Main "$qv_src_apt_dir/etc/apt.conf.main";
Dir::Etc::Parts "$qv_src_apt_dir/etc/apt.conf.d";
Dir::Etc::SourceList "$qv_src_apt_dir/etc/sources.list";
Dir::Etc::SourceParts "$qv_src_apt_dir/etc/sources.list.d";
Dir::Etc::Preferences "$qv_src_apt_dir/etc/preferences";
Dir::Etc::PreferencesParts "$qv_src_apt_dir/etc/preferences.d";
Dir::State "$qv_src_apt_dir/state";
Dir::State::status "$qv_src_apt_dir/state/status";
Dir::Cache "$qv_src_apt_dir/cache";
EOF
  env -u APT_CONFIG apt-config dump Acquire \
    >"$qv_src_apt_dir/etc/apt.conf.d/50machine-acquire"
  # apt downloads as its own unprivileged user, which cannot reach a
  # checkout under a private home such as /root; it would then warn and
  # download as root all the same.
  if [ "$(id -u)" -eq 0 ] &&
     ! runuser -u _apt -- test -x "$qv_src_apt_dir/state" 2>/dev/null; then
    echo 'APT::Sandbox::User "root";' >>"$qv_src_apt_dir/apt.conf"
  fi
  deb_src_entries list >"$qv_src_apt_dir/etc/sources.list.d/debian-src.list"
  deb_src_entries sources >"$qv_src_apt_dir/etc/sources.list.d/debian-src.sources"
  if ! [ -s "$qv_src_apt_dir/etc/sources.list.d/debian-src.list" ] &&
     ! [ -s "$qv_src_apt_dir/etc/sources.list.d/debian-src.sources" ]; then
    echo "${0##*/}: no Debian archive among the machine's apt sources" >&2
    exit 1
  fi
}

# The machine's Debian archives as deb-src entries in the same style,
# one-line or deb822, with every option kept (keyrings, Trusted,
# Check-Valid-Until, inline keys). An entry counts as Debian when it is
# signed by the Debian archive keyring, or, naming no keyring file, when
# it is served from debian.org or from a mirror's /debian or
# /debian-security tree.
deb_src_entries() {
  local style=$1 files=() f
  if [ "$style" = list ]; then
    [ -e /etc/apt/sources.list ] && files+=(/etc/apt/sources.list)
    for f in /etc/apt/sources.list.d/*.list; do
      [ -e "$f" ] && files+=("$f")
    done
  else
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -e "$f" ] && files+=("$f")
    done
  fi
  [ ${#files[@]} -gt 0 ] || return 0
  awk -v style="$style" '
    function debian(uri, signed) {
      if (signed != "") return signed ~ /debian-archive-keyring/
      sub(/\/+$/, "", uri)
      return uri ~ /^[a-z+]+:\/\/([^\/]*\.)?debian\.org(:[0-9]+)?(\/|$)/ ||
             uri ~ /\/debian(-security)?$/
    }
    # A deb822 stanza goes over whole, with its Types set to deb-src.
    function flush(   n, i, ok, uris) {
      if (types ~ /(^|[ \t])deb([ \t]|$)/ && furis != "") {
        n = split(furis, uris, /[ \t]+/)
        ok = 1
        for (i = 1; i <= n; i++) if (uris[i] != "" && !debian(uris[i], signed)) ok = 0
        if (ok) printf "Types: deb-src\n%s\n", stanza
      }
      types = furis = signed = stanza = ""
    }
    FNR == 1 && style == "sources" { flush() }
    style == "sources" {
      if ($0 ~ /^[ \t]*#/) next
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 !~ /^[ \t]/) {
        name = tolower($0); sub(/:.*/, "", name)
        value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
        if (name == "types") { types = value; next }
        if (name == "uris") furis = value
        if (name == "signed-by" && value ~ /^\//) signed = value
      }
      stanza = stanza $0 "\n"
      next
    }
    {
      line = $0; sub(/#.*/, "", line)
      if (line !~ /^[ \t]*deb[ \t]/) next
      sub(/^[ \t]*deb[ \t]+/, "", line)
      opts = ""; signed = ""
      if (line ~ /^\[/) {
        opts = substr(line, 1, index(line, "]")); line = substr(line, length(opts) + 1)
        if (match(opts, /signed-by=[^] \t]+/))
          signed = substr(opts, RSTART + 10, RLENGTH - 10)
        opts = opts " "
      }
      n = split(line, w, /[ \t]+/)
      k = (w[1] == "") ? 2 : 1
      comps = ""
      for (i = k + 2; i <= n; i++) if (w[i] != "") comps = comps " " w[i]
      if (debian(w[k], signed)) print "deb-src " opts w[k] " " w[k + 1] comps
    }
    END { if (style == "sources") flush() }
  ' "${files[@]}"
}

debian_source_available() {
  [ -n "$(deb_src_entries list; deb_src_entries sources)" ]
}

src_apt() { APT_CONFIG=$qv_src_apt_dir/apt.conf apt-get -q "$@"; }

# The .dsc itself is vouched for by the signed Sources index apt checked
# it against; every file the .dsc names is checked against its SHA-256.
verify_downloads() {
  [ -e "$dsc" ] || return 1
  awk '/^Checksums-Sha256:/ { f = 1; next } /^[^ ]/ { f = 0 }
       f && NF == 3 { print $1 "  " $3 }' "$dsc" >"$qv_src_downloads/SHA256SUMS"
  [ -s "$qv_src_downloads/SHA256SUMS" ] || return 1
  (cd "$qv_src_downloads" && sha256sum --quiet -c SHA256SUMS)
}

debian_source() {
  local package=$1 version=$2
  dsc=$qv_src_downloads/${package}_${version#*:}.dsc
  verify_downloads 2>/dev/null && return 0
  private_apt
  mkdir -p "$qv_src_downloads"
  # Where apt's own user, fetching, may write.
  chmod 755 "$qv_src_downloads"
  [ "$(id -u)" -ne 0 ] || chown _apt "$qv_src_downloads" 2>/dev/null || true
  echo "fetching $package $version source" >&2
  fetch() { (cd "$qv_src_downloads" && src_apt source --download-only \
               "$package=$version" >/dev/null); }
  # A failed index download is reported by apt; whether it mattered
  # shows when the source is looked up again. A mirror in the middle of a
  # sync may serve an index of the wrong size for a while: tried again.
  local try
  for try in 1 2 3 4; do
    fetch 2>/dev/null && break
    [ "$try" -eq 1 ] || sleep 15
    src_apt update -qq || echo "${0##*/}: apt-get update reported errors" >&2
  done
  [ -e "$dsc" ] || fetch
  verify_downloads
}
