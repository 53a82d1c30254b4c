"""Line lists, automatic line finding, exclusion masks and the line
windows that split a spectrum's pixels between its lines."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np


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
    """

    centre: np.ndarray
    start: np.ndarray
    end: np.ndarray
    weight: np.ndarray


def read_lines(path) -> LineList:
    """Read a line list file."""
    raise NotImplementedError


def find_lines(wave, flux, **options) -> LineList:
    """Find the lines of a master from its local minima."""
    raise NotImplementedError


def read_mask(path) -> np.ndarray:
    """Read excluded wavelength intervals: an (n, 2) array of (start, end)."""
    raise NotImplementedError
