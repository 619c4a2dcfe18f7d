#!/usr/bin/env bash
# Installs the Debian packages the gateway needs to build, run and test.
#
#   scripts/deps.sh              all of them
#   scripts/deps.sh --programs   only those the gateway and the stand-in need
set -euo pipefail

PACKAGES=(build-essential cmake pkg-config qtbase5-dev libqt5websockets5-dev libqt5sql5-sqlite
          fonts-dejavu-core)
# Tests, benchmarks and the load tool read the gateway with libmodbus, mbpoll and
# pymodbus; the manual pages are made from the programs' --help.
[ "${1:-}" = --programs ] || PACKAGES+=(libmodbus-dev libsqlite3-dev mbpoll help2man python3-pymodbus
                                        python3-serial-asyncio)

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install: ${missing[*]}" >&2; exit 1; }
    SUDO=sudo
fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
