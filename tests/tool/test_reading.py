"""The spectrum readers, on files these tests write (astropy writes the
FITS): every format reads back the arrays written, and every kind of bad
file gives one InputError naming the file and the fault."""

import numpy as np
import pytest
from astropy.io import fits
from astropy.table import Table

from quasmir_tool import InputError, read_spectrum
from quasmir_tool.reading import READERS, errors_from_snr

WAVE = np.linspace(5000.0, 5010.0, 501)
FLUX = 1.0 - 0.4 * np.exp(-(((WAVE - 5005.0) / 0.08) ** 2))
ERR = np.full_like(WAVE, 0.01) * (1.0 + WAVE / 1e5)


def savez(path, **arrays):
    """np.savez without its appending of ``.npz`` to the name."""
    with open(path, "wb") as f:
        np.savez(f, **arrays)


def write_csv(path, names=("wavelength", "flux", "error"), delimiter=","):
    np.savetxt(
        path,
        np.c_[WAVE, FLUX, ERR],
        delimiter=delimiter,
        header=delimiter.join(names),
        comments="",
    )


def write_linear_image(path, **keys):
    header = fits.Header()
    header["CRVAL1"] = WAVE[0]
    header["CDELT1"] = WAVE[1] - WAVE[0]
    header["CRPIX1"] = 1.0
    header.update(keys)
    hdus = [fits.PrimaryHDU(FLUX, header=header)]
    hdus.append(fits.ImageHDU(ERR, name="ERR"))
    fits.HDUList(hdus).writeto(path)


WRITERS = {
    "csv": lambda p: write_csv(p),
    "csv-upper-case": lambda p: write_csv(p, ("WAVE", "Flux", "SIGMA")),
    "csv-flux_err": lambda p: write_csv(p, ("lambda", "flux", "flux_err")),
    "whitespace": lambda p: write_csv(p, ("wave", "flux", "err"), " "),
    "whitespace-by-position": lambda p: np.savetxt(p, np.c_[WAVE, FLUX, ERR]),
    "npz": lambda p: savez(p, wave=WAVE, flux=FLUX, err=ERR),
    "fits-table": lambda p: Table(
        {"WAVELENGTH": WAVE, "FLUX": FLUX, "ERROR": ERR}
    ).write(p, format="fits"),
    "fits-table-vector-row": lambda p: Table(
        {"wave": [WAVE], "flux": [FLUX], "err": [ERR]}
    ).write(p, format="fits"),
    "fits-image-cdelt": write_linear_image,
    "fits-image-cd": lambda p: write_linear_image(
        p, CDELT1=None, CD1_1=WAVE[1] - WAVE[0]
    ),
}


def _clean_header(path, **keys):
    """Rewrite a FITS file with header keys set (None deletes)."""
    with fits.open(path) as hdus:
        for key, value in keys.items():
            if value is None:
                del hdus[0].header[key]
            else:
                hdus[0].header[key] = value
        hdus.writeto(path, overwrite=True)


@pytest.mark.parametrize("kind", list(WRITERS))
def test_formats_read_back(tmp_path, kind):
    path = tmp_path / f"spec-{kind}.dat"  # the name says nothing
    WRITERS[kind](path)
    if kind == "fits-image-cd":
        _clean_header(path, CDELT1=None)
    spectrum = read_spectrum(path)
    np.testing.assert_allclose(spectrum.wave, WAVE, rtol=1e-12)
    np.testing.assert_allclose(spectrum.flux, FLUX, rtol=1e-12)
    np.testing.assert_allclose(spectrum.flux_err, ERR, rtol=1e-12)
    assert spectrum.err_source == "file"
    assert spectrum.path == str(path)
    assert spectrum.format in {r.name for r in READERS}


def test_crpix_counts_from_one(tmp_path):
    # Pixel CRPIX1 (counted from 1) has wavelength CRVAL1.
    path = tmp_path / "s.fits"
    write_linear_image(path, CRVAL1=WAVE[10], CRPIX1=11.0)
    np.testing.assert_allclose(read_spectrum(path).wave, WAVE, rtol=1e-12)


