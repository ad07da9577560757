#!/usr/bin/env bash
# Prints the path of a CPython X.Y interpreter that runs: pythonX.Y on PATH,
# or the newest X.Y.* under pyenv (whose shims name versions that are not
# active and then fail).
#
#   bash scripts/find-python.sh 3.9
set -euo pipefail
version=$1
candidates=("$(command -v "python$version" 2>/dev/null || true)")
if command -v pyenv >/dev/null; then
  while IFS= read -r found; do candidates+=("$found"); done < <(
    ls -d "$(pyenv root)"/versions/"$version".*/bin/"python$version" 2>/dev/null | sort -V -r)
fi
for candidate in "${candidates[@]}"; do
  if [ -n "$candidate" ] && "$candidate" -c 'import sys' 2>/dev/null; then
    echo "$candidate"
    exit 0
  fi
done
echo "no CPython $version here (PATH or pyenv)" >&2
exit 1
