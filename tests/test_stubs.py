"""The type stubs ship with the module and describe it truthfully."""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import quarix

ROOT = pathlib.Path(__file__).resolve().parent.parent
CLASSES = ("PyFlat", "PyHNSW")
METHODS = ("insert", "search", "create")


@pytest.fixture(scope="module")
def stub_path():
    spec = importlib.util.find_spec("quarix-stubs")
    assert spec is not None, "quarix-stubs is not installed"
    locations = list(spec.submodule_search_locations or [])
    assert len(locations) == 1, locations
    path = pathlib.Path(locations[0]) / "__init__.pyi"
    assert path.is_file()
    return path


@pytest.fixture(scope="module")
def stub_tree(stub_path):
    return ast.parse(stub_path.read_text(), filename=str(stub_path))


def test_stubs_are_installed_beside_the_module(stub_path):
    # A type checker looks for <name>-stubs next to the module it resolves.
    assert stub_path.parent.parent == pathlib.Path(quarix.__file__).parent
    assert stub_path.read_bytes() == (ROOT / "stubs" / "quarix-stubs" / "__init__.pyi").read_bytes()


def _stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def _stub_functions(class_node):
    return {node.name: node for node in class_node.body if isinstance(node, ast.FunctionDef)}


def _stub_parameters(function):
    """(name, default) for each parameter after self/cls; only plain parameters are expected."""
    args = function.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None, (
        f"{function.name}: the runtime has only positional-or-keyword parameters"
    )
    names = [arg.arg for arg in args.args]
    defaults = [inspect.Parameter.empty] * (len(names) - len(args.defaults))
    defaults += [ast.literal_eval(default) for default in args.defaults]
    return list(zip(names, defaults))[1:]


def _runtime_parameters(callable_):
    params = list(inspect.signature(callable_).parameters.values())
    if params and params[0].name == "self":
        params = params[1:]
    for param in params:
        assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD, param
    return [(param.name, param.default) for param in params]


@pytest.mark.parametrize("class_name", CLASSES)
def test_signatures_match_the_runtime(stub_tree, class_name):
    runtime = getattr(quarix, class_name)
    stub_class = _stub_classes(stub_tree)[class_name]
    functions = _stub_functions(stub_class)
    assert _stub_parameters(functions["__new__"]) == _runtime_parameters(runtime)
    for method in METHODS:
        assert _stub_parameters(functions[method]) == _runtime_parameters(getattr(runtime, method)), method


@pytest.mark.parametrize("class_name", CLASSES)
def test_public_methods_match_the_runtime(stub_tree, class_name):
    runtime = getattr(quarix, class_name)
    stub_names = {name for name in _stub_functions(_stub_classes(stub_tree)[class_name]) if not name.startswith("_")}
    runtime_names = {name for name in vars(runtime) if not name.startswith("_")}
    assert stub_names == runtime_names == set(METHODS)


def _bound_names(node):
    if isinstance(node, (ast.ClassDef, ast.FunctionDef)):
        return [node.name]
    if isinstance(node, ast.Assign):
        return [target.id for target in node.targets if isinstance(target, ast.Name)]
    if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
        return [node.target.id]
    if isinstance(node, ast.TypeAlias):
        return [node.name.id]
    return []


def test_public_names_exist_at_runtime(stub_tree):
    # A public name only the stub has would type-check and then fail to import.
    public = {name for node in stub_tree.body for name in _bound_names(node) if not name.startswith("_")}
    assert public == set(quarix.__all__) == {"PyFlat", "PyHNSW"}
    stub_all = next(node for node in stub_tree.body if "__all__" in _bound_names(node))
    assert ast.literal_eval(stub_all.value) == quarix.__all__


def _run_mypy(tmp_path, *args):
    # A config of its own, so that no project or user configuration applies.
    (tmp_path / "mypy.ini").write_text("[mypy]\n")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "MYPY_CACHE_DIR")}
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )


def test_stubtest_agrees_with_the_runtime(tmp_path):
    done = _run_mypy(tmp_path, "mypy.stubtest", "quarix", "--mypy-config-file", "mypy.ini")
    assert done.returncode == 0, done.stdout + done.stderr


