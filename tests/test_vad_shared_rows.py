"""`vad` on rings that share their azimuth row, as the rings of one radar sweep
do: the result must be the bits of the same rings fitted one call each."""

import numpy as np
import pytest
from test_vad import expected

import _kestrin

THREADS = [1, 2, 3, 0, -1, 64]
GATES, SPREAD = 5, 1e-3


def per_ring(vr, az, cos_el, min_gates=GATES, min_spread=SPREAD):
    """Each ring alone in its own call, so no azimuth row is ever shared."""
    out = np.empty((8, len(vr)))
    for r in range(len(vr)):
        out[:, r] = _kestrin.vad(
            vr[r : r + 1], az[r : r + 1], cos_el[r : r + 1], min_gates, min_spread
        )[:, 0]
    return out


def base_row(cols, seed):
    rng = np.random.default_rng(seed)
    return np.deg2rad(np.arange(cols) * (360.0 / cols)) + rng.normal(0.0, 0.01, cols) - 3.0


def flip_bit(row, j, bit):
    out = row.copy()
    out.view(np.uint64)[j] ^= np.uint64(1) << np.uint64(bit)
    return out


def velocities(az, seed, gaps=None):
    """Radial velocities of a wind varying from ring to ring, with a NaN
    pattern of its own in every ring (from none to all samples missing)."""
    rows, cols = az.shape
    rng = np.random.default_rng(seed)
    u, v = rng.uniform(-20, 20, (2, rows, 1))
    with np.errstate(invalid="ignore"):  # NaN and infinite azimuths
        vr = u * np.sin(az) + v * np.cos(az) + 0.3 * np.cos(az + az)
    vr += rng.normal(0, 0.5, (rows, cols))
    if gaps is None:
        gaps = rng.random((rows, cols)) < rng.choice([0.0, 0.15, 0.6, 0.95, 1.0], rows)[:, None]
    vr[gaps] = np.nan
    return vr, rng.uniform(0.3, 1.0, rows)


