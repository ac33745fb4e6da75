"""A slow, plain-Python reference of PyHNSW that follows the algorithm literally.

The extension stores one de-duplicated link list per node and skips layers
that cannot change a walk; this reference does none of that. It keeps the
graph in its literal form: one flat `neighbors` array cut into
per-node segments by `segment_starts`, back-links inserted at the end of the
target's segment (shifting everything after it), and every repeated id and
self-link left in place. Walks use a Python set and heapq. Results of the two
must agree bit for bit, which is what tests/test_hnsw_differential.py checks.

Level draws are the one thing the reference cannot share with the extension
(its generator is seeded from the operating system): with two layers or more,
each insertion into a non-empty index takes its level from the `level`
argument or else from `planned_levels`, an iterator that a test fills with the
levels the extension is known to draw next. With fewer layers every draw gives
the same level and nothing needs planning.
"""

from __future__ import annotations

import heapq
import math
import operator
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

from reference_metrics import cosine_similarity, euclidean_distance, inner_product

WORD = 2**64  # sizes are unsigned machine words: layers - 1 wraps for 0 layers

Value = tuple[str, Any]  # ("str", bytes) | ("int", int) | ("float", float)
Hit = tuple[float, int]


METRICS: dict[str, Callable[[Sequence[float], Sequence[float]], float]] = {
    "euclidean": euclidean_distance,
    "angular": cosine_similarity,
    "inner_product": inner_product,
}


def distance_less(a: float, b: float) -> bool:
    """The distance order: -0.0 == 0.0, NaN after every number and equal to NaN."""
    if a != a:
        return False
    if b != b:
        return True
    return a < b


def order_key(d: float) -> tuple[int, float]:
    return (1, 0.0) if d != d else (0, d)


def insert_position(results: list[Hit], d: float) -> int:
    size = len(results)
    base = 0
    while size > 1:
        half = size // 2
        mid = base + half
        if not distance_less(d, results[mid][0]):
            base = mid
        size -= half
    return base + 1 if distance_less(results[base][0], d) else base


def to_metadata_value(obj: object) -> Value | None:
    """str, then a signed 64-bit integer, then a double; None when all three refuse."""
    if isinstance(obj, str):
        try:
            return ("str", obj.encode("utf-8"))
        except UnicodeEncodeError:
            pass
    try:
        integer = operator.index(obj)  # type: ignore[arg-type]
    except TypeError:
        integer = None
    if integer is not None and -(2**63) <= integer < 2**63:
        return ("int", integer)
    # As a C-level float conversion: __float__, else __index__; float() would
    # also parse texts and bytes, which this conversion refuses.
    kind = type(obj)
    try:
        if hasattr(kind, "__float__"):
            return ("float", float(kind.__float__(obj)))
        if hasattr(kind, "__index__"):
            return ("float", float(operator.index(obj)))  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        pass
    return None


def metadata_equal(a: Value, b: Value) -> bool:
    # Kinds never mix (1 is not 1.0); floats compare by IEEE equality.
    return a[0] == b[0] and a[1] == b[1]


class HnswFailure(Exception):
    def __init__(self, kind: str) -> None:
        super().__init__(kind)
        self.kind = kind


