"""radarkit.moments: finding the radial-velocity and reflectivity moments of a volume."""

import numpy as np
import pytest

pytestmark = pytest.mark.python_layer

xr = pytest.importorskip("xarray")

from radarkit import moments, radar  # noqa: E402
from radarkit.moments import MomentChoice, find_moment  # noqa: E402
from radarkit.synthetic import synthetic_volume  # noqa: E402


def _sweep(names, standard_names=None):
    """One sweep with a (azimuth, range) variable per name, standard names where given."""
    standard_names = standard_names or {}
    data = {}
    for k, name in enumerate(names):
        attrs = {"standard_name": standard_names[name]} if name in standard_names else {}
        data[name] = (("azimuth", "range"), np.full((4, 3), float(k)), attrs)
    data["nyquist_velocity"] = ("azimuth", np.full(4, 20.0))
    return xr.Dataset(data, coords={"azimuth": np.arange(4.0) * 90, "range": [1.0, 2.0, 3.0]})


def _renamed(kind, spelling):
    """The synthetic volume with one moment renamed and its standard name removed."""
    old = "VRADH" if kind == "velocity" else "DBZH"
    tree = synthetic_volume(elevations=[0.5, 1.5], rays=36, gates=8)
    parts = {"/": tree.to_dataset(inherit=False)}
    for name in tree.children:
        ds = tree[name].to_dataset(inherit=False).rename_vars({old: spelling})
        ds[spelling].attrs.pop("standard_name")
        parts[name] = ds
    return xr.DataTree.from_dict(parts)


@pytest.mark.parametrize(
    "kind, spelling",
    [("velocity", n) for n in moments.VELOCITY_NAMES]
    + [("reflectivity", n) for n in moments.REFLECTIVITY_NAMES],
)
def test_every_listed_spelling_is_found_by_name(kind, spelling):
    """A moment renamed to any listed spelling (no standard name) is the one found."""
    choice = find_moment(_renamed(kind, spelling), kind)
    assert choice.name == spelling and choice.how == "name"


@pytest.mark.parametrize("spelling", ["velocity", "vel", "Vrad", "VR"])
def test_names_are_matched_without_regard_to_case(spelling):
    """Common names match in any case; the variable's own spelling is returned."""
    assert find_moment(_sweep([spelling, "ZDR"]), "velocity").name == spelling


@pytest.mark.parametrize(
    "standard_name, kind",
    [
        ("radial_velocity_of_scatterers_away_from_instrument", "velocity"),
        ("radial_velocity_of_scatterers_away_from_instrument_h", "velocity"),
        ("corrected_radial_velocity_of_scatterers_away_from_instrument", "velocity"),
        ("equivalent_reflectivity_factor", "reflectivity"),
        ("radar_equivalent_reflectivity_factor_h", "reflectivity"),
        ("corrected_equivalent_reflectivity_factor", "reflectivity"),
    ],
)
def test_standard_name_comes_before_common_names(standard_name, kind):
    """A variable with the CF standard name wins over one that only has a common name."""
    common = "velocity" if kind == "velocity" else "reflectivity"
    sweep = _sweep([common, "moment_x"], {"moment_x": standard_name})
    assert find_moment(sweep, kind) == MomentChoice("moment_x", "standard_name", ())


@pytest.mark.parametrize(
    "names, standard, kind, chosen, alternatives",
    [
        (["velocity", "corrected_velocity"], {}, "velocity", "corrected_velocity", ("velocity",)),
        (["VRADH", "VRADDH"], {}, "velocity", "VRADDH", ("VRADH",)),
        (["VRADV", "VRADH"], {}, "velocity", "VRADH", ("VRADV",)),
        (["VEL", "simulated_velocity"], {}, "velocity", "VEL", ("simulated_velocity",)),
        (["DBTH", "DBZH"], {}, "reflectivity", "DBZH", ("DBTH",)),
        (
            ["total_power", "reflectivity", "corrected_reflectivity"],
            {},
            "reflectivity",
            "corrected_reflectivity",
            ("reflectivity", "total_power"),
        ),
        (
            ["velocity", "corrected_velocity", "simulated_velocity"],
            {
                "velocity": moments.VELOCITY_STANDARD_NAME,
                "corrected_velocity": "corrected_" + moments.VELOCITY_STANDARD_NAME,
                "simulated_velocity": moments.VELOCITY_STANDARD_NAME,
            },
            "velocity",
            "corrected_velocity",
            ("velocity", "simulated_velocity"),
        ),
        (
            ["DBTH", "DBZH"],
            {
                "DBTH": "radar_equivalent_reflectivity_factor_h",
                "DBZH": "radar_equivalent_reflectivity_factor_h",
            },
            "reflectivity",
            "DBZH",
            ("DBTH",),
        ),
    ],
)
def test_ambiguous_candidates_give_one_choice_and_the_others(
    names, standard, kind, chosen, alternatives
):
    """Several candidates: corrected first, horizontal before vertical, total power last."""
    for order in (names, names[::-1]):
        choice = find_moment(_sweep(order, standard), kind)
        assert choice.name == chosen
        assert choice.alternatives == alternatives


