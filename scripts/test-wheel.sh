#!/usr/bin/env bash
# Runs the Python test suite against an installed wheel, as a user without a
# compiler has it: the wheel and what the tests need go into a fresh venv,
# then pytest runs with a PATH that holds the venv and the system's
# programs but no C or C++ compiler (which the script shows are absent),
# from a copy of tests/ and examples/ that holds no module of the tree.
#
#   bash scripts/test-wheel.sh dist/vantrel-...-cp311-...x86_64.whl [python3.11] [pytest arguments]
#
# TESTS names the test files to run (paths under tests/; default: all).
set -euo pipefail
cd "$(dirname "$0")/.."

wheel=$(realpath "$1")
python=${2:-python3}
shift $(($# < 2 ? $# : 2))

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv "$scratch/venv"
# The wheel, then its test extra but PyTorch, which PyPI has only as a CUDA
# build of gigabytes (on Linux x86-64): the torch tests skip here, and run
# on the source build (.ci/run installs PyTorch's CPU build first).
venv_python="$scratch/venv/bin/python"
"$venv_python" -m pip install --quiet --disable-pip-version-check "$wheel"
"$venv_python" - > "$scratch/test-requirements.txt" <<'PYTHON'
import re
from importlib.metadata import requires

for requirement in requires("vantrel") or []:
    name, _, marker = requirement.partition(";")
    if re.search(r"""extra\s*==\s*["']test["']""", marker) and re.match(r"torch\b", name.strip()) is None:
        print(name.strip())
PYTHON
"$venv_python" -m pip install --quiet --disable-pip-version-check -r "$scratch/test-requirements.txt"

# The system's programs without a compiler: a folder of links to /usr/bin
# and /bin, compilers and their drivers left out.
mkdir "$scratch/bin"
for program in /usr/bin/* /bin/*; do
  name=$(basename "$program")
  case "$name" in
    c++ | g++* | gcc* | cc | cpp* | clang* | *-g++* | *-gcc* | *-c++* | *-cc | ld | ld.* | as | *-as | x86_64-linux-gnu-* | aarch64-linux-gnu-*) ;;
    *) [ -e "$scratch/bin/$name" ] || ln -s "$program" "$scratch/bin/$name" ;;
  esac
done
cp -r tests examples docs pyproject.toml README.md "$scratch/"
rm -rf "$scratch/tests/cpp" "$scratch/tests/fuzz"
# Beside the tree's own ../shared, when there is one, for the tests that use it.
[ -d ../shared ] && ln -s "$(realpath ../shared)" "$(dirname "$scratch")/shared" 2>/dev/null || true

cd "$scratch"
env -i HOME="$HOME" LANG=C.UTF-8 PATH="$scratch/venv/bin:$scratch/bin" TESTS="${TESTS:-}" bash -c '
  for compiler in c++ g++ gcc cc clang; do
    if command -v "$compiler" >/dev/null; then echo "a compiler is on PATH: $(command -v "$compiler")" >&2; exit 1; fi
  done
  echo "no compiler on PATH; vantrel from $(python -c "import vantrel; print(vantrel.__file__)")"
  exec python -m pytest ${TESTS:-tests} "$@"' bash "$@"
