"""quarix on Ray: one index spread over shards, compared with the single index.

Starts a local Ray (or joins the cluster named by RAY_ADDRESS), builds a
ShardedFlat and a ShardedHNSW over seeded clustered vectors next to one PyFlat
and one PyHNSW, and prints the build times, queries per second and what the
sharded answers share with the single ones: ShardedFlat must equal PyFlat to
the bit (the script exits with status 1 if not), ShardedHNSW is measured by
its recall@10 against exact search.

    .venv/bin/python examples/sharded.py [--n 20000] [--shards 4]

Needs the `ray` extra (pip install quarix[ray]); ./run test installs it.
"""

import argparse
import os
import sys
import time

if "RAY_ADDRESS" not in os.environ:
    # A local Ray of its own: keep its traffic on loopback.
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")

import numpy as np
import ray

from quarix import PyFlat, PyHNSW
from quarix_shards import ShardedFlat, ShardedHNSW

DIM = 64
K = 10


def clustered(rng, n, clusters=32):
    centres = rng.uniform(-5.0, 5.0, size=(clusters, DIM))
    return centres[rng.integers(0, clusters, size=n)] + rng.standard_normal((n, DIM))


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    seconds = time.perf_counter() - start
    print(f"  {label:<44} {seconds:8.2f} s")
    return result, seconds


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--n", type=int, default=20_000, help="vectors to index")
    ap.add_argument("--shards", type=int, default=None, help="shards (default: one per CPU Ray reports)")
    ap.add_argument("--queries", type=int, default=500)
    args = ap.parse_args()

    ray.init(include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    print(f"Ray: {int(ray.cluster_resources()['CPU'])} CPUs on {len(ray.nodes())} node(s)")
    rng = np.random.default_rng(7)
    X, Q = clustered(rng, args.n), clustered(rng, args.queries)

    print(f"\nExact search over {args.n:,} vectors of {DIM} elements")
    flat = PyFlat(DIM)
    timed("one PyFlat: create", lambda: flat.create(X))
    want, one = timed(f"one PyFlat: {args.queries} searches", lambda: [flat.search(q, K) for q in Q])
    with ShardedFlat(DIM, shards=args.shards) as sharded:
        timed(f"ShardedFlat ({sharded.shards} shards): create", lambda: sharded.create(X))
        got, many = timed(f"ShardedFlat: search_many of {args.queries}", lambda: sharded.search_many(Q, K))
    exact = got == want
    print(f"  answers equal to one PyFlat, ids and distances: {'yes' if exact else 'NO'}; "
          f"queries/s {args.queries / one:,.0f} -> {args.queries / many:,.0f}")

    print(f"\nApproximate search (HNSW graph, default settings)")
    truth = [{i for i, _ in hits} for hits in want]
    ids = {tuple(row[:4]): i for i, row in enumerate(X.tolist())}

    def recall(results):
        found = [{ids[tuple(v[:4])] for _, v in hits} for hits in results]
        return sum(len(f & t) for f, t in zip(found, truth)) / sum(len(t) for t in truth)

    graph = PyHNSW(DIM, metric="euclidean")
    _, single_build = timed("one PyHNSW: create (one core)", lambda: graph.create(X))
    results, one = timed(f"one PyHNSW: {args.queries} searches", lambda: [graph.search(q, K) for q in Q])
    print(f"  recall@10 {recall(results):.3f}, queries/s {args.queries / one:,.0f}")
    with ShardedHNSW(DIM, metric="euclidean", shards=args.shards) as sharded:
        _, build = timed(f"ShardedHNSW ({sharded.shards} shards): create", lambda: sharded.create(X))
        results, many = timed(f"ShardedHNSW: search_many of {args.queries}", lambda: sharded.search_many(Q, K))
    print(f"  recall@10 {recall(results):.3f}, queries/s {args.queries / many:,.0f}, "
          f"build {build / single_build:.2f}x the single graph's time")
    return 0 if exact else 1


if __name__ == "__main__":
    sys.exit(main())
