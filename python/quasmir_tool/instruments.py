"""Instrument profiles: how the pipeline products of HARPS, HARPS-N and
ESPRESSO (and ESO's archive 1-D spectra) are to be read.

A profile knows where a product keeps its flux, errors, quality flags and
wavelengths, whether those are in air or vacuum and in the observer's or
the barycentric frame, which header keys give the time (BJD) and the BERV,
whether the blaze is still in the flux, and how to make errors when the
file has none.  Profiles are registered in `PROFILES` by
`register_profile`; `read_spectrum(..., instrument="auto")` takes the
first whose identifier accepts the file's header.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from .errors import InputError
from .reading import (
    Prepared,
    Raw,
    Source,
    _float_array,
    _header_dict,
    _header_value,
    _image_hdus,
    _is_image,
    _named,
    _open_fits_noted,
    _table_hdu,
    errors_from_snr,
    read_fits_image,
    read_fits_table,
)

__all__ = [
    "PROFILES",
    "Profile",
    "errors_from_order_snr",
    "prepare_with_profile",
    "profile_table",
    "register_profile",
]

C_KM_S = 299792.458

# Read noise of an optimally extracted pixel: the extraction weights the
# pixels across the order by the fibre's profile P (sum P = 1), so its
# read-noise variance is RON**2 / sum(P**2) = RON**2 * 2 sqrt(pi) sigma for
# a Gaussian profile; for the HARPS fibre image (FWHM about 2.7 px, sigma
# 1.15 px) that is 4 pixels' worth of read noise per extracted pixel.  The
# scatter of the faint orders of a real e2ds (variance = flux + 4 RON**2
# within 10 %) agrees.
READOUT_PIXELS = 4.0


@dataclass
class Profile:
    """A registered instrument product and what is known about it."""

    name: str
    identified_by: str
    frame: str
    medium: str
    time_key: str
    berv_key: str
    errors: str
    blaze: str
    identify: Callable[[Source], bool]
    read: Callable[[Source, str | None], Prepared]


PROFILES: list[Profile] = []


def register_profile(profile: Profile) -> Profile:
    """Register (or replace, by name) an instrument profile; profiles are
    tried in the order of registration."""
    PROFILES[:] = [p for p in PROFILES if p.name != profile.name]
    PROFILES.append(profile)
    return profile


def profile_table() -> list[dict]:
    """One row per profile: name, identified by, frame, medium, time key,
    BERV key, errors and blaze (for the documentation)."""
    return [
        {
            "name": p.name,
            "identified by": p.identified_by,
            "frame": p.frame,
            "medium": p.medium,
            "time key": p.time_key,
            "BERV key": p.berv_key,
            "errors": p.errors,
            "blaze": p.blaze,
        }
        for p in PROFILES
    ]


def prepare_with_profile(
    source: Source, instrument: str, blaze_path: str | None
) -> Prepared | None:
    """The file read by the profile named `instrument`, or by the first
    profile that fits for ``"auto"`` (None when none fits)."""
    if source.hdus is None and instrument == "auto":
        return None
    if instrument == "auto":
        _refuse_ccf(source)
        found = next((p for p in PROFILES if _fits(p, source)), None)
        return None if found is None else found.read(source, blaze_path)
    wanted = instrument.lower()
    chosen = next((p for p in PROFILES if p.name.lower() == wanted), None)
    if chosen is None:
        names = ", ".join(["auto", "none"] + [p.name for p in PROFILES])
        raise InputError(
            f"instrument {instrument!r} is unknown (known: {names})"
        )
    if source.hdus is None or not _fits(chosen, source):
        raise InputError(
            f"{source.path}: not a {chosen.name} file "
            f"(a {chosen.name} file has {chosen.identified_by})"
        )
    return chosen.read(source, blaze_path)


def _refuse_ccf(source: Source) -> None:
    """A pipeline's cross-correlation file passed as a spectrum (its axis
    is a velocity) is refused by name rather than misread."""
    if source.hdus is None:
        return
    header = _primary(source)
    if _is_velocity_axis(header) or any(
        k.endswith(" DRS CCF RVC") for k in header
    ):
        raise InputError(
            f"{source.path}: a cross-correlation function (CCF) file, not "
            "a spectrum"
        )


def _fits(profile: Profile, source: Source) -> bool:
    try:
        return bool(profile.identify(source))
    except (KeyError, TypeError, ValueError, AttributeError, IndexError):
        return False


# --------------------------------------------------------------------------
# Helpers


def _primary(source: Source) -> dict:
    """The primary header as a dict, parsed once per file."""
    if 0 not in source.headers:
        source.headers[0] = _header_dict(source.hdus[0].header)
    return source.headers[0]


def _text(header: dict, key: str) -> str:
    value = _header_value(header, key)
    return "" if value is None else str(value).strip().upper()


def _number(header: dict, key: str) -> float | None:
    value = _header_value(header, key)
    if isinstance(value, bool) or not isinstance(
        value, (int, float, np.number)
    ):
        return None
    return float(value) if np.isfinite(value) else None


def _is_velocity_axis(header: dict) -> bool:
    """A CCF file: its first axis is a velocity, not pixels."""
    return "KM/S" in _text(header, "CTYPE1") or "M/S" in _text(
        header, "CUNIT1"
    )


def _beside(source: Source, name: str | None) -> str | None:
    """The file `name` (from a header key) beside the spectrum, if there."""
    if not name:
        return None
    candidate = os.path.join(
        os.path.dirname(os.path.abspath(source.path)),
        os.path.basename(str(name).strip()),
    )
    return candidate if os.path.isfile(candidate) else None


def _image_of(path: str, shape: tuple, what: str) -> np.ndarray:
    """The first image of `path` with the given shape."""
    hdus, _ = _open_fits_noted(path)
    if hdus is None:
        raise InputError(f"{path}: not a FITS file")
    for hdu in _image_hdus(Source(path, b"", hdus)):
        if tuple(hdu.data.shape) == tuple(shape):
            return _float_array(hdu.data, what, path)
    raise InputError(f"{path}: no {what} of shape {shape}")


def order_snr(header: dict, prefix: str) -> np.ndarray:
    """S/N per order from ``<prefix> DRS SPE EXT SNnn`` (NaN where a key
    is missing); empty when there is none."""
    values = [
        _number(header, f"{prefix} DRS SPE EXT SN{i}") for i in range(200)
    ]
    snr = np.array([np.nan if v is None else v for v in values])
    present = np.flatnonzero(np.isfinite(snr))
    return snr[: present[-1] + 1] if present.size else snr[:0]


def _poly_degree(header: dict, prefix: str) -> int | None:
    deg = _number(header, f"{prefix} DRS CAL TH DEG LL")
    return None if deg is None or deg < 0 else int(deg)


def poly_wavelengths(
    header: dict, prefix: str, n_orders: int, n_pix: int
) -> np.ndarray | None:
    """Wavelengths (angstrom) of the DRS header solution: for order o,
    ``lambda = sum_i c[o*(deg+1)+i] * x**i`` with x the 0-based pixel;
    None when a coefficient is missing."""
    deg = _poly_degree(header, prefix)
    if deg is None:
        return None
    x = np.arange(n_pix, dtype=float)
    wave = np.empty((n_orders, n_pix))
    for order in range(n_orders):
        coeffs = []
        for i in range(deg + 1):
            k = order * (deg + 1) + i
            c = _number(header, f"{prefix} DRS CAL TH COEFF LL{k}")
            if c is None:
                return None
            coeffs.append(c)
        wave[order] = np.polynomial.polynomial.polyval(x, coeffs)
    return wave


def _n_poly_orders(header: dict, prefix: str) -> int:
    deg = _poly_degree(header, prefix)
    if deg is None:
        return 0
    n = 0
    while _number(
        header, f"{prefix} DRS CAL TH COEFF LL{n * (deg + 1)}"
    ) is not None:
        n += 1
    return n


def errors_from_order_snr(
    wave: np.ndarray,
    flux: np.ndarray,
    centres: np.ndarray,
    snr: np.ndarray,
) -> np.ndarray:
    """Errors of a merged 1-D spectrum from the S/N of its echelle orders.

    Each pixel takes the S/N of the order whose centre (angstrom) is
    nearest; within the pixels of one order, ``err = sqrt(max(flux,
    1e-4 c) * c) / snr`` with c the 95th percentile of their flux (the
    continuum), as in `errors_from_snr`: the continuum has the order's
    S/N and deeper pixels proportionally less noise.
    """
    order = np.argsort(centres)
    centres, snr = np.asarray(centres)[order], np.asarray(snr)[order]
    right = np.clip(np.searchsorted(centres, wave), 1, centres.size - 1)
    if centres.size == 1:
        nearest = np.zeros(wave.shape, dtype=int)
    else:
        left = right - 1
        nearest = np.where(
            np.abs(wave - centres[left]) <= np.abs(centres[right] - wave),
            left,
            right,
        )
    err = np.full(flux.shape, np.nan)
    for k in np.unique(nearest):
        where = nearest == k
        if not (np.isfinite(snr[k]) and snr[k] > 0):
            continue
        err[where] = errors_from_snr(flux[where], float(snr[k]))
    return err


def _snr_errors(
    wave: np.ndarray, centres: np.ndarray | None, snr: np.ndarray
) -> Callable[[np.ndarray], tuple[np.ndarray, str]]:
    """The error model of a 1-D spectrum from its header's S/N."""

    def model(flux: np.ndarray) -> tuple[np.ndarray, str]:
        if centres is None or snr.size == 1:
            s = float(np.nanmedian(snr)) if snr.size > 1 else float(snr[0])
            return errors_from_snr(flux, s), "header-snr"
        return errors_from_order_snr(wave, flux, centres, snr), "header-snr"

    return model


