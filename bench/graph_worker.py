"""One graph index (PyHNSW, hnswlib, faiss or usearch) built and searched in a
fresh process, so its resident-set growth can be read as its memory.

A spec (JSON) names the system, N, the metric ("euclidean", or
"inner_product": ranked by similarity, PyHNSW given the negated query), the
beam widths to sweep, and for PyHNSW its ef_search or the attributes to
filter on. The data file (.npz) holds X, Q, the ground truth named by the
spec, and for each filter attribute a: meta_a (the value of every node),
qmeta_a (the value each query asks for) and the exact filtered truth (fgt_a,
or the key the spec's filter_truth names).
"""

import gc
import json
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from common import (HNSW_EF_CONSTRUCTION, HNSW_M, K, PYHNSW_DEFAULT_EF, SEED, fmt, log, measure, recall_at_k,
                    rss_bytes, summarize)

# Each library's name for the two metrics; faiss ranks inner products by similarity itself.
SPACES = {"euclidean": {"hnswlib": "l2", "usearch": "l2sq"}, "inner_product": {"hnswlib": "ip", "usearch": "ip"}}


def recalls(found, truth):
    return [recall_at_k([f], [t]) for f, t in zip(found, truth)]


def build(system, metric, X, vectors, metadata, spec):
    n, dim = X.shape
    if system == "pyhnsw":
        from quarix import PyHNSW
        kwargs = {"metric": metric}
        if spec.get("ef") is not None:
            kwargs["ef_search"] = spec["ef"]
        if metadata is not None:
            kwargs["schema"] = list(spec["filtered"])
        index = PyHNSW(dim, **kwargs)
        if metadata is not None:
            index.create(vectors, metadata)
        else:
            index.create(vectors)
    elif system == "hnswlib":
        import hnswlib
        index = hnswlib.Index(space=SPACES[metric]["hnswlib"], dim=dim)
        index.init_index(max_elements=n, ef_construction=HNSW_EF_CONSTRUCTION, M=HNSW_M, random_seed=SEED % 1000)
        index.set_num_threads(1)
        index.add_items(vectors, np.arange(n), num_threads=1)
    elif system == "faiss":
        import faiss
        faiss.omp_set_num_threads(1)
        kind = faiss.METRIC_L2 if metric == "euclidean" else faiss.METRIC_INNER_PRODUCT
        index = faiss.IndexHNSWFlat(dim, HNSW_M, kind)
        index.hnsw.efConstruction = HNSW_EF_CONSTRUCTION
        index.add(vectors)
    else:
        from usearch.index import Index
        index = Index(ndim=dim, metric=SPACES[metric]["usearch"], dtype="f64", connectivity=HNSW_M,
                      expansion_add=HNSW_EF_CONSTRUCTION)
        index.add(np.arange(n, dtype=np.uint64), vectors, threads=1)
    return index


