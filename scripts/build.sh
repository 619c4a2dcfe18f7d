#!/usr/bin/env bash
# Configures and builds into build/ (the gateway is build/tarnwick).
#
#   scripts/build.sh              everything: programs, tests, benchmarks, tools
#   scripts/build.sh --programs   only the gateway and the stand-in server
#
# Optimised like a release, without debug information, which would double the
# compile time; for a debugger, configure a build directory of your own with
# -DCMAKE_BUILD_TYPE=RelWithDebInfo.
set -euo pipefail
cd "$(dirname "$0")/.."
flags=(-DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG")
if [ "${1:-}" = --programs ]; then
    cmake -S . -B build "${flags[@]}" -DBUILD_TESTING=OFF -DTARNWICK_BENCH=OFF
    cmake --build build -j"$(nproc)" --target tarnwick tarnwick-standin
else
    cmake -S . -B build "${flags[@]}" -DBUILD_TESTING=ON -DTARNWICK_BENCH=ON
    cmake --build build -j"$(nproc)"
fi
