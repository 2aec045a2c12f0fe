#!/usr/bin/env bash
# Runs every test: the unit tests and the leak test on a debug build with
# ASan and UBSan, then the unit tests and every system test on the static
# release build that ships.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build test

run_tree() {
  local dir=$1; shift
  echo "== $dir"
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure)
}

run_tree build/test-debug -DCMAKE_BUILD_TYPE=Debug -DQUENVALE_SANITIZE=ON
run_tree build/test-release -DCMAKE_BUILD_TYPE=Release
