#!/usr/bin/env bash
# Cross-compiles the core and its C++ tests for 64-bit ARM Linux and runs
# them under qemu-user: the ChaCha20, draw and walk vectors and the fuzz
# corpus replay, so that both architectures are shown to give the same
# walks. Needs what scripts/install-system-packages.sh installs, and installs
# the cross compiler and qemu-user itself. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-aarch64-packages.sh

if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null ||
   [ ! -f /usr/src/googletest/CMakeLists.txt ]; then
  echo "the cross compiler, qemu-user or GoogleTest's sources are missing: run scripts/install-system-packages.sh first" >&2
  exit 1
fi

cmake -S . -B build/aarch64 -Wno-dev -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON -DVANTREL_GTEST_SOURCE=/usr/src/googletest \
  -DCMAKE_BUILD_TYPE=Release -DVANTREL_WERROR=ON >/dev/null
cmake --build build/aarch64 --parallel "$(nproc)"
ctest --test-dir build/aarch64 --output-on-failure --parallel "$(nproc)"
