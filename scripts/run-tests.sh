#!/usr/bin/env bash
# Installs the package with what the tests need, then runs every test: the
# type stub against the module (mypy.stubtest), the C++ tests of the core
# (GoogleTest through CTest) and the Python tests (pytest). The module and
# the C++ tests come from one build. Needs the system packages of
# scripts/install-system-packages.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "GoogleTest is missing: run scripts/install-system-packages.sh first" >&2
  exit 1
fi

# One build (build/tests) makes the module that pip installs and the C++
# tests beside it.
echo "run-tests: building and installing the extension and the C++ tests (minutes on two cores)" >&2
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
  -Cbuild-dir=build/tests -Ccmake.define.VANTREL_BUILD_TESTS=ON -Cbuild.verbose=false ".[dev]"

# The installed type stub (the vantrel-stubs package) against the installed
# module.
python3 -m mypy.stubtest vantrel

echo "run-tests: the C++ tests" >&2
ctest --test-dir build/tests --output-on-failure --parallel "$(nproc)"

echo "run-tests: the Python tests" >&2
python3 -m pytest tests "$@"
