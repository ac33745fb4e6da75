"""Builds and imports the test-only extension _quarix_testhooks for the running interpreter.

Used by the tests' `hooks` fixture and by the benchmark's profile of the flat
scan. `flags` are extra compiler flags (the sanitizer build passes its own),
kept in a build folder of their own. It is built and imported once per
process and set of flags.
"""
import functools
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def _tool(name):
    return shutil.which(name, path=os.path.dirname(sys.executable)) or shutil.which(name)


@functools.cache
def build_hooks(flags=""):
    flavour = "test-hooks-asan" if flags else "test-hooks"
    build = ROOT / "build" / flavour / f"py{sys.version_info[0]}{sys.version_info[1]}"
    cmake = _tool("cmake")
    if not cmake:
        raise RuntimeError("cmake is needed to build the test-only extension")
    generator = ["-G", "Ninja"] if _tool("ninja") and not (build / "Makefile").exists() else []
    configure = [cmake, "-S", str(ROOT), "-B", str(build), *generator, f"-DPython_EXECUTABLE={sys.executable}",
                 "-DQUARIX_TEST_HOOKS=ON", "-DCMAKE_BUILD_TYPE=Release", f"-DCMAKE_CXX_FLAGS={flags}"]
    for command in (configure, [cmake, "--build", str(build), "--target", "_quarix_testhooks"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"building the test hooks failed:\n{done.stdout}{done.stderr}")
    sys.path.insert(0, str(build))
    try:
        import _quarix_testhooks
    finally:
        sys.path.remove(str(build))
    return _quarix_testhooks
