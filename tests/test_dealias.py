"""radarkit.dealias and _polar.dealias: unfolding against known truth, determinism, bad input."""

import numpy as np
import pytest

from cases import public_functions, run_examples

xr = pytest.importorskip("xarray")
from radarkit import dealias as rd  # noqa: E402
from radarkit import synthetic  # noqa: E402

pytestmark = pytest.mark.python_layer


def sweep_arrays(volume):
    """Velocity, azimuth, elevation, range and V_N of every sweep of a volume."""
    names = sorted((n for n in volume.children if n.startswith("sweep_")), key=lambda n: int(n[6:]))
    sweeps = [volume[n] for n in names]
    return (
        [s["VRADH"].values for s in sweeps],
        [s["azimuth"].values for s in sweeps],
        [s["elevation"].values for s in sweeps],
        [s["range"].values for s in sweeps],
        [float(s["nyquist_velocity"].values[0]) for s in sweeps],
    )


def run(case, **kw):
    """dealias_arrays on a case's volume."""
    return rd.dealias_arrays(*sweep_arrays(case.volume), **kw)


def scores(case, res, truth=None):
    """(correct fold share of kept gates, unresolved share of valid gates, the same share in
    the case's region or None) against the truth."""
    truth = case.truth if truth is None else truth
    good = kept = valid = r_good = r_kept = 0
    for k, (t, d) in enumerate(zip(truth, res.velocity)):
        has = np.isfinite(t)
        ok = has & np.isfinite(d)
        right = ok & (np.abs(d - t) < case.nyquist[k])
        good += right.sum()
        kept += ok.sum()
        valid += has.sum()
        if case.region is not None:
            r_good += (right & case.region[k]).sum()
            r_kept += (ok & case.region[k]).sum()
    region = r_good / r_kept if r_kept else None
    return (good / kept if kept else float("nan")), 1.0 - kept / valid, region


# ---------------------------------------------------------------------------------------------
# Accuracy on synthetic truth


SMOOTH = [
    ("veering", {"nyquist": 8.0}),
    ("veering", {"nyquist": 12.0}),
    ("veering", {"nyquist": 20.0}),
    ("nexrad_cuts", {}),
    ("jet", {}),
]


@pytest.mark.parametrize("noise", [1.0, 2.0])
@pytest.mark.parametrize(("case", "options"), SMOOTH, ids=lambda x: str(x))
def test_smooth_cases_are_unfolded_to_the_true_fold(case, options, noise):
    """At least 99.5% of the kept gates of a smooth wind are on their true fold, at most 2% of
    the valid gates unresolved."""
    c = synthetic.aliased_volume(case, noise=noise, seed=3, **options)
    correct, unresolved, _ = scores(c, run(c))
    assert correct >= 0.995
    assert unresolved <= 0.02


@pytest.mark.parametrize("noise", [1.0, 2.0])
@pytest.mark.parametrize("seed", [0, 1])
def test_vortex_is_unfolded_inside_its_core(noise, seed):
    """A 35 m/s Rankine vortex at V_N = 12: at least 98% of the gates within its 3 km radius
    and 99.5% of all gates on their true fold."""
    c = synthetic.aliased_volume("vortex", noise=noise, seed=seed)
    correct, unresolved, core = scores(c, run(c))
    assert core >= 0.98
    assert correct >= 0.995
    assert unresolved <= 0.02


@pytest.mark.parametrize("noise", [1.0, 1.5])
@pytest.mark.parametrize("seed", [0, 1])
def test_wind_shift_line_is_unfolded(noise, seed):
    """A 90-degree wind-shift line changing the wind by about 2 V_N: at least 97% of the kept
    gates on their true fold."""
    c = synthetic.aliased_volume("shift_line", noise=noise, seed=seed)
    correct, unresolved, _ = scores(c, run(c))
    assert correct >= 0.97
    assert unresolved <= 0.02


@pytest.mark.parametrize("case", ["vortex", "shift_line", "veering"])
def test_finer_sweeps_are_unfolded_at_least_as_well(case):
    """Twice the rays (and half the gate spacing) give the same or a better share of true
    folds than the coarser volume of the same wind."""
    coarse = synthetic.aliased_volume(case, rays=180, gates=200, gate_spacing=500.0)
    fine = synthetic.aliased_volume(case, rays=360, gates=400, gate_spacing=250.0)
    c_coarse, u_coarse, _ = scores(coarse, run(coarse))
    c_fine, u_fine, _ = scores(fine, run(fine))
    assert c_fine >= c_coarse - 1e-3
    assert u_fine <= max(u_coarse, 0.002)


