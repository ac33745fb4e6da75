"""Exact search by bounds: PyFlat's scan, which skips blocks of vectors on their
one-byte codes, against the plain scan, faiss's flat indexes and numpy.

Run through ./bench/run (section "flat"), or directly with
.venv/bin/python bench/flat_bounds.py [--quick]. The data is the clustered
set of bench.py; every query is a list, k = 10, one query per call. The plain
scan (codes never fitted) and the core's own create, insert and search costs
come from the test-only extension, which this script builds: they leave the
conversion of Python objects out, so their ratios are the strictest reading.
Output: bench/results/flat_bounds.md.
"""

import argparse
import datetime
import statistics
import sys
import time

import numpy as np

import bench as core

sys.path.insert(0, str(core.REPO / "tests"))
from native.build_hooks import build_hooks  # noqa: E402

CONFIGS = {
    "full": dict(ns=[10_000, 100_000], n_queries=200, inserts=20_000),
    "quick": dict(ns=[2_000, 5_000], n_queries=50, inserts=2_000),
}
TARGETS = {
    "l2_vs_faiss_100k": 0.5,    # PyFlat euclidean median / faiss IndexFlatL2, at N=100,000, at most
    "l2_vs_faiss_10k": 0.7,     # the same at N=10,000, at most
    "l2_vs_numpy_100k": 0.1,    # PyFlat euclidean median / the faster numpy form at N=100,000, at most
    "dot_vs_plain": 1.0,        # inner product and cosine: scan with codes / plain scan, at most
    "extra_bytes": 32,          # code bytes per vector beyond dim, at most
    "build_vs_plain": 2.0,      # create and insert cost per vector / the plain index's, at most
    "loose_vs_plain": 1.1,      # on data where bounds prove little: scan with codes / plain scan, at most
}
METRICS = ["euclidean", "inner_product", "cosine"]


def faiss_index(metric, X):
    import faiss
    faiss.omp_set_num_threads(1)
    X32 = np.ascontiguousarray(X, dtype=np.float32)
    if metric == "euclidean":
        index = faiss.IndexFlatL2(X.shape[1])
    else:
        if metric == "cosine":
            X32 /= np.maximum(np.linalg.norm(X32, axis=1, keepdims=True), 1e-30)
        index = faiss.IndexFlatIP(X.shape[1])
    index.add(X32)
    return index


def numpy_forms(X):
    norms = np.einsum("ij,ij->i", X, X)

    def direct(q):
        d = ((X - q) ** 2).sum(1)
        idx = np.argpartition(d, core.K)[:core.K]
        return idx[np.argsort(d[idx])]

    def expansion(q):
        d = norms - 2 * (X @ q)
        idx = np.argpartition(d, core.K)[:core.K]
        return idx[np.argsort(d[idx])]
    return direct, expansion


def profile_rounds(hooks, metric, dim, rows, queries, inserts):
    """The core's profile without codes ("plain") and with them ("codes"), the two
    taking turns over the rounds: this machine's speed drifts by a third within
    minutes, and rounds of one side only would give it all to that side."""
    runs = {"plain": [], "codes": []}
    for _ in range(core.ROUNDS):
        for name, start in (("plain", 0), ("codes", 1024)):
            runs[name].append(hooks.flat_profile(metric, start, dim, rows, queries, core.K, inserts))
    return runs


