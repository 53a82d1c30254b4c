"""Where the real archive spectra are, for the tests that measure them.

They live outside the repository, in ``shared/realdata`` beside the
project's checkout (``QUASMIR_REALDATA`` names another place).  The files
are a user's: tests read them where they are and copy what they change.
"""

import os
from pathlib import Path

import pytest


def _find() -> Path | None:
    env = os.environ.get("QUASMIR_REALDATA")
    if env:
        return Path(env)
    here = Path(__file__).resolve()
    for parent in here.parents:
        candidate = parent.parent / "shared" / "realdata"
        if (parent / "pyproject.toml").exists() and candidate.is_dir():
            return candidate
    return None


ROOT = _find()
ALPHA_CEN_B = None if ROOT is None else ROOT / "harps-alphacenb"
SAMPLES = None if ROOT is None else ROOT / "harps-espresso-samples"

needs_realdata = pytest.mark.skipif(
    ROOT is None or not ROOT.is_dir(),
    reason="the real spectra (shared/realdata) are not beside this checkout",
)


def sample(name: str) -> Path:
    """A file of ``harps-espresso-samples``."""
    assert SAMPLES is not None
    return SAMPLES / name


def alpha_cen_b() -> list[Path]:
    """The 34 HARPS s1d files of alpha Cen B, in time order."""
    assert ALPHA_CEN_B is not None
    return sorted(ALPHA_CEN_B.glob("*_s1d_A.fits"))