@pytest.mark.parametrize("case", ["veering", "vortex", "shift_line"])
def test_unfolded_data_are_left_as_they_are(case):
    """A volume whose velocities never exceed V_N keeps at least 99.9% of its gates exactly
    as measured, and changes none by a fold."""
    c = synthetic.aliased_volume(case, nyquist=60.0, max_wind=25.0, noise=1.5)
    assert max(np.nanmax(np.abs(t)) for t in c.truth) < 60.0
    res = run(c)
    same = sum(int((d == t).sum()) for d, t in zip(res.velocity, c.truth))
    valid = sum(int(np.isfinite(t).sum()) for t in c.truth)
    assert same >= 0.999 * valid
    assert all(int((f[f != rd.FOLD_FILL] != 0).sum()) == 0 for f in res.folds)


def test_reference_profile_found_from_the_data_is_the_true_wind():
    """Without a given reference, the returned profile is the true wind within 1 m/s at the
    heights the sweeps sample densely."""
    c = synthetic.aliased_volume("veering", nyquist=10.0, noise=1.5, patchy=0.0, sectors=())
    res = run(c)
    prof = res.reference
    good = prof["count"] > 2000
    assert good.sum() >= 10
    u, v = synthetic.veering_wind(prof["height"][good], top=30.0)
    assert np.max(np.abs(prof["u"][good] - u)) < 1.0
    assert np.max(np.abs(prof["v"][good] - v)) < 1.0


def test_given_reference_resolves_a_sector_the_data_alone_cannot():
    """Echo in one 20-degree sector gives no gradient VAD fit (its gates unresolved); the true
    wind as `reference` puts them on their true fold."""
    sectors = ((20.0, 360.0),)  # echo only between 0 and 20 degrees
    c = synthetic.aliased_volume("veering", nyquist=10.0, sectors=sectors, patchy=0.0)
    alone = run(c)
    _, unresolved_alone, _ = scores(c, alone)
    z = np.arange(0.0, 12001.0, 250.0)
    u, v = synthetic.veering_wind(z, top=30.0)
    given = run(c, reference=(z + 350.0, u, v), radar_height=350.0)
    correct, unresolved, _ = scores(c, given)
    assert unresolved_alone > 0.5
    assert correct >= 0.995 and unresolved <= 0.02
    assert np.all(given.reference["count"] == 0)


@pytest.mark.parametrize("form", ["tuple", "mapping"])
def test_reference_heights_are_above_sea_level(form):
    """The same wind given at heights above sea level with the radar at 2 km altitude, or at
    heights above the radar with the radar at 0 m, gives the same folds."""
    c = synthetic.aliased_volume("veering", nyquist=10.0, sectors=((60.0, 360.0),), patchy=0.0)
    z = np.arange(0.0, 12001.0, 250.0)
    u, v = synthetic.veering_wind(z, top=30.0)

    def ref(h):
        return (h, u, v) if form == "tuple" else {"height": h, "u": u, "v": v}

    high = run(c, reference=ref(z + 2000.0), radar_height=2000.0)
    low = run(c, reference=ref(z), radar_height=0.0)
    for a, b in zip(high.folds, low.folds):
        np.testing.assert_array_equal(a, b)
    np.testing.assert_allclose(high.reference["height"] - 2000.0, low.reference["height"])


# ---------------------------------------------------------------------------------------------
# Py-ART's real sample


@pytest.fixture(scope="module")
def sample():
    """Py-ART's NEXRAD sample as recorded and folded again at 10 and 7 m/s."""
    pytest.importorskip("pyart", reason="the real NEXRAD sample needs Py-ART (arm-pyart)")
    return {vn: synthetic.nexrad_sample(vn) for vn in (None, 10.0, 7.0)}


def test_sample_velocities_are_real_measurements(sample):
    """The sample's velocities are measured values (many distinct 0.5 m/s steps at V_N
    28.34 m/s), not a dummy fill."""
    rec = sample[None]
    values = np.concatenate([t[np.isfinite(t)] for t in rec.truth])
    assert values.size > 25000
    assert np.unique(values).size > 100
    np.testing.assert_allclose(np.unique(np.round(values * 2.0) / 2.0), np.unique(values))
    np.testing.assert_allclose(rec.nyquist, 28.34, atol=0.01)


