"""What the kernels compute, checked against physics and published values
rather than against a transcription of their own formulas: closed-form
results of idealised profiles, invariances, limits and reference tables.
Tolerances allow for rounding only, unless a comment says otherwise."""

import math

import numpy as np
import pytest

import _kestrin

NAN = math.nan


def layer_profile(u, v, z, ground, bottom, top, cu, cv):
    """One column through `profile`: rows as a tuple of floats."""
    out = _kestrin.profile(
        np.asarray(z)[None],
        np.asarray(u)[None],
        np.asarray(v)[None],
        [ground],
        bottom,
        top,
        [cu],
        [cv],
    )
    return out[:, 0]


def uneven_heights(rng, n, ground):
    """n levels above `ground` at uneven steps of whole decametres (exact in binary)."""
    return ground + np.cumsum(rng.integers(1, 40, n) * 10.0)


# Helicity of the layer in m² s⁻² with u east, v north: a hodograph turning
# clockwise (veering with height) about the storm motion gives positive values.


@pytest.mark.parametrize(
    "r,cu,cv,seed",
    [(10.0, 0.0, 0.0, 1), (17.5, 8.0, -3.0, 2), (3.0, -12.0, 25.0, 3), (40.0, 0.5, 0.25, 4)],
)
@pytest.mark.parametrize("n", [2, 7, 40])
def test_helicity_of_circular_hodograph_is_sum_of_chord_terms(r, cu, cv, seed, n):
    """Winds on a circle of radius r about the storm motion, at compass bearings
    φ_k (clockwise from north): each segment adds r²·sin(φ_k - φ_{k-1}), so
    veering segments add and backing segments subtract."""
    rng = np.random.default_rng(seed)
    below, above = 3, 2  # levels outside the layer must not count
    steps = rng.uniform(-0.6, 1.2, n + below + above - 1)  # radians, some backing
    phi = rng.uniform(0, 2 * np.pi) + np.concatenate([[0.0], np.cumsum(steps)])
    u, v = cu + r * np.sin(phi), cv + r * np.cos(phi)
    ground = 250.0
    z = uneven_heights(rng, phi.size, ground)
    lo, hi = below, below + n - 1  # layer ends on sample heights
    want = r * r * np.sum(np.sin(np.diff(phi[lo : hi + 1])))
    got = layer_profile(u, v, z, ground, z[lo] - ground, z[hi] - ground, cu, cv)[4]
    assert got == pytest.approx(want, rel=0, abs=1e-12 * r * r * n)


@pytest.mark.parametrize("swept", [np.pi / 2, np.pi, 1.75 * np.pi, -np.pi])
def test_helicity_tends_to_radius_squared_times_swept_angle(swept):
    """Fine sampling: Σ r²·sin(Φ/N) → r²·Φ, from below in magnitude, with error r²·Φ³/(6N²)."""
    r, cu, cv, n = 12.0, 6.0, 4.0, 4000
    phi = 0.3 + np.linspace(0.0, swept, n + 1)
    z = np.arange(n + 1) * 5.0
    got = layer_profile(cu + r * np.sin(phi), cv + r * np.cos(phi), z, 0.0, 0.0, z[-1], cu, cv)[4]
    limit = r * r * swept
    assert abs(got) < abs(limit)
    assert abs(limit - got) <= 1.01 * r * r * abs(swept) ** 3 / (6 * n * n) + 1e-9


