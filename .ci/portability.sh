#!/usr/bin/env bash
# Builds the limiter core and its native tests with the toolchains of the
# platforms the package supports besides the default one, and runs them:
#   - GCC 11 (the compiler of Ubuntu 22.04),
#   - clang with libc++ (GoogleTest built from source against libc++),
#   - mingw-w64 for Windows, the tests run under wine.
# Every exact worked value of the native tests has to hold in each.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/portability}
gtest_sources=/usr/src/googletest

source .ci/debian_packages.sh
install_debian_packages "GCC 11; clang with libc++; mingw-w64 and wine to build and run the \
Windows tests; libgtest-dev for GoogleTest's sources" \
    g++-11 clang libc++-dev libc++abi-dev g++-mingw-w64-x86-64 wine64 libgtest-dev
# CMake and Ninja from PyPI, into this script's venv.
mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"

# Configures, builds and runs the native tests of one toolchain.
check() {
    local name=$1
    shift
    echo "== $name"
    local start=$SECONDS
    cmake -S . -B "$build/$name" -Wno-deprecated -DCMAKE_BUILD_TYPE=Release \
        -DZARN_BUILD_TESTS=ON "$@" >/dev/null
    quiet_build "$build/$name" core_tests
    if ! ctest --test-dir "$build/$name" --output-on-failure >"$build/$name/ctest.log" 2>&1; then
        cat "$build/$name/ctest.log"
        return 1
    fi
    tail -n 3 "$build/$name/ctest.log"
    echo "   built and tested in $((SECONDS - start)) s"
}

check gcc-11 -DCMAKE_CXX_COMPILER=g++-11

check clang-libc++ -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
    -DZARN_GTEST_SOURCE_DIR="$gtest_sources"

# Linked statically (libstdc++, libgcc, winpthread) so that the program needs
# no DLL beside it; wine runs headless in a prefix of its own.
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
check mingw-w64 -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix \
    -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_EXE_LINKER_FLAGS=-static -DCMAKE_CROSSCOMPILING_EMULATOR="$wine" \
    -DZARN_GTEST_SOURCE_DIR="$gtest_sources"
# The one test above is the whole GoogleTest program: its own count.
grep -h -E '^\[  (PASSED|FAILED)  \]' "$build/mingw-w64/Testing/Temporary/LastTest.log"
