"""Instrument profiles on the real pipeline products and on small files
made with their layouts."""

import shutil

import numpy as np
import pytest
from astropy.io import fits
from realdata import alpha_cen_b, needs_realdata, sample

from quasmir_tool.errors import InputError
from quasmir_tool.instruments import (
    errors_from_order_snr,
    poly_wavelengths,
    profile_table,
)
from quasmir_tool.reading import errors_from_snr, read_spectrum, zero_filled

E2DS = "HARPS.2003-12-13T06:19:48.371_e2ds_A.fits"
WAVE = "HARPS.2003-12-12T21:47:59.366_wave_A.fits"
BLAZE = "HARPS.2003-12-12T21:42:45.093_blaze_A.fits"
S1D = "HARPS.2010-09-18T23:42:36.178_s1d_A.fits"
PHASE3 = "ADP.2014-09-16T11:04:45.123.fits"

# file, profile, frame, medium, time key, time, BERV (m/s), errors
LAYOUTS = {
    "harps-e2ds": (E2DS, "HARPS-e2ds", "observer", "air", "ESO DRS BJD",
                   2452986.76962528, 15257.6897037435, "photon+read"),
    "harps-s1d": (S1D, "HARPS-s1d", "barycentric", "air", "ESO DRS BJD",
                  2455458.48996366, -23543.8771778635, "header-snr"),
    "espresso-s1d": ("HD41248_1_1_S1D_A.fits", "ESPRESSO-S1D",
                     "barycentric", "vacuum", "ESO QC BJD",
                     2458430.78184715, 3826.95127933909, "file"),
    "espresso-s2d": ("HD41248_1_1_S2D_A.fits", "ESPRESSO-S2D",
                     "barycentric", "vacuum", "ESO QC BJD",
                     2458430.78184715, 3826.95127933909, "file"),
    "phase3": (PHASE3, "ESO-Phase3", "barycentric", "air", "ESO DRS BJD",
               2453921.66815161, -8685.9110031507, "header-snr"),
}


@needs_realdata
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_real_layouts_are_identified(layout):
    name, profile, frame, medium, key, time, berv, errors = LAYOUTS[layout]
    s = read_spectrum(sample(name))
    assert (s.profile, s.frame, s.medium) == (profile, frame, medium)
    assert s.time_key == key and s.time == pytest.approx(time, abs=1e-9)
    assert s.berv == pytest.approx(berv, abs=1e-6)
    assert s.err_source == errors and s.ground_based
    good = ~s.bad
    assert good.mean() > 0.5
    assert np.all(np.isfinite(s.flux_err[good]) & (s.flux_err[good] > 0))
    # Bad pixels never look precise.
    assert np.all(s.flux_err[s.bad] >= np.median(s.flux_err[good]) * 0.01)


@needs_realdata
def test_alpha_cen_b_is_harps_s1d_with_its_gap_bad():
    s = read_spectrum(alpha_cen_b()[0])
    assert s.profile == "HARPS-s1d" and s.frame == "barycentric"
    gap = (s.wave > 5310.0) & (s.wave < 5330.0)
    assert s.bad[gap].all() and not s.bad[s.wave < 5200.0].any()
    # Order 50 (5531-5594 A): its S/N per extracted pixel (0.0152 A)
    # is spread over the s1d's 0.01 A pixels.
    expected = s.header["ESO DRS SPE EXT SN50"] * np.sqrt(0.01 / 0.01522)
    window = (s.wave > 5550.0) & (s.wave < 5575.0)
    top = s.flux[window] > np.percentile(s.flux[window], 90)
    ratio = np.median(s.flux[window][top] / s.flux_err[window][top])
    assert ratio == pytest.approx(expected, rel=0.05)


@needs_realdata
def test_e2ds_errors_match_its_scatter():
    """Where the noise dominates the stellar lines (the faint blue
    orders), the errors equal the pixel-to-pixel scatter: the e2ds holds
    electrons, and the read noise is that of a few pixels."""
    s = read_spectrum(sample(E2DS))
    for order in range(0, 25, 4):
        flux, err = s.flux[order, 1500:2600], s.flux_err[order, 1500:2600]
        second = flux[1:-1] - 0.5 * (flux[:-2] + flux[2:])
        mad = np.median(np.abs(second - np.median(second)))
        scatter = 1.4826 * mad / np.sqrt(1.5)
        assert np.median(err) == pytest.approx(scatter, rel=0.12)


