#!/usr/bin/env bash
# Does the link check of the musl builds refuse what it must, whichever
# linker's account it reads?
set -euo pipefail

usage() {
  cat <<'EOF'
Usage: tests/link/link_check_test.sh [FLAVOUR...]

Links small mipsel programs and runs cmake/check-musl-link.cmake on each
link, as the builds do, in three flavours (all by default):

  gnu-map    Debian's gcc for musl, GNU ld's link map (tools/build.sh)
  gnu-trace  the same compiler as a user's toolchain: GNU ld's trace,
             recorded by cmake/user-link.sh
  zig        zig cc (tools/zig-toolchain.sh, fetched into .cache/zig):
             lld's trace, the link run again by cmake/user-link.sh

Each program must pass or be refused as the table says: its own
allocator passes; musl's allocator, a C++ library (by its name, even in
the build tree), an archive from outside the build tree and, where the
check is told so, a thread are refused. One line per link; exits 1 when
any verdict is wrong.
EOF
}

root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/cmake/check-musl-link.cmake

# name | -D options for main.c | archives besides main.o (own: the
# allocator; libstdc++, libc++: a stand-in of that name in the build
# tree; foreign: an archive outside it) | NO_THREADS | flavours ("all",
# or trace: the trace flavours) | the verdict: "pass", or an extended
# regular expression the refusal must match
cases() {
  cat <<'EOF'
own allocator|-DUSE_STDIO|own||all|pass
musl's allocator|-DUSE_STDIO|||all|musl's allocator
C++ library (libstdc++)|-DUSE_CXX|own libstdc++||all|libstdc\+\+\.a
C++ library (libc++)|-DUSE_CXX|own libc++||trace|C\+\+ library
archive from outside|-DUSE_FOREIGN|own foreign||all|libforeign\.a, which is not
thread, refused|-DUSE_THREADS|own|ON|all|starts threads
thread, allowed|-DUSE_THREADS|own||all|pass
EOF
}

work=$(mktemp -d /tmp/quenvale-link-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/build" "$work/elsewhere"

cat >"$work/main.c" <<'EOF'
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
int cxx_helper(void);
int foreign_helper(void);
static void* run(void* arg) { return arg; }
int main(int argc, char** argv) {
  char* copy = strdup(argv[0]);
  int status = copy == NULL;
#ifdef USE_STDIO
  printf("%s %d\n", copy, argc);
#endif
#ifdef USE_CXX
  status += cxx_helper();
#endif
#ifdef USE_FOREIGN
  status += foreign_helper();
#endif
#ifdef USE_THREADS
  pthread_t thread;
  status += pthread_create(&thread, NULL, run, NULL);
#else
  (void)run;
#endif
  free(copy);
  return status;
}
EOF
# The whole set, as src/alloc/c_allocator.cpp and musl_internal_alloc.cpp
# define it, so that no part of musl's is needed: a bump allocator is
# enough to link.
cat >"$work/alloc.c" <<'EOF'
#include <errno.h>
#include <stddef.h>
#include <string.h>
static char arena[1 << 16];
static size_t used;
void* malloc(size_t n) {
  n = (n + 15) & ~(size_t)15;
  if (n > sizeof arena - used) return NULL;
  used += n;
  return arena + used - n;
}
void* calloc(size_t c, size_t n) { void* p = malloc(c * n); if (p) memset(p, 0, c * n); return p; }
void* realloc(void* p, size_t n) { void* q = malloc(n); if (q && p) memcpy(q, p, n); return q; }
void free(void* p) { (void)p; }
void* aligned_alloc(size_t a, size_t n) { (void)a; return malloc(n); }
void* memalign(size_t a, size_t n) { (void)a; return malloc(n); }
int posix_memalign(void** p, size_t a, size_t n) { *p = aligned_alloc(a, n); return *p ? 0 : ENOMEM; }
size_t malloc_usable_size(void* p) { (void)p; return 0; }
void* __libc_malloc(size_t n) { return malloc(n); }
void* __libc_calloc(size_t c, size_t n) { return calloc(c, n); }
void __libc_free(void* p) { free(p); }
EOF
echo 'int cxx_helper(void) { return 0; }' >"$work/cxx.c"
echo 'int foreign_helper(void) { return 0; }' >"$work/foreign.c"

# flavour_setup FLAVOUR: sets cc, ar and, for the trace flavours, tools
# (a toolchain directory as cmake/user-toolchain.sh leaves it, for
# cmake/user-link.sh).
flavour_setup() {
  tools=$work/tools-$1
  mkdir -p "$tools"
  case $1 in
    gnu-map|gnu-trace)
      cc=(mipsel-linux-musl-gcc)
      ar=(mipsel-linux-gnu-ar)
      echo trace >"$tools/link-method"
      ;;
    zig)
      local line
      while IFS= read -r line; do
        case $line in export\ *) eval "$line" ;; esac
      done < <("$root/tools/zig-toolchain.sh" mipsel)
      read -r -a cc <<<"$CC"
      read -r -a ar <<<"$AR"
      echo rerun >"$tools/link-method"
      echo "${cc[0]} ld.lld" >"$tools/linker"
      ;;
  esac
  command -v "${cc[0]}" >/dev/null ||
    { echo "FAIL: $1: no ${cc[0]} (tools/install-deps.sh arches brings it)"; return 1; }
  printf '#!/bin/sh\nexec%s "$@"\n' "$(printf ' %q' "${cc[@]}")" >"$tools/cc"
  chmod +x "$tools/cc"
  local name
  for name in main alloc cxx foreign; do
    "${cc[@]}" -Os -c "$work/$name.c" -o "$work/$1-$name.o"
  done
}

