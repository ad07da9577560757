"""Write a walk corpus on a Dask cluster, in shards of walk numbers.

    python examples/dask_walks.py kg.tsv --count 10000000 --shard 1000000 -o corpus/
    python examples/dask_walks.py kg.snap --count 1000000000 --scheduler tcp://head:8786 -o /shared/corpus/

GRAPH is a snapshot written by PathSampler.save, or a triple file from which
the script first builds OUTPUT/graph.snap. Shard k holds walks k*SHARD to
(k+1)*SHARD - 1 in OUTPUT/walks-<k>.tsv (.txt with --format words), so the
shards joined in order are, byte for byte, the corpus that one write_walks
call over 0 to COUNT - 1 writes on one machine, whatever the cluster.

Without --scheduler the work runs on a LocalCluster of --workers processes.
With it, on the cluster behind that scheduler: the snapshot and OUTPUT must
then be on storage that every worker reaches under the same path. Every
worker process opens the snapshot once, on its first shard, and keeps it for
the others; a shard is one write_walks call, and write_walks renames a shard
into place only once it is whole, so a shard that Dask redoes after a failed
task or a lost worker is simply written again. At the end the script writes
OUTPUT/manifest.json (the parameters, the shard files in order, the walks,
tokens and bytes of each) and prints a summary.
"""

from __future__ import annotations

import argparse
import contextlib
import importlib.util
import json
import os
import pathlib
import sys
import threading
import time

import vantrel
from distributed import Client, LocalCluster, WorkerPlugin, get_worker, progress

BUNDLED_GRAPH = pathlib.Path(__file__).resolve().parent / "data" / "rivers.tsv"
SNAPSHOT_MAGIC = b"VTRLSNAP"


class SnapshotOnWorker(WorkerPlugin):
    """The sampler of one worker process: the snapshot, loaded on first use
    (in a task thread, not the worker's event loop) and shared by the
    process's task threads, since walks by number share only the read-only
    graph."""

    def __init__(self, snapshot: str, mean: float, cap: int, seed: int) -> None:
        self.arguments = (snapshot, mean, cap, seed)

    def setup(self, worker) -> None:
        self._lock = threading.Lock()
        self._sampler: vantrel.PathSampler | None = None

    def teardown(self, worker) -> None:
        self._sampler = None  # unmaps the snapshot once no shard uses it

    def sampler(self) -> vantrel.PathSampler:
        with self._lock:
            if self._sampler is None:
                self._sampler = vantrel.PathSampler.load(*self.arguments)
            return self._sampler


def write_shard(plugin: str, path: str, first: int, stop: int, start: str, format: str, threads: int) -> dict:
    """One shard, on a worker: walks first to stop - 1 into `path`, drawn by
    the sampler of the worker plugin named `plugin`."""
    sampler = get_worker().plugins[plugin].sampler()
    walks, tokens = sampler.write_walks(path, first, stop, threads=threads, start=start, format=format)
    return {"file": os.path.basename(path), "first": first, "stop": stop, "walks": walks, "tokens": tokens,
            "bytes": os.path.getsize(path)}


def is_snapshot(path: pathlib.Path) -> bool:
    with open(path, "rb") as file:
        return file.read(len(SNAPSHOT_MAGIC)) == SNAPSHOT_MAGIC


def shard_paths(output: pathlib.Path, shards: int, extension: str) -> list[pathlib.Path]:
    width = max(6, len(str(shards - 1)))
    return [output / f"walks-{k:0{width}d}.{extension}" for k in range(shards)]


def remove_leftover_temporaries(paths: list[pathlib.Path]) -> None:
    """Removes what writers killed midway left behind (write_walks writes
    shard NAME as .NAME.XXXXXX.tmp beside it until the shard is whole); on
    success, and after a failure or Ctrl-C too."""
    for path in paths:
        for leftover in path.parent.glob(f".{path.name}.*.tmp"):
            leftover.unlink(missing_ok=True)


def write_json_atomically(path: pathlib.Path, content: dict) -> None:
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    with open(temporary, "x", encoding="utf-8") as file:
        json.dump(content, file, indent=2)
        file.write("\n")
    os.replace(temporary, path)