@pytest.mark.parametrize(
    "keys",
    [
        {"CTYPE1": "WAVE-LOG", "CUNIT1": "Angstrom"},
        {"CTYPE1": "WAVE-LOG"},
        {"DC-FLAG": 1},
    ],
    ids=["WAVE-LOG", "WAVE-LOG-no-unit", "DC-FLAG"],
)
def test_log_linear_solutions(tmp_path, keys):
    n = 400
    if "DC-FLAG" in keys:
        # IRAF: CRVAL1 and CDELT1 in log10(wavelength).
        step, start = 2e-6, np.log10(5000.0)
        expected = 10.0 ** (start + step * np.arange(n))
        keys = dict(keys, CRVAL1=start, CDELT1=step)
    else:
        # FITS: wave = CRVAL1 * exp(CDELT1 * (p - CRPIX1) / CRVAL1).
        step, start = 0.02, 5000.0
        expected = start * np.exp(step * np.arange(n) / start)
        keys = dict(keys, CRVAL1=start, CDELT1=step)
    header = fits.Header()
    header["CRPIX1"] = 1.0
    header.update(keys)
    path = tmp_path / "log.fits"
    fits.PrimaryHDU(np.ones(n), header=header).writeto(path)
    spectrum = read_spectrum(path, snr=100.0)
    np.testing.assert_allclose(spectrum.wave, expected, rtol=1e-12)
    assert spectrum.err_source == "snr"


@pytest.mark.parametrize("where", ["extension", "file"])
def test_echelle(tmp_path, where):
    wave = np.stack([WAVE, WAVE + 10.0, WAVE + 20.0])
    flux = np.stack([FLUX, FLUX * 0.9, FLUX * 0.8])
    path = tmp_path / "e2ds.fits"
    hdus = [fits.PrimaryHDU(flux), fits.ImageHDU(flux * 0.01, name="ERR")]
    wave_path = None
    if where == "extension":
        hdus.append(fits.ImageHDU(wave, name="WAVE"))
    else:
        wave_path = tmp_path / "wave.fits"
        fits.PrimaryHDU(wave).writeto(wave_path)
    fits.HDUList(hdus).writeto(path)
    spectrum = read_spectrum(path, wave_path=wave_path)
    assert spectrum.n_orders == 3
    np.testing.assert_array_equal(spectrum.wave, wave)
    np.testing.assert_array_equal(spectrum.flux, flux)
    np.testing.assert_array_equal(spectrum.flux_err, flux * 0.01)


def test_echelle_without_wavelengths(tmp_path):
    path = tmp_path / "e2ds.fits"
    fits.PrimaryHDU(np.ones((2, 50))).writeto(path)
    with pytest.raises(InputError, match="e2ds.fits: a 2-D .*wavelength"):
        read_spectrum(path)


def test_length_units_become_angstrom(tmp_path):
    table = Table({"wave": WAVE / 10.0, "flux": FLUX, "err": ERR})
    table["wave"].unit = "nm"
    path = tmp_path / "nm.fits"
    table.write(path)
    np.testing.assert_allclose(read_spectrum(path).wave, WAVE, rtol=1e-12)


@pytest.mark.parametrize(
    "header, time_key, expected",
    [
        ({"BJD": 2460001.25, "MJD-OBS": 60000.0}, None, ("BJD", 2460001.25)),
        (
            {"MJD-OBS": 60000.5, "DATE-OBS": "2020-01-01"},
            None,
            ("MJD-OBS", 60000.5),
        ),
        ({"DATE-OBS": "2023-02-25T12:00:00"}, None, ("DATE-OBS", 60000.5)),
        (
            {"BJD": 2460001.25, "MJD-OBS": 60000.0},
            "MJD-OBS",
            ("MJD-OBS", 60000.0),
        ),
        (
            {"HIERARCH ESO DRS BJD": 2460002.0},
            "HIERARCH ESO DRS BJD",
            ("HIERARCH ESO DRS BJD", 2460002.0),
        ),
        ({}, None, (None, None)),
    ],
    ids=["bjd", "mjd", "date", "chosen", "hierarch", "none"],
)
def test_time(tmp_path, header, time_key, expected):
    path = tmp_path / "t.fits"
    write_linear_image(path, **header)
    spectrum = read_spectrum(path, time_key=time_key)
    assert (spectrum.time_key, spectrum.time) == expected


@pytest.mark.parametrize(
    "value, unit, m_s",
    [
        (12.5, "km/s", 12500.0),
        (-300.0, "m/s", -300.0),
        (1.0, "km / h", 1000.0 / 3600.0),
    ],
)
def test_berv_units(tmp_path, value, unit, m_s):
    path = tmp_path / "b.fits"
    write_linear_image(path, BERV=value)
    spectrum = read_spectrum(path, berv_key="berv", berv_unit=unit)
    assert spectrum.berv == pytest.approx(m_s, rel=1e-14)
    assert read_spectrum(path).berv == 0.0


