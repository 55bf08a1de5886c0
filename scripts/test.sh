#!/usr/bin/env bash
# Builds everything and runs every test (headless). Extra arguments go to ctest.
# Then runs each libFuzzer target for a bounded time (ZARKELO_FUZZ_SECONDS,
# 20 s each by default) in its own build (clang, sanitizers); a crash or
# sanitizer report fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "$@"

FUZZ_SECONDS="${ZARKELO_FUZZ_SECONDS:-20}"
if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: fuzzing skipped"
  exit 0
fi
FUZZ_BUILD="$ROOT/build-fuzz"
if [ ! -f "$FUZZ_BUILD/build.ninja" ]; then
  CC=clang CXX=clang++ cmake -S "$ROOT" -B "$FUZZ_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZARKELO_FUZZ=ON -DZARKELO_BUILD_TESTS=OFF -DZARKELO_BUILD_BENCH=OFF
fi
cmake --build "$FUZZ_BUILD" --target fuzz_bridge_dispatcher fuzz_service_http

# fuzz_target NAME: runs build-fuzz/bin/fuzz_NAME on its corpus and dictionary.
fuzz_target() {
  local name="$1" corpus="$FUZZ_BUILD/corpus/$1"
  mkdir -p "$corpus"
  cp -n "$ROOT"/fuzz/corpus/"$name"/* "$corpus"/ 2>/dev/null || true
  echo "Fuzzing $name for ${FUZZ_SECONDS} s"
  "$FUZZ_BUILD/bin/fuzz_$name" "$corpus" -dict="$ROOT/fuzz/$name.dict" \
    -max_total_time="$FUZZ_SECONDS" -max_len=8192 -rss_limit_mb=2048 -artifact_prefix="$FUZZ_BUILD/" \
    -print_final_stats=1
}
fuzz_target bridge_dispatcher
fuzz_target service_http
