import re

import numpy as np
import pytest

import _kestrin
from conftest import OTHER_CPYTHONS, import_refusal

# name -> argument names, in registration order
FUNCTIONS = {
    "thermo": ["t", "p", "td", "n_threads"],
    "cold_pool": ["z", "b", "bottom", "threshold", "top", "n_threads"],
    "profile": ["z", "u", "v", "ground", "bottom", "top", "cu", "cv", "n_threads"],
    "gradient": ["f", "x", "y", "n_threads"],
    "vad": ["vr", "az", "cos_el", "min_gates", "min_spread", "n_threads"],
}


def signature(fn):
    head = fn.__doc__.splitlines()[0]
    args = re.match(r"\w+\((.*)\) ->", head).group(1)
    return [
        (a.split(":")[0].strip(), a.rsplit("=", 1)[1].strip() if "=" in a else None)
        for a in re.split(r",\s*(?=\w+:)", args)
    ]


def test_docstring_and_function_order():
    assert _kestrin.__doc__ == "Cold-pool, wind-profile and baroclinity kernel (multithreaded)."
    registered = [k for k, v in vars(_kestrin).items() if callable(v) and not k.startswith("_")]
    assert registered == list(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_argument_names_and_defaults(name):
    sig = signature(getattr(_kestrin, name))
    assert [a for a, _ in sig] == FUNCTIONS[name]
    assert [d for _, d in sig] == [None] * (len(sig) - 1) + ["0"]


@pytest.mark.parametrize("n_threads", [2.0, 2**31, -(2**31) - 1, "2", None])
def test_bad_thread_count_is_type_error(n_threads):
    with pytest.raises(TypeError):
        _kestrin.thermo([300.0], [1e5], [290.0], n_threads)


@pytest.mark.parametrize("n_threads", [2**31 - 1, -(2**31), np.int32(3), np.int64(-1)])
def test_thread_count_range_accepted(n_threads):
    assert _kestrin.thermo([300.0], [1e5], [290.0], n_threads).shape == (4, 1)


def test_string_array_is_type_error_not_value_error():
    with pytest.raises(TypeError):
        _kestrin.thermo(np.array(["a", "b"]), [1e5, 1e5], [290.0, 290.0])


@pytest.mark.parametrize("version,exe", OTHER_CPYTHONS)
def test_other_interpreter_refuses_import(version, exe):
    got, want = import_refusal(exe, _kestrin)
    assert got == want