GOOD = """\
from typing import assert_type

import quarix

flat = quarix.PyFlat(3)
quarix.PyFlat(dim=3, metric="cosine")
quarix.PyFlat(True, None)
flat.insert([1.0, 2.0, 3.0])
flat.insert((1, 2, 3))
flat.insert(b"abc")
flat.insert(vector=range(3))
flat.create([[1.0, 2.0, 3.0], (4, 5, 6)])
flat.create(vectors=[b"xyz"])
hits = flat.search([1.0, 2.0, 3.0], k=2)
assert_type(hits, list[tuple[int, float]])
assert_type(flat.search(query=[0.0, 0.0, 0.0], k=None), list[tuple[int, float]])
for ident, distance in flat.search([0, 0, 0]):
    assert_type(ident, int)
    assert_type(distance, float)

hnsw = quarix.PyHNSW(3, 4, 16, 200, 50, "angular", ["color", "size"])
quarix.PyHNSW(dim=3, metric="inner_product", schema=None)
hnsw.insert([1.0, 2.0, 3.0], metadata=[("color", "blue"), ("size", 42)])
hnsw.insert([1.0, 2.0, 3.0])
hnsw.create([[1.0, 2.0, 3.0]], metadata=[[("color", "red"), ("size", 1.5)]])
found = hnsw.search([1.0, 2.0, 3.0], k=5, filter=("color", "blue"))
assert_type(found, list[tuple[float, list[float]]])

names: list[str] = quarix.__all__
"""

# Each line marked "# E: <code>" must produce exactly that error; no other
# line may produce any.
BAD = """\
import quarix
from quarix import Vector  # E: attr-defined

quarix.PyFlat("x")  # E: arg-type
quarix.PyFlat(2, metric=3)  # E: arg-type
flat = quarix.PyFlat(2)
wrong: list[tuple[float, list[float]]] = flat.search([1.0, 2.0])  # E: assignment
flat.search([1.0, 2.0], k=1.5)  # E: arg-type
flat.search([1.0, 2.0], kk=3)  # E: call-arg
flat.insert("ab")  # E: arg-type
flat.insert(1.0)  # E: arg-type
flat.create([1.0, 2.0])  # E: list-item
flat.insert([1.0, 2.0], [3.0])  # E: call-arg
flat.remove(0)  # E: attr-defined
count = flat.insert([1.0, 2.0])  # E: func-returns-value
class Sub(quarix.PyFlat): ...  # E: misc
hnsw = quarix.PyHNSW(2)
hnsw.search([1.0, 2.0], filter="color")  # E: arg-type
pairs: list[tuple[int, float]] = hnsw.search([1.0, 2.0])  # E: assignment
hnsw.insert([1.0, 2.0], metadata=[("color", b"blue")])  # E: list-item
"""


def test_mypy_accepts_correct_use_and_rejects_wrong_use(tmp_path):
    (tmp_path / "good.py").write_text(GOOD)
    (tmp_path / "bad.py").write_text(BAD)
    done = _run_mypy(tmp_path, "mypy", "--strict", "--no-error-summary", "--hide-error-context",
                     "--show-error-codes", "--no-color-output", "--config-file", "mypy.ini",
                     "--cache-dir", str(tmp_path / "cache"), "good.py", "bad.py")
    output = done.stdout + done.stderr
    errors = {"good.py": set(), "bad.py": set()}
    for line in done.stdout.splitlines():
        match = re.match(r"(good\.py|bad\.py):(\d+): error: .*\[([a-z-]+)\]$", line)
        assert match or ": note:" in line, f"unexpected mypy output line: {line}\n{output}"
        if match:
            errors[match[1]].add((int(match[2]), match[3]))
    expected = {
        (number, re.search(r"# E: ([a-z-]+)", text)[1])
        for number, text in enumerate(BAD.splitlines(), start=1) if "# E:" in text
    }
    assert errors["good.py"] == set(), output
    assert errors["bad.py"] == expected, output
    assert done.returncode == 1, output
