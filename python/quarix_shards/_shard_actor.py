"""One shard: a Ray actor that owns one single index."""

import os
import pickle
import time

import ray

import quarix
from quarix_shards._flat_pieces import FlatPieces


def _failure(error):
    """An exception the index raised, as one the driver can re-raise unchanged."""
    try:
        return pickle.loads(pickle.dumps(error))
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


@ray.remote
class Shard:
    # The classes are reached through the module: Ray ships this class by value,
    # and the index types (named builtins.PyFlat and builtins.PyHNSW) cannot be
    # pickled by reference themselves.
    def __init__(self, kind, settings):
        self._index = FlatPieces(**settings) if kind == "flat" else quarix.PyHNSW(**settings)
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
            if isinstance(self._index, FlatPieces):
                hits = self._index.search_many(queries, *arguments)
            else:
                search = self._index.search
                hits = [search(query, *arguments) for query in queries]
            return hits, time.perf_counter() - start
        except BaseException as error:
            return _failure(error)
