"""The type stubs of the compiled modules (stubs/*.pyi) say what the modules
do: the same docstring, functions, argument names, kinds, defaults and kinds
of types as the signatures the binding layer generates. (stubtest in
`make lint` checks the names only: compiled functions carry no signature
object it could compare.)"""

import ast
import importlib
import os
import re

import pytest

STUBS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "stubs")
MODULES = ["_kestrin", "_marlode", "_polar"]

# What each generated annotation accepts, and the stub spellings of the same.
RUNTIME_TYPES = {
    r"typing\.Annotated\[numpy\.typing\.ArrayLike, numpy\.(float64|float32|int64|bool)\]": "array",
    r"typing\.SupportsInt \| typing\.SupportsIndex": "int",
    r"typing\.SupportsFloat \| typing\.SupportsIndex": "float",
    r"str": "str",
    r"numpy\.typing\.NDArray\[numpy\.float64\]": "float64 array",
    r"bytes": "bytes",
    r"tuple": "tuple",
    r"numpy\.ndarray": "ndarray",  # taken as it is, never converted (a result goes into it)
}
STUB_TYPES = {
    "_F": "array",
    "_A": "array",
    "_I": "int",
    "int": "int",
    "_I | None": "int or None",
    "int | None": "int or None",
    "float": "float",
    "str | bytes": "str",
    "_R": "float64 array",
    "bytes": "bytes",
    "npt.NDArray[np.float32]": "ndarray",
    "tuple[npt.NDArray[np.int8], _R, npt.NDArray[np.int64]]": "tuple",
    "tuple[_R, npt.NDArray[np.int64]]": "tuple",
    "tuple[_Means, _Means]": "tuple",
    "tuple[_Means, _Means, int]": "tuple",
}


def runtime_type(text):
    text = text.strip()
    if text.endswith(" | None"):
        return runtime_type(text[: -len(" | None")]) + " or None"
    for pattern, kind in RUNTIME_TYPES.items():
        if re.fullmatch(pattern, text.strip()):
            return kind
    raise AssertionError(f"unknown generated annotation {text!r}")


def runtime_signature(fn):
    """[(name, keyword-only, default text, type kind)], result type kind."""
    head = fn.__doc__.splitlines()[0]
    args, result = re.fullmatch(rf"{fn.__name__}\((.*)\) -> (.*)", head).groups()
    out, kwonly = [], False
    for part in re.split(r",\s*(?=\w+:|\*)", args):
        if part.strip() == "*":
            kwonly = True
            continue
        name, rest = part.split(":", 1)
        annotation, _, default = rest.partition(" = ")
        out.append((name.strip(), kwonly, default.strip() or None, runtime_type(annotation)))
    return out, runtime_type(result)


def stub_signature(node):
    a = node.args
    defaults = [None] * (len(a.args) - len(a.defaults)) + a.defaults
    params = [(p, False, d) for p, d in zip(a.args, defaults)]
    params += [(p, True, d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    out = [
        (p.arg, kw, None if d is None else ast.unparse(d), STUB_TYPES[ast.unparse(p.annotation)])
        for p, kw, d in params
    ]
    return out, STUB_TYPES[ast.unparse(node.returns)]


def stub(module):
    with open(os.path.join(STUBS, f"{module}.pyi")) as f:
        tree = ast.parse(f.read())
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    return ast.get_docstring(tree, clean=False), funcs


@pytest.mark.parametrize("module", MODULES)
def test_stub_has_the_module_docstring_and_functions(module):
    mod = importlib.import_module(module)
    doc, funcs = stub(module)
    assert doc == mod.__doc__
    public = [k for k, v in vars(mod).items() if callable(v) and not k.startswith("_")]
    assert list(funcs) == public


@pytest.mark.parametrize(
    "module,name",
    [(m, f) for m in MODULES for f in stub(m)[1]],
)
def test_stub_signature_matches_the_compiled_one(module, name):
    fn = getattr(importlib.import_module(module), name)
    assert stub_signature(stub(module)[1][name]) == runtime_signature(fn)
