#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ tests of the
# core (GoogleTest through CTest) and the Python tests of the module (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore ".[test]"

# The installed type stub against the installed module (mypy looks for a
# top-level module's stub on MYPYPATH only).
stub_dir=$(mktemp -d)
trap 'rm -rf "$stub_dir"' EXIT
cp "$(python3 -c 'import pathlib, vantrel; print(pathlib.Path(vantrel.__file__).with_name("vantrel.pyi"))')" "$stub_dir/"
MYPYPATH="$stub_dir" python3 -m mypy.stubtest vantrel

cmake -S . -B build/cpp -DVANTREL_BUILD_MODULE=OFF -DVANTREL_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp --parallel 2
ctest --test-dir build/cpp --output-on-failure --parallel 2

python3 -m pytest tests "$@"
