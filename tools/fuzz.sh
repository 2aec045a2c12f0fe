#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14, ASan, UBSan) in build/fuzz and
# runs each one in turn, one at a time.
#
#   tools/fuzz.sh short            a fixed number of runs per target from a
#                                  scratch copy of its seed corpus; exits
#                                  non-zero on any crash, sanitizer report
#                                  or broken property
#   tools/fuzz.sh long [SECONDS]   SECONDS per target (default 120), keeping
#                                  what it finds in build/fuzz/corpus-long;
#                                  prints executions and coverage
#   tools/fuzz.sh cross ARCH       the same targets built for another
#                                  machine (mipsel, mips64el, armhf, arm64,
#                                  or s390x, big-endian)
#                                  with its gcc cross compiler and UBSan, run
#                                  under qemu-user by fuzz/replay_main.cpp:
#                                  the seeds, then a fixed number of random
#                                  mutations of them, a tenth of the short
#                                  runs (libFuzzer has no runtime there)
#
# Short runs use a fixed seed so that a test run is repeatable; set
# FUZZ_SEED to explore elsewhere. Logs go to build/fuzz/logs, failing
# inputs to build/fuzz/artifacts/<date>-<mode>; reproduce one with
#   build/fuzz/fuzz/<target> -close_fd_mask=0 <input>
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=tools/lib/packages.sh
. tools/lib/packages.sh

mode=${1:-short}
case $mode in
  short) ;;
  cross)
    . tools/lib/arches.sh
    arch=${2:-}
    { { qv_known_arch "$arch" || [ "$arch" = "$QV_BYTE_ORDER_ARCH" ]; } &&
      [ "$arch" != x86_64 ]; } ||
      { echo "usage: $0 cross ARCH (one of: ${QV_ALL_ARCHES[*]:1} $QV_BYTE_ORDER_ARCH)" >&2
        exit 2; } ;;
  long) seconds=${2:-120}; [[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "bad seconds: $seconds" >&2; exit 2; } ;;
  *) echo "usage: $0 short | long [SECONDS] | cross ARCH" >&2; exit 2 ;;
esac

# target, longest input, runs in short mode. The command line and the list
# run past the 1022-character line cut; a dev line is cut at 31 characters;
# a device for the probes carries up to 128 KiB of real signatures.
targets=(
  "fuzz_mode_text      64 40000"
  "fuzz_cmdline      4096 20000"
  "fuzz_module_list  4096 20000"
  "fuzz_option_string 512 40000"
  "fuzz_dev_line       40 40000"
  "fuzz_link_name      64 20000"
  "fuzz_heap          256 10000"
  "fuzz_probe      140000  3000"
)

qv_install clang-14 libclang-rt-14-dev cmake make pkg-config libblkid-dev

names=()
for entry in "${targets[@]}"; do read -r name _ <<<"$entry"; names+=("$name"); done

