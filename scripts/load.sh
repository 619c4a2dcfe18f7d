#!/usr/bin/env bash
# The load proof: installs what is missing, builds, and runs the gateway for
# 60 s under uplinks from 50 devices at 200/s while Modbus clients poll them.
# Prints the figures; exits non-zero when a check fails. Extra arguments go
# to the tool (see build/loadtest/tarnwick-loadtest --help), e.g. --seconds 120.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen
exec build/loadtest/tarnwick-loadtest --seconds 60 "$@"
