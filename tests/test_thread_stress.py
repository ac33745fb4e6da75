"""Threads sharing one index, switching inside argument conversion.

Each element converts through a __float__ that yields the interpreter to
another thread, so calls on the same index overlap at every point where they
can. Every call must either succeed or raise the access error, and afterwards
every successful insert must be stored exactly once, with dense ids.
"""

import sys
import threading
import time
from collections import Counter

import pytest

import quarix

THREADS = 6
CALLS = 150
ACCESS_ERRORS = {"Already borrowed", "Already mutably borrowed"}


class Yielding:
    """A float whose conversion lets another thread run."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)
        return self.value


def hammer(index, search):
    """Runs THREADS threads of inserts and searches on index; returns (stored markers, tally)."""
    tally, stored, failures = Counter(), [], []
    lock = threading.Lock()
    start = threading.Barrier(THREADS)

    def worker(thread):
        start.wait()
        for call in range(CALLS):
            marker = float(thread * 10_000 + call + 1)
            inserting = call % 3 != 2
            try:
                if inserting:
                    index.insert([Yielding(marker)])
                else:
                    search([Yielding(0.0)])
            except RuntimeError as error:
                with lock:
                    if str(error) in ACCESS_ERRORS:
                        tally.update(["access error"])
                    else:
                        failures.append(error)
                continue
            except BaseException as error:
                with lock:
                    failures.append(error)
                continue
            with lock:
                tally.update(["insert" if inserting else "search"])
                if inserting:
                    stored.append(marker)

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not failures, failures[:3]
    # The switches must really have made calls overlap.
    assert tally["access error"] > 0 and tally["insert"] > 0 and tally["search"] > 0, tally
    return stored, tally


def test_threads_sharing_a_flat_index_store_every_successful_insert_once():
    index = quarix.PyFlat(1)
    stored, tally = hammer(index, lambda q: index.search(q, 3))
    found = index.search([0.0], 10**9)
    assert sorted(i for i, _ in found) == list(range(len(stored)))  # ids dense, every vector once
    assert sorted(d for _, d in found) == sorted(stored)
    print(f"PyFlat: {dict(tally)}")


@pytest.mark.parametrize("layers", [1, 3])
def test_threads_sharing_a_graph_store_every_successful_insert_once(layers):
    index = quarix.PyHNSW(1, layers=layers, ef_construction=8, ef_search=THREADS * CALLS, metric="euclidean")
    stored, tally = hammer(index, lambda q: index.search(q, 3))
    found = index.search([0.0], 10**9)
    assert sorted(vector[0] for _, vector in found) == sorted(stored)
    print(f"PyHNSW, {layers} layers: {dict(tally)}")
