# Sourced by the CI scripts that build with Zig's C++ toolchain (ziglang on
# PyPI: clang with libc++ and the C libraries and SDK stubs of its targets,
# for macOS and musl from this machine). Needs build_tools.sh sourced with
# ziglang among its packages.
#
#     zig_toolchain DIRECTORY TARGET   # then: cmake ... "${zig_cmake[@]}"
#
# writes compiler wrappers for TARGET (such as aarch64-macos.13.3) into
# DIRECTORY and sets zig_cmake to the CMake arguments that use them.
zig_toolchain() {
    local directory=$1 target=$2
    mkdir -p "$directory"
    local python
    python=$(command -v python)
    for language in cc c++; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s -target %s "$@"\n' \
            "$python" "$language" "$target" >"$directory/$language"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec "%s" -m ziglang %s "$@"\n' "$python" "$tool" >"$directory/$tool"
    done
    # CMake asks for install_name_tool on macOS; nothing here is installed.
    printf '#!/bin/sh\nexit 0\n' >"$directory/install_name_tool"
    chmod +x "$directory"/*
    # Zig's cache of the C and C++ libraries it builds per target, kept with
    # the build rather than in the home directory.
    export ZIG_GLOBAL_CACHE_DIR="${ZIG_GLOBAL_CACHE_DIR:-$directory/../zig-cache}"
    zig_cmake=(-DCMAKE_C_COMPILER="$directory/cc" -DCMAKE_CXX_COMPILER="$directory/c++"
        -DCMAKE_AR="$directory/ar" -DCMAKE_RANLIB="$directory/ranlib"
        -DCMAKE_INSTALL_NAME_TOOL="$directory/install_name_tool")
}
