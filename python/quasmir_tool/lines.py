"""Line lists, automatic line finding, exclusion masks and the line
windows that split a spectrum's pixels between its lines.

Wavelengths are in angstrom (or whatever unit the spectrum and the master
share), velocities in m/s.  A line list lives in the master's rest frame;
its windows are moved to the spectrum by the Doppler factor of the current
velocity, the same relativistic factor the core applies to the master,
``sqrt((1 + v/c) / (1 - v/c))``.
"""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

from .errors import InputError

C_LIGHT = 299792458.0  # m/s

# Column names recognised in line list and mask files (lower case).
_CENTRE_NAMES = ("centre", "center", "wave", "wavelength", "lambda", "wl",
                 "line", "ll_centre", "wave_centre", "wave_center")
_HALF_WIDTH_NAMES = ("half_width", "halfwidth", "hw", "hwhm", "width",
                     "half-width")
_START_NAMES = ("start", "wave_start", "ll", "lambda_start", "wmin", "begin",
                "left", "lo", "low", "wave_min")
_END_NAMES = ("end", "wave_end", "lu", "lambda_end", "wmax", "stop", "right",
              "hi", "high", "wave_max")
_WEIGHT_NAMES = ("weight", "w", "contrast", "depth")


def doppler_factor(rv: float | np.ndarray) -> float | np.ndarray:
    """Relativistic Doppler factor of a velocity.

    Parameters
    ----------
    rv : float or numpy.ndarray
        Velocity (m/s), positive for a redshift.

    Returns
    -------
    float or numpy.ndarray
        ``sqrt((1 + b) / (1 - b))`` with ``b = rv / c``: a wavelength
        (angstrom) emitted at ``x`` is received at ``x * factor``.  The
        core shifts the master grid as ``x - x * (1 - factor)``, which
        differs from ``x * factor`` only by rounding.
    """
    b = np.asarray(rv, dtype=float) / C_LIGHT
    out = np.sqrt((b + 1.0) / (1.0 - b))
    return float(out) if np.ndim(out) == 0 else out


def shift_wavelengths(wave: np.ndarray, rv: float) -> np.ndarray:
    """Doppler-shift wavelengths exactly as the core shifts its master.

    Parameters
    ----------
    wave : numpy.ndarray
        Wavelengths (angstrom).
    rv : float
        Velocity (m/s), positive for a redshift.

    Returns
    -------
    numpy.ndarray
        ``wave - wave * (1 - sqrt((1 + b) / (1 - b)))``, ``b = rv / c``.
    """
    b = rv / C_LIGHT
    f = 1.0 - np.sqrt((b + 1.0) / (1.0 - b))
    wave = np.asarray(wave, dtype=float)
    return wave - wave * f



def search_shifted(wave: np.ndarray, rv: float, x: np.ndarray,
                   side: str = "left") -> np.ndarray:
    """``np.searchsorted(shift_wavelengths(wave, rv), x, side)`` without
    shifting the whole grid.

    The insertion points are first found on the unshifted grid at
    ``x / D(rv)`` and then corrected against the shifted values of the
    neighbouring points only, computed element by element as
    `shift_wavelengths` computes them; the result is the same, at a cost
    that depends on ``x.size``, not on ``wave.size``.

    Parameters
    ----------
    wave : numpy.ndarray
        Ascending wavelengths (angstrom).
    rv : float
        Velocity (m/s) of the shift.
    x : numpy.ndarray
        Wavelengths (angstrom) to place.
    side : {"left", "right"}
        As for `numpy.searchsorted`.

    Returns
    -------
    numpy.ndarray
        int64 insertion points into the shifted grid.
    """
    b = rv / C_LIGHT
    f = 1.0 - np.sqrt((b + 1.0) / (1.0 - b))
    x = np.asarray(x, dtype=float)
    n = wave.size
    j = np.searchsorted(wave, x / (1.0 - f), side=side).astype(np.int64)
    strict = side == "left"

    def before(k, xs):  # whether the shifted point k goes before xs
        w = wave[k]
        return (w - w * f) < xs if strict else (w - w * f) <= xs

    # The shifted grid is non-decreasing (the shift changes a wavelength
    # by far less than its spacing), so each point moves by a step or two.
    while True:
        idx = np.flatnonzero(j < n)
        idx = idx[before(j[idx], x[idx])]
        if not idx.size:
            break
        j[idx] += 1
    while True:
        idx = np.flatnonzero(j > 0)
        idx = idx[~before(j[idx] - 1, x[idx])]
        if not idx.size:
            break
        j[idx] -= 1
    return j


