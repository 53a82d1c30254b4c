"""Telluric absorption lines, in the observer's (topocentric) frame.

A ground-based spectrum carries the lines of the Earth's atmosphere at
fixed observer-frame wavelengths, while the star's lines move with the
barycentric correction.  Velocity windows that touch a telluric line are
left out of a measurement; this module says where those lines are.

The line-level mask comes from a real transmission model: the MODTRAN
H2O and O2 cross-sections shipped by the optional package ``pwv_kpno``
(install the ``tellurics`` extra), 3000-12000 angstrom on a 0.05 angstrom
vacuum grid.  They are read at run time and never copied into this
repository.  The optical depth along the line of sight is

    tau = X * (PWV * k_H2O + N_O2 * sigma_O2),

with X the airmass, PWV the precipitable water vapour (mm), k_H2O the
optical depth of 1 mm of water, N_O2 = 0.2095 P / (m_air g) the vertical
O2 column at a site of surface pressure P and sigma_O2 the O2
cross-section.  The transmission exp(-tau) is convolved with a Gaussian
of resolving power R and the depth is 1 - T.  The conditions are chosen
to be conservative, so that a line masked here is masked on nearly every
night: a humid night (PWV 8 mm) at airmass 1.5, at the pressure of the
high sites of the ground-based velocity spectrographs (775 hPa, about
2400 m), at R = 100 000 (below HARPS, HARPS-N and ESPRESSO, so the
model's lines are a little wider than theirs).  Smooth absorbers (the
ozone Chappuis band, Rayleigh scattering, aerosols) are left out: they
change the continuum, which the measurement normalises, not the lines.

Without ``pwv_kpno`` a built-in table of the main telluric bands is used
instead (coarser: whole bands are masked, not lines).
"""

from __future__ import annotations

import functools
import hashlib
import importlib.metadata
import importlib.util
import math
import os
import tempfile
import warnings
import zipfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np
from scipy.special import erf

from .errors import InputError
from .media import air_to_vacuum, vacuum_to_air

__all__ = [
    "AIRMASS",
    "PWV_MM",
    "RESOLUTION",
    "SITE_PRESSURE_PA",
    "telluric_depth",
    "telluric_intervals",
    "telluric_source",
]

PWV_MM = 8.0
"""Precipitable water vapour at the zenith the mask is made for (mm)."""
AIRMASS = 1.5
"""Airmass the mask is made for."""
SITE_PRESSURE_PA = 77_500.0
"""Surface pressure (Pa): La Silla, Roque de los Muchachos, near Paranal."""
RESOLUTION = 100_000.0
"""Resolving power of the Gaussian the model is convolved with."""

_O2_FRACTION = 0.2095  # O2 mole fraction of dry air
_AIR_MOLECULE_KG = 28.9647e-3 / 6.02214076e23  # mean mass of dry air
_GRAVITY = 9.80665  # m / s**2
# Molecules per cm**2 in 1 mm of precipitable water: N_A rho / (M 10).
_H2O_PER_MM = 6.02214076e23 * 0.99997 / (18.0152 * 10.0)
_FORMAT = 1  # bump when the cached model's meaning changes

_MEDIA = ("air", "vacuum", "unknown")

