"""Metadata rows and equality filters of PyHNSW: how (name, value) pairs
become a row, which Python values are of which kind, when a filter admits a
node, and what filtered searches return."""

import math
import random

import pytest

import quarix
from number_likes import Index, Real

PyHNSW = quarix.PyHNSW


def labelled(schema, rows):
    """Node i sits at (i, 0) with metadata rows[i] (None: no metadata).

    One layer and ef_construction above the node count link every node with
    every other, and ef_search above it makes each search exhaustive, so a
    filtered search returns exactly the matching nodes."""
    assert len(rows) < 200
    hnsw = PyHNSW(2, layers=1, ef_search=1000, metric="euclidean", schema=schema)
    for i, row in enumerate(rows):
        hnsw.insert([float(i), 0.0], row)
    return hnsw


def found(hnsw, filter, query=(0.0, 0.0), k=10**6):
    """The ids (first coordinate) of the hits, in hit order."""
    hits = hnsw.search(list(query), k=k, filter=filter)
    distances = [d for d, _ in hits]
    assert distances == sorted(distances)
    return [int(vector[0]) for _, vector in hits]


def refused(message, call):
    with pytest.raises(ValueError) as info:
        call()
    assert type(info.value) is ValueError and info.value.args == (message,)


class Both(Index):
    def __float__(self):
        raise AssertionError("an integer index is tried first")


class NoIndex:
    """__index__ fails, __float__ works: the value is a float."""

    def __index__(self):
        raise TypeError("not today")

    def __float__(self):
        return 8.5


class Text(str):
    pass


class Whole(int):
    pass


class Decimal(float):
    pass


# --------------------------------------------------------------------------
# Rows


def test_pair_order_does_not_matter():
    hnsw = labelled(["color", "size"], [
        [("size", 42), ("color", "blue")],
        [("color", "blue"), ("size", 42)],
        [("color", "red"), ("size", 7)],
    ])
    assert found(hnsw, ("color", "blue")) == [0, 1]
    assert found(hnsw, ("size", 42)) == [0, 1]
    assert found(hnsw, ("size", 7)) == [2]
    assert found(hnsw, ("color", "red")) == [2]


def test_last_duplicate_wins():
    hnsw = labelled(["color", "size"], [
        [("color", "red"), ("size", 1), ("color", "blue")],
        [("size", 2), ("color", "green"), ("size", 3)],
    ])
    assert found(hnsw, ("color", "blue")) == [0]
    assert found(hnsw, ("color", "red")) == []
    assert found(hnsw, ("size", 3)) == [1]
    assert found(hnsw, ("size", 2)) == []


def test_undeclared_pairs_are_ignored_whatever_their_values():
    hnsw = labelled(["color"], [
        [("extra", None), ("color", "blue"), ("more", object()), ("", [1]), ("Color", "red"), ("colour", b"x")],
    ])
    assert found(hnsw, ("color", "blue")) == [0]
    refused("Search error: AttributeNotFound", lambda: hnsw.search([0.0, 0.0], filter=("extra", 1)))
    refused("Search error: AttributeNotFound", lambda: hnsw.search([0.0, 0.0], filter=("Color", "red")))


@pytest.mark.parametrize(
    "pairs, message",
    [
        ([("color", None)], "Unsupported metadata type for attribute 'color'"),
        ([("size", 1)], "Missing metadata for attribute 'color'"),
        ([("size", None)], "Missing metadata for attribute 'color'"),
        ([("size", None), ("color", "x")], "Unsupported metadata type for attribute 'size'"),
        ([("color", "x")], "Missing metadata for attribute 'size'"),
        ([("size", 1), ("color", [1])], "Unsupported metadata type for attribute 'color'"),
        ([("color", 1.5), ("size", b"1")], "Unsupported metadata type for attribute 'size'"),
        ([("color", 1.5), ("size", object())], "Unsupported metadata type for attribute 'size'"),
        ([("color", "x"), ("size", 1j)], "Unsupported metadata type for attribute 'size'"),
        ([("color", "x"), ("size", NoIndex()), ("color", None)], "Unsupported metadata type for attribute 'color'"),
        ([("COLOR", "x"), ("size", 1)], "Missing metadata for attribute 'color'"),
        ([], "Missing metadata for attribute 'color'"),
    ],
)
def test_first_failing_schema_name_decides_the_message(pairs, message):
    hnsw = labelled(["color", "size"], [[("color", "base"), ("size", 0)]])
    refused(message, lambda: hnsw.insert([1.0, 0.0], pairs))
    # In a batch, every row is assembled before anything is inserted.
    refused(message, lambda: hnsw.create([[1.0, 0.0], [2.0, 0.0]], [[("color", "ok"), ("size", 1)], pairs]))
    assert found(hnsw, None) == [0]


