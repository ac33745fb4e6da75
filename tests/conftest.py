import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from run_mode import SANITIZED, SANITIZER_FLAGS

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _tool(name):
    return shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)


@pytest.fixture(scope="session")
def hooks():
    """The test-only extension, built from this checkout for this interpreter."""
    # Under ./run sanitize the hooks get the module's sanitizer flags, in a folder of their own.
    flavour = "test-hooks-asan" if SANITIZED else "test-hooks"
    build = ROOT / "build" / flavour / f"py{sys.version_info[0]}{sys.version_info[1]}"
    cmake = _tool("cmake")
    assert cmake, "cmake is needed to build the test-only extension"
    generator = ["-G", "Ninja"] if _tool("ninja") and not (build / "Makefile").exists() else []
    configure = [cmake, "-S", str(ROOT), "-B", str(build), *generator, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DQUARIX_TEST_HOOKS=ON", "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_CXX_FLAGS={SANITIZER_FLAGS}"]
    for command in (configure, [cmake, "--build", str(build), "--target", "_quarix_testhooks"]):
        done = subprocess.run(command, capture_output=True, text=True)
        assert done.returncode == 0, done.stdout + done.stderr
    sys.path.insert(0, str(build))
    try:
        import _quarix_testhooks
    finally:
        sys.path.remove(str(build))
    return _quarix_testhooks
