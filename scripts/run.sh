#!/usr/bin/env bash
# Installs what is missing, builds, and starts the gateway in run/. Until you
# log in to a real network server, the stand-in server runs beside it and the
# gateway connects to that.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh --programs
scripts/build.sh --programs

REPO="$PWD"
export TARNWICK_GATEWAY="$REPO/build/tarnwick"
export TARNWICK_STANDIN="$REPO/build/standin/tarnwick-standin"
export TARNWICK_TEMPLATES="$REPO/templates"
export TARNWICK_STANDIN_CONFIG="$REPO/standin/standin.json"
exec packaging/tarnwick-launch --workdir "${TARNWICK_RUN_DIR:-$REPO/run}"
