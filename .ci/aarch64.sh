#!/usr/bin/env bash
# Builds the native tests of the limiter core for 64-bit Arm (aarch64) Linux with
# Debian's g++-aarch64-linux-gnu and runs them under Debian's qemu-user,
# the processor of the aarch64 Linux wheels. Every test has to pass, the
# platform hash test (the same bits everywhere) among them. Installs from
# PyPI, into its own venv, CMake and Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/aarch64}

mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"
source .ci/native_tests.sh
source .ci/emulated_linux.sh
emulated_linux_tests aarch64 aarch64-linux-gnu
