#!/usr/bin/env bash
# Builds everything and runs every test (headless). Extra arguments go to ctest.
# Then fuzzes the bridge's inbound dispatcher and the relay's reading of frames
# for a bounded time each in their own build (clang, sanitizers); a crash or
# sanitizer report fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "$@"

FUZZ_SECONDS="${ZARKELO_FUZZ_SECONDS:-30}"
if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzzing skipped"
  exit 0
fi
FUZZ_BUILD="$ROOT/build-fuzz"
if [ ! -f "$FUZZ_BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARKELO_FUZZ=ON -DZARKELO_BUILD_TESTS=OFF -DZARKELO_BUILD_BENCH=OFF
fi
cmake --build "$FUZZ_BUILD" --target fuzz_bridge_dispatcher fuzz_relay_frames

# fuzz NAME SECONDS MAX_LEN: runs bin/fuzz_NAME on fuzz/corpus/NAME with fuzz/NAME.dict.
fuzz() {
  local corpus="$FUZZ_BUILD/corpus/$1"
  mkdir -p "$corpus"
  cp -n "$ROOT/fuzz/corpus/$1"/* "$corpus"/ 2>/dev/null || true
  echo "Fuzzing $1 for $2 s"
  "$FUZZ_BUILD/bin/fuzz_$1" "$corpus" -dict="$ROOT/fuzz/$1.dict" \
    -max_total_time="$2" -max_len="$3" -rss_limit_mb=2048 -artifact_prefix="$FUZZ_BUILD/" \
    -print_final_stats=1
}
fuzz bridge_dispatcher "$FUZZ_SECONDS" 8192
fuzz relay_frames "${ZARKELO_RELAY_FUZZ_SECONDS:-20}" 65536
