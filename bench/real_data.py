"""Real data: the docstrings of this interpreter's standard library and of every
package installed beside it, embedded with wordllama's bundled model (256
elements per text), searched by quarix and its peers.

Run through ./bench/run (section "real"), or directly with
.venv/bin/python bench/real_data.py [--quick]. The texts come from
examples/docstring_corpus.py (embeddings cached in bench/data/). Rows are
scaled to length 1 and identical rows (texts with the same docstring) kept
once, so each vector has one id. A fixed-seed draw of 1,000 texts (quick: 300
of 3,000) is held out as queries; exact float64 ground truth. Two metrics that
rank by similarity: Euclidean distance on the unit rows, and the inner product
with PyFlat and PyHNSW given the negated query (the peers rank inner products
by similarity themselves). The same tables as the clustered set: exact
search (with the flat scan's targets), graph builds and memory (with the
graph's targets on the Euclidean unit rows), recall against queries/s, and
filtered search, here by the query's own package.

Output: bench/results/real_data.md, real_recall_qps.png, real_filtered.png.
"""

# First, so that the thread pools start with one thread (see common.py).
from common import (COLORS, HERE, K, NAMES, PEER_EFS, PYHNSW_DEFAULT_EF, PYHNSW_EFS, REPO, SEED, cheapest_reaching,
                    exact_knn, filtered_truth, finish_axes, fmt, log, machine_info, results_dir, save_figure, table, versions)

import argparse  # noqa: E402
import datetime  # noqa: E402
import importlib.metadata  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import flat_bounds  # noqa: E402
from exact_search import exact_section  # noqa: E402
from graph_worker import Runner  # noqa: E402

sys.path.insert(0, str(REPO / "examples"))
import docstring_corpus as corpus  # noqa: E402

CONFIGS = {"full": dict(texts=None, n_queries=1000, inserts=2000),
           "quick": dict(texts=3000, n_queries=300, inserts=500)}
METRICS = ["euclidean", "inner_product"]
# The graph's targets on the Euclidean unit rows, ratios against hnswlib in the same run.
GRAPH_TARGETS = {"build_vs_hnswlib": 2.5,    # build time, at most
                 "latency_vs_hnswlib": 1.0,  # at PyHNSW's default recall, against hnswlib's cheapest ef reaching it
                 "bytes_per_node": 8000}     # resident bytes per node, at most
# Filtered searches grouped by how much of the index the query's package holds.
SHARE_BUCKETS = [(0.10, 1.0, "≥ 10%"), (0.01, 0.10, "1–10%"), (0.001, 0.01, "0.1–1%"), (0.0, 0.001, "< 0.1%")]


def load(cfg):
    texts = corpus.collect(installed=True)
    t0 = time.perf_counter()
    vectors, path, cached = corpus.embeddings(texts)
    embed_s = None if cached else time.perf_counter() - t0
    unit = corpus.unit_rows(vectors)
    _, first = np.unique(unit, axis=0, return_index=True)
    kept = np.sort(first)
    order = np.random.default_rng(SEED).permutation(kept)
    if cfg["texts"]:
        order = order[:cfg["texts"]]
    queries, rows = order[:cfg["n_queries"]], np.sort(order[cfg["n_queries"]:])
    packages = sorted({t.package for t in texts})
    stdlib = sorted(p for p in packages if p in sys.stdlib_module_names)
    code = {p: i for i, p in enumerate(packages)}
    package_of = np.array([code[t.package] for t in texts])
    info = {"python": ".".join(map(str, sys.version_info[:3])), "texts": len(texts), "unique": len(kept),
            "packages": len(packages), "installed": [p for p in packages if p not in stdlib],
            "stdlib_packages": len(stdlib), "used": len(order), "n": len(rows), "queries": len(queries),
            "cache": path.name, "embed_s": embed_s}
    return unit[rows], unit[queries], package_of[rows], package_of[queries], info


def graph_runs(runner, n):
    results = []
    for metric in METRICS:
        for system in ["hnswlib", "faiss", "usearch"]:
            results.append(runner.solo({"system": system, "n": n, "metric": metric, "efs": PEER_EFS,
                                        "truth": f"gt_{metric}"}))
        for ef in PYHNSW_EFS:
            results.append(runner.solo({"system": "pyhnsw", "n": n, "metric": metric, "ef": ef,
                                        "truth": f"gt_{metric}"}))
        results.append(runner.solo({"system": "pyhnsw", "n": n, "metric": metric, "filtered": ["package"],
                                    "filter_truth": {"package": f"fgt_{metric}"}}))
    return results