def test_attribute_names_in_messages_are_the_schema_names():
    for name in ["naïve", "with 'quotes'", "", "a b"]:
        hnsw = PyHNSW(1, metric="euclidean", schema=[name])
        refused(f"Missing metadata for attribute '{name}'", lambda: hnsw.insert([1.0], []))
        refused(f"Unsupported metadata type for attribute '{name}'", lambda: hnsw.insert([1.0], [(name, None)]))


def test_empty_schema_accepts_any_metadata_and_refuses_filters():
    hnsw = PyHNSW(2, metric="euclidean", schema=[])
    hnsw.insert([1.0, 0.0], [("a", None), ("b", object())])
    hnsw.insert([2.0, 0.0], [])
    hnsw.create([[3.0, 0.0]], [[("c", [1, 2])]])
    assert [v for _, v in hnsw.search([0.0, 0.0], k=5)] == [[1.0, 0.0], [2.0, 0.0], [3.0, 0.0]]
    refused("Search error: EmptySchema", lambda: hnsw.search([0.0, 0.0], filter=("a", 1)))


# --------------------------------------------------------------------------
# Kinds and equality

NAN = float("nan")
INF = float("inf")

STORED = {
    "int42": 42,
    "float42": 42.0,
    "str42": "42",
    "true": True,
    "int1": 1,
    "float1": 1.0,
    "str1": "1",
    "false": False,
    "minus1": -1,
    "minus1float": -1.0,
    "int0": 0,
    "pos0": 0.0,
    "neg0": -0.0,
    "nan": NAN,
    "inf": INF,
    "big": 2**70,
    "bigfloat": float(2**70),
    "i64max": 2**63 - 1,
    "above": 2**63,
    "i64min": -(2**63),
    "below": -(2**63) - 1,
    "blue": "blue",
    "Blue": "Blue",
    "composed": "\u00e9",
    "decomposed": "e\u0301",
    "empty": "",
    "nul": "a\0b",
    "index7": Index(7),
    "real7": Real(7.0),
    "both7": Both(7),
    "noindex": NoIndex(),
    "text": Text("navy"),
    "whole": Whole(5),
    "decimal": Decimal(5.0),
    "hugeindex": Index(2**64),
}
LABELS = list(STORED)


@pytest.fixture(scope="module")
def kinds():
    return labelled(["value"], [[("value", STORED[label])] for label in LABELS])