@dataclass
class LineList:
    """Spectral lines to measure, in the master's (rest) frame.

    Attributes
    ----------
    centre : numpy.ndarray
        Line centres (angstrom), ascending.
    start, end : numpy.ndarray
        The line's own interval (angstrom) as given by the list (or found),
        before windows are split between neighbours.
    weight : numpy.ndarray
        Relative weight (a CCF mask's weight, or the depth of a found
        line); 1.0 when the list gives none.
    depth : numpy.ndarray or None
        Depth of each line as a fraction of the continuum, when known
        (found lines, synthetic stars).
    fwhm : numpy.ndarray or None
        Full width at half maximum (angstrom) of each line, when known
        (synthetic stars).
    """

    centre: np.ndarray
    start: np.ndarray
    end: np.ndarray
    weight: np.ndarray
    depth: np.ndarray | None = None
    fwhm: np.ndarray | None = None

    def __len__(self) -> int:
        return int(np.size(self.centre))


def _fail(func: str, message: str) -> InputError:
    return InputError(f"{func}: {message}")


def _read_table(path, func: str):
    """Read a small text/CSV/FITS table with astropy; one-line errors."""
    from astropy.table import Table

    path = os.fspath(path)
    if not os.path.exists(path):
        raise _fail(func, f"file not found: {path}")
    if os.path.isdir(path):
        raise _fail(func, f"{path} is a directory, not a file")
    lower = path.lower()
    try:
        if lower.endswith((".fits", ".fit", ".fits.gz", ".fts")):
            table = Table.read(path, format="fits")
        elif lower.endswith(".csv"):
            table = Table.read(path, format="ascii.csv", comment="#")
        else:
            table = Table.read(path, format="ascii", guess=True,
                               comment="#")
    except Exception as exc:  # astropy raises many types for bad files
        reason = str(exc).splitlines()[0] if str(exc) else type(exc).__name__
        raise _fail(func, f"cannot read {path} as a table ({reason})") \
            from exc
    return table


def _column(table, names, func, path, required=True):
    """The first column whose lower-case name is one of `names`."""
    lookup = {name.lower().strip(): name for name in table.colnames}
    for name in names:
        if name in lookup:
            return _numeric(table[lookup[name]], lookup[name], func, path)
    if required:
        raise _fail(func, f"{path} has no column named {names[0]!r} "
                          f"(columns: {', '.join(table.colnames)})")
    return None


def _numeric(column, name, func, path) -> np.ndarray:
    try:
        values = np.asarray(column, dtype=float)
    except (TypeError, ValueError) as exc:
        raise _fail(func, f"column {name!r} of {path} is not numeric") \
            from exc
    if np.ma.is_masked(column):
        raise _fail(func, f"column {name!r} of {path} has empty entries")
    return values


def _positional(table) -> bool:
    """True when the table has no named header (astropy's col1, col2...)."""
    return all(name == f"col{i + 1}" for i, name in enumerate(table.colnames))