@pytest.mark.parametrize("shift", [(30.0, -40.0), (-7.25, 0.0), (1e3, 1e3)])
@pytest.mark.parametrize("seed", range(4))
def test_galilean_invariance(shift, seed):
    """Adding one vector to every wind and to the storm motion leaves the
    helicity and the bulk shear unchanged and moves the layer winds by it.
    The layer ends fall between levels and one level is missing."""
    rng = np.random.default_rng(seed)
    n = 12
    z = uneven_heights(rng, n, 100.0)
    u, v = rng.normal(5.0, 10.0, n), rng.normal(0.0, 10.0, n)
    u[5] = NAN
    cu, cv = rng.normal(0.0, 5.0, 2)
    bottom, top = z[1] - 100.0 + 3.7, z[-2] - 100.0 - 11.3
    du, dv = shift
    a = layer_profile(u, v, z, 100.0, bottom, top, cu, cv)
    b = layer_profile(u + du, v + dv, z, 100.0, bottom, top, cu + du, cv + dv)
    scale = 40.0 + abs(du) + abs(dv)  # rounding grows with the size of the winds
    assert b[4] == pytest.approx(a[4], rel=0, abs=1e-13 * scale * scale * n)
    shear_a, shear_b = (a[2] - a[0], a[3] - a[1]), (b[2] - b[0], b[3] - b[1])
    assert shear_b == pytest.approx(shear_a, rel=0, abs=1e-13 * scale)
    assert b[[0, 1, 2, 3, 5, 6]] == pytest.approx(
        a[[0, 1, 2, 3, 5, 6]] + [du, dv, du, dv, du, dv], rel=0, abs=1e-13 * scale
    )


@pytest.mark.parametrize("direction", [0.0, 0.7, np.pi / 2, 2.5, -2.0])
@pytest.mark.parametrize("storm_on_line", [0.0, 7.5, -20.0])
def test_unidirectional_hodograph_has_no_helicity(direction, storm_on_line):
    """Wind of one direction (speeds varying, even changing sign) with the
    storm moving along the same line: no turning, zero helicity."""
    rng = np.random.default_rng(int(direction * 10) % 7)
    speed = rng.normal(10.0, 15.0, 15)
    e = np.array([math.sin(direction), math.cos(direction)])
    z = uneven_heights(rng, 15, 0.0)
    out = layer_profile(speed * e[0], speed * e[1], z, 0.0, z[0], z[-1], *(storm_on_line * e))
    assert out[4] == pytest.approx(0.0, abs=1e-11)


@pytest.mark.parametrize("side,sign", [("right", 1.0), ("left", -1.0)])
@pytest.mark.parametrize("distance", [2.0, 9.5])
def test_storm_off_a_straight_hodograph(side, sign, distance):
    """Straight hodograph from A to B, storm at distance d from the line: the
    helicity is |B - A|·d, positive with the storm to the right of the shear
    vector (the right-mover's inflow) and negative to the left, whatever the
    wind does between A and B along the line."""
    a, b = np.array([2.0, -3.0]), np.array([20.0, 9.0])
    shear = b - a
    right = np.array([shear[1], -shear[0]]) / np.hypot(*shear)  # shear turned 90° clockwise
    storm = (a + b) / 2 + sign * distance * right
    s = np.array([0.0, 0.3, 0.2, 0.9, 0.5, 1.0])  # along the line, back and forth
    u, v = a[0] + s * shear[0], a[1] + s * shear[1]
    z = np.arange(6) * 500.0
    got = layer_profile(u, v, z, 0.0, 0.0, 2500.0, *storm)[4]
    assert got == pytest.approx(sign * np.hypot(*shear) * distance, rel=1e-12)


@pytest.mark.parametrize("seed", range(5))
def test_mean_wind_of_linear_profile_is_mid_layer_wind(seed):
    """u, v linear in height: the depth-weighted mean over any layer is the
    wind at its middle, and the layer-end winds are the line's values."""
    rng = np.random.default_rng(seed)
    z = uneven_heights(rng, 20, 300.0)
    (u0, v0), (au, av) = rng.normal(0.0, 10.0, 2), rng.normal(0.0, 0.01, 2)
    u, v = u0 + au * z, v0 + av * z
    u[rng.integers(2, 18)] = NAN  # a missing level inside the layer changes nothing
    bottom, top = np.sort(rng.uniform(z[0] - 300.0, z[-1] - 300.0, 2))
    zb, zt = bottom + 300.0, top + 300.0
    out = layer_profile(u, v, z, 300.0, bottom, top, 0.0, 0.0)
    mid = (zb + zt) / 2
    want = [u0 + au * zb, v0 + av * zb, u0 + au * zt, v0 + av * zt, u0 + au * mid, v0 + av * mid]
    assert out[[0, 1, 2, 3, 5, 6]] == pytest.approx(want, rel=0, abs=1e-11)


