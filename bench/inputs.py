"""Reading graphs: construction's memory and time against an earlier build
of the module (the baseline), N-Triples parsing speed, gzip against the
same file uncompressed, and rdflib's N-Triples parser on the same file.

    python3 bench/inputs.py [--quick] [--big-graph zipf-2e7.tsv] [--baseline DIR]

--big-graph: the 2*10^7-triple synthetic graph of bench/generate_kg.py
(bench/run.py --big makes it as bench/out/data/zipf-20000000.tsv).
Construction is measured in fresh processes, this module and the baseline
(a directory holding a vantrel built from an earlier commit, say
`pip install --target DIR .` on a checkout of it) alternating; peak memory
is the process's high-water mark above what it held before.
N-Triples: the first --nt-triples lines of the big graph (or of WN18RR)
written as N-Triples with Wikidata-like IRIs, one object in ten a language-
tagged literal; read with PathSampler.read in fresh processes, from the
plain file and from a .gz of it. rdflib: WN18RR as N-Triples, parsed by
rdflib and by PathSampler.read, and the two graphs' nodes, relations and
triple counts compared. Line ends: the N-Triples file with lone carriage
returns for line ends, against the same with line feeds.
Turtle: the same triples sorted by subject (as dumps are), written as
N-Triples and as Turtle with prefixes and ';' ',' abbreviations; read by
PathSampler.read from each, by pyoxigraph's parse (iterating its triples
from Python) and by rdflib (on the first --rdflib-triples of them: it holds
the graph in Python objects). canonical: read(..., canonical=True) against
read() of the N-Triples file, time and peak memory.
"""

from __future__ import annotations

import argparse
import gzip
import json
import pathlib
import statistics
import subprocess
import sys
import time

from common import HERE, SHARED_DATA, construct_once

ENTITY = "http://www.wikidata.org/entity/"
PROPERTY = "http://www.wikidata.org/prop/direct/"


def write_ntriples(tsv: str, out: pathlib.Path, limit: int) -> pathlib.Path:
    if out.is_file():
        return out
    with open(tsv, encoding="utf-8") as lines, open(out, "w", encoding="utf-8") as nt:
        for number, line in enumerate(lines):
            if number == limit:
                break
            head, relation, tail = line.rstrip("\n").split("\t")[:3]
            obj = f'"{tail} label"@en' if number % 10 == 9 else f"<{ENTITY}{tail}>"
            nt.write(f"<{ENTITY}{head}> <{PROPERTY}{relation}> {obj} .\n")
    return out


def write_sorted_rdf(tsv: str, out: pathlib.Path, limit: int) -> tuple[pathlib.Path, pathlib.Path]:
    """The first `limit` triples of `tsv`, sorted by head (stably), as
    N-Triples and as Turtle with prefixes and ';' ',' abbreviations: one
    graph, stated in the same order by both files."""
    nt, ttl = out.with_suffix(".nt"), out.with_suffix(".ttl")
    if nt.is_file() and ttl.is_file():
        return nt, ttl
    rows = []
    with open(tsv, encoding="utf-8") as lines:
        for number, line in enumerate(lines):
            if number == limit:
                break
            head, relation, tail = line.rstrip("\n").split("\t")[:3]
            rows.append((head, relation, f'"{tail} label"@en' if number % 10 == 9 else tail))
    rows.sort(key=lambda row: row[0])
    with open(nt, "w", encoding="utf-8") as nt_file, open(ttl, "w", encoding="utf-8") as ttl_file:
        ttl_file.write(f"@prefix wd: <{ENTITY}> .\n@prefix wdt: <{PROPERTY}> .\n")
        previous = (None, None)
        for head, relation, tail in rows:
            literal = tail.startswith('"')
            nt_file.write(f"<{ENTITY}{head}> <{PROPERTY}{relation}> {tail if literal else f'<{ENTITY}{tail}>'} .\n")
            obj = tail if literal else f"wd:{tail}"
            if previous == (head, relation):
                ttl_file.write(f" , {obj}")
            elif previous[0] == head:
                ttl_file.write(f" ;\n    wdt:{relation} {obj}")
            else:
                ttl_file.write(f"{' .' if previous[0] else ''}\nwd:{head} wdt:{relation} {obj}")
            previous = (head, relation)
        ttl_file.write(" .\n")
    return nt, ttl