def read_lines(path) -> LineList:
    """Read a line list file.

    Three layouts are understood, by column name (case-insensitive) or,
    without a header, by position:

    - centre and half-width: ``centre`` (or ``wave``, ``wavelength``,
      ``lambda``) and ``half_width`` (or ``hw``, ``width``);
    - start and end: ``start`` and ``end`` (or ``wave_start``/``wave_end``,
      ``ll``/``lu``), the centre being their midpoint unless given;
    - a CCF mask: start, end and ``weight`` (or ``contrast``, ``depth``).

    Without a header, two columns are (centre, half-width) when the second
    column is smaller than the first everywhere, else (start, end); three
    columns are (start, end, weight).  Extra columns are ignored.

    Parameters
    ----------
    path : str or os.PathLike
        Text (whitespace or CSV, ``#`` comments) or FITS table.

    Returns
    -------
    LineList
        Sorted by centre; wavelengths in the file's unit (angstrom).

    Raises
    ------
    InputError
        Missing or unreadable file, missing columns, non-numeric or
        non-finite values, an end not beyond its start, or no line.
    """
    func = "read_lines"
    table = _read_table(path, func)
    path = os.fspath(path)
    if len(table) == 0:
        raise _fail(func, f"{path} lists no line")
    weight = None
    if _positional(table):
        cols = [_numeric(table[name], name, func, path)
                for name in table.colnames]
        if len(cols) < 2:
            raise _fail(func, f"{path} needs at least two columns "
                              "(centre and half-width, or start and end)")
        if len(cols) == 2 and np.all(cols[1] < cols[0]):
            centre, half = cols
            start, end = centre - half, centre + half
        else:
            start, end = cols[0], cols[1]
            centre = 0.5 * (start + end)
            if len(cols) >= 3:
                weight = cols[2]
    else:
        centre = _column(table, _CENTRE_NAMES, func, path, required=False)
        half = _column(table, _HALF_WIDTH_NAMES, func, path, required=False)
        start = _column(table, _START_NAMES, func, path, required=False)
        end = _column(table, _END_NAMES, func, path, required=False)
        weight = _column(table, _WEIGHT_NAMES, func, path, required=False)
        if start is not None and end is not None:
            if centre is None:
                centre = 0.5 * (start + end)
        elif centre is not None and half is not None:
            start, end = centre - np.abs(half), centre + np.abs(half)
        else:
            raise _fail(func, f"{path} needs columns 'start' and 'end', or "
                              "'centre' and 'half_width' (columns: "
                              f"{', '.join(table.colnames)})")
    if weight is None:
        weight = np.ones_like(centre)
    return make_line_list(centre, start, end, weight, func=func, where=path)


def make_line_list(centre, start=None, end=None, weight=None, *,
                   func: str = "make_line_list",
                   where: str = "the line list") -> LineList:
    """Build a checked, sorted `LineList` from arrays.

    Parameters
    ----------
    centre : array_like
        Line centres (angstrom).
    start, end : array_like, optional
        Each line's interval (angstrom); default: the centre itself.
    weight : array_like, optional
        Relative weights; default 1.0.
    func, where : str
        Function and source named in error messages.

    Returns
    -------
    LineList
        Sorted by centre.

    Raises
    ------
    InputError
        No line, non-finite values, or an end before its start.
    """
    centre = np.atleast_1d(np.asarray(centre, dtype=float))
    start = centre.copy() if start is None else \
        np.atleast_1d(np.asarray(start, dtype=float))
    end = centre.copy() if end is None else \
        np.atleast_1d(np.asarray(end, dtype=float))
    weight = np.ones_like(centre) if weight is None else \
        np.atleast_1d(np.asarray(weight, dtype=float))
    if centre.size == 0:
        raise _fail(func, f"{where} lists no line")
    if not (start.shape == end.shape == weight.shape == centre.shape):
        raise _fail(func, f"{where}: centre, start, end and weight differ "
                          "in length")
    for name, values in (("centre", centre), ("start", start),
                         ("end", end), ("weight", weight)):
        bad = np.flatnonzero(~np.isfinite(values))
        if bad.size:
            raise _fail(func, f"{where}: {name} is not finite "
                              f"(line {bad[0] + 1})")
    bad = np.flatnonzero(end < start)
    if bad.size:
        raise _fail(func, f"{where}: end before start (line {bad[0] + 1})")
    order = np.argsort(centre, kind="stable")
    return LineList(centre=centre[order], start=start[order],
                    end=end[order], weight=weight[order])