def _order_centres(
    header: dict, prefix: str, snr: np.ndarray, wave: np.ndarray, berv: float
) -> tuple[np.ndarray, np.ndarray]:
    """Centres (angstrom) of the echelle orders of a merged spectrum and
    the S/N per pixel of the merged spectrum there.

    With the DRS header solution the centres are its pixel 2048, moved to
    the barycentre by `berv` (km/s), and the order's S/N (per extracted
    pixel of width d, the dispersion at the centre) becomes the S/N per
    merged pixel of width s: ``snr * sqrt(s / d)``, which keeps the
    order's information (sum of S/N**2) when it is rebinned.  Without
    the solution, the centres are spaced evenly in 1/lambda over the
    spectrum (the centre of order m is G/m for a grating constant G) and
    the S/N is kept as it is.
    """
    poly = poly_wavelengths(header, prefix, snr.size, 4096)
    if poly is not None:
        middle = poly.shape[1] // 2
        centres = poly[:, middle] * (1.0 + berv / C_KM_S)
        dispersion = poly[:, middle + 1] - poly[:, middle]
        step = float(np.median(np.diff(wave)))
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.sqrt(step / dispersion)
        if np.all(np.isfinite(scale) & (scale > 0)):
            return centres, snr * scale
        return centres, snr
    inverse = np.linspace(1.0 / wave.min(), 1.0 / wave.max(), snr.size + 1)
    return 2.0 / (inverse[:-1] + inverse[1:]), snr


