#!/usr/bin/env bash
# Mutation check: do the tests catch small faults? Applies each fault of
# tests/mutation/faults.txt to the program, one at a time, in a scratch
# clone of this repository (its commits plus the uncommitted changes to
# tracked files), rebuilds the static glibc release tree and runs its unit
# and system tests, the fast part of tools/test.sh. Prints one line per
# fault with the tests that caught it, or SURVIVED; exits 1 when any fault
# survives or cannot be applied.
#
# Usage: tools/mutation-check.sh [-l] [FAULT-NAME...]   (as root, like the
#   system tests)
#   -l lists the faults; names select faults (default all).
# Takes 2 to 60 s per fault on a two-core machine, about 9 minutes in all. The scratch clone
# goes to a temporary folder, removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=tools/lib/base.sh
. "$root/tools/lib/base.sh"
table=$root/tests/mutation/faults.txt

# The table as records "name<TAB>file<TAB>from<TAB>to", newlines inside
# from and to written as \n-free base64 so that the text stays exact.
records() {
  python3 - "$table" <<'EOF'
import base64, sys
faults, cur, key = [], None, None
for raw in open(sys.argv[1], encoding="utf-8"):
    line = raw.rstrip("\n")
    if line.startswith("#") or not line.strip() and cur is None:
        continue
    if not line.strip():
        faults.append(cur); cur = None; continue
    head, _, rest = line.partition(":")
    rest = rest[1:] if rest.startswith(" ") else rest
    if head == "fault":
        if cur is not None: faults.append(cur)
        cur = {"name": rest, "file": "", "from": [], "to": [], "boot": ""}
    elif head in ("from", "to"):
        cur[head].append(rest)
    elif head in ("file", "boot"):
        cur[head] = rest
    else:
        sys.exit("bad line in the fault table: " + line)
if cur is not None: faults.append(cur)
# Never an empty field, which a tab-separated read would run together
# with the next: "-" (no base64 text) for a fault that takes text away.
enc = lambda lines: base64.b64encode("\n".join(lines).encode()).decode() or "-"
for f in faults:
    print("\t".join([f["name"], f["file"], enc(f["from"]), enc(f["to"]), f["boot"] or "-"]))
EOF
}

# apply FILE FROM64 TO64: replaces the one occurrence; fails otherwise.
apply_fault() {
  python3 - "$@" <<'EOF'
import base64, sys
path, old, new = sys.argv[1], *("" if a == "-" else base64.b64decode(a).decode()
                                for a in sys.argv[2:])
text = open(path, encoding="utf-8").read()
count = text.count(old)
if count != 1:
    sys.exit("the text to replace occurs %d times in %s" % (count, path))
open(path, "w", encoding="utf-8").write(text.replace(old, new))
EOF
}

list_only=no
wanted=()
for arg in "$@"; do
  case $arg in
    -l) list_only=yes ;;
    -h|--help) qv_usage; exit 0 ;;
    *) wanted+=("$arg") ;;
  esac
done
if [ "$list_only" = yes ]; then records | awk -F'\t' '{ printf "%-55s %s\n", $1, $2 }'; exit 0; fi
[ "$(id -u)" = 0 ] || { echo "$0: needs root, as the system tests do" >&2; exit 2; }

"$root/tools/install-deps.sh" build test

scratch=$(mktemp -d /tmp/quenvale-mutation.XXXXXX)
trap 'rm -rf --one-file-system "$scratch"' EXIT
git clone -q --no-hardlinks "$root" "$scratch/src"
(cd "$root" && git diff HEAD --binary) | (cd "$scratch/src" && git apply --allow-empty)
src=$scratch/src
build=$scratch/build

echo "== baseline: the release tree as it stands"
start=$SECONDS
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" >"$scratch/build.log" 2>&1 ||
  { tail -n 30 "$scratch/build.log"; exit 1; }
(cd "$build" && ctest --output-on-failure >"$scratch/baseline.log" 2>&1) ||
  { tail -n 40 "$scratch/baseline.log"; echo "the tests fail without any fault"; exit 1; }
echo "   passes in $((SECONDS - start)) s"

# boot_check NAME ARCH SCENARIO...: the faulty source's shipped init for
# ARCH (musl and libblkid from this tree's cache), booted in this tree's
# guests.
boot_check() {
  local name=$1 arch=$2 init
  shift 2
  [ -e "$src/.cache" ] || ln -s "$root/.cache" "$src/.cache"
  if ! (cd "$src" && tools/build.sh "$arch") >"$scratch/build.log" 2>&1; then
    printf '%-55s DOES NOT BUILD\n' "$name"
    broken=$((broken + 1))
    return
  fi
  init=$scratch/init-$arch
  cp "$src/build/musl-$arch/src/quenvale-init" "$init"
  if env "QUENVALE_BOOT_INIT_${arch^^}=$init" QUENVALE_BOOT_TIMEOUT=90 \
       "$root/tests/boot/run.sh" "$arch" "$@" >"$scratch/boot.log" 2>&1; then
    printf '%-55s SURVIVED (%d s)\n' "$name" $((SECONDS - start))
    survivors=$((survivors + 1))
  else
    printf '%-55s caught by boot %s (%d s)\n' "$name" \
      "$(awk '$3 == "FAIL" { print $1 "/" $2 }' "$scratch/boot.log" | xargs)" $((SECONDS - start))
  fi
}

survivors=0
broken=0
count=0
while IFS=$'\t' read -r name file from to boot; do
  if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qxF -- "$name"; then
    continue
  fi
  count=$((count + 1))
  start=$SECONDS
  if ! message=$(apply_fault "$src/$file" "$from" "$to" 2>&1); then
    printf '%-55s CANNOT APPLY: %s\n' "$name" "$message"
    broken=$((broken + 1))
    continue
  fi
  if [ "$boot" != - ]; then
    # shellcheck disable=SC2086 # the architecture, then the scenarios
    boot_check "$name" $boot
  elif ! cmake --build "$build" -j"$(nproc)" >"$scratch/build.log" 2>&1; then
    printf '%-55s DOES NOT BUILD\n' "$name"
    grep -m 3 'error' "$scratch/build.log" | sed 's/^/    /'
    broken=$((broken + 1))
  else
    # The unit tests first, as they take a second; then the system tests,
    # stopping at the first that fails: one is enough to catch the fault.
    if (cd "$build" && ctest -R '^unit$' >"$scratch/ctest.log" 2>&1 &&
        ctest -E '^unit$' --stop-on-failure >>"$scratch/ctest.log" 2>&1); then
      printf '%-55s SURVIVED (%d s)\n' "$name" $((SECONDS - start))
      survivors=$((survivors + 1))
    else
      caught=$(sed -n 's/.*Test *#[0-9]*: \([^ ]*\) .*\*\*\*.*/\1/p' "$scratch/ctest.log" | xargs)
      printf '%-55s caught by %s (%d s)\n' "$name" "${caught:-a test}" $((SECONDS - start))
    fi
  fi
  git -C "$src" checkout -q -- "$file"
done < <(records)

[ "$count" -gt 0 ] || { echo "no fault of that name" >&2; exit 2; }
echo "$count faults: $((count - survivors - broken)) caught, $survivors survived, $broken not applicable"
[ "$survivors" -eq 0 ] && [ "$broken" -eq 0 ]