def test_sample_as_recorded_is_left_unchanged(sample):
    """Dealiasing the sample as recorded changes at most 0.1% of the kept gates whose recording
    is coherent, and at most 1% of all kept gates (the rest being speckle and gates the
    recording itself has folded)."""
    rec = sample[None]
    res = run(rec)
    mask = coherent(rec.truth)
    kept = same = kept_coherent = same_coherent = 0
    for d, t, m in zip(res.velocity, rec.truth, mask):
        ok = np.isfinite(d)
        kept += int(ok.sum())
        same += int((ok & (d == t)).sum())
        kept_coherent += int((ok & m).sum())
        same_coherent += int((ok & m & (d == t)).sum())
    assert same_coherent >= 0.999 * kept_coherent
    assert same >= 0.99 * kept


def refolded_scores(folded, recorded, select=None):
    """Share of true folds among the kept coherent gates, and of unresolved among them, for the
    sample folded again and cleared of its incoherent gates first; `select` (per sweep) keeps
    only some of the coherent gates in the scores."""
    mask = coherent(recorded.truth)
    nodes = {n.path: n.to_dataset(inherit=False) for n in folded.volume.subtree}
    for k, m in enumerate(mask):
        nodes[f"/sweep_{k}"]["VRADH"] = nodes[f"/sweep_{k}"]["VRADH"].where(m)
    res = run(folded._replace(volume=xr.DataTree.from_dict(nodes)))
    if select is not None:
        mask = [m & s for m, s in zip(mask, select)]
    good = kept = total = 0
    for k, (t, d, m) in enumerate(zip(folded.truth, res.velocity, mask)):
        ok = m & np.isfinite(d)
        good += int((ok & (np.abs(d - t) < folded.nyquist[k])).sum())
        kept += int(ok.sum())
        total += int(m.sum())
    return good / kept, 1.0 - kept / total


@pytest.mark.parametrize("vn", [10.0, 7.0])
def test_sample_folded_again_returns_to_the_recording(vn, sample):
    """The sample folded again at a lower V_N comes back to its recorded values on at least
    95% of the kept coherent gates, with at most 8% of them unresolved (the distant echo
    at 215 km has no reference at its height)."""
    correct, unresolved = refolded_scores(sample[vn], sample[None])
    assert correct >= 0.95
    assert unresolved <= 0.08


@pytest.mark.parametrize("vn", [10.0, 7.0])
def test_sample_connected_echo_returns_to_the_recording(vn, sample):
    """Where the sample's coherent echo is connected over at least 100 gates, the continuity
    has something to work with: folded again at 10 or 7 m/s it comes back to its recorded
    values on at least 99.8% of the kept gates (all of them at 10 m/s, 99.94% at 7 m/s)."""
    pieces = [echo_pieces(m) for m in coherent(sample[None].truth)]
    correct, _ = refolded_scores(sample[vn], sample[None], [p >= 100 for p in pieces])
    assert correct >= 0.998


@pytest.mark.xfail(
    strict=True,
    reason="the gates off their recorded fold (471 at 10 m/s, 655 at 7 m/s) lie, all but 3, "
    "in patches of fewer than 100 gates with no link to the rest of the echo, 98% and 93% of "
    "them on the fold nearest the reference wind while their recording lies a median 17 and "
    "15 m/s from that wind (more than V_N for 98% and 96%): weak echo a fold off the wind, "
    "which neither reference nor continuity can tell from light wind (the recording's own "
    "VAD as reference: 96.8% and 96.1%; adjacent sweeps break more such patches than they "
    "fix). The sample reaches 96.4% at 10 m/s and 95.1% at 7 m/s",
)
@pytest.mark.parametrize("vn", [10.0, 7.0])
def test_sample_folded_again_reaches_the_target(vn, sample):
    """The target: 99.5% of the sample folded again back to its recording."""
    correct, _ = refolded_scores(sample[vn], sample[None])
    assert correct >= 0.995


def echo_pieces(mask):
    """For every gate of a sweep's mask, the size of the piece of the mask it belongs to
    (gates touching along the ray, across rays or diagonally, the rays closed across north);
    0 outside the mask."""
    n, g = mask.shape
    size = np.zeros(mask.shape, dtype=np.int64)
    seen = ~mask
    for i0, j0 in zip(*np.nonzero(mask)):
        if seen[i0, j0]:
            continue
        seen[i0, j0] = True
        stack, piece = [(i0, j0)], []
        while stack:
            i, j = stack.pop()
            piece.append((i, j))
            for a in ((i - 1) % n, i, (i + 1) % n):
                for b in (j - 1, j, j + 1):
                    if 0 <= b < g and not seen[a, b]:
                        seen[a, b] = True
                        stack.append((a, b))
        rows, cols = np.array(piece).T
        size[rows, cols] = len(piece)
    return size


