#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test headless.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
export QT_QPA_PLATFORM=offscreen

# The unit as installed, with the built gateway and manual page in place of
# the installed ones (verify checks both exist).
if command -v systemd-analyze >/dev/null && [ -f build/packaging/tarnwick.1.gz ]; then
    unit=$(mktemp -d)
    trap 'rm -rf "$unit"' EXIT
    sed "s#/usr/bin/tarnwick#$PWD/build/tarnwick#" packaging/tarnwick.service > "$unit/tarnwick.service"
    mkdir -p "$unit/man/man1"
    cp build/packaging/tarnwick.1.gz "$unit/man/man1/"
    # Warnings leave the exit status 0, so any output counts as a failure.
    if ! out=$(MANPATH="$unit/man" systemd-analyze verify "$unit/tarnwick.service" 2>&1) || [ -n "$out" ]; then
        echo "systemd-analyze verify tarnwick.service: $out" >&2
        exit 1
    fi
    echo "systemd-analyze verify tarnwick.service: clean"
fi

cd build
ctest --output-on-failure -j2
