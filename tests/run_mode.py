"""Whether the suite runs under the sanitizer build (./run sanitize), where some gauges read differently."""

import os

# Set by ./run sanitize and ./run fuzz to the compiler flags of that build.
SANITIZER_FLAGS = os.environ.get("QUARIX_SANITIZE_FLAGS", "")
SANITIZED = bool(SANITIZER_FLAGS)


def ray_environment():
    """The environment for processes of a local Ray: under the sanitizers, the fast unwinder.

    Ray starts a dozen Python processes of its own; with the slow unwinder on each
    of their allocations its start-up takes over 30 seconds, Ray's fixed limit.
    Leak stacks in its workers may then stop at the first interpreter frame; the
    test process, which runs the same quarix code, keeps the slow unwinder.
    """
    env = dict(os.environ)
    if SANITIZED:
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "").replace("fast_unwind_on_malloc=0", "fast_unwind_on_malloc=1")
    return env
