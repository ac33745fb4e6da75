import pytest

from native.build_hooks import build_hooks
from run_mode import SANITIZER_FLAGS


@pytest.fixture(scope="session")
def hooks():
    """The test-only extension, built from this checkout for this interpreter."""
    # Under ./run sanitize the hooks get the module's sanitizer flags, in a folder of their own.
    return build_hooks(SANITIZER_FLAGS)