def buckets(per_query):
    keep = np.array(per_query["keep"])
    recall, ns = np.array(per_query["recall"]), np.array(per_query["ns"])
    out = []
    for low, high, label in SHARE_BUCKETS:
        chosen = (keep >= low) & (keep < high) if high < 1.0 else keep >= low
        if chosen.any():
            out.append({"label": label, "queries": int(chosen.sum()), "keep": float(keep[chosen].mean()),
                        "recall": float(recall[chosen].mean()), "median_us": float(np.median(ns[chosen]) / 1e3)})
    return out


def graph_targets(R):
    def solo(system):
        return next((r for r in R["graph"] if "error" not in r and r["system"] == system and not r.get("filtered")
                     and r["metric"] == "euclidean" and any(s["ef"] == PYHNSW_DEFAULT_EF for s in r["sweep"])), None)

    full = R["mode"] == "full"

    def row(name, ours, theirs, ratio, target, ok, unit=""):
        verdict = "n/a (quick run)" if not full else ("pass" if ok else "**fail**")
        return [name, fmt(ours, unit), fmt(theirs, unit) if not isinstance(theirs, str) else theirs,
                fmt(ratio, "×"), target, verdict]

    p, h = solo("pyhnsw"), solo("hnswlib")
    if not p or not h:
        return [["(a graph worker failed)", "—", "—", "—", "—", "n/a"]]
    n = p["n"]
    rows = [row(f"build, N={n:,} (s)", p["build_s"], h["build_s"], p["build_s"] / h["build_s"],
                f"≤ {GRAPH_TARGETS['build_vs_hnswlib']}×",
                p["build_s"] / h["build_s"] <= GRAPH_TARGETS["build_vs_hnswlib"])]
    ours = next(s for s in p["sweep"] if s["ef"] == PYHNSW_DEFAULT_EF)
    theirs = cheapest_reaching(h["sweep"], ours["recall"])
    note = f"ef={theirs['ef']}, recall {theirs['recall']:.3f}" if theirs else "none reaches it; its best"
    if not theirs:
        theirs = max(h["sweep"], key=lambda s: (s["recall"], -s["ef"]))
    ratio = ours["median_us"] / theirs["median_us"]
    rows.append(row(f"latency at PyHNSW's default recall {ours['recall']:.3f} (ef_search={PYHNSW_DEFAULT_EF}; "
                    f"hnswlib {note}), µs", ours["median_us"], theirs["median_us"], ratio,
                    f"≤ {GRAPH_TARGETS['latency_vs_hnswlib']}×", ratio <= GRAPH_TARGETS["latency_vs_hnswlib"]))
    rows.append(row(f"memory per node, N={n:,} (RSS bytes)", p["bytes_per_node"], h["bytes_per_node"],
                    p["bytes_per_node"] / h["bytes_per_node"], f"≤ {GRAPH_TARGETS['bytes_per_node']:,} bytes",
                    p["bytes_per_node"] <= GRAPH_TARGETS["bytes_per_node"]))
    return rows


