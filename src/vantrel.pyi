"""Seeded, reproducible random walks over a knowledge graph of (head, relation, tail) triples."""

from typing import final

__all__ = ["__doc__", "PathSampler"]

@final
class PathSampler:
    """Loads a tab-separated triple file and draws random walks through it.

    Each walk is a list of str: the start label, one relation per step with
    "::-->" (followed head to tail) or "::<--" (tail to head), the end label.
    """

    def __new__(cls, data_path: str, mean_path_len: float, max_path_len: int, random_state: int) -> PathSampler: ...
    @property
    def data_size(self) -> int:
        """The number of triples (lines) read from the file."""
    def sample_path(self) -> list[str]:
        """Draws one walk: a Poisson number of steps (plus one, capped at max_path_len)."""
