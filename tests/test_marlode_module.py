import re

import numpy as np
import pytest

import _marlode
from conftest import OTHER_CPYTHONS, import_refusal

# name -> argument names, in registration order
FUNCTIONS = {
    "format_dart": [
        "kind",
        "value",
        "variance",
        "lon",
        "lat",
        "height",
        "days",
        "secs",
        "radar_lon",
        "radar_lat",
        "radar_height",
        "beam",
        "nyquist",
        "velkey",
        "vertical",
        "n_threads",
    ],
    "format_wrfda": [
        "centres",
        "col_lat",
        "col_lon",
        "col_elv",
        "rv",
        "rv_qc",
        "rv_err",
        "rf",
        "rf_qc",
        "rf_err",
        "stamp",
        "n_threads",
    ],
}
INT64 = {"kind", "days", "secs", "velkey", "rv_qc", "rf_qc"}


def signature(fn):
    """(name, default) of each argument, then those after the keyword-only marker."""
    head = fn.__doc__.splitlines()[0]
    args = re.match(r"\w+\((.*)\) ->", head).group(1)
    positional, _, keyword = args.partition(", *, ")

    def split(part):
        return [
            (a.split(":")[0].strip(), a.rsplit("=", 1)[1].strip() if "=" in a else None)
            for a in re.split(r",\s*(?=\w+:)", part)
            if a
        ]

    return split(positional), split(keyword)


# Keyword-only arguments: format_dart numbers one chunk of a longer sequence.
KEYWORD_ONLY = {"format_dart": [("first", "1"), ("total", "-1")], "format_wrfda": []}


def one_dart(**kw):
    args = dict(
        kind=[0],
        value=[1.0],
        variance=[1.0],
        lon=[0.0],
        lat=[0.0],
        height=[0.0],
        days=[1],
        secs=[2],
        radar_lon=[0.0],
        radar_lat=[0.0],
        radar_height=[0.0],
        beam=[[0.0, 0.0, 1.0]],
        nyquist=[20.0],
        velkey=[1],
        vertical=3,
    )
    return _marlode.format_dart(**{**args, **kw})


def one_wrfda(**kw):
    args = dict(
        centres=[500.0],
        col_lat=[1.0],
        col_lon=[2.0],
        col_elv=[3.0],
        rv=[[1.0]],
        rv_qc=[[0]],
        rv_err=[[1.0]],
        rf=[[1.0]],
        rf_qc=[[0]],
        rf_err=[[1.0]],
        stamp="2021-06-01_12:00:00",
    )
    return _marlode.format_wrfda(**{**args, **kw})


def test_docstring_and_function_order():
    assert _marlode.__doc__ == "Threaded text formatter of the WRFDA and DART observation writers"
    registered = [k for k, v in vars(_marlode).items() if callable(v) and not k.startswith("_")]
    assert registered == list(FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_argument_names_types_and_defaults(name):
    sig, keyword = signature(getattr(_marlode, name))
    assert [a for a, _ in sig] == FUNCTIONS[name]
    assert [d for _, d in sig] == [None] * (len(sig) - 1) + ["0"]
    assert keyword == KEYWORD_ONLY[name]
    head = getattr(_marlode, name).__doc__.splitlines()[0]
    ints = re.findall(r"(\w+): typing.Annotated\[numpy.typing.ArrayLike, numpy.int64\]", head)
    assert set(ints) == INT64 & set(FUNCTIONS[name]) and head.endswith("-> bytes")


@pytest.mark.parametrize("bad", [2.0, np.float64(2.0), 2**31, -(2**31) - 1, "2", None])
@pytest.mark.parametrize(
    "call",
    [
        lambda v: one_dart(n_threads=v),
        lambda v: one_dart(vertical=v),
        lambda v: one_wrfda(n_threads=v),
    ],
    ids=["dart-n_threads", "dart-vertical", "wrfda-n_threads"],
)
def test_bad_32_bit_integer_is_type_error(call, bad):
    with pytest.raises(TypeError):
        call(bad)


@pytest.mark.parametrize("good", [2**31 - 1, -(2**31), np.int32(3), np.int64(-1)])
def test_32_bit_integer_range_accepted(good):
    assert one_dart(n_threads=good) == one_dart()
    assert one_wrfda(n_threads=good) == one_wrfda()


@pytest.mark.parametrize(
    "call",
    [
        lambda: one_dart(value=np.array(["a"])),
        lambda: one_dart(kind=["x"]),
        lambda: one_wrfda(rv_qc=[["x"]]),
        lambda: one_wrfda(stamp=1.5),
        lambda: one_wrfda(stamp=None),
    ],
    ids=["dart-str-value", "dart-str-kind", "wrfda-str-qc", "stamp-float", "stamp-none"],
)
def test_unconvertible_argument_is_type_error(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("version,exe", OTHER_CPYTHONS)
def test_other_interpreter_refuses_import(version, exe):
    got, want = import_refusal(exe, _marlode)
    assert got == want
