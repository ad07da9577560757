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
# pip shows a build's output only with -v: its log goes to a file, and the
# build's progress lines ("[12/80] Building CXX object ...") to the screen,
# with the log's end if the install fails.
echo "run-tests: building and installing the extension and the C++ tests (minutes on two cores)" >&2
mkdir -p build
log=build/run-tests-install.log
set +e
python3 -m pip install -v --disable-pip-version-check --root-user-action=ignore \
  -Cbuild-dir=build/tests -Ccmake.define.VANTREL_BUILD_TESTS=ON -Cbuild.verbose=false ".[dev]" 2>&1 |
  tee "$log" | grep --line-buffered -E '^ *\[[0-9]+/[0-9]+\] ' | sed -u 's/^ */run-tests: /' >&2
status=${PIPESTATUS[0]}
set -e
if [ "$status" -ne 0 ]; then
  tail -n 80 "$log" >&2
  echo "run-tests: installing failed (the whole log: $log)" >&2
  exit "$status"
fi

# The installed type stub (the vantrel-stubs package) against the installed
# module.
python3 -m mypy.stubtest vantrel

echo "run-tests: the C++ tests" >&2
ctest --test-dir build/tests --output-on-failure --parallel "$(nproc)"

echo "run-tests: the Python tests" >&2
python3 -m pytest tests "$@"
