#!/usr/bin/env bash
# Installs what is missing, builds, and runs the fault tests verbosely, so the
# lines they print (kills, integrity checks, values served) show.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
cd build
ctest -R tst_faults -V
