#!/usr/bin/env bash
# Builds the native tests of the limiter core for IBM Z (s390x) Linux with
# Debian's g++-s390x-linux-gnu and runs them under Debian's qemu-user. It
# is big-endian: nothing in the core may depend on byte order. Every test
# has to pass, the platform hash test (the same bits everywhere) among
# them. Installs from PyPI, into its own venv, CMake and Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/s390x}

mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"
source .ci/native_tests.sh
source .ci/emulated_linux.sh
emulated_linux_tests s390x s390x-linux-gnu
