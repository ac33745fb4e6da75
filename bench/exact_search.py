"""Exact search: PyFlat against numpy's float64 forms, faiss's flat index and
hnswlib's brute force, one query per call, k = 10.

Euclidean, or "inner_product" ranked by similarity: PyFlat is given the
negated query (it orders every metric ascending), numpy sorts -Xq, faiss
IndexFlatIP and hnswlib's "ip" space rank by similarity themselves.
"""

import time

import numpy as np

from common import K, log, measure, recall_at_k, summarize


def numpy_forms(X, metric):
    """The plain numpy searches, each q -> the ids of its k best rows in order."""
    def best(d):
        idx = np.argpartition(d, K)[:K] if len(d) > K else np.arange(len(d))
        return idx[np.argsort(d[idx])]

    if metric != "euclidean":
        return {"numpy -Xq": lambda q: best(-(X @ q))}
    norms = np.einsum("ij,ij->i", X, X)
    return {"numpy (X-q)^2": lambda q: best(((X - q) ** 2).sum(1)),
            "numpy norms-2Xq": lambda q: best(norms - 2 * (X @ q))}


def exact_section(X, Q, gt, n, query_cap, metric="euclidean"):
    import faiss
    import hnswlib
    from quarix import PyFlat

    faiss.omp_set_num_threads(1)
    Xn = np.ascontiguousarray(X[:n])
    dim = Xn.shape[1]
    nq = min(len(Q), query_cap)
    Qs = Q[:nq]
    truth = gt[:nq]
    rows = {}

    qrows = [Qs[j] for j in range(nq)]
    t0 = time.perf_counter()
    flat = PyFlat(dim, metric=metric)
    flat.create(Xn.tolist())
    build_s = time.perf_counter() - t0
    sign = 1.0 if metric == "euclidean" else -1.0
    qlists = (sign * Qs).tolist()
    qarrays = [sign * q for q in qrows]

    X32 = np.ascontiguousarray(Xn, dtype=np.float32)
    Q32 = np.ascontiguousarray(Qs, dtype=np.float32)
    q32rows = [Q32[j] for j in range(nq)]
    fl = (faiss.IndexFlatL2 if metric == "euclidean" else faiss.IndexFlatIP)(dim)
    fl.add(X32)
    bf = hnswlib.BFIndex(space="l2" if metric == "euclidean" else "ip", dim=dim)
    bf.init_index(max_elements=n)
    bf.add_items(X32, np.arange(n))
    suffix = "L2" if metric == "euclidean" else "IP"

    cases = [(name, None, fn, qrows) for name, fn in numpy_forms(Xn, metric).items()]
    cases += [
        ("PyFlat (list query)", None, lambda q: [i for i, _ in flat.search(q, K)], qlists),
        ("PyFlat (ndarray query)", None, lambda q: [i for i, _ in flat.search(q, K)], qarrays),
        (f"faiss IndexFlat{suffix} (f32)", None, lambda j: fl.search(Q32[j:j + 1], K)[1][0], list(range(nq))),
        ("hnswlib BFIndex (f32)", None, lambda q: bf.knn_query(q, k=K, num_threads=1)[0][0], q32rows),
    ]
    for name, (found, ns) in measure(cases).items():
        rows[name] = {**summarize(ns), "recall": recall_at_k(found, truth)}
    rows["PyFlat (list query)"]["build_s"] = build_s
    for name, r in rows.items():
        r["scan_gbs"] = n * dim * 8 / (r["median_us"] * 1e-6) / 1e9
        log(f"  exact {metric:<13} N={n:>6} {name:<26} median {r['median_us']:9.1f} µs  "
            f"{r['qps']:8.0f} q/s  recall {r['recall']:.3f}")
    return {"n": n, "queries": nq, "metric": metric, "rows": rows}
