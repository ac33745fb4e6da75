"""Whether the suite runs under the sanitizer build (./run sanitize), where some gauges read differently."""

import os

# Set by ./run sanitize and ./run fuzz to the compiler flags of that build.
SANITIZER_FLAGS = os.environ.get("QUARIX_SANITIZE_FLAGS", "")
SANITIZED = bool(SANITIZER_FLAGS)
