"""Filtered search that is never short: ShardedHNSW's exact answers to selective filters.

Part of the sharded section (bench/sharded.py). On N=20,000 clustered vectors
(128 elements) and on the real set's unit rows (256 elements, see
real_data.py), attribute t<m> holds id mod m, so the filter (t<m>, v) keeps
1/m of the vectors; each query asks for its own value. For one PyHNSW and for
ShardedHNSW with 1 and 2 shards: recall@10 against the exact filtered truth,
hits returned (mean) and median latency per call.

It also measures where the default of `exact_below` comes from: for a match
count M, the median time of a shard's exact scan of M matches against the
graph's filtered walk when the filter keeps M vectors, on both sets.
"""

import statistics
import sys
import time

import numpy as np

import bench as core
from common import K, RECALL_GOAL, filtered_truth, log, recall_at_k, vector_ids

MODULI = [2, 10, 100, 1000, 10000]
# More attributes, for the scan against the walk between those match counts.
CROSSOVER_MODULI = [2, 4, 10, 20, 30, 40, 50, 70, 100, 200, 500, 1000, 10000]
CONFIGS = {"full": dict(n=20_000, n_queries=300), "quick": dict(n=3_000, n_queries=50)}
SHARD_COUNTS = [1, 2]
TARGETS = {"recall": RECALL_GOAL, "latency_1pct_vs_single": 2.0}


def truth_by_modulus(X, Q, modulus):
    """Each query's value of t<modulus>, and its exact filtered neighbours."""
    values = np.arange(len(Q)) % modulus
    return values, filtered_truth(X, Q, np.arange(len(X)) % modulus, values)


def measure(search, Q, values, modulus, truth, ids_of):
    times, found = [], []
    for j, q in enumerate(Q):
        start = time.perf_counter()
        hits = search(q.tolist(), (f"t{modulus}", int(values[j])))
        times.append(time.perf_counter() - start)
        found.append(ids_of(hits))
    return {"recall": recall_at_k(found, truth), "hits": statistics.fmean(map(len, found)),
            "median_us": statistics.median(times) * 1e6}


ATTRIBUTES = sorted(set(MODULI) | set(CROSSOVER_MODULI))


def metadata(n):
    return [[(f"t{m}", i % m) for m in ATTRIBUTES] for i in range(n)]


def selectivity_table(name, X, Q, cfg):
    from quarix import PyHNSW
    from quarix_shards import ShardedHNSW

    dim = X.shape[1]
    schema = [f"t{m}" for m in ATTRIBUTES]
    ids_of = vector_ids(X)
    rows, meta = X.tolist(), metadata(len(X))
    truths = {m: truth_by_modulus(X, Q, m) for m in MODULI}
    # Vectors matching each query's filter, on average over the queries.
    matches = {m: statistics.fmean(len(range(int(v), len(X), m)) for v in truths[m][0]) for m in MODULI}
    out = []
    single = PyHNSW(dim, metric="euclidean", schema=schema)
    single.create(rows, meta)
    for m in MODULI:
        values, truth = truths[m]
        r = measure(lambda q, f: single.search(q, K, filter=f), Q, values, m, truth, ids_of)
        out.append({"set": name, "system": "PyHNSW", "keep": 1 / m, "matches": matches[m], **r})
        log(f"  {name} PyHNSW keep {1 / m:.2%}: recall {r['recall']:.3f}, hits {r['hits']:.1f}, "
            f"{r['median_us']:.0f} µs")
    for shards in SHARD_COUNTS:
        with ShardedHNSW(dim, metric="euclidean", schema=schema, shards=shards) as graph:
            graph.create(X, meta, progress=False)
            trip = []
            for q in Q[:50]:
                start = time.perf_counter()
                graph.search(q.tolist(), K)
                trip.append(time.perf_counter() - start - graph._last_index_seconds)
            for m in MODULI:
                values, truth = truths[m]
                r = measure(lambda q, f: graph.search(q, K, filter=f), Q, values, m, truth, ids_of)
                out.append({"set": name, "system": f"ShardedHNSW S={shards}", "keep": 1 / m,
                            "matches": matches[m], "trip_us": statistics.median(trip) * 1e6, **r})
                log(f"  {name} ShardedHNSW S={shards} keep {1 / m:.2%}: recall {r['recall']:.3f}, "
                    f"hits {r['hits']:.1f}, {r['median_us']:.0f} µs")
    return out, single


