#!/usr/bin/env bash
# Installs, from Debian's archive, what the AArch64 scripts need beyond what
# scripts/install-system-packages.sh installs: the cross compiler (for
# scripts/run-aarch64-tests.sh) and qemu-user (for it and
# scripts/run-aarch64-wheel.sh). Installs only what is missing; needs root
# (or sudo). Those scripts run it themselves.
set -euo pipefail

packages=()
command -v aarch64-linux-gnu-g++ >/dev/null || packages+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || packages+=(qemu-user)
[ ${#packages[@]} -eq 0 ] && exit 0

sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
