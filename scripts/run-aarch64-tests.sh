#!/usr/bin/env bash
# Cross-compiles the core and its C++ tests for 64-bit ARM Linux and runs
# them under qemu-user: the ChaCha20, draw and walk vectors and the fuzz
# corpus replay, so that both architectures are shown to give the same
# walks. Installs Debian's cross compiler, qemu-user and GoogleTest's
# sources when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null ||
   [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends \
    g++-aarch64-linux-gnu qemu-user libgtest-dev cmake >/dev/null
fi

cmake -S . -B build/aarch64 -Wno-dev -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON -DVANTREL_GTEST_SOURCE=/usr/src/googletest \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/aarch64 --parallel 2
ctest --test-dir build/aarch64 --output-on-failure --parallel 2
