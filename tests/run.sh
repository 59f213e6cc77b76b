#!/usr/bin/env bash
# Runs every test: the native tests of the limiter core (GoogleTest, through
# CTest) and the Python tests (pytest). Everything it installs from PyPI (the
# package with its test tools, and CMake and Ninja for the native build) goes
# into the virtual environment whose interpreter is $PYTHON, as the README
# shows:
#
#     python3 -m venv .venv && PYTHON=.venv/bin/python bash tests/run.sh
#
# The one system package it may install is GoogleTest, with apt-get (as root,
# or through sudo otherwise); it says so first.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
build_dir=${ZARN_NATIVE_BUILD_DIR:-build/native-tests}

# pip installs into the interpreter's own environment; that is only this
# script's to change when it is a virtual environment.
if ! "$python" -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    echo "tests/run.sh: $python is not a virtual environment's interpreter, and the tests" >&2
    echo "install packages into it. Run them in one of their own:" >&2
    echo "    python3 -m venv .venv && PYTHON=.venv/bin/python bash tests/run.sh" >&2
    exit 2
fi

if [ ! -e /usr/include/gtest/gtest.h ]; then
    echo "tests/run.sh: the native tests need GoogleTest, which is not installed;"
    echo "installing the system package libgtest-dev with apt-get."
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        sudo="sudo"
        echo "(apt-get needs root: sudo may ask for your password.)"
    fi
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq libgtest-dev >/dev/null
fi

echo "== installing the package, its test tools, CMake and Ninja into $python's environment"
"$python" -m pip install --quiet '.[test]' 'cmake>=3.26' ninja
scripts=$("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')

echo "== native tests"
"$scripts/cmake" -S . -B "$build_dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$scripts/ninja" \
    -DZARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
"$scripts/cmake" --build "$build_dir" -j 2
# A test name is a line of every listing and report: keep it readable.
if "$scripts/ctest" --test-dir "$build_dir" -N | awk 'length($0) > 120 { long = 1 } END { exit !long }'; then
    echo "tests/run.sh: native test names over 120 characters:" >&2
    "$scripts/ctest" --test-dir "$build_dir" -N | awk 'length($0) > 120' | cut -c 1-160 >&2
    exit 1
fi
"$scripts/ctest" --test-dir "$build_dir" --output-on-failure

echo "== Python tests"
# Run against the installed package, not the source tree.
"$python" -m pytest tests/python -q -p no:cacheprovider
