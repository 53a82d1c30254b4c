#!/usr/bin/env bash
# Installs what quasmir needs on a Debian machine (GSL from Debian, the build
# tools, numpy and pytest from PyPI) and builds quasmir and linestack into
# the current Python.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! dpkg -s libgsl-dev >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libgsl-dev >/dev/null
fi

# A Debian system Python marks itself externally managed; install anyway.
PIP_BREAK_SYSTEM_PACKAGES=1 python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore ".[test]"
