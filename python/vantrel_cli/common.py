"""What the commands vantrel-walks and vantrel-embed share: the options of a graph and its walks, reading the
graph, progress bars, status lines, and running a command with its errors, Ctrl-C and signals as exit statuses."""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import signal
import sys
from importlib import metadata

# The bundled example graph: installed beside this module, or in a clone's
# examples/ where the module runs from the source tree.
HERE = pathlib.Path(__file__).resolve().parent
BUNDLED_GRAPH = next((path for path in (HERE / "rivers.tsv", HERE.parents[1] / "examples" / "data" / "rivers.tsv")
                      if path.is_file()), HERE / "rivers.tsv")

class Progress:
    """A progress bar on stderr: tqdm when installed, a plain counter otherwise.
    Called with the number of units (walks written, bytes read) so far."""

    def __init__(self, total: int, unit: str = "walk") -> None:
        self.total = total
        self.unit = unit
        self.shown = 0
        try:
            from tqdm import tqdm
        except ImportError:
            self.bar = None
        else:
            # Scaled (1.2M/10M) for bytes and walks, whole for a few epochs.
            self.bar = tqdm(total=total, unit=unit, unit_scale=total >= 1000, file=sys.stderr)

    def __call__(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.shown)
        else:
            print(f"\r{done:,}/{self.total:,} {self.unit}", end="", file=sys.stderr, flush=True)
        self.shown = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        else:
            print(file=sys.stderr)


class UsageError(Exception):
    """A bad option value, reported as argparse reports one."""


class Parser(argparse.ArgumentParser):
    # One line, not the usage block: the errors of the command are all one line.
    def error(self, message: str):
        raise UsageError(message)


def positive_number(text: str) -> float:
    value = float(text)
    if not 0 < value < float("inf"):
        raise ValueError(text)
    return value


