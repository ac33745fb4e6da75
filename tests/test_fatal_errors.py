"""Internal failures and the fatal-error exception they become, driven
through the test hooks (no user input of quarix reaches an internal
failure): the exception type, the report on standard error, a fatal error
travelling back through Python code, failures during deallocation, the
operand checks, and the two message helpers (text form, type-check
failure)."""

import re
import sys

import pytest

import quarix

BANNER = ("--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
          "Python stack trace below:\n")


def fatal(hooks, message="boom"):
    """A fatal-error exception raised by native code."""
    with pytest.raises(BaseException) as info:
        hooks.fail(message)
    return info.value


@pytest.fixture
def panic_type(hooks):
    return type(fatal(hooks, "making the type"))


@pytest.fixture
def no_last_exception(monkeypatch):
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        monkeypatch.delattr(sys, name, raising=False)


def assert_no_last_exception():
    for name in ("last_exc", "last_type", "last_value", "last_traceback"):
        assert not hasattr(sys, name), name


# --- the exception type ------------------------------------------------------

def test_fatal_error_type(hooks):
    error = fatal(hooks, "boom")
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__qualname__ == "PanicException"
    assert cls.__module__ == "pyo3_runtime"
    assert repr(cls) == "<class 'pyo3_runtime.PanicException'>"
    assert cls.__mro__ == (cls, BaseException, object)
    assert not issubclass(cls, Exception)
    assert str(error) == "boom"
    assert error.args == ("boom",)
    assert error.__cause__ is None and error.__context__ is None


def test_fatal_error_type_is_made_once(hooks, panic_type):
    assert all(type(fatal(hooks, str(i))) is panic_type for i in range(3))


def test_fatal_error_documentation(panic_type):
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    paragraphs = [p for p in doc.strip("\n").split("\n\n")]
    assert len(paragraphs) == 2
    assert "BaseException" in paragraphs[1]


def test_fatal_error_is_not_caught_as_an_exception(hooks):
    caught_as_exception = False
    with pytest.raises(BaseException) as info:
        try:
            hooks.fail("escapes")
        except Exception:
            caught_as_exception = True
    assert not caught_as_exception
    assert str(info.value) == "escapes"


@pytest.mark.parametrize("message", ["", "x", "m\u00e9ssage \u4e2d\U0001f600", "two\nlines", "a" * 10000])
def test_fatal_error_message_is_kept(hooks, message):
    error = fatal(hooks, message)
    assert str(error) == message
    assert error.args == (message,)


def test_internal_failure_is_reported_on_standard_error(hooks, capfd):
    fatal(hooks, "boom at the boundary")
    out, err = capfd.readouterr()
    assert out == ""
    # The thread's name, the source position, then the message.
    assert re.fullmatch(r"thread '[^'\n]+' hit an internal failure at \S*testhooks\.cpp:\d+:\d+:\n"
                        r"boom at the boundary\n", err), err


# --- operand checks ----------------------------------------------------------------

@pytest.mark.parametrize(("args", "message"), [
    (("index", 5, 3), "index out of bounds: the len is 3 but the index is 5"),
    (("index", 3, 3), "index out of bounds: the len is 3 but the index is 3"),
    (("index", 0, 0), "index out of bounds: the len is 0 but the index is 0"),
    (("index", 2**64 - 1, 2**64 - 1),
     "index out of bounds: the len is 18446744073709551615 but the index is 18446744073709551615"),
    (("range", 11, 12, 10), "range start index 11 out of range for slice of length 10"),
    (("range", 11, 11, 10), "range start index 11 out of range for slice of length 10"),
    (("range", 1, 11, 10), "range end index 11 out of range for slice of length 10"),
    (("range", 0, 1, 0), "range end index 1 out of range for slice of length 0"),
    (("range", 4, 2, 10), "slice index starts at 4 but ends at 2"),
    (("range", 1, 0, 0), "range start index 1 out of range for slice of length 0"),
    (("divide", 7, 0), "attempt to divide by zero"),
    (("divide", 0, 0), "attempt to divide by zero"),
    (("capacity", 2**60, 8), "capacity overflow"),
    (("capacity", 2**63, 1), "capacity overflow"),
    (("capacity", 2**64 - 1, 2), "capacity overflow"),
])
def test_failed_operand_checks(hooks, capfd, args, message):
    with pytest.raises(BaseException) as info:
        hooks.checks(*args)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message
    assert message in capfd.readouterr().err


