#!/usr/bin/env bash
# Installs what is missing, builds, and starts the gateway in run/ together
# with the stand-in network server it connects to by default.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh

REPO="$PWD"
RUN_DIR="${TARNWICK_RUN_DIR:-$REPO/run}"
STANDIN_PORT="${TARNWICK_STANDIN_PORT:-8002}"
mkdir -p "$RUN_DIR/deviceFolder"

# Seed the sample templates; templates the operator added or changed stay.
for t in "$REPO"/templates/*.json; do
    [ -e "$RUN_DIR/deviceFolder/$(basename "$t")" ] || cp "$t" "$RUN_DIR/deviceFolder/"
done

# First start: point the connection panel at the stand-in server.
if [ ! -e "$RUN_DIR/settings.conf" ]; then
    umask 077
    printf '[server]\nip=127.0.0.1\nport=%s\nlogin=operator\npassword=tarnwick\n' "$STANDIN_PORT" \
        > "$RUN_DIR/settings.conf"
fi

"$REPO/build/standin/tarnwick-standin" --config "$REPO/standin/standin.json" --port "$STANDIN_PORT" &
STANDIN_PID=$!
trap 'kill $STANDIN_PID 2>/dev/null || true' EXIT

cd "$RUN_DIR"
"$REPO/build/tarnwick"
