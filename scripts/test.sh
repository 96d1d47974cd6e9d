#!/usr/bin/env bash
# The test command: builds the host and the Windows (mingw-w64) presets and runs every test.
# TARNEL_SANITIZERS=1 also runs the suites under the ASan+UBSan and TSan presets.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/bootstrap.sh

jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
cmake --preset win >/dev/null
cmake --build --preset win -j "$jobs"
ctest --preset win
ctest --preset host -j "$jobs"

if [ "${TARNEL_SANITIZERS:-0}" = 1 ]; then
    for preset in host-asan host-tsan; do
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs"
        ctest --preset "$preset" -j "$jobs" --label-exclude cross
    done
fi
