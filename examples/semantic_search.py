"""Semantic search over the standard library's docstrings with quarix.

    .venv/bin/python examples/semantic_search.py ["a query in plain words"] [--package NAME]

Embeds every docstring of this interpreter's standard library with the model
bundled in the wordllama wheel (pip install '.[examples]'; nothing is
downloaded), builds a PyHNSW and a PyFlat over them, and prints the 5 nearest
docstrings from both, then the same restricted to one package with a filter,
with how long each step took.

quarix orders every metric ascending: smaller is nearer, and inner product and
cosine are not negated. Two idioms rank by similarity:
- unit-normalised vectors with Euclidean distance (the order of the cosine,
  most similar first), used for the indexes below;
- the negated query with "inner_product" or "cosine", shown at the end.
"""

import argparse
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import docstring_corpus as corpus  # noqa: E402

from quarix import PyFlat, PyHNSW  # noqa: E402

TOP = 5


class Steps:
    def __init__(self):
        self.start = time.perf_counter()

    def done(self, what):
        now = time.perf_counter()
        print(f"  [{(now - self.start) * 1e3:9.1f} ms] {what}")
        self.start = now


def show(title, hits, texts):
    print(f"\n{title}")
    for rank, (i, distance) in enumerate(hits, 1):
        print(f"  {rank}. {distance:8.4f}  {texts[i].name} ({texts[i].kind})")
        print(f"       {texts[i].first_line[:100]}")


def main():
    parser = argparse.ArgumentParser(description="Semantic search over the standard library's docstrings.")
    parser.add_argument("query", nargs="?", default="read a file line by line")
    parser.add_argument("--package", default=None, help="package for the filtered search (default: that of the best hit outside the top hit's package)")
    args = parser.parse_args()
    steps = Steps()
    print(f"Query: {args.query!r}  (Python {sys.version.split()[0]})")

    texts = corpus.collect()
    steps.done(f"collected {len(texts):,} docstrings from {len({t.package for t in texts})} packages")
    model = corpus.load_model()
    steps.done("loaded the bundled embedding model")
    vectors, path, cached = corpus.embeddings(texts, model=model)
    steps.done(f"{'read cached' if cached else 'embedded and cached'} {vectors.shape[0]:,} x {vectors.shape[1]} "
               f"embeddings ({path.name})")
    unit = corpus.unit_rows(vectors)
    query = corpus.unit_rows(model.embed([args.query], norm=False).astype("float64"))[0]
    steps.done("embedded the query")

    rows = unit.tolist()
    metadata = [[("package", t.package), ("kind", t.kind)] for t in texts]
    graph = PyHNSW(unit.shape[1], metric="euclidean", schema=["package", "kind"])
    graph.create(rows, metadata)
    steps.done("built PyHNSW (euclidean on unit vectors)")
    flat = PyFlat(unit.shape[1])
    flat.create(rows)
    steps.done("built PyFlat (euclidean on unit vectors)")

    q = query.tolist()
    ids = {}
    for i, row in enumerate(rows):  # equal docstrings give equal vectors: the first id names them
        ids.setdefault(tuple(row), i)
    graph_hits = [(ids[tuple(vector)], distance) for distance, vector in graph.search(q, TOP)]
    steps.done("PyHNSW search")
    flat_hits = flat.search(q, TOP)
    steps.done("PyFlat search")
    show("PyHNSW, 5 nearest (Euclidean distance between unit vectors: smaller is more similar)", graph_hits, texts)
    show("PyFlat, 5 nearest (exact)", flat_hits, texts)

    # By default the package of the best hit outside the top hit's package, so that the filter shows something new.
    packages = [texts[i].package for i, _ in flat_hits]
    package = args.package or next((p for p in packages if p != packages[0]), packages[0])
    filtered = [(ids[tuple(vector)], distance) for distance, vector in graph.search(q, TOP, ("package", package))]
    steps.done(f"PyHNSW search restricted to package {package!r}")
    show(f"PyHNSW, 5 nearest in package {package!r} (filter ('package', {package!r}))", filtered, texts)

    # Ranking by similarity with the dot product: negate the query, and the
    # smallest (most negative) inner product is the most similar vector.
    dot = PyFlat(unit.shape[1], metric="inner_product")
    dot.create(rows)
    negated = dot.search([-x for x in q], TOP)
    steps.done("PyFlat inner_product search with the negated query")
    show("PyFlat inner_product, negated query (distance = -similarity)", negated, texts)
    same = [i for i, _ in negated] == [i for i, _ in flat_hits]
    print(f"\nThe negated inner product ranks as Euclidean distance on unit vectors: {'yes' if same else 'no'}")


if __name__ == "__main__":
    main()