def report(R, out_dir):
    info = R["data"]
    md = [f"# Real data: docstrings of the standard library and the installed packages ({R['mode']} run, "
          f"{R['started']})", "",
          f"`./bench/run{' --quick' if R['mode'] == 'quick' else ''}` (section `real`), took {R['elapsed_s']:.0f} s.",
          "",
          f"Corpus: {info['texts']:,} distinct docstrings of CPython {info['python']}'s standard library "
          f"({info['stdlib_packages']} of its packages) and of the {len(info['installed'])} packages installed "
          f"beside it ({', '.join(info['installed'])}); {info['unique']:,} distinct embeddings, this run uses "
          f"{info['used']:,}; "
          f"embedded by wordllama's bundled model ({corpus.MODEL_CONFIG}, {corpus.MODEL_DIM} elements), rows scaled "
          f"to length 1. Index N={info['n']:,}; {info['queries']:,} held-out queries (seed {SEED}); k={K}; one "
          f"query per call, one thread; exact float64 ground truth. Embeddings from `bench/data/{info['cache']}`"
          + (f" (embedded in {info['embed_s']:.1f} s)." if info["embed_s"] else " (cached)."), "",
          "Inner product: quarix is given the negated query, so its ascending order is the order of similarity; "
          "faiss, hnswlib and usearch rank inner products by similarity themselves. faiss and hnswlib store "
          "float32, usearch f64.", ""]

    md += ["## Flat scan targets", "",
           "The exact-search-by-bounds targets of the clustered set, on this set (PyFlat / faiss against the "
           "N=10,000 limit).", "",
           table(["check", "measured", "target", "result"],
                 [[name, f"{value:.3f}", limit, "n/a (quick run)" if ok is None else ("pass" if ok else "**fail**")]
                  for name, value, limit, ok in R["flat_checks"]]), "",
           table(["metric", "PyFlat µs", "faiss µs", "core plain µs", "core codes µs", "blocks skipped",
                  "code bytes/vector"],
                 [[r["metric"], fmt(r["medians"]["PyFlat"]), fmt(r["medians"]["faiss"]),
                   fmt(r["profiles"]["plain"]["search_us"]), fmt(r["profiles"]["codes"]["search_us"]),
                   f"{r['profiles']['codes']['skipped']:.1%}",
                   fmt(r["profiles"]["codes"]["bytes"] - r["profiles"]["plain"]["bytes"])] for r in R["flat"]]), ""]

    md += ["## Exact search", "",
           table(["metric", "system", "median µs", "queries/s", "recall@10"],
                 [[e["metric"], name, fmt(r["median_us"]), fmt(r["qps"]), f"{r['recall']:.3f}"]
                  for e in R["exact"] for name, r in e["rows"].items()]), ""]

    graphs = [r for r in R["graph"] if "error" not in r]
    failed = [r for r in R["graph"] if "error" in r]
    md += ["## Graph builds and memory", "",
           f"M=16, ef_construction=200 for the peers; PyHNSW defaults. Latency at ef={PYHNSW_DEFAULT_EF}.", "",
           table(["metric", "system", "build s", "vectors/s", "RSS bytes/node", f"median µs (ef={PYHNSW_DEFAULT_EF})",
                  "recall@10"],
                 [[r["metric"], NAMES[r["system"]], fmt(r["build_s"]), fmt(r["n"] / r["build_s"]),
                   fmt(r["bytes_per_node"]), fmt(s["median_us"]), f"{s['recall']:.3f}"]
                  for r in graphs if not r.get("filtered")
                  for s in r["sweep"] if s["ef"] == PYHNSW_DEFAULT_EF]), ""]
    if failed:
        md += ["Failed workers: " + ", ".join(f"{r['system']} ({r['error']})" for r in failed), ""]

    md += ["## Graph targets (Euclidean, unit rows)", "",
           "Ratios against hnswlib in the same run. Latency: PyHNSW at its default ef_search against hnswlib at "
           "the cheapest ef that reaches the same recall (or, if none does, hnswlib's best).", "",
           table(["measure", "PyHNSW", "hnswlib", "ratio", "target", "result"], graph_targets(R)), ""]

    md += ["## Recall@10 against queries/s", "",
           table(["metric", "system", "ef (search)", "recall@10", "median µs", "queries/s"],
                 [[r["metric"], NAMES[r["system"]], s["ef"], f"{s['recall']:.3f}", fmt(s["median_us"]), fmt(s["qps"])]
                  for r in graphs if not r.get("filtered") for s in r["sweep"]]), ""]

    md += [f"## Filtered search by package (PyHNSW, ef_search={PYHNSW_DEFAULT_EF})", "",
           "Each query asks for hits in its own package; ground truth is the exact search over that package's "
           "rows (recall counts min(10, rows) hits). Rows: queries grouped by their package's share of the index.", ""]
    rows = []
    for r in graphs:
        for f in r.get("filtered", {}).values():
            rows.append([r["metric"], "all", len(f["per_query"]["keep"]), f"{f['keep']:.1%}", f"{f['recall']:.3f}",
                         fmt(f["median_us"]), f["wrong"]])
            rows += [[r["metric"], b["label"], b["queries"], f"{b['keep']:.2%}", f"{b['recall']:.3f}",
                      fmt(b["median_us"]), ""] for b in buckets(f["per_query"])]
    md += [table(["metric", "package share", "queries", "mean share", "recall@10", "median µs",
                  "hits outside the package"], rows), ""]

    m, v = R["machine"], R["versions"]
    md += ["## Machine and versions", "",
           table(["", ""], [["CPU", m.get("cpu", "?")], ["cores", m.get("cores")],
                            ["SIMD flags", " ".join(m.get("flags", []))]]
                 + [[k, x] for k, x in v.items()] + [["wordllama", R["wordllama"]]]), "",
           "Plots: `real_recall_qps.png`, `real_filtered.png` beside this file.", ""]
    (out_dir / "real_data.md").write_text("\n".join(md))


