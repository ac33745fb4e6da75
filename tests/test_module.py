"""The module object, its two classes and their registration with the
interpreter: names, documentation, signatures, what instances may not do,
repeated initialisation, the exported symbols and the refusal of a second
interpreter."""

import ctypes
import gc
import importlib
import inspect
import shutil
import subprocess
import sys
import weakref

import pytest

import quarix

SUBINTERPRETER_PREFIX = "PyO3 modules do not yet support subinterpreters, see "

CLASS_SIGNATURES = {
    "PyFlat": "(dim, metric=None)",
    "PyHNSW": "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)",
}
CLASS_DOCS = {"PyFlat": "Our Python-facing Flat index.", "PyHNSW": ""}

METHODS = {
    ("PyFlat", "insert"): (
        "($self, vector)",
        "Insert a vector into the index.\n\n"
        "The vector is expected as a list of floats whose length equals the index dimension.",
    ),
    ("PyFlat", "search"): (
        "($self, query, k=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
    ),
    ("PyFlat", "create"): ("($self, vectors)", "Create an index from a list of vectors."),
    ("PyHNSW", "insert"): (
        "($self, vector, metadata=None)",
        "\n".join([
            "Insert a vector into the index.",
            "",
            "The vector is expected as a list of floats.",
            "Optionally, metadata can be provided as a list of tuples, e.g.:",
            '`[("color", "blue"), ("size", 42)]`',
        ]),
    ),
    ("PyHNSW", "search"): (
        "($self, query, k=None, filter=None)",
        "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
    ),
    # The whole documentation string is the signature: the interpreter finds
    # no text after the marker.
    ("PyHNSW", "create"): ("($self, vectors, metadata=None)", None),
}

Py_TPFLAGS_BASETYPE = 1 << 10
Py_TPFLAGS_HAVE_GC = 1 << 14

CLASSES = [quarix.PyFlat, quarix.PyHNSW]


def init_again():
    """Calls the module's entry point the way the interpreter does."""
    library = ctypes.PyDLL(quarix.__file__)
    library.PyInit_quarix.restype = ctypes.py_object
    library.PyInit_quarix.argtypes = []
    return library.PyInit_quarix()


def test_module_attributes():
    assert quarix.__name__ == "quarix"
    assert quarix.__doc__ == ""
    assert type(quarix.__all__) is list
    assert quarix.__all__ == ["PyFlat", "PyHNSW"]
    public = {name for name in vars(quarix) if not name.startswith("__")}
    assert public == {"PyFlat", "PyHNSW"}
    assert all(getattr(quarix, name) is cls for name, cls in zip(quarix.__all__, CLASSES))


def test_star_import_brings_exactly_the_two_classes():
    namespace = {}
    exec("from quarix import *", namespace)
    namespace.pop("__builtins__")
    assert namespace == {"PyFlat": quarix.PyFlat, "PyHNSW": quarix.PyHNSW}


def test_fatal_error_type_is_not_a_module_attribute():
    assert not any("Panic" in name for name in dir(quarix))


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_names(cls):
    name = cls.__name__
    assert name in CLASS_SIGNATURES
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    assert cls.__mro__ == (cls, object)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_signature_and_doc(cls):
    assert cls.__text_signature__ == CLASS_SIGNATURES[cls.__name__]
    assert cls.__doc__ == CLASS_DOCS[cls.__name__]
    assert str(inspect.signature(cls)) == CLASS_SIGNATURES[cls.__name__]


@pytest.mark.parametrize(("owner", "method"), list(METHODS), ids="{0[0]}.{0[1]}".format)
def test_method_signature_and_doc(owner, method):
    signature, doc = METHODS[owner, method]
    function = getattr(getattr(quarix, owner), method)
    assert type(function).__name__ == "method_descriptor"
    assert function.__name__ == method
    assert function.__qualname__ == f"{owner}.{method}"
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature.replace("$self", "self, /")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_defines_only_its_methods(cls):
    # Everything else (__init__, comparison, hashing, repr) is object's.
    assert sorted(cls.__dict__) == ["__doc__", "__module__", "__new__", "create", "insert", "search"]
    # The method table's order.
    assert [name for name in cls.__dict__ if not name.startswith("__")] == ["insert", "search", "create"]
    for slot in ("__init__", "__repr__", "__str__", "__eq__", "__hash__", "__lt__", "__getattribute__"):
        assert getattr(cls, slot) is getattr(object, slot)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_type_flags(cls):
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE
    assert not cls.__flags__ & Py_TPFLAGS_HAVE_GC
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert cls.__itemsize__ == 0


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError) as info:
        type("Derived", (cls,), {})
    assert str(info.value) == f"type 'builtins.{cls.__name__}' is not an acceptable base type"
    with pytest.raises(TypeError):
        exec(f"class Derived(quarix.{cls.__name__}): pass", {"quarix": quarix})


