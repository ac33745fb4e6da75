import os

import pytest

from native.build_hooks import build_hooks
from run_mode import SANITIZER_FLAGS, ray_started_with_sanitizers_handed_over


def pytest_configure(config):
    config.addinivalue_line("markers", "ray: needs a Ray of its own (the sanitizer run gives these a process of their own)")


@pytest.fixture(scope="session")
def hooks():
    """The test-only extension, built from this checkout for this interpreter."""
    # Under ./run sanitize the hooks get the module's sanitizer flags, in a folder of their own.
    return build_hooks(SANITIZER_FLAGS)


@pytest.fixture(scope="module")
def local_ray():
    """A local Ray on two CPUs, started unless one runs already (a module that needs another shuts it down)."""
    ray = pytest.importorskip("ray")
    if not ray.is_initialized():
        # A local Ray of the tests' own keeps all its traffic on loopback.
        os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
        # Ray's daemons and workers inherit this process's environment as ray.init finds it.
        with ray_started_with_sanitizers_handed_over():
            ray.init(num_cpus=2, include_dashboard=False, logging_level="ERROR", log_to_driver=False)
    return ray
