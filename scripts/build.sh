#!/usr/bin/env bash
# Configures and builds into build/ (the gateway is build/tarnwick).
#
#   scripts/build.sh              everything: programs, tests, benchmarks, tools
#   scripts/build.sh --programs   only the gateway and the stand-in server
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --programs ]; then
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DTARNWICK_BENCH=OFF
    cmake --build build -j"$(nproc)" --target tarnwick tarnwick-standin
else
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DTARNWICK_BENCH=ON
    cmake --build build -j"$(nproc)"
fi
