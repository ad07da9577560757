"""The Python examples of the README and docs/: found here for tests/test_docs.py,
which runs them, and written out as modules for scripts/check-types.sh, which
has mypy check them against the stub.

    python3 tests/doc_examples.py OUT_DIR
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^( *)```python\n(.*?)^\1```", re.M | re.S)
OUTPUT = "# Output:"

# Names an example takes from the text around it rather than defining them.
FROM_THE_TEXT = ("tf",)


def examples():
    """(name, code) of every example, name being "FILE:LINE" of its fence."""
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        text = path.read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            indent = len(match.group(1))
            code = "".join(line[indent:] for line in match.group(2).splitlines(keepends=True))
            yield f"{path.name}:{text.count(chr(10), 0, match.start()) + 1}", code


def split_output(code):
    """The code, and the output its trailing "# Output:" comment shows (None without one)."""
    if OUTPUT not in code:
        return code, None
    code, shown = code.split(OUTPUT + "\n", 1)
    return code, "".join(line[2:] if line.startswith("# ") else line[1:] for line in shown.splitlines(True))


def write_modules(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("*.py"):
        old.unlink()
    for name, code in examples():
        declared = "".join(f"{given}: Any\n" for given in FROM_THE_TEXT if re.search(rf"\b{given}\b", code))
        module = folder / (re.sub(r"\W", "_", name) + ".py")
        module.write_text(f"from typing import Any\n\nimport vantrel\n\n{declared}\n{code}", encoding="utf-8")


if __name__ == "__main__":
    write_modules(pathlib.Path(sys.argv[1]))
