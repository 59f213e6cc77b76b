#!/usr/bin/env bash
# Builds the native tests of the limiter core for x86-64 Linux with musl,
# linked statically, and runs them here: the same bits as everywhere (the
# platform hash test, with the FMA instruction chosen at run time and with
# the integer version that processors without it use), and whether musl's
# own fma rounds once on the fma table (LibraryFma: printed, not relied on).
#
# The compiler is Zig's clang with libc++ and musl (ziglang from PyPI, into
# this script's venv with CMake and Ninja). Installs from Debian:
# libgtest-dev (GoogleTest's sources).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/musl}

source .ci/debian_packages.sh
install_debian_packages "" libgtest-dev
mkdir -p "$build"
# Zig 0.14, as for macOS.
source .ci/build_tools.sh "$build/tools" ziglang==0.14.1
source .ci/zig_toolchain.sh
source .ci/native_tests.sh

echo "== x86-64 Linux, musl, static"
zig_toolchain "$build/toolchain" x86_64-linux-musl
native_tests "$build/tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=x86_64 \
    "${zig_cmake[@]}" -DCMAKE_EXE_LINKER_FLAGS=-static
echo "== musl's fma on the fma table"
"$build/tests/core_tests" --gtest_filter='Table/LibraryFma.*' | grep -E "^std::fma" | sort | uniq -c
