"""Seeded, reproducible random walks over a knowledge graph of (head, relation, tail) triples."""

from array import array
from collections.abc import Callable, Collection, Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, Generic, Literal, Protocol, TypeVar, final, overload, type_check_only

from _typeshed import SupportsRead
from typing_extensions import Buffer

__all__ = ["__doc__", "PathSampler"]

@type_check_only
class _HasArray(Protocol):
    """What numpy arrays (on every Python, declaring __buffer__ or not), torch tensors and pandas Series
    have: the runtime takes the array __array__() returns."""

    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...

# Integers or numbers in an array: anything with the buffer protocol or __array__.
_Array = Buffer | _HasArray

@type_check_only
class _ArrowStreamExportable(Protocol):
    """What pyarrow tables and readers, polars and pandas data frames have: the Arrow C stream interface."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

# What read() reads one file from: a path or a binary file object.
_ReadSource = str | bytes | PathLike[str] | PathLike[bytes] | SupportsRead[bytes]

@final
@type_check_only
class _IdArray(Sequence[int], Buffer):
    """Unsigned integers filled by vantrel (the module's IdArray): a read-only sequence of int, and through
    the buffer protocol or DLPack an array without a copy (memoryview, numpy.asarray, torch.from_dlpack)."""

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> int: ...
    @overload
    def __getitem__(self, index: slice) -> list[int]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __dlpack__(
        self,
        *,
        stream: None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> Any: ...
    def __dlpack_device__(self) -> tuple[int, int]: ...

_Batch = TypeVar("_Batch", covariant=True)

@final
@type_check_only
class _WalkBatches(Generic[_Batch]):
    """Walks by number in batches (the module's WalkBatches, from PathSampler.batches()): batches by
    position, each drawn when asked for, and in order when iterated; a slice is a WalkBatches of its own."""

    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[_Batch]: ...
    @overload
    def __getitem__(self, index: int) -> _Batch: ...
    @overload
    def __getitem__(self, index: slice) -> _WalkBatches[_Batch]: ...

@final
@type_check_only
class _IdTable(Sequence[tuple[int, int, int]], Buffer):
    """Rows of three unsigned integers (the module's IdArray of two dimensions): a read-only sequence of
    tuples, and through the buffer protocol an (n, 3) array without a copy."""

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> tuple[int, int, int]: ...
    @overload
    def __getitem__(self, index: slice) -> list[tuple[int, int, int]]: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __dlpack__(
        self,
        *,
        stream: None = None,
        max_version: tuple[int, int] | None = None,
        dl_device: tuple[int, int] | None = None,
        copy: bool | None = None,
    ) -> Any: ...
    def __dlpack_device__(self) -> tuple[int, int]: ...

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
    @classmethod
    def read(
        cls,
        source: _ReadSource | list[_ReadSource] | tuple[_ReadSource, ...],
        mean_path_len: float,
        max_path_len: int,
        random_state: int,
        *,
        format: Literal["tsv", "nt", "nq", "turtle", "trig", "rdfxml", "jsonld", "parquet"] | None = None,
        literals: Literal["keep", "drop"] = "keep",
        progress: Callable[[int], object] | None = None,
        canonical: bool = False,
        base: str | None = None,
        columns: Sequence[str] | None = None,
        time_column: int | None = None,
    ) -> PathSampler:
        """A sampler over the triples of `source`: a path (.gz, .bz2, .xz and .zst decompressed by their
        suffix, with Python's own modules; .zst needs compression.zstd or the zstandard package), a
        binary file object (read with readinto() or read()), a directory (its files whose suffix names a
        format, in sorted name order) or a list or tuple of these, read in turn as one graph (errors name
        the file; the blank nodes of each RDF file after the first get "@k" after their labels, k
        counting files from 0, so that two files' _:b0 are two nodes). format is "tsv" (the constructor's rules:
        the same file gives the same graph), "nt" (N-Triples), "nq" (N-Quads, the graph term ignored),
        "turtle", "trig" (the graph ignored), "rdfxml" or "jsonld" (through pyoxigraph: pip install
        pyoxigraph, or '.[rdf]' in a clone), told from the name's suffix (.tsv, .txt, .nt, .nq, .ttl, .trig,
        .rdf, .owl, .xml, .jsonld, under any compression suffix) when not given. Relative IRIs resolve against the
        document's @base or BASE, else `base` (an absolute IRI); with neither they are an error.
        RDF terms become labels in one canonical spelling: IRIs without brackets, escapes decoded;
        blank nodes as written; literals quoted and re-escaped, with "@" and the tag in lower case or
        "^^<datatype>" (xsd:string left out). literals="drop" leaves out triples whose object is a
        literal. A syntax error raises ValueError naming the line. `progress` is called with the bytes
        read so far (of the compressed file, for a compressed path), at most about ten times a second.
        canonical=True builds the graph in an order that depends only on the multiset of triples: nodes
        and relations numbered by their labels' bytes, triples sorted by (head, relation, tail) label, so
        that the same triples in any order or format give the same graph, snapshots and walks. A path
        ending in .parquet (or format="parquet") is a Parquet file, read through pyarrow (pip install
        pyarrow, or '.[parquet]' in a clone) as from_arrow() reads a table of labels: its three columns, or
        the three that `columns` names, in that order. time_column=k (3 or more) reads a time from column
        k of each tab-separated line (an integer, a decimal number, or an ISO 8601 date or date-time, as
        seconds since 1970-01-01T00:00:00Z), with the spaces around every field trimmed: triple_times()
        then gives them, and temporal() walks by them. A line without a time raises ValueError naming
        it."""
    @classmethod
    def from_ids(
        cls, triples: _Array, node_labels: Sequence[str], relation_labels: Sequence[str], mean_path_len: float,
        max_path_len: int, random_state: int, *, canonical: bool = False,
        times: _Array | Sequence[float] | None = None
    ) -> PathSampler:
        """A sampler over an n x 3 integer array of (head, relation, tail) ids (numpy, a torch tensor,
        PyKEEN's mapped_triples), with the labels of those ids. Node ids are the given ones, so walks
        follow this numbering; labels that no triple uses are nodes too, and a walk that starts at one of
        them is [label, label]. The array is read where it lies, not copied. ValueError names the first
        id out of range, a wrong shape or a repeated label. canonical=True renumbers as read() does.
        times, one number per row, are the triples' times (triple_times(), temporal()), as temporal()
        takes them; not with canonical=True, which reorders the rows."""
    @classmethod
    def from_arrow(
        cls,
        table: _ArrowStreamExportable,
        mean_path_len: float,
        max_path_len: int,
        random_state: int,
        *,
        node_labels: Sequence[str] | None = None,
        relation_labels: Sequence[str] | None = None,
        canonical: bool = False,
    ) -> PathSampler:
        """A sampler over a table of three columns, head, relation and tail, taken through the Arrow C
        stream interface (__arrow_c_stream__: a pyarrow Table or RecordBatchReader, a polars or pandas
        DataFrame), without pyarrow. Columns of strings (utf8, large_utf8 or utf8_view, dictionary-encoded
        or not) give the graph, tokens and walks of the tab-separated file of the same rows; columns of
        integers are ids, read as from_ids() reads an array, with node_labels and relation_labels then
        required. ValueError for a null, a label holding a tab or a line feed, or an id out of range;
        TypeError for a column of another type or a table of other than three columns."""
    def node_ids(self, labels: Sequence[str]) -> _IdArray:
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
    def metapath(self, pattern: Sequence[str | int]) -> PathSampler:
        """A new sampler over the same graph whose step k (from 0) takes only edges of relation token
        pattern[k % len(pattern)] ("wrote::-->" forward, "wrote::<--" backward, or its token id),
        uniformly among them, leaving the edge just used out unless it is the only one; a walk ends at a
        node without one. Its own stream 0 starts anew; restrict() keeps the pattern. KeyError for a text
        that is no relation token, ValueError for an id that is none, an empty pattern, a biased sampler."""
    def biased(
        self,
        *,
        edge_weights: _Array | Sequence[float] | None = None,
        relation_weights: Mapping[str, float] | None = None,
        node_weights: _Array | Sequence[float] | None = None,
        p: float = 1.0,
        q: float = 1.0,
    ) -> PathSampler:
        """A new sampler over the same graph whose steps are weighted: an edge e to node x weighs
        edge_weights[e] * relation_weights[relation of e] * node_weights[x] (a factor not given is 1), and
        node2vec's return parameter p and in-out parameter q bias each step by where it came from. No candidate
        is left out: a biased walk may step straight back. edge_weights follows the rows of triple_ids().
        ValueError for a weight that is negative, NaN or infinite, or a wrong length; KeyError for an unknown
        relation name."""
    def temporal(
        self,
        times: _Array | Sequence[float] | None = None,
        *,
        direction: Literal["forward", "backward"] = "forward",
        strict: bool = False,
        window: float | None = None,
        decay: float | None = None,
    ) -> PathSampler:
        """A new sampler over the same graph whose walks respect time: times gives each triple's time, in the
        rows of triple_ids() (int64 from integers, float64 from floats; None: the sampler's own). A walk's
        first step is uniform; each later step takes a fact at or after (direction="forward") or at or before
        ("backward") the time of the step before, not at it when strict, at most window away, uniformly or,
        with decay, weighted by exp(-|t - t0| / decay) towards the nearest in time; the edge just used is left
        out unless it is the only one, and a walk ends where no fact is allowed. Its own stream 0 starts
        anew; restrict() keeps the times. ValueError for a time that is NaN or infinite, a wrong length, a
        negative window, a decay that is not positive, a biased or metapath sampler."""
    def triple_ids(self) -> _IdTable:
        """The graph as read as an (n, 3) array with the buffer protocol: rows of (head node id, relation id,
        tail node id), every triple in input order (a restricted sampler's parent's, walkable or not)."""
    def triple_times(self) -> array[Any]:
        """The time of each triple of the graph as read, in the rows of triple_ids(), as read(...,
        time_column=k), from_ids(..., times=) or temporal(times) gave them: an array.array of int64
        ("q") or float64 ("d"), a copy. ValueError where the sampler knows no times."""
    def save(self, path: str | bytes | PathLike[str] | PathLike[bytes]) -> None:
        """Writes the graph to a snapshot file at `path`, whole or not at all; PathSampler.load opens it."""
    @property
    def data_size(self) -> int:
        """The number of triples the sampler can walk: for a graph as read, every triple read (the lines
        of a triple file, the statements kept of an RDF file, the rows of from_ids); for a restricted
        sampler, the triples its restriction keeps."""
    @property
    def node_count(self) -> int:
        """The number of nodes: distinct head and tail labels. Node ids run from 0 to node_count - 1."""
    @property
    def tokens(self) -> Sequence[str]:
        """Token id to text: node labels (ids 0 to n - 1, in order of first occurrence, or from_ids's own
        ids), then for each relation in the same order "rel::-->" and "rel::<--". Each str is made on demand; slices,
        index() and count() work as on a list."""
    @property
    def relations(self) -> Sequence[str]:
        """Relation id to label, a read-only sequence of str (made on demand, as tokens'): relation r's
        tokens are node_count + 2 * r ("label::-->") and the one after it ("label::<--")."""
    @property
    def relation_count(self) -> int:
        """The number of relations. Relation ids run from 0 to relation_count - 1."""
    def sample_path(self) -> list[str]:
        """Draws one walk: a Poisson number of steps (plus one, capped at max_path_len)."""
    def sample_paths(self, count: int) -> list[list[str]]:
        """The next `count` walks of this sampler's own stream: what `count` calls of sample_path()
        would return, leaving the stream where they would. On failure the stream is left as it was."""
    @overload
    def walk_ids(
        self,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["path", "full", "nodes", "edges"] = "path",
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: _Array | Sequence[int] | None = None,
        length: int | None = None,
    ) -> tuple[_IdArray, _IdArray]:
        """Walks numbered first to stop - 1 as token ids: (ids, offsets), walk k being
        ids[offsets[k]:offsets[k + 1]]. ids are uint32 (format "I") while there are fewer than
        2**32 tokens, else uint64 ("Q"); offsets are uint64. threads=0 uses every CPU available.
        start="each" starts walk i at node i mod the node count instead of a drawn node; a sequence of
        node ids S (a buffer of integers or a sequence of int) starts walk i at node S[i mod len(S)].
        items="path" lists the start node, a relation per step and the end node; "full" every node and
        relation; "nodes" the nodes only (the route, and every draw, is the same); "edges" the row in
        triple_ids() of each step's triple (ids uint32 below 2**32 triples, else uint64).
        position="mid" draws each walk through its start node (the focus): a route back from it,
        reversed, then one ahead. unique=True leaves out each walk whose items repeat those of a walk of
        a smaller number in this call (offsets describe the kept walks). relabel, a node id per node,
        lists each node item but the focus at its own place as relabel[node] (type walks: each node's
        class); not with items="edges". length=L (an int >= 0) gives every walk L steps, fewer only where
        it reaches a dead end, with no length drawn (walk i's stream starts at its start draw); None, the
        default, draws the sampler's Poisson lengths. With length=L, no dead end and items="nodes", ids
        reshape to (stop - first, L + 1). On a temporal sampler, items="times" lists the time of each
        step's triple, ids then being an array.array of int64 ("q") or float64 ("d"), as its times are."""
    @overload
    def walk_ids(
        self,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["times"],
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: None = None,
        length: int | None = None,
    ) -> tuple[array[Any], _IdArray]: ...
    @overload
    def walks(
        self,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["path", "full", "nodes"] = "path",
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: _Array | Sequence[int] | None = None,
        length: int | None = None,
    ) -> list[list[str]]:
        """Walks numbered first to stop - 1 as walk_ids() draws them, as lists of str (repeated tokens
        sharing one str), or of int for items="edges", or of int or float for items="times"."""
    @overload
    def walks(
        self,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["edges"],
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: None = None,
        length: int | None = None,
    ) -> list[list[int]]: ...
    @overload
    def walks(
        self,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["times"],
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: None = None,
        length: int | None = None,
    ) -> list[list[int]] | list[list[float]]: ...
    @overload
    def batches(
        self,
        first: int,
        stop: int,
        batch_size: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["path", "full", "nodes", "edges"] = "path",
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: _Array | Sequence[int] | None = None,
        length: int | None = None,
        tensors: Literal[False] = False,
    ) -> _WalkBatches[tuple[_IdArray, _IdArray]]:
        """Walks numbered first to stop - 1 in batches of batch_size walks (the last may hold fewer), for
        training loops: a read-only sequence whose item i is walk_ids(first + i * batch_size, ...) of the
        batch's walks with the other arguments as given, drawn when the item is asked for. unique=True
        leaves out repeats within each batch. tensors=True gives each batch as two torch tensors of int64
        (ids, offsets) instead of IdArrays: a DataLoader(batches, batch_size=None) then takes it as it is,
        its workers each drawing the batches they are given; the batches, and their order, are the same
        for any number of workers. A slice is a sequence of batches of its own: batches[rank::ranks] is
        one rank's share, batches[k:] resumes after batch k."""
    @overload
    def batches(
        self,
        first: int,
        stop: int,
        batch_size: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["path", "full", "nodes", "edges"] = "path",
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: _Array | Sequence[int] | None = None,
        length: int | None = None,
        tensors: Literal[True],
    ) -> _WalkBatches[tuple[Any, Any]]: ...
    def write_walks(
        self,
        path: str | bytes | PathLike[str] | PathLike[bytes] | int,
        first: int,
        stop: int,
        *,
        threads: int = 0,
        start: Literal["random", "each"] | _Array | Sequence[int] = "random",
        items: Literal["path", "full", "nodes", "edges", "times"] = "path",
        position: Literal["start", "mid"] = "start",
        unique: bool = False,
        relabel: _Array | Sequence[int] | None = None,
        format: Literal["tsv", "words", "jsonl"] = "tsv",
        progress: Callable[[int], object] | None = None,
        length: int | None = None,
    ) -> tuple[int, int]:
        """Writes walks numbered first to stop - 1 to `path`, one per line in number order, and returns
        (walks, tokens) written. format="tsv": tokens separated by tabs; format="words": tokens with
        whitespace and "%" percent-escaped (urllib.parse.unquote reverses it), separated by spaces, for
        gensim's corpus_file; format="jsonl": a JSON list of the tokens per line, as
        json.dumps(walk, ensure_ascii=False) writes it. A regular file (or a symbolic link's target) is
        written whole or not at all (a temporary file renamed into place, with the mode of the file it
        replaces); a FIFO, device, socket or /dev/fd/N is written straight into;
        an int is an open file descriptor, written to as it is. `progress` is called with the number of
        walks done (written, or left out as repeats), at most about ten times a second; an exception raised
        in it stops the job.
        items, position, unique, relabel and length are walk_ids()'s; edges are written as decimal numbers, and
        unique=True keeps 16 bytes (in a table at most 3/4 full) per distinct walk."""