# --------------------------------------------------------------------------
# HARPS and HARPS-N DRS products (keys HIERARCH ESO ... or HIERARCH TNG ...)


def _harps_family(source: Source, prefix: str) -> dict | None:
    """The primary header of a HARPS (prefix ESO) or HARPS-N (prefix TNG)
    DRS product, else None."""
    if source.hdus is None:
        return None
    header = _primary(source)
    instrument = _text(header, "INSTRUME").replace("-", "")
    if not instrument.startswith("HARP"):
        return None
    # Science products carry the barycentric correction; calibration
    # products (wave, blaze files) do not.
    if _header_value(header, f"{prefix} DRS BERV") is None:
        return None
    if _is_velocity_axis(header):
        return None
    return header


def _harps_s1d_identify(prefix: str) -> Callable[[Source], bool]:
    def identify(source: Source) -> bool:
        header = _harps_family(source, prefix)
        return (
            header is not None
            and _is_image(source, 1)
            and "CRVAL1" in header
            and _table_hdu(source) is None
        )

    return identify


def _harps_s1d_read(prefix: str, name: str) -> Callable:
    def read(source: Source, blaze_path: str | None) -> Prepared:
        raw = read_fits_image(source)
        header = raw.header
        notes: list[str] = []
        snr = order_snr(header, prefix)
        berv = _number(header, f"{prefix} DRS BERV") or 0.0
        errors = None
        if snr.size:
            centres, per_pixel = _order_centres(
                header, prefix, snr, raw.wave, berv
            )
            errors = _snr_errors(raw.wave, centres, per_pixel)
        else:
            notes.append(
                "no S/N per order in the header: give --snr for errors"
            )
        if blaze_path is not None:
            notes.append("the s1d has no blaze: the blaze file is unused")
        return Prepared(
            raw=raw,
            format=name,
            frame="barycentric",
            medium="air",
            profile=name,
            ground_based=True,
            notes=notes,
            time_keys=(f"{prefix} DRS BJD",),
            berv_key=f"{prefix} DRS BERV",
            errors=errors,
        )

    return read


