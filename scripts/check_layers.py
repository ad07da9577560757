"""Checks that src/ is layered: a file includes headers of its own folder
and of the folders below it, never above; inside a folder, no unit (a
header and its source) depends on itself through others; and no unit that
the sampler's graph (graph/kg) is made of includes it."""

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
# The plain graph is built below the sampler's graph (graph/kg, the graph
# with its source, restriction, bias and pattern): no builder, step or unit
# they stand on includes it, even through others.
BELOW_KG = ["graph/layout", "graph/walker", "graph/labels", "graph/label_hint", "graph/triple", "graph/graph",
            "graph/edge_buckets", "graph/builder", "graph/id_graph", "graph/canonical", "graph/restriction",
            "graph/biased_step", "graph/metapath_step"]


def reaches(unit, goal, seen):
    for included in units.get(unit, ()):
        if included == goal or (included not in seen and (seen.add(included) or reaches(included, goal, seen))):
            return True
    return False


for unit in BELOW_KG:
    if not (src / f"{unit}.hpp").exists():
        wrong.append(f"{unit}: listed below graph/kg, but there is no {unit}.hpp")
    elif reaches(unit, "graph/kg", set()):
        wrong.append(f"{unit} stands below graph/kg but includes it")
print("\n".join(wrong) or "src/ is layered, folders and the units in them", file=sys.stderr if wrong else sys.stdout)
sys.exit(1 if wrong else 0)
