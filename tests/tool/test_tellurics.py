"""The telluric mask: the known bands covered, clean stellar regions left
alone, thresholds nested, air and vacuum apart by the air index, the
band table without the transmission model, and the model's lines where
a real observer-frame HARPS spectrum has them."""

import importlib.util
import sys
import warnings

import numpy as np
import pytest
from astropy.io import fits
from realdata import alpha_cen_b, needs_realdata, sample

from quasmir_tool import tellurics
from quasmir_tool.errors import InputError
from quasmir_tool.media import air_to_vacuum, vacuum_to_air

HAVE_MODEL = importlib.util.find_spec("pwv_kpno") is not None
C_KMS = 299792.458


def _clear():
    tellurics._model.cache_clear()
    tellurics._intervals.cache_clear()


@pytest.fixture(params=["model", "bands"])
def source(request, monkeypatch):
    """Each test once on the transmission model and once on the table."""
    if request.param == "model" and not HAVE_MODEL:
        pytest.skip("pwv_kpno is not installed")
    if request.param == "bands":
        monkeypatch.setitem(sys.modules, "pwv_kpno", None)
    _clear()
    yield request.param
    _clear()


def covered(intervals, lo, hi):
    """Fraction of [lo, hi] inside the intervals."""
    clipped = np.clip(intervals, lo, hi)
    return float(np.sum(clipped[:, 1] - clipped[:, 0]) / (hi - lo))


@pytest.mark.parametrize(
    "lo, hi, least",
    [
        (7594.0, 7621.0, 0.95),  # O2 A, saturated throughout
        (6867.0, 6884.0, 0.6),  # O2 B head and R branch
        (6276.0, 6316.0, 0.15),  # O2 gamma, separate lines
        (5886.0, 5900.0, 0.15),  # H2O lines around Na D
        (6470.0, 6530.0, 0.1),  # H2O band near H alpha
    ],
)
def test_strong_bands_covered(source, lo, hi, least):
    assert covered(tellurics.telluric_intervals(0.02), lo, hi) >= least


@pytest.mark.parametrize("lo, hi", [(4000.0, 5000.0), (5100.0, 5380.0)])
def test_clean_region_left_alone(source, lo, hi):
    iv = tellurics.telluric_intervals(0.02)
    assert covered(iv, lo, hi) == 0.0


def test_intervals_sorted_merged_read_only(source):
    iv = tellurics.telluric_intervals(0.02, "vacuum")
    assert iv.ndim == 2 and iv.shape[1] == 2 and len(iv) > 0
    assert np.all(iv[:, 1] > iv[:, 0]) and np.all(iv[1:, 0] > iv[:-1, 1])
    assert not iv.flags.writeable
    assert tellurics.telluric_intervals(0.02, "vacuum") is iv
    named = "pwv_kpno " if source == "model" else "'tellurics' extra"
    assert named in tellurics.telluric_source()


def test_deeper_threshold_is_subset(source):
    shallow = tellurics.telluric_intervals(0.01)
    for depth in (0.02, 0.1, 0.5):
        deep = tellurics.telluric_intervals(depth)
        assert len(deep) <= len(shallow)
        k = np.searchsorted(shallow[:, 0], deep[:, 0], side="right") - 1
        assert np.all(k >= 0)
        assert np.all(deep[:, 1] <= shallow[k, 1] + 1e-9)
        shallow = deep


def test_air_and_vacuum_apart_by_the_air_index(source):
    air = tellurics.telluric_intervals(0.02, "air")
    vac = tellurics.telluric_intervals(0.02, "vacuum")
    assert air.shape == vac.shape
    np.testing.assert_allclose(vacuum_to_air(vac), air, atol=1e-6)
    # n - 1 of standard air is 2.76e-4 to 2.80e-4 in the visible.
    assert np.all((vac / air - 1 > 2.7e-4) & (vac / air - 1 < 2.9e-4))
    both = tellurics.telluric_intervals(0.02, "unknown")
    assert covered(both, 5000, 8000) > covered(air, 5000, 8000)


