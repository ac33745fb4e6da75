"""What both sharded indexes share: the actors, their counts, storing and asking."""

import math
import operator
import sys
import threading

import numpy as np
import ray

from quarix_shards._runtime import (ShardLostError, check_room, collect, ensure_ray, lost_error,
                                    lost_shards, placement_note, shard_count, start_shards, wait_started)

# With a bar, each shard gets its part in about this many pieces, so the bar moves while the shards build.
_PIECES_PER_SHARD = 40
_INLINE_BYTES = 1 << 16


def text(value):
    """A str argument as the module reads it: its characters, whatever its class."""
    return str.__str__(value)


def count_or_default(value):
    return None if value is None else operator.index(value)


def queries_list(queries):
    if type(queries) is np.ndarray and queries.ndim == 2:
        return list(queries)
    try:
        return list(queries)
    except TypeError:
        raise TypeError(
            f"argument 'queries': expected a sequence of queries or a 2-D array, not {type(queries).__name__}"
        ) from None


_DEFAULT_START_TIMEOUT = 120.0


def start_timeout_seconds(value):
    if value is None:
        return _DEFAULT_START_TIMEOUT
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"start_timeout must be a number of seconds or None, not {type(value).__name__}")
    if not value > 0 or math.isinf(value):
        raise ValueError(f"start_timeout must be a positive, finite number of seconds, got {value!r}")
    return float(value)


class Sharded:
    """The shards of one index: vector g (in insertion order) lives in shard g mod S as its local vector g div S."""

    def __init__(self, kind, settings, shards, actor_options, start_timeout, *shard_arguments):
        name = type(self).__name__
        timeout = start_timeout_seconds(start_timeout)
        ensure_ray()
        self._shard_total = shard_count(shards)
        check_room(name, self._shard_total)
        self._actors = None
        self._count = 0
        self._failure = None
        self._lock = threading.Lock()
        self._actors, spread_over = start_shards(self._shard_total, kind, settings, actor_options, *shard_arguments)
        # Wait until every shard runs, so a shard that cannot start (quarix missing on a
        # machine, say) fails here rather than in the first call that stores vectors.
        try:
            self._nodes = wait_started(name, self._actors, timeout)
        except BaseException:
            self.close()
            raise
        placement_note(name, self._nodes, spread_over)

    @property
    def placement(self):
        """The Ray node id (hex) that holds each shard, in shard order."""
        return list(self._nodes)

    @property
    def shards(self):
        return self._shard_total

    def __len__(self):
        self._check_usable()
        return self._count

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        """Ends the shards' actors; their vectors go with them."""
        actors, self._actors = self._actors, None
        for actor in actors or ():
            try:
                ray.kill(actor)
            except Exception:
                pass

    def _check_usable(self):
        if self._actors is None:
            raise RuntimeError(f"this {type(self).__name__} is closed")
        if self._failure is not None:
            raise self._failure

    def _stored_in(self, shard, count):
        return (count - shard + self._shard_total - 1) // self._shard_total

    def _lost(self, shard, error):
        # The machine that took this shard may have held others: every shard found dead is named.
        lost = lost_shards(self._actors, shard)
        self._failure = lost_error(type(self).__name__, lost, self._shard_total,
                                   sum(self._stored_in(s, self._count) for s in lost), error)
        return self._failure

    def _sent(self, shard_of_ref, refs):
        """Answers of sent calls; a dead shard makes this and every later call raise."""
        return collect(refs, lambda position, error: self._lost(shard_of_ref[position], error))

    def _mutated(self, shard_of_ref, refs):
        try:
            self._sent(shard_of_ref, refs)
        except ShardLostError:
            raise
        except BaseException as error:
            # Some shards may have stored their part: ids would no longer be dense.
            self._failure = ShardLostError(
                f"{type(self).__name__} is no longer whole: a shard failed while storing "
                f"({type(error).__name__}: {error}); build the index again"
            )
            raise self._failure from None

    def _add(self, vector, *metadata):
        with self._lock:
            shard = self._count % self._shard_total
            ref = self._actors[shard].insert.remote(vector, *metadata)
            self._mutated([shard], [ref])
            self._count += 1

    def _store(self, rows, metadata, progress):
        """Appends the rows (and their metadata rows) in order, every shard building at once."""
        total = len(rows)
        show = sys.stderr.isatty() if progress is None else bool(progress)
        with self._lock:
            first = self._count
            plan = []
            for shard in range(self._shard_total):
                offset = (shard - first) % self._shard_total
                positions = range(offset, total, self._shard_total)
                if not positions:
                    continue
                piece = math.ceil(len(positions) / _PIECES_PER_SHARD) if show else len(positions)
                for start in range(0, len(positions), piece):
                    chosen = positions[start:start + piece]
                    part = ray.put(np.ascontiguousarray(rows[chosen.start:chosen.stop:chosen.step]))
                    extra = () if metadata is None else ([metadata[i] for i in chosen],)
                    plan.append((shard, len(chosen), part, extra))
            refs = [self._actors[shard].create.remote(part, *extra) for shard, _, part, extra in plan]
            shard_of_ref = [shard for shard, _, _, _ in plan]
            if show:
                self._follow(refs, [size for _, size, _, _ in plan], total)
            self._mutated(shard_of_ref, refs)
            self._count = first + total

    def _follow(self, refs, sizes, total):
        from tqdm import tqdm

        size_of = dict(zip(refs, sizes))
        pending = list(refs)
        with tqdm(total=total, desc=f"{type(self).__name__}.create", unit="vec", file=sys.stderr) as bar:
            while pending:
                done, pending = ray.wait(pending, num_returns=1)
                bar.update(size_of[done[0]])

    def _ask(self, queries, *arguments):
        """Each non-empty shard's hits for every query: a list of (shard, hits per query, index seconds)."""
        with self._lock:
            shards = [s for s in range(self._shard_total) if self._stored_in(s, self._count)]
            # Small batches travel inline with each call; a large one is stored once for all shards.
            size = sum(query.nbytes for query in queries)
            batch = ray.put(queries) if len(shards) > 1 and size > _INLINE_BYTES else queries
            refs = [self._actors[s].search_many.remote(batch, *arguments) for s in shards]
            answers = self._sent(shards, refs)
        return [(shard, hits, seconds) for shard, (hits, seconds) in zip(shards, answers)]