def read_mask(path) -> np.ndarray:
    """Read excluded wavelength intervals.

    The file has two columns, start and end (by the names ``start``/``end``
    or their aliases, or by position), in the spectrum's observed frame
    (angstrom, the wavelengths as written in the spectrum file): telluric
    bands and bad detector columns stay put while the star moves.

    Parameters
    ----------
    path : str or os.PathLike
        Text (whitespace or CSV, ``#`` comments) or FITS table.

    Returns
    -------
    numpy.ndarray
        Shape (n, 2): (start, end) of each interval, sorted by start.

    Raises
    ------
    InputError
        Missing or unreadable file, missing or non-numeric columns,
        non-finite values or an end before its start.
    """
    func = "read_mask"
    table = _read_table(path, func)
    path = os.fspath(path)
    if len(table) == 0:
        return np.empty((0, 2))
    if _positional(table):
        if len(table.colnames) < 2:
            raise _fail(func, f"{path} needs two columns (start, end)")
        start = _numeric(table["col1"], "col1", func, path)
        end = _numeric(table["col2"], "col2", func, path)
    else:
        start = _column(table, _START_NAMES, func, path)
        end = _column(table, _END_NAMES, func, path)
    return check_mask(np.column_stack([start, end]), func=func, where=path)


def check_mask(mask, *, func: str = "measure",
               where: str = "mask") -> np.ndarray:
    """Check excluded intervals and return them as a sorted (n, 2) array.

    Parameters
    ----------
    mask : array_like
        (start, end) pairs (angstrom); an empty sequence or None is no
        mask.
    func, where : str
        Function and argument named in error messages.

    Returns
    -------
    numpy.ndarray
        Shape (n, 2), sorted by start.

    Raises
    ------
    InputError
        Wrong shape, non-finite values or an end before its start.
    """
    if mask is None:
        return np.empty((0, 2))
    mask = np.asarray(mask, dtype=float)
    if mask.size == 0:
        return np.empty((0, 2))
    if mask.ndim == 1 and mask.size == 2:
        mask = mask[None, :]
    if mask.ndim != 2 or mask.shape[1] != 2:
        raise _fail(func, f"{where} must be (start, end) pairs, not an "
                          f"array of shape {mask.shape}")
    bad = np.flatnonzero(~np.isfinite(mask).all(axis=1))
    if bad.size:
        raise _fail(func, f"{where}: interval {bad[0] + 1} is not finite")
    bad = np.flatnonzero(mask[:, 1] < mask[:, 0])
    if bad.size:
        raise _fail(func, f"{where}: interval {bad[0] + 1} ends before "
                          "it starts")
    return mask[np.argsort(mask[:, 0], kind="stable")]