def window_of(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise ValueError(text)
    return value


def time_column_of(text: str) -> int:
    value = int(text)
    if value < 3:
        raise ValueError(text)
    return value


def count_of(text: str) -> int:
    value = int(text)
    if not 0 <= value < 1 << 64:
        raise ValueError(text)
    return value


def thread_count(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65536:
        raise ValueError(text)
    return value


# argparse names the type in its message: "invalid positive number value: '-1'".
positive_number.__name__ = "positive number"
count_of.__name__ = "non-negative int"
thread_count.__name__ = "thread count"


class ShowVersion(argparse.Action):
    """--version: the version pip installed (pyproject.toml's), looked up only when asked."""

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            version = metadata.version("vantrel")
        except metadata.PackageNotFoundError:
            version = "(not installed: run from a source tree)"
        print(f"{parser.prog} {version}")
        parser.exit()


def add_walk_options(p: argparse.ArgumentParser, embedding: bool) -> None:
    """The options of the graph and its walks, which vantrel-embed shares
    (without --count, edges or relabelling: it embeds the nodes of K walks
    per entity)."""
    p.add_argument("data", nargs="?", default=str(BUNDLED_GRAPH),
                   help="triple file (- for standard input, with --input-format): head<TAB>relation<TAB>tail per "
                        "line, N-Triples (.nt), N-Quads (.nq), Turtle (.ttl), TriG (.trig), RDF/XML (.rdf, .owl, "
                        ".xml) or JSON-LD (.jsonld), compressed or not (.gz, .bz2, .xz, .zst), or a directory of "
                        "them, read as one graph (default: the bundled example)")
    p.add_argument("--version", action=ShowVersion, nargs=0, help="show the installed vantrel's version and exit")
    p.add_argument("--input-format", choices=["tsv", "nt", "nq", "turtle", "trig", "rdfxml", "jsonld"],
                   help="the file's format, when its name does not tell")
    p.add_argument("--base", metavar="IRI", help="what relative IRIs of an RDF file resolve against, when the file "
                                                 "sets no base of its own")
    p.add_argument("--canonical", action="store_true",
                   help="number nodes and relations by label and sort the triples, so that walks do not depend on "
                        "the order of the file's lines")
    p.add_argument("--drop-literals", action="store_true",
                   help="RDF input (N-Triples, N-Quads, Turtle, TriG, RDF/XML, JSON-LD): leave out triples whose "
                        "object is a literal")
    if embedding:
        p.add_argument("--each", type=count_of, metavar="K", default=10,
                       help="K walks starting at every node (or every node of --start-file) (default 10)")
    else:
        p.add_argument("--count", type=count_of, help="number of walks (default 10)")
        p.add_argument("--each", type=count_of, metavar="K",
                       help="K walks starting at every node (or every node of --start-file) instead of --count walks")
    p.add_argument("--start-file", metavar="FILE",
                   help="start the walks at these nodes, one label per line, in turn")
    p.add_argument("--items", choices=["path", "full", "nodes"] + ([] if embedding else ["edges", "times"]),
                   default="full" if embedding else "path",
                   help="path: start, relations, end; full: every node between; nodes: nodes only" +
                        (" (default full)" if embedding else "; edges: the line number (from 0) of each step's "
                                                             "triple; times: the time of each step's triple, with "
                                                             "--temporal (default path)"))
    p.add_argument("--position", choices=["start", "mid"], default="start",
                   help="start: walks from their start node; mid: walks through it, drawn both ways (default start)")
    p.add_argument("--unique", action="store_true", help="leave out walks that repeat an earlier one")
    p.add_argument("--metapath", nargs="+", metavar="TOKEN",
                   help="step k follows only edges of relation token TOKEN[k mod m] ('wrote::-->', 'wrote::<--')")
    if not embedding:
        p.add_argument("--relabel-by", metavar="RELATION",
                       help="list each node but the start as the tail of its first forward edge of RELATION, in "
                            "file order, where it has one (type walks: --relabel-by rdf:type's label)")
    p.add_argument("--exclude", action="append", default=[], metavar="RELATION",
                   help="never walk edges of this relation (repeatable)")
    p.add_argument("--direction", choices=["both", "forward", "backward"], default="both",
                   help="follow edges head to tail (forward), tail to head (backward) or both (default both)")
    bias = p.add_argument_group("biased walks (PathSampler.biased)")
    bias.add_argument("--p", type=positive_number, default=1.0, help="node2vec's return parameter (default 1)")
    bias.add_argument("--q", type=positive_number, default=1.0, help="node2vec's in-out parameter (default 1)")
    bias.add_argument("--edge-weights", metavar="FILE",
                      help="a weight per triple, in file order: one number per line, or a .npy array")
    bias.add_argument("--node-weights", metavar="FILE",
                      help="a weight per node, by node id: one number per line, or a .npy array")
    bias.add_argument("--relation-weights", metavar="FILE",
                      help="lines of relation label, tab, weight (other relations weigh 1)")
    timed = p.add_argument_group("temporal walks (PathSampler.temporal)")
    timed.add_argument("--time-column", type=time_column_of, metavar="K",
                       help="read each line's time from its column K (3 or more, from 0): an integer, a decimal "
                            "number or an ISO 8601 date or date-time; fields are trimmed of spaces")
    timed.add_argument("--temporal", choices=["forward", "backward"],
                       help="each step after the first goes forward (or backward) in time from the one before; "
                            "needs --time-column")
    timed.add_argument("--strict", action="store_true", help="with --temporal: never to a fact of the same time")
    # vantrel-embed's --window is word2vec's: the time window is --time-window there.
    timed.add_argument(*(["--time-window"] if embedding else ["--window", "--time-window"]), dest="time_window",
                       type=window_of, metavar="W",
                       help="with --temporal: at most W between the times of consecutive steps")
    timed.add_argument("--decay", type=positive_number, metavar="D",
                       help="with --temporal: weigh facts by exp(-|t - t0| / D), the nearest in time likelier")
    p.add_argument("--mean", type=positive_number, help="mean walk length, Poisson (default 4)")
    p.add_argument("--max", type=count_of, help="longest walk, in steps (default 10)")
    p.add_argument("--length", type=count_of, metavar="L",
                   help="every walk L steps (fewer only at a dead end), no length drawn: DeepWalk's and node2vec's "
                        "walks (instead of --mean and --max)")
    p.add_argument("--seed", type=count_of, default=0, help="random seed, 0 to 2**64-1 (default 0)")
    p.add_argument("--threads", type=thread_count, default=0,
                   help="threads drawing the walks, 0 for every CPU, at most 65536 (default 0)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar on stderr")


def walk_lengths(args: argparse.Namespace) -> tuple[float, int]:
    """The mean and the longest of drawn walk lengths (--mean, --max, 4 and 10 where not given); refuses them
    beside --length, which draws none."""
    if args.length is not None and (args.mean is not None or args.max is not None):
        given = " and ".join(option for option, value in (("--mean", args.mean), ("--max", args.max))
                             if value is not None)
        raise UsageError(f"--length {args.length} makes every walk {args.length} steps: it goes with no {given}")
    return (4.0 if args.mean is None else args.mean), (10 if args.max is None else args.max)


def read_graph(args: argparse.Namespace):
    """The sampler of the triple file, restricted as asked, with a bar of the
    bytes read for files of 64 MiB or more."""
    import vantrel

    if args.data == "-":
        if args.input_format is None:
            raise UsageError("- reads standard input, whose format no name tells: give --input-format")
        source, size = sys.stdin.buffer, 0
    else:
        source, size = args.data, os.path.getsize(args.data) if os.path.isfile(args.data) else 0
    check_temporal_options(args)
    progress = terminal_progress(size, "B", args, 64 << 20)
    try:
        sampler = vantrel.PathSampler.read(source, *walk_lengths(args), args.seed, format=args.input_format,
                                           literals="drop" if args.drop_literals else "keep", progress=progress,
                                           canonical=args.canonical, base=args.base, time_column=args.time_column)
    except OSError as error:
        if error.filename is None:
            error.filename = args.data  # for the message; older Pythons name no file
        raise
    finally:
        if progress is not None:
            progress.close()
    if args.exclude or args.direction != "both":
        try:
            sampler = sampler.restrict(exclude_relations=args.exclude or None, direction=args.direction)
        except KeyError as error:
            raise unknown_relation("--exclude", error, sampler) from None
    weighted = (args.edge_weights, args.node_weights, args.relation_weights) != (None, None, None)
    if weighted or args.p != 1.0 or args.q != 1.0:
        if args.metapath:
            raise UsageError("--metapath goes with no weights, --p or --q: a metapath step is uniform")
        try:
            sampler = sampler.biased(edge_weights=numbers_of(args.edge_weights, "--edge-weights"),
                                     node_weights=numbers_of(args.node_weights, "--node-weights"),
                                     relation_weights=relation_weights_of(args.relation_weights),
                                     p=args.p, q=args.q)
        except KeyError as error:
            raise unknown_relation("--relation-weights", error, sampler) from None
    if args.metapath:
        try:
            sampler = sampler.metapath(args.metapath)
        except KeyError as error:
            raise UsageError(f"--metapath: {error.args[0]!r} is no relation token (a relation's label followed by "
                             "'::-->' or '::<--')") from None
    if args.temporal:
        sampler = sampler.temporal(direction=args.temporal, strict=args.strict, window=args.time_window,
                                   decay=args.decay)
    return sampler


def check_temporal_options(args: argparse.Namespace) -> None:
    """Refuses time options that do not go together, before anything is read."""
    given = [option for option, value in (("--strict", args.strict), ("--time-window", args.time_window),
                                          ("--decay", args.decay)) if value not in (None, False)]
    if given and not args.temporal:
        raise UsageError(f"{given[0]} is a rule of --temporal walks: give --temporal forward or backward")
    if args.temporal and args.time_column is None:
        raise UsageError("--temporal walks by the triples' times: give --time-column K, the column they are in")
    if args.time_column is not None and args.canonical:
        raise UsageError("--canonical sorts the triples, and --time-column's times follow the order of the lines")
    if getattr(args, "items", None) == "times" and not args.temporal:
        raise UsageError("--items times lists the times of --temporal walks: give --temporal")
    if args.temporal:
        weighted = (args.edge_weights, args.node_weights, args.relation_weights) != (None, None, None)
        clashing = [option for option, clashes in (("--metapath", args.metapath), ("--position mid",
                    args.position == "mid"), ("weights, --p or --q", weighted or args.p != 1.0 or args.q != 1.0))
                    if clashes]
        if clashing:
            raise UsageError(f"--temporal goes with no {clashing[0]}: a temporal step draws by time alone")


def unknown_relation(option: str, error: KeyError, sampler) -> UsageError:
    """The error of `option` naming a relation the graph has none of (`error`, the API's KeyError), with what
    the API suggests (its notes: the closest names) and what users most often mistake: a token for a label, a
    prefixed name for an RDF relation's full IRI."""
    name = error.args[0]
    hints = list(getattr(error, "__notes__", []))
    relations = list(sampler.relations)
    if isinstance(name, str) and not hints:
        label = name.removesuffix("::-->").removesuffix("::<--")
        local = name.rpartition(":")[2]
        iris = [relation for relation in relations if "://" in relation]
        if label != name and label in relations:
            hints.append(f"a relation's label is wanted, not a token: {label!r}")
        elif ":" in name and "://" not in name and iris:
            like = [iri for iri in iris if iri.endswith(("/" + local, "#" + local))]
            hints.append(f"the graph's relations are full IRIs, as {(like or iris)[0]!r}")
    return UsageError(f"{option}: no relation is named {name!r}" + (f" ({'; '.join(hints)})" if hints else ""))


def opened(path: str, option: str, **options):
    """`path` opened for reading as text, its failure named by `option`."""
    try:
        return open(path, encoding="utf-8", **options)
    except OSError as error:
        raise UsageError(f"{option} {path}: {error.strerror}") from None


def numbers_of(path: str | None, option: str):
    """The weights in `path`: a .npy array, or one number per line; None for no file."""
    if path is None:
        return None
    if path.endswith(".npy"):
        import numpy

        try:
            return numpy.load(path, allow_pickle=False)
        except OSError as error:
            raise UsageError(f"{option} {path}: {error.strerror or error}") from None
    with opened(path, option) as lines:
        try:
            return [float(line) for line in lines if line.strip()]
        except ValueError as error:
            raise UsageError(f"{option} {path}: {error}") from None


def relation_weights_of(path: str | None) -> dict[str, float] | None:
    """Lines of relation label, tab, weight; None for no file."""
    if path is None:
        return None
    weights = {}
    with opened(path, "--relation-weights", newline="\n") as lines:
        for number, line in enumerate(lines, 1):
            if not line.strip():
                continue
            relation, tab, weight = line.rstrip("\r\n").rpartition("\t")
            try:
                value = float(weight) if tab else math.nan
            except ValueError:
                value = math.nan
            if math.isnan(value):
                raise UsageError(f"--relation-weights {path}: line {number} is not a relation, a tab and a weight")
            weights[relation] = value
    return weights


def starts(sampler, args: argparse.Namespace):
    """The start= of the walks and how many walks to write."""
    if args.start_file is None:
        if args.each is not None:
            return "each", args.each * sampler.node_count
        return "random", 10 if args.count is None else args.count
    with opened(args.start_file, "--start-file") as lines:
        labels = [line.rstrip("\r\n") for line in lines if line.strip()]
    if not labels:
        raise UsageError(f"--start-file {args.start_file} names no node")
    try:
        ids = sampler.node_ids(labels)
    except KeyError as error:
        raise UsageError(f"--start-file {args.start_file}: no node is labelled {error.args[0]!r}") from None
    return ids, args.each * len(labels) if args.each is not None else 10 if args.count is None else args.count


def inputs_of(args: argparse.Namespace) -> list[tuple[str | None, str]]:
    """The files the command reads, as output.refuse_inputs takes them: the graph (a file or a directory), the
    start file and the weight files."""
    return [(args.data, "the input directory" if os.path.isdir(args.data) else "the input file"),
            (args.start_file, "the --start-file"), (args.edge_weights, "the --edge-weights file"),
            (args.node_weights, "the --node-weights file"), (args.relation_weights, "the --relation-weights file")]


def counted(number: int, unit: str) -> str:
    """"1 walk", "10,000 walks": the number with its unit in the right number."""
    return f"{number:,} {unit}{'' if number == 1 else 's'}"


def terminal_progress(total: int, unit: str, args: argparse.Namespace, least: int):
    """A progress bar for `total` units where it can be seen: standard error a
    terminal (a bar redraws its line with carriage returns, which a log file
    would keep), the work long enough and --no-progress not given."""
    if args.no_progress or total < least or sys.stderr is None or not sys.stderr.isatty():
        return None
    return Progress(total, unit=unit)


def say(text: str, end: str = "\n") -> None:
    """A line of status on standard error, never elsewhere: with standard
    error closed, nothing (print would fall back to standard output, which
    may be the corpus)."""
    if sys.stderr is not None:
        print(text, end=end, file=sys.stderr, flush=True)


def check_output_directory(output: str, option: str) -> None:
    """Refuses an output path that names a directory, or lies in a directory
    that is not there or not writable."""
    target = os.path.realpath(output)
    if os.path.isdir(target):
        raise UsageError(f"{option} {output} is a directory")
    directory = os.path.dirname(target)
    if not os.path.isdir(directory):
        raise UsageError(f"{option} {output}: no directory {directory}")
    replaced = not os.path.exists(target) or os.path.isfile(target)  # else written straight into
    if replaced and not os.access(directory, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {output}: the directory {directory} is not writable")


UNWRAPPED = "called `Result::unwrap()` on an `Err` value: "


def one_line(error: BaseException) -> str:
    """The error's message on one line, with the notes that name its file."""
    if isinstance(error, OSError) and error.errno is not None:
        if isinstance(error.filename, (str, bytes, os.PathLike)):
            return f"{os.strerror(error.errno)}: {os.fsdecode(error.filename)}"
        if error.filename == 1 or error.filename is None and isinstance(error, BrokenPipeError):
            return f"{os.strerror(error.errno)}: standard output"
        return os.strerror(error.errno)
    if isinstance(error, MemoryError) and not str(error):
        return "out of memory: the work asked for needs more than this machine has"
    text = " ".join(str(error).removeprefix(UNWRAPPED).split()) or type(error).__name__
    notes = getattr(error, "__notes__", [])
    return f"{text} ({'; '.join(notes)})" if notes else text


class Terminated(BaseException):
    """SIGTERM or SIGHUP, raised where the work polls for signals, so that
    the output's temporary file is removed as on Ctrl-C."""

    def __init__(self, signal_number: int) -> None:
        super().__init__(signal_number)
        self.signal_number = signal_number


def terminate(signal_number: int, frame) -> None:
    raise Terminated(signal_number)


def keep_descriptors_apart() -> None:
    """A standard descriptor that the command was started without (`2>&-`)
    is opened on /dev/null, so that no file the command opens takes its
    number, and nothing meant for standard error lands in the corpus."""
    for descriptor in (1, 2):
        try:
            os.fstat(descriptor)
        except OSError:
            null = os.open(os.devnull, os.O_WRONLY)
            if null != descriptor:
                os.dup2(null, descriptor)
                os.close(null)


def main_of(program: str, work) -> int:
    """Runs work() as command `program` does (vantrel-walks, vantrel-embed):
    errors on one line, Ctrl-C, SIGTERM and SIGHUP as exit statuses."""
    keep_descriptors_apart()
    handlers = {number: signal.signal(number, terminate) for number in (signal.SIGTERM, signal.SIGHUP)
                if signal.getsignal(number) is signal.SIG_DFL}
    try:
        work()
    except KeyboardInterrupt:
        say(f"{program}: interrupted")
        return 130
    except Terminated as stop:
        say(f"{program}: terminated by {signal.Signals(stop.signal_number).name}")
        return 128 + stop.signal_number
    except UsageError as error:
        say(f"{program}: error: {error}")
        return 2
    except BrokenPipeError:
        # The reader went away (| head): not an error of the walks. Standard
        # output goes to /dev/null so that the interpreter's last flush
        # does not fail too.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except Exception as error:  # every failure of the work: one line, never a traceback
        say(f"{program}: error: {one_line(error)}")
        return 2
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
    return 0
