"""One shard: a Ray actor that owns one single index."""

import os
import pickle
import time

import numpy as np
import ray

import quarix
from quarix_shards._exact_filter import MatchedVectors


def _failure(error):
    """An exception the index raised, as one the driver can re-raise unchanged."""
    try:
        return pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


def hit_arrays(hits):
    """Exact hits, as many for every query, as an id array and a distance array (a row a query):
    arrays travel and merge far faster than lists of tuples."""
    pairs = np.array(hits, dtype=np.float64).reshape(len(hits), len(hits[0]), 2)
    return pairs[:, :, 0].astype(np.int64), np.ascontiguousarray(pairs[:, :, 1])


@ray.remote
class Shard:
    # The classes are reached through the module: Ray ships this class by value,
    # and the index types (named builtins.PyFlat and builtins.PyHNSW) cannot be
    # pickled by reference themselves.
    def __init__(self, kind, settings, exact_below=0):
        # One index per shard: a PyFlat's scan rules vectors out against the k-th best of all it holds,
        # which pieces of their own (each with its own bound) would loosen.
        self._exact = kind == "flat"
        self._index = quarix.PyFlat(**settings) if self._exact else quarix.PyHNSW(**settings)
        self._matched = None
        if not self._exact and exact_below > 0 and settings.get("schema"):
            self._matched = MatchedVectors(settings["dim"], settings.get("metric"), settings["schema"], exact_below)
        self._stored = 0

    def stored(self):
        return self._stored

    def node(self):
        return ray.get_runtime_context().get_node_id()

    def resident_bytes(self):
        """This shard's process size (Linux), for planning how many vectors a machine holds."""
        try:
            with open("/proc/self/statm") as statm:
                return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
        except OSError:
            return None

    def insert(self, vector, *metadata):
        try:
            self._index.insert(vector, *metadata)
            if self._matched is not None:
                self._matched.add(np.asarray(vector)[None, :], [metadata[0]] if metadata else None)
        except BaseException as error:
            return _failure(error)
        self._stored += 1
        return None

    def create(self, rows, *metadata):
        try:
            self._index.create(rows, *metadata)
            if self._matched is not None:
                self._matched.add(rows, metadata[0] if metadata else None)
        except BaseException as error:
            return _failure(error)
        self._stored += len(rows)
        return None

    def search_many(self, queries, k=None, filter=None):
        """Every query's hits, and the seconds the index itself spent on them. A graph shard says
        whether it answered exactly (a selective filter), and then each hit carries its id in the shard."""
        try:
            start = time.perf_counter()
            if self._exact:
                search = self._index.search
                answer = hit_arrays([search(query, k) for query in queries])
            else:
                ids = self._matched.selective(filter) if filter is not None and self._matched else None
                if ids is not None:
                    answer = True, [self._matched.nearest(query, ids, k) for query in queries]
                else:
                    answer = False, [self._index.search(query, k, filter) for query in queries]
            return answer, time.perf_counter() - start
        except BaseException as error:
            return _failure(error)
