#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen

# The unit as installed, with the built gateway in place of the installed one
# (verify checks that it exists).
if command -v systemd-analyze >/dev/null; then
    unit=$(mktemp -d)
    trap 'rm -rf "$unit"' EXIT
    sed "s#/usr/bin/tarnwick#$PWD/build/tarnwick#" packaging/tarnwick.service > "$unit/tarnwick.service"
    # Warnings leave the exit status 0, so any output counts as a failure.
    if ! out=$(systemd-analyze verify --man=no "$unit/tarnwick.service" 2>&1) || [ -n "$out" ]; then
        echo "systemd-analyze verify tarnwick.service: $out" >&2
        exit 1
    fi
    echo "systemd-analyze verify tarnwick.service: clean"
fi

cd build
ctest --output-on-failure -j2