def rows_of(pattern, cols, seed=0):
    """Azimuth rows named by letters: A and B two rows, a is A with one bit of
    one sample flipped, Z and z one row holding +0.0 and -0.0 in the same
    places, N a row of NaN, H a row half NaN and half infinite."""
    A, B = base_row(cols, seed), base_row(cols, seed + 1)
    Z = A.copy()
    Z[::3] = 0.0
    z = Z.copy()
    z[::3] = -0.0
    H = np.full(cols, np.nan)
    H[::2] = np.inf
    rows = {
        "A": A,
        "B": B,
        "a": flip_bit(A, cols // 2, 30),
        "Z": Z,
        "z": z,
        "N": np.full(cols, np.nan),
        "H": H,
    }
    return np.array([rows[c] for c in pattern])


def sweep_gated(cols=48, gates=4):
    """One shared row; ring k keeps a sector of k + 1 consecutive samples, so
    the rings step across the sample gate and then across the coverage gate."""
    az = np.tile(base_row(cols, 5), (cols, 1))
    keep = np.arange(cols)[None, :] <= np.arange(cols)[:, None]
    vr, cos_el = velocities(az, 5, gaps=~keep)
    return vr, az, cos_el, gates


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize(
    "pattern",
    [
        "AAAA",
        "AABA",
        "ABAB",
        "AaAa",
        "aAAa",
        "ZzZz",
        "ZZzz",
        "NNNN",
        "HHAA",
        "ANNA",
        "A" * 9 + "B" * 9,
    ],
)
def test_shared_rows_give_the_bits_of_single_rings(pattern, n_threads):
    az = rows_of(pattern * 3, cols=60)
    vr, cos_el = velocities(az, len(pattern))
    got = _kestrin.vad(vr, az, cos_el, GATES, SPREAD, n_threads)
    np.testing.assert_array_equal(got, per_ring(vr, az, cos_el))


@pytest.mark.parametrize("bit", [0, 30, 52, 63])
def test_a_row_one_bit_away_is_not_reused(bit):
    """Rings alternate between a row and its copy with one bit of one sample
    flipped; each ring gets the bits of its own row."""
    A = base_row(40, 2)
    az = np.array([A, A, flip_bit(A, 17, bit), flip_bit(A, 17, bit), A] * 4)
    vr = np.tile(velocities(az[:1], 2, gaps=np.zeros((1, 40), bool))[0], (len(az), 1))
    cos_el = np.full(len(az), 0.7)
    got = _kestrin.vad(vr, az, cos_el, GATES, SPREAD)
    want = per_ring(vr, az, cos_el)
    np.testing.assert_array_equal(got, want)
    if bit >= 30:  # a flip this large must show, or the test could not catch a reuse
        assert not np.array_equal(want[:, 1], want[:, 2], equal_nan=True)


@pytest.mark.parametrize("min_spread", [1e-5, 1e-3, 0.05, 0.2])
def test_sample_and_coverage_gates_on_a_shared_row(min_spread):
    vr, az, cos_el, gates = sweep_gated()
    got = _kestrin.vad(vr, az, cos_el, gates, min_spread)
    np.testing.assert_array_equal(got, per_ring(vr, az, cos_el, gates, min_spread))
    np.testing.assert_array_equal(got, expected(vr, az, cos_el, gates, min_spread))
    n = got[4]
    assert (n == gates - 1).any() and (n == gates).any() and (n == 0).sum() == 0
    fit1 = np.isfinite(got[0])
    assert not fit1[n < gates].any()
    # the gate on coverage passes some rings with enough samples and refuses others
    assert fit1.any() and (~fit1 & (n >= gates)).any()


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", THREADS)
@pytest.mark.parametrize(
    "first,total",
    [
        (f, t)
        for t in [63, 64, 65, 130, 200]
        for f in [1, 62, 63, 64, 65, 66, 127, 128, 129]
        if f < t
    ],
)
def test_sweeps_across_block_boundaries(first, total, n_threads):
    """Two sweeps: rings [0, first) share row A, the rest share row B."""
    az = rows_of("A" * first + "B" * (total - first), cols=24, seed=first)
    vr, cos_el = velocities(az, total)
    got = _kestrin.vad(vr, az, cos_el, GATES, SPREAD, n_threads)
    np.testing.assert_array_equal(got, per_ring(vr, az, cos_el))


@pytest.mark.parametrize("rows", [63, 64, 65])
def test_one_sweep_matches_the_python_transcription(rows):
    az = rows_of("A" * rows, cols=30)
    vr, cos_el = velocities(az, rows)
    np.testing.assert_array_equal(
        _kestrin.vad(vr, az, cos_el, GATES, SPREAD), expected(vr, az, cos_el, GATES, SPREAD)
    )


def test_long_shared_rings_recompute_and_give_the_same_bits():
    """Rings beyond the sample buffer take the recompute path, shared or not."""
    az = rows_of("AABA", cols=30)
    vr, cos_el = velocities(az, 4)
    pad = np.full((4, 1 << 16), np.nan)
    long = _kestrin.vad(np.hstack([pad, vr]), np.hstack([pad, az]), cos_el, GATES, SPREAD)
    np.testing.assert_array_equal(long, per_ring(vr, az, cos_el))


@pytest.mark.threads
@pytest.mark.parametrize("n_threads", [2, 3])
def test_workers_without_memory_give_the_same_bits(run_shimmed, n_threads):
    """Worker threads whose buffers cannot be allocated recompute sine and
    cosine ring by ring; the calling thread keeps its buffers."""
    out = run_shimmed(f"""
        import numpy as np, _kestrin
        shim.faultshim_fail_malloc_off_main.argtypes = [ctypes.c_size_t]
        rng = np.random.default_rng(0)
        cols = 50
        row = rng.uniform(0, 7, cols)
        az = np.tile(row, (640, 1))
        az[300:] += 1.0
        vr = np.sin(az) + rng.normal(0, 0.3, az.shape)
        vr[rng.random(az.shape) < 0.2] = np.nan
        cos_el = rng.uniform(0.5, 1, 640)
        want = _kestrin.vad(vr, az, cos_el, 5, 1e-3, 1)
        shim.faultshim_fail_malloc_off_main(4 * cols * 8)  # both buffers
        got = _kestrin.vad(vr, az, cos_el, 5, 1e-3, {n_threads})
        shim.faultshim_fail_malloc_off_main(0)
        print(np.array_equal(got, want, equal_nan=True))
    """)
    assert out.strip() == "True"
