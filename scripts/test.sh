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
CORPUS="$FUZZ_BUILD/corpus/bridge_dispatcher"
mkdir -p "$CORPUS"
cp -n "$ROOT"/fuzz/corpus/bridge_dispatcher/* "$CORPUS"/ 2>/dev/null || true
echo "Fuzzing the bridge dispatcher for ${FUZZ_SECONDS} s"
"$FUZZ_BUILD/bin/fuzz_bridge_dispatcher" "$CORPUS" -dict="$ROOT/fuzz/bridge_dispatcher.dict" \
  -max_total_time="$FUZZ_SECONDS" -max_len=8192 -rss_limit_mb=2048 -artifact_prefix="$FUZZ_BUILD/" \
  -print_final_stats=1

RELAY_FUZZ_SECONDS="${ZARKELO_RELAY_FUZZ_SECONDS:-20}"
RELAY_CORPUS="$FUZZ_BUILD/corpus/relay_frames"
mkdir -p "$RELAY_CORPUS"
cp -n "$ROOT"/fuzz/corpus/relay_frames/* "$RELAY_CORPUS"/ 2>/dev/null || true
echo "Fuzzing the relay's frames for ${RELAY_FUZZ_SECONDS} s"
"$FUZZ_BUILD/bin/fuzz_relay_frames" "$RELAY_CORPUS" -dict="$ROOT/fuzz/relay_frames.dict" \
  -max_total_time="$RELAY_FUZZ_SECONDS" -max_len=65536 -rss_limit_mb=2048 -artifact_prefix="$FUZZ_BUILD/" \
  -print_final_stats=1
