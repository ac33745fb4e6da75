"""Random call sequences on small indexes of both classes, every outcome checked.

Each machine draws an index's settings, then any sequence of inserts, creates
and searches with the argument forms users pass: lists, tuples, numpy arrays of
several dtypes and layouts, memoryviews, array.array, number-like objects,
NaN, infinities and -0.0, and wrong lengths, bad elements, metadata and
filters. Every rule takes plain values and the name of a form, and dresses the
values in that form itself, so the oracles see plain floats and a failing
sequence prints as a script that runs again:
- PyFlat against a brute force in plain Python, bit for bit (half of the
  indexes are the test extension's, whose scans use codes from 4 vectors on);
- PyHNSW with one layer against the literal reference of hnsw_model.py, bit
  for bit; with more layers (random levels) the reference decides the errors,
  and hits are checked for what any graph gives: only stored vectors, in
  order, exact distances, the right counts, every filtered hit matching.

The normal suite runs a bounded number of examples; ./run fuzz [seconds] runs
these machines for as long as asked under the sanitizer build.
"""

import array
import math
import os
import struct
from collections import Counter

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule

import quarix
from native.build_hooks import build_hooks
from hnsw_model import METRICS, ModelHNSW, metadata_equal, to_metadata_value
from number_likes import Index, Opaque, Real
from reference_metrics import cosine_similarity, euclidean_distance, exact_search, inner_product
from run_mode import SANITIZER_FLAGS

INF, NAN = math.inf, math.nan
MAX_DIM = 4
EXAMPLES = int(os.environ.get("QUARIX_STATEFUL_EXAMPLES", "40"))
RUNS = Counter()  # sequences run per machine, for the fuzzer's tally


def coded_flat(dim, metric):
    """A PyFlat of the test-only extension whose codes are fitted from 4 vectors on, not 1,024."""
    hooks = build_hooks(SANITIZER_FLAGS)
    previous = hooks.pivots_from(4)
    try:
        return hooks.PyFlat(dim, metric)
    finally:
        hooks.pivots_from(previous)

ELEMENTS = st.one_of(
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 0.5, 2.0, INF, -INF, NAN, 1e300, -1e-300, 5e-324]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-8, 8).map(float),
)
RAW = st.lists(ELEMENTS, min_size=MAX_DIM + 2, max_size=MAX_DIM + 2)


def bits(value):
    return b"nan" if value != value else struct.pack("<d", value)


# --- argument forms ------------------------------------------------------------------------------------------

def _strided(values):
    spread = np.full(2 * len(values) + 1, 7.0)
    spread[1::2] = values
    return spread[1::2]


def _small_int(x):
    return int(x) if math.isfinite(x) and abs(x) < 2**62 else 3


def _float32(values):
    with np.errstate(over="ignore"):
        return np.array(values, dtype=np.float32)


# name: (what the index is given, the values it must convert that to)
FORMS = {
    "list": (list, list),
    "tuple": (tuple, list),
    "ndarray": (lambda v: np.array(v, dtype=np.float64), list),
    "strided": (_strided, list),
    "reversed": (lambda v: np.array(v[::-1], dtype=np.float64)[::-1], list),
    "memoryview": (lambda v: memoryview(np.array(v, dtype=np.float64)), list),
    "array-d": (lambda v: array.array("d", v), list),
    "reals": (lambda v: [Real(x) for x in v], list),
    "float64-scalars": (lambda v: [np.float64(x) for x in v], list),
    "float32": (_float32, lambda v: [float(x) for x in _float32(v)]),
    "ints": (lambda v: [int(x) if math.isfinite(x) else 0 for x in v],
             lambda v: [float(int(x)) if math.isfinite(x) else 0.0 for x in v]),
    "indexes": (lambda v: [Index(_small_int(x)) for x in v], lambda v: [float(_small_int(x)) for x in v]),
    "int64": (lambda v: np.array([_small_int(x) for x in v], dtype=np.int64),
              lambda v: [float(_small_int(x)) for x in v]),
    "bools": (lambda v: [x > 0 for x in v], lambda v: [1.0 if x > 0 else 0.0 for x in v]),
}
FORM_NAMES = sorted(FORMS)
# How create's rows are passed: a list or tuple of vectors in their own forms, or one 2-D array.
LAYOUTS = {
    "c-order": lambda rows: np.array(rows, dtype=np.float64),
    "fortran": lambda rows: np.asfortranarray(np.array(rows, dtype=np.float64)),
    "every-other-row": lambda rows: np.repeat(np.array(rows, dtype=np.float64), 2, axis=0)[::2],
}


