"""How the tests run the installed ``quasmir`` command."""

import os
import shutil
import sys
import sysconfig


def quasmir_command():
    """The installed console script (beside the interpreter, or in its
    scripts directory), else ``python -m quasmir_tool``."""
    where = os.pathsep.join(
        [os.path.dirname(sys.executable), sysconfig.get_path("scripts")]
    )
    exe = shutil.which("quasmir", path=where)
    return [exe] if exe else [sys.executable, "-m", "quasmir_tool"]