@needs_realdata
def test_e2ds_header_solution_agrees_with_wave_file():
    header = fits.getheader(sample(E2DS))
    wave = poly_wavelengths(dict(header), "ESO", 72, 4096)
    with fits.open(sample(WAVE)) as hdus:
        from_file = hdus[0].data.astype(float)
    assert np.abs(wave - from_file).max() < 1e-3
    given = read_spectrum(sample(E2DS), wave_path=sample(WAVE))
    assert np.abs(given.wave - wave).max() < 1e-3


@needs_realdata
def test_e2ds_blaze_divided_out_of_flux_and_errors(tmp_path):
    counts = fits.getdata(sample(E2DS)).astype(float)
    blaze = fits.getdata(sample(BLAZE)).astype(float)
    s = read_spectrum(sample(E2DS))
    np.testing.assert_allclose(s.flux, counts / blaze, rtol=1e-12)
    # Errors were made in electrons, then divided by the same blaze.
    ron = s.header["ESO DRS CCD SIGDET"]
    good = ~s.bad
    assert np.all(s.bad[counts <= 0])
    expected = np.sqrt(counts[good] + 4.0 * ron**2) / blaze[good]
    np.testing.assert_allclose(s.flux_err[good], expected, rtol=1e-12)
    # Without its blaze file beside it, the flux keeps the blaze.
    shutil.copy(sample(E2DS), tmp_path)
    alone = read_spectrum(tmp_path / E2DS)
    np.testing.assert_array_equal(alone.flux, counts)
    assert any("blaze" in note for note in alone.notes)
    given = read_spectrum(tmp_path / E2DS, blaze_path=sample(BLAZE))
    np.testing.assert_array_equal(given.flux, s.flux)


@needs_realdata
def test_phase3_nan_errors_fall_back():
    s = read_spectrum(sample(PHASE3))
    assert s.err_source == "header-snr"
    assert any("NaN throughout" in note for note in s.notes)
    opted = read_spectrum(sample(PHASE3), snr=40.0)
    assert opted.err_source == "snr"
    with pytest.raises(InputError, match="no flux errors"):
        read_spectrum(sample(PHASE3), instrument="none")


def _without_poly(header):
    for key in [k for k in header if "CAL TH COEFF" in k]:
        del header[key]


@needs_realdata
def test_wave_file_with_a_spoilt_card_is_read(tmp_path):
    """The wave file beside an e2ds without a header solution has cards
    astropy cannot parse; they are skipped."""
    shutil.copy(sample(WAVE), tmp_path)
    with fits.open(sample(E2DS)) as hdus:
        _without_poly(hdus[0].header)
        hdus.writeto(tmp_path / E2DS)
    s = read_spectrum(tmp_path / E2DS)
    with fits.open(sample(WAVE)) as hdus:
        np.testing.assert_array_equal(s.wave, hdus[0].data)
    assert any(WAVE in note for note in s.notes)
    (tmp_path / WAVE).unlink()
    with pytest.raises(InputError, match="wave file") as info:
        read_spectrum(tmp_path / E2DS)
    assert "\n" not in str(info.value)


def _spoil(path, key, value):
    raw = bytearray(path.read_bytes())
    card = raw.index(key.encode())
    at = raw.index(value.encode(), card)
    raw[at + 1] = ord("@")
    path.write_bytes(bytes(raw))


@pytest.mark.parametrize("needed", [False, True])
def test_spoilt_card_skipped_unless_needed(tmp_path, needed):
    path = tmp_path / "spoilt.fits"
    header = fits.Header({"CRVAL1": 5000.0, "CDELT1": 0.01, "CRPIX1": 1.0,
                          "MJD-OBS": 60000.5, "TEMP": 12.25})
    fits.PrimaryHDU(np.ones(100), header=header).writeto(path)
    _spoil(path, "TEMP", "12.25")
    if needed:
        with pytest.raises(InputError, match="unreadable FITS header card"):
            read_spectrum(path, snr=50.0, time_key="TEMP")
        return
    s = read_spectrum(path, snr=50.0)
    assert s.time == 60000.5
    assert any("'TEMP'" in note for note in s.notes)


