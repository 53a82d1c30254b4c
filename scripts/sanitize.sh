#!/usr/bin/env bash
# Builds every target of CMakeLists.txt (quasmir, linestack and any tool
# extension) with AddressSanitizer and UndefinedBehaviorSanitizer into
# build/sanitize, lays the built modules out as an installed tree beside the
# pure-Python packages (build/sanitize/pkg), and runs pytest against that
# tree.  Any sanitizer report stops the run with a non-zero status.
#
#   bash scripts/sanitize.sh                      # the whole suite
#   bash scripts/sanitize.sh tests/test_fuzz.py   # pytest arguments
#   QUASMIR_FUZZ=long bash scripts/sanitize.sh tests/test_fuzz*.py
#
# PYTHON selects the interpreter (default python3); it must have numpy,
# pytest, hypothesis and astropy.  The interpreter itself is not
# instrumented: the sanitizer runtimes are preloaded into it.  Leak checking
# is off for the suite (CPython and numpy keep memory alive at exit);
# tests/test_leaks.py runs its own child with leak checking on.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
out=build/sanitize
pkg=$out/pkg

# The build tools scikit-build-core uses; a machine set up by
# scripts/setup.sh may have had them only inside pip's build environment.
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null; then
    PIP_BREAK_SYSTEM_PACKAGES=1 "$python" -m pip install -q \
        --disable-pip-version-check --root-user-action=ignore cmake ninja
fi

flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined"
flags="$flags -fno-sanitize-recover=all"
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$out"

# The install rules place every built file where the wheel would; the
# Python packages of the wheel go beside them.
rm -rf "$pkg"
cmake --install "$out" --prefix "$PWD/$pkg" >/dev/null
for package in python/*/; do
    mkdir -p "$pkg/$(basename "$package")"
    cp -r "$package"/. "$pkg/$(basename "$package")/"
done
find "$pkg" -name __pycache__ -prune -exec rm -rf {} +

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan $ubsan${LD_PRELOAD:+ $LD_PRELOAD}"
# allocator_may_return_null: the out-of-memory tests expect a failed
# allocation to come back as null, not as a sanitizer report.
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONPATH="$PWD/$pkg${PYTHONPATH:+:$PYTHONPATH}"
# The tests check that they import this tree and not an installed copy.
export QUASMIR_SANITIZED="$PWD/$pkg"
export PYTHONDONTWRITEBYTECODE=1

"$python" -c 'import linestack, quasmir, quasmir_tool
print("sanitized build:", quasmir.__file__, linestack.library_path(),
      quasmir_tool.__file__, sep="\n  ")'
exec "$python" -m pytest -p no:cacheprovider "$@"