# Cold pool: intensity √(2∫-b dz), the speed of a density current of that
# buoyancy deficit (b in m s⁻², z in m).


@pytest.mark.parametrize("b0,h", [(0.02, 1000.0), (0.1, 350.0), (0.005, 2500.0)])
@pytest.mark.parametrize("seed", range(3))
def test_cold_pool_of_constant_buoyancy(b0, h, seed):
    """Constant buoyancy -b over depth h gives √(2·b·h), in fixed-depth mode
    (depth h inside a deeper column) and in threshold mode when the data end
    at h before the threshold is reached (flagged)."""
    rng = np.random.default_rng(seed)
    z_start = float(rng.uniform(0.0, 100.0))
    inner = np.sort(rng.uniform(z_start, z_start + h, 8))
    deep = np.concatenate([[z_start], inner, [z_start + h + 1.0, z_start + 3 * h]])
    ends = np.concatenate([[z_start], inner, [z_start + h]])
    want = math.sqrt(2 * b0 * h)
    fixed = _kestrin.cold_pool([deep], [np.full(deep.size, -b0)], [NAN], 0.0, [h])[:, 0]
    out = _kestrin.cold_pool([ends], [np.full(ends.size, -b0)], [NAN], 0.0, [NAN])[:, 0]
    assert fixed == pytest.approx([want, h, 0.0], rel=1e-12)
    assert out == pytest.approx([want, h, 1.0], rel=1e-12)


@pytest.mark.parametrize("b0,h", [(0.03, 800.0), (0.004, 3000.0)])
def test_cold_pool_of_buoyancy_rising_linearly_to_zero(b0, h):
    """b = -b0·(1 - z/h) reaches 0 at z = h: ∫-b dz = b0·h/2, intensity √(b0·h),
    depth h, found by the threshold 0 between levels."""
    z = np.array([0.0, 0.13, 0.4, 0.55, 0.91, 1.27, 1.6]) * h
    b = -b0 * (1 - z / h)
    out = _kestrin.cold_pool([z], [b], [NAN], 0.0, [NAN])[:, 0]
    assert out == pytest.approx([math.sqrt(b0 * h), h, 0.0], rel=1e-12)


@pytest.mark.parametrize("depth", [0.07, 0.3, 0.62, 0.9])
def test_cold_pool_of_linear_buoyancy_through_a_fixed_depth(depth):
    """The same buoyancy through a fixed depth d ending between levels:
    ∫0^d b0·(1 - z/h) dz = b0·(d - d²/(2h)) (the trapezoid rule is exact on a line)."""
    b0, h = 0.03, 800.0
    z = np.array([0.0, 0.13, 0.4, 0.55, 0.91, 1.27, 1.6]) * h
    d = depth * h
    out = _kestrin.cold_pool([z], [-b0 * (1 - z / h)], [NAN], 0.0, [d])[:, 0]
    assert out == pytest.approx([math.sqrt(2 * b0 * (d - d * d / (2 * h))), d, 0.0], rel=1e-12)


# thermo: rows r (kg/kg), θ, θv, θe (K).

EPS = 0.6219569156569429  # molar mass of water over that of dry air


@pytest.mark.parametrize("seed", range(3))
def test_theta_at_1000_hpa_is_temperature(seed):
    rng = np.random.default_rng(seed)
    t = rng.uniform(200.0, 320.0, 1000)
    td = np.where(rng.random(1000) < 0.2, NAN, t - rng.uniform(0.0, 30.0, 1000))
    out = _kestrin.thermo(t, np.full(1000, 100000.0), td)
    assert np.array_equal(out[1], t)


# Saturation vapour pressure over plane water, hPa, from the Smithsonian
# Meteorological Tables (List 1951), also printed in Rogers & Yau, A Short
# Course in Cloud Physics, Table 2.1. Bolton (1980) gives his formula as
# within 0.1% of such values between -30 and 35 °C; over 0 to 30 °C it is.
SATURATION_HPA = [(0.0, 6.1078), (10.0, 12.272), (20.0, 23.373), (30.0, 42.430)]


