"""One shard's exact index, kept as PyFlat pieces small enough to stay in cache.

A batch of queries passes over one piece at a time, so each piece's vectors
are read from memory once per batch rather than once per query; the pieces'
hits merge in the library's order, so answers equal one PyFlat's.
"""

import quarix

# Two pieces (one per core) fit in the last-level cache of common servers.
_PIECE_BYTES = 4 << 20


def flat_order(hit):
    """The library's order of (id, distance): smaller first (-0.0 equal to 0.0), NaN last, ties to the smaller id."""
    identifier, distance = hit
    nan = distance != distance
    return (nan, 0.0 if nan else distance, identifier)


class FlatPieces:
    def __init__(self, dim, metric, piece_vectors=None):
        self._dim = dim
        self._metric = metric
        self._capacity = piece_vectors or max(1024, _PIECE_BYTES // max(1, 8 * dim))
        self._pieces = []  # [first id, PyFlat, vectors held]

    def _open_piece(self):
        if not self._pieces or self._pieces[-1][2] == self._capacity:
            first = self._pieces[-1][0] + self._pieces[-1][2] if self._pieces else 0
            self._pieces.append([first, quarix.PyFlat(self._dim, self._metric), 0])
        return self._pieces[-1]

    def insert(self, vector):
        piece = self._open_piece()
        piece[1].insert(vector)
        piece[2] += 1

    def create(self, rows):
        done = 0
        while done < len(rows):
            piece = self._open_piece()
            take = min(self._capacity - piece[2], len(rows) - done)
            piece[1].create(rows[done:done + take])
            piece[2] += take
            done += take

    def search_many(self, queries, count):
        merged = [[] for _ in queries]
        for first, index, _ in self._pieces:
            search = index.search
            for hits, query in zip(merged, queries):
                hits.extend([(first + i, distance) for i, distance in search(query, count)])
        for hits in merged:
            hits.sort(key=flat_order)
            del hits[count:]
        return merged
