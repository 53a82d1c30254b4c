#!/usr/bin/env bash
# CI step: builds the manylinux wheel (scripts/build_wheel.sh), installs it
# with its dependencies from PyPI into a fresh virtual environment, and runs
# the example and the test suite against that installed copy, from a
# directory outside the source tree so that nothing is imported from here.
# Extra arguments go to pytest; $PYTHON chooses the Python (python3).
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
SECONDS=0

bash scripts/build_wheel.sh
wheel=$(ls "$src"/dist/quasmir-*manylinux*.whl)
echo "build: ${SECONDS} s"

venv=$src/build/wheel-venv   # not --system-site-packages: only the wheel
rm -rf "$venv"
${PYTHON:-python3} -m venv "$venv"
py=$venv/bin/python
"$py" -m pip install -q "$wheel[test]"
echo "install: ${SECONDS} s"

# A copy of what runs, in a scratch directory: `python -m` puts the current
# directory first on sys.path, and it holds no quasmir there.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r tests examples README.md scripts/wheel_loads.py "$work/"
# The stub test compares the installed stub with its source.
mkdir "$work/module" && cp module/quasmir.pyi "$work/module/"
cd "$work"

# Hide the system's GSL where a private mount namespace is allowed (root):
# the library files are covered by /dev/null for the command only.
gsl=$(ldconfig -p | sed -n 's/^\s*libgsl.* => //p' | xargs -r readlink -f |
    sort -u)
without_system_gsl() {
    if [ -n "$gsl" ] && unshare -m true 2>/dev/null; then
        echo "(system GSL hidden: $(echo $gsl))"
        unshare -m sh -c 'for f in $1; do mount --bind /dev/null "$f"; done
            shift; exec "$@"' sh "$gsl" "$@"
    else
        "$@"
    fi
}

# Every extension and the bundled GSL load from the venv, then the example.
without_system_gsl "$py" wheel_loads.py
without_system_gsl "$venv/bin/quasmir" example --quiet --outdir "$work/example"
# The tests' scalar reference itself calls the system GSL through ctypes.
"$py" -m pytest -q -p no:cacheprovider -c "$src/pyproject.toml" \
    --rootdir "$work" "$@" tests
echo "test_wheel: ${SECONDS} s in all"