def test_text_header_comments_and_npz_scalars(tmp_path):
    text = tmp_path / "s.txt"
    with open(text, "w") as f:
        f.write("# BJD = 2460003.5\n# BERV: -7.25\n")
        np.savetxt(f, np.c_[WAVE, FLUX, ERR])
    spectrum = read_spectrum(text, berv_key="BERV")
    assert (spectrum.time, spectrum.berv) == (2460003.5, -7250.0)
    archive = tmp_path / "s.npz"
    savez(archive, wave=WAVE, flux=FLUX, err=ERR, bjd=2460004.0)
    assert read_spectrum(archive).time == 2460004.0


@pytest.mark.parametrize("option", ["snr", "photon", "none", "both"])
def test_missing_errors(tmp_path, option):
    path = tmp_path / "noerr.csv"
    np.savetxt(
        path,
        np.c_[WAVE, FLUX * 1e4],
        delimiter=",",
        header="wave,flux",
        comments="",
    )
    if option == "snr":
        spectrum = read_spectrum(path, snr=50.0)
        # The continuum (95th percentile) has exactly the given S/N.
        continuum = np.percentile(spectrum.flux, 95.0)
        assert continuum / np.max(spectrum.flux_err) == pytest.approx(50.0)
        np.testing.assert_allclose(
            spectrum.flux_err,
            np.sqrt(spectrum.flux * continuum) / 50.0,
        )
        assert spectrum.err_source == "snr"
    elif option == "photon":
        spectrum = read_spectrum(path, photon_noise=True)
        np.testing.assert_allclose(spectrum.flux_err, np.sqrt(FLUX * 1e4))
        assert spectrum.err_source == "photon"
    elif option == "none":
        with pytest.raises(InputError, match="noerr.csv: no flux errors"):
            read_spectrum(path)
        master = read_spectrum(path, need_errors=False)
        assert master.err_source == "none"
    else:
        with pytest.raises(InputError, match="either snr or photon_noise"):
            read_spectrum(path, snr=10.0, photon_noise=True)


def test_snr_errors_per_order():
    flux = np.stack([np.full(20, 100.0), np.full(20, 400.0)])
    err = errors_from_snr(flux, 20.0)
    np.testing.assert_allclose(err, flux / 20.0)


def _descending(p):
    np.savetxt(p, np.c_[WAVE[::-1], FLUX, ERR])


def _duplicated(p):
    wave = WAVE.copy()
    wave[7] = wave[6]
    np.savetxt(p, np.c_[wave, FLUX, ERR])


def _nan_wave(p):
    wave = WAVE.copy()
    wave[3] = np.nan
    savez(p, wave=wave, flux=FLUX, err=ERR)


def _truncated(p):
    write_linear_image(p)
    data = p.read_bytes()
    p.write_bytes(data[: len(data) - 3000])


def _no_solution(p):
    fits.PrimaryHDU(FLUX).writeto(p)


def _truncated_npz(p):
    savez(p, wave=WAVE, flux=FLUX, err=ERR)
    p.write_bytes(p.read_bytes()[:40])


def _string_bitpix(p):
    write_linear_image(p)
    data = bytearray(p.read_bytes())
    value = data.index(b"-64", data.index(b"BITPIX"))
    data[value:value + 3] = b"'x'"
    p.write_bytes(bytes(data))


def _spoilt_card(p):
    write_linear_image(p, **{"MJD-OBS": 60000.5})
    data = bytearray(p.read_bytes())
    value = data.index(b"60000.5", data.index(b"MJD-OBS"))
    data[value + 1] = ord("@")
    p.write_bytes(bytes(data))


