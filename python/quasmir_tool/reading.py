"""Spectrum readers: text/CSV, npz, FITS tables, FITS 1-D images with a
linear or log-linear wavelength solution, and 2-D echelle images.

Each format is one small reader with an identifier that looks at the
file's content (its first bytes, FITS header keys, table column names);
all of them are registered in `READERS` by `register_reader`, and
`read_spectrum` takes the first whose identifier accepts the file.  A new
format is one new reader function and one registration, in this module or
any other.

The products of known instruments are read by the profiles of
`quasmir_tool.instruments` first (they know the frame, the medium, the
header keys and the blaze); the generic readers read everything else.

After the reader, `read_spectrum` does what is common to every format:
the time and the BERV from the header, flux errors from an option (or the
instrument's error model) when the file has no usable errors, the pixels
that are not data, the blaze divided out, and the checks of the
wavelengths.
"""

from __future__ import annotations

import functools
import gzip
import os
import threading
import warnings
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .errors import InputError, MissingFileError

__all__ = [
    "READERS",
    "Raw",
    "Source",
    "Spectrum",
    "read_spectrum",
    "register_reader",
    "zero_filled",
]

# Column (or npz key, or FITS extension) names, compared case-insensitively.
WAVE_NAMES = ("wavelength", "wave", "lambda")
FLUX_NAMES = ("flux",)
ERR_NAMES = ("error", "err", "sigma", "flux_err")

# astropy.io.fits and astropy.wcs warn through the process-wide warnings
# filters; readers running in several threads change those filters only
# under this lock.
_ASTROPY_LOCK = threading.RLock()


@dataclass
class Spectrum:
    """One observed (or master) spectrum.

    Attributes
    ----------
    wave : numpy.ndarray
        Wavelengths (angstrom), ascending; shape (n_pix,) or, for an
        echelle spectrum, (n_orders, n_pix), each order ascending.
    flux : numpy.ndarray
        Flux, same shape as `wave`.
    flux_err : numpy.ndarray
        1-sigma flux uncertainty, same shape as `wave`.
    time : float or None
        Time of the observation (days: BJD or MJD as read, see `time_key`).
    berv : float
        Barycentric Earth radial velocity correction (m/s); 0.0 when not
        known.
    path : str or None
        The file the spectrum came from.
    err_source : str
        Where `flux_err` came from: ``"file"``, ``"snr"`` (a given
        signal-to-noise) or ``"photon"`` (photon noise from the flux);
        ``"none"`` for a master read without errors (all zero).
    time_key : str or None
        The header key the time was read from.
    format : str or None
        Identifier of the reader that read the file (see `READERS`).
    header : dict
        The file's header keys (upper case) and values: FITS primary and
        data header, ``# KEY = value`` comment lines of a text file, or
        the scalar entries of an npz archive.
    bad : numpy.ndarray or None
        Boolean, same shape as `flux`; True where a pixel is not data
        (zero-filled runs such as CCD gaps, NaN, flux <= 0 in counts,
        quality-flagged pixels, blaze <= 0, unusable errors).  None when
        nothing was checked.
    frame : str
        ``"observer"``: the wavelengths are in the observatory's frame
        and `berv` moves them to the barycentre; ``"barycentric"``: they
        are barycentric already, `berv` only places the telluric lines.
    medium : str
        Wavelengths in ``"air"``, ``"vacuum"`` or ``"unknown"``.
    profile : str or None
        The instrument profile that read the file (see
        `quasmir_tool.instruments`); None for the generic readers.
    ground_based : bool
        True when telluric lines are in the spectrum.
    notes : list of str
        Remarks for the user about how the file was read.
    """

    wave: np.ndarray
    flux: np.ndarray
    flux_err: np.ndarray
    time: float | None = None
    berv: float = 0.0
    path: str | None = None
    err_source: str = "file"
    time_key: str | None = None
    format: str | None = None
    header: dict = field(default_factory=dict, repr=False)
    bad: np.ndarray | None = field(default=None, repr=False)
    frame: str = "observer"
    medium: str = "unknown"
    profile: str | None = None
    ground_based: bool = False
    notes: list[str] = field(default_factory=list)

    @property
    def n_orders(self) -> int:
        """Number of orders: 1 for a one-dimensional spectrum."""
        return 1 if np.ndim(self.wave) == 1 else int(np.shape(self.wave)[0])


# --------------------------------------------------------------------------
# The registry


@dataclass
class Source:
    """What the identifiers look at: the path, the first bytes and, for a
    FITS file, its opened HDUs (read fully into memory)."""

    path: str
    head: bytes
    hdus: Any = None
    wave_path: str | None = None
    skipped: dict = field(default_factory=dict)
    # Parsed headers, by HDU index: astropy parses a card's value slowly
    # (about 30 microseconds), and a DRS header has 1500 cards.
    headers: dict = field(default_factory=dict, repr=False)


@dataclass
class Raw:
    """What a reader returns: arrays in the file's order and its header.

    ``flux_err`` is None when the file has no flux errors.  Wavelengths
    are in angstrom when the file states a length unit, as given
    otherwise.
    """

    wave: np.ndarray
    flux: np.ndarray
    flux_err: np.ndarray | None
    header: dict


@dataclass
class Reader:
    """A registered format: its identifier, its reader, its name."""

    name: str
    identify: Callable[[Source], bool]
    read: Callable[[Source], Raw]


READERS: list[Reader] = []


