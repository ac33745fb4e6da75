"""Ray: starting it, placing the shards, and telling a lost shard from an error."""

import ray
import ray.exceptions

from quarix_shards._shard_actor import Shard


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


def start_shards(count, kind, settings, actor_options):
    # Spread the shards over the machines unless the caller places them.
    options = {"scheduling_strategy": "SPREAD"}
    options.update(actor_options or {})
    return [Shard.options(**options).remote(kind, settings) for _ in range(count)]


def _reason(error):
    lines = [line.strip() for line in str(error).splitlines() if line.strip()]
    detail = next((line for line in reversed(lines) if "dead because" in line or "died" in line), lines[0] if lines else "")
    return f"{type(error).__name__}: {detail}" if detail else type(error).__name__


def start_error(name, shard, shards, error):
    return ShardLostError(f"{name} could not start shard {shard} of {shards} ({_reason(error)})")


def lost_error(name, shard, shards, stored, error):
    return ShardLostError(
        f"{name} shard {shard} of {shards} is lost ({_reason(error)}); the {stored} vectors it held are gone, "
        "since an index lives only in memory: build the index again"
    )


_LOST = (ray.exceptions.RayActorError, ray.exceptions.ActorUnavailableError, ray.exceptions.ObjectLostError)


def collect(refs, on_lost):
    """The answers of calls already sent, in order. A dead shard raises on_lost(position, error)."""
    answers = []
    for position, ref in enumerate(refs):
        try:
            answers.append(ray.get(ref))
        except _LOST as error:
            raise on_lost(position, error) from None
    for answer in answers:
        if isinstance(answer, BaseException):
            raise answer
    return answers
