"""The vantrel-walks command (python -m vantrel_cli): the walks of the API,
its options, one-line errors with status 2, and Ctrl-C."""

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
from importlib import metadata

import pytest
from conftest import ROOT, answering_ctrl_c
from vantrel import PathSampler

BUNDLED = ROOT / "examples" / "data" / "rivers.tsv"
RIVERS = "A\tr\tB\nB\ts\tC\nC\tr\tA\nC\tt\tD\n"


def walks_cli(*args, cwd=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "vantrel_cli", *map(str, args)], capture_output=True, text=True,
                          timeout=600, cwd=cwd, **kwargs)


def test_the_command_is_installed_and_its_version_is_the_projects():
    command = shutil.which("vantrel-walks", path=str(pathlib.Path(sys.executable).parent))
    if command is None:
        pytest.skip("vantrel-walks is not installed (the module runs from a build tree)")
    result = subprocess.run([command, "--version"], capture_output=True, text=True, timeout=60)
    declared = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M).group(1)
    assert result.stdout.strip() == f"vantrel-walks {declared}" == f"vantrel-walks {metadata.version('vantrel')}"
    assert subprocess.run([command, "--count", "3"], capture_output=True, text=True).stdout.count("\n") == 3


def test_walks_of_the_bundled_graph_are_the_apis(tmp_path):
    expected = tmp_path / "expected.tsv"
    PathSampler(str(BUNDLED), 4.0, 10, 0).write_walks(expected, 0, 10)
    assert walks_cli(cwd=tmp_path).stdout == expected.read_text(encoding="utf-8")


