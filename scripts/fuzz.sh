#!/usr/bin/env bash
# Builds the fuzz targets with clang, libFuzzer and the address and undefined
# behaviour sanitizers in build-fuzz/, then runs each for a bounded time on a
# copy of its seed corpus and prints what the run did.
#
#   scripts/fuzz.sh [target...]     FUZZ_SECONDS=60 per target by default
#
# Exits non-zero when a target crashed; the crash input's path is printed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build-fuzz"
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=("$@")
[ ${#TARGETS[@]} -gt 0 ] || TARGETS=(fuzz_modbus_framing fuzz_template_reader fuzz_server_messages)

"$ROOT/scripts/deps.sh"

# clang itself, and the runtime that carries libclang_rt.fuzzer and the sanitizers.
missing=()
for p in clang libclang-rt-14-dev; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTARNWICK_FUZZ=ON \
    -DTARNWICK_BENCH=OFF -DBUILD_TESTING=OFF >"$BUILD/configure.log" 2>&1 || { cat "$BUILD/configure.log"; exit 1; }
cmake --build "$BUILD" --target "${TARGETS[@]}" -- -j2

# Longest input worth trying: a few Modbus frames; a template or a message a
# few times the size of the samples.
max_len() {
    case "$1" in
    fuzz_modbus_framing) echo 512 ;;
    fuzz_template_reader) echo 8192 ;;
    *) echo 4096 ;;
    esac
}

# Leaks are checked; fuzz/lsan.supp says which ones belong to Qt.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/fuzz/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export QT_QPA_PLATFORM=offscreen

status=0
summary=()
for target in "${TARGETS[@]}"; do
    work="$BUILD/fuzz-run/$target"
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    cp "$ROOT/fuzz/corpus/$target/"* "$work/corpus/"
    cp "$ROOT/fuzz/regressions/$target/"* "$work/corpus/" 2>/dev/null || true
    echo "== $target: ${SECONDS_EACH}s"
    set +e
    "$BUILD/fuzz/$target" "$work/corpus" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$target")" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        >"$work/log.txt" 2>&1
    rc=$?
    set -e
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log.txt")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log.txt")
    last=$(grep -E '^#[0-9]+' "$work/log.txt" | tail -n 1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corpus=$(find "$work/corpus" -type f | wc -l)
    crash=$(find "$work/artifacts" -type f | head -n 1)
    if [ $rc -ne 0 ] || [ -n "$crash" ]; then
        status=1
        verdict="CRASH ${crash:-(no artifact, exit $rc)}; log $work/log.txt"
    else
        verdict="no crash"
    fi
    line=$(printf '%-22s runs %-10s exec/s %-7s cov %-6s ft %-6s corpus %-5s %s' "$target" "${runs:-?}" \
        "${speed:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$verdict")
    echo "$line"
    summary+=("$line")
done

echo "== summary (${SECONDS_EACH}s each)"
printf '%s\n' "${summary[@]}"
exit $status
