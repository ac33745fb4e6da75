"""Sharded indexes on Ray against one index and against hnswlib on every core.

Run through ./bench/run (after the single-index benchmark), or directly with
.venv/bin/python bench/sharded.py [--quick]. The data and ground truth are the
clustered set of bench.py. For S shards on this machine's local Ray it
measures: build wall time, recall@10 with the defaults, queries/s one query
per call and as one search_many over every query, the Ray round trip per call
beside the index's own time, and each shard's memory; then filtered search
(bench/sharded_filters.py). Output: bench/results/sharded.md and sharded.png.
"""

import os

# The benchmark's own local Ray keeps its traffic on loopback.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

import argparse
import datetime
import statistics
import sys
import time
from pathlib import Path

import numpy as np

import bench as core
import sharded_filters
from common import vector_ids

CONFIGS = {
    "full": dict(n=100_000, n_queries=1000, per_call=200, shard_counts=[1, 2, 4, 8]),
    "quick": dict(n=5_000, n_queries=100, per_call=50, shard_counts=[1, 2, 4, 8]),
}
TARGETS = {
    "build_s4_vs_single": 0.3,   # ShardedHNSW build wall time at S=4 / one PyHNSW, at most
    "recall_s4": core.RECALL_GOAL,
    # ShardedFlat.search_many queries/s / one PyFlat's (a query per call), at least, by shard count
    "flat_many_vs_single": {1: 0.9, 2: 1.6},
}
HNSW_EF_SEARCH = core.PYHNSW_DEFAULT_EF


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return result, time.perf_counter() - start


def per_call(search, queries, index_seconds=None):
    """Median wall time of one call (µs), queries/s, and the median time the index itself took (µs)."""
    walls, own = [], []
    for q in queries:
        start = time.perf_counter()
        search(q)
        walls.append(time.perf_counter() - start)
        if index_seconds:
            own.append(index_seconds())
    row = {"call_us": statistics.median(walls) * 1e6, "call_qps": len(walls) / sum(walls)}
    if own:
        row["index_us"] = statistics.median(own) * 1e6
        row["trip_us"] = row["call_us"] - row["index_us"]
    return row


def shard_memory(index):
    import ray

    return [ray.get(actor.resident_bytes.remote()) for actor in index._actors]


def graph_section(X, Q, gt, cfg, cores):
    import hnswlib
    from quarix import PyHNSW
    from quarix_shards import ShardedHNSW

    ids_of = vector_ids(X)
    rows = {}
    core.log(f"==> one PyHNSW over {len(X):,} vectors (one core)")
    single = PyHNSW(core.DIM, metric="euclidean")
    _, build = timed(lambda: single.create(X))
    found, many = timed(lambda: [single.search(q, core.K) for q in Q])
    rows["PyHNSW"] = dict(build_s=build, recall=core.recall_at_k([ids_of(h) for h in found], gt),
                          many_qps=len(Q) / many, **per_call(lambda q: single.search(q, core.K), Q[:cfg["per_call"]]))
    del single

    core.log(f"==> hnswlib, {cores} threads")
    X32, Q32 = X.astype(np.float32), Q.astype(np.float32)
    peer = hnswlib.Index(space="l2", dim=core.DIM)
    peer.init_index(max_elements=len(X), ef_construction=core.HNSW_EF_CONSTRUCTION, M=core.HNSW_M, random_seed=1)
    _, build = timed(lambda: peer.add_items(X32, np.arange(len(X)), num_threads=cores))
    peer.set_ef(HNSW_EF_SEARCH)
    (labels, _), many = timed(lambda: peer.knn_query(Q32, k=core.K, num_threads=cores))
    rows["hnswlib"] = dict(build_s=build, recall=core.recall_at_k(labels, gt), many_qps=len(Q) / many,
                           **per_call(lambda q: peer.knn_query(q, k=core.K, num_threads=1), Q32[:cfg["per_call"]]))
    del peer

    for shards in cfg["shard_counts"]:
        core.log(f"==> ShardedHNSW, {shards} shards")
        with ShardedHNSW(core.DIM, metric="euclidean", shards=shards) as graph:
            before = shard_memory(graph)
            _, build = timed(lambda: graph.create(X, progress=False))
            grown = [after - start for after, start in zip(shard_memory(graph), before)]
            found, many = timed(lambda: graph.search_many(Q, core.K))
            rows[shards] = dict(build_s=build, recall=core.recall_at_k([ids_of(h) for h in found], gt),
                                many_qps=len(Q) / many, shard_mib=max(grown) / 2**20,
                                **per_call(lambda q: graph.search(q, core.K), Q[:cfg["per_call"]],
                                           lambda: graph._last_index_seconds))
    return rows