def register_reader(
    name: str, identify: Callable[[Source], bool]
) -> Callable[[Callable[[Source], Raw]], Callable[[Source], Raw]]:
    """Register a reader (decorator); readers are tried in the order of
    registration and the first whose `identify` accepts the file reads it.

    Parameters
    ----------
    name : str
        Identifier of the format (``Spectrum.format``, and the value of
        ``read_spectrum(..., format=name)``).
    identify : callable
        ``identify(source) -> bool``; must not raise for files of other
        formats.
    """

    def decorate(read: Callable[[Source], Raw]) -> Callable[[Source], Raw]:
        READERS[:] = [r for r in READERS if r.name != name]
        READERS.append(Reader(name, identify, read))
        return read

    return decorate


# --------------------------------------------------------------------------
# Helpers shared by the readers


def _find(names: list[str], wanted: tuple[str, ...]) -> str | None:
    """The first of `names` that equals one of `wanted`, ignoring case."""
    lower = {n.lower(): n for n in names}
    for w in wanted:
        if w in lower:
            return lower[w]
    return None


def _to_angstrom(values: np.ndarray, unit: Any, path: str) -> np.ndarray:
    """Convert wavelengths in a stated length unit to angstrom."""
    from astropy import units as u

    if unit is None or str(unit).strip() == "":
        return values
    try:
        unit = u.Unit(unit, parse_strict="raise")
    except ValueError:
        return values  # an unknown unit string: keep the numbers as given
    if not unit.is_equivalent(u.AA):
        return values
    return (values * unit).to_value(u.AA)