def _harpsn(path, header, data):
    """A HARPS-N file: the HARPS header with TNG keys."""
    out = fits.Header()
    for card in header.cards:
        key = card.keyword
        if key.startswith("ESO "):
            key = "HIERARCH TNG " + key[4:]
        out[key] = card.value
    out["TELESCOP"] = "TNG"
    out["INSTRUME"] = "HARPN"
    fits.PrimaryHDU(data, header=out).writeto(path)


@needs_realdata
def test_harps_n_keys(tmp_path):
    with fits.open(sample(E2DS)) as hdus:
        header = hdus[0].header.copy()
        data = hdus[0].data[:3].copy()
    deg = header["ESO DRS CAL TH DEG LL"]
    for key in [k for k in header if "CAL TH COEFF LL" in k]:
        if int(key.rsplit("LL", 1)[1]) >= 3 * (deg + 1):
            del header[key]
    _harpsn(tmp_path / "e2ds.fits", header, data)
    s = read_spectrum(tmp_path / "e2ds.fits")
    assert (s.profile, s.frame, s.err_source) == (
        "HARPS-N-e2ds", "observer", "photon+read")
    assert s.berv == pytest.approx(15257.6897037435)
    assert s.time_key == "TNG DRS BJD" and s.wave.shape == (3, 4096)
    with fits.open(sample(S1D)) as hdus:
        header = hdus[0].header.copy()
        data = hdus[0].data.copy()
    _harpsn(tmp_path / "s1d.fits", header, data)
    s1d = read_spectrum(tmp_path / "s1d.fits")
    assert (s1d.profile, s1d.frame, s1d.err_source) == (
        "HARPS-N-s1d", "barycentric", "header-snr")


@needs_realdata
def test_user_options_override_the_profile():
    s = read_spectrum(sample(S1D), time_key="MJD-OBS", berv_key="ESO DRS BERV",
                      berv_unit="m/s", snr=25.0)
    assert s.time_key == "MJD-OBS" and s.time == pytest.approx(55457.98791873)
    assert s.berv == pytest.approx(-23.5438771778635)
    assert s.err_source == "snr" and s.profile == "HARPS-s1d"


@needs_realdata
def test_instrument_none_is_the_generic_reading():
    s = read_spectrum(sample(S1D), instrument="none", snr=50.0)
    with fits.open(sample(S1D)) as hdus:
        flux = hdus[0].data.astype(float)
        h = hdus[0].header
    assert s.profile is None and s.format == "fits-image"
    assert (s.frame, s.medium, s.berv, s.ground_based) == (
        "observer", "unknown", 0.0, False)
    np.testing.assert_array_equal(s.flux, flux)
    wave = h["CRVAL1"] + h["CDELT1"] * np.arange(flux.size)
    np.testing.assert_allclose(s.wave, wave, rtol=0, atol=1e-6)
    good = ~s.bad
    np.testing.assert_array_equal(
        s.flux_err[good], errors_from_snr(flux, 50.0)[good])
    assert s.bad[(s.wave > 5310.0) & (s.wave < 5330.0)].all()


@needs_realdata
@pytest.mark.parametrize(
    "name, instrument, message",
    [
        (S1D, "HARPS-e2ds", "not a HARPS-e2ds file"),
        ("HD41248_1_1_S1D_A.fits", "HARPS-s1d", "not a HARPS-s1d file"),
        (E2DS, "ESPRESSO-S2D", "not a ESPRESSO-S2D file"),
        (S1D, "FEROS", "instrument 'FEROS' is unknown"),
    ],
)
def test_forced_profile_that_does_not_fit(name, instrument, message):
    with pytest.raises(InputError, match=message) as info:
        read_spectrum(sample(name), instrument=instrument)
    assert "\n" not in str(info.value)


@needs_realdata
@pytest.mark.parametrize(
    "name",
    ["HARPS.2003-12-13T06:19:48.371_ccf_M2_A.fits",
     "HARPS.2006-07-05T03:52:40.071_ccf_G2_A.fits"],
)
def test_ccf_file_is_refused(name):
    with pytest.raises(InputError, match="CCF.*not a spectrum") as info:
        read_spectrum(sample(name))
    assert "\n" not in str(info.value)