def coherent(truth, nyquist=28.34):
    """Gates whose recorded velocity agrees with its neighbours (rms of the wrapped
    differences to the 3 x 3 neighbours at most 4 m/s, at least 3 neighbours) and has no
    neighbour a fold away: the gates whose recording is a trustworthy truth."""
    out = []
    for t in truth:
        v = t.astype(np.float64)
        n, g = v.shape
        pad = np.full((n + 2, g + 2), np.nan)
        pad[1:-1, 1:-1] = v
        pad[0, 1:-1], pad[-1, 1:-1] = v[-1], v[0]
        nb = np.stack(
            [pad[1 + i : 1 + i + n, 1 + j : 1 + j + g] for i in (-1, 0, 1) for j in (-1, 0, 1)]
        )
        raw = nb - v
        wrapped = (raw + nyquist) % (2.0 * nyquist) - nyquist
        count = np.isfinite(wrapped).sum(0) - 1
        with np.errstate(invalid="ignore"):
            rms = np.sqrt(np.nansum(wrapped**2, axis=0) / np.maximum(count, 1))
            folded = (np.abs(raw) > nyquist).any(0)
        out.append(np.isfinite(v) & (count >= 3) & (rms <= 4.0) & ~folded)
    return out


# ---------------------------------------------------------------------------------------------
# Determinism


@pytest.mark.threads
@pytest.mark.parametrize("case", ["shift_line", "vortex", "nexrad_cuts"])
def test_result_is_bit_identical_for_every_thread_count(case):
    """Folds, dealiased velocities and the reference profile are the same bits for 1, 2, 3 and
    8 threads."""
    c = synthetic.aliased_volume(case, rays=240, gates=300, noise=2.0)
    args = sweep_arrays(c.volume)
    runs = [rd.dealias_arrays(*args, n_threads=n) for n in (1, 2, 3, 8)]
    for other in runs[1:]:
        for a, b in zip(runs[0].folds, other.folds):
            np.testing.assert_array_equal(a, b)
        for a, b in zip(runs[0].velocity, other.velocity):
            np.testing.assert_array_equal(a, b)
        for key in runs[0].reference:
            np.testing.assert_array_equal(runs[0].reference[key], other.reference[key])


@pytest.mark.parametrize("seed", [0, 5])
def test_ray_order_does_not_matter(seed):
    """Rays handed over in a random order get the same folds as in azimuth order."""
    c = synthetic.aliased_volume("vortex", rays=240, gates=300, noise=2.0)
    vel, az, el, rg, ny = sweep_arrays(c.volume)
    rng = np.random.default_rng(seed)
    perm = [rng.permutation(a.size) for a in az]
    base = rd.dealias_arrays(vel, az, el, rg, ny)
    mixed = rd.dealias_arrays(
        [v[p] for v, p in zip(vel, perm)],
        [a[p] for a, p in zip(az, perm)],
        [e[p] for e, p in zip(el, perm)],
        rg,
        ny,
    )
    for f, g, p in zip(base.folds, mixed.folds, perm):
        np.testing.assert_array_equal(f[p], g)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_dealiased_value_is_measured_plus_folds(dtype):
    """The dealiased velocity is the measured one plus 2 V_N folds, in the measured type, NaN
    exactly where the folds are the fill value, and counts add up."""
    c = synthetic.aliased_volume("veering", rays=180, gates=200, noise=2.0, dtype=dtype)
    vel, az, el, rg, ny = sweep_arrays(c.volume)
    res = rd.dealias_arrays(vel, az, el, rg, ny)
    for k, (v, d, f) in enumerate(zip(vel, res.velocity, res.folds)):
        assert d.dtype == dtype and f.dtype == np.int8
        ok = f != rd.FOLD_FILL
        np.testing.assert_array_equal(np.isnan(d), ~ok)
        expect = (v[ok].astype(np.float64) + 2.0 * ny[k] * f[ok]).astype(dtype)
        np.testing.assert_array_equal(d[ok], expect)
        assert res.valid[k] == np.isfinite(v).sum()
        assert res.unresolved[k] == (np.isfinite(v) & ~ok).sum()


# ---------------------------------------------------------------------------------------------
# Volumes


