#!/usr/bin/env bash
# Builds the native tests of the limiter core and the extension with
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs the native tests
# and the Python tests under them. Any report fails the run: the sanitizers
# stop the program at the first one, and their log files are checked as well,
# for reports from child interpreters that a test may have run.
#
# LeakSanitizer runs for the native tests. For the Python tests it is off
# (ASAN_OPTIONS=detect_leaks=0): the interpreter keeps much of its own memory
# until exit, and every allocation has interpreter frames on its stack, so no
# suppression could tell its memory from ours. tests/python/test_leaks.py
# checks the extension's memory and references instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/sanitizers}
python=${PYTHON:-python3}

if ! command -v g++ >/dev/null || [ ! -e /usr/include/gtest/gtest.h ]; then
    apt-get update -qq
    apt-get install -y -qq g++ libgtest-dev >/dev/null
fi
mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"

rm -rf "$build/logs"
mkdir -p "$build/logs"

# Fails the run on a failed test run ($1) or on any report in the logs. The
# logs also hold the warnings of allocations refused on purpose (tests ask
# for buffers too large to exist); every other line is part of a report.
check_reports() {
    local reports
    reports=$(cat "$build"/logs/* 2>/dev/null |
        grep -v "WARNING: AddressSanitizer failed to allocate" || true)
    if [ -n "$reports" ]; then
        echo "sanitizer reports:" >&2
        echo "$reports" >&2
        exit 1
    fi
    if [ "$1" -ne 0 ]; then
        exit "$1"
    fi
}

echo "== native tests under ASan and UBSan"
cmake -S . -B "$build/native" -DZARN_BUILD_TESTS=ON -DZARN_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
quiet_build "$build/native" all
status=0
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:log_path=$build/logs/native-asan" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$build/logs/native-ubsan" \
    ctest --test-dir "$build/native" --output-on-failure || status=$?
check_reports "$status"

echo "== Python tests under ASan and UBSan"
"$python" -m venv "$build/venv"
venv_python=$build/venv/bin/python
"$venv_python" -m pip install --quiet --upgrade pip
"$venv_python" -m pip install --quiet numpy pandas pytest hypothesis
"$venv_python" -m pip install --quiet --force-reinstall --no-deps \
    --config-settings=cmake.define.ZARN_SANITIZE=ON \
    --config-settings=cmake.build-type=RelWithDebInfo \
    --config-settings=build-dir="$build/extension" .

# The sanitizer runtime has to come first in a process whose interpreter was
# not built with it, and the C++ runtime has to be loaded when it starts, for
# it to find the real functions behind its interceptors (__cxa_throw, which
# NumPy's C++ parts may call). The extension keeps its own static C++ runtime
# as in the ordinary build, so a failed allocation still throws bad_alloc
# there (the sanitizer's operator new would end the process instead); its
# malloc and free are the sanitizer's all the same. With PYTHONMALLOC=malloc
# the sanitizer sees the interpreter's own objects too, so that writes past
# them are caught. A quarantine of 16 MiB (instead of 256) keeps freed memory
# from piling up in the resident set, which some tests measure, while a use
# of memory shortly after it was freed is still caught.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
env LD_PRELOAD="$preload" PYTHONMALLOC=malloc ZARN_HYPOTHESIS_PROFILE=ci \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:quarantine_size_mb=16:log_path=$build/logs/python-asan" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$build/logs/python-ubsan" \
    "$venv_python" -m pytest tests/python -q -p no:cacheprovider || status=$?
check_reports "$status"
echo "sanitizers: no reports"