@pytest.mark.parametrize(
    "instrument, catg",
    [("ESPRESSO", "S2D_BLAZE_A"), ("HARPS", "S2D_BLAZE_A"),
     ("ESPRESSO", "S2D_A")],
)
def test_espresso_pipeline_s2d_blaze(tmp_path, instrument, catg):
    """S2D_BLAZE_A still holds the blaze, named in the header; S2D_A does
    not.  The pipeline writes the same layout for HARPS."""
    shape = (3, 50)
    wave = 5000.0 + np.arange(150.0).reshape(shape) * 0.02
    blaze = np.full(shape, 0.5)
    blaze[:, 0] = 0.0
    flux = np.full(shape, 100.0)
    quality = np.zeros(shape, dtype=np.int32)
    quality[1, 10] = 16384
    primary = fits.PrimaryHDU(header=fits.Header({
        "INSTRUME": instrument,
        "HIERARCH ESO PRO CATG": catg,
        "HIERARCH ESO PRO REC1 CAL1 CATG": "BLAZE_A",
        "HIERARCH ESO PRO REC1 CAL1 NAME": "blaze.fits",
        "HIERARCH ESO QC BJD": 2458430.5,
        "HIERARCH ESO QC BERV": 1.5,
    }))
    fits.HDUList([
        primary,
        fits.ImageHDU(flux, name="SCIDATA"),
        fits.ImageHDU(np.full(shape, 10.0), name="ERRDATA"),
        fits.ImageHDU(quality, name="QUALDATA"),
        fits.ImageHDU(wave, name="WAVEDATA_VAC_BARY"),
        fits.ImageHDU(wave - 1.4, name="WAVEDATA_AIR_BARY"),
    ]).writeto(tmp_path / "s2d.fits")
    fits.PrimaryHDU().writeto(tmp_path / "blaze.fits")
    fits.append(tmp_path / "blaze.fits", blaze)
    s = read_spectrum(tmp_path / "s2d.fits")
    assert (s.profile, s.medium, s.berv) == ("ESPRESSO-S2D", "vacuum", 1500.0)
    divided = catg == "S2D_BLAZE_A"
    assert s.flux[0, 5] == (200.0 if divided else 100.0)
    assert s.flux_err[0, 5] == (20.0 if divided else 10.0)
    assert s.bad[1, 10] and s.bad[:, 0].all() == divided
    assert s.bad.sum() == (4 if divided else 1)
    np.testing.assert_array_equal(s.wave, wave)


@pytest.mark.parametrize(
    "flux, bad",
    [
        ([5.0, 0.0, 5.0, 5.0], [0, 0, 0, 0]),  # one zero may be data
        ([5.0, 0.0, 0.0, 5.0], [0, 1, 1, 0]),  # a zero-filled run
        ([1e-58, 5.0, 5.0, 5.0], [1, 0, 0, 0]),  # a fill value
        ([-3.0, 5.0, 5.0, 5.0], [0, 0, 0, 0]),  # noise, not a fill value
    ],
)
def test_zero_filled(flux, bad):
    np.testing.assert_array_equal(zero_filled(np.array(flux)), bad)


def test_errors_from_order_snr_takes_the_nearest_order():
    wave = np.linspace(5000.0, 5100.0, 1001)
    flux = np.where(wave < 5050.0, 100.0, 400.0)
    err = errors_from_order_snr(wave, flux, np.array([5080.0, 5020.0]),
                                np.array([200.0, 50.0]))
    np.testing.assert_allclose(err[wave < 5049.0], 2.0)
    np.testing.assert_allclose(err[wave > 5051.0], 2.0)


def test_profile_table_lists_every_profile():
    names = [row["name"] for row in profile_table()]
    assert {"HARPS-s1d", "HARPS-e2ds", "HARPS-N-s1d", "HARPS-N-e2ds",
            "ESPRESSO-S1D", "ESPRESSO-S2D", "ESO-Phase3"} <= set(names)
    assert all(row["frame"] and row["medium"] for row in profile_table())
