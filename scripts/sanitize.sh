#!/usr/bin/env bash
# Builds quasmir and linestack with AddressSanitizer and UBSan into
# build/sanitize and runs the test suite against that build.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/sanitize
cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined" \
    -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build "$out"
mkdir -p "$out/pkg/linestack"
cp "$out"/quasmir*.so "$out/pkg/"
cp "$out/liblinestack.so" python/linestack/__init__.py "$out/pkg/linestack/"
mkdir -p "$out/pkg/quasmir_tool"
cp python/quasmir_tool/*.py "$out"/_batch*.so "$out/pkg/quasmir_tool/"
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
PYTHONPATH="$PWD/$out/pkg" python3 -m pytest -p no:cacheprovider "$@"
