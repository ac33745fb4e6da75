"""Whether the suite runs under the sanitizer build (./run sanitize), where some gauges read differently."""

import contextlib
import json
import os

# Set by ./run sanitize and ./run fuzz to the compiler flags of that build.
SANITIZER_FLAGS = os.environ.get("QUARIX_SANITIZE_FLAGS", "")
SANITIZED = bool(SANITIZER_FLAGS)

_SANITIZER_VARIABLES = ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS")


def hand_sanitizers_to_ray_workers(environ=os.environ):
    """Under the sanitizers, make a local Ray started from `environ` run its own
    daemons without them and give them to its workers only, which run quarix.

    With the runtimes preloaded in Ray's dozen daemons (its C++ servers and
    Python agents), its start-up took 16 s on a quiet machine and sometimes more
    than its fixed 30-second limit under load ("The current node timed out
    during startup"); without them, about 5 s. The workers get them through the
    job's runtime environment, which Ray applies before it starts a worker's
    interpreter, with the fast unwinder: with the slow one each worker took
    about 10 s to start, against Ray's 60-second registration limit. Their leak
    stacks may then stop at the first interpreter frame; the test process,
    which runs the same quarix code, keeps the slow unwinder.

    Takes effect on processes started afterwards; this process keeps its runtimes.
    """
    if not SANITIZED:
        return
    workers = {name: environ.pop(name) for name in _SANITIZER_VARIABLES if name in environ}
    workers["ASAN_OPTIONS"] = workers.get("ASAN_OPTIONS", "").replace("fast_unwind_on_malloc=0",
                                                                      "fast_unwind_on_malloc=1")
    # How ray.init learns a job's runtime environment from the process that starts it.
    environ["RAY_JOB_CONFIG_JSON_ENV_VAR"] = json.dumps({"runtime_env": {"env_vars": workers}})


@contextlib.contextmanager
def ray_started_with_sanitizers_handed_over():
    """Runs the block (which starts Ray) under hand_sanitizers_to_ray_workers, then gives this
    process its environment back, keeping what Ray itself set there: without its RAY_AUTH_MODE,
    a later Ray started from this process loses its first actors."""
    saved = dict(os.environ)
    hand_sanitizers_to_ray_workers()
    before = dict(os.environ)
    try:
        yield
    finally:
        set_by_ray = {name: value for name, value in os.environ.items() if before.get(name) != value}
        os.environ.clear()
        os.environ.update(saved)
        os.environ.update(set_by_ray)
