"""What every benchmark section shares: timing, recall, exact ground truth, the
machine and versions it ran on, and the formatting of its tables."""

import os

# Thread pools read these when the libraries load: every section imports this
# module before numpy or a peer, so they start with one thread.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
             "BLIS_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS"):
    os.environ[_var] = "1"

import gc  # noqa: E402
import importlib.metadata  # noqa: E402
import platform  # noqa: E402
import statistics  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
REPO = HERE.parent

K = 10
SEED = 20240607
HNSW_M = 16
HNSW_EF_CONSTRUCTION = 200
PYHNSW_DEFAULT_EF = 50
PYHNSW_EFS = [10, 20, 50, 100, 200]
# Peers' search-time beam widths: fine enough near the low end to find the
# smallest setting that reaches recall 0.99.
PEER_EFS = [10, 12, 14, 16, 20, 24, 28, 32, 40, 50, 64, 80, 100, 128, 160, 200, 256, 320, 400, 512]
RECALL_GOAL = 0.99
ROUNDS = 3


def results_dir(quick):
    """Where a run writes: a quick run beside the committed full-run results, never over them."""
    return HERE / "results" / ("quick" if quick else "")


def log(*parts):
    print(*parts, file=sys.stderr, flush=True)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def summarize(ns):
    """Median latency (µs) and queries per second from per-call nanoseconds."""
    return {"median_us": statistics.median(ns) / 1e3, "qps": len(ns) / (sum(ns) / 1e9)}


def time_calls(fn, args, warmup=10):
    """Calls fn(a) for each a, one timed call each; returns results and ns."""
    for a in args[:warmup]:
        fn(a)
    out, ns = [], []
    clock = time.perf_counter_ns
    gc.disable()
    try:
        for a in args:
            t0 = clock()
            r = fn(a)
            t1 = clock()
            ns.append(t1 - t0)
            out.append(r)
    finally:
        gc.enable()
    return out, ns


def measure(cases, rounds=ROUNDS):
    """Times each case over its queries `rounds` times, the cases taking turns.

    cases: (key, prepare, fn, args); prepare() (or None) sets the case up again
    before each of its turns, e.g. a beam width. Each case keeps the round with
    the lowest median: other processes on the machine slow whole stretches of
    a round, and taking turns spreads those stretches over every case.
    Returns {key: (results of the first round, ns of the kept round)}.
    """
    best = {}
    for _ in range(rounds):
        for key, prepare, fn, args in cases:
            if prepare is not None:
                prepare()
            found, ns = time_calls(fn, args)
            if key not in best:
                best[key] = (found, ns)
            elif statistics.median(ns) < statistics.median(best[key][1]):
                best[key] = (best[key][0], ns)
    return best


def recall_at_k(found, truth):
    """Mean |found ∩ truth| / |truth| over queries; truth rows may be padded with -1."""
    total = 0.0
    for f, t in zip(found, truth):
        t = [int(i) for i in t if i >= 0]
        if t:
            total += len(set(int(i) for i in f[:K]) & set(t)) / len(t)
        else:
            total += 1.0
    return total / len(truth)


def vector_ids(X):
    """Graph searches return vectors: each one's id in X, by its bytes."""
    table = {row.tobytes(): i for i, row in enumerate(X)}
    return lambda hits: [table[np.asarray(vector, dtype=np.float64).tobytes()] for _, vector in hits]


def exact_knn(X, Q, k=K, rows=None, metric="euclidean"):
    """Exact k nearest rows of X (ids into X, or into `rows` if given) per query.

    Euclidean: candidates come from the expansion form and are re-ranked with
    direct differences, so rounding in the expansion cannot change the answer.
    "inner_product": the k rows of largest q·v, ties to the smaller id, as
    PyFlat ranks them for the negated query.
    """
    norms = np.einsum("ij,ij->i", X, X) if metric == "euclidean" else np.zeros(len(X))
    extra = min(len(X), k + 32)
    out = np.full((len(Q), k), -1, dtype=np.int64)
    for start in range(0, len(Q), 100):
        q = Q[start:start + 100]
        d = norms[None, :] - (2.0 if metric == "euclidean" else 1.0) * (q @ X.T)
        if extra < len(X):
            cand = np.argpartition(d, extra - 1, axis=1)[:, :extra]
        else:
            cand = np.broadcast_to(np.arange(len(X)), d.shape)
        for j in range(len(q)):
            c = cand[j]
            dd = ((X[c] - q[j]) ** 2).sum(1) if metric == "euclidean" else -(X[c] @ q[j])
            order = np.lexsort((c, dd))[:k]
            ids = c[order]
            out[start + j, :len(ids)] = ids if rows is None else rows[ids]
    return out


