"""The radarkit package over the compiled modules: every public function is
documented with a working example, takes the compiled function's arguments,
and gives back exactly what the compiled function gives (results, exceptions,
messages); the package carries the one version of pyproject.toml."""

import doctest
import importlib
import importlib.metadata
import importlib.resources
import inspect
import os
import re
import tomllib

import numpy as np
import pytest

import radarkit
from cases import FUNCTIONS, same

pytestmark = pytest.mark.python_layer

PUBLIC = [n for n in radarkit.__all__ if n != "__version__"]
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def compiled(name):
    return getattr(importlib.import_module(FUNCTIONS[name].module), name)


def compiled_signature(fn):
    """(name, keyword-only, default text or None) of each argument, from the
    generated signature line."""
    args = re.match(r"\w+\((.*)\) ->", fn.__doc__.splitlines()[0]).group(1)
    out, kwonly = [], False
    for a in re.split(r",\s*(?=\w+:|\*)", args):
        if a.strip() == "*":
            kwonly = True
            continue
        out.append((a.split(":")[0].strip(), kwonly, a.rsplit(" = ", 1)[1] if " = " in a else None))
    return out


def test_every_compiled_function_is_public():
    assert sorted(PUBLIC) == sorted(FUNCTIONS)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_same_arguments_as_compiled(name):
    params = inspect.signature(getattr(radarkit, name)).parameters.values()
    assert all(p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY) for p in params)
    ours = [
        (p.name, p.kind is p.KEYWORD_ONLY, None if p.default is p.empty else repr(p.default))
        for p in params
    ]
    assert ours == compiled_signature(compiled(name))


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_documented(name):
    doc = inspect.getdoc(getattr(radarkit, name))
    for section in ("Parameters", "Returns", "Raises", "Example"):
        assert re.search(rf"^{section}\n-+$", doc, re.M), section
    for word in ("n_threads", "NaN"):
        assert word in doc
    params = [p for p in inspect.signature(getattr(radarkit, name)).parameters]
    described = re.search(r"^Parameters\n-+\n(.*?)^Returns", doc, re.M | re.S).group(1)
    assert all(re.search(rf"\b{p}\b", described) for p in params)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_example_runs(name):
    fn = getattr(radarkit, name)
    tests = doctest.DocTestFinder().find(fn, name, globs={"rk": radarkit, "np": np})
    assert tests and tests[0].examples
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for t in tests:
        runner.run(t)
    assert runner.summarize(verbose=False).failed == 0


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_compiled_functions_keep_only_their_signature(name):
    doc = compiled(name).__doc__
    assert doc.startswith(f"{name}(") and doc.strip().count("\n") == 0


def outcome_of(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs)
    except Exception as e:
        return (type(e), str(e))


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_same_results_and_errors_as_compiled(name):
    entry, ours, theirs = FUNCTIONS[name], getattr(radarkit, name), compiled(name)
    rng = np.random.default_rng(13)
    for n in (0, 1, entry.block + 1):
        args = entry.build(rng, n)
        pos = [args[p] for p, _ in entry.params]
        want = theirs(*pos, 2)
        assert same(ours(*pos, 2), want)
        assert same(ours(*pos), want) and same(ours(**args, n_threads=1), want)
    bad = entry.invalid(rng)
    pos = [bad[p] for p, _ in entry.params]
    got = outcome_of(ours, *pos, 0)
    assert got[0] is ValueError and got == outcome_of(theirs, *pos, 0)
    args = entry.build(rng, 3)
    pos = [args[p] for p, _ in entry.params]
    # TypeError of the binding layer, message and listed arguments alike
    for n_threads in (2.0, 2**31):
        got = outcome_of(ours, *pos, n_threads)
        assert got[0] is TypeError and got == outcome_of(theirs, *pos, n_threads)
    pos[0] = np.array(["a", "b"])
    got = outcome_of(ours, *pos, 0)
    assert got[0] is TypeError and got == outcome_of(theirs, *pos, 0)


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_python_argument_errors_name_the_function(name):
    entry = FUNCTIONS[name]
    with pytest.raises(TypeError, match=rf"^{name}\(\) missing 1 required positional argument"):
        getattr(radarkit, name)(*[None] * (len(entry.params) - 1))


def test_one_version_from_pyproject():
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    assert radarkit.__version__ == version == importlib.metadata.version("radarkit")
    # no second copy kept by hand in the sources
    src = os.path.join(ROOT, "python", "radarkit")
    for file in os.listdir(src):
        if file.endswith(".py"):
            with open(os.path.join(src, file)) as f:
                assert f'"{version}"' not in f.read(), file


def test_typed_package():
    assert importlib.resources.files("radarkit").joinpath("py.typed").is_file()
