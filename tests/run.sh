#!/usr/bin/env bash
# Installs what the tests need and runs every test: the native tests of the
# limiter core (GoogleTest, through CTest) and the Python tests (pytest).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
build_dir=${ZARN_NATIVE_BUILD_DIR:-build/native-tests}

if [ ! -e /usr/include/gtest/gtest.h ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq libgtest-dev cmake g++ >/dev/null
fi

"$python" -m pip install --quiet --upgrade pip
"$python" -m pip install --quiet '.[test]'

cmake -S . -B "$build_dir" -DZARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j 2
ctest --test-dir "$build_dir" --output-on-failure

# Run the Python tests against the installed package, not the source tree.
"$python" -m pytest tests/python -q -p no:cacheprovider
