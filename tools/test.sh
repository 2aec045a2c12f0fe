#!/usr/bin/env bash
# Runs every test: unit tests and system tests, against the debug build and
# against the release build that ships.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build test

for type in Debug Release; do
  dir=build/test-${type,,}
  echo "== $type build"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
  (cd "$dir" && ctest --output-on-failure)
done