def _harps_e2ds_identify(prefix: str) -> Callable[[Source], bool]:
    def identify(source: Source) -> bool:
        header = _harps_family(source, prefix)
        if header is None or not _is_image(source, 2):
            return False
        if "CRVAL1" in header and "PIX" not in _text(header, "CTYPE1"):
            return False
        n_orders = source.hdus[0].data.shape[0]
        n_poly = _n_poly_orders(header, prefix)
        named = _text(header, f"{prefix} DRS CAL TH FILE")
        return n_poly == n_orders or (n_poly == 0 and bool(named))

    return identify


def _e2ds_wave(
    source: Source, header: dict, prefix: str, shape: tuple, notes: list
) -> np.ndarray:
    """Wavelengths of an e2ds: the given wave file, else the header's
    polynomial, else the wave file the header names, beside the file."""
    if source.wave_path is not None:
        return _image_of(source.wave_path, shape, "wavelength image")
    wave = poly_wavelengths(header, prefix, shape[0], shape[1])
    if wave is not None:
        return wave
    named = _header_value(header, f"{prefix} DRS CAL TH FILE")
    found = _beside(source, named)
    if found is None:
        raise InputError(
            f"{source.path}: no wavelength solution in the header and "
            f"the wave file {named!r} is not beside it (give --wave-file)"
        )
    notes.append(f"wavelengths from {os.path.basename(found)}")
    return _image_of(found, shape, "wavelength image")


def _blaze(
    source: Source,
    blaze_path: str | None,
    named: str | None,
    shape: tuple,
    notes: list,
) -> np.ndarray | None:
    """The blaze image: the given file, else the one the header names,
    beside the spectrum; None (and a note) when there is neither."""
    path = blaze_path or _beside(source, named)
    if path is None:
        what = f"blaze file {named!r} not found beside the spectrum" if (
            named
        ) else "no blaze file named in the header"
        notes.append(
            f"warning: {what}: the flux keeps the blaze (give --blaze)"
        )
        return None
    return _image_of(path, shape, "blaze image")


def _photon_read_errors(
    ron: float | None, gain: float = 1.0
) -> Callable[[np.ndarray], tuple[np.ndarray, str]] | None:
    """Photon and read noise of an extracted flux: with `gain` electrons
    per flux unit and the read noise `ron` (e- per pixel),
    ``err = sqrt(gain*max(flux, 0) + READOUT_PIXELS * ron**2) / gain``.

    The HARPS DRS e2ds holds electrons already (its extraction multiplies
    the frame by the CCD's CONAD, e-/ADU): its pixel-to-pixel variance
    grows as the flux itself, not as flux / CONAD, so its gain is 1.
    """
    if ron is None or ron < 0 or not gain > 0:
        return None

    def model(flux: np.ndarray) -> tuple[np.ndarray, str]:
        with np.errstate(invalid="ignore"):
            electrons = np.maximum(flux, 0.0) * gain
            var = electrons + READOUT_PIXELS * ron**2
            return np.sqrt(var) / gain, "photon+read"

    return model