def test_dealias_adds_the_moments_to_a_new_volume():
    """dealias returns a new volume whose sweeps hold VRADDH (CF attributes, unresolved count)
    and int8 VRADDH_FOLDS matching dealias_arrays; the input volume is unchanged."""
    c = synthetic.aliased_volume("vortex", rays=180, gates=200, gate_spacing=500.0)
    before = {n: c.volume[n].to_dataset().copy(deep=True) for n in c.volume.children}
    out = rd.dealias(c.volume)
    ref = run(c)
    for k, name in enumerate(sorted(c.volume.children, key=lambda n: int(n[6:]))):
        ds = out[name]
        assert ds["VRADDH"].attrs["units"] == "m s-1"
        assert ds["VRADDH"].attrs["standard_name"].startswith("radial_velocity")
        assert ds["VRADDH"].attrs["unresolved_gates"] == ref.unresolved[k]
        assert ds["VRADDH_FOLDS"].dtype == np.int8
        np.testing.assert_array_equal(ds["VRADDH_FOLDS"].values, ref.folds[k])
        np.testing.assert_array_equal(ds["VRADDH"].values, ref.velocity[k])
        assert "VRADDH" not in c.volume[name].data_vars
        xr.testing.assert_identical(c.volume[name].to_dataset(), before[name])
    assert float(out["latitude"].values) == float(c.volume["latitude"].values)


def test_dealias_takes_one_sweep_and_a_nyquist_override():
    """A sweep Dataset comes back as a Dataset with the moments; `nyquist` replaces a missing
    nyquist_velocity."""
    c = synthetic.aliased_volume("veering", rays=180, gates=200, gate_spacing=500.0)
    ds = c.volume["sweep_1"].to_dataset().drop_vars("nyquist_velocity")
    with pytest.raises(ValueError, match="sweep_0 has no Nyquist velocity"):
        rd.dealias(ds)
    out = rd.dealias(ds, nyquist=float(c.nyquist[1]))
    assert isinstance(out, xr.Dataset)
    ok = np.isfinite(out["VRADDH"].values)
    assert ok.sum() > 0.98 * np.isfinite(c.truth[1]).sum()
    np.testing.assert_array_less(np.abs(out["VRADDH"].values[ok] - c.truth[1][ok]), c.nyquist[1])


@pytest.mark.parametrize("max_range", [60_000.0, 250.0, 1e9])
def test_max_range_dealiases_the_gates_out_to_it_alone(max_range):
    """With max_range the gates beyond it come back NaN (folds -128) whatever they hold, and
    the gates within it as dealiasing the volume cut there gives them."""
    c = synthetic.aliased_volume("veering", rays=180, gates=200, gate_spacing=500.0)
    garbage = c.volume.copy()
    for name in garbage.children:
        ds = garbage[name].to_dataset()
        far = ds["range"] > max_range
        garbage[name] = ds.assign(VRADH=ds["VRADH"].where(~far, -ds["VRADH"]))
    cut = c.volume.copy()
    for name in cut.children:
        ds = cut[name].to_dataset()
        cut[name] = ds.isel(range=np.flatnonzero(ds["range"].values <= max_range))
    out = rd.dealias(garbage, max_range=max_range)
    alone = rd.dealias(cut)
    for name in c.volume.children:
        ds, ref = out[name], alone[name]
        n = ref.sizes["range"]
        np.testing.assert_array_equal(ds["VRADDH"].values[:, :n], ref["VRADDH"].values)
        np.testing.assert_array_equal(ds["VRADDH_FOLDS"].values[:, :n], ref["VRADDH_FOLDS"].values)
        assert np.isnan(ds["VRADDH"].values[:, n:]).all()
        assert (ds["VRADDH_FOLDS"].values[:, n:] == -128).all()
        assert ds["VRADDH"].shape == c.volume[name]["VRADH"].shape


@pytest.mark.parametrize("max_range", [0.0, -1.0, float("nan"), float("inf")])
def test_max_range_must_be_positive(max_range):
    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    with pytest.raises(ValueError, match="max_range must be a positive number"):
        rd.dealias(c.volume, max_range=max_range)


def test_sweeps_without_the_moment_are_left_as_they_are():
    """A sweep without the velocity moment passes through without new moments."""
    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    nodes = {n.path: n.to_dataset(inherit=False) for n in c.volume.subtree}
    nodes["/sweep_2"] = nodes["/sweep_2"].drop_vars("VRADH")
    vol = xr.DataTree.from_dict(nodes)
    out = rd.dealias(vol)
    assert "VRADDH" not in out["sweep_2"].data_vars
    assert "VRADDH" in out["sweep_1"].data_vars
    with pytest.raises(ValueError, match="no moment 'VRX'"):
        rd.dealias(vol, velocity="VRX")


# ---------------------------------------------------------------------------------------------
# Bad input