@pytest.mark.parametrize(("args", "result"), [
    (("index", 2, 3), 2), (("index", 0, 1), 0), (("index", 2**64 - 2, 2**64 - 1), 2**64 - 2),
    (("range", 0, 0, 0), None), (("range", 3, 10, 10), None), (("range", 10, 10, 10), None), (("range", 5, 5, 10), None),
    (("divide", 7, 2), 3), (("divide", 0, 5), 0), (("divide", 2**64 - 1, 1), 2**64 - 1),
    (("capacity", 2**60 - 1, 8), None), (("capacity", 2**63 - 1, 1), None), (("capacity", 2**64 - 1, 0), None),
    (("capacity", 0, 2**64 - 1), None),
])
def test_passing_operand_checks(hooks, capfd, args, result):
    assert hooks.checks(*args) == result
    assert capfd.readouterr().err == ""


# --- errors without an exception, and failed results --------------------------------

def test_fetch_with_nothing_set(hooks):
    with pytest.raises(SystemError) as info:
        hooks.fetch_none()
    assert type(info.value) is SystemError
    assert str(info.value) == "attempted to fetch exception but none was set"


def test_pending_error_of_a_non_exception_type(hooks):
    with pytest.raises(TypeError) as info:
        hooks.raise_non_exception()
    assert type(info.value) is TypeError
    assert str(info.value) == "exceptions must derive from BaseException"


def test_result_the_interpreter_could_not_build(hooks, capfd, no_last_exception):
    with pytest.raises(BaseException) as info:
        hooks.failed_result()
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "Python API call failed"
    err = capfd.readouterr().err
    # The interpreter's own error is shown first, then the failure's report.
    shown = err.index("MemoryError: simulated allocation failure")
    reported = err.index("Python API call failed")
    assert shown < reported
    assert re.search(r"src/binding/\S+\.cpp:\d+:\d+:\nPython API call failed\n", err), err
    assert_no_last_exception()


# --- exceptions of Python code that native code called ----------------------------

@pytest.mark.parametrize("error", [ValueError("v"), TypeError("t"), KeyError("k"), SystemExit(3),
                                   KeyboardInterrupt(), StopIteration(1)])
def test_ordinary_exception_passes_back_unchanged(hooks, capfd, error):
    def raising():
        raise error

    with pytest.raises(BaseException) as info:
        hooks.call(raising)
    assert info.value is error
    assert capfd.readouterr().err == ""


def test_result_passes_back(hooks):
    marker = object()
    assert hooks.call(lambda: marker) is marker


def resumed(hooks, capfd, raising):
    """Runs raising() under native code and returns the exception that
    comes out and the standard error written meanwhile."""
    with pytest.raises(BaseException) as info:
        hooks.call(raising)
    return info.value, capfd.readouterr().err


def test_fatal_error_coming_back_from_python(hooks, capfd, no_last_exception):
    original = fatal(hooks, "original failure")
    capfd.readouterr()

    def rethrow():
        raise original

    error, err = resumed(hooks, capfd, rethrow)
    assert type(error) is type(original)
    assert error is not original
    assert str(error) == "original failure"
    assert error.args == ("original failure",)
    assert err.startswith(BANNER)
    traceback = err[len(BANNER):]
    assert traceback.startswith("Traceback (most recent call last):\n")
    assert "in rethrow" in traceback
    assert traceback.endswith("pyo3_runtime.PanicException: original failure\n")
    # Only the banner and the traceback: no second failure report.
    assert err.count("original failure") == 1
    assert_no_last_exception()


def test_fatal_error_made_in_python(hooks, capfd, panic_type):
    capfd.readouterr()

    def make():
        raise panic_type("made in Python")

    error, err = resumed(hooks, capfd, make)
    assert type(error) is panic_type
    assert str(error) == "made in Python"
    assert err.startswith(BANNER)
    assert err.endswith("pyo3_runtime.PanicException: made in Python\n")


def test_fatal_error_with_surrogates_in_its_text(hooks, capfd, panic_type):
    capfd.readouterr()

    def make():
        raise panic_type("bad \udc80 and \ud800\udfff")

    error, err = resumed(hooks, capfd, make)
    assert type(error) is panic_type
    # A pair of surrogates written separately is two unpaired ones.
    assert str(error) == "bad " + "\ufffd" * 3 + " and " + "\ufffd" * 6
    assert err.startswith(BANNER)


@pytest.mark.parametrize("argument", ["object", "many"])
def test_fatal_error_with_an_object_argument(hooks, capfd, panic_type, argument):
    capfd.readouterr()
    args = ([1, "two"],) if argument == "object" else ("a", 2)

    def make():
        raise panic_type(*args)

    error, err = resumed(hooks, capfd, make)
    assert str(error) == str(panic_type(*args))
    assert err.startswith(BANNER)