BAD = {
    "missing": (lambda p: None, "no such file"),
    "directory": (lambda p: p.mkdir(), "is a directory"),
    "empty": (lambda p: p.write_bytes(b""), "empty file"),
    "binary": (
        lambda p: p.write_bytes(bytes(range(256)) * 8),
        "unreadable format",
    ),
    "text-not-table": (
        lambda p: p.write_text("hello\nworld, 1, 2, 3\n"),
        "not a readable table|no wavelength column",
    ),
    "truncated-fits": (_truncated, "unreadable FITS"),
    "no-wave-column": (
        lambda p: write_csv(p, ("x", "flux", "err")),
        r"no wavelength column \(found: x, flux, err\)",
    ),
    "newline-in-column-name": (
        lambda p: p.write_text('"x\ny",flux,err\n1,2,3\n2,3,4\n'),
        r"no wavelength column \(found: 'x\\ny', flux, err\)",
    ),
    "no-flux-column": (
        lambda p: write_csv(p, ("wave", "f", "err")),
        "no flux column",
    ),
    "no-flux-npz": (lambda p: savez(p, wave=WAVE), "no flux column"),
    "no-columns-fits-table": (
        lambda p: Table({"a": WAVE, "b": FLUX}).write(p, format="fits"),
        r"no wavelength column \(found: a, b\)",
    ),
    "one-column": (lambda p: np.savetxt(p, WAVE), "1 column"),
    "descending": (_descending, "not ascending at pixel 1"),
    "duplicated": (_duplicated, r"not ascending at pixel 7 \(5000.12 then"),
    "nan-wavelength": (_nan_wave, "1 non-finite wavelength.*pixel 3"),
    "no-solution": (_no_solution, "no wavelength solution"),
    # wcslib's report of a singular solution is several lines long.
    "zero-step": (
        lambda p: write_linear_image(p, CDELT1=0.0),
        r"CDELT1 = 0.0 is not a non-zero number",
    ),
    "zero-step-cd": (
        lambda p: write_linear_image(p, CD1_1=0.0),
        r"CD1_1 = 0.0 is not a non-zero number",
    ),
    "singular-pc": (
        lambda p: write_linear_image(p, PC1_1=0.0),
        "unreadable wavelength solution",
    ),
    "truncated-npz": (_truncated_npz, "not a readable npz archive"),
    "string-bitpix": (_string_bitpix, "unreadable FITS file"),
    "spoilt-header-card": (
        _spoilt_card,
        "unreadable FITS header card 'MJD-OBS'",
    ),
    "negative-error": (
        lambda p: savez(
            p, wave=WAVE, flux=FLUX, err=ERR * np.sign(WAVE - 5005.0)
        ),
        "250 negative flux error",
    ),
    "not-a-number": (
        lambda p: p.write_text("wave,flux,err\n1,a,2\n2,b,3\n"),
        "not numeric",
    ),
}


@pytest.mark.parametrize("case", list(BAD))
def test_bad_files(tmp_path, case):
    make, message = BAD[case]
    path = tmp_path / f"bad-{case}"
    make(path)
    with pytest.raises(InputError, match=message) as info:
        read_spectrum(path)
    text = str(info.value)
    assert text.startswith(f"read_spectrum: {path}") and "\n" not in text


def test_missing_file_is_also_a_file_not_found_error(tmp_path):
    with pytest.raises(FileNotFoundError, match="no such file") as info:
        read_spectrum(tmp_path / "absent.fits")
    assert isinstance(info.value, InputError)
    path = tmp_path / "s.fits"
    write_linear_image(path)
    with pytest.raises(FileNotFoundError, match="wave_path .*no such file"):
        read_spectrum(path, wave_path=tmp_path / "absent-wave.fits")


def test_truncated_npz_leaves_no_file_open(tmp_path):
    import gc
    import warnings

    path = tmp_path / "s.npz"
    _truncated_npz(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ResourceWarning)
        with pytest.raises(InputError):
            read_spectrum(path)
        gc.collect()
    assert not [w for w in caught if w.category is ResourceWarning]


@pytest.mark.parametrize(
    "options, message",
    [
        ({"time_key": "NOPE"}, "time_key 'NOPE': no such header key"),
        ({"berv_key": "BERV"}, "berv_key 'BERV': no such header key"),
        ({"berv_key": "DATE-OBS"}, "is not a number"),
        ({"berv_key": "BERV", "berv_unit": "parsec"}, "not a unit of vel"),
        ({"time_key": "OBJECT"}, "OBJECT = 'x' is not a time"),
        ({"snr": -1.0}, "snr must be a positive number, not -1.0"),
        ({"snr": "10"}, "snr must be a positive number, not '10'"),
        ({"format": "hdf5"}, "format 'hdf5' is unknown"),
        ({"wave_path": "nowhere.fits"}, "wave_path nowhere.fits: no such"),
    ],
)
def test_bad_options(tmp_path, options, message):
    path = tmp_path / "s.fits"
    write_linear_image(path, **{"DATE-OBS": "2020-01-01", "OBJECT": "x"})
    with pytest.raises(InputError, match=message) as info:
        read_spectrum(path, **options)
    assert str(info.value).startswith("read_spectrum: ")


