"""Driver-side copies of the values a single index would store.

Every input is first judged by a scratch single index (see _checks), so
these functions only run on input the module accepted; they produce the same
doubles and metadata values the module's own conversion would, as plain
float64 arrays and str/int/float objects that travel to the shards cheaply.
"""

import array
import operator

import numpy as np

_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def as_double(item):
    """One element as the module reads it (no str parsing, float subclasses by value)."""
    if type(item) is float:
        return item
    if isinstance(item, float):
        return float.__float__(item)
    return float(item)


def _native_double_buffer(obj, ndim):
    """The element array of a buffer the module reads straight from memory, or None."""
    kind = type(obj)
    if kind is np.ndarray:
        if obj.ndim == ndim and obj.dtype == np.float64 and obj.dtype.isnative:
            return obj
        return None
    if kind is array.array:
        return np.frombuffer(obj, dtype=np.float64) if ndim == 1 and obj.typecode == "d" else None
    if kind is memoryview and ndim == 1 and obj.ndim == 1 and obj.format in ("d", "=d", "<d"):
        return np.asarray(obj)
    return None


def _items(seq):
    if type(seq) is list or type(seq) is tuple:
        return seq
    return list(iter(seq))


def vector_array(vector):
    """A vector or query as a new 1-D float64 array."""
    direct = _native_double_buffer(vector, 1)
    if direct is not None:
        return np.array(direct, dtype=np.float64)
    items = _items(vector)
    if type(items) is list and set(map(type, items)) <= {float}:
        return np.array(items, dtype=np.float64)
    return np.fromiter(map(as_double, items), dtype=np.float64, count=len(items))


def rows_array(vectors, dim):
    """A list of vectors (or a 2-D array) as a new C-contiguous (n, dim) float64 array."""
    direct = _native_double_buffer(vectors, 2)
    if direct is not None:
        return np.array(direct, dtype=np.float64, order="C")
    rows = _items(vectors)
    out = np.empty((len(rows), dim), dtype=np.float64)
    for i, row in enumerate(rows):
        out[i] = vector_array(row)
    return out


def metadata_value(value):
    """The stored kind of a metadata or filter value: str, then int64, then float; None if none fits.

    As in the module, an exception raised while a kind is tried only means
    the next kind is tried.
    """
    if isinstance(value, str):
        try:
            value.encode("utf-8")
            return str(value)
        except UnicodeEncodeError:
            pass
    try:
        integer = operator.index(value)
        if _INT64_MIN <= integer <= _INT64_MAX:
            return int(integer)
    except BaseException:
        pass
    if isinstance(value, (str, bytes, bytearray)):
        return None
    try:
        return as_double(value)
    except BaseException:
        return None


def metadata_row(pairs, schema):
    """The schema's (name, value) pairs of one metadata list, the last pair of a name winning."""
    by_name = {}
    for name, value in _items(pairs):
        by_name[str(name)] = value
    return [(name, metadata_value(by_name[name])) for name in schema]