# The main telluric bands at the conditions above, for use without the
# transmission model: (start, end) in standard air (angstrom) and a
# rounded depth of the band's deepest lines at R ~ 100 000.  The limits
# are the band heads and extents of the telluric bands in the solar
# atlases (Fraunhofer's A and B; Moore, Minnaert & Houtgast 1966, "The
# Solar Spectrum 2935 A to 8770 A", NBS Monograph 61; Wallace, Hinkle &
# Livingston, the NSO/Kitt Peak solar atlases of 1998 and 2007 for the
# red and near infrared), rounded outward to whole angstroms.
_BANDS = np.array(
    [
        # weak H2O 6-quanta band (a few per cent on a humid night)
        (5030.0, 5100.0, 0.05),
        # weak H2O lines near 5400-5470 and 5680-5770 angstrom
        (5405.0, 5470.0, 0.03),
        (5680.0, 5770.0, 0.03),
        # H2O 5-quanta band, around and through the Na D lines
        (5860.0, 6020.0, 0.25),
        # O2 gamma band (head 6276.6), with H2O lines on it
        (6274.0, 6332.0, 0.40),
        # H2O band around H alpha
        (6440.0, 6610.0, 0.30),
        # O2 B band (head 6867.2) and its P branch
        (6865.0, 6925.0, 1.00),
        # H2O 4-quanta band (its deep part)
        (6925.0, 7400.0, 1.00),
        # O2 A band (head 7593.7) and its P branch
        (7592.0, 7705.0, 1.00),
        # H2O band at 8200 angstrom
        (7860.0, 8450.0, 0.90),
        # H2O band at 9400 angstrom (3 quanta)
        (8900.0, 9900.0, 1.00),
        # H2O band at 1.13 micron
        (10800.0, 11700.0, 1.00),
    ]
)
_FALLBACK = (
    "built-in telluric band table (O2 A, B, gamma; H2O bands), band "
    "limits from the solar atlases; a line-level mask needs the "
    "'tellurics' extra (pwv-kpno)"
)


@dataclass(frozen=True)
class _Model:
    """A telluric depth model on a uniform vacuum wavelength grid.

    wave0 and step in angstrom; depth is 1 - T, convolved.  When `bands`
    is set the model is the fallback table (air limits, depth per band).
    """

    wave0: float
    step: float
    depth: np.ndarray
    source: str
    bands: np.ndarray | None = None

    @property
    def wave(self) -> np.ndarray:
        return self.wave0 + self.step * np.arange(self.depth.size)


def _check_depth(depth: float) -> float:
    if isinstance(depth, bool) or not isinstance(
        depth, (int, float, np.integer, np.floating)
    ):
        raise InputError(f"depth: {depth!r} is not a number")
    value = float(depth)
    if not 0.0 < value < 1.0:
        raise InputError(f"depth: {value!r} is not between 0 and 1")
    return value


def _check_medium(medium: str) -> str:
    if not isinstance(medium, str) or medium not in _MEDIA:
        raise InputError(
            f"medium: {medium!r} is not one of 'air', 'vacuum', 'unknown'"
        )
    return medium


def _pwv_kpno_dir() -> tuple[Path, str] | None:
    """The data directory and version of an installed pwv_kpno, or None.

    Only the package's location is looked up: its modules are not run
    (they import network and time-zone code this needs none of).
    """
    try:
        spec = importlib.util.find_spec("pwv_kpno")
    except (ImportError, ValueError):
        return None
    if spec is None or not spec.submodule_search_locations:
        return None
    try:
        version = importlib.metadata.version("pwv-kpno")
    except importlib.metadata.PackageNotFoundError:
        version = "unknown"
    return Path(list(spec.submodule_search_locations)[0]), version


def _cache_path(version: str) -> Path:
    key = (
        f"{_FORMAT}-{version}-{PWV_MM}-{AIRMASS}-{SITE_PRESSURE_PA}-"
        f"{RESOLUTION}"
    )
    digest = hashlib.sha1(key.encode()).hexdigest()[:12]
    root = os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache"
    name = f"tellurics-pwv_kpno-{version}-{digest}.npz"
    return Path(root) / "quasmir" / name


def _convolve(trans: np.ndarray, wave0: float, step: float,
              resolution: float, chunk: int = 2000) -> np.ndarray:
    """Transmission convolved with a Gaussian of resolving power R.

    The width lambda / R changes along the grid, so the grid is done in
    chunks of `chunk` pixels, each with the kernel of its centre.  The
    kernel is the Gaussian integrated over each pixel, as its sigma is
    below one pixel in the blue.
    """
    n = trans.size
    out = np.empty_like(trans)
    for start in range(0, n, chunk):
        stop = min(n, start + chunk)
        centre = wave0 + step * 0.5 * (start + stop)
        sigma = centre / resolution / (2.0 * math.sqrt(2.0 * math.log(2.0)))
        sigma /= step
        half = int(math.ceil(5.0 * sigma)) + 1
        edges = (np.arange(-half, half + 2) - 0.5) / (math.sqrt(2.0) * sigma)
        kernel = np.diff(0.5 * erf(edges))
        kernel /= kernel.sum()
        lo, hi = max(0, start - half), min(n, stop + half)
        padded = np.pad(trans[lo:hi], half, mode="edge")
        smooth = np.convolve(padded, kernel, mode="same")[half:-half]
        out[start:stop] = smooth[start - lo:stop - lo]
    return out


