"""quasmir_tool: from spectrum files to a radial-velocity time series.

The tool layer over the exact estimators of the `quasmir` extension module:
readers for the usual spectrum formats, line windows, the iterated
line-by-line Taylor fit, a robust combination of the lines into one
velocity per spectrum, tables, figures and the ``quasmir`` command.

Velocities are in m/s, wavelengths in angstrom (or whatever unit the
spectrum and master share), times in days.
"""

from importlib import metadata as _metadata

from .errors import InputError, MissingFileError
from .lines import LineList, find_lines, read_lines, read_mask
from .measuring import Result, measure
from .reading import Spectrum, read_spectrum

try:
    __version__ = _metadata.version("quasmir")
except _metadata.PackageNotFoundError:  # run from a source tree
    __version__ = "0+unknown"

__all__ = [
    "__version__",
    "InputError",
    "MissingFileError",
    "LineList",
    "Result",
    "Spectrum",
    "find_lines",
    "measure",
    "read_lines",
    "read_mask",
    "read_spectrum",
]