def _harps_e2ds_read(prefix: str, name: str) -> Callable:
    def read(source: Source, blaze_path: str | None) -> Prepared:
        hdu = source.hdus[0]
        header = _primary(source)
        flux = _float_array(hdu.data, "flux image", source.path)
        notes: list[str] = []
        wave = _e2ds_wave(source, header, prefix, flux.shape, notes)
        blaze = _blaze(
            source,
            blaze_path,
            _header_value(header, f"{prefix} DRS BLAZE FILE"),
            flux.shape,
            notes,
        )
        errors = _photon_read_errors(
            _number(header, f"{prefix} DRS CCD SIGDET")
        )
        if errors is None:
            notes.append(
                f"no {prefix} DRS CCD SIGDET in the header: give --snr "
                "for errors"
            )
        return Prepared(
            raw=Raw(wave, flux, None, header),
            format=name,
            blaze=blaze,
            counts=True,
            frame="observer",
            medium="air",
            profile=name,
            ground_based=True,
            notes=notes,
            time_keys=(f"{prefix} DRS BJD",),
            berv_key=f"{prefix} DRS BERV",
            errors=errors,
        )

    return read


for _prefix, _instrument in (("ESO", "HARPS"), ("TNG", "HARPS-N")):
    register_profile(
        Profile(
            name=f"{_instrument}-s1d",
            identified_by=f"INSTRUME {_instrument}, '{_prefix} DRS' keys, "
            "a 1-D image with CRVAL1",
            frame="barycentric",
            medium="air",
            time_key=f"{_prefix} DRS BJD",
            berv_key=f"{_prefix} DRS BERV (km/s)",
            errors=f"header-snr ({_prefix} DRS SPE EXT SNnn)",
            blaze="divided out by the pipeline",
            identify=_harps_s1d_identify(_prefix),
            read=_harps_s1d_read(_prefix, f"{_instrument}-s1d"),
        )
    )
    register_profile(
        Profile(
            name=f"{_instrument}-e2ds",
            identified_by=f"INSTRUME {_instrument}, '{_prefix} DRS' keys, "
            "a 2-D image with the DRS wavelength solution",
            frame="observer",
            medium="air",
            time_key=f"{_prefix} DRS BJD",
            berv_key=f"{_prefix} DRS BERV (km/s)",
            errors=f"photon+read (flux in e-, {_prefix} DRS CCD SIGDET)",
            blaze=f"file in {_prefix} DRS BLAZE FILE (or --blaze), "
            "divided out",
            identify=_harps_e2ds_identify(_prefix),
            read=_harps_e2ds_read(_prefix, f"{_instrument}-e2ds"),
        )
    )


# --------------------------------------------------------------------------
# ESPRESSO pipeline products (the same pipeline also reduces HARPS and
# NIRPS into the same layout: those files are read by these profiles too)


def _espresso_catg(source: Source) -> str:
    """ESO PRO CATG of a product of the ESPRESSO pipeline: INSTRUME
    ESPRESSO, or the pipeline's own layout (a wavelength_air column, a
    WAVEDATA_VAC_BARY image) for the other instruments it reduces."""
    if source.hdus is None:
        return ""
    header = _primary(source)
    catg = _text(header, "ESO PRO CATG")
    if "ESPRESSO" in _text(header, "INSTRUME"):
        return catg
    table = _table_hdu(source)
    if table is not None and "wavelength_air" in [
        n.lower() for n in table.columns.names
    ]:
        return catg
    if _named(_image_hdus(source), ("wavedata_vac_bary",)) is not None:
        return catg
    return ""


def _quality(values: np.ndarray | None, shape: tuple) -> np.ndarray | None:
    if values is None:
        return None
    flags = np.asarray(values)
    if flags.ndim == 2 and flags.shape[0] == 1 and len(shape) == 1:
        flags = flags[0]
    if flags.shape != shape:
        return None
    return flags != 0


def _espresso_s1d_read(source: Source, blaze_path: str | None) -> Prepared:
    raw = read_fits_table(source)
    hdu = _table_hdu(source)
    names = {n.lower(): n for n in hdu.columns.names}
    quality = names.get("quality")
    bad = _quality(
        None if quality is None else hdu.data[quality], raw.flux.shape
    )
    return Prepared(
        raw=raw,
        format="ESPRESSO-S1D",
        bad=bad,
        frame="barycentric",
        medium="vacuum",
        profile="ESPRESSO-S1D",
        ground_based=True,
        time_keys=("ESO QC BJD",),
        berv_key="ESO QC BERV",
    )


