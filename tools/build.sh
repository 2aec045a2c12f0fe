#!/usr/bin/env bash
# Builds the release init: a static, stripped executable.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release -j"$(nproc)"
binary=build/release/src/quenvale-init
file "$binary" 2>/dev/null || true
echo "$binary: $(stat -c %s "$binary") bytes"
