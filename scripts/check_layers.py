"""Checks that src/ is layered: a file includes headers of its own folder
and of the folders below it, never above; and inside a folder, no unit
(a header and its source) depends on itself through others."""

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

# Inside a folder, units (a header and its source, by name) depend on one
# another without a cycle: each unit's includes of its own folder, followed
# through, never lead back to it.
units = {}
for path in sorted(src.rglob("*.[ch]pp")):
    unit = f"{path.relative_to(src).parts[0]}/{path.stem}"
    for line in path.read_text().splitlines():
        match = re.match(r'#include "(([^"/]+)/[^"/]+)\.hpp"', line)
        if match and match.group(2) == unit.split("/")[0] and match.group(1) != unit:
            units.setdefault(unit, set()).add(match.group(1))


def cycle_from(unit, trail):
    for included in sorted(units.get(unit, ())):
        if included in trail:
            return trail[trail.index(included):] + [included]
        found = cycle_from(included, trail + [included])
        if found:
            return found
    return None


cycles = set()
for unit in sorted(units):
    cycle = cycle_from(unit, [unit])
    if cycle and tuple(sorted(cycle[:-1])) not in cycles:
        cycles.add(tuple(sorted(cycle[:-1])))
        wrong.append("a cycle of units: " + " -> ".join(cycle))
print("\n".join(wrong) or "src/ is layered, folders and the units in them", file=sys.stderr if wrong else sys.stdout)
sys.exit(1 if wrong else 0)