def test_a_given_name_always_wins():
    """An explicit name is used as given, even over a better candidate or when absent."""
    sweep = _sweep(["velocity", "corrected_velocity"])
    assert find_moment(sweep, "velocity", given="velocity") == MomentChoice("velocity", "given", ())
    assert find_moment(sweep, "velocity", given="VR").name == "VR"


def test_nothing_fits_and_bad_kind():
    """A volume without candidates gives name None; an unknown kind is a ValueError."""
    assert find_moment(_sweep(["ZDR", "RHOHV"]), "velocity") == MomentChoice(None, "none", ())
    with pytest.raises(ValueError, match="kind must be"):
        find_moment(_sweep(["VRADH"]), "wind")


def test_moments_are_gathered_over_all_sweeps():
    """A moment present only in a later sweep (NEXRAD split cuts) is still found."""
    first = _sweep(["DBZH"])
    second = _sweep(["DBZH", "VRADH"])
    tree = xr.DataTree.from_dict({"/": xr.Dataset(), "sweep_0": first, "sweep_1": second})
    assert list(moments.volume_moments(tree)) == ["DBZH", "VRADH"]
    assert find_moment(tree, "velocity").name == "VRADH"
    assert find_moment({"a": first, "b": second}, "velocity").name == "VRADH"


def test_synthetic_volume_moments_found_by_standard_name():
    """xradar's standard names (radar_ prefix, _h suffix) identify VRADH and DBZH."""
    tree = synthetic_volume(elevations=[0.5], rays=8, gates=4)
    assert find_moment(tree, "velocity") == MomentChoice("VRADH", "standard_name", ())
    assert find_moment(tree, "reflectivity") == MomentChoice("DBZH", "standard_name", ())


@pytest.fixture(scope="module")
def reference():
    """VAD rings of the synthetic volume under its own names."""
    return radar.vad(synthetic_volume(elevations=[0.5, 1.5], rays=36, gates=8), min_gates=10)


@pytest.mark.parametrize("spelling", moments.VELOCITY_NAMES)
def test_vad_finds_every_velocity_spelling(spelling, reference):
    """vad without velocity= gives the same rings whatever the velocity is called."""
    rings = radar.vad(_renamed("velocity", spelling), min_gates=10)
    xr.testing.assert_identical(rings, reference)


@pytest.mark.parametrize(
    "kind, spelling",
    [("velocity", n) for n in moments.VELOCITY_NAMES]
    + [("reflectivity", n) for n in moments.REFLECTIVITY_NAMES],
)
def test_dart_file_is_the_same_whatever_the_moments_are_called(kind, spelling, tmp_path):
    """to_obs_seq without moment names writes the same bytes for renamed moments."""
    plain = synthetic_volume(elevations=[0.5, 1.5], rays=36, gates=8)
    a, b = tmp_path / "a.out", tmp_path / "b.out"
    radar.to_obs_seq(plain, a, velocity_error=2.0, reflectivity_error=5.0)
    radar.to_obs_seq(_renamed(kind, spelling), b, velocity_error=2.0, reflectivity_error=5.0)
    assert a.read_bytes() == b.read_bytes()


def test_volume_functions_report_a_missing_moment_by_role():
    """A volume without any velocity: vad lists its moments; to_obs_seq writes reflectivity."""
    tree = synthetic_volume(elevations=[0.5], rays=36, gates=8)
    parts = {"/": tree.to_dataset(inherit=False)}
    parts["sweep_0"] = tree["sweep_0"].to_dataset(inherit=False).drop_vars("VRADH")
    only_dbz = xr.DataTree.from_dict(parts)
    with pytest.raises(ValueError, match=r"no radial-velocity moment \(moments: DBZH\)"):
        radar.vad(only_dbz)
    assert radar.describe(only_dbz).velocity == MomentChoice(None, "none", ())
