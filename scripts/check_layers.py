"""Checks that the folders of src/ depend downward only: a file includes
headers of its own folder and of the folders below it, never above."""

import pathlib
import re
import sys

# Each folder, with the folders it may include from.
BELOW = {
    "core": {"core"},
    "random": {"core", "random"},
    "graph": {"core", "random", "graph"},
    "read": {"core", "random", "graph", "read"},
    "walk": {"core", "random", "graph", "walk"},
    "snapshot": {"core", "random", "graph", "snapshot"},
    "python": {"core", "random", "graph", "read", "walk", "snapshot", "python"},
}

src = pathlib.Path(__file__).resolve().parent.parent / "src"
wrong = []
for path in sorted(src.rglob("*.[ch]pp")):
    folder = path.relative_to(src).parts[0]
    for number, line in enumerate(path.read_text().splitlines(), 1):
        match = re.match(r'#include "([^"/]+)/', line)
        if match and match.group(1) not in BELOW.get(folder, set()):
            wrong.append(f"{path.relative_to(src.parent)}:{number}: {folder}/ includes {match.group(1)}/")
        elif re.match(r'#include "[^"/]+"', line):
            wrong.append(f"{path.relative_to(src.parent)}:{number}: an include not spelled through its folder")
print("\n".join(wrong) or "src/ is layered", file=sys.stderr if wrong else sys.stdout)
sys.exit(1 if wrong else 0)
