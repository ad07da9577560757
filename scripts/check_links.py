"""Checks the links between the README and docs/: every file linked to
exists, and every #anchor is a heading of the page it names (as GitHub
makes anchors of headings)."""

import os
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def anchors(text: str) -> set[str]:
    found, seen = set(), {}
    for heading in re.findall(r"^#+ (.*)$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        seen[slug] = seen.get(slug, -1) + 1
        found.add(slug if seen[slug] == 0 else f"{slug}-{seen[slug]}")
    return found


pages = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
texts = {page: page.read_text() for page in pages}
wrong = []
for page, text in texts.items():
    for link in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", link):
            continue
        path, _, anchor = link.partition("#")
        target = pathlib.Path(os.path.normpath(page.parent / path)) if path else page
        if not target.exists():
            wrong.append(f"{page.relative_to(ROOT)}: {link}: no such file")
        elif anchor and target in texts and anchor not in anchors(texts[target]):
            wrong.append(f"{page.relative_to(ROOT)}: {link}: no such heading")
print("\n".join(wrong) or "the documentation's links hold", file=sys.stderr if wrong else sys.stdout)
sys.exit(1 if wrong else 0)