def test_instances_take_no_attributes_and_no_weak_references():
    index = quarix.PyFlat(2)
    with pytest.raises(AttributeError) as info:
        index.label = "x"
    assert "no __dict__" in str(info.value)
    assert not hasattr(index, "__dict__")
    with pytest.raises(TypeError) as info:
        weakref.ref(index)
    assert str(info.value) == "cannot create weak reference to 'builtins.PyFlat' object"


def test_instances_use_object_identity():
    first, second = quarix.PyFlat(2), quarix.PyFlat(2)
    assert first == first and first != second
    assert hash(first) == object.__hash__(first)
    assert repr(first).startswith("<builtins.PyFlat object at 0x")


def type_references_kept(cls, action, rounds=200):
    """How many references to cls the action leaves behind per round; a
    warm-up round first lets the interpreter settle its own caches."""
    action()
    gc.collect()
    gc.disable()
    try:
        before = sys.getrefcount(cls)
        for _ in range(rounds):
            action()
        return (sys.getrefcount(cls) - before) / rounds
    finally:
        gc.enable()


def test_instances_hold_their_type_while_alive():
    before = sys.getrefcount(quarix.PyFlat)
    indexes = [quarix.PyFlat(3) for _ in range(100)]
    assert sys.getrefcount(quarix.PyFlat) - before >= 100
    del indexes
    assert sys.getrefcount(quarix.PyFlat) - before < 100


def test_deallocated_instances_release_their_type():
    def make_and_drop():
        index = quarix.PyFlat(3, "cosine")
        index.insert([1.0, 2.0, 3.0])
        index.search([1.0, 2.0, 3.0], 4)

    assert type_references_kept(quarix.PyFlat, make_and_drop) == 0


@pytest.mark.parametrize("bad", [-1, 2**64, 2.0, "x", None])
def test_failed_construction_leaves_no_instance_behind(bad):
    def fail():
        try:
            quarix.PyFlat(bad)
        except (TypeError, OverflowError):
            return
        raise AssertionError("constructed")

    assert type_references_kept(quarix.PyFlat, fail) == 0


def test_second_initialisation_returns_the_same_module():
    types = (quarix.PyFlat, quarix.PyHNSW)
    for _ in range(3):
        module = init_again()
        assert module is quarix
    assert quarix.__all__ == ["PyFlat", "PyHNSW"]
    assert (quarix.PyFlat, quarix.PyHNSW) == types


def test_initialisation_leaves_a_changed_module_alone():
    # The module body runs once per process: a later initialisation neither
    # restores nor extends what Python code did to the module since.
    saved = list(quarix.__all__)
    try:
        quarix.__all__.append("extra")
        assert init_again() is quarix
        assert quarix.__all__ == ["PyFlat", "PyHNSW", "extra"]
    finally:
        quarix.__all__[:] = saved


def test_reload_and_reimport_give_the_same_module(monkeypatch):
    assert importlib.reload(quarix) is quarix
    monkeypatch.delitem(sys.modules, "quarix")
    again = importlib.import_module("quarix")
    assert again is quarix
    assert again.PyFlat is quarix.PyFlat
    assert again.__all__ == ["PyFlat", "PyHNSW"]


def test_only_the_entry_point_is_exported():
    nm = shutil.which("nm")
    assert nm, "nm (binutils) is needed to list the exported symbols"
    listing = subprocess.run([nm, "-D", "--defined-only", quarix.__file__], capture_output=True, text=True,
                             check=True).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_quarix"]


def _run_with_testcapi(code):
    import _testcapi

    assert _testcapi.run_in_subinterp(code) == 0


def _run_with_interpreters(code):
    import _interpreters

    # The legacy configuration lets single-phase modules load in principle:
    # the refusal then comes from the module itself.
    interpreter = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        assert _interpreters.run_string(interpreter, code) is None
    finally:
        _interpreters.destroy(interpreter)


@pytest.mark.parametrize("run", [_run_with_testcapi, _run_with_interpreters], ids=["testcapi", "interpreters"])
def test_second_interpreter_is_refused(run, tmp_path):
    result = tmp_path / "result.txt"
    code = "\n".join([
        "try:",
        "    import quarix",
        "    outcome = 'imported'",
        "except BaseException as error:",
        "    outcome = type(error).__name__ + '\\n' + str(error)",
        f"open({str(result)!r}, 'w', encoding='utf-8').write(outcome)",
    ])
    run(code)
    kind, _, message = result.read_text(encoding="utf-8").partition("\n")
    assert kind == "ImportError"
    assert message.startswith(SUBINTERPRETER_PREFIX)
    assert len(message) > len(SUBINTERPRETER_PREFIX) and " " not in message[len(SUBINTERPRETER_PREFIX):]
    # The owning interpreter keeps its module untouched.
    assert init_again() is quarix
    assert quarix.__all__ == ["PyFlat", "PyHNSW"]
    quarix.PyFlat(1).insert([1.0])
