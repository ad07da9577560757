#!/usr/bin/env bash
# Imports an AArch64 wheel under qemu-user with Debian's AArch64 CPython 3.11
# and runs the walk tests there: the reproducibility vectors, the exact
# port's walks, start lists, restricted graphs and snapshots. The
# interpreter and the libraries it needs are Debian's arm64 packages,
# downloaded (not installed) through apt's multiarch and unpacked into
# build/aarch64-python; pytest is pure Python, from PyPI. Tests that start
# a child interpreter are left out: without binfmt_misc a child cannot be
# an AArch64 program.
#
#   bash scripts/run-aarch64-wheel.sh build/wheelhouse/vantrel-...-cp311-...aarch64.whl
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-aarch64-packages.sh  # qemu-user
wheel=$(realpath "$1")
root=$(realpath -m build/aarch64-python)
if [ ! -x "$root/usr/bin/python3.11" ]; then
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
  fi
  apt-get update -qq
  mkdir -p "$root.debs"
  (cd "$root.debs" && apt-get download -qq \
    libc6:arm64 libgcc-s1:arm64 python3.11-minimal:arm64 libpython3.11-minimal:arm64 libpython3.11-stdlib:arm64 \
    libexpat1:arm64 zlib1g:arm64 libffi8:arm64 libssl3:arm64 libbz2-1.0:arm64 liblzma5:arm64 libsqlite3-0:arm64 \
    libncursesw6:arm64 libtinfo6:arm64 libreadline8:arm64 libuuid1:arm64 libcrypt1:arm64 libdb5.3:arm64 \
    libgdbm6:arm64 libnsl2:arm64 libtirpc3:arm64 2>&1 | grep -v "^W: Download is performed unsandboxed" || true)
  for package in "$root.debs"/*.deb; do dpkg -x "$package" "$root"; done
fi

site=$(mktemp -d)
trap 'rm -rf "$site"' EXIT
python3 -m pip install --quiet --disable-pip-version-check --no-deps --target "$site" \
  "pytest==9.2.0" "pytest-timeout==2.4.0" "iniconfig==2.3.1" "pluggy==1.7.0" "packaging==26.4" "pygments==2.19.2"
python3 -m zipfile -e "$wheel" "$site"

run() { PYTHONPATH="$site" qemu-aarch64 -L "$root" "$root/usr/bin/python3.11" "$@"; }
run -c 'import platform, vantrel; print("vantrel on", platform.machine(), "from", vantrel.__file__)'
run -m pytest -q -p no:cacheprovider tests/test_walks.py tests/test_loading.py tests/test_many_walks.py \
  -k "not every_chacha20_kernel and not kernel_no_cpu_runs"
