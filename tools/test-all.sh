#!/bin/sh
# Installs what the build and the tests need, builds kivd and runs the whole test suite (as root).
set -eu
cd "$(dirname "$0")/.."
./tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j2 "$@"
