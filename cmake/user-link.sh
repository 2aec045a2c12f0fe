#!/usr/bin/env bash
# Runs a link with a user's C driver (cmake/user-toolchain.sh) and records
# what the linker loaded, for the check that nothing but the program, musl,
# libblkid and the compiler's runtime went in (cmake/check-musl-link.cmake).
#
#   cmake/user-link.sh TOOLCHAIN-DIR TRACE COMMAND...
#
# COMMAND is the whole link: the driver and its arguments. TRACE receives
# one loaded file a line, as an absolute path, an archive member as
# ARCHIVE(MEMBER); TRACE.runtime the directories the same driver, with the
# same options, loads a small program's C library, start files and
# compiler runtime from. Those differ with the options: zig builds its
# musl and start files for each set (optimisation, stripping) and keeps
# each build in a directory of its own.
#
# TOOLCHAIN-DIR is where cmake/user-toolchain.sh keeps the toolchain's C
# compiler as one command, cc, which compiles the small program, and what
# it found out about the driver:
#   link-method "trace": the driver passes -Wl,--trace on to its linker,
#               which prints the files on standard output (GNU ld wants the
#               option twice to name archive members, and then writes them
#               as "(ARCHIVE)MEMBER"; lld as "ARCHIVE(MEMBER)");
#   link-method "rerun": the driver refuses the option (zig cc takes only
#               the linker options it knows), but prints its linker's
#               command line with -v; that line is run again with --trace,
#               its output to a scratch file, by the command in "linker"
#               (zig links in-process and runs its lld as "zig ld.lld").
set -euo pipefail

toolchain=$1 trace=$2
shift 2
method=$(cat "$toolchain/link-method")

# traced OUTPUT COMMAND...: runs the link, OUTPUT getting the linker's
# trace as it printed it.
traced() {
  local output=$1 linker=() name line words=() i
  shift
  case $method in
    trace)
      "$@" -Wl,--trace,--trace >"$output"
      ;;
    rerun)
      read -r -a linker <"$toolchain/linker"
      name=${linker[-1]}
      "$@" -v 2>"$output.err" || { cat "$output.err" >&2; return 1; }
      # The last line that runs the linker is the link itself; zig may
      # first have linked its start files, with -r.
      line=$(awk -v name="$name" '$1 == name && !/ -r /' "$output.err" | tail -n 1)
      [ -n "$line" ] ||
        { cat "$output.err" >&2; echo "user-link.sh: the driver named no $name command" >&2; return 1; }
      read -r -a words <<<"$line"
      # The same link again, written to a scratch file: the trace is what
      # the linker loads, whatever it writes.
      for i in "${!words[@]}"; do
        [ "${words[$i]}" = -o ] && words[i + 1]=$output.out
      done
      "${linker[@]}" "${words[@]:1}" --trace >"$output" ||
        { echo "user-link.sh: the link run again with --trace failed: ${linker[*]} ${words[*]:1}" >&2
          return 1; }
      rm -f "$output.out" "$output.err"
      ;;
    *)
      echo "user-link.sh: unknown link method '$method' in $toolchain" >&2
      return 1
      ;;
  esac
}

# Absolute paths from the link's directory, members in one form.
normalise() {
  local line archive member
  while IFS= read -r line; do
    [ -n "$line" ] || continue
    archive='' member=''
    if [[ $line =~ ^\(([^\)]+)\)(.+)$ ]]; then
      archive=${BASH_REMATCH[1]} member=${BASH_REMATCH[2]}
    elif [[ $line =~ ^([^\(]+)\((.+)\)$ ]]; then
      archive=${BASH_REMATCH[1]} member=${BASH_REMATCH[2]}
    fi
    if [ -n "$archive" ]; then
      echo "$(realpath -m -- "$archive")($member)"
    else
      realpath -m -- "$line"
    fi
  done
}

traced "$trace.raw" "$@"
normalise <"$trace.raw" >"$trace"
rm -f "$trace.raw"

# The runtime: the same link of a small program instead of the inputs.
# It divides in the widest integers the machine has, which takes the
# compiler runtime on any machine (lld names an archive only when it takes
# a member of it), and calls into stdio and the allocator.
scratch=$(realpath "$(mktemp -d)")
trap 'rm -rf "$scratch"' EXIT
cat >"$scratch/small.c" <<'EOF'
#include <stdio.h>
#include <stdlib.h>
#ifdef __SIZEOF_INT128__
typedef unsigned __int128 wide;
#else
typedef unsigned long long wide;
#endif
int main(int argc, char** argv) {
  volatile wide a = (wide)argc << 40, b = (wide)argc + 3;
  char* text = malloc(32);
  snprintf(text, 32, "%u", (unsigned)(a / b + a % b));
  puts(argv[0]);
  free(text);
  return 0;
}
EOF
"$toolchain/cc" -c "$scratch/small.c" -o "$scratch/small.o"
small=("$1")
shift
while [ $# -gt 0 ]; do
  case $1 in
    -o) small+=(-o "$scratch/small"); shift ;;
    -l*|*.o|*.a|*.lo|*.obj|*.so) ;;
    *) small+=("$1") ;;
  esac
  shift
done
traced "$scratch/trace" "${small[@]}" "$scratch/small.o"
normalise <"$scratch/trace" | sed 's/(.*//' | grep -v -F "$scratch/" |
  xargs -r -n 1 dirname | sort -u >"$trace.runtime"