if [ "$mode" = cross ]; then
  cmake/cross-deps.sh "$arch"
  gnu=${QV_ARCH_GNU[$arch]}
  build=build/fuzz-$arch
  sysroot=$PWD/.cache/gnu-$arch-sysroot/usr/lib/${QV_ARCH_MULTIARCH[$arch]}
  # fuzz_probe links Debian's libblkid for the machine, the same util-linux
  # version, built by Debian without the sanitizers.
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/gnu.cmake -DQUENVALE_ARCH="$arch" \
    -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_FUZZ_REPLAY=ON \
    -DQUENVALE_FUZZ_BLKID="$sysroot/libblkid.a" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target "${names[@]}" >/dev/null
  scratch=$(mktemp -d /tmp/quenvale-fuzz.XXXXXX)
  trap 'rm -rf "$scratch"' EXIT
  here=$PWD
  emulator=("${QV_ARCH_QEMU[$arch]}" -L "/usr/$gnu" -E "LD_LIBRARY_PATH=/usr/$gnu/lib:$sysroot")
  failed=0
  for entry in "${targets[@]}"; do
    read -r name max_len short_runs <<<"$entry"
    log=$scratch/$name.log
    status=0
    # Every target checks its properties itself; UBSan's reports go to a
    # file, as a target may silence standard error.
    (cd "$scratch" && UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$scratch/ubsan-$name" \
      timeout 600 "${emulator[@]}" "$here/$build/fuzz/$name" -runs=$((short_runs / 10)) \
      -seed="${FUZZ_SEED:-1}" -max_len="$max_len" "$here/fuzz/corpus/$name") >"$log" 2>&1 ||
      status=$?
    if [ $status -ne 0 ] || compgen -G "$scratch/ubsan-$name*" >/dev/null ||
       [ -e "$scratch/replay-failure-$name" ]; then
      echo "$name ($arch): FAILED (exit $status)"
      cat "$log" "$scratch/ubsan-$name"* 2>/dev/null | head -n 20 | sed 's/^/   /'
      [ -e "$scratch/replay-failure-$name" ] &&
        cp "$scratch/replay-failure-$name" "build/replay-failure-$arch-$name" &&
        echo "   input kept in build/replay-failure-$arch-$name"
      failed=1
    else
      echo "$name ($arch): $(tail -n 1 "$log")"
    fi
  done
  exit $failed
fi

build=build/fuzz
# fuzz_probe runs libblkid's probes too, built from the shipped source with
# the sanitizers and coverage.
blkid=$(cmake/musl-deps.sh fuzz | tail -n 1)
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DQUENVALE_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_FUZZ_BLKID="$blkid" >/dev/null
# Only the fuzz targets: the shipped program links statically, which the
# sanitizer runtimes do not allow.
cmake --build "$build" -j"$(nproc)" --target "${names[@]}"

logs=$build/logs
artifacts=$build/artifacts/$(date +%Y%m%d-%H%M%S)-$mode
mkdir -p "$logs" "$artifacts"
scratch=$(mktemp -d /tmp/quenvale-fuzz.XXXXXX)
trap 'rm -rf "$scratch"' EXIT

# Figures from libFuzzer's last status line ("#N DONE cov: C ft: F corp: U/…")
# and from -print_final_stats=1.
summarise() {
  local log=$1
  local execs cov ft corp
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  cov=$(grep -o ' cov: [0-9]*' "$log" | tail -n1 | tr -dc 0-9)
  ft=$(grep -o ' ft: [0-9]*' "$log" | tail -n1 | tr -dc 0-9)
  corp=$(grep -o ' corp: [0-9]*' "$log" | tail -n1 | tr -dc 0-9)
  printf 'execs %s, cov %s, ft %s, corpus %s units' \
    "${execs:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}"
}

failed=0
summary=()
for entry in "${targets[@]}"; do
  read -r name max_len short_runs <<<"$entry"
  log=$logs/$name.$mode.log
  if [ "$mode" = short ]; then
    corpus=$scratch/$name
    budget=(-runs="$short_runs" -seed="${FUZZ_SEED:-1}")
    limit=300
  else
    corpus=$build/corpus-long/$name
    budget=(-max_total_time="$seconds")
    limit=$((seconds * 2 + 300))
  fi
  mkdir -p "$corpus"
  cp -n fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true

  echo "== $name ($mode)"
  status=0
  timeout "$limit" "$build/fuzz/$name" "${budget[@]}" -max_len="$max_len" \
    -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
    "$corpus" >"$log" 2>&1 || status=$?

  verdict=ok
  if [ $status -ne 0 ] ||
     grep -qE 'PROPERTY VIOLATION|ERROR: |runtime error:|WARNING: .*Sanitizer' "$log" ||
     compgen -G "$artifacts/$name-*" >/dev/null; then
    verdict="FAILED (exit $status; log $log)"
    failed=1
    grep -m3 -E 'PROPERTY VIOLATION|ERROR: |runtime error:|SUMMARY:|Test unit written' "$log" | sed 's/^/   /' || true
  fi
  line="$name: $(summarise "$log") - $verdict"
  echo "$line"
  summary+=("$line")
done

rmdir "$artifacts" 2>/dev/null || echo "inputs that failed: $artifacts"
echo "== summary ($mode${seconds:+, ${seconds} s per target})"
printf '%s\n' "${summary[@]}"
exit $failed