def filtered_truth(X, Q, meta, qmeta, metric="euclidean"):
    """Exact k nearest rows of X per query among the rows whose meta value is the query's qmeta value."""
    out = np.full((len(Q), K), -1, dtype=np.int64)
    for value in np.unique(qmeta):
        js = np.flatnonzero(qmeta == value)
        rows = np.flatnonzero(meta == value)
        if len(rows):
            out[js] = exact_knn(X[rows], Q[js], rows=rows, metric=metric)
    return out


# --- machine ----------------------------------------------------------------

SIMD_FLAGS = ["sse2", "sse3", "ssse3", "sse4_1", "sse4_2", "avx", "avx2", "fma", "f16c",
              "avx512f", "avx512dq", "avx512cd", "avx512bw", "avx512vl", "avx512_vnni",
              "avx512_bf16", "avx512_fp16", "amx_tile", "neon", "asimd", "sve"]


def machine_info():
    info = {"cores": os.cpu_count(), "platform": platform.platform()}
    try:
        text = Path("/proc/cpuinfo").read_text()
        for line in text.splitlines():
            if line.startswith("model name") and "cpu" not in info:
                info["cpu"] = line.split(":", 1)[1].strip()
            if line.startswith(("flags", "Features")) and "flags" not in info:
                have = set(line.split(":", 1)[1].split())
                info["flags"] = [f for f in SIMD_FLAGS if f in have]
    except OSError:
        pass
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                info["memory_gib"] = int(line.split()[1]) / 2**20
    except OSError:
        pass
    info["openblas_coretype"] = os.environ.get("OPENBLAS_CORETYPE", "unset")
    return info


def versions():
    v = {"python": platform.python_version()}
    for name in ["numpy", "faiss-cpu", "hnswlib", "usearch", "matplotlib"]:
        try:
            v[name] = importlib.metadata.version(name)
        except importlib.metadata.PackageNotFoundError:
            v[name] = "not installed"
    try:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        v["numpy BLAS"] = f"{blas.get('name')} {blas.get('version', '')}".strip()
    except Exception:
        v["numpy BLAS"] = "unknown"

    def git(*a):
        return subprocess.run(["git", *a], cwd=REPO, capture_output=True, text=True).stdout.strip()

    commit = git("rev-parse", "--short=12", "HEAD") or "unknown"
    if git("status", "--porcelain", "--", "src", "CMakeLists.txt", "pyproject.toml"):
        commit += " (with uncommitted changes to the module)"
    v["quarix commit"] = commit
    return v


def memory_bandwidth(mib):
    """Single-core bandwidth in GB/s: copy (read + write bytes) and read (sum)."""
    n = mib * 2**20 // 8
    src = np.ones(n)
    dst = np.empty_like(src)
    np.copyto(dst, src)  # fault every page in before timing
    copy_s, read_s = [], []
    for _ in range(5):
        t0 = time.perf_counter()
        np.copyto(dst, src)
        copy_s.append(time.perf_counter() - t0)
    for _ in range(5):
        t0 = time.perf_counter()
        src.sum()
        read_s.append(time.perf_counter() - t0)
    size = n * 8
    return {"size_mib": mib, "copy_gbs": 2 * size / min(copy_s) / 1e9,
            "read_gbs": size / min(read_s) / 1e9}


# --- tables -----------------------------------------------------------------

def fmt(x, unit="", digits=None):
    if x is None:
        return "—"
    if isinstance(x, str):
        return x
    if digits is None:
        digits = 0 if abs(x) >= 100 else 1 if abs(x) >= 10 else 2 if abs(x) >= 1 else 3
    return f"{x:,.{digits}f}{unit}"


def fmt_load(load):
    return "/".join(f"{x:.2f}" for x in load)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


NAMES = {"pyhnsw": "PyHNSW", "hnswlib": "hnswlib HNSW", "faiss": "faiss IndexHNSWFlat", "usearch": "usearch f64"}
COLORS = {"pyhnsw": "C3", "hnswlib": "C0", "faiss": "C1", "usearch": "C2"}


def finish_axes(ax, **legend):
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(**legend)


def save_figure(fig, path):
    import matplotlib.pyplot as plt
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def cheapest_reaching(sweep, recall):
    """The sweep's point of least ef whose recall reaches the given one, or None."""
    reached = [s for s in sweep if s["recall"] is not None and s["recall"] >= recall]
    return min(reached, key=lambda s: s["ef"]) if reached else None
