"""Every call is judged by a scratch single index before anything is sent.

A scratch index has the settings of the sharded one and holds at most one
vector, so each check raises exactly the exception (type and message) that a
single index would raise for the same arguments, and a call that fails stores
nothing in any shard.
"""

from quarix import PyFlat, PyHNSW

_EMPTY_FLAT = "Search error: EmptyIndex"
# With ef_construction=0 a scratch graph stores its first vector and refuses
# the second: by then every conversion and row of `create` has been checked.
_SECOND_REFUSED = "Create error: InvalidEF"


def _is_value_error(error, text):
    return type(error) is ValueError and error.args == (text,)


class FlatChecks:
    def __init__(self, dim, metric):
        self._dim = dim
        self._metric = metric
        self._empty = PyFlat(dim, metric)

    def insert(self, vector):
        PyFlat(self._dim, self._metric).insert(vector)

    def create(self, vectors):
        PyFlat(self._dim, self._metric).create(vectors)

    def search(self, query, k, stored):
        """Raises what PyFlat.search would on an index holding `stored` vectors, short of searching."""
        try:
            self._empty.search(query, k)
        except ValueError as error:
            if stored and _is_value_error(error, _EMPTY_FLAT):
                return
            raise


class GraphChecks:
    def __init__(self, settings):
        self._settings = dict(settings)
        self._probe_settings = dict(settings, ef_construction=0)
        self._empty = PyHNSW(**self._settings)

    def _probe(self):
        return PyHNSW(**self._probe_settings)

    def insert(self, vector, metadata):
        self._probe().insert(vector, metadata)

    def create(self, vectors, metadata):
        try:
            self._probe().create(vectors, metadata)
        except ValueError as error:
            if not _is_value_error(error, _SECOND_REFUSED):
                raise

    def search(self, query, k, filter):
        self._empty.search(query, k, filter)