def test_depth_agrees_with_intervals(source):
    wave = np.arange(3800.0, 7000.0, 0.01)
    depth = tellurics.telluric_depth(wave)
    iv = tellurics.telluric_intervals(0.02)
    k = np.searchsorted(iv[:, 0], wave, side="right") - 1
    inside = (k >= 0) & (wave <= iv[np.maximum(k, 0), 1])
    assert np.all(inside[depth > 0.02])
    assert np.all(tellurics.telluric_depth([2000.0, 2e4]) == 0.0)
    np.testing.assert_allclose(
        tellurics.telluric_depth(air_to_vacuum(wave), "vacuum"), depth,
        atol=1e-6)


@pytest.mark.skipif(not HAVE_MODEL, reason="pwv_kpno is not installed")
def test_disk_cache_reused(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    _clear()
    first = tellurics.telluric_intervals(0.05).copy()
    (cached,) = (tmp_path / "quasmir").glob("tellurics-pwv_kpno-*.npz")
    _clear()
    monkeypatch.setattr(np, "loadtxt", None)  # only the cache may serve
    np.testing.assert_array_equal(tellurics.telluric_intervals(0.05), first)
    _clear()


@pytest.mark.parametrize(
    "kwargs, name",
    [
        ({"depth": 0.0}, "depth"),
        ({"depth": 1.0}, "depth"),
        ({"depth": "0.02"}, "depth"),
        ({"depth": float("nan")}, "depth"),
        ({"depth": True}, "depth"),
        ({"medium": "Air"}, "medium"),
        ({"medium": None}, "medium"),
    ],
)
def test_bad_arguments(kwargs, name):
    with pytest.raises(InputError, match=f"^{name}: "):
        tellurics.telluric_intervals(**kwargs)
    if name == "medium":
        with pytest.raises(InputError, match="^medium: "):
            tellurics.telluric_depth([6000.0], **kwargs)


def _read(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return fits.getdata(sample(name))


@needs_realdata
@pytest.mark.skipif(not HAVE_MODEL, reason="pwv_kpno is not installed")
@pytest.mark.parametrize("lo, hi", [(6276.0, 6318.0), (6867.0, 6905.0)])
def test_lines_where_harps_sees_them(lo, hi):
    """An observer-frame HARPS e2ds (air) correlates best with the model
    at no shift: a medium or frame error would move it by 0.3-1.7 A."""
    flux = _read("HARPS.2003-12-13T06:19:48.371_e2ds_A.fits")
    wave = _read("HARPS.2003-12-12T21:47:59.366_wave_A.fits")
    blaze = _read("HARPS.2003-12-12T21:42:45.093_blaze_A.fits")
    order = int(np.flatnonzero((wave[:, 0] < lo) & (wave[:, -1] > hi))[0])
    keep = (wave[order] > lo) & (wave[order] < hi)
    x, y = wave[order][keep], (flux[order] / blaze[order])[keep]
    shifts = np.arange(-0.6, 0.61, 0.02)
    cc = [np.corrcoef(-tellurics.telluric_depth(x + d), y)[0, 1]
          for d in shifts]
    assert abs(shifts[int(np.argmax(cc))]) <= 0.04
    assert max(cc) > 0.2


@needs_realdata
def test_share_of_harps_range_masked():
    """The 2% mask, placed with a HARPS s1d's BERV, takes a few per cent
    of the 3780-6910 A range, not most of it."""
    header = fits.getheader(alpha_cen_b()[0])
    berv = float(header["HIERARCH ESO DRS BERV"])  # km/s
    iv = tellurics.telluric_intervals(0.02) * (1.0 + berv / C_KMS)
    assert 0.01 < covered(iv, 3780.0, 6910.0) < 0.08


@needs_realdata
@pytest.mark.skipif(not HAVE_MODEL, reason="pwv_kpno is not installed")
def test_harps_k2_lines_clear():
    """The HARPS K2 mask was made of lines clear of telluric lines: at
    alpha Cen B's velocity (-22 km/s) and any BERV of a year, a +-8 km/s
    window about its lines rarely touches the 2% mask."""
    k2 = _read("HARPS_K2_mask.fits")
    lam = np.asarray(k2["lambda"], dtype=np.float64) * (1 - 22.0 / C_KMS)
    half = 8.0 / C_KMS * lam
    iv = tellurics.telluric_intervals(0.02)
    for berv in (-30.0, 0.0, 30.0):
        placed = iv * (1.0 + berv / C_KMS)
        k = np.searchsorted(placed[:, 0], lam + half, side="right") - 1
        hit = (k >= 0) & (placed[np.maximum(k, 0), 1] >= lam - half)
        assert hit.mean() < 0.01
