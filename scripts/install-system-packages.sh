#!/usr/bin/env bash
# Installs, from Debian's archive, what the README's test command needs
# beyond Python's packages: a C++20 compiler and CMake, and GoogleTest for
# the C++ tests. (The AArch64 scripts install their cross compiler and
# qemu-user themselves: scripts/install-aarch64-packages.sh.) Installs only
# what is missing; needs root (or sudo).
set -euo pipefail

packages=()
command -v g++ >/dev/null || packages+=(g++)
command -v cmake >/dev/null || packages+=(cmake)
[ -f /usr/include/gtest/gtest.h ] && [ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(libgtest-dev)
[ ${#packages[@]} -eq 0 ] && exit 0

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
