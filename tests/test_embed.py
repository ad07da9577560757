"""vantrel-embed: walks, then gensim's word2vec, then one vector per node;
and the words format's escaping, reversed by urllib.parse.unquote."""

import os
import re
import subprocess
import sys
import urllib.parse

import pytest
from vantrel import PathSampler

RIVERS = "A\tr\tB\nB\ts\tC\nC\tr\tA\nC\tt\tD\nlone node\tr\tlone node\n"


def embed_cli(*args, cwd):
    return subprocess.run([sys.executable, "-m", "vantrel_cli.embed", *map(str, args)], capture_output=True,
                          text=True, timeout=600, cwd=cwd)


def test_words_escaping_is_reversed_by_unquote_and_made_by_one_quote_call(tmp_path):
    labels = ["North Sea", "50%", "tab\there", "line\nfeed", "line\u2028sep", "ideographic\u3000space", "%20",
              "é ü", "a\x1cb", "%"]
    np = pytest.importorskip("numpy")
    rows = np.array([[k, 0, k] for k in range(len(labels))], dtype=np.uint64)  # labels no triple file could hold
    sampler = PathSampler.from_ids(rows, labels, ["r"], 1.0, 1, 0)
    sampler.write_walks(tmp_path / "w.txt", 0, len(labels), start="each", items="nodes", format="words", length=0)
    words = [line.split(" ")[0] for line in (tmp_path / "w.txt").read_text(encoding="utf-8").split("\n")[:-1]]
    assert [urllib.parse.unquote(word) for word in words] == labels
    assert [re.sub(r"[\s%]", lambda m: urllib.parse.quote(m.group()), label) for label in labels] == words


def test_vectors_by_node_id_with_zeros_for_nodes_in_no_walk(tmp_path):
    np = pytest.importorskip("numpy")
    pytest.importorskip("gensim")
    (tmp_path / "kg.tsv").write_text(RIVERS)
    (tmp_path / "starts.txt").write_text("A\nB\n")
    common = ["kg.tsv", "--each", 20, "--dim", 8, "--epochs", 2, "--workers", 1, "--seed", 3, "--direction", "forward"]
    result = embed_cli(*common, "--start-file", "starts.txt", "--out", "v.npy", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    vectors = np.load(tmp_path / "v.npy")
    labels = (tmp_path / "labels.tsv").read_text().splitlines()
    assert labels == ["A", "B", "C", "D", "lone node"] and vectors.shape == (5, 8) and vectors.dtype == np.float32
    assert not vectors[4].any() and vectors[0].any()  # "lone node" is in no walk from A or B
    assert "5 nodes (1 in no walk: zeros)" in result.stderr.splitlines()[-1]
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".vantrel")]
    again = embed_cli(*common, "--start-file", "starts.txt", "--out", "w.npy", cwd=tmp_path)
    assert again.returncode == 0 and (tmp_path / "w.npy").read_bytes() == (tmp_path / "v.npy").read_bytes()
    result = embed_cli(*common, "--out", "v.kv", cwd=tmp_path)
    from gensim.models import KeyedVectors

    keyed = KeyedVectors.load(str(tmp_path / "v.kv"))
    assert result.returncode == 0 and keyed.index_to_key == labels
    result = embed_cli(*common, "--out", "v.txt", cwd=tmp_path)
    text = (tmp_path / "v.txt").read_text()
    assert text.splitlines()[0] == "5 8" and "\nlone%20node " in text
    # gensim compresses by the name's suffix: the file written under a temporary name is compressed too.
    assert embed_cli(*common, "--out", "v.txt.gz", cwd=tmp_path).returncode == 0
    import gzip

    assert gzip.decompress((tmp_path / "v.txt.gz").read_bytes()).decode() == text
    # .bin: word2vec's binary format, as gensim names it.
    assert embed_cli(*common, "--out", "v.bin", cwd=tmp_path).returncode == 0
    binary = KeyedVectors.load_word2vec_format(str(tmp_path / "v.bin"), binary=True)
    assert binary.index_to_key == [label.replace(" ", "%20") for label in labels]
    assert np.array_equal(binary.vectors, KeyedVectors.load_word2vec_format(str(tmp_path / "v.txt")).vectors)


def test_without_gensim_and_with_bad_arguments_one_line_each(tmp_path):
    (tmp_path / "kg.tsv").write_text(RIVERS)
    code = ("import sys; sys.modules['gensim'] = None; sys.modules['gensim.models'] = None\n"
            "from vantrel_cli.embed import main; sys.exit(main(['kg.tsv', '--out', 'v.npy']))")
    missing = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path)
    assert (missing.returncode, missing.stderr) == (
        2, "vantrel-embed: error: vantrel-embed trains with gensim, which is not installed: pip install gensim "
           "(from a clone of vantrel: pip install '.[embed]')\n")
    pytest.importorskip("gensim")
    for args, message in [(["--out", "no/dir/v.npy"], "--out no/dir/v.npy: no directory "),
                          (["--out", "v.npy", "--dim", "0"], "--dim must be at least 1, not 0"),
                          (["--out", "v.npy", "--count", "3"], "unrecognized arguments: --count 3")]:
        result = embed_cli("kg.tsv", *args, cwd=tmp_path)
        assert result.returncode == 2 and result.stderr.startswith(f"vantrel-embed: error: {message}"), result.stderr


def test_a_terminal_sees_training_epoch_by_epoch(tmp_path):
    pytest.importorskip("gensim")
    import fcntl
    import pty
    import struct
    import termios

    (tmp_path / "kg.tsv").write_text(RIVERS)
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # tqdm draws nothing 0 wide
    with os.fdopen(controller, "rb", buffering=0) as screen:
        result = subprocess.run([sys.executable, "-m", "vantrel_cli.embed", "kg.tsv", "--each", "5", "--dim", "4",
                                 "--epochs", "3", "--workers", "1", "--out", "v.npy"], stderr=terminal,
                                cwd=tmp_path, timeout=600)
        os.close(terminal)
        shown = b""
        while chunk := _read_or_empty(screen):
            shown += chunk
    assert result.returncode == 0
    assert b"3/3" in shown and b"epoch" in shown  # training, an epoch at a time


def _read_or_empty(screen):
    try:
        return screen.read(65536)
    except OSError:  # the terminal's other end closed
        return b""