def small():
    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    return list(sweep_arrays(c.volume))


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda a: a[4].__setitem__(1, float("nan")), "sweep 1 has no Nyquist velocity"),
        (lambda a: a[4].__setitem__(2, 0.0), "sweep 2: the Nyquist velocity must be positive"),
        (lambda a: a[4].__setitem__(0, -5.0), "sweep 0: the Nyquist velocity must be positive"),
        (lambda a: a[4].__setitem__(3, 4.0), r"sweep 3: velocities reach .* beyond .* 4 m/s"),
        (
            lambda a: a[0].__setitem__(1, a[0][1] * 3.0),
            r"sweep 1: velocities reach .* already dealiased",
        ),
        (
            lambda a: a[4].__setitem__(2, np.r_[np.full(45, 12.0), np.full(45, 13.0)]),
            r"sweep 2: the Nyquist velocity varies between rays \(12 to 13 m/s\)",
        ),
        (lambda a: a[1].__setitem__(0, a[1][0][:-1]), "sweep 0: azimuth and elevation"),
        (lambda a: a[3].__setitem__(4, a[3][4][:-1]), "sweep 4: range must have one value"),
        (lambda a: a[4].pop(), "nyquist must be one value or one per sweep"),
        (lambda a: a[1][2].__setitem__(5, np.nan), "sweep 2: azimuths must be finite"),
        (
            lambda a: a[3].__setitem__(1, a[3][1] * 1e4),  # km given as 10 cm
            r"sweep 1: gates reach 9\.9e\+08 m above the radar \(range up to 9\.95e\+08 m\)",
        ),
    ],
    ids=[
        "nan-nyquist",
        "zero-nyquist",
        "negative-nyquist",
        "small-nyquist",
        "dealiased-data",
        "varying-nyquist",
        "azimuth-length",
        "range-length",
        "nyquist-count",
        "nan-azimuth",
        "range-too-far",
    ],
)
def test_bad_input_names_the_sweep_and_the_values(change, message):
    """Bad Nyquist velocities, data beyond +-V_N and mismatched shapes raise ValueError naming
    the sweep and the values."""
    args = small()
    args = [list(a) for a in args]
    args[1] = [a.copy() for a in args[1]]
    change(args)
    with pytest.raises(ValueError, match=message):
        rd.dealias_arrays(*args)


@pytest.mark.parametrize(
    ("reference", "message"),
    [
        (([0.0, 1000.0], [1.0], [1.0, 2.0]), "three arrays of one length"),
        (([1000.0, 0.0], [1.0, 1.0], [1.0, 2.0]), "heights must increase"),
        (([np.nan], [1.0], [1.0]), "no level with finite"),
        ("wind", "three arrays"),
    ],
)
def test_bad_reference_is_refused(reference, message):
    """A reference that is not (heights, u, v) with increasing heights raises ValueError."""
    with pytest.raises(ValueError, match=message):
        rd.dealias_arrays(*small(), reference=reference)


@pytest.mark.parametrize("empty", [0, 2])
def test_a_sweep_without_rays_leaves_the_others_as_they_are(empty):
    """A sweep of no rays (a cut with nothing recorded) comes back empty with nothing valid,
    and the other sweeps are dealiased as they are without it."""
    args = small()
    others = [[x for k, x in enumerate(a) if k != empty] for a in args]
    alone = rd.dealias_arrays(*others)
    vel, az, el, rg, ny = args
    gates = rg[empty].size
    vel[empty], az[empty], el[empty] = np.empty((0, gates)), np.empty(0), np.empty(0)
    got = rd.dealias_arrays(vel, az, el, rg, ny)
    assert got.velocity[empty].shape == got.folds[empty].shape == (0, gates)
    assert got.valid[empty] == got.unresolved[empty] == 0
    rest = [k for k in range(len(vel)) if k != empty]
    for k, j in zip(rest, range(len(rest))):
        np.testing.assert_array_equal(got.folds[k], alone.folds[j])
        np.testing.assert_array_equal(got.velocity[k], alone.velocity[j])
    # a volume with such a sweep, its Nyquist velocity as empty as its rays
    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    nodes = {n.path: n.to_dataset(inherit=False) for n in c.volume.subtree}
    nodes[f"/sweep_{empty}"] = nodes[f"/sweep_{empty}"].isel(azimuth=slice(0, 0))
    out = rd.dealias(xr.DataTree.from_dict(nodes))
    assert out[f"sweep_{empty}"][rd.DEALIASED].shape == (0, gates)


def test_volume_errors_name_the_sweep_before_anything_is_added():
    """In a volume, the sweep with the bad Nyquist velocity is named by its group name."""
    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    nodes = {n.path: n.to_dataset(inherit=False) for n in c.volume.subtree}
    nodes["/sweep_3"]["nyquist_velocity"] = nodes["/sweep_3"]["nyquist_velocity"] * 0.0
    with pytest.raises(ValueError, match="sweep_3: the Nyquist velocity must be positive"):
        rd.dealias(xr.DataTree.from_dict(nodes))