def _float_array(values: Any, what: str, path: str) -> np.ndarray:
    """A float64 copy of `values`, or an InputError naming the column."""
    try:
        array = np.array(np.ma.filled(values, np.nan), dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise InputError(f"{path}: {what} is not numeric ({exc})") from None
    return array


def _one_line(exc: BaseException) -> str:
    """The first non-empty line of an exception's message (libraries such
    as wcslib report on several lines), else the exception's type."""
    lines = [line.strip() for line in str(exc).splitlines()]
    return next((line for line in lines if line), type(exc).__name__)


def _name(name: Any) -> str:
    """A column name for a one-line message: as it is when printable,
    else quoted with its escapes (a newline in a spoilt header)."""
    text = str(name)
    return text if text.isprintable() else repr(text)


def _missing(path: str, what: str, names: list[str]) -> InputError:
    """The error for a missing column (or npz array)."""
    found = ", ".join(_name(n) for n in names) if names else "none"
    return InputError(f"{path}: no {what} column (found: {found})")


def _header_dict(*headers: Any) -> dict:
    """Upper-case keys and values of FITS headers, later ones winning."""
    out: dict = {}
    for header in headers:
        for key, value in header.items():
            if key in ("COMMENT", "HISTORY", ""):
                continue
            out[str(key).upper()] = value
    return out


# --------------------------------------------------------------------------
# Text and CSV


def _is_text(source: Source) -> bool:
    if source.hdus is not None or b"\0" in source.head:
        return False
    try:
        source.head.decode("utf-8")
    except UnicodeDecodeError:
        # The first block may end inside a multi-byte character.
        try:
            source.head[:-3].decode("utf-8")
        except UnicodeDecodeError:
            return False
    return True


def _comment_header(comments: list[str]) -> dict:
    """``KEY = value`` (or ``KEY: value``) comment lines as a header."""
    out: dict = {}
    for line in comments:
        for sep in ("=", ":"):
            key, found, value = line.partition(sep)
            if found and key.strip():
                value = value.split("/")[0].strip().strip("'\"")
                try:
                    out[key.strip().upper()] = float(value)
                except ValueError:
                    out[key.strip().upper()] = value
                break
    return out


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


@register_reader("text", _is_text)
def read_text(source: Source) -> Raw:
    """CSV or whitespace-separated columns, found by name (wavelength or
    wave, flux, error or err or sigma or flux_err, any case) or, without a
    header line, by position: wavelength, flux and, optionally, error.
    ``# KEY = value`` comment lines are the header."""
    from astropy.io import ascii

    path = source.path
    try:
        with _ASTROPY_LOCK, warnings.catch_warnings():
            warnings.simplefilter("ignore")
            table = ascii.read(path, guess=True)
            if any(_is_number(n) for n in table.colnames):
                # The first row is data, not a header line.
                table = ascii.read(path, guess=True, format="no_header")
    except Exception as exc:  # astropy raises many types for bad text
        msg = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise InputError(f"{path}: not a readable table ({msg})") from None
    names = list(table.colnames)
    header = _comment_header(table.meta.get("comments", []))
    if all(n.startswith("col") and n[3:].isdigit() for n in names):
        # No header line: columns by position.
        if len(names) < 2:
            raise InputError(
                f"{path}: {len(names)} column; need wavelength and flux"
            )
        wave_col, flux_col = names[0], names[1]
        err_col = names[2] if len(names) > 2 else None
    else:
        wave_col = _find(names, WAVE_NAMES)
        flux_col = _find(names, FLUX_NAMES)
        err_col = _find(names, ERR_NAMES)
        if wave_col is None:
            raise _missing(path, "wavelength", names)
        if flux_col is None:
            raise _missing(path, "flux", names)
    return Raw(
        _float_array(table[wave_col], f"column {wave_col}", path),
        _float_array(table[flux_col], f"column {flux_col}", path),
        None
        if err_col is None
        else _float_array(table[err_col], f"column {err_col}", path),
        header,
    )


# --------------------------------------------------------------------------
# npz


@register_reader("npz", lambda s: s.head.startswith(b"PK\x03\x04"))
def read_npz(source: Source) -> Raw:
    """A numpy ``.npz`` archive with the arrays under the column names of
    the text reader; its scalar entries are the header."""
    path = source.path
    try:
        # The file is opened here, not by np.load: np.load leaves a file
        # it opened itself open when the archive is unreadable.
        with open(path, "rb") as f, np.load(f, allow_pickle=False) as archive:
            data = {k: archive[k] for k in archive.files}
    except Exception as exc:  # zipfile and numpy raise many types
        raise InputError(
            f"{path}: not a readable npz archive ({_one_line(exc)})"
        ) from None
    arrays = [k for k, v in data.items() if np.ndim(v) > 0]
    header = {k.upper(): v.item() for k, v in data.items() if np.ndim(v) == 0}
    wave_key = _find(arrays, WAVE_NAMES)
    if wave_key is None:
        raise _missing(path, "wavelength", arrays)
    flux_key = _find(arrays, FLUX_NAMES)
    if flux_key is None:
        raise _missing(path, "flux", arrays)
    err_key = _find(arrays, ERR_NAMES)
    return Raw(
        _float_array(data[wave_key], wave_key, path),
        _float_array(data[flux_key], flux_key, path),
        None
        if err_key is None
        else _float_array(data[err_key], err_key, path),
        header,
    )


# --------------------------------------------------------------------------
# FITS


def _is_fits(source: Source) -> bool:
    return source.hdus is not None


def _table_hdu(source: Source) -> Any:
    """The first table extension with a wavelength column, else None."""
    from astropy.io import fits

    for hdu in source.hdus:
        if isinstance(hdu, (fits.BinTableHDU, fits.TableHDU)):
            if _find(list(hdu.columns.names), WAVE_NAMES) is not None:
                return hdu
    return None


def _image_hdus(source: Source) -> list:
    from astropy.io import fits

    return [
        hdu
        for hdu in source.hdus
        if isinstance(hdu, (fits.PrimaryHDU, fits.ImageHDU, fits.CompImageHDU))
        and hdu.data is not None
    ]


def _named(hdus: list, wanted: tuple[str, ...]) -> Any:
    for hdu in hdus:
        if str(hdu.name).lower() in wanted:
            return hdu
    return None


def _flux_hdu(source: Source) -> Any:
    """The image holding the flux: one named FLUX (or SCI), else the first
    image that is not a wavelength or error array."""
    images = _image_hdus(source)
    named = _named(images, ("flux", "sci", "scidata"))
    if named is not None:
        return named
    for hdu in images:
        if str(hdu.name).lower() not in WAVE_NAMES + ERR_NAMES:
            return hdu
    return None


def _is_table(source: Source) -> bool:
    """A table with a wavelength column, or a FITS file of tables only
    (whose reader then says which column is missing)."""
    from astropy.io import fits

    if not _is_fits(source):
        return False
    if _table_hdu(source) is not None:
        return True
    tables = [
        h
        for h in source.hdus
        if isinstance(h, (fits.BinTableHDU, fits.TableHDU))
    ]
    return bool(tables) and _flux_hdu(source) is None


@register_reader("fits-table", _is_table)
def read_fits_table(source: Source) -> Raw:
    """A FITS binary (or ASCII) table with wavelength, flux and, optionally,
    error columns named as for text.  Columns holding one vector per row
    give one order per row (or one spectrum for a single row).  A length
    unit in TUNITn is converted to angstrom."""
    from astropy.io import fits

    path = source.path
    hdu = _table_hdu(source)
    if hdu is None:
        hdu = next(
            h
            for h in source.hdus
            if isinstance(h, (fits.BinTableHDU, fits.TableHDU))
        )
        raise _missing(path, "wavelength", list(hdu.columns.names))
    names = list(hdu.columns.names)
    wave_col = _find(names, WAVE_NAMES)
    flux_col = _find(names, FLUX_NAMES)
    err_col = _find(names, ERR_NAMES)
    if flux_col is None:
        raise _missing(path, "flux", names)

    def column(name: str) -> np.ndarray:
        values = _float_array(hdu.data[name], f"column {name}", path)
        if values.ndim == 2 and values.shape[0] == 1:
            values = values[0]
        return values

    assert wave_col is not None  # _table_hdu found it
    wave = _to_angstrom(column(wave_col), hdu.columns[wave_col].unit, path)
    return Raw(
        wave,
        column(flux_col),
        None if err_col is None else column(err_col),
        _header_dict(source.hdus[0].header, hdu.header),
    )


def _is_image(source: Source, ndim: int) -> bool:
    if not _is_fits(source):
        return False
    hdu = _flux_hdu(source)
    return hdu is not None and hdu.data.ndim == ndim


def _wave_from_file(source: Source, shape: tuple) -> np.ndarray | None:
    """Wavelengths of the same shape as the flux: an extension named WAVE
    (or WAVELENGTH), or the first image of the file `wave_path`."""
    path = source.path
    hdu = _named(_image_hdus(source), WAVE_NAMES)
    where = f"{path}[{hdu.name}]" if hdu is not None else path
    if source.wave_path is not None:
        wave_hdus = _open_fits(source.wave_path)
        if wave_hdus is None:
            raise InputError(f"{source.wave_path}: not a FITS file")
        images = _image_hdus(Source(source.wave_path, b"", wave_hdus))
        if not images:
            raise InputError(f"{source.wave_path}: no image of wavelengths")
        hdu, where = images[0], source.wave_path
    if hdu is None:
        return None
    wave = _float_array(hdu.data, "wavelength image", where)
    if wave.shape != shape:
        raise InputError(
            f"{where}: wavelengths have shape {wave.shape} "
            f"but the flux has shape {shape}"
        )
    return _to_angstrom(wave, hdu.header.get("BUNIT"), where)


def _error_image(source: Source, shape: tuple) -> np.ndarray | None:
    hdu = _named(_image_hdus(source), ERR_NAMES)
    if hdu is None:
        return None
    where = f"{source.path}[{hdu.name}]"
    err = _float_array(hdu.data, "error image", where)
    if err.shape != shape:
        raise InputError(
            f"{where}: errors have shape {err.shape} "
            f"but the flux has shape {shape}"
        )
    return err


def _plain_linear(header: Any) -> bool:
    """A one-axis linear wavelength solution with no unit, no log scale,
    no rotation and no distortion: ``CRVAL1 + CDELT1 * (p - CRPIX1)``."""
    ctype = str(header.get("CTYPE1", "")).upper()
    if "LOG" in ctype or "-" in ctype.strip("-") or "CUNIT1" in header:
        return False
    if header.get("DC-FLAG", 0) not in (0, None, False):
        return False
    if int(header.get("WCSAXES", 1) or 1) != 1 or "PC1_1" in header:
        return False
    return not any(
        k in header for k in ("CD1_2", "PV1_0", "PV1_1", "PS1_0", "LONPOLE")
    )


def _wcs_wave(header: Any, n_pix: int, path: str) -> np.ndarray:
    """Wavelengths of pixels 1..n_pix from a linear (CRVAL1, CDELT1 or
    CD1_1, CRPIX1) or log-linear (CTYPE1 WAVE-LOG, or DC-FLAG = 1 with
    log10 wavelengths) solution, evaluated by astropy.wcs."""
    from astropy import units as u
    from astropy.wcs import WCS

    if "CRVAL1" not in header or not ("CDELT1" in header or "CD1_1" in header):
        raise InputError(
            f"{path}: no wavelength solution (CRVAL1 and CDELT1 or CD1_1) "
            "and no WAVE extension"
        )
    # A CD matrix takes precedence over CDELT1 (as in wcslib).
    step_key = "CD1_1" if "CD1_1" in header else "CDELT1"
    for key, zero_ok in (("CRVAL1", True), (step_key, False),
                         ("CRPIX1", True)):
        value = header.get(key, 1.0)
        if isinstance(value, bool) or not isinstance(
            value, (int, float, np.number)
        ) or not np.isfinite(value) or (not zero_ok and value == 0):
            what = "a finite number" if zero_ok else "a non-zero number"
            raise InputError(
                f"{path}: wavelength solution {key} = {value!r} is not "
                f"{what}"
            )
    if _plain_linear(header):
        # What wcslib computes for a linear axis without units, without
        # building a WCS object (a quarter of a second for a DRS header).
        crval = float(header["CRVAL1"])
        crpix = float(header.get("CRPIX1", 0.0))  # the FITS default
        step = float(header[step_key])
        return crval + step * ((np.arange(n_pix) + 1.0) - crpix)
    with _ASTROPY_LOCK, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            wcs = WCS(header, naxis=[1], relax=True, fix=True)
            # astropy.wcs counts pixels from 0, FITS from 1.
            wave = np.asarray(
                wcs.pixel_to_world_values(np.arange(n_pix, dtype=float)),
                dtype=np.float64,
            )
        except Exception as exc:  # wcslib reports through many types
            raise InputError(
                f"{path}: unreadable wavelength solution ({_one_line(exc)})"
            ) from None
        unit = wcs.wcs.cunit[0]
    if header.get("DC-FLAG", 0) == 1:
        wave = 10.0**wave
    elif "CUNIT1" in header and str(unit) and unit.is_equivalent(u.AA):
        # wcslib gives wavelengths in metres when the header states a
        # unit; without CUNIT1 they are the header's numbers as they are.
        wave = (wave * unit).to_value(u.AA)
    return wave


@register_reader("fits-image", lambda s: _is_image(s, 1))
def read_fits_image(source: Source) -> Raw:
    """A FITS 1-D image: the flux, with wavelengths from the header's
    linear or log-linear solution (or a WAVE extension); an extension
    named ERR (or ERROR, SIGMA, FLUX_ERR) holds the errors."""
    hdu = _flux_hdu(source)
    flux = _float_array(hdu.data, "flux image", source.path)
    wave = _wave_from_file(source, flux.shape)
    if wave is None:
        wave = _wcs_wave(hdu.header, flux.size, source.path)
    return Raw(
        wave,
        flux,
        _error_image(source, flux.shape),
        _header_dict(source.hdus[0].header, hdu.header),
    )


@register_reader("fits-echelle", lambda s: _is_image(s, 2))
def read_fits_echelle(source: Source) -> Raw:
    """A FITS 2-D echelle image (orders x pixels) with a wavelength image of
    the same shape, from an extension named WAVE (or WAVELENGTH) or from
    the file given as `wave_path`; errors as for a 1-D image."""
    hdu = _flux_hdu(source)
    flux = _float_array(hdu.data, "flux image", source.path)
    wave = _wave_from_file(source, flux.shape)
    if wave is None:
        raise InputError(
            f"{source.path}: a 2-D (echelle) image needs a wavelength "
            "array: a WAVE extension, or give its file (wave_path, "
            "--wave-file)"
        )
    return Raw(
        wave,
        flux,
        _error_image(source, flux.shape),
        _header_dict(source.hdus[0].header, hdu.header),
    )


# --------------------------------------------------------------------------
# Opening, time, BERV, errors and checks


def _open_fits(path: str) -> Any:
    """All HDUs of a FITS file read into memory, None if it is not FITS."""
    return _open_fits_noted(path)[0]


def _open_fits_noted(path: str) -> tuple[Any, dict[str, str]]:
    """All HDUs of a FITS file read into memory (None if it is not FITS)
    and the header cards that could not be parsed, by keyword (upper
    case) with their raw text: those are removed from the headers, so a
    card no one needs does not make readable data unreadable."""
    try:
        with open(path, "rb") as f:
            head = f.read(9)
        if head.startswith(b"\x1f\x8b"):  # gzip: astropy reads FITS.gz
            with gzip.open(path, "rb") as f:
                head = f.read(9)
    except (OSError, EOFError) as exc:
        reason = getattr(exc, "strerror", None) or str(exc)
        raise InputError(f"{path}: cannot read ({reason})") from None
    if head != b"SIMPLE  =":
        return None, {}
    from astropy.io import fits  # only for FITS files: a slow import

    skipped: dict[str, str] = {}
    with _ASTROPY_LOCK, warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            # The file is opened here, not by fits.open, which leaves a
            # file it opened itself open when the header cannot be read.
            with open(path, "rb") as f, fits.open(
                f, memmap=False, lazy_load_hdus=False
            ) as hdus:
                for hdu in hdus:
                    _ = hdu.data  # read now: the file closes below
                    skipped.update(_header_cards(hdu.header))
                hdus = fits.HDUList([hdu.copy() for hdu in hdus])
        except InputError:
            raise
        except Exception as exc:  # truncated or corrupt files
            raise InputError(
                f"{path}: unreadable FITS file ({_one_line(exc)})"
            ) from None
    for w in caught:
        if "truncated" in str(w.message).lower():
            raise InputError(f"{path}: unreadable FITS file (truncated)")
    return hdus, skipped


def _header_cards(header: Any) -> dict[str, str]:
    """Parse every card's value now (astropy parses them on first use) and
    remove the cards that cannot be parsed; returns those, by keyword."""
    spoilt: dict[str, str] = {}
    for index in range(len(header.cards) - 1, -1, -1):
        card = header.cards[index]
        try:
            card.value  # noqa: B018 - parsed for its errors
        except Exception:  # astropy's VerifyError, ValueError, ...
            keyword = str(card.keyword).upper()
            if keyword.startswith("HIERARCH "):
                keyword = keyword[len("HIERARCH ") :]
            spoilt[keyword] = card.image.rstrip()
            del header[index]
    return spoilt


def _check_spoilt(skipped: Mapping[str, str], key: str, path: str) -> None:
    """An InputError when the header key a reading needs was a card that
    could not be parsed."""
    key = key.upper()
    if key.startswith("HIERARCH "):
        key = key[len("HIERARCH ") :]
    if key in skipped:
        raise InputError(
            f"{path}: unreadable FITS header card {key!r} "
            f"({skipped[key]!r})"
        )


def _header_value(header: Mapping, key: str) -> Any:
    key = key.upper()
    if key.startswith("HIERARCH "):
        key = key[len("HIERARCH ") :]
    return header.get(key)


def _read_time(
    header: Mapping,
    time_key: str | None,
    path: str,
    skipped: Mapping[str, str] | None = None,
) -> tuple[float | None, str | None]:
    """The time (days) and the key it came from.

    A number is taken as it is (BJD, MJD, ...); a date string is read by
    astropy.time and given as MJD (UTC).  `skipped` are the header cards
    that could not be parsed: needing one of them is an InputError.
    """
    skipped = skipped or {}
    if time_key is not None:
        _check_spoilt(skipped, time_key, path)
    if time_key is None:
        for key in ("BJD", "MJD-OBS", "DATE-OBS"):
            _check_spoilt(skipped, key, path)
            if _header_value(header, key) is not None:
                time_key = key
                break
        else:
            return None, None
    value = _header_value(header, time_key)
    if value is None:
        raise InputError(
            f"time_key {time_key!r}: no such header key in {path}"
        )
    if isinstance(value, (int, float, np.number)) and not isinstance(
        value, bool
    ):
        return float(value), time_key
    from astropy.time import Time  # only for a date: a slow import

    try:
        with _ASTROPY_LOCK, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # e.g. ERFA's "dubious year"
            return float(Time(str(value).strip(), scale="utc").mjd), time_key
    except ValueError:
        raise InputError(
            f"{path}: header key {time_key} = {value!r} is not a time"
        ) from None


def _read_berv(
    header: Mapping, berv_key: str | None, berv_unit: str, path: str
) -> float:
    """The BERV (m/s) from the header key `berv_key` in `berv_unit`."""
    from astropy import units as u

    try:
        unit = u.Unit(berv_unit)
        factor = float((1.0 * unit).to_value(u.m / u.s))
    except (ValueError, TypeError, u.UnitsError):
        raise InputError(
            f"berv_unit {berv_unit!r} is not a unit of velocity"
        ) from None
    if berv_key is None:
        return 0.0
    value = _header_value(header, berv_key)
    if value is None:
        raise InputError(
            f"berv_key {berv_key!r}: no such header key in {path}"
        )
    try:
        berv = float(value) * factor
    except (TypeError, ValueError):
        raise InputError(
            f"{path}: header key {berv_key} = {value!r} is not a number"
        ) from None
    if not np.isfinite(berv):
        raise InputError(f"{path}: header key {berv_key} is not finite")
    return berv


def _continuum(flux: np.ndarray) -> np.ndarray:
    """A continuum level per order: the 95th percentile of the finite
    flux (NaN for an order without any), shaped to broadcast on `flux`."""
    rows = np.atleast_2d(flux)
    level = np.full((rows.shape[0], 1), np.nan)
    for i, row in enumerate(rows):
        finite = row[np.isfinite(row)]
        if finite.size:
            level[i] = np.percentile(finite, 95.0)
    return level[0] if flux.ndim == 1 else level


def errors_from_snr(flux: np.ndarray, snr: float) -> np.ndarray:
    """Photon-like errors at signal-to-noise `snr` in the continuum.

    ``err = sqrt(max(flux, 0) * continuum) / snr`` with the continuum the
    95th percentile of the flux (per order), so the continuum has exactly
    the given signal-to-noise and deeper pixels proportionally less noise;
    the error never falls below a hundredth of the continuum's.
    """
    continuum = _continuum(flux)
    with np.errstate(invalid="ignore"):
        signal = np.maximum(flux, 0.0001 * continuum)
        return np.sqrt(signal * continuum) / snr


def errors_from_photons(flux: np.ndarray) -> np.ndarray:
    """Photon noise of a flux in photon counts: ``sqrt(max(flux, 1))``."""
    with np.errstate(invalid="ignore"):
        return np.sqrt(np.maximum(flux, 1.0))


def _check(raw: Raw, path: str) -> None:
    """Shapes, finite and ascending wavelengths, non-negative errors."""
    wave, flux, err = raw.wave, raw.flux, raw.flux_err
    if wave.ndim not in (1, 2):
        raise InputError(f"{path}: wavelengths have {wave.ndim} dimensions")
    if flux.shape != wave.shape:
        raise InputError(
            f"{path}: flux has shape {flux.shape} "
            f"but wavelength has shape {wave.shape}"
        )
    if err is not None and err.shape != wave.shape:
        raise InputError(
            f"{path}: flux error has shape {err.shape} "
            f"but wavelength has shape {wave.shape}"
        )
    if wave.shape[-1] < 2:
        raise InputError(f"{path}: {wave.shape[-1]} pixel; need at least 2")
    for order, row in enumerate(np.atleast_2d(wave)):
        where = f"{path}" + (f" order {order}" if wave.ndim == 2 else "")
        bad = np.flatnonzero(~np.isfinite(row))
        if bad.size:
            raise InputError(
                f"{where}: {bad.size} non-finite wavelength(s), "
                f"first at pixel {bad[0]}"
            )
        step = np.flatnonzero(np.diff(row) <= 0)
        if step.size:
            i = step[0]
            raise InputError(
                f"{where}: wavelengths not ascending at pixel {i + 1} "
                f"({float(row[i])!r} then {float(row[i + 1])!r})"
            )
    # An error array unusable throughout is ignored later, not refused.
    if err is not None and _unusable(err) is None:
        with np.errstate(invalid="ignore"):
            negative = np.flatnonzero(err.ravel() < 0)
        if negative.size:
            raise InputError(
                f"{path}: {negative.size} negative flux error(s), first at "
                f"pixel {negative[0]}"
            )


def _one_line_errors(
    read: Callable[..., Spectrum],
) -> Callable[..., Spectrum]:
    """Every `InputError` of `read` as one line starting with
    ``read_spectrum:``, of the same type (a missing file stays a
    FileNotFoundError)."""

    @functools.wraps(read)
    def wrapper(*args: Any, **kwargs: Any) -> Spectrum:
        try:
            return read(*args, **kwargs)
        except InputError as exc:
            message = str(exc)
            one_line = " ".join(p.strip() for p in message.splitlines())
            if message.startswith("read_spectrum: ") and one_line == message:
                raise
            if not one_line.startswith("read_spectrum: "):
                one_line = f"read_spectrum: {one_line}"
            # The same type: a missing file stays a FileNotFoundError.
            raise type(exc)(one_line) from None

    return wrapper


@_one_line_errors
def read_spectrum(
    path: str | os.PathLike,
    *,
    time_key: str | None = None,
    berv_key: str | None = None,
    berv_unit: str | None = None,
    snr: float | None = None,
    photon_noise: bool = False,
    wave_path: str | os.PathLike | None = None,
    need_errors: bool = True,
    format: str | None = None,
    instrument: str = "auto",
    blaze_path: str | os.PathLike | None = None,
) -> Spectrum:
    """Read a spectrum file.

    Formats (see `READERS`): CSV or whitespace text, ``.npz``, FITS
    binary tables, FITS 1-D images with a linear or log-linear wavelength
    solution, and FITS 2-D echelle images (orders x pixels) with a
    wavelength image.  The format is recognised from the content, not the
    file name.

    Parameters
    ----------
    path : str or path-like
        The file.
    time_key : str, optional
        Header key of the time (days).  Default: ``BJD`` if present, else
        ``MJD-OBS``, else ``DATE-OBS`` (a date, converted to MJD by
        astropy.time); no time when none is present.
    berv_key : str, optional
        Header key of the barycentric correction.  Default: none, BERV 0
        (the spectrum is taken as barycentric already).
    berv_unit : str, optional
        Unit of the BERV value (astropy.units syntax); default the
        instrument profile's, else ``"km/s"``.
    snr : float, optional
        For a file without flux errors: the continuum signal-to-noise
        (see `errors_from_snr`).
    photon_noise : bool, optional
        For a file without flux errors: photon noise of a flux in counts
        (see `errors_from_photons`).
    wave_path : str or path-like, optional
        File of the wavelength image of an echelle (or 1-D) image.
    need_errors : bool, optional
        When False (for a master), a file without errors is accepted and
        gets zero errors with ``err_source = "none"``.
    format : str, optional
        Name of a registered reader, to skip the recognition.
    instrument : str, optional
        ``"auto"`` (default): the first instrument profile that fits the
        header, else the generic readers; a profile's name forces it;
        ``"none"``: the generic readers only.
    blaze_path : str or path-like, optional
        Blaze file of an echelle spectrum whose flux still holds the
        blaze (default: the file the header names, beside the spectrum).

    Returns
    -------
    Spectrum
        Wavelengths (angstrom when the file states a unit), flux, errors,
        time (days), BERV (m/s), the file's path, the pixels that are not
        data (`Spectrum.bad`) and, for an instrument's product, its frame,
        medium and profile.  The blaze is divided out of flux and errors
        of a product that still holds it.

    Raises
    ------
    InputError
        One line, ``read_spectrum: <file or argument>: <what is wrong>``,
        for any of: a missing or
        unreadable file, missing columns, non-finite or non-ascending
        wavelengths, a missing header key, no flux errors and neither
        `snr` nor `photon_noise`.
    TypeError
        When `path`, `wave_path` or `blaze_path` is not a str or
        path-like.
    """
    for name, value in (("path", path), ("wave_path", wave_path)):
        if value is not None and not isinstance(value, (str, os.PathLike)):
            raise TypeError(
                f"read_spectrum: {name} must be a str or path-like, "
                f"not {type(value).__name__}"
            )
    path = os.fspath(path)
    if snr is not None and (
        isinstance(snr, bool) or not isinstance(snr, (int, float, np.number))
    ):
        raise InputError(
            f"read_spectrum: snr must be a positive number, not {snr!r}"
        )
    if snr is not None and photon_noise:
        raise InputError(
            "read_spectrum: give either snr or photon_noise, not both"
        )
    if snr is not None and not (np.isfinite(snr) and snr > 0):
        raise InputError(
            f"read_spectrum: snr must be a positive number, not {snr!r}"
        )
    if not os.path.exists(path):
        raise MissingFileError(f"{path}: no such file")
    if os.path.isdir(path):
        raise InputError(f"{path}: is a directory, not a spectrum file")
    try:
        with open(path, "rb") as f:
            head = f.read(2880)
    except OSError as exc:
        raise InputError(f"{path}: cannot read ({exc.strerror})") from None
    if not head:
        raise InputError(f"{path}: empty file")
    if blaze_path is not None and not isinstance(
        blaze_path, (str, os.PathLike)
    ):
        raise TypeError(
            "read_spectrum: blaze_path must be a str or path-like, "
            f"not {type(blaze_path).__name__}"
        )
    if not isinstance(instrument, str):
        raise InputError(
            f"read_spectrum: instrument must be a name, not {instrument!r}"
        )
    hdus, skipped = _open_fits_noted(path)
    source = Source(
        path,
        head,
        hdus,
        None if wave_path is None else os.fspath(wave_path),
        skipped,
    )
    if source.wave_path is not None and not os.path.exists(source.wave_path):
        raise MissingFileError(
            f"wave_path {source.wave_path}: no such file"
        )
    blaze = None if blaze_path is None else os.fspath(blaze_path)
    if blaze is not None and not os.path.exists(blaze):
        raise MissingFileError(f"blaze_path {blaze}: no such file")
    prepared = None
    if instrument != "none" and (format is None or instrument != "auto"):
        from .instruments import prepare_with_profile

        prepared = prepare_with_profile(source, instrument, blaze)
    if prepared is None:
        prepared = _prepare_generic(source, format)
    _check(prepared.raw, path)
    return _finish(
        prepared,
        source,
        time_key=time_key,
        berv_key=berv_key,
        berv_unit=berv_unit,
        snr=snr,
        photon_noise=photon_noise,
        need_errors=need_errors,
    )


def _prepare_generic(source: Source, format: str | None) -> Prepared:
    """The file read by the generic reader named `format`, else by the
    first whose identifier accepts it."""
    path = source.path
    if format is not None:
        readers = [r for r in READERS if r.name == format]
        if not readers:
            names = ", ".join(r.name for r in READERS)
            raise InputError(
                f"read_spectrum: format {format!r} is unknown (known: {names})"
            )
        reader = readers[0]
    else:
        found = next((r for r in READERS if r.identify(source)), None)
        if found is None:
            kind = "FITS file" if source.hdus is not None else "file"
            raise InputError(
                f"{path}: unreadable format (a {kind} that no reader "
                f"recognises: {', '.join(r.name for r in READERS)})"
            )
        reader = found
    raw = reader.read(source)
    return Prepared(raw=raw, format=reader.name)


# --------------------------------------------------------------------------
# Bad pixels, errors and the finished spectrum


@dataclass
class Prepared:
    """A file read and interpreted, before errors, blaze, time and BERV.

    ``raw.flux`` (and ``raw.flux_err``) still hold the blaze when `blaze`
    is given.  `errors` is the instrument's own error model, called on
    that flux when the file has no usable errors and no option gives
    them; it returns the errors and their ``err_source``.
    """

    raw: Raw
    format: str | None = None
    bad: np.ndarray | None = None
    blaze: np.ndarray | None = None
    counts: bool = False
    frame: str = "observer"
    medium: str = "unknown"
    profile: str | None = None
    ground_based: bool = False
    notes: list[str] = field(default_factory=list)
    time_keys: tuple[str, ...] = ()
    berv_key: str | None = None
    berv_unit: str = "km/s"
    errors: Callable[[np.ndarray], tuple[np.ndarray, str]] | None = None


def zero_filled(flux: np.ndarray) -> np.ndarray:
    """Pixels that hold no data but a fill value: runs of 2 or more exact
    zeros (detector gaps, order ends), and values whose magnitude is below
    1e-6 of the order's 95th percentile (fill values such as 1e-58 at the
    ends of a merged spectrum), per order."""
    rows = np.atleast_2d(flux)
    out = np.zeros(rows.shape, dtype=bool)
    for i, row in enumerate(rows):
        zero = row == 0.0
        # A zero with a zero neighbour is part of a run of 2 or more.
        run = np.zeros_like(zero)
        run[1:] |= zero[1:] & zero[:-1]
        run[:-1] |= zero[:-1] & zero[1:]
        finite = np.abs(row[np.isfinite(row)])
        tiny = np.zeros_like(zero)
        if finite.size:
            level = float(np.percentile(finite, 95.0))
            if level > 0:
                with np.errstate(invalid="ignore"):
                    tiny = (np.abs(row) < 1e-6 * level) & ~zero
        out[i] = run | tiny
    return out.reshape(np.shape(flux))


def _unusable(err: np.ndarray) -> str | None:
    """What is wrong with an error array that holds no usable error at all
    (NaN, zero or negative throughout), else None."""
    with np.errstate(invalid="ignore"):
        if np.any(np.isfinite(err) & (err > 0)):
            return None
        if np.all(np.isnan(err)):
            return "NaN"
        if np.all(err == 0):
            return "zero"
    return "NaN, zero or negative"


def _lift_bad_errors(err: np.ndarray, bad: np.ndarray) -> np.ndarray:
    """Errors derived from the flux, raised at bad pixels to the largest
    error of the order's good pixels, so no bad pixel looks precise."""
    rows = np.atleast_2d(err).copy()
    bad_rows = np.atleast_2d(bad)
    for i, row in enumerate(rows):
        good = row[~bad_rows[i] & np.isfinite(row)]
        if good.size and bad_rows[i].any():
            row[bad_rows[i]] = np.maximum(
                np.nan_to_num(row[bad_rows[i]], nan=0.0), good.max()
            )
    return rows.reshape(np.shape(err))


def _errors(
    prepared: Prepared,
    path: str,
    snr: float | None,
    photon_noise: bool,
    need_errors: bool,
) -> tuple[np.ndarray, str, bool]:
    """The flux errors, their source and whether they were derived from
    the flux (rather than read)."""
    raw = prepared.raw
    err = raw.flux_err
    if err is not None:
        what = _unusable(err)
        if what is not None:
            prepared.notes.append(
                f"the file's flux errors are {what} throughout: ignored"
            )
            err = None
    if err is not None:
        return err, "file", False
    if snr is not None:
        return errors_from_snr(raw.flux, float(snr)), "snr", True
    if photon_noise:
        return errors_from_photons(raw.flux), "photon", True
    if prepared.errors is not None:
        err, source = prepared.errors(raw.flux)
        return err, source, True
    if not need_errors:
        return np.zeros_like(raw.flux), "none", False
    raise InputError(
        f"{path}: no flux errors in the file; give snr or photon_noise "
        "(--snr, --photon-noise)"
    )


def _bad_pixels(
    prepared: Prepared, err: np.ndarray, err_source: str
) -> np.ndarray:
    """Every pixel that is not data (see `Spectrum.bad`)."""
    flux = prepared.raw.flux
    bad = ~np.isfinite(flux) | zero_filled(flux)
    if prepared.bad is not None:
        bad |= prepared.bad
    with np.errstate(invalid="ignore"):
        if prepared.counts:
            bad |= flux <= 0
        if prepared.blaze is not None:
            bad |= ~(prepared.blaze > 0)
        if err_source != "none":
            bad |= ~(np.isfinite(err) & (err > 0))
    return bad


def _time_and_berv(
    prepared: Prepared,
    source: Source,
    time_key: str | None,
    berv_key: str | None,
    berv_unit: str | None,
) -> tuple[float | None, str | None, float]:
    """The time, its key and the BERV (m/s): the options first, then the
    profile's keys, then the generic defaults."""
    header, path = prepared.raw.header, source.path
    if time_key is None and prepared.time_keys:
        present = [
            k for k in prepared.time_keys
            if _header_value(header, k) is not None
        ]
        if present:
            time_key = present[0]
        else:
            prepared.notes.append(
                f"no {prepared.time_keys[0]} in the header: time from "
                "the generic keys"
            )
    time, used_key = _read_time(header, time_key, path, source.skipped)
    if berv_key is not None:
        _check_spoilt(source.skipped, berv_key, path)
    elif prepared.berv_key is not None:
        if _header_value(header, prepared.berv_key) is not None:
            berv_key = prepared.berv_key
        else:
            prepared.notes.append(
                f"no {prepared.berv_key} in the header: BERV taken as 0"
            )
    unit = berv_unit if berv_unit is not None else prepared.berv_unit
    return time, used_key, _read_berv(header, berv_key, unit, path)


def _finish(
    prepared: Prepared,
    source: Source,
    *,
    time_key: str | None,
    berv_key: str | None,
    berv_unit: str | None,
    snr: float | None,
    photon_noise: bool,
    need_errors: bool,
) -> Spectrum:
    """Errors, bad pixels, the blaze divided out, time and BERV."""
    path = source.path
    err, err_source, derived = _errors(
        prepared, path, snr, photon_noise, need_errors
    )
    bad = _bad_pixels(prepared, err, err_source)
    if derived:
        err = _lift_bad_errors(err, bad)
    elif err_source == "file" and prepared.profile is not None:
        # Zero or NaN errors of flagged pixels would weigh them infinitely
        # for a caller that ignores `bad`.
        with np.errstate(invalid="ignore"):
            unusable = bad & ~(np.isfinite(err) & (err > 0))
        if unusable.any():
            err = _lift_bad_errors(err, unusable)
    flux = prepared.raw.flux
    if prepared.blaze is not None:
        # Errors were made in counts; flux and errors alike lose the blaze.
        with np.errstate(divide="ignore", invalid="ignore"):
            usable = prepared.blaze > 0
            scale = np.where(usable, prepared.blaze, 1.0)
            flux = flux / scale
            err = err / scale
    time, used_key, berv = _time_and_berv(
        prepared, source, time_key, berv_key, berv_unit
    )
    notes = [
        f"header card {key!r} unreadable: skipped"
        for key in source.skipped
    ] + prepared.notes
    return Spectrum(
        wave=prepared.raw.wave,
        flux=flux,
        flux_err=err,
        time=time,
        berv=berv,
        path=path,
        err_source=err_source,
        time_key=used_key,
        format=prepared.format,
        header=prepared.raw.header,
        bad=bad,
        frame=prepared.frame,
        medium=prepared.medium,
        profile=prepared.profile,
        ground_based=prepared.ground_based,
        notes=notes,
    )
