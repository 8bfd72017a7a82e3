import itertools

import numpy as np
import pytest

import reference_writer as ref
from _marlode import format_dart
from cases import DART_ARRAYS

I64 = np.iinfo(np.int64)
NAMES = list(DART_ARRAYS)

# The two records of the format's worked example, · for a space.
EXAMPLE = """\
·OBS············1
··-1.2500000000000000E+01
···········0
··········-1···········2··········-1
obdef
loc3d
····4.5000000000000000E+00····6.2500000000000000E-01····1.5000000000000000E+03··3
kind
···········1
platform
loc3d
····4.4921875000000000E+00····6.1718750000000000E-01····3.7500000000000000E+02··3
dir3d
····5.0000000000000000E-01···-7.5000000000000000E-01····4.3750000000000000E-01
····2.8500000000000000E+01
···········7
·43200·····150000
···4.0000000000000000E+00
·OBS············2
···3.5250000000000000E+01
···········0
···········1··········-1··········-1
obdef
loc3d
····4.5000000000000000E+00····6.2500000000000000E-01····2.2500000000000000E+03··3
kind
···········2
·43200·····150000
···6.2500000000000000E+00
"""


def example():
    return dict(
        kind=[0, 1],
        value=[-12.5, 35.25],
        variance=[4.0, 6.25],
        lon=[4.5, 4.5],
        lat=[0.625, 0.625],
        height=[1500.0, 2250.0],
        days=[150000, 150000],
        secs=[43200, 43200],
        radar_lon=[4.4921875, 9.0],
        radar_lat=[0.6171875, 9.0],
        radar_height=[375.0, 9.0],
        beam=[[0.5, -0.75, 0.4375], [9.0, 9.0, 9.0]],
        nyquist=[28.5, 9.0],
        velkey=[7, 8],
        vertical=3,
    )


def records(text):
    """Record texts, each starting at its " OBS " line."""
    return [b" OBS " + r for r in text.split(b" OBS ")[1:]]


def test_worked_example():
    out = format_dart(**example())
    assert out == EXAMPLE.replace("·", " ").encode() and len(out) == 722
    assert [len(r) for r in records(out)] == [472, 250]


def awkward(n, seed):
    """Plausible records with special values spread through every column."""
    rng = np.random.default_rng(seed)
    args = ref.random_dart(n, seed)
    specials = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 5e-324, -1.7976931348623157e308, 1e100]
    for name in NAMES:
        a = args[name]
        pick = rng.random(a.shape) < 0.03
        if a.dtype == np.float64:
            a[pick] = rng.choice(specials, pick.sum())
        elif name != "kind":
            a[pick] = rng.choice([I64.min, I64.max, -1, 10**12], pick.sum())  # wider than fields
    pick = rng.random(n) < 0.05
    args["kind"][pick] = rng.choice([-1, I64.min, I64.max, 2**40], pick.sum())
    args["vertical"] = [3, -2, 100, -(2**31)][seed % 4]  # -2 fills its field, the others overflow
    return args


@pytest.mark.parametrize("n,seed", [(1, 0), (7, 1), (300, 2), (2049, 3)])
def test_matches_reference_on_awkward_values(n, seed):
    args = awkward(n, seed)
    assert format_dart(**args) == ref.dart(**args)


@pytest.mark.parametrize(
    "kind,written,platform",
    [
        (0, b"           1", True),
        (1, b"           2", False),
        (-1, b"           0", False),
        (I64.max, b"9223372036854775808", False),
        (I64.min, b"-9223372036854775807", False),
    ],
)
def test_kind_counted_from_one_and_platform_only_on_zero(kind, written, platform):
    args = example()
    args["kind"] = [kind, 1]
    first = records(format_dart(**args))[0].split(b"\n")
    assert first[8] == written
    assert (b"platform" in first) == platform and len(first) == (19 if platform else 12)


@pytest.mark.parametrize("n", [1, 2, 2049])
def test_numbering_and_links(n):
    args = ref.random_dart(n, 5)
    lines = [r.split(b"\n") for r in records(format_dart(**args))]
    assert len(lines) == n
    for i, rec in enumerate(lines):
        assert rec[0] == b" OBS %12d" % (i + 1)
        prev, nxt, cov = (int(rec[3][j : j + 12]) for j in (0, 12, 24))
        assert (prev, nxt, cov) == (-1 if i == 0 else i, -1 if i == n - 1 else i + 2, -1)


def test_empty_input():
    args = {k: [] for k in NAMES}
    args["beam"] = np.empty((0, 3))
    assert format_dart(**args, vertical=3) == b""


