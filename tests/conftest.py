import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
SHARED_DATA = ROOT.parent / "shared" / "data"
sys.path.insert(0, str(ROOT / "bench"))

ABC = "A\tr\tB\nB\ts\tC\nC\tr\tB\n"


@pytest.fixture
def write_kg(tmp_path):
    """Writes a triple file (str as UTF-8, or raw bytes) and returns its path as str."""
    counter = iter(range(10**6))

    def write(content, name=None):
        path = tmp_path / (name or f"kg{next(counter)}.tsv")
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
        return str(path)

    return write


@pytest.fixture
def abc_path(write_kg):
    return write_kg(ABC)


def shared_data(name):
    path = SHARED_DATA / name
    if not path.is_file():
        pytest.skip(f"{path} is not present")
    return str(path)
