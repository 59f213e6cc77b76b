# Sourced by the CI scripts that build the native tests for another Linux
# processor with Debian's cross compiler and run them under Debian's
# qemu-user: the same bits as everywhere (the platform hash test among them).
#
#     emulated_linux_tests ARCHITECTURE TRIPLET    # such as s390x s390x-linux-gnu
source .ci/debian_packages.sh

emulated_linux_tests() {
    local architecture=$1 triplet=$2
    install_debian_packages \
        "the cross compiler, qemu-user to run its programs, GoogleTest's sources" \
        "g++-$triplet" qemu-user libgtest-dev
    echo "== $architecture Linux under qemu-$architecture"
    # Linked statically, so that qemu needs no library path of the target's.
    native_tests "$build/tests" -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$architecture" \
        -DCMAKE_C_COMPILER="$triplet-gcc" -DCMAKE_CXX_COMPILER="$triplet-g++" \
        -DCMAKE_EXE_LINKER_FLAGS=-static \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$(command -v "qemu-$architecture")"
}
