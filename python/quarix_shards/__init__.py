"""quarix indexes sharded over Ray actors: one PyFlat or PyHNSW per shard, on one machine or a cluster."""

import importlib

# Without the ray extra, say what to install rather than only what is missing.
for _needed in ("ray", "numpy"):
    try:
        importlib.import_module(_needed)
    except ModuleNotFoundError as error:
        if error.name != _needed:
            raise
        raise ModuleNotFoundError(f"No module named '{_needed}': quarix_shards needs the ray extra "
                                  '(pip install "quarix[ray]")', name=_needed) from None

from quarix_shards._runtime import ShardLostError  # noqa: E402
from quarix_shards.flat import ShardedFlat  # noqa: E402
from quarix_shards.hnsw import ShardedHNSW  # noqa: E402

__all__ = ["ShardedFlat", "ShardedHNSW", "ShardLostError"]
