"""Every Python example in the README and docs/ runs as written, in a folder
holding the files it names, and prints what its "# Output:" lines show."""

import contextlib
import doctest
import gzip
import io
import os
import re
import types

import doc_examples
import pytest
from conftest import ROOT, SHARED_DATA

RIVERS = ROOT / "examples" / "data" / "rivers.tsv"
DBR, DBO = "http://dbpedia.org/resource/", "http://dbpedia.org/ontology/"
WD = "http://www.wikidata.org/"


def examples():
    for name, code in doc_examples.examples():
        yield pytest.param(code, id=name)


def rivers_rows():
    """The bundled graph's rows, with '_' for ' ' as IRIs want."""
    for row in RIVERS.read_text(encoding="utf-8").splitlines():
        yield [field.replace(" ", "_") for field in row.split("\t")]


def rivers_as_rdf():
    """The bundled graph as DBpedia would publish it: IRIs, a label literal per river, and genres."""
    lines = []
    for head, relation, tail in rivers_rows():
        lines.append(f"<{DBR}{head}> <{DBO}{relation}> <{DBR}{tail}> .")
        lines.append(f'<{DBR}{head}> <http://www.w3.org/2000/01/rdf-schema#label> "{head}"@en .')
        lines.append(f"<{DBR}{head}> <{DBO}genre> <{DBR}Genre_{len(head) % 3}> .")
    return "\n".join(lines) + "\n"


def wikidata_like():
    lines = []
    for head, relation, tail in rivers_rows():
        lines.append(f"<{WD}entity/{head}> <{WD}prop/direct/{relation}> <{WD}entity/{tail}> .")
        lines.append(f"<{WD}entity/{head}> <{WD}prop/direct/P31> <{WD}entity/Q{len(head) % 4}> .")
    return "\n".join(lines) + "\n"


def acm():
    rows = []
    for paper in range(12):
        rows.append(f"author{paper % 5}\twrote\tpaper{paper}")
        rows.append(f"author{(paper * 3 + 1) % 5}\twrote\tpaper{paper}")
        rows.append(f"paper{paper}\tin\tvenue{paper % 3}")
    return "\n".join(rows) + "\n"


class PyKeenTriplesFactory(types.SimpleNamespace):
    """What the PyKEEN recipe uses of a TriplesFactory: a (n, 3) tensor of ids and two label-to-id maps."""


def pykeen_factory():
    torch = pytest.importorskip("torch")
    return PyKeenTriplesFactory(
        mapped_triples=torch.tensor([[0, 0, 1], [1, 1, 2]]),
        entity_to_id={"b": 1, "a": 0, "c": 2, "unused": 3},
        relation_to_id={"s": 1, "r": 0},
    )


# What stands for each name an example takes from the text around it.
STAND_INS = {"tf": pykeen_factory}
assert set(STAND_INS) == set(doc_examples.FROM_THE_TEXT)


@pytest.fixture
def folder(tmp_path, monkeypatch):
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    (tmp_path / "kg.tsv").write_text("a\tr\tb\nb\ts\tc\n", encoding="utf-8")
    (tmp_path / "acm.tsv").write_text(acm(), encoding="utf-8")
    (tmp_path / "dump.nt.gz").write_bytes(gzip.compress(rivers_as_rdf().encode()))
    (tmp_path / "wikidata.nt.gz").write_bytes(gzip.compress(wikidata_like().encode()))
    (tmp_path / "entities.txt").write_text(f"{DBR}Rhine\n{DBR}Danube\n", encoding="utf-8")
    if (SHARED_DATA / "fb15k237-valid.tsv").is_file():
        (tmp_path / "fb15k237-valid.tsv").symlink_to(SHARED_DATA / "fb15k237-valid.tsv")
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.mark.parametrize("example", list(examples()))
def test_example_runs_and_prints_what_it_shows(example, folder):
    code, shown = doc_examples.split_output(example)
    for module in re.findall(r"^import (.+)$", code, re.M):
        for name in module.split(","):
            pytest.importorskip(name.strip().split(" ")[0])
    if "fb15k237-valid.tsv" in code and not (folder / "fb15k237-valid.tsv").exists():
        pytest.skip(f"{SHARED_DATA / 'fb15k237-valid.tsv'} is not present")
    namespace = {"__name__": "__example__", "vantrel": __import__("vantrel")}
    namespace.update((name, make()) for name, make in STAND_INS.items() if re.search(rf"\b{name}\b", code))
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, "<example>", "exec"), namespace)
    if shown is not None:
        checker = doctest.OutputChecker()
        flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
        assert checker.check_output(shown, printed.getvalue(), flags), (
            f"shown:\n{shown}\nprinted:\n{printed.getvalue()}"
        )


def test_every_example_is_found():
    # A fence written another way ("``` python", "```py") would be skipped silently.
    texts = [path.read_text(encoding="utf-8") for path in [ROOT / "README.md", *(ROOT / "docs").glob("*.md")]]
    fences = sum(len(re.findall(r"^ *```\s*py", text, re.M)) for text in texts)
    assert fences == len(list(examples())) > 10
    assert os.path.isfile(RIVERS)


def test_the_readme_stays_one_page():
    # What does not fit lives in docs/, linked from it.
    assert len((ROOT / "README.md").read_bytes()) < 12 * 1024