def _model_from_pwv_kpno(directory: Path, version: str) -> _Model:
    """The depth model from pwv_kpno's cross-sections (see module doc)."""
    path = _cache_path(version)
    source = (
        f"pwv_kpno {version}, PWV {PWV_MM:g} mm, airmass {AIRMASS:g}, "
        f"P {SITE_PRESSURE_PA / 100:g} hPa, R {RESOLUTION:.0f}"
    )
    try:
        with np.load(path) as cached:
            return _Model(float(cached["wave0"]), float(cached["step"]),
                          cached["depth"].astype(np.float64), source)
    except (OSError, KeyError, ValueError, EOFError, zipfile.BadZipFile):
        pass  # no cache yet, or a damaged one: computed again below
    atmosphere = directory / "default_atmosphere"
    # First column of each file: wavelength (micron, vacuum); the second:
    # the cross-section (cm**2) that pwv_kpno itself uses.
    h2o = np.loadtxt(atmosphere / "h2ocs.txt", usecols=(0, 1))
    o2 = np.loadtxt(atmosphere / "o2cs.txt", usecols=(0, 1))
    if h2o.shape != o2.shape or not np.allclose(h2o[:, 0], o2[:, 0]):
        raise ValueError("H2O and O2 grids differ")
    wave = h2o[:, 0] * 1e4
    step = (wave[-1] - wave[0]) / (wave.size - 1)
    if not np.allclose(np.diff(wave), step, rtol=1e-3):
        raise ValueError("the wavelength grid is not uniform")
    o2_column = _O2_FRACTION * SITE_PRESSURE_PA / (
        _AIR_MOLECULE_KG * _GRAVITY) * 1e-4  # per cm**2
    tau = AIRMASS * (PWV_MM * _H2O_PER_MM * h2o[:, 1] + o2_column * o2[:, 1])
    trans = _convolve(np.exp(-tau), wave[0], step, RESOLUTION)
    depth = np.clip(1.0 - trans, 0.0, 1.0)
    _save(path, float(wave[0]), step, depth.astype(np.float32))
    return _Model(float(wave[0]), float(step), depth, source)


def _save(path: Path, wave0: float, step: float,
          depth: np.ndarray) -> None:
    """Write the cache file atomically; a cache that cannot be written is
    only a slower next start."""
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=path.parent, suffix=".tmp")
        with os.fdopen(fd, "wb") as f:
            np.savez(f, wave0=wave0, step=step, depth=depth)
        os.replace(tmp, path)
    except OSError:
        pass


def _fallback_model(reason: str = "") -> _Model:
    source = _FALLBACK + (f" ({reason})" if reason else "")
    return _Model(0.0, 1.0, np.zeros(0), source, bands=_BANDS)


@functools.lru_cache(maxsize=1)
def _model() -> _Model:
    found = _pwv_kpno_dir()
    if found is None:
        return _fallback_model()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return _model_from_pwv_kpno(*found)
    except (OSError, ValueError, IndexError) as exc:
        return _fallback_model(f"pwv_kpno data unreadable: {exc}")


