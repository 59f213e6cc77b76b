#!/usr/bin/env bash
# Builds the limiter core, its native tests and every extension module for
# macOS arm64 and x86-64, as the wheels' builds do: the wheels' deployment
# target (MACOSX_DEPLOYMENT_TARGET in pyproject.toml), the interpreter's
# symbols left to the loader (-undefined dynamic_lookup), hidden
# visibility. Zig's linker takes no exported symbols list (the wheels' Apple
# linker does) and crashes on -bundle, so these modules go without the list
# and are linked as -shared (a dynamic library, which Python loads as well),
# and their symbol tables show that the code itself exports _PyInit_<name>
# alone, besides what the linker and Zig's static libc++ always export.
# Nothing is run: this machine cannot run macOS programs. A failure to
# compile or link, or a module that exports more, fails the step.
#
# The compiler is Zig's clang with libc++ and macOS's SDK stubs (ziglang,
# from PyPI into this script's venv, with CMake and Ninja). The headers are
# CPython 3.11's, from Debian's python3.11 source package, with the
# pyconfig.h of Debian's x86-64 build (libpython3.11-dev): the stable ABI's
# headers read from it the sizes of C types, byte order and which standard
# headers exist, in which 64-bit little-endian macOS does not differ.
# Installs from Debian: libpython3.11-dev (that pyconfig.h), llvm-14
# (llvm-nm, to read the modules' Mach-O symbol tables), libgtest-dev
# (GoogleTest's sources).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/macos}
gtest_sources=/usr/src/googletest
config_h=/usr/include/x86_64-linux-gnu/python3.11/pyconfig.h

source .ci/debian_packages.sh
install_debian_packages "" libpython3.11-dev llvm-14 libgtest-dev
mkdir -p "$build/pyconfig"
# Zig 0.14: the macOS headers of 0.17 lose FLT_MAX and INFINITY.
source .ci/build_tools.sh "$build/tools" ziglang==0.14.1
source .ci/zig_toolchain.sh
source .ci/cpython_headers.sh "$build"
cp "$config_h" "$build/pyconfig/pyconfig.h"
# Read after CMake's rules for macOS, which link a module with -bundle.
echo 'set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")' >"$build/shared_modules.cmake"

deployment_target=$(sed -n 's/.*MACOSX_DEPLOYMENT_TARGET = "\([0-9.]*\)".*/\1/p' pyproject.toml)
[ -n "$deployment_target" ] || { echo "no MACOSX_DEPLOYMENT_TARGET in pyproject.toml" >&2; exit 1; }

for arch in aarch64 x86_64; do
    name=macos-$arch
    echo "== $name $deployment_target: core, native tests, extension modules"
    start=$SECONDS
    zig_toolchain "$build/$name/toolchain" "$arch-macos.$deployment_target"
    cmake -S . -B "$build/$name" -Wno-deprecated -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_SYSTEM_NAME=Darwin -DCMAKE_SYSTEM_PROCESSOR="$arch" "${zig_cmake[@]}" \
        -DZARN_BUILD_TESTS=ON -DZARN_GTEST_SOURCE_DIR="$gtest_sources" \
        -DZARN_PYTHON_HEADERS="$cpython/Include;$build/pyconfig" \
        -DZARN_EXPORTED_SYMBOLS_LIST=OFF -DCMAKE_USER_MAKE_RULES_OVERRIDE="$build/shared_modules.cmake" \
        >/dev/null
    quiet_build "$build/$name" core_tests extension_modules
    modules=("$build/$name"/*.so)
    [ -e "${modules[0]}" ] || { echo "no extension module was built" >&2; exit 1; }
    for module in "${modules[@]}"; do
        module_name=$(basename "$module" .so)
        # Less the Mach-O header and the DSO handle, which the linker defines
        # in every library, and libc++'s replaceable operators new and
        # delete (__Znw..., __Zna..., __Zdl..., __Zda...), which it exports
        # by design; the wheels' exported symbols list hides them.
        exported=$(llvm-nm-14 -g --defined-only --format=just-symbols "$module" |
            grep -vxE '__mh_dylib_header|___dso_handle|__Z(nw|na|dl|da)[A-Za-z0-9_]*' || true)
        echo "$(basename "$module"): exports $exported"
        if [ "$exported" != "_PyInit_$module_name" ]; then
            echo "$module exports more than _PyInit_$module_name" >&2
            exit 1
        fi
    done
    echo "   built in $((SECONDS - start)) s"
done
