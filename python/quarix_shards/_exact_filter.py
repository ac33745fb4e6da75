"""A shard's exact answers to selective filters.

A graph's filtered walk passes only through vectors that match the filter,
so a filter that few vectors match strands it short of k hits. A shard
therefore keeps its vectors and, per schema attribute, the ids holding each
value, and answers a filter matched by at most `exact_below` of its vectors
by measuring every match.

The distances are the graph's own, to the bit: terms in element order over
the first min(len(query), dim) elements, summed from 0.0 in that order (a
running sum, never numpy's pairwise one); angular divides by the square
roots of the whole stored vector's and the whole query's sums of squares.
"""

import array
import math

import numpy as np

_FIRST_ROOM = 16


def value_key(value):
    """A stored metadata value as a key under the filters' equality: kinds must agree, True is
    the integer 1, texts compare by their characters (so byte for byte), floats by IEEE equality
    (0.0 and -0.0 one key); None for a value that nothing matches (NaN)."""
    if isinstance(value, str):
        return ("text", value)
    if isinstance(value, int):
        return ("int", int(value))
    if value != value:
        return None
    return ("float", value + 0.0)


def running_sums(terms):
    """Per row, 0.0 + terms[0] + terms[1] + ... in that order."""
    rows = terms.shape[0]
    padded = np.empty((rows, terms.shape[1] + 1))
    padded[:, 0] = 0.0
    padded[:, 1:] = terms
    return np.add.accumulate(padded, axis=1)[:, -1]


class MatchedVectors:
    def __init__(self, dim, metric, schema, exact_below):
        self._dim = dim
        self._metric = metric or "euclidean"
        self._schema = list(schema or [])
        self.exact_below = exact_below
        # Made by the first rows stored, which prove the dimension real (numpy refuses the largest).
        self._rows = None
        self._count = 0
        self._norms = array.array("d")
        self._ids = [dict() for _ in self._schema]

    def add(self, rows, metadata):
        """Appends rows (a 2-D float64 array) with their metadata rows ([(name, value)] in schema
        order, or None each)."""
        needed = self._count + len(rows)
        held = 0 if self._rows is None else len(self._rows)
        if needed > held:
            # Grown by doubling what is stored, never by what a caller says it will store.
            grown = np.empty((max(needed, 2 * held, _FIRST_ROOM), self._dim))
            if held:
                grown[:self._count] = self._rows[:self._count]
            self._rows = grown
        self._rows[self._count:needed] = rows
        if self._metric == "angular":
            self._norms.extend(running_sums(rows * rows).tolist())
        for offset, row in enumerate(metadata if metadata is not None else [None] * len(rows)):
            if row is None:
                continue
            for j, (_, value) in enumerate(row):
                key = value_key(value)
                if key is not None:
                    self._ids[j].setdefault(key, array.array("q")).append(self._count + offset)
        self._count = needed

    def selective(self, filter):
        """The ids matching (attribute, value), ascending, when at most exact_below do (and
        exact_below is not 0); else None, and the graph answers."""
        name, value = filter
        if self.exact_below <= 0 or name not in self._schema:
            return None
        key = value_key(value)
        ids = array.array("q") if key is None else self._ids[self._schema.index(name)].get(key, array.array("q"))
        return ids if len(ids) <= self.exact_below else None

    def nearest(self, query, ids, k):
        """[(distance, vector, id)] of the k nearest of ids: smaller first, NaN last, ties to the smaller id."""
        if not len(ids):
            return []
        ids = np.frombuffer(ids, dtype=np.int64)
        query = np.asarray(query, dtype=np.float64)
        used = min(len(query), self._dim)
        rows = self._rows[ids, :used]
        head = query[:used]
        with np.errstate(all="ignore"):
            distances = self._distances(query, head, rows, ids)
        nan = np.isnan(distances)
        # Adding 0.0 makes -0.0 into 0.0; NaN sorts by the flag alone.
        order = np.lexsort((ids, np.where(nan, 0.0, distances) + 0.0, nan))[:k]
        return [(float(distances[i]), self._rows[ids[i]].tolist(), int(ids[i])) for i in order]

    def _distances(self, query, head, rows, ids):
        if self._metric == "euclidean":
            difference = head - rows
            distances = np.sqrt(running_sums(difference * difference))
        else:
            distances = running_sums(head * rows)
            if self._metric == "angular":
                query_norm = math.sqrt(float(running_sums((query * query).reshape(1, -1))[0]))
                norms = np.sqrt(np.frombuffer(self._norms, dtype=np.float64)[ids])
                distances = distances / (norms * query_norm)
        return distances
