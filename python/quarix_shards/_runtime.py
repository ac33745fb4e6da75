"""Ray: starting it, placing the shards, and telling a lost shard from an error."""

import math
import warnings

import ray
import ray.exceptions
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from quarix_shards._shard_actor import Shard

# A shard's actor process before it holds any vector (measured on Linux with Ray 2.x).
ACTOR_BYTES = 90 << 20
# Options through which a caller places the actors; any of them means the caller places them.
_PLACING = ("scheduling_strategy", "placement_group", "placement_group_bundle_index")


class ShardLostError(RuntimeError):
    """A shard's actor died, so the vectors it held are gone: the index cannot answer exactly any more."""


def ensure_ray():
    # A user with a cluster has called ray.init(address=...) or set RAY_ADDRESS,
    # which ray.init() honours; otherwise this starts a local Ray on every core.
    if not ray.is_initialized():
        ray.init()


def shard_count(shards):
    if shards is None:
        return max(1, int(ray.cluster_resources().get("CPU", 1)))
    if isinstance(shards, bool) or not isinstance(shards, int):
        raise TypeError(f"shards must be an int or None, not {type(shards).__name__}")
    if shards < 1:
        raise ValueError(f"shards must be at least 1, got {shards}")
    return shards


def check_room(name, count):
    """Refuses, before any actor starts, a shard count whose actor processes alone outgrow the cluster's memory."""
    memory = ray.cluster_resources().get("memory")
    if memory is not None and count * ACTOR_BYTES > memory:
        raise ValueError(
            f"{name} with {count} shards needs about {count * ACTOR_BYTES / 2**30:.1f} GiB for its actor processes "
            f"alone (about {ACTOR_BYTES >> 20} MiB each), more than the {memory / 2**30:.1f} GiB of memory the Ray "
            f"cluster offers: at most {int(memory // ACTOR_BYTES)} shards fit"
        )


def _nodes():
    """Alive nodes that can run an actor, in a fixed order."""
    return sorted(node["NodeID"] for node in ray.nodes() if node.get("Alive") and node["Resources"].get("CPU", 0) > 0)


def start_shards(count, kind, settings, actor_options, *shard_arguments):
    """The actors, started, and the number of nodes they were spread over (0 when the caller
    places them). Unless the caller does, shard i goes to node i mod M of the M nodes, so that
    no node holds more than ceil(count / M); a node that cannot take its shard then lets Ray
    place it elsewhere (see placement_note)."""
    options = dict(actor_options or {})
    if any(key in options for key in _PLACING):
        return [Shard.options(**options).remote(kind, settings, *shard_arguments) for _ in range(count)], 0
    nodes = _nodes()
    actors = []
    for shard in range(count):
        if nodes:
            options["scheduling_strategy"] = NodeAffinitySchedulingStrategy(nodes[shard % len(nodes)], soft=True)
        else:
            options["scheduling_strategy"] = "SPREAD"
        actors.append(Shard.options(**options).remote(kind, settings, *shard_arguments))
    return actors, len(nodes)


def wait_started(name, actors, timeout):
    """Each shard's node, once all have started; a shard that fails or does not start within
    `timeout` seconds makes this raise (the caller closes them)."""
    refs = [actor.node.remote() for actor in actors]
    ready, _ = ray.wait(refs, num_returns=len(refs), timeout=timeout)
    if len(ready) < len(refs):
        raise TimeoutError(
            f"{name}: only {len(ready)} of {len(refs)} shards started within {timeout:g} s (the cluster may lack "
            "the CPUs, memory or resources they ask for); every shard was closed"
        )
    return collect(refs, lambda shard, error: start_error(name, shard, len(refs), error))


def placement_note(name, nodes, spread_over):
    """Says, once, when the shards did not land as evenly as the `spread_over` nodes allow."""
    if not spread_over or not nodes:
        return
    held = {}
    for shard, node in enumerate(nodes):
        held.setdefault(node, []).append(shard)
    if max(map(len, held.values())) > math.ceil(len(nodes) / spread_over):
        where = "; ".join(f"node {node[:12]}: shards {', '.join(map(str, shards))}" for node, shards in held.items())
        warnings.warn(f"{name}: the cluster could not take its {len(nodes)} shards evenly over its {spread_over} "
                      f"nodes, so they were placed as follows: {where}", RuntimeWarning, stacklevel=4)


def _reason(error):
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    detail = next((line for line in reversed(lines) if "dead because" in line or "died" in line), lines[0] if lines else "")
    return f"{type(error).__name__}: {detail}" if detail else type(error).__name__


def start_error(name, shard, shards, error):
    return ShardLostError(f"{name} could not start shard {shard} of {shards} ({_reason(error)})")


def _listed(numbers):
    numbers = [str(n) for n in numbers]
    return ", ".join(numbers[:-1]) + " and " + numbers[-1]


def lost_error(name, lost, shards, stored, error):
    """lost: the shards known lost, ascending; stored: the vectors they held in all."""
    if len(lost) == 1:
        which, held = f"shard {lost[0]} of {shards} is lost", f"the {stored} vectors it held are gone"
    else:
        which, held = f"shards {_listed(lost)} of {shards} are lost", f"the {stored} vectors they held are gone"
    return ShardLostError(
        f"{name} {which} ({_reason(error)}); {held}, "
        "since an index lives only in memory: build the index again"
    )


LOST = (ray.exceptions.RayActorError, ray.exceptions.ActorUnavailableError, ray.exceptions.ObjectLostError)


def lost_shards(actors, known, timeout=10.0):
    """The shards known lost: `known`, and every other whose actor is found dead within `timeout`."""
    refs = [actor.stored.remote() for actor in actors]
    ray.wait(refs, num_returns=len(refs), timeout=timeout)
    lost = {known}
    for shard, ref in enumerate(refs):
        try:
            ray.get(ref, timeout=0)
        except LOST:
            lost.add(shard)
        except Exception:
            pass
    return sorted(lost)


def collect(refs, on_lost):
    """The answers of calls already sent, in order. A dead shard raises on_lost(position, error)."""
    answers = []
    for position, ref in enumerate(refs):
        try:
            answers.append(ray.get(ref))
        except LOST as error:
            raise on_lost(position, error) from None
    for answer in answers:
        if isinstance(answer, BaseException):
            raise answer
    return answers