def crossover(name, X, Q, single):
    """Per match count: the graph's filtered walk (t<m>, 0) against a shard's exact scan of its matches."""
    from quarix_shards._exact_filter import MatchedVectors

    schema = [f"t{m}" for m in ATTRIBUTES]
    matched = MatchedVectors(X.shape[1], "euclidean", schema, len(X))
    matched.add(np.ascontiguousarray(X), metadata(len(X)))
    out = []
    for m in CROSSOVER_MODULI:
        ids = matched.selective((f"t{m}", 0))
        walk, scan = [], []
        for q in Q[:100].tolist():
            start = time.perf_counter()
            single.search(q, K, filter=(f"t{m}", 0))
            walk.append(time.perf_counter() - start)
            start = time.perf_counter()
            matched.nearest(q, ids, K)
            scan.append(time.perf_counter() - start)
        row = {"set": name, "dim": X.shape[1], "matches": len(ids), "walk_us": statistics.median(walk) * 1e6,
               "scan_us": statistics.median(scan) * 1e6}
        out.append(row)
        log(f"  {name} {row['matches']} matches: walk {row['walk_us']:.0f} µs, scan {row['scan_us']:.0f} µs")
    return out


def run(quick):
    cfg = CONFIGS["quick" if quick else "full"]
    sets = [("clustered", *core.make_data(cfg["n"], cfg["n_queries"]))]
    try:
        sys.path.insert(0, str(core.REPO / "bench"))
        import real_data

        X, Q, *_ = real_data.load({"texts": cfg["n"] + cfg["n_queries"], "n_queries": cfg["n_queries"]})
        sets.append(("real", np.ascontiguousarray(X[:cfg["n"]]), np.ascontiguousarray(Q)))
    except Exception as error:  # wordllama missing: the clustered set alone
        log(f"  real set unavailable ({type(error).__name__}: {error})")
    table, cross = [], []
    for name, X, Q in sets:
        log(f"==> filtered search, {name} set, N={len(X):,}, dim {X.shape[1]}")
        rows, single = selectivity_table(name, X, Q, cfg)
        table += rows
        cross += crossover(name, X, Q, single)
    return {"table": table, "crossover": cross, "n": cfg["n"], "quick": quick}


def target_rows(R):
    rows = []
    full = not R["quick"]

    def verdict(ok):
        return "n/a (quick run)" if not full else ("pass" if ok else "**fail**")

    for r in R["table"]:
        if not r["system"].startswith("ShardedHNSW"):
            continue
        want = min(K, r["matches"])
        rows.append([f"{r['set']}, {r['system']}, keep {r['keep']:.2%}", f"{r['recall']:.3f}",
                     f"{r['hits']:.1f} of {want:g}", f"≥ {TARGETS['recall']}, {want:g} hits (mean)",
                     verdict(r["recall"] >= TARGETS["recall"] and r["hits"] >= want)])
        if r["keep"] == 0.01:
            single = next(s for s in R["table"] if s["set"] == r["set"] and s["system"] == "PyHNSW"
                          and s["keep"] == 0.01)
            limit = TARGETS["latency_1pct_vs_single"] * single["median_us"] + r["trip_us"]
            rows.append([f"{r['set']}, {r['system']}, latency at 1% (µs)", f"{r['median_us']:.0f}",
                         f"PyHNSW {single['median_us']:.0f}, trip {r['trip_us']:.0f}",
                         f"≤ 2 × PyHNSW + trip = {limit:.0f}", verdict(r["median_us"] <= limit)])
    return rows


def largest_paying(R):
    """Per set, the largest match count measured at which the exact scan costs no more than the walk."""
    out = {}
    for row in R["crossover"]:
        if row["scan_us"] <= row["walk_us"]:
            out[row["set"]] = max(out.get(row["set"], 0), row["matches"])
    return out


def report_lines(R):
    md = [f"## Filtered search (N={R['n']:,}; `bench/sharded_filters.py`)", "",
          "Attribute t<m> holds id mod m; each query filters on its own value. Recall@10 against the exact "
          "filtered truth; hits returned (mean); median latency per call. ShardedHNSW answers a filter exactly "
          "on a shard where at most `exact_below` of its vectors match.", "",
          core.table(["set", "system", "filter keeps", "matches", "recall@10", "hits (mean)", "median µs"],
                     [[r["set"], r["system"], f"{r['keep']:.2%}", f"{r['matches']:,.1f}", f"{r['recall']:.3f}",
                       f"{r['hits']:.1f}", core.fmt(r["median_us"])] for r in R["table"]]), "",
          "### Targets", "",
          core.table(["measure", "measured", "beside", "target", "result"], target_rows(R)), "",
          "### Exact scan against the graph's filtered walk", "",
          "Median per query (100 queries, k=10) of a shard's exact scan of M matches and of one PyHNSW's "
          "filtered walk when M vectors match the filter, in one process.", "",
          core.table(["set", "dim", "matches M", "walk µs", "scan µs", "scan / walk"],
                     [[r["set"], r["dim"], f"{r['matches']:,}", core.fmt(r["walk_us"]), core.fmt(r["scan_us"]),
                       core.fmt(r["scan_us"] / r["walk_us"], "×")] for r in R["crossover"]]), ""]
    paying = largest_paying(R)
    md += ["Largest measured match count at which the scan costs no more than the walk: "
           + (", ".join(f"{name} {count:,}" for name, count in paying.items()) or "none") + ".", ""]
    return md
