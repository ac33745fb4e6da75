"""One shard: a Ray actor that owns one single index."""

import pickle
import time

import ray

import quarix


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
        self._index = quarix.PyFlat(**settings) if kind == "flat" else quarix.PyHNSW(**settings)
        self._stored = 0

    def stored(self):
        return self._stored

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
        search = self._index.search
        try:
            start = time.perf_counter()
            hits = [search(query, *arguments) for query in queries]
            return hits, time.perf_counter() - start
        except BaseException as error:
            return _failure(error)