def dress(form, values):
    make, converted = FORMS[form]
    return make(values), converted(values)


def dress_rows(layout, forms, rows):
    if layout in LAYOUTS and rows and len({len(r) for r in rows}) == 1:
        array2d = LAYOUTS[layout](rows).reshape(len(rows), len(rows[0]))
        return array2d, [list(r) for r in rows]
    pairs = [dress(form, row) for form, row in zip(forms, rows)]
    outer = tuple if layout == "tuple" else list
    return outer(obj for obj, _ in pairs), [values for _, values in pairs]


# Arguments no index accepts, with the TypeError text they give (after "argument '<name>': ").
BAD_SEQUENCES = [
    ("abc", "Can't extract `str` to `Vec`"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    ({1: 2.0}, "'dict' object cannot be converted to 'Sequence'"),
    ({1.0}, "'set' object cannot be converted to 'Sequence'"),
]
BAD_ELEMENTS = [("x", "must be real number, not str"), (None, "must be real number, not NoneType"),
                ((1.0,), "must be real number, not tuple")]


def raised(call):
    try:
        call()
    except (TypeError, ValueError, OverflowError) as error:
        return type(error), str(error)
    return None


settings.register_profile("suite", max_examples=EXAMPLES, stateful_step_count=20, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
SUITE = settings.get_profile("suite")
ROWS = st.lists(RAW, max_size=5)
ROW_FORMS = st.lists(st.sampled_from(FORM_NAMES), min_size=5, max_size=5)
LAYOUT_NAMES = st.sampled_from(["list", "tuple", *sorted(LAYOUTS)])


# --- PyFlat --------------------------------------------------------------------------------------------------

FLAT_DISTANCE = {None: euclidean_distance, "euclidean": euclidean_distance, "angular": euclidean_distance,
                 "inner_product": inner_product, "cosine": cosine_similarity}


class FlatMachine(RuleBasedStateMachine):
    @initialize(dim=st.integers(0, MAX_DIM), metric=st.sampled_from(sorted(FLAT_DISTANCE, key=str)),
                coded=st.booleans())
    def build(self, dim, metric, coded):
        RUNS[type(self).__name__] += 1
        self.index = coded_flat(dim, metric) if coded else quarix.PyFlat(dim, metric)
        self.dim, self.distance, self.stored = dim, FLAT_DISTANCE[metric], []

    @rule(form=st.sampled_from(FORM_NAMES), raw=RAW, delta=st.sampled_from([0, 0, 0, -1, 1, 2]))
    def insert(self, form, raw, delta):
        length = max(0, self.dim + delta)
        obj, values = dress(form, raw[:length])
        outcome = raised(lambda: self.index.insert(obj))
        if length == self.dim:
            assert outcome is None
            self.stored.append(values)
        else:
            assert outcome == (ValueError, f"Expected vector of length {self.dim}, got {length}")

    @rule(layout=LAYOUT_NAMES, forms=ROW_FORMS, rows=ROWS, wrong=st.sampled_from([None, None, 0, 1, 4]),
          delta=st.sampled_from([-1, 1, 2]))
    def create(self, layout, forms, rows, wrong, delta):
        lengths = [self.dim] * len(rows)
        if wrong is not None and wrong < len(rows) and self.dim + delta >= 0:
            lengths[wrong] = self.dim + delta
        obj, converted = dress_rows(layout, forms, [row[:n] for row, n in zip(rows, lengths)])
        outcome = raised(lambda: self.index.create(obj))
        if not rows:
            assert outcome == (ValueError, "Create error: EmptyVectors")
        elif lengths != [self.dim] * len(rows):
            bad = next(n for n in lengths if n != self.dim)
            assert outcome == (ValueError, f"Vector length {bad} does not match index dimension {self.dim}")
        else:
            assert outcome is None
            self.stored.extend(converted)

    @rule(bad=st.sampled_from(BAD_SEQUENCES), element=st.sampled_from(BAD_ELEMENTS), where=st.integers(0, MAX_DIM))
    def refused_arguments(self, bad, element, where):
        obj, text = bad
        assert raised(lambda: self.index.insert(obj)) == (TypeError, f"argument 'vector': {text}")
        assert raised(lambda: self.index.create([obj])) == (TypeError, f"argument 'vectors': {text}")
        item, text = element
        vector = [0.0] * self.dim
        vector.insert(min(where, self.dim), item)
        assert raised(lambda: self.index.insert(vector)) == (TypeError, f"argument 'vector': {text}")
        assert raised(lambda: self.index.search(vector)) == (TypeError, f"argument 'query': {text}")

    @rule(form=st.sampled_from(FORM_NAMES), raw=RAW, k=st.sampled_from([None, 0, 1, 2, 5, 10**9, True]),
          delta=st.sampled_from([0, 0, 0, 1]))
    def search(self, form, raw, k, delta):
        obj, query = dress(form, raw[:self.dim + delta])
        outcome = raised(lambda: self.index.search(obj, k))
        if delta:
            assert outcome == (ValueError, f"Expected query of length {self.dim}, got {self.dim + delta}")
        elif not self.stored or self.dim == 0:
            assert outcome == (ValueError, "Search error: EmptyIndex")
        else:
            got = self.index.search(obj, k)
            want = exact_search(self.stored, query, None if k is None else int(k), self.distance)
            assert [(i, bits(d)) for i, d in got] == [(i, bits(d)) for i, d in want]

    @rule(k=st.sampled_from([-1, 1.5, "2", Opaque()]))
    def bad_k_before_the_length(self, k):
        # k is converted before the query's length is looked at.
        outcome = raised(lambda: self.index.search([0.0] * (self.dim + 1), k))
        assert outcome is not None and outcome[0] in (TypeError, OverflowError), outcome


# --- PyHNSW --------------------------------------------------------------------------------------------------

METADATA_VALUES = ["a", "b", "", "é", 1, 0, -7, True, 2.5, -0.0, 0.0, NAN, 2**63, Index(1), Real(2.5), np.int64(1),
                   np.float64(2.5), None, [1], b"a", Opaque()]
PAIRS = st.lists(st.tuples(st.sampled_from(["c", "d", "unused"]), st.sampled_from(METADATA_VALUES)), max_size=4)
METADATA = st.one_of(st.none(), PAIRS, PAIRS.map(tuple))


def canonical(hits):
    return [(bits(d), tuple(bits(x) for x in vector)) for d, vector in hits]


def outcome(call):
    try:
        result = call()
    except (ValueError, TypeError) as error:
        return type(error).__name__, str(error)
    return "ok", canonical(result) if isinstance(result, list) else result


class GraphMachine(RuleBasedStateMachine):
    @initialize(dim=st.integers(0, 3), layers=st.sampled_from([1, 1, 2, 3]), metric=st.sampled_from(sorted(METRICS)),
                ef_construction=st.integers(1, 6), ef_search=st.integers(1, 8),
                schema=st.sampled_from([None, [], ["c"], ["c", "d"]]))
    def build(self, dim, layers, metric, ef_construction, ef_search, schema):
        settings = dict(layers=layers, ef_construction=ef_construction, ef_search=ef_search, metric=metric,
                        schema=schema)
        RUNS[type(self).__name__] += 1
        self.index = quarix.PyHNSW(dim, **settings)
        # The reference decides every outcome with one layer; with more it still decides the
        # errors, which do not depend on the levels.
        self.model = ModelHNSW(dim, **dict(settings, layers=1))
        self.exact = layers == 1
        self.dim, self.schema, self.ef_search = dim, schema, ef_search
        self.distance = METRICS[metric]
        self.rows = []  # (vector values, metadata row or None) of every stored vector

    def _row(self, metadata):
        return None if metadata is None else self.model.assemble_row(metadata)

    @rule(form=st.sampled_from(FORM_NAMES), raw=RAW, metadata=METADATA, delta=st.sampled_from([0, 0, 0, 1]))
    def insert(self, form, raw, metadata, delta):
        obj, values = dress(form, raw[:self.dim + delta])
        want = outcome(lambda: self.model.insert(values, metadata))
        assert outcome(lambda: self.index.insert(obj, metadata)) == want
        if want[0] == "ok":
            self.rows.append((values, self._row(metadata)))

    @rule(layout=LAYOUT_NAMES, forms=ROW_FORMS, rows=ROWS, metadata=st.one_of(st.none(), st.lists(PAIRS, max_size=5)),
          wrong=st.sampled_from([None, None, None, 0, 2]))
    def create(self, layout, forms, rows, metadata, wrong):
        rows = [row[:self.dim + (i == wrong)] for i, row in enumerate(rows)]
        obj, converted = dress_rows(layout, forms, rows)
        if metadata is not None and len(metadata) > len(rows) and len(metadata) % 2:
            metadata = metadata[:len(rows)]  # mostly one list per vector; sometimes a count that differs
        want = outcome(lambda: self.model.create(converted, metadata))
        assert outcome(lambda: self.index.create(obj, metadata)) == want
        if want[0] == "ok":
            self.rows.extend((v, self._row(None if metadata is None else metadata[i])) for i, v in enumerate(converted))

    @rule(form=st.sampled_from(FORM_NAMES), raw=RAW, k=st.sampled_from([None, 0, 1, 3, 100]),
          name=st.sampled_from([None, "c", "d", "nope"]), value=st.sampled_from(METADATA_VALUES),
          delta=st.sampled_from([0, 0, 0, 1, -1]))
    def search(self, form, raw, k, name, value, delta):
        obj, query = dress(form, raw[:max(0, self.dim + delta)])
        flt = None if name is None else (name, value)
        want = outcome(lambda: self.model.search(query, k, flt))
        got = outcome(lambda: self.index.search(obj, k, flt))
        if self.exact or want[0] != "ok":
            assert got == want
        else:
            assert got[0] == "ok"
            self._check_hits(self.index.search(obj, k, flt), query, k, flt)

    def _check_hits(self, hits, query, k, flt):
        allowed = self.rows
        if flt is not None and flt[0] not in (self.schema or []):
            allowed = []
        elif flt is not None and self.rows:
            # The walk starts at node 0 and passes only matching nodes: it may find fewer than exist.
            position, value = self.schema.index(flt[0]), to_metadata_value(flt[1])
            allowed = [(v, row) for v, row in self.rows if row is not None and metadata_equal(row[position], value)]
        elif self.rows and self.dim:
            assert hits  # an unfiltered walk finds at least the node it starts at
        assert len(hits) <= min(max(k or 0, 1), self.ef_search, len(self.rows))
        stored = {tuple(bits(x) for x in v) for v, _ in allowed}
        distances = []
        for distance, vector in hits:
            assert tuple(bits(x) for x in vector) in stored
            assert bits(distance) == bits(self.distance(query, vector))
            distances.append(distance)
        numbers = [d for d in distances if d == d]
        assert numbers == sorted(numbers) and distances[:len(numbers)] == numbers  # NaN last

    @rule(bad=st.sampled_from(BAD_SEQUENCES))
    def refused_arguments(self, bad):
        obj, text = bad
        assert raised(lambda: self.index.insert(obj)) == (TypeError, f"argument 'vector': {text}")
        assert raised(lambda: self.index.search(obj)) == (TypeError, f"argument 'query': {text}")
        assert raised(lambda: self.index.search([0.0] * self.dim, 1, ["c", 1])) == (
            TypeError, "argument 'filter': 'list' object cannot be converted to 'PyTuple'")


TestFlat = FlatMachine.TestCase
TestFlat.settings = SUITE
TestGraph = GraphMachine.TestCase
TestGraph.settings = SUITE
