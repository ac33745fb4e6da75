"""quarix indexes sharded over Ray actors: one PyFlat or PyHNSW per shard, on one machine or a cluster."""

from quarix_shards._runtime import ShardLostError
from quarix_shards.flat import ShardedFlat
from quarix_shards.hnsw import ShardedHNSW

__all__ = ["ShardedFlat", "ShardedHNSW", "ShardLostError"]
