"""``python -m quasmir_tool``: the ``quasmir`` command."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