def _runs(mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """First and last index of each run of True in `mask`."""
    edges = np.diff(np.concatenate(([0], mask.view(np.int8), [0])))
    return np.flatnonzero(edges == 1), np.flatnonzero(edges == -1) - 1


def _merge(intervals: np.ndarray) -> np.ndarray:
    """Sorted intervals with overlapping ones joined."""
    if intervals.size == 0:
        return np.zeros((0, 2))
    intervals = intervals[np.argsort(intervals[:, 0])]
    out = [list(intervals[0])]
    for lo, hi in intervals[1:]:
        if lo <= out[-1][1]:
            out[-1][1] = max(out[-1][1], hi)
        else:
            out.append([lo, hi])
    return np.asarray(out, dtype=np.float64)


def _vacuum_intervals(model: _Model, depth: float) -> np.ndarray:
    """Vacuum intervals of the model where its depth exceeds `depth`.

    Each run of grid points above the threshold is widened by half a
    grid step (the crossing lies between two points) and by half a
    resolution element, lambda / (2 R), on each side.
    """
    first, last = _runs(model.depth > depth)
    lo = model.wave0 + model.step * first
    hi = model.wave0 + model.step * last
    lo = lo - 0.5 * model.step - lo / (2.0 * RESOLUTION)
    hi = hi + 0.5 * model.step + hi / (2.0 * RESOLUTION)
    return _merge(np.column_stack([lo, hi]))


def _air_band_intervals(model: _Model, depth: float) -> np.ndarray:
    assert model.bands is not None
    keep = model.bands[:, 2] > depth
    return _merge(model.bands[keep, :2].copy())


@functools.lru_cache(maxsize=32)
def _intervals(depth: float, medium: str) -> np.ndarray:
    if medium == "unknown":
        # Either medium may be right: mask where either puts a line.
        both = np.vstack([_intervals(depth, "air"),
                          _intervals(depth, "vacuum")])
        out = _merge(both)
    else:
        model = _model()
        if model.bands is not None:
            out = _air_band_intervals(model, depth)
            if medium == "vacuum":
                out = air_to_vacuum(out)
        else:
            out = _vacuum_intervals(model, depth)
            if medium == "air":
                out = vacuum_to_air(out)
        out = np.ascontiguousarray(out, dtype=np.float64).reshape(-1, 2)
    out.setflags(write=False)
    return out


def telluric_intervals(depth: float = 0.02, medium: str = "air"
                       ) -> np.ndarray:
    """Observer-frame wavelength intervals covering the telluric lines.

    Parameters
    ----------
    depth : float
        Threshold on the model's depth 1 - T, in (0, 1): every line
        deeper than this is covered.
    medium : {"air", "vacuum", "unknown"}
        Medium of the returned wavelengths; "unknown" gives the union of
        the air and the vacuum intervals.

    Returns
    -------
    numpy.ndarray
        Read-only (n, 2) array of [start, end] (angstrom, observer frame),
        ascending, merged, non-overlapping.  Each interval is a line's
        extent above `depth` plus half a resolution element on each side.
        Cached per (depth, medium).

    Raises
    ------
    InputError
        When `depth` is not in (0, 1) or `medium` is not known.
    """
    return _intervals(_check_depth(depth), _check_medium(medium))


def telluric_depth(wave: np.ndarray, medium: str = "air") -> np.ndarray:
    """The model's telluric depth 1 - T at observer-frame wavelengths.

    Parameters
    ----------
    wave : array_like
        Observer-frame wavelengths (angstrom) in `medium`.
    medium : {"air", "vacuum", "unknown"}
        Medium of `wave`; "unknown" gives the larger of the two readings.

    Returns
    -------
    numpy.ndarray
        Depth in [0, 1], same shape as `wave`; 0 outside the model.  The
        built-in band table gives each band's rounded peak depth
        throughout the band.
    """
    medium = _check_medium(medium)
    wave = np.asarray(wave, dtype=np.float64)
    if medium == "unknown":
        return np.maximum(telluric_depth(wave, "air"),
                          telluric_depth(wave, "vacuum"))
    model = _model()
    with np.errstate(invalid="ignore", divide="ignore"):
        if model.bands is not None:
            air = wave if medium == "air" else vacuum_to_air(wave)
            out = np.zeros(wave.shape)
            for lo, hi, peak in model.bands:
                inside = (air >= lo) & (air <= hi)
                out[inside] = np.maximum(out[inside], peak)
            return out
        vac = wave if medium == "vacuum" else air_to_vacuum(wave)
        grid = model.wave
        return np.interp(vac, grid, model.depth, left=0.0, right=0.0)


def telluric_source() -> str:
    """Where the mask comes from and for which conditions, one line.

    For example ``"pwv_kpno 1.3.0, PWV 8 mm, airmass 1.5, P 775 hPa,
    R 100000"``, or the built-in band table's description.
    """
    return _model().source