def plots(R, out_dir):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker
    graphs = [r for r in R["graph"] if "error" not in r and not r.get("filtered")]
    fig, axes = plt.subplots(1, len(METRICS), figsize=(11, 4.5), dpi=90, sharey=True)
    for ax, metric in zip(axes, METRICS):
        for system in ["pyhnsw", "hnswlib", "faiss", "usearch"]:
            pts = sorted((s["ef"], s["qps"], s["recall"]) for r in graphs
                         if r["metric"] == metric and r["system"] == system for s in r["sweep"])
            if pts:
                ax.plot([p[1] for p in pts], [p[2] for p in pts], "o-", ms=3, color=COLORS[system],
                        label=NAMES[system])
        exact = next(e for e in R["exact"] if e["metric"] == metric)
        ax.plot([exact["rows"]["PyFlat (list query)"]["qps"]], [1.0], "s", color="k", label="PyFlat (exact)")
        ax.set_xscale("log")
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel("queries/s (one thread, one query per call)")
        ax.set_title(f"{metric}, N={R['data']['n']:,}, d={corpus.MODEL_DIM}")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("recall@10")
    axes[0].legend(fontsize=8, loc="lower left")
    fig.suptitle(f"Docstring embeddings: recall@10 against queries/s ({R['mode']} run)")
    save_figure(fig, out_dir / "real_recall_qps.png")

    fig, ax = plt.subplots(figsize=(7, 4.5), dpi=90)
    for r in R["graph"]:
        for f in r.get("filtered", {}).values():
            bs = buckets(f["per_query"])
            ax.plot([b["keep"] * 100 for b in bs], [b["recall"] for b in bs], "o-" if r["metric"] == "euclidean"
                    else "s--", label=f"PyHNSW, {r['metric']}")
    ax.set_xscale("log")
    ax.set_ylim(0, 1.05)
    ax.set_xlabel("share of the index in the query's package, % (mean per group)")
    ax.set_ylabel("recall@10")
    ax.set_title(f"Filtered by package, ef_search={PYHNSW_DEFAULT_EF} ({R['mode']} run)")
    finish_axes(ax, fontsize=8)
    save_figure(fig, out_dir / "real_filtered.png")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--out", help="output folder (default bench/results, or bench/results/quick for --quick)")
    args = parser.parse_args()
    mode = "quick" if args.quick else "full"
    cfg = CONFIGS[mode]
    out_dir = Path(args.out) if args.out else results_dir(args.quick)
    out_dir.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    R = {"mode": mode, "started": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
         "machine": machine_info(), "versions": versions()}
    R["wordllama"] = importlib.metadata.version("wordllama")

    log("==> real data: docstrings, embeddings, ground truth")
    X, Q, meta, qmeta, R["data"] = load(cfg)
    n = len(X)
    log(f"  {R['data']['texts']:,} texts ({R['data']['unique']:,} distinct), index N={n:,}, "
        f"{len(Q):,} queries, {R['data']['packages']} packages")
    truth = {m: exact_knn(X, Q, metric=m) for m in METRICS}
    ftruth = {m: filtered_truth(X, Q, meta, qmeta, m) for m in METRICS}

    log("==> exact search")
    R["exact"] = [exact_section(X, Q, truth[m], n, len(Q), metric=m) for m in METRICS]
    log("==> flat scan with codes against the plain scan")
    hooks = flat_bounds.build_hooks()
    R["flat"] = [flat_bounds.section(hooks, X, Q, m, min(cfg["inserts"], n), by_similarity=True)
                 for m in ("euclidean", "inner_product", "cosine")]
    R["flat_checks"] = flat_bounds.judge(R["flat"], [], X.shape[1], mode == "full")

    log("==> graph indexes (one build at a time)")
    with tempfile.TemporaryDirectory(prefix="quarix-real-") as tmp:
        data_path = Path(tmp) / "data.npz"
        np.savez(data_path, X=X, Q=Q, meta_package=meta, qmeta_package=qmeta,
                 **{f"gt_{m}": truth[m] for m in METRICS}, **{f"fgt_{m}": ftruth[m] for m in METRICS})
        R["graph"] = graph_runs(Runner(data_path, tmp), n)

    R["elapsed_s"] = time.perf_counter() - start
    report(R, out_dir)
    plots(R, out_dir)
    for name, value, limit, ok in R["flat_checks"]:
        log(f"  {'n/a ' if ok is None else ('pass' if ok else 'FAIL')}  {name}: {value:.3f} ({limit})")
    log(f"==> done in {R['elapsed_s']:.0f} s; see {out_dir / 'real_data.md'}")


if __name__ == "__main__":
    main()
