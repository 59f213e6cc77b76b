# Sourced by the CI scripts that build and run the native tests with another
# toolchain: build_tools.sh first.
#
#     native_tests BUILD_DIRECTORY [CMAKE_ARGUMENT...]
#
# configures the project with the native tests on, builds whatever CMake's
# core_tests target holds and runs it through CTest (through
# CMAKE_CROSSCOMPILING_EMULATOR where one is given), printing GoogleTest's
# own count of tests and the platform hash test's result.
native_tests() {
    local directory=$1
    shift
    local start=$SECONDS
    cmake -S . -B "$directory" -Wno-deprecated -DCMAKE_BUILD_TYPE=Release \
        -DZARN_BUILD_TESTS=ON -DZARN_GTEST_SOURCE_DIR=/usr/src/googletest "$@" >/dev/null
    quiet_build "$directory" core_tests
    # Verbose, so that the log holds GoogleTest's own lines however CTest
    # runs the program (one test, or a test per case).
    if ! ctest --test-dir "$directory" --output-on-failure -V >"$directory/ctest.log" 2>&1; then
        tail -n 80 "$directory/ctest.log"
        return 1
    fi
    sed -n -E -e 's/^([0-9]+: )?(\[ +(OK|SKIPPED) +\] [^ ]*SameBitsEverywhere[^ ]*).*/\2/p' \
        -e 's/^([0-9]+: )?(\[ +(PASSED|FAILED|SKIPPED) +\] [0-9]+ tests?).*/\2/p' \
        "$directory/ctest.log" | sort -u
    tail -n 1 "$directory/ctest.log"
    echo "   built and tested in $((SECONDS - start)) s"
}