@pytest.mark.parametrize(
    "value, expected",
    [
        (42, {"int42"}),
        (42.0, {"float42"}),
        ("42", {"str42"}),
        (True, {"true", "int1"}),
        (1, {"true", "int1"}),
        (1.0, {"float1"}),
        ("1", {"str1"}),
        (False, {"false", "int0"}),
        # -1 is also what the conversions return on failure.
        (-1, {"minus1"}),
        (-1.0, {"minus1float"}),
        (Index(-1), {"minus1"}),
        (Real(-1.0), {"minus1float"}),
        (0, {"false", "int0"}),
        (0.0, {"pos0", "neg0"}),
        (-0.0, {"pos0", "neg0"}),
        (NAN, set()),
        (INF, {"inf"}),
        (-INF, set()),
        # Integers outside 64 bits are floats, on both sides.
        (2**70, {"big", "bigfloat"}),
        (float(2**70), {"big", "bigfloat"}),
        (2**63 - 1, {"i64max"}),
        (2**63, {"above"}),
        (float(2**63), {"above"}),
        (-(2**63), {"i64min"}),
        (-(2**63) - 1, {"below"}),
        (float(-(2**63)), {"below"}),
        (2**64, {"hugeindex"}),
        ("blue", {"blue"}),
        ("Blue", {"Blue"}),
        ("BLUE", set()),
        ("\u00e9", {"composed"}),
        ("e\u0301", {"decomposed"}),
        ("", {"empty"}),
        ("a\0b", {"nul"}),
        ("a", set()),
        (7, {"index7", "both7"}),
        (7.0, {"real7"}),
        (Index(7), {"index7", "both7"}),
        (Both(7), {"index7", "both7"}),
        (Real(7.0), {"real7"}),
        (8.5, {"noindex"}),
        (NoIndex(), {"noindex"}),
        ("navy", {"text"}),
        (Text("navy"), {"text"}),
        (Text("blue"), {"blue"}),
        (5, {"whole"}),
        (Whole(5), {"whole"}),
        (5.0, {"decimal"}),
        (Decimal(5.0), {"decimal"}),
        (Index(42), {"int42"}),
        (Real(42.0), {"float42"}),
        (Index(2**70), {"big", "bigfloat"}),
    ],
)
def test_filter_matches_by_kind_and_value(kinds, value, expected):
    assert {LABELS[i] for i in found(kinds, ("value", value))} == expected


def test_nan_filter_matches_nothing_not_even_node_0():
    hnsw = labelled(["value"], [[("value", NAN)], [("value", NAN)], [("value", 1.0)]])
    assert found(hnsw, ("value", NAN)) == []
    assert found(hnsw, ("value", NAN), k=0) == []
    assert found(hnsw, ("value", 1.0)) == [2]


@pytest.mark.parametrize("value", ["\ud800", "a\udfffb", Text("\udc80")])
def test_texts_with_surrogates_are_of_no_kind(value):
    hnsw = labelled(["value"], [[("value", "a")]])
    refused("Unsupported metadata type for attribute 'value'", lambda: hnsw.insert([1.0, 0.0], [("value", value)]))
    refused("Unsupported type for metadata filter", lambda: hnsw.search([0.0, 0.0], filter=("value", value)))
    assert found(hnsw, None) == [0]


def test_names_with_surrogates_fail_their_conversion():
    hnsw = labelled(["value"], [[("value", "a")]])
    for call in (
        lambda: hnsw.insert([1.0, 0.0], [("value", 1), ("\ud800", 1)]),
        lambda: hnsw.create([[1.0, 0.0]], [[("value", 1), ("\ud800", 1)]]),
        lambda: hnsw.search([0.0, 0.0], filter=("\ud800", 1)),
    ):
        with pytest.raises(UnicodeEncodeError):
            call()
    assert found(hnsw, None) == [0]


def test_values_are_copied_when_stored():
    name = "".join(["bl", "ue"])
    value = [("color", name)]
    hnsw = labelled(["color"], [value])
    value[0] = ("color", "red")
    del name
    assert found(hnsw, ("color", "blue")) == [0]
    assert found(hnsw, ("color", "red")) == []


# --------------------------------------------------------------------------
# What a filtered search returns


def test_filtered_results_leave_out_node_0_when_it_does_not_match():
    hnsw = labelled(["color"], [[("color", "red")]] + [[("color", "blue" if i % 3 else "red")] for i in range(1, 12)])
    blue = [i for i in range(1, 12) if i % 3]
    red = [0] + [i for i in range(1, 12) if i % 3 == 0]
    # Node 0 is the nearest node, and the start of every walk.
    assert found(hnsw, ("color", "blue")) == blue
    assert found(hnsw, ("color", "red")) == red
    assert found(hnsw, ("color", "blue"), k=3) == blue[:3]
    # k = 0 yields the first matching hit.
    assert found(hnsw, ("color", "blue"), k=0) == [1]
    assert found(hnsw, ("color", "red"), k=0) == [0]
    assert found(hnsw, ("color", "blue"), query=(6.2, 0.0), k=0) == [7]
    # A filter that nothing matches yields nothing.
    assert found(hnsw, ("color", "green")) == []
    assert found(hnsw, ("color", "green"), k=0) == []
    assert found(hnsw, ("color", 1)) == []