def section(hooks, X, Q, metric, inserts, by_similarity=False):
    """by_similarity: quarix is given the negated query for inner product and cosine, ranking by similarity as faiss does."""
    from quarix import PyFlat
    n, dim = X.shape
    rows, qlists = X.tolist(), (-Q if by_similarity and metric != "euclidean" else Q).tolist()
    flat = PyFlat(dim, metric=metric)
    flat.create(rows)
    fi = faiss_index(metric, X)
    Q32 = np.ascontiguousarray(Q, dtype=np.float32)
    if metric == "cosine":
        Q32 /= np.maximum(np.linalg.norm(Q32, axis=1, keepdims=True), 1e-30)
    cases = [("PyFlat", None, lambda q: flat.search(q, core.K), qlists),
             ("faiss", None, lambda j: fi.search(Q32[j:j + 1], core.K), list(range(len(Q))))]
    if metric == "euclidean":
        direct, expansion = numpy_forms(X)
        cases += [("numpy (X-q)^2", None, direct, list(Q)), ("numpy norms-2Xq", None, expansion, list(Q))]
    medians = {key: statistics.median(ns) / 1e3 for key, (_, ns) in core.measure(cases).items()}
    profiles = {}
    for name, runs in profile_rounds(hooks, metric, dim, rows, qlists, inserts).items():
        best = min(runs, key=lambda r: statistics.median(r[2]))
        profiles[name] = {
            "create_us": min(r[0] for r in runs) / n / 1e3, "insert_us": min(r[1] for r in runs) / inserts / 1e3,
            "convert_us": min(r[5] for r in runs) / n / 1e3,
            "search_us": statistics.median(best[2]) / 1e3, "bytes": best[3] / n,
            "skipped": best[4] / (len(Q) * ((n + 7) // 8)),
        }
    row = {"n": n, "metric": metric, "medians": medians, "profiles": profiles}
    core.log(f"  flat N={n:>6} {metric:<13} PyFlat {medians['PyFlat']:8.1f} µs  faiss {medians['faiss']:8.1f} µs  "
             f"core plain {profiles['plain']['search_us']:8.1f} µs  codes {profiles['codes']['search_us']:8.1f} µs  "
             f"skipped {profiles['codes']['skipped']:.1%}")
    return row


def loose_section(hooks, n, n_queries, dim):
    """Gaussian data with one far outlier in a thousand: the grid must span the outliers, so its steps are far
    wider than the distances between ordinary vectors, and the codes prove almost nothing."""
    rng = np.random.default_rng(core.SEED + 1)
    data = rng.standard_normal((n, dim))
    data[::1000] *= 1e9
    rows = data.tolist()
    queries = rng.standard_normal((n_queries, dim)).tolist()
    out = []
    for metric in METRICS:
        times = {}
        for name, runs in profile_rounds(hooks, metric, dim, rows, queries, 0).items():
            best = min(runs, key=lambda r: statistics.median(r[2]))
            times[name] = (statistics.median(best[2]) / 1e3, best[4] / (len(queries) * ((n + 7) // 8)))
        out.append({"n": n, "metric": metric, "plain_us": times["plain"][0], "codes_us": times["codes"][0],
                    "skipped": times["codes"][1]})
        core.log(f"  loose N={n:>6} {metric:<13} core plain {times['plain'][0]:8.1f} µs  codes {times['codes'][0]:8.1f} µs"
                 f"  skipped {times['codes'][1]:.1%}")
    return out


def judge(rows, loose, dim, full):
    checks = []
    for r in loose:
        ratio = r["codes_us"] / r["plain_us"]
        checks.append((f"loose data, {r['metric']} N={r['n']:,}: scan with codes / plain scan", ratio,
                       f"<= {TARGETS['loose_vs_plain']}", ratio <= TARGETS["loose_vs_plain"]))
    for r in rows:
        m, p = r["medians"], r["profiles"]
        # The 0.5 limit is set for N=100,000; smaller sets, the real-data one too, get the 0.7 of N=10,000.
        big = r["n"] >= 100_000
        if r["metric"] == "euclidean":
            vs_faiss = m["PyFlat"] / m["faiss"]
            limit = TARGETS["l2_vs_faiss_100k"] if big else TARGETS["l2_vs_faiss_10k"]
            checks.append((f"euclidean N={r['n']:,}: PyFlat / faiss IndexFlatL2", vs_faiss, f"<= {limit}", vs_faiss <= limit))
            if big:
                vs_numpy = m["PyFlat"] / min(m["numpy (X-q)^2"], m["numpy norms-2Xq"])
                checks.append((f"euclidean N={r['n']:,}: PyFlat / faster numpy form", vs_numpy,
                               f"<= {TARGETS['l2_vs_numpy_100k']}", vs_numpy <= TARGETS["l2_vs_numpy_100k"]))
        else:
            vs_plain = p["codes"]["search_us"] / p["plain"]["search_us"]
            checks.append((f"{r['metric']} N={r['n']:,}: scan with codes / plain scan", vs_plain,
                           f"<= {TARGETS['dot_vs_plain']}", vs_plain <= TARGETS["dot_vs_plain"]))
        extra = p["codes"]["bytes"] - p["plain"]["bytes"]
        checks.append((f"{r['metric']} N={r['n']:,}: code bytes per vector", extra,
                       f"<= dim + {TARGETS['extra_bytes']} = {dim + TARGETS['extra_bytes']}",
                       extra <= dim + TARGETS["extra_bytes"]))
        # Judged as a caller pays it: converting the vectors (the same work
        # with codes or without) plus the core's own cost.
        convert = min(p["codes"]["convert_us"], p["plain"]["convert_us"])
        for kind in ("create", "insert"):
            ratio = (convert + p["codes"][f"{kind}_us"]) / (convert + p["plain"][f"{kind}_us"])
            checks.append((f"{r['metric']} N={r['n']:,}: {kind} cost per vector (conversion + core) / plain", ratio,
                           f"<= {TARGETS['build_vs_plain']}", ratio <= TARGETS["build_vs_plain"]))
    if not full:
        checks = [(name, value, limit, None) for name, value, limit, _ in checks]
    return checks


def report(rows, loose, checks, mode, dim, n_queries, elapsed):
    md = [f"# Exact search by bounds ({mode} run, {datetime.date.today().isoformat()})", "",
          f"Data: the clustered set of bench.py ({dim} dimensions), {n_queries} list queries, k = {core.K}, one "
          "query per call, one thread. PyFlat, faiss and numpy are timed through Python, taking turns over "
          f"{core.ROUNDS} rounds; the core columns time the index alone (conversions left out) with codes "
          "(fitted from 1,024 vectors on, the default) and without them (the plain scan of earlier versions). "
          "faiss stores float32; for the cosine it searches normalised vectors with IndexFlatIP.", "",
          "## Targets", "", "| check | measured | target | pass |", "|---|---|---|---|"]
    for name, value, limit, ok in checks:
        verdict = "n/a (quick run)" if ok is None else ("pass" if ok else "FAIL")
        md.append(f"| {name} | {value:.3f} | {limit} | {verdict} |")
    md += ["", "## Latency (median µs per query)", "",
           "| N | metric | PyFlat | faiss | PyFlat / faiss | numpy fastest | core plain | core codes | blocks skipped |",
           "|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        m, p = r["medians"], r["profiles"]
        fastest = min((v for k, v in m.items() if k.startswith("numpy")), default=None)
        md.append(f"| {r['n']:,} | {r['metric']} | {m['PyFlat']:.1f} | {m['faiss']:.1f} | {m['PyFlat'] / m['faiss']:.3f} | "
                  f"{'' if fastest is None else f'{fastest:.1f}'} | {p['plain']['search_us']:.1f} | "
                  f"{p['codes']['search_us']:.1f} | {p['codes']['skipped']:.1%} |")
    md += ["", "## Data where bounds prove little (Gaussian with one outlier ×1e9 in a thousand; core median µs per query)", "",
           "| N | metric | plain | codes | codes / plain | blocks skipped |", "|---|---|---|---|---|---|"]
    for r in loose:
        md.append(f"| {r['n']:,} | {r['metric']} | {r['plain_us']:.1f} | {r['codes_us']:.1f} | "
                  f"{r['codes_us'] / r['plain_us']:.3f} | {r['skipped']:.1%} |")
    md += ["", "## Building (core, per vector)", "",
           "| N | metric | conversion µs | create plain µs | create codes µs | insert plain µs | insert codes µs | "
           "core create codes / plain | core insert codes / plain | code bytes per vector |",
           "|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        p = r["profiles"]
        md.append(f"| {r['n']:,} | {r['metric']} | {min(p['plain']['convert_us'], p['codes']['convert_us']):.3f} | "
                  f"{p['plain']['create_us']:.3f} | {p['codes']['create_us']:.3f} | "
                  f"{p['plain']['insert_us']:.3f} | {p['codes']['insert_us']:.3f} | "
                  f"{p['codes']['create_us'] / p['plain']['create_us']:.2f} | "
                  f"{p['codes']['insert_us'] / p['plain']['insert_us']:.2f} | "
                  f"{p['codes']['bytes'] - p['plain']['bytes']:.1f} |")
    md += ["", "Build costs are the core's alone (conversions left out), per vector; the conversion column is what "
           "turning the Python lists into vectors costs per vector, the same with codes or without. The create "
           "and insert targets are judged on conversion plus core, the cost a caller pays.", "",
           f"Elapsed: {elapsed:.0f} s.", ""]
    out = core.results_dir(mode == "quick") / "flat_bounds.md"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(md))
    core.log(f"==> wrote {out}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    cfg = CONFIGS[mode]
    start = time.perf_counter()
    core.log("==> building the test-only extension for the core's own timings")
    hooks = build_hooks()
    X_all, Q = core.make_data(max(cfg["ns"]), cfg["n_queries"])
    rows = []
    for n in cfg["ns"]:
        X = np.ascontiguousarray(X_all[:n])
        for metric in METRICS:
            rows.append(section(hooks, X, Q, metric, min(cfg["inserts"], n)))
    loose = loose_section(hooks, max(cfg["ns"]), cfg["n_queries"], core.DIM)
    checks = judge(rows, loose, core.DIM, mode == "full")
    report(rows, loose, checks, mode, core.DIM, cfg["n_queries"], time.perf_counter() - start)
    for name, value, limit, ok in checks:
        core.log(f"  {'n/a ' if ok is None else ('pass' if ok else 'FAIL')}  {name}: {value:.3f} ({limit})")


if __name__ == "__main__":
    main()