def worker_main(spec_path):
    spec = json.loads(Path(spec_path).read_text())
    system, n, metric = spec["system"], spec["n"], spec.get("metric", "euclidean")
    data = np.load(spec["data"])
    X = np.ascontiguousarray(data["X"][:n])
    Q = data["Q"]
    truth_key = spec.get("truth", f"gt_{n}")
    gt = data[truth_key] if truth_key in data else None
    result = {"system": system, "n": n, "metric": metric}
    if system == "pyhnsw":
        from quarix import PyHNSW  # noqa: F401  (loaded before the baseline, like the peers)
    elif system == "faiss":
        import faiss  # noqa: F401
    elif system == "hnswlib":
        import hnswlib  # noqa: F401
    else:
        import usearch.index  # noqa: F401

    metadata = None
    # Inputs in the form each library takes, made before the baseline so only
    # the index itself shows in the resident-set growth.
    if system == "pyhnsw":
        vectors = X.tolist()
        queries = (Q if metric == "euclidean" else -Q).tolist()
        id_of = {X[i].tobytes(): i for i in range(n)}
        if spec.get("filtered"):
            attrs = spec["filtered"]
            columns = [data[f"meta_{a}"][:n].tolist() for a in attrs]
            metadata = [list(zip(attrs, values)) for values in zip(*columns)]
    elif system in ("faiss", "hnswlib"):
        vectors = np.ascontiguousarray(X, dtype=np.float32)
        queries = np.ascontiguousarray(Q, dtype=np.float32)
    else:
        vectors, queries = X, Q
    gc.collect()
    rss0 = rss_bytes()

    t0, c0 = time.perf_counter(), time.process_time()
    index = build(system, metric, X, vectors, metadata, spec)
    result["build_s"] = time.perf_counter() - t0
    # CPU time next to wall time shows whether something else took the core.
    result["build_cpu_s"] = time.process_time() - c0
    gc.collect()
    result["rss_delta"] = rss_bytes() - rss0
    result["bytes_per_node"] = result["rss_delta"] / n
    result["concurrent_build"] = bool(spec.get("concurrent"))
    log(f"  {system:<8} {metric:<13} N={n:>6} built in {result['build_s']:8.2f} s"
        f"{' (alongside another build)' if spec.get('concurrent') else ''}, "
        f"{result['bytes_per_node']:.0f} B/node")

    if spec.get("wait"):
        # Tell the parent the build is over, and wait until no other process
        # runs, so the queries are timed alone.
        print("BUILT", flush=True)
        sys.stdin.readline()

    nq = len(Q)
    sweep = []
    if system == "pyhnsw":
        def ids_of(hits):
            return [id_of[np.asarray(v, dtype=np.float64).tobytes()] for _, v in hits]
        if spec.get("filtered"):
            result["filtered"] = {}
            asked = {a: data[f"qmeta_{a}"].tolist() for a in spec["filtered"]}
            fargs = {a: [(queries[j], (a, asked[a][j])) for j in range(nq)] for a in spec["filtered"]}
            timed = measure([(a, None, lambda qa: index.search(qa[0], K, filter=qa[1]), fargs[a])
                             for a in spec["filtered"]])
            for a in spec["filtered"]:
                ftruth = data[spec.get("filter_truth", {}).get(a, f"fgt_{a}")]
                hits, ns = timed[a]
                values = data[f"meta_{a}"][:n]
                found = [ids_of(h) for h in hits]
                wrong = sum(1 for f, v in zip(found, asked[a]) for i in f if values[i] != v)
                share = {v: c / n for v, c in zip(*np.unique(values, return_counts=True))}
                result["filtered"][a] = {
                    "keep": float(np.mean([share.get(v, 0.0) for v in asked[a]])), **summarize(ns),
                    "recall": recall_at_k(found, ftruth),
                    "mean_hits": sum(len(f) for f in found) / nq, "wrong": wrong,
                    "per_query": {"keep": [share.get(v, 0.0) for v in asked[a]],
                                  "recall": recalls(found, ftruth), "ns": ns}}
        else:
            hits, ns = measure([(0, None, lambda q: index.search(q, K), queries)])[0]
            found = [ids_of(h) for h in hits]
            sweep.append({"ef": spec.get("ef") or PYHNSW_DEFAULT_EF, **summarize(ns),
                          "recall": recall_at_k(found, gt) if gt is not None else None})
    else:
        qrows = [queries[j] for j in range(nq)]
        if system == "hnswlib":
            def setter(ef):
                return lambda: index.set_ef(ef)
            fn, args = (lambda q: index.knn_query(q, k=K, num_threads=1)[0][0]), qrows
        elif system == "faiss":
            def setter(ef):
                return lambda: setattr(index.hnsw, "efSearch", ef)
            fn, args = (lambda j: index.search(queries[j:j + 1], K)[1][0]), list(range(nq))
        else:
            def setter(ef):
                return lambda: setattr(index, "expansion_search", ef)
            fn, args = (lambda q: index.search(q, K, threads=1).keys), qrows
        timed = measure([(ef, setter(ef), fn, args) for ef in spec["efs"]])
        for ef in spec["efs"]:
            found, ns = timed[ef]
            sweep.append({"ef": ef, **summarize(ns),
                          "recall": recall_at_k(found, gt) if gt is not None else None})
    result["sweep"] = sweep
    for s in sweep:
        log(f"  {system:<8} {metric:<13} N={n:>6} ef={s['ef']:<4} median {s['median_us']:9.1f} µs  "
            f"{s['qps']:8.0f} q/s  recall {fmt(s['recall'], digits=3)}")
    for a, r in result.get("filtered", {}).items():
        log(f"  {system:<8} {metric:<13} N={n:>6} filter on {a} keeps {r['keep']:.1%}: median {r['median_us']:9.1f} µs"
            f"  {r['qps']:8.0f} q/s  recall {r['recall']:.3f}  mean hits {r['mean_hits']:.1f}")
    Path(spec["out"]).write_text(json.dumps(result))


class Runner:
    """Starts worker subprocesses, alone or two building at a time."""

    def __init__(self, data_path, tmp):
        self.data_path = data_path
        self.tmp = Path(tmp)
        self.count = 0

    def _start(self, spec, wait):
        self.count += 1
        spec = {**spec, "data": str(self.data_path), "wait": wait,
                "out": str(self.tmp / f"result{self.count}.json")}
        path = self.tmp / f"spec{self.count}.json"
        path.write_text(json.dumps(spec))
        proc = subprocess.Popen([sys.executable, __file__, str(path)],
                                stdin=subprocess.PIPE if wait else subprocess.DEVNULL,
                                stdout=subprocess.PIPE if wait else None, text=True)
        return proc, spec

    @staticmethod
    def _finish(proc, spec):
        code = proc.wait()
        if code != 0:
            log(f"  worker {spec['system']} N={spec['n']} failed with exit status {code}")
            return {"system": spec["system"], "n": spec["n"], "error": f"exit status {code}"}
        return json.loads(Path(spec["out"]).read_text())

    def solo(self, spec):
        return self._finish(*self._start(spec, wait=False))

    def pair(self, specs):
        started = [self._start({**s, "concurrent": len(specs) > 1}, wait=True) for s in specs]
        for proc, _ in started:
            proc.stdout.readline()  # "BUILT", or "" if the worker died
        results = []
        for proc, spec in started:
            try:
                proc.stdin.write("go\n")
                proc.stdin.close()
            except BrokenPipeError:
                pass
            results.append(self._finish(proc, spec))
        return results


if __name__ == "__main__":
    sys.exit(worker_main(sys.argv[1]))