def read_once(path: str, python_path: str | None = None, options: str = "") -> dict:
    """One PathSampler.read in a fresh process: seconds, triples, and the
    process's peak memory above what it held before (MiB)."""
    code = ("import json, sys, time, vantrel\n"
            f"sys.path.insert(0, {str(HERE)!r})\n"
            "from common import status_mib\n"
            "before = status_mib('VmRSS')\n"
            "start = time.perf_counter()\n"
            f"s = vantrel.PathSampler.read(sys.argv[1], 4.0, 10, 0{options})\n"
            "print(json.dumps({'seconds': time.perf_counter() - start, 'triples': s.data_size,\n"
            "                  'peak_mib': status_mib('VmHWM') - before}))\n")
    out = subprocess.run([sys.executable, "-c", code, path], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def construction(path: str, baseline: str | None, runs: int) -> dict:
    rows = {"this": [], "baseline": []}
    for _ in range(runs):
        rows["this"].append(construct_once("vantrel", path))
        if baseline:
            rows["baseline"].append(construct_once("vantrel", path, baseline))
    result = {}
    for name, measures in rows.items():
        if not measures:
            continue
        median = {key: statistics.median(m[key] for m in measures) for key in ("seconds", "peak_mib", "baseline_mib",
                                                                             "retained_mib")}
        median["peak_over_retained"] = statistics.median(
            (m["peak_mib"] - m["baseline_mib"]) / m["retained_mib"] for m in measures)
        median["triples"] = measures[0]["triples"]
        median["seconds_all"] = [round(m["seconds"], 3) for m in measures]
        result[name] = median
    if baseline:
        result["speed_up"] = result["baseline"]["seconds"] / result["this"]["seconds"]
    return result


def ntriples_speed(nt: pathlib.Path, runs: int) -> dict:
    gz = nt.with_suffix(".nt.gz")
    if not gz.is_file():
        with open(nt, "rb") as plain, gzip.open(gz, "wb", compresslevel=6) as packed:
            while block := plain.read(1 << 24):
                packed.write(block)
    size = nt.stat().st_size
    plain_runs, gz_runs = [], []
    for _ in range(runs):
        plain_runs.append(read_once(str(nt))["seconds"])
        gz_runs.append(read_once(str(gz))["seconds"])
    plain_s, gz_s = statistics.median(plain_runs), statistics.median(gz_runs)
    return {"file": nt.name, "bytes": size, "gz_bytes": gz.stat().st_size, "triples": read_once(str(nt))["triples"],
            "plain_seconds": plain_s, "plain_mb_per_s": size / plain_s / 1e6,
            "gz_seconds": gz_s, "gz_mb_per_s": size / gz_s / 1e6, "gz_over_plain": plain_s / gz_s}


def line_ends(nt: pathlib.Path, runs: int) -> dict:
    """The same N-Triples with lone carriage returns for line ends (which
    the format allows) against line feeds: time and peak memory."""
    cr = nt.with_name(nt.stem + "-cr.nt")
    if not cr.is_file():
        cr.write_bytes(nt.read_bytes().replace(b"\n", b"\r"))
    measures = {"lf": [], "cr": []}
    for _ in range(runs):
        measures["lf"].append(read_once(str(nt)))
        measures["cr"].append(read_once(str(cr)))
    result = {end: {key: statistics.median(m[key] for m in done) for key in ("seconds", "peak_mib")}
              for end, done in measures.items()}
    result["cr_over_lf_seconds"] = result["cr"]["seconds"] / result["lf"]["seconds"]
    result["cr_over_lf_peak"] = result["cr"]["peak_mib"] / result["lf"]["peak_mib"]
    result["bytes"] = nt.stat().st_size
    return result


def canonical(term) -> str:
    """The label vantrel gives an rdflib term (IRIs and plain or tagged literals)."""
    import rdflib

    if isinstance(term, rdflib.Literal):
        text = str(term).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")
        if term.language:
            return f'"{text}"@{term.language.lower()}'
        if term.datatype and str(term.datatype) != "http://www.w3.org/2001/XMLSchema#string":
            return f'"{text}"^^<{term.datatype}>'
        return f'"{text}"'
    return str(term)


def against_rdflib(nt: pathlib.Path, runs: int) -> dict:
    import rdflib
    import vantrel

    rdflib_times, ours = [], []
    graph = None
    for _ in range(runs):
        start = time.perf_counter()
        graph = rdflib.Graph()
        graph.parse(str(nt), format="nt")
        rdflib_times.append(time.perf_counter() - start)
        ours.append(read_once(str(nt))["seconds"])
    sampler = vantrel.PathSampler.read(str(nt), 4.0, 10, 0)
    nodes = {canonical(t) for s, _, o in graph for t in (s, o)}
    relations = {canonical(p) for p in graph.predicates()}
    tokens = list(sampler.tokens)
    same = (nodes == set(tokens[:sampler.node_count])
            and {t[:-len("::-->")] for t in tokens[sampler.node_count::2]} == relations
            and len(graph) == sampler.data_size)
    return {"file": nt.name, "triples": len(graph), "rdflib_seconds": statistics.median(rdflib_times),
            "vantrel_seconds": statistics.median(ours), "same_nodes_relations_and_count": same,
            "rdflib_version": rdflib.__version__}


def parse_elsewhere_once(library: str, path: pathlib.Path) -> dict:
    """pyoxigraph's or rdflib's parse of a Turtle file (or the code given for
    `library`, which counts `triples`) in a fresh process: seconds, triples
    and peak memory above what the process held before."""
    parse = {
        "pyoxigraph": "import pyoxigraph\n"
                      "triples = sum(1 for _ in pyoxigraph.parse(path=sys.argv[1],\n"
                      "                                          format=pyoxigraph.RdfFormat.TURTLE))\n",
        "rdflib": "import rdflib\ntriples = len(rdflib.Graph().parse(sys.argv[1], format='turtle'))\n",
    }.get(library, library)
    code = ("import json, sys, time\n"
            f"sys.path.insert(0, {str(HERE)!r})\n"
            "from common import status_mib\n"
            "before = status_mib('VmRSS')\n"
            "start = time.perf_counter()\n"
            + parse +
            "print(json.dumps({'seconds': time.perf_counter() - start, 'triples': triples,\n"
            "                  'peak_mib': status_mib('VmHWM') - before}))\n")
    out = subprocess.run([sys.executable, "-c", code, str(path)], check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def turtle_speed(nt: pathlib.Path, ttl: pathlib.Path, runs: int, rdflib_triples: int) -> dict:
    """Triples a second: vantrel's Turtle against its N-Triples (the same
    graph), pyoxigraph's and rdflib's Turtle; medians of `runs`, alternating."""
    measures = {"vantrel_nt": [], "vantrel_turtle": [], "pyoxigraph": []}
    for _ in range(runs):
        measures["vantrel_nt"].append(read_once(str(nt)))
        measures["vantrel_turtle"].append(read_once(str(ttl)))
        try:
            measures["pyoxigraph"].append(parse_elsewhere_once("pyoxigraph", ttl))
        except subprocess.CalledProcessError:
            measures.pop("pyoxigraph")
            break
    result = {}
    for name, done in measures.items():
        result[name] = {key: statistics.median(m[key] for m in done) for key in ("seconds", "peak_mib")}
        result[name]["triples"] = done[0]["triples"]
        result[name]["triples_per_s"] = done[0]["triples"] / result[name]["seconds"]
    try:
        import rdflib  # noqa: F401
    except ImportError:
        pass
    else:
        # rdflib on a prefix of the Turtle file, cut after a statement.
        small = ttl.with_name(ttl.stem + f"-first-{rdflib_triples}.ttl")
        if not small.is_file():
            with open(ttl, encoding="utf-8") as source, open(small, "w", encoding="utf-8") as part:
                # A line that starts a statement follows one that ends with " .".
                for number, line in enumerate(source):
                    if number >= rdflib_triples and not line.startswith(" "):
                        break
                    part.write(line)
        done = parse_elsewhere_once("rdflib", small)
        done["triples_per_s"] = done["triples"] / done["seconds"]
        result["rdflib"] = done
    turtle = result["vantrel_turtle"]["triples_per_s"]
    result["turtle_over_ntriples"] = turtle / result["vantrel_nt"]["triples_per_s"]
    for peer in ("pyoxigraph", "rdflib"):
        if peer in result:
            result[f"turtle_over_{peer}"] = turtle / result[peer]["triples_per_s"]
    result["ntriples_bytes"], result["turtle_bytes"] = nt.stat().st_size, ttl.stat().st_size
    return result


def rdfxml_speed(nt: pathlib.Path, limit: int, runs: int) -> dict | None:
    """RDF/XML (the first `limit` triples of `nt`, written by pyoxigraph): read
    by PathSampler.read, which goes through pyoxigraph, against pyoxigraph's
    parse alone, iterating its triples from Python."""
    try:
        import pyoxigraph
    except ImportError:
        return None
    rdf = nt.with_name(nt.stem + f"-first-{limit}.rdf")
    if not rdf.is_file():
        with open(nt, "rb") as source:
            head = b"".join(line for _, line in zip(range(limit), source))
        quads = pyoxigraph.parse(input=head, format=pyoxigraph.RdfFormat.N_TRIPLES)
        rdf.write_bytes(pyoxigraph.serialize(quads, format=pyoxigraph.RdfFormat.RDF_XML))
    code = ("import pyoxigraph\n"
            "triples = sum(1 for _ in pyoxigraph.parse(path=sys.argv[1], format=pyoxigraph.RdfFormat.RDF_XML))\n")
    ours, theirs = [], []
    for _ in range(runs):
        ours.append(read_once(str(rdf)))
        theirs.append(parse_elsewhere_once(code, rdf))
    result = {"bytes": rdf.stat().st_size, "triples": ours[0]["triples"],
              "vantrel_seconds": statistics.median(m["seconds"] for m in ours),
              "pyoxigraph_seconds": statistics.median(m["seconds"] for m in theirs)}
    result["vantrel_triples_per_s"] = result["triples"] / result["vantrel_seconds"]
    result["pyoxigraph_triples_per_s"] = result["triples"] / result["pyoxigraph_seconds"]
    return result


def canonical_cost(nt: pathlib.Path, runs: int) -> dict:
    """read(..., canonical=True) against read() of one file: time and peak memory."""
    measures = {"plain": [], "canonical": []}
    for _ in range(runs):
        measures["plain"].append(read_once(str(nt)))
        measures["canonical"].append(read_once(str(nt), options=", canonical=True"))
    result = {name: {key: statistics.median(m[key] for m in done) for key in ("seconds", "peak_mib")}
              for name, done in measures.items()}
    result["time_ratio"] = result["canonical"]["seconds"] / result["plain"]["seconds"]
    result["peak_ratio"] = result["canonical"]["peak_mib"] / result["plain"]["peak_mib"]
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="tiny sizes and one run, for CI")
    parser.add_argument("--big-graph", help="the 2*10^7-triple graph for construction and N-Triples")
    parser.add_argument("--baseline", help="a directory holding an earlier build of vantrel")
    parser.add_argument("--nt-triples", type=int, default=5 * 10**6, help="lines of the big graph written as N-Triples")
    parser.add_argument("--runs", type=int, help="repetitions (default 5, quick 1)")
    parser.add_argument("--turtle-triples", type=int, default=10**7, help="triples of the Turtle comparison")
    parser.add_argument("--rdflib-triples", type=int, default=10**6, help="of those, the ones rdflib parses")
    parser.add_argument("--only", choices=["turtle"], help="run the Turtle and canonical comparisons alone")
    parser.add_argument("--out", default=str(HERE / "out"))
    args = parser.parse_args()
    runs = args.runs or (1 if args.quick else 5)
    out = pathlib.Path(args.out) / "inputs"
    out.mkdir(parents=True, exist_ok=True)
    wn18rr = SHARED_DATA / "wn18rr-train.tsv"
    source = args.big_graph or (str(wn18rr) if wn18rr.is_file() else None)
    if source is None:
        source = str(out / "tiny.tsv")
        pathlib.Path(source).write_text("".join(f"Q{i}\tP{i % 7}\tQ{(i * 7) % 101}\n" for i in range(2000)))
    results = {}
    turtle_limit = 20000 if args.quick else args.turtle_triples
    nt_sorted, ttl = write_sorted_rdf(source, out / f"{pathlib.Path(source).stem}-{turtle_limit}-sorted", turtle_limit)
    results["turtle"] = turtle_speed(nt_sorted, ttl, runs, 2000 if args.quick else args.rdflib_triples)
    results["canonical"] = canonical_cost(nt_sorted, runs)
    results["rdfxml"] = rdfxml_speed(nt_sorted, 2000 if args.quick else 10**6, runs)
    if args.only:
        print(json.dumps(results, indent=2))
        return 0
    results["construction"] = construction(source, args.baseline, runs)
    limit = 20000 if args.quick else args.nt_triples
    nt = write_ntriples(source, out / f"{pathlib.Path(source).stem}-{limit}.nt", limit)
    results["ntriples"] = ntriples_speed(nt, runs)
    results["line_ends"] = line_ends(nt, runs)
    try:
        import rdflib  # noqa: F401
    except ImportError:
        results["rdflib"] = None
    else:
        small = source if args.quick or not wn18rr.is_file() else str(wn18rr)
        rdf_limit = 2000 if args.quick else 10**9
        rdf = write_ntriples(small, out / f"{pathlib.Path(small).stem}{'-quick' if args.quick else ''}.nt", rdf_limit)
        results["rdflib"] = against_rdflib(rdf, runs)
    (out / "results.json").write_text(json.dumps(results, indent=2))
    print(json.dumps(results, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