@pytest.mark.parametrize(("name", "obj"), public_functions(rd))
def test_examples_run(name, obj):
    """Every documented example of the module runs and prints what it says."""
    examples, failed = run_examples(obj, name, vars(rd))
    assert examples and not failed


# ---------------------------------------------------------------------------------------------
# Dealiasing where velocities are used: VAD, DART files, the command line


def with_truth(case):
    """The case's volume with its true velocities in place of the folded ones."""
    nodes = {n.path: n.to_dataset(inherit=False) for n in case.volume.subtree}
    for k, t in enumerate(case.truth):
        nodes[f"/sweep_{k}"]["VRADH"] = (("azimuth", "range"), t)
    return xr.DataTree.from_dict(nodes)


@pytest.mark.parametrize(
    ("case", "options"),
    [
        ("veering", {}),
        ("veering", {"nyquist": 8.0}),
        ("nexrad_cuts", {}),
        ("vortex", {}),
        ("jet", {}),
    ],
    ids=lambda x: str(x),
)
def test_vad_profile_of_dealiased_velocities_is_the_true_profile(case, options):
    """vad_profile(dealias=True) of an aliased volume is within 0.3 m/s of the profile of the
    true velocities in every bin, where the folded velocities' profile is metres per second
    off."""
    from radarkit import winds

    c = synthetic.aliased_volume(case, **options)
    heights = np.arange(250.0, 8001.0, 250.0)
    true = winds.vad_profile(with_truth(c), heights=heights)
    got = winds.vad_profile(c.volume, heights=heights, dealias=True)
    folded = winds.vad_profile(c.volume, heights=heights)
    both = (true["count"].values > 0) & (got["count"].values > 0)
    assert both.sum() >= 20
    for k in ("u", "v"):
        assert np.max(np.abs(got[k].values - true[k].values)[both]) <= 0.3
    assert np.nanmax(np.abs(folded["u"].values - true["u"].values)[both]) > 3.0


def test_vad_rings_use_the_dealiased_moment():
    """vad(dealias=True) equals vad of the volume dealias returns, read as VRADDH."""
    from radarkit import winds

    c = synthetic.aliased_volume("vortex", rays=180, gates=200, gate_spacing=500.0)
    got = winds.vad(c.volume, dealias=True)
    want = winds.vad(rd.dealias(c.volume), velocity="VRADDH")
    xr.testing.assert_identical(got, want)


def test_dealias_again_starts_from_the_measured_velocity():
    """A volume dealiased once is dealiased from VRADH again (auto does not pick VRADDH), and
    gives the same moments."""
    c = synthetic.aliased_volume("veering", rays=180, gates=200, gate_spacing=500.0)
    once = rd.dealias(c.volume)
    twice = rd.dealias(once)
    for name in once.children:
        np.testing.assert_array_equal(twice[name]["VRADDH"].values, once[name]["VRADDH"].values)


def dart_velocities(path):
    od = pytest.importorskip("pydartdiags.obs_sequence.obs_sequence")
    df = od.ObsSequence(str(path)).df
    return np.sort(df[df["type"] == "DOPPLER_RADIAL_VELOCITY"]["observation"].to_numpy())


def test_to_obs_seq_writes_only_dealiased_gates(tmp_path):
    """to_obs_seq(dealias=True) writes one record per dealiased gate with its dealiased value
    and leaves the unresolved gates out."""
    pytest.importorskip("radarkit.dart")
    from radarkit import radar_obs

    c = synthetic.aliased_volume(
        "veering", nyquist=8.0, rays=90, gates=120, gate_spacing=800.0, noise=2.0
    )
    path = tmp_path / "obs_seq.out"
    radar_obs.to_obs_seq(
        c.volume, path, velocity_error=2.0, reflectivity_error=5.0, reflectivity=None, dealias=True
    )
    d = rd.dealias(c.volume)
    want = np.concatenate([d[n]["VRADDH"].values.ravel() for n in sorted(d.children)])
    assert np.isnan(want).any()  # some gates unresolved: they must be missing from the file
    got = dart_velocities(path)
    np.testing.assert_allclose(got, np.sort(want[np.isfinite(want)]), rtol=0, atol=5e-6)
    assert np.abs(got).max() > 8.0 * 1.5  # dealiased values beyond V_N are written