@pytest.mark.parametrize("celsius,es", SATURATION_HPA)
@pytest.mark.parametrize("pressure", [100000.0, 70000.0])
def test_saturated_vapour_pressure_matches_table(celsius, es, pressure):
    """Saturated air (dew point = temperature): the vapour pressure behind the
    mixing ratio, e = r·p/(ε + r), is the tabulated one."""
    t = celsius + 273.15
    r = _kestrin.thermo([t], [pressure], [t])[0, 0]
    e_hpa = r * pressure / (EPS + r) / 100.0
    assert e_hpa == pytest.approx(es, rel=1e-3)


@pytest.mark.parametrize("seed", range(3))
def test_potential_temperatures_of_moist_and_dry_air(seed):
    """θv = θ·(1 + r/ε)/(1 + r) ≈ θ·(1 + 0.608·r) to first order in r; θe ≥ θv ≥ θ
    for moist air; as the air dries out both approach θ (θe to within the
    rounded exponent 0.2854 of Bolton's formula in place of R/cp: ~2·10⁻⁵·ln(p0/p))."""
    rng = np.random.default_rng(seed)
    n = 500
    t, p = rng.uniform(250.0, 310.0, n), rng.uniform(50000.0, 105000.0, n)
    r, th, thv, the = _kestrin.thermo(t, p, t - rng.uniform(0.0, 25.0, n))
    assert np.all(np.abs(thv / th - (1 + (1 / EPS - 1) * r)) <= r * r)
    assert np.all((the > thv) & (thv > th) & (r > 0))
    dry = _kestrin.thermo(t, p, np.full(n, 120.0))
    assert np.all(dry[0] < 1e-9)
    assert dry[2] == pytest.approx(dry[1], rel=1e-9) and dry[3] == pytest.approx(dry[1], rel=5e-5)


def test_equivalent_potential_temperature_grows_with_moisture():
    """At fixed T and p, more vapour means more latent heat: θe rises with the dew point."""
    td = np.linspace(230.0, 300.0, 200)
    the = _kestrin.thermo(np.full(200, 300.0), np.full(200, 90000.0), td)[3]
    assert np.all(np.diff(the) > 0)


# VAD: vr = c + a·sin az + b·cos az + β₂·sin 2az + β₃·cos 2az, with a = u·cos el
# and b = v·cos el for a wind (u east, v north) and azimuth clockwise from north.


@pytest.mark.parametrize("n", [5, 8, 36, 361])
@pytest.mark.parametrize(
    "u,v,c,b2,b3,cos_el",
    [
        (6.0, 8.0, 1.0, 0.5, -0.25, 0.5),
        (-15.0, 3.0, -2.5, 0.0, 4.0, 0.98),
        (0.0, 0.0, 0.0, 0.0, 0.0, 1.0),
    ],
)
def test_vad_recovers_harmonics_of_even_ring(n, u, v, c, b2, b3, cos_el):
    """Samples evenly around the circle: the harmonics are orthogonal, so
    both fits give back every coefficient, and the first fit's residual is
    the second harmonic's rms, √((β₂² + β₃²)/2)."""
    az = 0.1 + np.arange(n) * (2 * np.pi / n)
    vr = (
        c
        + u * cos_el * np.sin(az)
        + v * cos_el * np.cos(az)
        + b2 * np.sin(2 * az)
        + b3 * np.cos(2 * az)
    )
    out = _kestrin.vad([vr], [az], [cos_el], 3, 0.1)[:, 0]
    want = [u, v, c, math.sqrt((b2 * b2 + b3 * b3) / 2), n, c, b2, b3]
    assert out == pytest.approx(want, rel=0, abs=1e-12 * n)


