"""What the benchmarks share: where things are, memory readings, and one
construction measured in a fresh process (this file, run as a script, is
that process)."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
SHARED_DATA = HERE.parent.parent / "shared" / "data"
ROOT = HERE.parent
# The benchmarks' own modules, and the exact port, which is the tests' oracle.
sys.path[:0] = [str(HERE), str(ROOT / "tests")]

from memory_use import rss_mib, status_mib  # noqa: E402,F401  (the benchmarks import them from here)


def make_sampler(kind: str, path: str, mean: float, cap: int, seed: int = 0):
    if kind == "vantrel":
        import vantrel

        return vantrel.PathSampler(path, mean, cap, seed)
    if kind == "naive":
        from naive_baseline import NaivePathSampler

        return NaivePathSampler(path, mean, cap, seed)
    from exact_port import ExactPathSampler

    return ExactPathSampler(path, mean, cap, seed)


def call_rate(call, count) -> float:
    """The rate of one call: count(result) per second of the call alone (not
    counting, and not freeing the result)."""
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    rate = count(result) / seconds
    del result
    return rate


def child_construct(kind: str, path: str) -> None:
    """Runs in a fresh process: one construction, reported as JSON."""
    import gc

    if kind == "vantrel":
        import vantrel  # noqa: F401  (imported before the baseline is taken)
    gc.collect()
    baseline = rss_mib()
    start = time.perf_counter()
    sampler = make_sampler(kind, path, 4.0, 10)
    seconds = time.perf_counter() - start
    gc.collect()
    # The high-water mark of this process's own memory; ru_maxrss would also
    # count the parent's, carried over through fork and exec.
    peak = status_mib("VmHWM")
    print(json.dumps({"seconds": seconds, "peak_mib": peak, "baseline_mib": baseline,
                      "retained_mib": rss_mib() - baseline, "triples": sampler.data_size}))


def construct_once(kind: str, path: str, module_dir: str | None = None) -> dict:
    """One construction in a fresh process; `module_dir`: a directory whose
    vantrel (an earlier build, say) that process imports instead."""
    env = dict(os.environ, PYTHONPATH=module_dir) if module_dir else None
    out = subprocess.run([sys.executable, __file__, kind, path], check=True,
                         capture_output=True, text=True, env=env).stdout
    return json.loads(out)


if __name__ == "__main__":
    child_construct(sys.argv[1], sys.argv[2])