def test_conversions_give_same_bytes():
    args = ref.random_dart(50, 6)
    args["value"][3] = np.nan
    want = format_dart(**args)
    as_float = {k: args[k].astype(np.float64) for k in ("kind", "days", "secs", "velkey")}
    assert format_dart(**{**args, **as_float}) == want
    lists = {k: v.tolist() for k, v in args.items() if k != "vertical"}
    assert format_dart(**{**lists, "vertical": 3}) == want
    wide = np.zeros((50, 2))
    wide[:, 0] = args["value"]
    fortran = np.asfortranarray(args["beam"])
    assert format_dart(**{**args, "value": wide[:, 0], "beam": fortran}) == want
    truncated = {**args, "kind": args["kind"] + 0.9, "velkey": args["velkey"] - 0.5}
    assert format_dart(**truncated) == format_dart(**{**args, "velkey": args["velkey"] - 1})


def bad(**changes):
    args = {**example(), **changes}
    return lambda: format_dart(**args)


SAME = "all record arrays must have the same length"


@pytest.mark.parametrize(
    "call,error,message",
    [
        (bad(kind=0), IndexError, "invalid axis: 0 (ndim = 0)"),
        (bad(velkey=7, value=[1.0]), IndexError, "invalid axis: 0 (ndim = 0)"),
        (bad(value=[1.0, 2.0, 3.0]), ValueError, SAME),
        (bad(kind=[0]), ValueError, SAME),
        (bad(beam=[0.5, 0.5]), ValueError, "beam must be (n, 3)"),
        (bad(beam=np.zeros((2, 4))), ValueError, "beam must be (n, 3)"),
        (bad(beam=np.zeros((2, 3, 1))), ValueError, "beam must be (n, 3)"),
        (bad(beam=np.zeros((3, 3))), ValueError, SAME),
        (bad(beam=np.zeros((3, 4)), secs=[1, 2]), ValueError, SAME),
        (bad(beam=[0.5, 0.5], value=np.zeros((2, 0))), ValueError, "beam must be (n, 3)"),
    ]
    + [(bad(**{name: np.zeros((2, 0))}), ValueError, SAME) for name in NAMES if name != "beam"],
    ids=lambda x: x if isinstance(x, str) else None,
)
def test_refused_arguments_in_check_order(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == message


def links(text):
    """(number, previous, next) of every record."""
    out = []
    for rec in records(text):
        lines = rec.split(b"\n")
        prev, nxt, _ = map(int, lines[3].split())  # fields grow past 12 for huge numbers
        out.append((int(lines[0][5:]), prev, nxt))
    return out


@pytest.mark.parametrize("cuts", [[0, 5], [1, 5], [2047, 2049], [2048, 2049], [3, 4, 2049]])
def test_chunks_numbered_with_first_and_total_join_to_one_call(cuts):
    n = 2049
    args = ref.random_dart(n, 7)
    whole = format_dart(**args)
    bounds = [0, *cuts, n]
    parts = []
    for a, b in itertools.pairwise(bounds):
        chunk = {k: (v[a:b] if k != "vertical" else v) for k, v in args.items()}
        parts.append(format_dart(**chunk, first=a + 1, total=n, n_threads=2))
    assert b"".join(parts) == whole


@pytest.mark.parametrize(
    "n,first,total,expect",
    [
        (2, 1, -1, [(1, -1, 2), (2, 1, -1)]),
        (2, 1, -7, [(1, -1, 2), (2, 1, -1)]),
        (2, 1, 2, [(1, -1, 2), (2, 1, -1)]),
        (2, 1, 5, [(1, -1, 2), (2, 1, 3)]),
        (2, 4, -1, [(4, 3, 5), (5, 4, -1)]),
        (1, 4, 9, [(4, 3, 5)]),
        (1, 9, 9, [(9, 8, -1)]),
        (1, 2**63 - 1, -1, [(2**63 - 1, 2**63 - 2, -1)]),
        (0, 1, 0, []),
        (0, 2**63 - 1, -1, []),
    ],
)
def test_first_and_total_number_and_link(n, first, total, expect):
    args = {k: (np.asarray(v)[:n] if k != "vertical" else v) for k, v in example().items()}
    assert links(format_dart(**args, first=first, total=total)) == expect


def test_first_and_total_defaults_keep_bytes_and_are_keyword_only():
    assert format_dart(**example(), first=1, total=-1) == EXAMPLE.replace("·", " ").encode()
    with pytest.raises(TypeError):
        format_dart(*example().values(), 0, 1)
    with pytest.raises(TypeError):
        format_dart(**example(), first=1.0)


@pytest.mark.parametrize(
    "call,message",
    [
        (bad(first=0), "first must be at least 1"),
        (bad(first=-(2**63)), "first must be at least 1"),
        (bad(first=2**63 - 1), "first - 1 + n must be below 2**63"),
        (bad(total=1), "total must be negative or at least first - 1 + n"),
        (bad(first=3, total=3), "total must be negative or at least first - 1 + n"),
        (bad(first=0, kind=[0]), SAME),
        (bad(first=0, beam=[0.5, 0.5]), "beam must be (n, 3)"),
        (bad(first=2**63 - 1, total=0), "first - 1 + n must be below 2**63"),
    ],
)
def test_refused_first_and_total_after_existing_checks(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message