@pytest.mark.parametrize("seed", range(4))
def test_vad_second_fit_exact_on_uneven_ring(seed):
    """Random azimuths around the whole circle: the first-harmonic fit is
    biased by the second harmonic, the second fit recovers c₂, β₂, β₃ exactly."""
    rng = np.random.default_rng(seed)
    az = rng.uniform(0.0, 2 * np.pi, 50)
    c, a, b, b2, b3 = rng.normal(0.0, 5.0, 5)
    vr = c + a * np.sin(az) + b * np.cos(az) + b2 * np.sin(2 * az) + b3 * np.cos(2 * az)
    out = _kestrin.vad([vr], [az], [1.0], 3, 0.01)[:, 0]
    assert out[5:] == pytest.approx([c, b2, b3], rel=0, abs=1e-10)
    no_second = vr - b2 * np.sin(2 * az) - b3 * np.cos(2 * az)
    assert _kestrin.vad([no_second], [az], [1.0], 3, 0.01)[:3, 0] == pytest.approx(
        [a, b, c], abs=1e-10
    )


def coverage(az):
    """Determinant of the population covariance of (sin az, cos az)."""
    return np.linalg.det(np.cov(np.vstack([np.sin(az), np.cos(az)]), bias=True))


@pytest.mark.parametrize("gap_degrees", [30, 90, 180, 240, 300, 330])
def test_vad_refuses_a_ring_with_too_wide_a_gap(gap_degrees):
    """40 samples spread over the circle less a gap: with the gate between
    the coverage of the narrower and the wider gap, the ring with the gap too
    wide gets only its sample count, the other a wind."""
    min_spread = 0.05
    az = np.deg2rad(np.linspace(0.0, 360.0 - gap_degrees, 40))
    vr = 10.0 * np.sin(az)
    out = _kestrin.vad([vr], [az], [1.0], 10, min_spread)[:, 0]
    assert out[4] == 40
    refused = coverage(az) < min_spread
    assert refused == (gap_degrees >= 240)  # the cases straddle the gate
    if refused:
        assert np.isnan(out[:4]).all() and np.isnan(out[5:]).all()
    else:
        assert out[:2] == pytest.approx([10.0, 0.0], abs=1e-12)


def test_vad_coverage_of_even_ring_and_of_a_narrow_sector():
    """The gate's measure: 0.25 for an even ring, tiny for thirteen samples 5°
    apart over 60°: refused at a gate of 10⁻³, accepted at 10⁻⁴."""
    az = np.deg2rad(np.arange(13) * 5.0)
    vr = 3.0 * np.sin(az) + 4.0 * np.cos(az)
    strict, loose = (_kestrin.vad([vr], [az], [1.0], 5, g)[:, 0] for g in (1e-3, 1e-4))
    assert np.isnan(strict[:4]).all() and strict[4] == 13
    assert loose[:2] == pytest.approx([3.0, 4.0], abs=1e-9)


# gradient: exact for fields linear in x and y on any grid.


@pytest.mark.parametrize("seed", range(3))
def test_gradient_of_linear_field_on_uneven_grid(seed):
    """Centred, one-sided and hole-skipping differences all give the slopes
    of a plane; only missing points and points with no usable neighbour are NaN."""
    rng = np.random.default_rng(seed)
    x, y = np.cumsum(rng.uniform(0.5, 3.0, 9)), np.cumsum(rng.uniform(0.5, 3.0, 7))
    ax, ay = rng.normal(0.0, 2.0, 2)
    f = (ax * x[None, :] + ay * y[:, None] + 5.0)[None].copy()
    f[0, 3, 4] = NAN
    g = _kestrin.gradient(f, x, y)
    ok = np.isfinite(f[0])
    assert g[0, 0][ok] == pytest.approx(np.full(ok.sum(), ax), abs=1e-11)
    assert g[1, 0][ok] == pytest.approx(np.full(ok.sum(), ay), abs=1e-11)
    assert np.isnan(g[:, 0, 3, 4]).all()


def test_gradient_of_parabola_on_even_grid():
    """f = x² on an even grid: centred differences are exact (2x) inside, the
    one-sided ones at the edges are off by the spacing h."""
    h = 0.25
    x = np.arange(11) * h
    d = _kestrin.gradient((x * x)[None, None], x, [0.0])[0, 0, 0]
    assert d[1:-1] == pytest.approx(2 * x[1:-1], abs=1e-12)
    assert d[[0, -1]] == pytest.approx([2 * x[0] + h, 2 * x[-1] - h], abs=1e-12)
