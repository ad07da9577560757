"""Child process of the benchmark: GRAPE's random walks on one graph, as JSON.

    RAYON_NUM_THREADS=1 python bench/grape_walks.py kg.tsv WALKS RUNS

GRAPE (pip install grape) is an optional peer: its thread count is fixed by
RAYON_NUM_THREADS when its thread pool starts, hence a process per setting.
Walks of 6 nodes (5 steps), the length of vantrel's average walk at mean 4.
"""

import json
import sys
import time

from grape import Graph


def main() -> int:
    path, walks, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    graph = Graph.from_csv(edge_path=path, sources_column_number=0, destinations_column_number=2,
                           edge_list_edge_types_column_number=1, directed=False, edge_list_header=False,
                           edge_list_separator="\t", verbose=False)
    seconds = []
    for run in range(runs):
        start = time.perf_counter()
        graph.random_walks(walk_length=6, quantity=walks, random_state=run)
        seconds.append(time.perf_counter() - start)
    print(json.dumps({"steps_per_s": [5 * walks / s for s in seconds]}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
