import numpy as np
import pytest

import reference_writer as ref
from _marlode import format_wrfda

LEVEL = ["rv", "rv_err", "rf", "rf_err", "rv_qc", "rf_qc"]  # in the order they are checked

# The column of the format's worked example, · for a space.
EXAMPLE = """\
FM-128·RADAR···2021-06-01_12:00:00········35.250·······-97.500·····370.0·······2
··········500.0······12.345···0·······1.000········25.500···0·······2.000··
·········1000.0······-3.200···1·······1.000········18.000·-88·······2.000··
"""


def example():
    return dict(
        centres=[500.0, 1000.0],
        col_lat=[35.25],
        col_lon=[-97.5],
        col_elv=[370.0],
        rv=[[12.345, -3.2]],
        rv_qc=[[0, 1]],
        rv_err=[[1.0, 1.0]],
        rf=[[25.5, 18.0]],
        rf_qc=[[0, -88]],
        rf_err=[[2.0, 2.0]],
        stamp="2021-06-01_12:00:00",
    )


def test_worked_example():
    out = format_wrfda(**example())
    assert out == EXAMPLE.replace("·", " ").encode() and len(out) == 233


def awkward(n, L, seed):
    rng = np.random.default_rng(seed)
    args = ref.random_wrfda(n, L, seed)
    specials = [
        np.nan,
        -np.nan,
        np.inf,
        -np.inf,
        -0.0,
        -0.0004,
        0.0005,
        123456789.5,
        -1.7976931348623157e308,
        5e-324,
    ]
    for name, a in args.items():
        if name == "stamp":
            continue
        pick = rng.random(a.shape) < 0.05
        if name.endswith("_qc"):
            a[pick] = rng.choice([-888, -8888, 10000, np.iinfo(np.int64).min], pick.sum())
        else:
            a[pick] = rng.choice(specials, pick.sum())
    return args


@pytest.mark.parametrize("n,L,seed", [(1, 1, 0), (5, 30, 1), (2049, 2, 2), (3, 0, 3), (0, 4, 4)])
def test_matches_reference_on_awkward_values(n, L, seed):
    args = awkward(n, L, seed)
    assert format_wrfda(**args) == ref.wrfda(**args)


@pytest.mark.parametrize(
    "field,value,text",
    [
        ("rf_qc", -888, b" " * 8 + b"18.000-888       2.000  "),
        ("rf_qc", -8888, b" " * 8 + b"18.000-8888       2.000  "),
        ("rf", -0.0004, b" " * 8 + b"-0.000 -88       2.000  "),
    ],
)
def test_level_fields_abut_when_they_overflow(field, value, text):
    args = example()
    args[field] = [[0.0, value]]
    last = format_wrfda(**args).split(b"\n")[2]
    assert last.endswith(text)
    assert len(last) == 75 + max(0, len(text) - 32)


@pytest.mark.parametrize(
    "stamp,written",
    [
        ("", b" " * 19),
        ("2021-06-01", b"2021-06-01" + b" " * 9),
        ("2021-06-01_12:00:00.5", b"2021-06-01_12:00:00.5"),
        (b"2021-06-01\xff", b"2021-06-01\xff" + b" " * 8),
        ("2021-06-01_\u00e9", b"2021-06-01_\xc3\xa9" + b" " * 6),
        (bytearray(b"x"), b"x" + b" " * 18),
    ],
)
def test_stamp_padded_to_19_bytes_never_cut(stamp, written):
    out = format_wrfda(**{**example(), "stamp": stamp})
    assert out.startswith(b"FM-128 RADAR   " + written + b"        35.250")


def test_no_levels_gives_header_lines_only():
    args = {**example(), "centres": [], **{k: np.zeros((1, 0)) for k in LEVEL}}
    out = format_wrfda(**args)
    assert out == EXAMPLE.replace("·", " ").encode().split(b"\n")[0][:-1] + b"0\n"
    assert out.endswith(b"     0\n")


def test_empty_input():
    args = {
        **example(),
        "col_lat": [],
        "col_lon": [],
        "col_elv": [],
        **{k: np.zeros((0, 2)) for k in LEVEL},
    }
    assert format_wrfda(**args) == b""


def test_conversions_give_same_bytes():
    args = ref.random_wrfda(40, 6, 8)
    want = format_wrfda(**args)
    # float flags are cast to int64 by truncation towards zero
    floats = {k: args[k] + np.copysign(0.75, args[k]) for k in ("rv_qc", "rf_qc")}
    assert format_wrfda(**{**args, **floats}) == want
    lists = {k: v if k == "stamp" else v.tolist() for k, v in args.items()}
    assert format_wrfda(**lists) == want
    fortran = {k: np.asfortranarray(args[k]) for k in LEVEL}
    assert format_wrfda(**{**args, **fortran, "stamp": args["stamp"].encode()}) == want


def bad(**changes):
    args = {**example(), **changes}
    return lambda: format_wrfda(**args)


LEVELS = "level arrays must be (columns, levels)"
COLUMNS = "column arrays must have the same length"
AXIS = "invalid axis: 0 (ndim = 0)"


@pytest.mark.parametrize(
    "call,error,message",
    [
        (bad(centres=500.0), IndexError, AXIS),
        (bad(col_lat=35.0), IndexError, AXIS),
        (bad(col_lon=35.0), IndexError, AXIS),
        (bad(col_elv=35.0), IndexError, AXIS),
        (bad(col_lon=35.0, rv=[1.0, 2.0]), ValueError, LEVELS),
        (bad(col_lon=[1.0, 2.0], col_elv=3.0), ValueError, COLUMNS),
        (bad(col_elv=[1.0, 2.0]), ValueError, COLUMNS),
        (bad(centres=[1.0]), ValueError, LEVELS),
        (bad(col_lat=[1.0, 2.0]), ValueError, LEVELS),
        (bad(centres=np.zeros((2, 0)), col_lon=[]), ValueError, COLUMNS),
        (bad(centres=np.zeros((2, 0))), ValueError, LEVELS),
    ]
    + [(bad(**{name: np.zeros((1, 2, 1))}), ValueError, LEVELS) for name in LEVEL]
    + [(bad(**{name: np.zeros(2)}), ValueError, LEVELS) for name in LEVEL]
    + [
        (bad(**{name: np.zeros((1, 0))}), ValueError, COLUMNS)
        for name in ("col_lat", "col_lon", "col_elv")
    ],
    ids=lambda x: x if isinstance(x, str) else None,
)
def test_refused_arguments_in_check_order(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message
