"""Write random walks from a knowledge graph, one walk per line: the main job,
which `pip install vantrel` installs as the command `vantrel-walks`.

    python examples/random_walks.py                      # the bundled example graph
    python examples/random_walks.py kg.tsv --count 10000000 --threads 0 -o walks.tsv
    python examples/random_walks.py kg.tsv --each 10 --format words -o corpus.txt   # 10 walks per node, for Word2Vec
    python examples/random_walks.py kg.tsv --jsonl       # JSON lines instead of tabs
    python examples/random_walks.py dump.nt.gz --drop-literals --count 1000000 -o walks.tsv   # an RDF dump

`vantrel-walks --help` lists every option.
"""

import pathlib
import sys

try:
    from vantrel_cli import main
except ImportError:  # a clone whose package is not installed: the command's source beside it
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
    from vantrel_cli import main

if __name__ == "__main__":
    sys.exit(main())