def _espresso_s2d_read(source: Source, blaze_path: str | None) -> Prepared:
    images = _image_hdus(source)
    path = source.path
    sci = _named(images, ("scidata",))
    err = _named(images, ("errdata",))
    qual = _named(images, ("qualdata",))
    wav = _named(images, ("wavedata_vac_bary",))
    if sci is None or wav is None:
        raise InputError(
            f"{path}: an ESPRESSO S2D needs SCIDATA and WAVEDATA_VAC_BARY"
        )
    flux = _float_array(sci.data, "SCIDATA", path)
    wave = _float_array(wav.data, "WAVEDATA_VAC_BARY", path)
    header = _header_dict(source.hdus[0].header, sci.header)
    notes: list[str] = []
    blaze = None
    catg = _text(header, "ESO PRO CATG")
    if "BLAZE" in catg:
        fibre = catg[-1]
        named = next(
            (
                _header_value(header, k.replace(" CATG", " NAME"))
                for k in header
                if k.startswith("ESO PRO REC1 CAL")
                and k.endswith(" CATG")
                and _text(header, k) == f"BLAZE_{fibre}"
            ),
            None,
        )
        blaze = _blaze(source, blaze_path, named, flux.shape, notes)
    return Prepared(
        raw=Raw(
            wave,
            flux,
            None if err is None else _float_array(err.data, "ERRDATA", path),
            header,
        ),
        format="ESPRESSO-S2D",
        bad=None if qual is None else _quality(qual.data, flux.shape),
        blaze=blaze,
        frame="barycentric",
        medium="vacuum",
        profile="ESPRESSO-S2D",
        ground_based=True,
        notes=notes,
        time_keys=("ESO QC BJD",),
        berv_key="ESO QC BERV",
    )


register_profile(
    Profile(
        name="ESPRESSO-S1D",
        identified_by="ESO PRO CATG S1D_* of the ESPRESSO pipeline, "
        "a table",
        frame="barycentric",
        medium="vacuum",
        time_key="ESO QC BJD",
        berv_key="ESO QC BERV (km/s)",
        errors="file (error column)",
        blaze="divided out by the pipeline",
        identify=lambda s: _espresso_catg(s).startswith("S1D")
        and _table_hdu(s) is not None,
        read=_espresso_s1d_read,
    )
)
register_profile(
    Profile(
        name="ESPRESSO-S2D",
        identified_by="ESO PRO CATG S2D_* of the ESPRESSO pipeline, "
        "a SCIDATA image",
        frame="barycentric",
        medium="vacuum",
        time_key="ESO QC BJD",
        berv_key="ESO QC BERV (km/s)",
        errors="file (ERRDATA)",
        blaze="S2D_BLAZE_*: the BLAZE_* file of the header (or --blaze), "
        "divided out; S2D_*: divided out by the pipeline",
        identify=lambda s: _espresso_catg(s).startswith("S2D")
        and _named(_image_hdus(s), ("scidata",)) is not None,
        read=_espresso_s2d_read,
    )
)


# --------------------------------------------------------------------------
# ESO Phase-3 (archive) 1-D spectra


def _phase3_identify(source: Source) -> bool:
    if source.hdus is None or _table_hdu(source) is None:
        return False
    header = _primary(source)
    return _text(header, "PRODCATG").startswith("SCIENCE.SPECTRUM")


_BJD_KEYS = ("ESO DRS BJD", "TNG DRS BJD", "ESO QC BJD")
_BERV_KEYS = ("ESO DRS BERV", "TNG DRS BERV", "ESO QC BERV")


