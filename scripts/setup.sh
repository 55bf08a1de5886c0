#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, only those that are missing,
# then configures and builds incrementally into ./build. Sourced by the other
# scripts; a script that sets BUILD_TARGETS (an array of target names) before
# it sources this one builds only those and what they need, else everything.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${ZARKELO_BUILD_DIR:-$ROOT/build}"

PACKAGES=(qt6-base-dev qt6-websockets-dev qt6-httpserver-dev qt6-svg-dev libsqlite3-dev
  nlohmann-json3-dev libqrencode-dev libgtest-dev libgmock-dev libbenchmark-dev ninja-build
  cmake pkgconf g++ openssl xauth xvfb fonts-noto-cjk zbar-tools clang libclang-rt-14-dev
  libpoppler-qt6-dev libffmpegthumbnailer-dev libavformat-dev libseccomp-dev libssl-dev libxxhash-dev xdotool imagemagick nginx-light fonts-noto-color-emoji
  qt6-translations-l10n)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  fi
}

# A compiler cache, where one is installed, serves every build folder.
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

build() {
  if [ ! -f "$BUILD/build.ninja" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${LAUNCHER[@]}"
  fi
  if ((${#BUILD_TARGETS[@]})); then
    cmake --build "$BUILD" --target "${BUILD_TARGETS[@]}"
  else
    cmake --build "$BUILD"
  fi
}

BUILD_TARGETS=("${BUILD_TARGETS[@]+"${BUILD_TARGETS[@]}"}")
install_missing
build