def find_lines(wave, flux, *, threshold: float = 0.05,
               prominence: float | None = None,
               continuum_width: float = 2.0) -> LineList:
    """Find the lines of a master from its local minima.

    The continuum is the running maximum of the flux over
    `continuum_width`; a line is a local minimum whose depth below it
    (a fraction of the continuum) is at least `threshold` and that stands
    at least `prominence` above its neighbouring maxima (so that noise in
    a line's core or wing does not split it).  The centre is refined by a
    parabola through the minimum and its two neighbours; the line's
    interval runs between the flanking maxima.

    Parameters
    ----------
    wave : array_like
        Master wavelengths (angstrom), ascending.
    flux : array_like
        Master flux, same length.
    threshold : float
        Minimum depth, as a fraction of the continuum (default 0.05).
    prominence : float, optional
        Minimum prominence, as a fraction of the continuum; default half
        the threshold.
    continuum_width : float
        Width (angstrom) of the running maximum that estimates the
        continuum (default 2.0).

    Returns
    -------
    LineList
        Centres, intervals, weights (the depths) and depths.

    Raises
    ------
    InputError
        Bad arrays, or no line deeper than the threshold.
    """
    from scipy.ndimage import maximum_filter1d
    from scipy.signal import find_peaks

    func = "find_lines"
    wave = np.asarray(wave, dtype=float)
    flux = np.asarray(flux, dtype=float)
    if wave.ndim != 1 or wave.shape != flux.shape or wave.size < 3:
        raise _fail(func, "wave and flux must be one-dimensional arrays of "
                          "one length, at least 3")
    if not np.all(np.isfinite(wave)) or np.any(np.diff(wave) <= 0):
        raise _fail(func, "wave must be finite and strictly ascending")
    if not 0.0 < threshold < 1.0:
        raise _fail(func, f"threshold must lie in (0, 1), not {threshold}")
    if prominence is None:
        prominence = 0.5 * threshold
    good = np.isfinite(flux)
    filled = np.where(good, flux, np.interp(wave, wave[good], flux[good])) \
        if good.any() else flux
    step = float(np.median(np.diff(wave)))
    size = max(3, int(round(continuum_width / step)) | 1)
    continuum = maximum_filter1d(filled, size=size, mode="nearest")
    with np.errstate(divide="ignore", invalid="ignore"):
        depth = 1.0 - filled / continuum
    depth = np.where(np.isfinite(depth), depth, 0.0)
    peaks, props = find_peaks(depth, height=threshold, prominence=prominence)
    peaks = peaks[(peaks > 0) & (peaks < wave.size - 1)]
    if peaks.size == 0:
        raise _fail(func, f"no line deeper than {threshold} of the "
                          "continuum")
    # Parabola through (k-1, k, k+1): vertex offset in units of the step.
    y0, y1, y2 = depth[peaks - 1], depth[peaks], depth[peaks + 1]
    denom = y0 - 2.0 * y1 + y2
    with np.errstate(divide="ignore", invalid="ignore"):
        delta = np.where(denom != 0.0, 0.5 * (y0 - y2) / denom, 0.0)
    delta = np.clip(delta, -0.5, 0.5)
    lo = np.where(delta < 0, peaks - 1, peaks)
    centre = wave[lo] + (delta - (lo - peaks)) * (wave[lo + 1] - wave[lo])
    # Each line runs between the flanking minima of its depth (the flux
    # maxima on either side).
    bounds = np.flatnonzero(
        np.r_[True, (depth[1:-1] <= depth[:-2]) & (depth[1:-1] <= depth[2:]),
              True])
    pos = np.searchsorted(bounds, peaks)
    start = wave[bounds[np.clip(pos - 1, 0, bounds.size - 1)]]
    end = wave[bounds[np.clip(pos, 0, bounds.size - 1)]]
    lines = make_line_list(centre, np.minimum(start, centre),
                           np.maximum(end, centre), depth[peaks], func=func,
                           where="the master")
    order = np.argsort(centre, kind="stable")
    lines.depth = depth[peaks][order]
    return lines


@dataclass
class Windows:
    """Line windows of one spectral order at one velocity.

    Pixel ranges are half-open, ``wave[pix_start[i]:pix_stop[i]]``;
    master ranges likewise into the master arrays.

    Attributes
    ----------
    line : numpy.ndarray
        Index of the line in the line list (int64).
    pix_start, pix_stop : numpy.ndarray
        Pixel range of each window (int64).
    master_start, master_stop : numpy.ndarray
        Master range of each window, with a margin (int64).
    lo, hi : numpy.ndarray
        Window edges in the rest frame (angstrom).
    reason : numpy.ndarray
        Empty string for a usable window, else why it is dropped.
    """

    line: np.ndarray
    pix_start: np.ndarray
    pix_stop: np.ndarray
    master_start: np.ndarray
    master_stop: np.ndarray
    lo: np.ndarray
    hi: np.ndarray
    reason: np.ndarray


