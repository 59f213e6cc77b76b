# Sourced by the CI scripts that build the native tests for another Linux
# processor with Debian's cross compiler and run them under Debian's
# qemu-user: the same bits as everywhere (the platform hash test among them).
#
#     emulated_linux_tests ARCHITECTURE TRIPLET    # such as s390x s390x-linux-gnu
emulated_linux_tests() {
    local architecture=$1 triplet=$2
    local packages=("g++-$triplet" qemu-user libgtest-dev)
    local missing=() package
    for package in "${packages[@]}"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing from Debian: ${missing[*]}"
        echo "  (the cross compiler, qemu-user to run its programs, GoogleTest's sources)"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
    echo "== $architecture Linux under qemu-$architecture"
    # Linked statically, so that qemu needs no library path of the target's.
    native_tests "$build/tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$architecture" \
        -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" \
        -DCMAKE_EXE_LINKER_FLAGS=-static \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v "qemu-$architecture")"
}