@pytest.mark.parametrize("argument", ["path", "wave_path"])
def test_path_of_wrong_type(tmp_path, argument):
    options = {"path": tmp_path / "s.fits", argument: 3.5}
    with pytest.raises(TypeError, match=f"read_spectrum: {argument} must"):
        read_spectrum(**options)


def test_mismatched_shapes(tmp_path):
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=FLUX[:-1], err=ERR)
    with pytest.raises(InputError, match=r"flux has shape \(500,\)"):
        read_spectrum(path)


def test_nan_flux_is_kept(tmp_path):
    # A NaN pixel is the measurement's business (it drops the line).
    flux = FLUX.copy()
    flux[100] = np.nan
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=flux, err=ERR)
    assert np.isnan(read_spectrum(path).flux[100])


def test_image_unit_becomes_angstrom(tmp_path):
    path = tmp_path / "nm.fits"
    write_linear_image(
        path,
        CTYPE1="WAVE",
        CUNIT1="nm",
        CRVAL1=WAVE[0] / 10.0,
        CDELT1=(WAVE[1] - WAVE[0]) / 10.0,
    )
    np.testing.assert_allclose(read_spectrum(path).wave, WAVE, rtol=1e-12)


def test_gzipped_fits(tmp_path):
    import gzip

    plain = tmp_path / "s.fits"
    write_linear_image(plain)
    packed = tmp_path / "s.fits.gz"
    packed.write_bytes(gzip.compress(plain.read_bytes()))
    spectrum = read_spectrum(packed)
    assert spectrum.format == "fits-image"
    np.testing.assert_allclose(spectrum.flux, FLUX)


@pytest.mark.parametrize(
    "spoil, bad_pixels",
    [
        (lambda f: f.__setitem__(slice(200, 230), 0.0), range(200, 230)),
        (lambda f: f.__setitem__(100, np.nan), [100]),
        (lambda f: f.__setitem__(slice(0, 3), 1e-58), range(0, 3)),
        (lambda f: f.__setitem__(300, 0.0), []),  # one zero may be data
    ],
)
def test_generic_bad_pixels(tmp_path, spoil, bad_pixels):
    flux = FLUX.copy()
    spoil(flux)
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=flux, err=ERR)
    spectrum = read_spectrum(path)
    assert np.flatnonzero(spectrum.bad).tolist() == list(bad_pixels)
    assert spectrum.profile is None and not spectrum.ground_based


@pytest.mark.parametrize("fill", [np.nan, 0.0, -1.0])
def test_unusable_error_column_falls_back(tmp_path, fill):
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=FLUX, err=np.full_like(ERR, fill))
    with pytest.raises(InputError, match="no flux errors"):
        read_spectrum(path)
    spectrum = read_spectrum(path, snr=80.0)
    assert spectrum.err_source == "snr"
    np.testing.assert_allclose(spectrum.flux_err, errors_from_snr(FLUX, 80.0))
    assert any("throughout: ignored" in n for n in spectrum.notes)


def test_derived_errors_not_tiny_at_bad_pixels(tmp_path):
    flux = FLUX.copy() * 1e4
    flux[200:230] = 0.0
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=flux)
    spectrum = read_spectrum(path, photon_noise=True)
    good = spectrum.flux_err[~spectrum.bad]
    assert np.all(spectrum.flux_err[200:230] == good.max())


def test_blaze_path_missing(tmp_path):
    path = tmp_path / "s.npz"
    savez(path, wave=WAVE, flux=FLUX, err=ERR)
    with pytest.raises(InputError, match="blaze_path .*: no such file"):
        read_spectrum(path, blaze_path=tmp_path / "nowhere.fits")


@pytest.mark.parametrize("cards", [
    {"CRVAL1": 3781.73, "CDELT1": 0.01, "CRPIX1": 1.0, "CTYPE1": "Angstrom"},
    {"CRVAL1": 5000.0, "CDELT1": 0.013, "CRPIX1": 17.5},
    {"CRVAL1": 4000.123456789, "CD1_1": 0.0217, "CTYPE1": "WAVE"},
])
def test_plain_linear_solution_is_wcslib_bit_for_bit(cards):
    from astropy.io import fits
    from astropy.wcs import WCS

    from quasmir_tool.reading import _plain_linear, _wcs_wave

    header = fits.Header({"NAXIS": 1, "NAXIS1": 5000, **cards})
    assert _plain_linear(header)
    wave = _wcs_wave(header, 5000, "x.fits")
    ref = WCS(header, naxis=[1], relax=True, fix=True).pixel_to_world_values(
        np.arange(5000, dtype=float))
    assert np.array_equal(wave, ref)