def window_edges(lines: LineList, reach: float = 30000.0,
                 min_width: float = 0.0):
    """Rest-frame window edges of the lines.

    Neighbouring lines split at the midpoint between their centres, so the
    windows never overlap and, where lines are closer than `reach`, they
    tile the spectrum without gaps (wings and continuum included).  An
    isolated line's window reaches `reach` beyond its centre, or its own
    interval from the list when that is wider, but never past a
    midpoint.  Lines closer together than `min_width` share one window
    (a blend is measured as one), so that no pixel is lost to a window too
    narrow to fit.

    Parameters
    ----------
    lines : LineList
        Sorted by centre.
    reach : float
        Half-width (m/s) of an isolated line's window (default 30 km/s,
        0.5 angstrom at 5000 angstrom).
    min_width : float
        Narrowest window (m/s); default 0, one window per line.

    Returns
    -------
    lo, hi : numpy.ndarray
        Window edges (angstrom), ``hi[g] <= lo[g + 1]``.
    rep : numpy.ndarray
        Index (int64) of each window's representative line, the one of
        largest weight: its centre is the window's reference wavelength.
    n_lines : numpy.ndarray
        Lines in each window (int64).
    """
    centre = np.asarray(lines.centre, dtype=float)
    weight = np.asarray(lines.weight, dtype=float)
    half = centre * (reach / C_LIGHT)
    own_lo = np.minimum(np.asarray(lines.start, dtype=float), centre - half)
    own_hi = np.maximum(np.asarray(lines.end, dtype=float), centre + half)
    mids = 0.5 * (centre[1:] + centre[:-1])
    rel = min_width / C_LIGHT
    # Greedy, left to right: a midpoint becomes a window edge only when
    # the window it closes is at least min_width wide.
    firsts = np.asarray(_window_firsts(mids, own_lo, rel), dtype=np.int64)
    lasts = np.r_[firsts[1:] - 1, centre.size - 1]
    # A last window narrower than min_width joins the one before it.
    if firsts.size > 1:
        right_end = own_hi[lasts[-1]]
        if right_end - mids[firsts[-1] - 1] < rel * right_end:
            firsts, lasts = firsts[:-1], np.r_[lasts[:-2], lasts[-1]]
    # Per window, all at once: the extremes of its lines' own intervals
    # (reduceat over the runs firsts..lasts), capped by the midpoints.
    left_mid = np.r_[-np.inf, mids][firsts]
    right_mid = np.r_[mids, np.inf][lasts]
    lo = np.maximum(left_mid, np.minimum.reduceat(own_lo, firsts))
    hi = np.minimum(right_mid, np.maximum.reduceat(own_hi, firsts))
    # The first line of largest weight in each window (as argmax picks).
    group = np.repeat(np.arange(firsts.size), lasts - firsts + 1)
    order = np.lexsort((np.arange(centre.size), -weight, group))
    rep = order[np.r_[0, np.cumsum(lasts - firsts + 1)[:-1]]]
    return lo, hi, rep.astype(np.int64), (lasts - firsts + 1).astype(
        np.int64)


def _window_firsts(mids: np.ndarray, own_lo: np.ndarray,
                   rel: float) -> list:
    """First line of every window (the greedy scan of `window_edges`).

    A midpoint closes a window when the window is at least ``rel`` times
    the midpoint wide.  Right after a midpoint was taken the test only
    involves that midpoint and the next line, so it is made for all
    midpoints at once; the sequential scan runs only from a midpoint
    that failed it to the next one taken, on Python floats.
    """
    n = mids.size
    # The left edge of the window that midpoint i would close if midpoint
    # i - 1 was taken (the first window starts at its own edge).
    left = np.maximum(np.r_[own_lo[0], mids[:-1]], own_lo[:-1])
    fails = np.flatnonzero(~(mids - left >= rel * mids)).tolist()
    m = mids.tolist()
    taken = []
    i = 0
    f = 0  # fails[f] is the first failure at or after i
    while i < n:
        while f < len(fails) and fails[f] < i:
            f += 1
        k = fails[f] if f < len(fails) else n
        taken.extend(range(i, k))  # every one after a taken midpoint
        if k == n:
            break
        edge = float(left[k])  # the open window's left edge
        j = k + 1
        while j < n and not (m[j] - edge >= rel * m[j]):
            j += 1
        if j < n:
            taken.append(j)
        i = j + 1
    return [0] + [t + 1 for t in taken]


