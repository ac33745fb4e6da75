"""One shard: a Ray actor that owns one single index."""

import os
import pickle
import time

import numpy as np
import ray

import quarix


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
    def __init__(self, kind, settings):
        # One index per shard: a PyFlat's scan rules vectors out against the k-th best of all it holds,
        # which pieces of their own (each with its own bound) would loosen.
        self._exact = kind == "flat"
        self._index = quarix.PyFlat(**settings) if self._exact else quarix.PyHNSW(**settings)
        self._stored = 0

    def stored(self):
        return self._stored

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
        except BaseException as error:
            return _failure(error)
        self._stored += 1
        return None

    def create(self, rows, *metadata):
        try:
            self._index.create(rows, *metadata)
        except BaseException as error:
            return _failure(error)
        self._stored += len(rows)
        return None

    def search_many(self, queries, *arguments):
        """Every query's hits, and the seconds the index itself spent on them."""
        try:
            start = time.perf_counter()
            search = self._index.search
            hits = [search(query, *arguments) for query in queries]
            seconds = time.perf_counter() - start
            return (hit_arrays(hits) if self._exact else hits), seconds
        except BaseException as error:
            return _failure(error)
