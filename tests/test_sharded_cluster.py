"""Sharded indexes on a Ray cluster of three nodes of one CPU each, all on this machine."""

import collections
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

ray = pytest.importorskip("ray")

from quarix import PyFlat
from quarix_shards import ShardedFlat, ShardLostError
from run_mode import ray_started_with_sanitizers_handed_over

pytestmark = pytest.mark.ray


@pytest.fixture(scope="module")
def cluster():
    from ray.cluster_utils import Cluster

    if ray.is_initialized():
        ray.shutdown()
    os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
    with ray_started_with_sanitizers_handed_over():
        nodes = Cluster(initialize_head=True, head_node_args={"num_cpus": 1, "include_dashboard": False})
        for _ in range(2):
            nodes.add_node(num_cpus=1)
        nodes.wait_for_nodes()
        ray.init(address=nodes.address, logging_level="ERROR", log_to_driver=False)
    yield nodes
    ray.shutdown()
    nodes.shutdown()


def test_shards_spread_evenly_and_answer_exactly(cluster):
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((500, 8))
    rows[7] = rows[3]
    single = PyFlat(8)
    single.create(rows.tolist())
    for shards, most in ((3, 1), (6, 2)):
        with ShardedFlat(8, shards=shards) as flat:
            held = collections.Counter(flat.placement)
            assert len(held) == 3 and max(held.values()) == most, flat.placement
            flat.create(rows, progress=False)
            queries = rng.standard_normal((20, 8)).tolist() + [rows[3].tolist()]
            assert flat.search_many(queries, 7) == [single.search(q, 7) for q in queries]


def test_a_lost_machine_names_every_shard_it_held(cluster):
    flat = ShardedFlat(2, shards=6)
    flat.create([[float(i), 0.0] for i in range(60)], progress=False)
    head = cluster.head_node.node_id
    victim = next(node for node in cluster.list_all_nodes() if node.node_id != head)
    held = [shard for shard, node in enumerate(flat.placement) if node == victim.node_id]
    assert len(held) == 2
    cluster.remove_node(victim)
    expected = f"shards {held[0]} and {held[1]} of 6 are lost"
    calls = [lambda: flat.search([0.0, 0.0]), lambda: flat.insert([1.0, 1.0]), lambda: len(flat),
             lambda: flat.search_many([[0.0, 0.0]])]
    for call in calls:
        with pytest.raises(ShardLostError) as raised:
            call()
        assert expected in str(raised.value) and "the 20 vectors they held are gone" in str(raised.value)
    flat.close()
    cluster.add_node(num_cpus=1)
    cluster.wait_for_nodes()


def test_impossible_shard_counts_fail_fast(cluster):
    started = time.perf_counter()
    with pytest.raises(ValueError, match="with 1000000 shards needs about .* GiB for its actor processes"):
        ShardedFlat(4, shards=10**6)
    # No node has two CPUs: the shards never start, and the wait for them is bounded.
    with pytest.raises(TimeoutError, match=r"only 0 of 3 shards started within 3 s .*every shard was closed"):
        ShardedFlat(4, shards=3, actor_options={"num_cpus": 2}, start_timeout=3)
    assert time.perf_counter() - started < 30
    for bad, error in ((0, ValueError), (-1.0, ValueError), (float("inf"), ValueError), ("5", TypeError)):
        with pytest.raises(error, match="start_timeout"):
            ShardedFlat(4, shards=1, start_timeout=bad)


def test_without_ray_the_import_says_what_to_install():
    script = "import sys; sys.modules['ray'] = None\nimport quarix_shards"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          cwd=Path(__file__).parent)
    assert done.returncode != 0
    assert "ModuleNotFoundError: No module named 'ray': quarix_shards needs the ray extra " \
           '(pip install "quarix[ray]")' in done.stderr