def _phase3_read(source: Source, blaze_path: str | None) -> Prepared:
    raw = read_fits_table(source)
    header = raw.header
    hdu = _table_hdu(source)
    names = {n.lower(): n for n in hdu.columns.names}
    notes: list[str] = []
    # SPECSYS states the frame of the spectral axis (BARYCENT for the
    # HARPS products, rebinned from the barycentric s1d).
    specsys = _text(header, "SPECSYS")
    if specsys.startswith("TOPOCENT"):
        frame = "observer"
    else:
        frame = "barycentric"
        if not specsys.startswith("BARYCENT"):
            notes.append("no SPECSYS in the header: taken as barycentric")
    instrument = _text(header, "INSTRUME").replace("-", "")
    if "wave_air" in names or instrument.startswith("ESPRESSO"):
        medium = "vacuum"
    elif instrument.startswith("HARP"):
        medium = "air"
    else:
        medium = "unknown"
    quality = names.get("qual") or names.get("quality")
    bad = _quality(
        None if quality is None else hdu.data[quality], raw.flux.shape
    )
    prefix = "TNG" if "TNG DRS BJD" in header else "ESO"
    snr = order_snr(header, prefix)
    errors = None
    if snr.size:
        berv = _number(header, f"{prefix} DRS BERV") or 0.0
        if frame == "observer":
            berv = 0.0
        centres, per_pixel = _order_centres(
            header, prefix, snr, raw.wave, berv
        )
        errors = _snr_errors(raw.wave, centres, per_pixel)
    elif (_number(header, "SNR") or 0.0) > 0:
        only = np.array([_number(header, "SNR")])
        errors = _snr_errors(raw.wave, None, only)
    berv_key = next(
        (k for k in _BERV_KEYS if _header_value(header, k) is not None),
        _BERV_KEYS[0],
    )
    return Prepared(
        raw=raw,
        format="ESO-Phase3",
        bad=bad,
        frame=frame,
        medium=medium,
        profile="ESO-Phase3",
        ground_based=True,
        notes=notes,
        time_keys=_BJD_KEYS,
        berv_key=berv_key,
        errors=errors,
    )


register_profile(
    Profile(
        name="ESO-Phase3",
        identified_by="PRODCATG SCIENCE.SPECTRUM, a table of WAVE, FLUX",
        frame="from SPECSYS (BARYCENT for HARPS)",
        medium="air for HARPS, vacuum for ESPRESSO",
        time_key="ESO DRS BJD (or TNG DRS BJD, ESO QC BJD)",
        berv_key="ESO DRS BERV (or TNG DRS BERV, ESO QC BERV; km/s)",
        errors="file (ERR); header-snr when ERR is unusable",
        blaze="divided out by the pipeline",
        identify=_phase3_identify,
        read=_phase3_read,
    )
)


# --------------------------------------------------------------------------
# quasmir templates (masters written by `quasmir template`)


def _template_hdu(source: Source):
    for hdu in source.hdus or []:
        if getattr(hdu, "name", "") == "TEMPLATE" and hasattr(hdu, "columns"):
            return hdu
    return None


def _template_identify(source: Source) -> bool:
    hdu = _template_hdu(source)
    if hdu is None:
        return False
    names = [n.lower() for n in hdu.columns.names]
    return "flux" in names and (
        "wavelength" in names
        or ("LOGLAM0" in hdu.header and "DLOGLAM" in hdu.header)
    )


def _template_read(source: Source, blaze_path: str | None) -> Prepared:
    from .template import template_wavelengths

    hdu = _template_hdu(source)
    try:
        wave = template_wavelengths(hdu.header, hdu.data)
    except (KeyError, ValueError, TypeError) as exc:
        raise InputError(
            f"{source.path}: template wavelengths unreadable ({exc})"
        ) from None
    names = {n.lower(): n for n in hdu.columns.names}
    flux = _float_array(hdu.data[names["flux"]], "column flux", source.path)
    err = None
    if "error" in names:
        err = _float_array(hdu.data[names["error"]], "column error",
                           source.path)
    header = _header_dict(source.hdus[0].header, hdu.header)
    medium = _text(header, "MEDIUM").lower()
    return Prepared(
        raw=Raw(wave, flux, err, header),
        format="quasmir-template",
        frame="barycentric",
        medium=medium if medium in ("air", "vacuum") else "unknown",
        profile="quasmir-template",
        ground_based=False,
    )


register_profile(
    Profile(
        name="quasmir-template",
        identified_by="a TEMPLATE table of flux (and error, n_spectra) "
        "with LOGLAM0 and DLOGLAM or a wavelength column",
        frame="barycentric (the star's rest frame)",
        medium="MEDIUM key",
        time_key="none",
        berv_key="none",
        errors="file (error column)",
        blaze="none (continuum-normalised)",
        identify=_template_identify,
        read=_template_read,
    )
)