def make_windows(lo: np.ndarray, hi: np.ndarray, wave: np.ndarray,
                 wave_master: np.ndarray, rv: float, *,
                 min_pixels: int = 4, margin: int = 4,
                 mask: np.ndarray | None = None,
                 to_observed: float = 1.0) -> Windows:
    """Pixels and master points of every line window at a velocity.

    The rest-frame edges move with the star: a pixel belongs to line ``i``
    when its wavelength lies in ``[lo[i], hi[i]) * D(rv)``, D the Doppler
    factor.  Each window's master slice reaches `margin` points beyond
    the pixels on the master grid shifted by `rv`.

    Parameters
    ----------
    lo, hi : numpy.ndarray
        Rest-frame window edges (angstrom), from `window_edges`.
    wave : numpy.ndarray
        Pixel wavelengths (angstrom) of one order, ascending, in the frame
        the master is compared in (barycentric).
    wave_master : numpy.ndarray
        Master wavelengths (angstrom), ascending.
    rv : float
        Current velocity (m/s).
    min_pixels : int
        Fewer pixels drop the window (``"too few pixels"``).
    margin : int
        Master points beyond the pixels' reach on each side.
    mask : numpy.ndarray, optional
        (n, 2) excluded intervals (angstrom) in the observed frame; a
        window touching one is dropped (``"masked"``).
    to_observed : float
        Factor from `wave`'s frame to the mask's (observed) frame.

    Returns
    -------
    Windows
        Only windows holding at least one pixel of this order.
    """
    factor = doppler_factor(rv)
    pix_start = np.searchsorted(wave, lo * factor, side="left")
    pix_stop = np.searchsorted(wave, hi * factor, side="left")
    keep = np.flatnonzero(pix_stop > pix_start)
    pix_start, pix_stop = pix_start[keep], pix_stop[keep]
    n = keep.size
    reason = np.full(n, "", dtype="U20")

    first = wave[pix_start] if n else np.empty(0)
    last = wave[pix_stop - 1] if n else np.empty(0)
    size = wave_master.size
    master_start = search_shifted(wave_master, rv, first, "right") - 1 \
        - margin
    master_stop = search_shifted(wave_master, rv, last, "left") + 1 + margin
    outside = (master_start < 0) | (master_stop > size)
    reason[outside] = "outside master"
    master_start = np.clip(master_start, 0, size)
    master_stop = np.clip(master_stop, 0, size)

    few = (pix_stop - pix_start) < min_pixels
    reason[few & (reason == "")] = "too few pixels"

    mask = check_mask(mask)
    if mask.shape[0] and n:
        # A window touches an interval when their spans overlap; both
        # compared in the observed frame.
        w_lo = lo[keep] * factor * to_observed
        w_hi = hi[keep] * factor * to_observed
        w_lo = np.maximum(w_lo, first * to_observed)
        w_hi = np.minimum(w_hi, last * to_observed)
        k = np.searchsorted(mask[:, 0], w_hi, side="right")
        ends = np.maximum.accumulate(mask[:, 1])
        touched = (k > 0) & (ends[np.maximum(k - 1, 0)] >= w_lo)
        reason[touched & (reason == "")] = "masked"
    return Windows(line=keep.astype(np.int64),
                   pix_start=pix_start.astype(np.int64),
                   pix_stop=pix_stop.astype(np.int64),
                   master_start=master_start.astype(np.int64),
                   master_stop=master_stop.astype(np.int64),
                   lo=lo[keep], hi=hi[keep], reason=reason)