class ModelHNSW:
    """The same constructor, methods and messages as quarix.PyHNSW."""

    def __init__(
        self,
        dim: int,
        layers: int | None = None,
        m: int | None = None,
        ef_construction: int | None = None,
        ef_search: int | None = None,
        metric: str | None = None,
        schema: Sequence[str] | None = None,
    ) -> None:
        if metric not in METRICS:
            raise ValueError("Unsupported metric")
        self.distance = METRICS[metric]
        self.dim = dim
        self.layers = 5 if layers is None else layers
        self.m = 16 if m is None else m
        self.ef_construction = 200 if ef_construction is None else ef_construction
        self.ef_search = 50 if ef_search is None else ef_search
        self.schema = None if schema is None else list(schema)
        self.planned_levels: Iterator[int] | None = None
        self.level_weights = [math.exp(-float(j)) for j in range(self.layers)]

        self.vectors: list[float] = []
        self.neighbors: list[int] = []
        self.segment_starts: list[int] = []
        self.levels: list[int] = []
        self.deleted: list[int] = []
        self.metadata: list[Value] = []
        # Where each node's row starts in `metadata`, None for a node stored
        # without one (such a node fails every filter).
        self.row_starts: list[int | None] = []

    # ---- graph reading -------------------------------------------------

    @property
    def node_count(self) -> int:
        return len(self.levels)

    def vector(self, node: int) -> list[float]:
        return self.vectors[node * self.dim : (node + 1) * self.dim]

    def segment_end(self, node: int) -> int:
        if node + 1 < len(self.segment_starts):
            return self.segment_starts[node + 1]
        return len(self.neighbors)

    def segment(self, node: int) -> list[int]:
        start = self.segment_starts[node] if node < len(self.segment_starts) else 0
        return self.neighbors[start : self.segment_end(node)]

    def draw_level(self, u: float) -> int:
        total = 0.0
        for weight in self.level_weights:
            total += weight
        target = total * u
        running = 0.0
        for j, weight in enumerate(self.level_weights):
            running += weight
            if running > target:
                return j
        return (self.layers - 1) % WORD

    # ---- layer search --------------------------------------------------

    def resolve_filter(self, flt: tuple[str, Value] | None) -> tuple[int, Value] | None:
        if flt is None:
            return None
        if self.schema is None:
            raise HnswFailure("NoSchema")
        if not self.schema:
            raise HnswFailure("EmptySchema")
        name, value = flt
        for j, attribute in enumerate(self.schema):
            if attribute.encode("utf-8") == name.encode("utf-8"):
                return j, value
        raise HnswFailure("AttributeNotFound")

    def matches(self, node: int, resolved: tuple[int, Value]) -> bool:
        start = self.row_starts[node]
        if start is None:
            return False
        j, value = resolved
        return metadata_equal(self.metadata[start + j], value)

    def search_layer(
        self, entry: int, query: Sequence[float], ef: int, layer: int, flt: tuple[str, Value] | None
    ) -> list[Hit]:
        if ef == 0:
            raise HnswFailure("InvalidEF")
        if layer >= self.layers:
            raise HnswFailure("InvalidLayer")
        resolved = self.resolve_filter(flt)

        d0 = self.distance(query, self.vector(entry))
        results: list[Hit] = [(d0, entry)]
        candidates = [(order_key(d0), entry, d0)]
        visited = {entry}
        while candidates:
            _, current, cd = heapq.heappop(candidates)
            if distance_less(results[-1][0], cd):
                break
            for n in self.segment(current):
                if self.levels[n] < layer:
                    continue
                if resolved is not None and not self.matches(n, resolved):
                    continue
                if n in visited:
                    continue
                visited.add(n)
                d = self.distance(query, self.vector(n))
                if len(results) < ef or d < results[-1][0]:
                    heapq.heappush(candidates, (order_key(d), n, d))
                    results.insert(insert_position(results, d), (d, n))
                    if len(results) > ef:
                        results.pop()
        return results

    # ---- insertion -----------------------------------------------------

    def insert_node(self, vector: Sequence[float], row: list[Value] | None, level: int | None) -> None:
        if len(vector) != self.dim:
            raise ValueError(f"Expected vector of length {self.dim}, got {len(vector)}")
        if not self.vectors:
            self.store(vector, (self.layers - 1) % WORD, row)
            self.segment_starts.append(0)
            return
        if level is None:
            if self.layers < 2:
                level = self.draw_level(0.5)  # every draw gives this level
            elif self.planned_levels is None:
                raise AssertionError("the reference draws no random levels: pass or plan them")
            else:
                level = next(self.planned_levels)
        self.store(vector, level, row)
        node = self.node_count - 1
        entry = 0
        for layer in range(self.layers):
            if layer < level:
                entry = self.search_layer(entry, vector, 1, layer, None)[0][1]
                continue
            found = self.search_layer(entry, vector, self.ef_construction, layer, None)
            own: list[int] = []
            for _, n in found:
                own.append(n)
                if n >= len(self.segment_starts):
                    raise HnswFailure("InvalidNodeID")
                self.neighbors.insert(self.segment_end(n), node)
                for later in range(n + 1, len(self.segment_starts)):
                    self.segment_starts[later] += 1
            if node >= len(self.segment_starts):
                self.segment_starts.append(len(self.neighbors))
            self.neighbors.extend(own)
            entry = node

    def store(self, vector: Sequence[float], level: int, row: list[Value] | None) -> None:
        self.vectors.extend(float(x) for x in vector)
        self.levels.append(level)
        self.deleted.append(0)
        if row is None:
            self.row_starts.append(None)
        else:
            self.row_starts.append(len(self.metadata))
            self.metadata.extend(row)

    # ---- query -----------------------------------------------------------

    def knn_search(self, query: Sequence[float], k: int, flt: tuple[str, Value] | None) -> list[Hit]:
        if not self.vectors:
            return []
        entry = 0
        layer = (self.layers - 1) % WORD
        while layer >= 1:
            n = self.search_layer(entry, query, 1, layer, flt)[0][1]
            if self.deleted[n]:
                break
            entry = n
            layer -= 1
        found = self.search_layer(entry, query, self.ef_search, 0, flt)
        resolved = self.resolve_filter(flt)
        out: list[Hit] = []
        for hit in found:
            if self.deleted[hit[1]]:
                continue
            if resolved is not None and not self.matches(hit[1], resolved):
                continue
            out.append(hit)
            if len(out) >= k:
                break
        return out

    # ---- the Python-facing methods ----------------------------------------

    def assemble_row(self, pairs: Iterable[tuple[str, object]]) -> list[Value]:
        assert self.schema is not None
        by_name = {name: obj for name, obj in pairs}
        row = []
        for name in self.schema:
            if name not in by_name:
                raise ValueError(f"Missing metadata for attribute '{name}'")
            value = to_metadata_value(by_name[name])
            if value is None:
                raise ValueError(f"Unsupported metadata type for attribute '{name}'")
            row.append(value)
        return row

    def insert(
        self, vector: Sequence[float], metadata: Sequence[tuple[str, object]] | None = None, *, level: int | None = None
    ) -> None:
        row = None
        if metadata is not None:
            if self.schema is None:
                raise ValueError("No schema provided in HNSW instance; cannot use metadata")
            row = self.assemble_row(metadata)
        try:
            self.insert_node(vector, row, level)
        except HnswFailure as failure:
            raise ValueError(f"Insert error: {failure.kind}") from None

    def create(
        self,
        vectors: Sequence[Sequence[float]],
        metadata: Sequence[Sequence[tuple[str, object]]] | None = None,
        *,
        levels: Sequence[int] | None = None,
    ) -> None:
        rows: list[list[Value]] | None = None
        if metadata is not None:
            if len(metadata) != len(vectors):
                raise ValueError("Length of metadata list must match number of vectors")
            if self.schema is None:
                raise ValueError("No schema provided in HNSW instance; cannot use metadata")
            rows = [self.assemble_row(pairs) for pairs in metadata]
        if not vectors:
            raise ValueError("Create error: EmptyVectors")
        for vector in vectors:
            if len(vector) != self.dim:
                raise ValueError(f"Vector length {len(vector)} does not match index dimension {self.dim}")
        for i, vector in enumerate(vectors):
            try:
                self.insert_node(vector, None if rows is None else rows[i], None if levels is None else levels[i])
            except HnswFailure as failure:
                raise ValueError(f"Create error: {failure.kind}") from None

    def search(
        self, query: Sequence[float], k: int | None = None, filter: tuple[str, object] | None = None
    ) -> list[tuple[float, list[float]]]:
        flt = None
        if filter is not None:
            if self.schema is None:
                raise ValueError("No schema provided in HNSW instance; cannot use metadata filtering")
            value = to_metadata_value(filter[1])
            if value is None:
                raise ValueError("Unsupported type for metadata filter")
            flt = (filter[0], value)
        try:
            hits = self.knn_search([float(x) for x in query], 1 if k is None else k, flt)
        except HnswFailure as failure:
            raise ValueError(f"Search error: {failure.kind}") from None
        return [(d, self.vector(n)) for d, n in hits]
