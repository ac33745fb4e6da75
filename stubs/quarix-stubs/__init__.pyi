"""Type information for the quarix extension module."""

from collections.abc import Sequence
from typing import Literal, SupportsFloat, SupportsIndex, final

__all__ = ["PyFlat", "PyHNSW"]

# The aliases exist only for type checkers. They stay private: a public name
# would let `from quarix import ...` pass the checker and fail at run time.
# Anything whose items convert with float(): lists, tuples, bytes, ...
_Vector = Sequence[SupportsFloat | SupportsIndex]
_MetadataValue = str | int | float
# One vector's metadata: (attribute name, value) pairs.
_Metadata = Sequence[tuple[str, _MetadataValue]]
# An equality filter: (attribute name, value).
_Filter = tuple[str, _MetadataValue]
_HnswMetric = Literal["euclidean", "angular", "inner_product"]

@final
class PyFlat:
    """Our Python-facing Flat index."""

    def __new__(cls, dim: SupportsIndex, metric: str | None = None) -> PyFlat: ...
    def insert(self, vector: _Vector) -> None:
        """Insert a vector into the index."""
    def search(self, query: _Vector, k: SupportsIndex | None = None) -> list[tuple[int, float]]:
        """Search for the k nearest neighbors; returns `(id, distance)` tuples."""
    def create(self, vectors: Sequence[_Vector]) -> None:
        """Create an index from a list of vectors."""

@final
class PyHNSW:
    def __new__(
        cls,
        dim: SupportsIndex,
        layers: SupportsIndex | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        ef_search: SupportsIndex | None = None,
        metric: _HnswMetric | str | None = None,
        schema: Sequence[str] | None = None,
    ) -> PyHNSW: ...
    def insert(self, vector: _Vector, metadata: _Metadata | None = None) -> None:
        """Insert a vector into the index, optionally with metadata."""
    def search(
        self, query: _Vector, k: SupportsIndex | None = None, filter: _Filter | None = None
    ) -> list[tuple[float, list[float]]]:
        """Search for the k nearest neighbors; returns `(distance, vector)` tuples."""
    def create(self, vectors: Sequence[_Vector], metadata: Sequence[_Metadata] | None = None) -> None: ...
