# Sourced by the CI scripts: CMake and Ninja from PyPI (and any other PyPI
# tools the script names) in a virtual environment of the script's own, put
# first on PATH. No step uses the machine's CMake: Debian 12's 3.25 is older
# than the 3.26 the project needs.
#
#     source .ci/build_tools.sh DIRECTORY [PACKAGE...]
tools_venv=$1
shift
if [ ! -x "$tools_venv/bin/cmake" ]; then
    python3 -m venv "$tools_venv"
    "$tools_venv/bin/python" -m pip install --quiet 'cmake>=3.26' ninja "$@"
fi
export PATH="$tools_venv/bin:$PATH"
export CMAKE_GENERATOR=Ninja

# Builds the targets named after the build directory, printing the build's
# log only when it fails.
quiet_build() {
    local directory=$1
    shift
    if ! cmake --build "$directory" -j 2 --target "$@" >"$directory/build.log" 2>&1; then
        cat "$directory/build.log"
        return 1
    fi
}