def test_filtered_results_on_a_default_index_all_match():
    rng = random.Random(20240611)
    colors = ["red", "green", "blue", "cyan", "gray"]
    vectors = [[rng.gauss(0.0, 1.0) for _ in range(6)] for _ in range(400)]
    labels = [rng.choice(colors) for _ in vectors]
    hnsw = PyHNSW(6, metric="euclidean", schema=["color", "index"])
    hnsw.create(vectors, [[("color", c), ("index", i)] for i, c in enumerate(labels)])
    label_of = {tuple(v): c for v, c in zip(vectors, labels)}
    returned = 0
    for _ in range(30):
        query = [rng.gauss(0.0, 1.0) for _ in range(6)]
        for color in colors:
            hits = hnsw.search(query, k=10, filter=("color", color))
            assert len(hits) <= 10
            assert all(label_of[tuple(v)] == color for _, v in hits)
            returned += len(hits)
        # A filter on a unique value finds at most that one node.
        target = rng.randrange(len(vectors))
        assert [v for _, v in hnsw.search(query, k=5, filter=("index", target))] in ([], [vectors[target]])
    # Most filtered searches find matching nodes.
    assert returned > 30 * 5 * 5


def test_nodes_without_metadata_fail_every_filter():
    rows = [
        None,  # node 0: no row
        [("color", "red"), ("size", 1)],
        None,
        [("color", "blue"), ("size", 2)],
        None,
        None,
        [("color", "red"), ("size", 3)],
    ]
    hnsw = labelled(["color", "size"], rows)
    # A batch without metadata adds row-less nodes too.
    hnsw.create([[7.0, 0.0], [8.0, 0.0]])
    hnsw.create([[9.0, 0.0]], [[("color", "blue"), ("size", 4)]])
    # Later nodes keep their own values: rows do not shift.
    assert found(hnsw, ("color", "red")) == [1, 6]
    assert found(hnsw, ("color", "blue")) == [3, 9]
    assert found(hnsw, ("size", 2)) == [3]
    assert found(hnsw, ("size", 4)) == [9]
    assert found(hnsw, ("color", "blue"), k=0) == [3]
    assert found(hnsw, ("color", "blue"), query=(7.0, 0.0), k=1) == [9]
    for value in ["", "red", 0, 0.0, NAN]:
        assert not {0, 2, 4, 5, 7, 8} & set(found(hnsw, ("color", value)))
    # They are still found without a filter.
    assert found(hnsw, None) == list(range(10))


def test_only_node_0_has_a_row():
    hnsw = labelled(["color"], [[("color", "red")], None, None])
    assert found(hnsw, ("color", "red"), query=(2.0, 0.0)) == [0]
    assert found(hnsw, ("color", "blue")) == []


def test_filter_walk_passes_only_through_matching_nodes():
    # The matching node sits behind a non-matching one on a chain. Linking
    # with ef_construction 1 links each new node to the one node a greedy
    # walk ends on, so node 2 hangs off node 1 alone, and node 1 off node 0.
    hnsw = PyHNSW(1, layers=1, ef_construction=1, ef_search=10, metric="euclidean", schema=["color"])
    hnsw.insert([0.0], [("color", "red")])
    hnsw.insert([1.0], [("color", "green")])
    hnsw.insert([2.0], [("color", "red")])
    assert [v for _, v in hnsw.search([2.0], k=5)] == [[2.0], [1.0], [0.0]]
    assert [v for _, v in hnsw.search([2.0], k=5, filter=("color", "red"))] == [[0.0]]
    assert hnsw.search([2.0], k=5, filter=("color", "green")) == [(1.0, [1.0])]