def test_unprintable_fatal_error(hooks, capfd, panic_type, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    capfd.readouterr()

    class NoText:
        def __str__(self):
            raise ValueError("no text")

    def make():
        raise panic_type(NoText())

    error, err = resumed(hooks, capfd, make)
    assert type(error) is panic_type
    assert str(error) == "Unwrapped panic from Python code"
    assert err.startswith(BANNER)
    # Its string form failed quietly: nothing went to the unraisable hook.
    assert reports == []


def test_subclass_of_the_fatal_error_is_an_ordinary_exception(hooks, capfd, panic_type):
    class Derived(panic_type):
        pass

    original = Derived("derived")
    capfd.readouterr()

    def make():
        raise original

    error, err = resumed(hooks, capfd, make)
    assert error is original
    assert err == ""


def _resumed_by_quarix(cls):
    original = cls("probe")

    class Exploding:
        def __float__(self):
            raise original

    try:
        quarix.PyFlat(1).insert([Exploding()])
    except BaseException as error:
        return error is not original
    return False


@pytest.fixture
def quarix_panic_type(hooks, panic_type, capfd):
    """The fatal-error exception type of quarix itself. Each extension module
    makes its own (the test hooks and other libraries loaded in the process
    included); quarix makes its own when it first fetches an exception, and
    never exposes it. Only its own is resumed as a new fatal error when it
    passes through a call."""
    with pytest.raises(OverflowError):
        quarix.PyFlat(-1)
    candidates = [cls for cls in BaseException.__subclasses__()
                  if cls.__module__ == "pyo3_runtime" and cls.__name__ == "PanicException" and cls is not panic_type]
    found = [cls for cls in candidates if _resumed_by_quarix(cls)]
    capfd.readouterr()
    assert len(found) == 1, candidates
    return found[0]


def test_quarix_has_its_own_fatal_error_type(quarix_panic_type, panic_type):
    cls = quarix_panic_type
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("pyo3_runtime", "PanicException", "PanicException")
    assert cls.__mro__ == (cls, BaseException, object)
    assert cls.__doc__ == panic_type.__doc__
    assert str(cls("message")) == "message"
    assert not any(value is cls for value in vars(quarix).values())
    assert not any(value is cls for value in vars(quarix.PyFlat).values())


def test_fatal_error_during_an_argument_conversion(capfd, quarix_panic_type):
    # A fatal error stays fatal on its way through a conversion: it is not
    # wrapped as an argument error, and the index keeps nothing of the call.
    original = quarix_panic_type("deep failure")
    index = quarix.PyFlat(1)
    index.insert([0.0])

    class Exploding:
        def __float__(self):
            raise original

        def __index__(self):
            raise original

        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise IndexError(i)

        def __iter__(self):
            raise original

    calls = [lambda: index.insert([Exploding()]), lambda: index.create([[1.0], [Exploding()]]),
             lambda: index.create([[1.0], Exploding()]), lambda: index.insert(Exploding()),
             lambda: index.search([Exploding()]), lambda: index.search([0.0], Exploding()),
             lambda: quarix.PyFlat(Exploding())]
    for call in calls:
        capfd.readouterr()
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is quarix_panic_type
        assert info.value is not original
        assert str(info.value) == "deep failure"
        assert info.value.__cause__ is None
        err = capfd.readouterr().err
        assert err.startswith(BANNER)
        assert err.endswith("pyo3_runtime.PanicException: deep failure\n")
    # Nothing stored and the access given back each time.
    assert index.search([0.0], 10) == [(0, 0.0)]
    index.insert([1.0])
    assert index.search([1.0], 10) == [(1, 0.0), (0, 1.0)]


def test_fatal_error_type_of_another_module_is_an_ordinary_exception(hooks, capfd, quarix_panic_type):
    # The fatal error is recognised by identity of its type: one made by
    # another extension passes through quarix like any other exception.
    foreign = fatal(hooks, "foreign")
    assert type(foreign) is not quarix_panic_type
    capfd.readouterr()

    class Exploding:
        def __float__(self):
            raise foreign

    with pytest.raises(BaseException) as info:
        quarix.PyFlat(1).insert([Exploding()])
    assert info.value is foreign
    assert capfd.readouterr().err == ""


def test_fatal_error_in_a_nested_call_of_the_same_instance(capfd, quarix_panic_type):
    index = quarix.PyFlat(1)
    index.insert([0.0])

    class Exploding:
        def __float__(self):
            raise quarix_panic_type("inner")

    class Outer:
        def __float__(self):
            index.search([Exploding()])
            return 0.0

    capfd.readouterr()
    with pytest.raises(BaseException) as info:
        index.search([Outer()])
    assert type(info.value) is quarix_panic_type
    assert str(info.value) == "inner"
    # Resumed twice: by the inner search, then by the outer one.
    assert capfd.readouterr().err.count(BANNER) == 2
    index.insert([1.0])
    assert index.search([1.0], 10) == [(1, 0.0), (0, 1.0)]


# --- deallocation -------------------------------------------------------------------

def test_failure_during_deallocation_goes_to_the_unraisable_hook(hooks, capfd, panic_type, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    doomed_type = hooks.Doomed
    refs = sys.getrefcount(doomed_type)
    doomed = doomed_type()
    assert sys.getrefcount(doomed_type) == refs + 1
    capfd.readouterr()
    del doomed
    # The object was freed all the same: it gave back its type reference.
    assert sys.getrefcount(doomed_type) == refs
    assert len(reports) == 1
    report = reports[0]
    assert report.exc_type is panic_type
    assert type(report.exc_value) is panic_type
    assert str(report.exc_value) == "failure during deallocation"
    assert report.object is None
    assert "failure during deallocation" in capfd.readouterr().err


def test_deallocation_failures_do_not_stop_the_caller(hooks, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    objects = [hooks.Doomed() for _ in range(5)]
    objects.clear()
    assert len(reports) == 5
    assert {str(r.exc_value) for r in reports} == {"failure during deallocation"}


# --- text form and type-check failure --------------------------------------------------

class Outer:
    class Inner:
        pass


@pytest.mark.parametrize(("value", "text"), [
    ("plain", "plain"),
    (5, "5"),
    (1.5, "1.5"),
    (None, "None"),
    (b"x", "b'x'"),
    ("a\udc80b", "a" + "\ufffd" * 3 + "b"),
    ("\ud800\udc00", "\ufffd" * 6),
    ("\udfff", "\ufffd" * 3),
    ("m\u00e9tric \u4e2d\U0001f600", "m\u00e9tric \u4e2d\U0001f600"),
])
def test_text_form(hooks, value, text):
    assert hooks.text_form(value) == text


def test_text_form_uses_str_not_repr(hooks):
    class Shown:
        def __str__(self):
            return "shown \udc80"

        def __repr__(self):
            return "repr"

    assert hooks.text_form(Shown()) == "shown " + "\ufffd" * 3


@pytest.mark.parametrize(("failure", "exc_type"), [
    (ValueError("no text"), ValueError),
    (None, TypeError),  # __str__ returning something that is not a str
])
def test_text_form_of_an_unprintable_object(hooks, monkeypatch, failure, exc_type):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)

    class NoText:
        def __str__(self):
            if failure is None:
                return 5
            raise failure

    value = NoText()
    assert hooks.text_form(value) == "<unprintable NoText object>"
    assert len(reports) == 1
    assert reports[0].exc_type is exc_type
    assert reports[0].object is value
    if failure is not None:
        assert reports[0].exc_value is failure


def test_text_form_stand_in_names_the_type(hooks, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)

    class NoText:
        def __str__(self):
            raise ValueError

    NoText.__name__ = "Renamed"
    assert hooks.text_form(NoText()) == "<unprintable Renamed object>"


@pytest.mark.parametrize(("value", "target", "message"), [
    (5, "PyString", "'int' object cannot be converted to 'PyString'"),
    ({}, "Sequence", "'dict' object cannot be converted to 'Sequence'"),
    ([], "PyTuple", "'list' object cannot be converted to 'PyTuple'"),
    ((), "PyList", "'tuple' object cannot be converted to 'PyList'"),
    (quarix.PyFlat(1), "PyHNSW", "'PyFlat' object cannot be converted to 'PyHNSW'"),
    (None, "PyFlat", "'NoneType' object cannot be converted to 'PyFlat'"),
    # The qualified name, not the plain one.
    (Outer.Inner(), "Sequence", "'Outer.Inner' object cannot be converted to 'Sequence'"),
    (Outer, "PyString", "'type' object cannot be converted to 'PyString'"),
])
def test_type_check_failure(hooks, value, target, message):
    with pytest.raises(TypeError) as info:
        hooks.type_check(value, target)
    assert type(info.value) is TypeError
    assert str(info.value) == message