def test_to_obs_seq_dealias_refusal_leaves_no_file(tmp_path):
    """A sweep without a Nyquist velocity stops to_obs_seq(dealias=True) before the file
    exists, naming the sweep."""
    pytest.importorskip("radarkit.dart")
    from radarkit import radar_obs

    c = synthetic.aliased_volume("veering", rays=90, gates=100, gate_spacing=1000.0)
    nodes = {n.path: n.to_dataset(inherit=False) for n in c.volume.subtree}
    nodes["/sweep_2"] = nodes["/sweep_2"].drop_vars("nyquist_velocity")
    path = tmp_path / "obs_seq.out"
    with pytest.raises(ValueError, match="sweep_2 has no Nyquist velocity"):
        radar_obs.to_obs_seq(
            xr.DataTree.from_dict(nodes),
            path,
            velocity_error=2.0,
            reflectivity_error=5.0,
            dealias=True,
        )
    assert not path.exists()


@pytest.fixture(scope="module")
def aliased_file(tmp_path_factory):
    """An aliased volume written as CfRadial1, and the volume."""
    pytest.importorskip("xradar")
    d = tmp_path_factory.mktemp("dealias_cli")
    c = synthetic.aliased_volume("vortex", rays=180, gates=200, gate_spacing=500.0)
    path = synthetic.write_volume(c.volume, d / "aliased.nc", format="cfradial1")
    return str(path), c


@pytest.mark.parametrize(("suffix", "fmt"), [(".nc", None), (".h5", None), (".nc", "odim")])
def test_dealias_command_writes_the_dealiased_volume(aliased_file, tmp_path, capsys, suffix, fmt):
    """radarkit dealias IN -o OUT writes CfRadial1 or ODIM_H5 (by suffix or --format) holding
    VRADDH as dealias computes it, and prints a line per sweep."""
    from radarkit import cli, volume

    path, _ = aliased_file
    out = tmp_path / f"out{suffix}"
    argv = ["dealias", path, "-o", str(out)] + ([] if fmt is None else ["--format", fmt])
    assert cli.main(argv) == 0
    text = capsys.readouterr().out
    assert len([line for line in text.splitlines() if line.startswith("sweep_")]) == 6
    back = volume.open_volume(out)
    want = rd.dealias(volume.open_volume(path))
    for name in want.children:
        np.testing.assert_array_equal(back[name]["VRADDH"].values, want[name]["VRADDH"].values)
    odim = (fmt or suffix) in ("odim", ".h5")
    assert volume.describe(back).reader == ("xradar (odim)" if odim else "xradar (cfradial1)")
    # the written file keeps each sweep's Nyquist velocity: it can be dealiased again as it is
    for (name, got), (_, ds) in zip(volume.list_sweeps(back), volume.list_sweeps(want)):
        np.testing.assert_allclose(
            volume.nyquist_velocity(got, got.sizes["azimuth"]),
            volume.nyquist_velocity(ds, ds.sizes["azimuth"]),
            err_msg=name,
        )


def test_dealias_command_bad_input_writes_nothing(aliased_file, tmp_path, capsys):
    """A wrong --nyquist (data beyond it) exits 2 with the file and the sweep named, and
    writes nothing."""
    from radarkit import cli

    path, _ = aliased_file
    out = tmp_path / "out.nc"
    assert cli.main(["dealias", path, "-o", str(out), "--nyquist", "4"]) == 2
    err = capsys.readouterr().err
    assert path in err and "sweep_0" in err and "beyond its Nyquist velocity" in err
    assert not out.exists()


def test_vad_and_obs_seq_commands_take_dealias(aliased_file, tmp_path, capsys):
    """radarkit vad --dealias prints the dealiased profile (the library's), and radarkit
    obs-seq --dealias writes the dealiased velocities."""
    from radarkit import cli, volume, winds

    path, _ = aliased_file
    assert cli.main(["vad", path, "--dealias", "--heights", "500:3000:500", "-q"]) == 0
    rows = [line.split() for line in capsys.readouterr().out.splitlines()[2:]]
    prof = winds.vad_profile(
        volume.open_volume(path), heights=np.arange(500.0, 3001.0, 500.0), dealias=True
    )
    np.testing.assert_allclose([float(r[1]) for r in rows], prof["u"].values, atol=0.006)
    pytest.importorskip("radarkit.dart")
    out = tmp_path / "obs_seq.out"
    assert (
        cli.main(["obs-seq", path, "-o", str(out), "--dealias", "--reflectivity", "none", "-q"])
        == 0
    )
    d = rd.dealias(volume.open_volume(path))
    want = np.concatenate([d[n]["VRADDH"].values.ravel() for n in sorted(d.children)])
    np.testing.assert_allclose(
        dart_velocities(out), np.sort(want[np.isfinite(want)]), rtol=0, atol=5e-6
    )