def parse_arguments(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("graph", nargs="?", default=str(BUNDLED_GRAPH),
                        help="a snapshot, or a triple file to build one from (default: the bundled graph)")
    parser.add_argument("-o", "--output", required=True, help="directory for the shards and the manifest")
    walks = parser.add_mutually_exclusive_group()
    walks.add_argument("--count", type=int, default=1000, help="number of walks (default 1000)")
    walks.add_argument("--each", type=int, metavar="K", help="K walks starting at every node instead")
    parser.add_argument("--shard", type=int, default=1_000_000, help="walks per shard (default 1000000)")
    parser.add_argument("--mean", type=float, default=4.0)
    parser.add_argument("--max", type=int, default=10)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--format", choices=("tsv", "words"), default="tsv")
    parser.add_argument("--threads", type=int, default=1,
                        help="threads of each write_walks call (default 1: Dask runs one shard per worker thread)")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="worker processes of the LocalCluster (default: one per CPU)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="run on this Dask scheduler instead of a LocalCluster")
    parser.add_argument("--retries", type=int, default=3, help="times a failed shard is tried again (default 3)")
    parser.add_argument("--force", action="store_true", help="replace the shards and manifest of an earlier run")
    parser.add_argument("--quiet", action="store_true", help="no progress bar")
    args = parser.parse_args(argv)
    if args.shard < 1 or args.workers < 1 or args.threads < 0 or args.retries < 0:
        parser.error("--shard and --workers must be at least 1, --threads and --retries not negative")
    if args.count < 0 or (args.each is not None and args.each < 0):
        parser.error("--count and --each must not be negative")
    return args


def prepare_output(output: pathlib.Path, force: bool) -> None:
    output.mkdir(parents=True, exist_ok=True)
    earlier = sorted(output.glob("walks-*")) + sorted(output.glob("manifest.json"))
    if earlier and not force:
        sys.exit(f"{output} holds the output of an earlier run ({earlier[0].name}, ...); "
                 "choose another directory or pass --force")
    for path in earlier:
        path.unlink()


def open_graph(args: argparse.Namespace, output: pathlib.Path) -> tuple[pathlib.Path, int]:
    """The snapshot the workers load, and its node count. Loading or building
    it here also checks the arguments before any cluster starts."""
    graph = pathlib.Path(args.graph).resolve()
    if is_snapshot(graph):
        return graph, vantrel.PathSampler.load(str(graph), args.mean, args.max, args.seed).node_count
    snapshot = output / "graph.snap"
    sampler = vantrel.PathSampler(str(graph), args.mean, args.max, args.seed)
    sampler.save(snapshot)
    return snapshot, sampler.node_count


def connect(args: argparse.Namespace) -> Client:
    if args.scheduler:
        return Client(args.scheduler)
    # No memory limit: a worker's resident memory counts the pages of the
    # shared snapshot it has touched, which Dask would take for its own.
    dashboard = ":0" if importlib.util.find_spec("bokeh") else None
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, memory_limit=0,
                           dashboard_address=dashboard)
    return Client(cluster)


def main(argv: list[str] | None = None) -> int:
    args = parse_arguments(argv)
    output = pathlib.Path(args.output).resolve()
    prepare_output(output, args.force)
    snapshot, node_count = open_graph(args, output)
    count = args.count if args.each is None else args.each * node_count
    start = "random" if args.each is None else "each"
    bounds = list(range(0, count, args.shard)) + [count]
    paths = shard_paths(output, len(bounds) - 1, "tsv" if args.format == "tsv" else "txt")

    began = time.perf_counter()
    # A name of this run's own: runs from several drivers may share a cluster.
    run = f"vantrel-{os.uname().nodename}-{os.getpid()}-{time.time_ns()}"
    try:
        with connect(args) as client:
            if client.dashboard_link:
                print(f"Dask dashboard: {client.dashboard_link}", file=sys.stderr)
            client.register_plugin(SnapshotOnWorker(str(snapshot), args.mean, args.max, args.seed), name=run)
            try:
                futures = [client.submit(write_shard, run, str(path), first, stop, start, args.format, args.threads,
                                         key=f"{run}-{path.name}", retries=args.retries, pure=False)
                           for path, first, stop in zip(paths, bounds, bounds[1:])]
                if not args.quiet and futures:
                    progress(futures)
                shards = client.gather(futures)
                workers = len(client.scheduler_info()["workers"])
            finally:
                with contextlib.suppress(Exception):  # a cleanup: never hides why the run stopped
                    client.unregister_worker_plugin(run)
    finally:
        remove_leftover_temporaries(paths)
    seconds = time.perf_counter() - began

    manifest = {"graph": str(pathlib.Path(args.graph).resolve()), "snapshot": str(snapshot),
                "mean_path_len": args.mean, "max_path_len": args.max, "random_state": args.seed,
                "start": start, "format": args.format, "count": count, "shard": args.shard,
                "walks": sum(s["walks"] for s in shards), "tokens": sum(s["tokens"] for s in shards),
                "bytes": sum(s["bytes"] for s in shards), "shards": shards}
    write_json_atomically(output / "manifest.json", manifest)
    rate = manifest["walks"] / seconds if seconds > 0 else 0.0
    print(f"\n{manifest['walks']:,} walks, {manifest['tokens']:,} tokens, {manifest['bytes']:,} bytes "
          f"in {len(shards):,} shards on {workers} worker process{'es' if workers != 1 else ''}: "
          f"{seconds:.1f} s, {rate:,.0f} walks/s; manifest: {output / 'manifest.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
