#!/usr/bin/env bash
# Builds everything and runs every test (headless). Extra arguments go to ctest.
# Then builds the tests again with clang, as a Debug build (assertions on), under
# AddressSanitizer (leak detection on) and UndefinedBehaviorSanitizer, runs the whole suite there, and runs each
# fuzz target of that same build for a bounded time; a failing test, a crash or
# a sanitizer report fails the script. ZARKELO_SANITIZED_SUITE=0 skips the
# sanitized suite (the fuzz targets still run).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
export QT_QPA_PLATFORM=offscreen
cd "$BUILD"
ctest --output-on-failure -j"$(nproc)" --timeout 300 "$@"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "clang++ not found: the sanitized suite and fuzzing are skipped"
  exit 0
fi
SANITIZED_BUILD="${ZARKELO_SANITIZED_BUILD_DIR:-$ROOT/build-san}"
# A Debug build, so that Qt's assertions (Q_ASSERT is off under QT_NO_DEBUG,
# which Qt adds to every other configuration) and the libraries' own run too;
# -O1 keeps the suite near the pace of an optimised build (at -O0 the tests
# that measure pace fail). Configured every time, so that a folder made by an
# older script takes these settings.
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$SANITIZED_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
  -DZARKELO_SANITIZE=ON -DZARKELO_FUZZ=ON -DZARKELO_BUILD_BENCH=OFF "${LAUNCHER[@]}" >/dev/null
cmake --build "$SANITIZED_BUILD"
if [ "${ZARKELO_SANITIZED_SUITE:-1}" != 0 ]; then
  echo "The suite again, under AddressSanitizer and UndefinedBehaviorSanitizer"
  # Each test runs once: one that fails under load is a fault to mend, not to
  # retry. The build is about three times slower, so the tests wait three times
  # as long for what they wait on (never checking less).
  (cd "$SANITIZED_BUILD" && ZARKELO_TEST_TIME_SCALE=3 ctest --output-on-failure -j"$(nproc)" --timeout 600 "$@")
fi

# Each fuzz target is fuzz/fuzz_NAME.cpp with its seeds in fuzz/corpus/NAME/
# and its dictionary in fuzz/NAME.dict.
FUZZ_TARGETS=(bridge_dispatcher bridge_frames relay_frames service_http)
FUZZ_SECONDS="${ZARKELO_FUZZ_SECONDS:-20}"
for name in "${FUZZ_TARGETS[@]}"; do
  CORPUS="$SANITIZED_BUILD/corpus/$name"
  mkdir -p "$CORPUS"
  cp -n "$ROOT/fuzz/corpus/$name"/* "$CORPUS"/ 2>/dev/null || true
  echo "Fuzzing $name for ${FUZZ_SECONDS} s"
  "$SANITIZED_BUILD/bin/fuzz_$name" "$CORPUS" -dict="$ROOT/fuzz/$name.dict" \
    -max_total_time="$FUZZ_SECONDS" -max_len=8192 -rss_limit_mb=2048 -artifact_prefix="$SANITIZED_BUILD/$name-" \
    -print_final_stats=1
done
