#!/usr/bin/env bash
# Checks the typed recipes (tests/typing/recipes.py, strictly) and every
# Python example of the README and docs/ (as tests/doc_examples.py writes
# them out) against the stub (src/python/vantrel.pyi) with mypy under each
# CPython named, in a virtual
# environment of its own with mypy and numpy: the oldest and newest the
# package supports, so that what numpy declares on each (numpy's arrays
# declare __buffer__ only from 3.12 on) is what the stub is checked with.
#
#   bash scripts/check-types.sh 3.9 3.13
set -euo pipefail
cd "$(dirname "$0")/.."

for version in "$@"; do
  python=$(bash scripts/find-python.sh "$version")
  venv=build/types-$version
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check mypy numpy
  echo "check-types: mypy on Python $version" >&2
  MYPYPATH=src/python "$venv/bin/python" -m mypy --strict --no-incremental tests/typing/recipes.py
  "$venv/bin/python" tests/doc_examples.py "$venv/doc-examples"
  MYPYPATH=src/python "$venv/bin/python" -m mypy --no-incremental --ignore-missing-imports --check-untyped-defs \
    "$venv/doc-examples"
done