def flat_section(X, Q, cfg):
    """Each shard count's search_many takes turns with one PyFlat over the same queries, best of
    ROUNDS each: the ratio then compares the two at the same moment of a machine whose speed drifts."""
    from quarix import PyFlat
    from quarix_shards import ShardedFlat

    rows = {}
    core.log(f"==> one PyFlat over {len(X):,} vectors")
    single = PyFlat(core.DIM)
    _, build = timed(lambda: single.create(X))
    want = [single.search(q, core.K) for q in Q]
    loop = lambda: [single.search(q, core.K) for q in Q]  # noqa: E731
    rows["PyFlat"] = dict(build_s=build, many_qps=0.0,
                          **per_call(lambda q: single.search(q, core.K), Q[:cfg["per_call"]]))
    for shards in cfg["shard_counts"]:
        core.log(f"==> ShardedFlat, {shards} shards")
        with ShardedFlat(core.DIM, shards=shards) as flat:
            _, build = timed(lambda: flat.create(X, progress=False))
            got = flat.search_many(Q, core.K)
            alone, many = [], []
            for _ in range(core.ROUNDS):
                alone.append(timed(loop)[1])
                many.append(timed(lambda: flat.search_many(Q, core.K))[1])
            rows["PyFlat"]["many_qps"] = max(rows["PyFlat"]["many_qps"], len(Q) / min(alone))
            rows[shards] = dict(build_s=build, many_qps=len(Q) / min(many), beside_qps=len(Q) / min(alone),
                                identical=got == want,
                                **per_call(lambda q: flat.search(q, core.K), Q[:cfg["per_call"]],
                                           lambda: flat._last_index_seconds))
    return rows


def target_rows(graph, flat, cores, quick):
    def judged(value, bound, at_most):
        if quick:
            return "— (set for the full run)"
        ok = value <= bound if at_most else value >= bound
        return "pass" if ok else "**fail**"

    rows = []
    if 4 in graph:
        ratio = graph[4]["build_s"] / graph["PyHNSW"]["build_s"]
        rows.append(["ShardedHNSW build wall time, S=4 / one PyHNSW", f"{graph[4]['build_s']:.1f} s",
                     f"{graph['PyHNSW']['build_s']:.1f} s", f"{ratio:.3f}×", f"≤ {TARGETS['build_s4_vs_single']}×",
                     judged(ratio, TARGETS["build_s4_vs_single"], True)])
        rows.append(["ShardedHNSW recall@10, S=4, defaults", f"{graph[4]['recall']:.3f}",
                     f"{graph['PyHNSW']['recall']:.3f} (one PyHNSW)", "—", f"≥ {TARGETS['recall_s4']}",
                     judged(graph[4]["recall"], TARGETS["recall_s4"], False)])
    for shards, bound in TARGETS["flat_many_vs_single"].items():
        if shards not in flat:
            continue
        ratio = flat[shards]["many_qps"] / flat[shards]["beside_qps"]
        rows.append([f"ShardedFlat.search_many queries/s, S={shards} / one PyFlat (taking turns)",
                     core.fmt(flat[shards]["many_qps"]), core.fmt(flat[shards]["beside_qps"]), f"{ratio:.2f}×",
                     f"≥ {bound}×", judged(ratio, bound, False)])
    return rows


