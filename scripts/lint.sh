#!/usr/bin/env bash
# The style checks CI runs: ruff on the Python code, clang-format on the
# C++ code, the layering of src/ (folders include only those below them)
# and the links of the README and docs/. Needs the dev extra
# (pip install ".[dev]").
set -euo pipefail
cd "$(dirname "$0")/.."

python3 -m ruff check --quiet .
git ls-files -z '*.cpp' '*.hpp' | xargs -0 clang-format --dry-run --Werror
python3 scripts/check_layers.py
python3 scripts/check_links.py
