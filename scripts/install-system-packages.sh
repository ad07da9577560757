#!/usr/bin/env bash
# Installs, from Debian's archive, what building and testing need beyond
# Python's packages: a C++20 compiler and CMake, GoogleTest for the C++
# tests, and for the AArch64 run the cross compiler and qemu-user. Installs
# only what is missing; needs root (or sudo).
set -euo pipefail

packages=()
command -v g++ >/dev/null || packages+=(g++)
command -v cmake >/dev/null || packages+=(cmake)
[ -f /usr/include/gtest/gtest.h ] && [ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(libgtest-dev)
command -v aarch64-linux-gnu-g++ >/dev/null || packages+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || packages+=(qemu-user)
[ ${#packages[@]} -eq 0 ] && exit 0

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