def plot(graph, flat, cores, path):
    import matplotlib.pyplot as plt

    counts = sorted(s for s in graph if isinstance(s, int))
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    left.plot(counts, [graph[s]["build_s"] for s in counts], "o-", color="C3", label="ShardedHNSW")
    left.axhline(graph["PyHNSW"]["build_s"], color="C3", ls="--", label="one PyHNSW")
    left.axhline(graph["hnswlib"]["build_s"], color="C0", ls="--", label=f"hnswlib, {cores} threads")
    left.set(xscale="log", yscale="log", xlabel="shards S", ylabel="build wall time (s)", xticks=counts,
             xticklabels=[str(s) for s in counts], title=f"build, N={graph['n']:,}")
    for rows, name, color in ((graph, "ShardedHNSW", "C3"), (flat, "ShardedFlat", "C2")):
        right.plot(counts, [rows[s]["many_qps"] for s in counts], "o-", color=color, label=f"{name}.search_many")
        right.plot(counts, [rows[s]["call_qps"] for s in counts], "o:", color=color, label=f"{name}.search")
    right.axhline(graph["PyHNSW"]["many_qps"], color="C3", ls="--", label="one PyHNSW")
    right.axhline(flat["PyFlat"]["many_qps"], color="C2", ls="--", label="one PyFlat")
    right.axhline(graph["hnswlib"]["many_qps"], color="C0", ls="--", label=f"hnswlib batch, {cores} threads")
    right.set(xscale="log", yscale="log", xlabel="shards S", ylabel="queries/s", xticks=counts,
              xticklabels=[str(s) for s in counts], title="queries, k=10")
    for ax in (left, right):
        ax.legend(fontsize=7)
        ax.grid(alpha=0.3, which="both")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def report(mode, cfg, graph, flat, filters, cores, elapsed, out_dir, started):
    info, versions = core.machine_info(), core.versions()
    import ray

    versions["ray"] = ray.__version__
    md = [f"# quarix sharded on Ray ({mode} run)", "",
          f"`./bench/run` — started {started}, this section took {elapsed:.0f} s.", "",
          f"Data: the clustered set of `bench.py` (N={cfg['n']:,}, {core.DIM} dimensions, seed {core.SEED}), "
          f"{cfg['n_queries']:,} queries, exact float64 ground truth, k={core.K}. One local Ray on this machine's "
          f"{cores} cores; every shard is one actor. One PyHNSW and one PyFlat run in the driver on one core; "
          f"hnswlib (M={core.HNSW_M}, ef_construction={core.HNSW_EF_CONSTRUCTION}, ef={HNSW_EF_SEARCH}, float32) "
          f"uses {cores} threads for its build and its batch query. Graph indexes use their defaults "
          f"(ef_construction=200, ef_search=50). Per-call figures are medians over {cfg['per_call']} calls; "
          "the Ray round trip is the call's wall time less the slowest shard's own search time.", "",
          "## Targets", "",
          core.table(["measure", "quarix", "peer", "ratio", "target", "result"], target_rows(graph, flat, cores, mode == "quick")), "",
          "## Graph: ShardedHNSW against one PyHNSW and hnswlib", ""]
    rows = []
    for key in ["PyHNSW", "hnswlib"] + cfg["shard_counts"]:
        r = graph[key]
        name = f"ShardedHNSW, S={key}" if isinstance(key, int) else ("one PyHNSW" if key == "PyHNSW"
                                                                   else f"hnswlib, {cores} threads")
        rows.append([name, core.fmt(r["build_s"], " s"), f"{r['recall']:.3f}", core.fmt(r["call_us"]),
                     core.fmt(r.get("index_us")), core.fmt(r.get("trip_us")), core.fmt(r["call_qps"]),
                     core.fmt(r["many_qps"]), core.fmt(r.get("shard_mib"))])
    md += [core.table(["index", "build", "recall@10", "µs per call", "index µs", "Ray trip µs", "queries/s, per call",
                       "queries/s, batch", "MiB per shard"], rows), "",
           "Batch: `search_many` over every query for the sharded indexes (one Ray call per shard), a loop of "
           "`search` for one PyHNSW, `knn_query` on the whole array for hnswlib. MiB per shard: the largest growth "
           "of a shard actor's resident set during the build.", "",
           "## Exact: ShardedFlat against one PyFlat", ""]
    rows = []
    for key in ["PyFlat"] + cfg["shard_counts"]:
        r = flat[key]
        name = f"ShardedFlat, S={key}" if isinstance(key, int) else "one PyFlat"
        same = "—" if key == "PyFlat" else ("yes" if r["identical"] else "**no**")
        beside = "—" if key == "PyFlat" else core.fmt(r["beside_qps"])
        rows.append([name, core.fmt(r["build_s"], " s"), core.fmt(r["call_us"]), core.fmt(r.get("index_us")),
                     core.fmt(r.get("trip_us")), core.fmt(r["call_qps"]), core.fmt(r["many_qps"]), beside, same])
    md += [core.table(["index", "create", "µs per call", "index µs", "Ray trip µs", "queries/s, per call",
                       "queries/s, search_many", "one PyFlat's queries/s in the same turns",
                       "answers identical to one PyFlat"], rows), "",
           f"search_many over every query, and one PyFlat's loop of `search` over the same queries, take turns "
           f"{core.ROUNDS} times for each shard count; each keeps its fastest turn (one PyFlat's row: its fastest "
           "turn of all). Each shard holds one PyFlat of its vectors.", "",
           "![build time and queries/s against shard count](sharded.png)", ""]
    md += sharded_filters.report_lines(filters) + ["## Machine", ""]
    md += [f"- {key}: {value}" for key, value in info.items()]
    md += ["", "## Versions", ""] + [f"- {key}: {value}" for key, value in versions.items()]
    (out_dir / "sharded.md").write_text("\n".join(md) + "\n")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes for CI-sized checks")
    ap.add_argument("--out", help="output folder (default bench/results, or bench/results/quick for --quick)")
    args, _ = ap.parse_known_args()
    mode = "quick" if args.quick else "full"
    cfg = CONFIGS[mode]
    out_dir = Path(args.out) if args.out else core.results_dir(args.quick)
    out_dir.mkdir(parents=True, exist_ok=True)
    started = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")
    begin = time.perf_counter()

    import ray

    ray.init(include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    cores = int(ray.cluster_resources()["CPU"])
    X, Q = core.make_data(cfg["n"], cfg["n_queries"])
    gt = core.exact_knn(X, Q)
    graph = graph_section(X, Q, gt, cfg, cores)
    graph["n"] = cfg["n"]
    flat = flat_section(X, Q, cfg)
    filters = sharded_filters.run(args.quick)
    plot(graph, flat, cores, out_dir / "sharded.png")
    report(mode, cfg, graph, flat, filters, cores, time.perf_counter() - begin, out_dir, started)
    core.log(f"==> sharded section done in {time.perf_counter() - begin:.0f} s; see {out_dir / 'sharded.md'}")


if __name__ == "__main__":
    sys.exit(main())
