"""Seeded, reproducible random walks over a knowledge graph of (head, relation, tail) triples."""

from collections.abc import Callable, Collection, Sequence
from os import PathLike
from typing import Literal, final

from typing_extensions import Buffer

__all__ = ["__doc__", "PathSampler"]

@final
class PathSampler:
    """Loads a tab-separated triple file and draws random walks through it.

    Each walk is a list of str: the start label, one relation per step with
    "::-->" (followed head to tail) or "::<--" (tail to head), the end label.
    """

    def __new__(cls, data_path: str, mean_path_len: float, max_path_len: int, random_state: int) -> PathSampler: ...
    @classmethod
    def load(
        cls, path: str | bytes | PathLike[str] | PathLike[bytes], mean_path_len: float, max_path_len: int,
        random_state: int
    ) -> PathSampler:
        """A sampler over the graph of a snapshot written by save(): the file is mapped read-only and shared
        (processes that load the same snapshot share one copy) and checked whole first (ValueError if it is
        not a valid snapshot). The walks are those of a sampler built from the triple file with the same
        arguments."""
    def node_ids(self, labels: Sequence[str]) -> Buffer:
        """The node ids of a sequence of labels, as an IdArray (for start=); KeyError for a label that is
        no node's."""
    def restrict(
        self,
        *,
        relations: Collection[str] | None = None,
        exclude_relations: Collection[str] | None = None,
        direction: Literal["both", "forward", "backward"] = "both",
    ) -> PathSampler:
        """A new sampler over the same nodes (ids, labels, tokens and arguments) whose walks take only the
        edges of `relations` (all if None) less those of `exclude_relations`, followed in `direction`
        ("forward": head to tail only; "backward": tail to head only). Its own stream 0 starts anew. A walk
        that reaches a node with no such edge ends there. KeyError for an unknown relation name."""
    def save(self, path: str | bytes | PathLike[str] | PathLike[bytes]) -> None:
        """Writes the graph to a snapshot file at `path`, whole or not at all; PathSampler.load opens it."""
    @property
    def data_size(self) -> int:
        """The number of triples (lines) read from the file."""
    @property
    def node_count(self) -> int:
        """The number of nodes: distinct head and tail labels. Node ids run from 0 to node_count - 1."""
    @property
    def tokens(self) -> Sequence[str]:
        """Token id to text: node labels (ids 0 to n - 1, in order of first occurrence), then for each
        relation in order of first occurrence "rel::-->" and "rel::<--". Each str is made on demand; slices,
        index() and count() work as on a list."""
    def sample_path(self) -> list[str]:
        """Draws one walk: a Poisson number of steps (plus one, capped at max_path_len)."""
    def sample_paths(self, count: int) -> list[list[str]]:
        """The next `count` walks of this sampler's own stream: what `count` calls of sample_path()
        would return, leaving the stream where they would. On failure the stream is left as it was."""
    def walk_ids(
        self, first: int, stop: int, *, threads: int = 0, start: Literal["random", "each"] | Buffer | Sequence[int] = "random",
        items: Literal["path", "full", "nodes"] = "path"
    ) -> tuple[Buffer, Buffer]:
        """Walks numbered first to stop - 1 as token ids: (ids, offsets), walk k being
        ids[offsets[k]:offsets[k + 1]]. ids are uint32 (format "I") while there are fewer than
        2**32 tokens, else uint64 ("Q"); offsets are uint64. threads=0 uses every CPU available.
        start="each" starts walk i at node i mod the node count instead of a drawn node; a sequence of
        node ids S (a buffer of integers or a sequence of int) starts walk i at node S[i mod len(S)].
        items="path" lists the start node, a relation per step and the end node; "full" every node and
        relation; "nodes" the nodes only (the route, and every draw, is the same)."""
    def walks(
        self, first: int, stop: int, *, threads: int = 0, start: Literal["random", "each"] | Buffer | Sequence[int] = "random",
        items: Literal["path", "full", "nodes"] = "path"
    ) -> list[list[str]]:
        """Walks numbered first to stop - 1 as lists of str; repeated tokens share one str."""
    def write_walks(
        self,
        path: str | bytes | PathLike[str] | PathLike[bytes] | int,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | Buffer | Sequence[int] = "random",
        items: Literal["path", "full", "nodes"] = "path",
        format: Literal["tsv", "words"] = "tsv",
        progress: Callable[[int], object] | None = None,
    ) -> tuple[int, int]:
        """Writes walks numbered first to stop - 1 to `path`, one per line in number order, and returns
        (walks, tokens) written. format="tsv": tokens separated by tabs; format="words": tokens with
        whitespace and "%" percent-escaped (urllib.parse.unquote reverses it), separated by spaces, for
        gensim's corpus_file. A regular file (or a symbolic link's target) is written whole or not at all
        (a temporary file renamed into place); a FIFO, device, socket or /dev/fd/N is written straight into;
        an int is an open file descriptor, written to as it is. `progress` is called with the number of
        walks written, at most about ten times a second; an exception raised in it stops the job."""
