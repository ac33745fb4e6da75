"""Real text to search: docstrings, embedded offline.

By default the corpus is this interpreter's own standard library: every public
module that imports here, and every public class, function and method defined
in one, that has a docstring, is one text, so every machine with the same
CPython has the same corpus. `collect(installed=True)` adds the top-level
packages of every distribution installed beside it (the benchmark's
environment: numpy, ray, matplotlib, ...), walked the same way. A docstring
met twice is kept once. A text's metadata are its module's top-level package
("os", "numpy", ...) and its kind ("module", "class", "function", "method").

Embeddings come from the static text-embedding model that the PyPI package
wordllama ships inside its wheel (256 elements per text). It is loaded from the
installed package only: downloads are disabled, and missing model files are an
error that says so. The embeddings are cached as a float64 .npy file named after
the Python version and a digest of the texts, so a second run does not embed
again.

Used by examples/semantic_search.py and by the benchmark's real-data section.
"""

import contextlib
import hashlib
import importlib
import importlib.metadata
import inspect
import io
import os
import pkgutil
import sys
import warnings
from dataclasses import dataclass
from pathlib import Path

import numpy as np

MODEL_CONFIG, MODEL_DIM = "l2_supercat", 256
DEFAULT_CACHE = Path(__file__).resolve().parents[1] / "bench" / "data"
# Modules that open windows or browsers, print on import, run a program when
# imported, or hold the interpreter's own tests: never imported.
SKIPPED = {"antigravity", "this", "idlelib", "tkinter", "turtle", "turtledemo", "test", "ensurepip", "pydoc_data",
           "lib2to3", "xxsubtype", "xxlimited", "xxlimited_35"}
# Installed packages left out: this project's own (its docstrings change with
# the code, and the cache with them), aliases and import-time helpers.
SKIPPED_INSTALLED = {"quarix", "quarix_shards", "pylab", "py", "__pycache__"}
KINDS = ("module", "class", "function", "method")


@dataclass(frozen=True)
class Text:
    name: str      # qualified name, e.g. "os.path.join"
    package: str   # the module's top-level package
    kind: str      # one of KINDS
    doc: str       # the cleaned docstring

    @property
    def first_line(self):
        return next((line for line in self.doc.splitlines() if line.strip()), "")


def _public(name):
    return not any(part.startswith("_") for part in name.split("."))


def installed_packages():
    """Top-level packages of the distributions installed beside this interpreter's standard library."""
    tops = set(importlib.metadata.packages_distributions())
    return sorted(t for t in tops if t.isidentifier() and _public(t) and t not in SKIPPED_INSTALLED
                  and t not in sys.stdlib_module_names)


def _module_names(tops, installed):
    """The modules to read: the public standard library, then (installed) every
    module of each installed package, private ones too, as libraries often
    define their public classes in private modules; never their tests."""
    names = set()
    for top in tops:
        if not _public(top) or top in SKIPPED:
            continue
        module = _quiet_import(top)
        if module is None:
            continue
        names.add(top)
        private = top in installed
        if hasattr(module, "__path__"):
            for info in pkgutil.iter_modules(module.__path__, prefix=top + "."):
                names |= _walk(info.name, info.ispkg, private)
    return sorted(names)


def _walk(name, is_package, private):
    parts = name.split(".")
    if parts[-1] == "__main__" or any(p.startswith("test") for p in parts[1:]) or not (private or _public(name)):
        return set()
    module = _quiet_import(name)
    if module is None:
        return set()
    found = {name}
    if is_package and hasattr(module, "__path__"):
        for info in pkgutil.iter_modules(module.__path__, prefix=name + "."):
            found |= _walk(info.name, info.ispkg, private)
    return found


def _quiet_import(name):
    """The module, or None when it does not import here; what it prints and warns is dropped."""
    try:
        with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()), \
                contextlib.redirect_stderr(io.StringIO()):
            warnings.simplefilter("ignore")
            return importlib.import_module(name)
    except (Exception, SystemExit):
        return None


def _doc(obj):
    doc = obj.__doc__ if isinstance(getattr(obj, "__doc__", None), str) else None
    return inspect.cleandoc(doc) if doc and doc.strip() else None


def collect(installed=False):
    """Every text of the corpus, in a fixed order (by module, then by name)."""
    texts, seen = [], set()

    def add(name, kind, obj):
        doc = _doc(obj)
        if doc and doc not in seen:
            seen.add(doc)
            texts.append(Text(name, name.split(".")[0], kind, doc))

    packages = installed_packages() if installed else []
    for modname in _module_names(sorted(sys.stdlib_module_names) + packages, set(packages)):
        module = sys.modules[modname]
        add(modname, "module", module)
        for name, obj in sorted(vars(module).items()):
            if name.startswith("_") or getattr(obj, "__module__", None) != modname:
                continue
            if inspect.isclass(obj):
                add(f"{modname}.{name}", "class", obj)
                for attr, member in sorted(vars(obj).items()):
                    if attr.startswith("_"):
                        continue
                    function = member.__func__ if isinstance(member, (classmethod, staticmethod)) else member
                    if inspect.isfunction(function) or inspect.ismethoddescriptor(function) or inspect.isbuiltin(function):
                        add(f"{modname}.{name}.{attr}", "method", function)
            elif inspect.isfunction(obj) or inspect.isbuiltin(obj):
                add(f"{modname}.{name}", "function", obj)
    return texts


def load_model():
    """The bundled wordllama model; never downloads."""
    try:
        import wordllama
        from wordllama import WordLlama
    except ImportError as error:
        raise RuntimeError("the real-data examples need wordllama: pip install '.[examples]'") from error
    package = Path(wordllama.__file__).parent
    needed = [package / "weights" / f"{MODEL_CONFIG}_{MODEL_DIM}.safetensors",
              package / "tokenizers" / f"{MODEL_CONFIG}_tokenizer_config.json"]
    missing = [str(path) for path in needed if not path.is_file()]
    if missing:
        raise RuntimeError(f"wordllama's bundled model files are missing ({', '.join(missing)}); "
                           "reinstall wordllama from its wheel (nothing is downloaded at run time)")
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    # The package folder holds the same weights/ and tokenizers/ layout as its cache folder.
    return WordLlama.load(config=MODEL_CONFIG, dim=MODEL_DIM, cache_dir=package, disable_download=True)


def embeddings(texts, cache_dir=DEFAULT_CACHE, model=None):
    """float64 embeddings of texts (one row each), from the cache when it holds them."""
    digest = hashlib.sha256("\0".join(t.doc for t in texts).encode()).hexdigest()[:16]
    version = ".".join(map(str, sys.version_info[:3]))
    path = Path(cache_dir) / f"docstrings-py{version}-{MODEL_CONFIG}{MODEL_DIM}-{digest}.npy"
    if path.is_file():
        return np.load(path), path, True
    model = model or load_model()
    vectors = np.ascontiguousarray(model.embed([t.doc for t in texts], norm=False), dtype=np.float64)
    path.parent.mkdir(parents=True, exist_ok=True)
    np.save(path, vectors)
    return vectors, path, False


def unit_rows(vectors):
    """Rows scaled to length 1 (zero rows stay zero): Euclidean order is then similarity order."""
    norms = np.linalg.norm(vectors, axis=1, keepdims=True)
    return np.divide(vectors, norms, out=np.zeros_like(vectors), where=norms > 0)