# link_and_check FLAVOUR NAME DEFINES ARCHIVES NO_THREADS: the check's
# output and status.
link_and_check() {
  local flavour=$1 name=$2 defines=$3 archives=$4 threads=$5 dir inputs=() part
  dir=$work/build/$flavour-$(tr -c 'a-z0-9\n' '-' <<<"$name")
  mkdir -p "$dir"
  read -r -a defines <<<"$defines"
  "${cc[@]}" -Os ${defines[@]+"${defines[@]}"} -c "$work/main.c" -o "$dir/main.o"
  inputs=("$dir/main.o")
  for part in $archives; do
    case $part in
      own)
        # In the build tree, as a build's objects are.
        cp "$work/$flavour-alloc.o" "$dir/alloc.o"
        inputs+=("$dir/alloc.o") ;;
      libstdc++|libc++)
        "${ar[@]}" rcs "$dir/$part.a" "$work/$flavour-cxx.o"
        inputs+=("$dir/$part.a") ;;
      foreign)
        "${ar[@]}" rcs "$work/elsewhere/libforeign.a" "$work/$flavour-foreign.o"
        inputs+=("$work/elsewhere/libforeign.a") ;;
    esac
  done
  case $flavour in
    gnu-map)
      "${cc[@]}" -static -Os -s "${inputs[@]}" -o "$dir/program" -Wl,-Map="$dir/program.map"
      local libgcc
      libgcc=$(dirname "$(mipsel-linux-gnu-gcc -print-libgcc-file-name)")
      (cd "$dir" && cmake -DMAP="$dir/program.map" \
         "-DALLOWED=$work/build;/usr/lib/mipsel-linux-musl;$libgcc" \
         ${threads:+-DNO_THREADS=$threads} -P "$check" 2>&1)
      ;;
    *)
      (cd "$dir" && "$root/cmake/user-link.sh" "$tools" "$dir/program.trace" \
         "${cc[@]}" -static -Os -s "${inputs[@]}" -o "$dir/program" &&
       cmake -DTRACE="$dir/program.trace" "-DALLOWED=$work/build" -DPROGRAM=program \
         ${threads:+-DNO_THREADS=$threads} -P "$check" 2>&1)
      ;;
  esac
}

main() {
  case ${1:-} in -h|--help) usage; exit 0 ;; esac
  local flavours=("$@") flavour failed=0 name defines archives threads only verdict
  local output status refusal
  [ ${#flavours[@]} -gt 0 ] || flavours=(gnu-map gnu-trace zig)
  for flavour in "${flavours[@]}"; do
    case $flavour in gnu-map|gnu-trace|zig) ;; *) usage >&2; exit 2 ;; esac
    flavour_setup "$flavour" || { failed=1; continue; }
    while IFS='|' read -r name defines archives threads only verdict; do
      [ "$only" = all ] || [ "$flavour" != gnu-map ] || continue
      status=0
      output=$(link_and_check "$flavour" "$name" "$defines" "$archives" "$threads") || status=$?
      # CMake wraps its messages: the refusal as one line.
      refusal=$(sed -n '/(message):/,/^$/p' <<<"$output" | sed '1d' | tr -s ' \n' ' ')
      if [ "$verdict" = pass ] && [ $status -eq 0 ]; then
        echo "ok: $flavour: $name: passes"
      elif [ "$verdict" != pass ] && [ $status -ne 0 ] &&
           grep -q -E -- "$verdict" <<<"$refusal"; then
        refusal=${refusal%% Call Stack*}
        echo "ok: $flavour: $name: refused:${refusal%% }"
      else
        echo "FAIL: $flavour: $name: expected ${verdict/#pass/to pass}, got status $status:"
        sed 's/^/    /' <<<"$output"
        failed=1
      fi
    done < <(cases)
  done
  [ "$failed" -eq 0 ] && echo "link check: every verdict as expected"
  return "$failed"
}

main "$@"
