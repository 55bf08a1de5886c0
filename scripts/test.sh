#!/usr/bin/env bash
# Builds everything and runs every test (headless). Extra arguments go to ctest.
# Then runs each fuzz target for a bounded time in its own build (clang,
# sanitizers); a crash or sanitizer report fails the script.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "$@"

# Each fuzz target is fuzz/fuzz_NAME.cpp with its seeds in fuzz/corpus/NAME/
# and its dictionary in fuzz/NAME.dict.
FUZZ_TARGETS=(bridge_dispatcher bridge_frames relay_frames service_http)
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
cmake --build "$FUZZ_BUILD" --target "${FUZZ_TARGETS[@]/#/fuzz_}"
for name in "${FUZZ_TARGETS[@]}"; do
  CORPUS="$FUZZ_BUILD/corpus/$name"
  mkdir -p "$CORPUS"
  cp -n "$ROOT/fuzz/corpus/$name"/* "$CORPUS"/ 2>/dev/null || true
  echo "Fuzzing $name for ${FUZZ_SECONDS} s"
  "$FUZZ_BUILD/bin/fuzz_$name" "$CORPUS" -dict="$ROOT/fuzz/$name.dict" \
    -max_total_time="$FUZZ_SECONDS" -max_len=8192 -rss_limit_mb=2048 -artifact_prefix="$FUZZ_BUILD/$name-" \
    -print_final_stats=1
done