@pytest.mark.parametrize("options, call", [
    (["--start-file", "starts.txt", "--each", 3, "--items", "full"],
     lambda s: s.walks(0, 6, start=s.node_ids(["C", "A"]), items="full")),
    (["--exclude", "s", "--exclude", "t", "--direction", "forward", "--count", 40],
     lambda s: s.restrict(exclude_relations=["s", "t"], direction="forward").walks(0, 40)),
    (["--start-file", "starts.txt", "--count", 5, "--items", "nodes", "--direction", "backward"],
     lambda s: s.restrict(direction="backward").walks(0, 5, start=s.node_ids(["C", "A"]), items="nodes")),
    (["--each", 4, "--position", "mid", "--unique", "--items", "edges"],
     lambda s: [list(map(str, w)) for w in s.walks(0, 4 * s.node_count, start="each", position="mid", unique=True,
                                                    items="edges")]),
    (["--count", 30, "--metapath", "r::-->", "s::<--", "--exclude", "t"],
     lambda s: s.restrict(exclude_relations=["t"]).metapath(["r::-->", "s::<--"]).walks(0, 30)),
    (["--count", 20, "--length", 5, "--items", "nodes"], lambda s: s.walks(0, 20, items="nodes", length=5)),
    (["--count", 30, "--p", 0.5, "--q", 2, "--relation-weights", "relations.tsv", "--node-weights", "nodes.txt"],
     lambda s: s.biased(p=0.5, q=2.0, relation_weights={"r": 3.0},
                        node_weights=[float(k % 3) for k in range(s.node_count)]).walks(0, 30)),
    (["--each", 2, "--relabel-by", "r", "--items", "full"],
     lambda s: s.walks(0, 2 * s.node_count, start="each", items="full",
                       relabel=[{"A": 1, "C": 0}.get(label, v) for v, label in enumerate(s.tokens[:s.node_count])])),
])
@pytest.mark.parametrize("jsonl", [False, True])
def test_options_give_the_apis_walks(write_kg, tmp_path, options, call, jsonl):
    path = write_kg(RIVERS)
    (tmp_path / "starts.txt").write_text("C\nA\n\n")
    (tmp_path / "relations.tsv").write_text("r\t3\n")
    (tmp_path / "nodes.txt").write_text("0\n1\n2\n0\n")
    out = tmp_path / "walks.out"
    mean = [] if "--length" in options else ["--mean", 3]  # --length draws no length: it goes with no --mean
    result = walks_cli(path, "--seed", 7, *mean, *options, *(["--jsonl"] if jsonl else []), "-o", out, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = out.read_text(encoding="utf-8").splitlines()
    # JSON lines hold edge ids as numbers, the tab-separated lines as text.
    got = [list(map(str, json.loads(line))) for line in lines] if jsonl else [line.split("\t") for line in lines]
    assert got == call(PathSampler(path, 3.0, 10, 7))


@pytest.mark.parametrize("args, message", [
    (["absent.tsv"], "vantrel-walks: error: No such file or directory: absent.tsv"),
    (["bad.nt"], "vantrel-walks: error: line 1: "),
    (["kg.tsv", "--items", "edge"], "vantrel-walks: error: argument --items: invalid choice: 'edge'"),
    (["kg.tsv", "--metapath", "r"], "vantrel-walks: error: --metapath: 'r' is no relation token"),
    (["kg.tsv", "--relabel-by", "u"], "vantrel-walks: error: --relabel-by: no relation is named 'u'"),
    (["kg.tsv", "--metapath", "r::-->", "--position", "mid"], "vantrel-walks: error: --position mid goes with no"),
    (["kg.tsv", "--count", "many"], "vantrel-walks: error: argument --count: invalid non-negative int value: 'many'"),
    (["kg.tsv", "--each", "-1"], "vantrel-walks: error: argument --each: invalid non-negative int value: '-1'"),
    (["kg.tsv", "--mean", "0"], "vantrel-walks: error: argument --mean: invalid positive number value: '0'"),
    (["kg.tsv", "--mean", "1e306"], "vantrel-walks: error: mean_path_len is too large: "),
    (["kg.tsv", "--exclude", "u"], "vantrel-walks: error: --exclude: no relation is named 'u'"),
    (["kg.tsv", "--start-file", "starts.txt"],
     "vantrel-walks: error: --start-file starts.txt: no node is labelled 'Z'"),
    (["kg.tsv", "--start-file", "absent.txt"], "vantrel-walks: error: --start-file absent.txt: No such file or "
                                                "directory"),
    (["kg.tsv", "--relation-weights", "/nonexist"], "vantrel-walks: error: --relation-weights /nonexist: No such"),
    (["kg.tsv", "--node-weights", "/nonexist.npy"], "vantrel-walks: error: --node-weights /nonexist.npy: No such"),
    (["kg.tsv", "--length", "5", "--mean", "3", "--max", "9"],
     "vantrel-walks: error: --length 5 makes every walk 5 steps: it goes with no --mean and --max"),
    (["kg.tsv", "--exclude", "r::-->"],
     "vantrel-walks: error: --exclude: no relation is named 'r::-->' (a relation's label is wanted, not a token: "
     "'r')"),
    (["kg.nt", "--relabel-by", "rdf:type"], "vantrel-walks: error: --relabel-by: no relation is named 'rdf:type' "
                                            "(the graph's relations are full IRIs, as "
                                            "'http://www.w3.org/1999/02/22-rdf-syntax-ns#type')"),
    (["kg.tsv", "--drop-literals"], "vantrel-walks: error: literals='drop' applies to the RDF formats"),
    (["kg.tsv", "--base", "http://x/"], "vantrel-walks: error: base applies to the RDF formats, not to format='tsv'"),
    (["empty.tsv"], "vantrel-walks: error: empty.tsv holds no triple: there is no node to walk from"),
    (["kg.tsv", "--threads", "100000"], "vantrel-walks: error: argument --threads: invalid thread count value: "),
    (["kg.tsv", "--each", str(2**64 - 1)], "vantrel-walks: error: --each 18446744073709551615: that many walks"),
    (["kg.tsv", "--jsonl", "--format", "tsv"], "vantrel-walks: error: --jsonl writes JSON lines: it goes with no"),
    (["kg.tsv", "--each", "2", "--count", "5"], "vantrel-walks: error: --each K writes K walks for each start node: "),
    (["-"], "vantrel-walks: error: - reads standard input, whose format no name tells: give --input-format"),
    (["kg.tsv", "--relation-weights", "starts.txt"], "vantrel-walks: error: --relation-weights starts.txt: line 1 "),
    (["kg.tsv", "--p", "2", "--metapath", "r::-->"], "vantrel-walks: error: --metapath goes with no weights, --p"),
    (["kg.tsv", "--node-weights", "starts.txt"], "vantrel-walks: error: --node-weights starts.txt: could not "),
    (["absent.tsv", "-o", "no/such/dir/walks.tsv"], "vantrel-walks: error: -o no/such/dir/walks.tsv: no directory "),
    (["kg.tsv", "--window", "2"], "vantrel-walks: error: --time-window is a rule of --temporal walks: give --temporal"),
    (["kg.tsv", "--temporal", "forward"], "vantrel-walks: error: --temporal walks by the triples' times: give --time"),
    (["kg.tsv", "--time-column", "3", "--temporal", "forward", "--q", "2"],
     "vantrel-walks: error: --temporal goes with no weights, --p or --q: a temporal step draws by time alone"),
    (["kg.tsv", "--time-column", "3"], "vantrel-walks: error: line 1: the line has 3 fields, and its time is in "),
    (["kg.tsv", "--time-column", "2"], "vantrel-walks: error: argument --time-column: invalid time_column_of value"),
])
def test_errors_are_one_line_and_status_2(tmp_path, args, message):
    (tmp_path / "kg.tsv").write_text(RIVERS)
    (tmp_path / "bad.nt").write_text("<a:s> <a:p> .\n")
    (tmp_path / "kg.nt").write_text("<http://e/a> <http://e/p> <http://e/b> .\n"
                                    "<http://e/a> <http://www.w3.org/1999/02/22-rdf-syntax-ns#type> <http://e/C> .\n")
    (tmp_path / "starts.txt").write_text("A\nZ\n")
    (tmp_path / "empty.tsv").write_text("")
    result = walks_cli(*args, cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.count("\n") == 1 and result.stderr.startswith(message), result.stderr


def test_temporal_options_give_the_apis_walks(write_kg, tmp_path):
    path = write_kg("A \tr\tB\t3\nB\ts\tC\t2018-01-01\nC\tr\tA\t5\nC\tt\tD\t-1\n")
    result = walks_cli(path, "--time-column", 3, "--temporal", "backward", "--time-window", 10**9, "--decay", 1e8,
                       "--count", 50, "--items", "times", "--seed", 3, "-o", tmp_path / "times.tsv")
    assert result.returncode == 0, result.stderr
    sampler = PathSampler.read(path, 4.0, 10, 3, time_column=3)
    walks = sampler.temporal(direction="backward", window=10**9, decay=1e8).walks(0, 50, items="times")
    assert (tmp_path / "times.tsv").read_text().splitlines() == ["\t".join(map(str, walk)) for walk in walks]


@pytest.mark.parametrize("position", ["start", "mid"])
def test_walks_past_memory_are_refused_before_any_is_drawn(tmp_path, position):
    result = walks_cli(BUNDLED, "--count", 1, "--position", position, "--length", 2**64 - 1, "-o", "w.tsv",
                       cwd=tmp_path)
    assert result.returncode == 2 and os.listdir(tmp_path) == []
    assert result.stderr.splitlines()[1:] == ["vantrel-walks: error: out of memory: the work asked for needs more "
                                              "than this machine has"]


@pytest.mark.parametrize("form", ["tsv", "jsonl"])
@pytest.mark.parametrize("sent, status, said", [(signal.SIGINT, 130, "interrupted"),
                                                (signal.SIGTERM, 143, "terminated by SIGTERM"),
                                                (signal.SIGHUP, 129, "terminated by SIGHUP")])
def test_a_signal_exits_with_its_status_and_leaves_no_file(tmp_path, form, sent, status, said):
    command = [sys.executable, "-m", "vantrel_cli", str(BUNDLED), "--count", "10000000000", "--no-progress",
               "-o", "walks.out", *(["--jsonl"] if form == "jsonl" else [])]
    child = subprocess.Popen(answering_ctrl_c(command), cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    assert "writing" in child.stderr.readline()
    child.send_signal(sent)
    assert child.wait(timeout=60) == status
    assert child.stderr.read() == f"vantrel-walks: {said}\n"
    assert os.listdir(tmp_path) == []


def test_a_signal_as_the_temporary_file_is_made_leaves_none(tmp_path, monkeypatch):
    # The signal lands the moment the file exists, before the name is returned: the worst time.
    from vantrel_cli import output

    made = output.tempfile.mkstemp

    def made_then_signalled(*args, **kwargs):
        result = made(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGTERM)
        return result

    class Stopped(Exception):
        pass

    def stop(number, frame):
        raise Stopped

    monkeypatch.setattr(output.tempfile, "mkstemp", made_then_signalled)
    previous = signal.signal(signal.SIGTERM, stop)
    try:
        with pytest.raises(Stopped), output.written_whole(str(tmp_path / "walks.out")):
            pytest.fail("the block ran though the opening was stopped")
    finally:
        signal.signal(signal.SIGTERM, previous)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("form", ["tsv", "jsonl"])
def test_every_kind_of_output_is_written_as_a_redirection_would(tmp_path, form):
    expected = subprocess.run([sys.executable, "-m", "vantrel_cli", str(BUNDLED), "--count", "7",
                               *(["--jsonl"] if form == "jsonl" else [])], capture_output=True, text=True).stdout
    private = tmp_path / "private.out"
    private.write_text("old")
    private.chmod(0o600)
    (tmp_path / "link").symlink_to(private)
    (tmp_path / "null").symlink_to(os.devnull)
    os.mkfifo(tmp_path / "fifo")
    reader = subprocess.Popen(["cat", tmp_path / "fifo"], stdout=subprocess.PIPE, text=True)
    longest = "n" * 255
    for name in ("link", "null", "fifo", longest):
        result = walks_cli(BUNDLED, "--count", 7, *(["--jsonl"] if form == "jsonl" else []), "-o", name, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
    assert reader.communicate(timeout=60)[0] == expected
    assert (tmp_path / "link").is_symlink() and private.read_text() == expected
    assert private.stat().st_mode & 0o777 == 0o600
    assert (tmp_path / "null").is_symlink() and os.path.exists(os.devnull) and not os.path.isfile(os.devnull)
    assert (tmp_path / longest).read_text() == expected
    assert sorted(os.listdir(tmp_path)) == sorted(["private.out", "link", "null", "fifo", longest])


@pytest.mark.parametrize("form", ["tsv", "jsonl"])
def test_a_failing_standard_output_is_an_error(form):
    with open("/dev/full", "w") as full:
        result = subprocess.run([sys.executable, "-m", "vantrel_cli", str(BUNDLED), "--count", "100000",
                                 *(["--jsonl"] if form == "jsonl" else [])], stdout=full, stderr=subprocess.PIPE,
                                text=True)
    assert result.returncode == 2
    assert result.stderr.splitlines()[-1] == "vantrel-walks: error: No space left on device: standard output"


def test_closed_standard_streams(tmp_path):
    command = f"{sys.executable} -m vantrel_cli {BUNDLED} --count 5"
    closed_out = subprocess.run(["sh", "-c", command + " >&-"], capture_output=True, text=True)
    assert closed_out.returncode == 2
    assert closed_out.stderr == "vantrel-walks: error: standard output is closed: name an output file with -o\n"
    closed_error = subprocess.run(["sh", "-c", command + " 2>&-"], capture_output=True, text=True)
    assert closed_error.returncode == 0
    assert closed_error.stdout == walks_cli(BUNDLED, "--count", 5).stdout  # the walks and nothing else


def test_an_output_that_is_the_input_is_refused(tmp_path):
    (tmp_path / "kg.tsv").write_text(RIVERS)
    (tmp_path / "alias.tsv").symlink_to(tmp_path / "kg.tsv")
    result = walks_cli("kg.tsv", "--count", 3, "-o", "alias.tsv", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (
        2, "vantrel-walks: error: -o alias.tsv is the input file: it would be replaced by its walks\n")
    assert (tmp_path / "kg.tsv").read_text() == RIVERS


def embed_cli(*args, cwd=None, **kwargs):
    return subprocess.run([sys.executable, "-m", "vantrel_cli.embed", *map(str, args)], capture_output=True,
                          text=True, timeout=600, cwd=cwd, **kwargs)


@pytest.mark.parametrize("command, args, message", [
    ("embed", ["kg.tsv", "--out", "alias.txt"], "--out alias.txt is the input file: it would be replaced by its "
                                                "vectors"),
    ("embed", ["labels.tsv", "--out", "v.npy"], "--out v.npy writes labels.tsv beside it, which is the input file: it "
                                                "would be replaced by the node labels"),
    ("embed", ["graphs", "--out", "graphs/b.txt"], "--out graphs/b.txt is 'b.txt' of the input directory graphs: it "
                                                   "would be replaced by its vectors"),
    ("embed", ["kg.tsv", "--start-file", "starts.txt", "--out", "starts.txt"],
     "--out starts.txt is the --start-file: it would be replaced by its vectors"),
    ("embed", ["kg.tsv", "--out", "graphs/v.npy"], "--out graphs/v.npy writes labels.tsv beside it, which is a "
                                                   "directory"),
    ("walks", ["graphs", "-o", "alias.txt"], "-o alias.txt is 'a.tsv' of the input directory graphs: it would be "
                                             "replaced by its walks"),
    ("walks", ["kg.tsv", "--node-weights", "starts.txt", "-o", "starts.txt"],
     "-o starts.txt is the --node-weights file: it would be replaced by its walks"),
])
def test_no_output_replaces_a_file_the_command_reads(tmp_path, command, args, message):
    (tmp_path / "graphs" / "labels.tsv").mkdir(parents=True)
    for name in ("kg.tsv", "labels.tsv", "graphs/a.tsv", "graphs/b.txt"):
        (tmp_path / name).write_text(RIVERS)
    (tmp_path / "alias.txt").symlink_to("graphs/a.tsv" if command == "walks" else "kg.tsv")
    (tmp_path / "starts.txt").write_text("A\n")
    result = (walks_cli if command == "walks" else embed_cli)(*args, cwd=tmp_path)
    assert (result.returncode, result.stderr) == (2, f"vantrel-{command}: error: {message}\n")
    assert [(tmp_path / name).read_text() for name in ("kg.tsv", "labels.tsv", "graphs/a.tsv", "graphs/b.txt")] == [
        RIVERS] * 4 and (tmp_path / "starts.txt").read_text() == "A\n"
    assert sorted(os.listdir(tmp_path)) == ["alias.txt", "graphs", "kg.tsv", "labels.tsv", "starts.txt"]


@pytest.mark.parametrize("command", ["walks", "embed"])
def test_outputs_follow_the_umask_keep_a_replaced_mode_and_links_and_fill_fifos(tmp_path, command):
    if command == "embed":
        pytest.importorskip("gensim")
    run = walks_cli if command == "walks" else embed_cli
    common = [BUNDLED, *(["--count", 5] if command == "walks" else ["--each", 1, "--dim", 2, "--epochs", 1,
                                                                  "--workers", 1])]
    option = "-o" if command == "walks" else "--out"
    # New files (labels.tsv too) as the umask says.
    result = run(*common, option, "new.npy", cwd=tmp_path, preexec_fn=lambda: os.umask(0o027))
    assert result.returncode == 0, result.stderr
    made = ["new.npy"] + (["labels.tsv"] if command == "embed" else [])
    assert [(tmp_path / name).stat().st_mode & 0o7777 for name in made] == [0o640] * len(made)
    # A replaced file keeps its mode without set-id bits; a link's target is replaced, and the link kept.
    private = tmp_path / "private.txt"
    private.write_text("old")
    private.chmod(0o6604)
    (tmp_path / "link.txt").symlink_to("private.txt")
    assert run(*common, option, "link.txt", cwd=tmp_path).returncode == 0
    assert (tmp_path / "link.txt").is_symlink() and private.read_text() != "old"
    assert private.stat().st_mode & 0o7777 == 0o604
    # A FIFO is written straight into.
    os.mkfifo(tmp_path / "fifo.txt")
    reader = subprocess.Popen(["cat", tmp_path / "fifo.txt"], stdout=subprocess.PIPE)
    assert run(*common, option, "fifo.txt", cwd=tmp_path).returncode == 0
    assert reader.communicate(timeout=60)[0] == private.read_bytes()
    assert sorted(os.listdir(tmp_path)) == sorted(["fifo.txt", "link.txt", "private.txt", *made])


def test_standard_input_and_the_summary_in_the_right_number(write_kg, tmp_path):
    path = write_kg("A\tr\tB\n")
    with open(path, "rb") as triples:
        result = subprocess.run([sys.executable, "-m", "vantrel_cli", "-", "--input-format", "tsv", "--count", "1",
                                 "--max", "1"], stdin=triples, capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == "standard input: 1 triple; writing 1 walk\n1 walk, 3 tokens\n"
    assert result.stdout.count("\t") == 2 and "\r" not in result.stderr
