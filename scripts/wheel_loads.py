"""Check that an installed quasmir wheel runs on its own copy of GSL.

Run it with the interpreter of the environment the wheel is installed in,
from a directory outside the source tree. It imports every compiled module
the distribution installed and loads the linestack library, then reads this
process's memory map: every libgsl / libgslcblas mapped must be the copy
inside the wheel (``site-packages/quasmir.libs``), never the system's, and
every module must come from site-packages. Exits 1 with one line per
problem.
"""

import importlib
import importlib.machinery
import importlib.metadata
import sys
from pathlib import Path

DIST = "quasmir"


def extension_modules(dist: str) -> list[str]:
    """Dotted names of the compiled modules a distribution installed.

    The modules carry the interpreter's ABI tag in their suffix; a bare
    ``.so`` is a plain shared library (liblinestack), not a module.
    """
    suffixes = [
        s for s in importlib.machinery.EXTENSION_SUFFIXES if s != ".so"
    ]
    names = []
    for file in importlib.metadata.files(dist) or []:
        for suffix in suffixes:
            if file.name.endswith(suffix):
                stem = file.name[: -len(suffix)]
                names.append(".".join((*file.parts[:-1], stem)))
                break
    return sorted(names)


def mapped_files() -> set[Path]:
    """Files mapped into this process (/proc/self/maps, sixth column)."""
    with open("/proc/self/maps") as maps:
        fields = (line.split(maxsplit=5) for line in maps)
        return {Path(f[5].strip()) for f in fields if len(f) == 6}


def main() -> int:
    site = Path(importlib.metadata.distribution(DIST).locate_file(""))
    site = site.resolve()
    bundled = site / f"{DIST}.libs"
    problems = []

    modules = extension_modules(DIST)
    import linestack
    import quasmir_tool

    loaded = [importlib.import_module(name) for name in modules]
    loaded += [linestack, quasmir_tool]
    library = Path(linestack.library_path()).resolve()
    linestack.library()
    for path in [Path(m.__file__).resolve() for m in loaded] + [library]:
        print(f"loaded {path}")
        if not path.is_relative_to(site):
            problems.append(f"{path} is not inside {site}")

    gsl = sorted(p for p in mapped_files() if p.name.startswith("libgsl"))
    for path in gsl:
        print(f"mapped {path}")
        if path.resolve().parent != bundled:
            problems.append(f"{path} is not the GSL inside the wheel")
    if not gsl:
        problems.append(f"no GSL mapped after importing {modules}")
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
