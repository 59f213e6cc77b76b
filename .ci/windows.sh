#!/usr/bin/env bash
# Builds every extension module of the package for Windows x86-64, as the
# .pyd a Windows wheel holds: mingw-w64 (posix threads) against CPython
# 3.11's Windows headers, linked with an import library of python3.dll made
# from the export list in CPython's PC/python3dll.c. That shows that the
# code compiles for Windows and uses only the stable ABI. Each module must
# export its PyInit_ function alone and import only python3.dll and
# Windows' own DLLs (no libstdc++, libgcc or libwinpthread DLL).
#
# Then the native benchmark of the core, built by mingw-w64 and run under
# wine, beside the same benchmark built for Linux: mingw-w64's C library has
# no exact fma, so its build chooses the processor's FMA instruction at run
# time, and the two should be close. The figures are printed, not checked.
#
# Installs from Debian: mingw-w64 (g++ and binutils, for the build, the
# import library and the module's tables) and wine (to run the benchmark).
# From PyPI, into its own venv: CMake and Ninja. CPython's headers come
# from Debian's python3.11 source package.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/windows}
benchmark_frames=${ZARN_BENCHMARK_FRAMES:-2000000}

source .ci/debian_packages.sh
install_debian_packages "" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 g++
mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"
source .ci/cpython_headers.sh "$build"

echo "== import library of python3.dll"
{
    echo "LIBRARY python3.dll"
    echo "EXPORTS"
    sed -n -e 's/^EXPORT_FUNC(\(.*\))$/\1/p' -e 's/^EXPORT_DATA(\(.*\))$/\1 DATA/p' \
        "$cpython/PC/python3dll.c"
} >"$build/python3.def"
x86_64-w64-mingw32-dlltool -d "$build/python3.def" -l "$build/libpython3.a"
echo "$(grep -c . "$build/python3.def") lines of exports"

echo "== extension modules and benchmark, mingw-w64"
cmake -S . -B "$build/mingw" -Wno-deprecated -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix \
    -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DZARN_PYTHON_HEADERS="$cpython/Include;$cpython/PC" \
    -DZARN_PYTHON_LIBRARY="$build/libpython3.a" \
    -DZARN_BUILD_BENCHMARKS=ON >/dev/null
quiet_build "$build/mingw" extension_modules core_pass

# Windows' own DLLs that a module may import besides python3.dll.
system_dlls='^(kernel32|msvcrt|ucrtbase|ntdll|advapi32|user32|api-ms-win-[a-z0-9-]+)\.dll$'
modules=("$build"/mingw/*.pyd)
[ -e "${modules[0]}" ] || { echo "no .pyd was built" >&2; exit 1; }
for module in "${modules[@]}"; do
    name=$(basename "$module" .pyd)
    echo "== $name.pyd"
    x86_64-w64-mingw32-objdump -p "$module" >"$build/$name.tables"
    # The names of the export table, after its [Ordinal/Name Pointer] heading.
    exported=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' "$build/$name.tables" |
        sed -n 's/^\s*\[ *[0-9]*\] //p')
    imported=$(sed -n 's/^\s*DLL Name: //p' "$build/$name.tables")
    echo "exports: $exported"
    echo "imports:" $imported
    if [ "$exported" != "PyInit_$name" ]; then
        echo "$name.pyd exports more than PyInit_$name" >&2
        exit 1
    fi
    echo "$imported" | grep -qx "python3.dll" || { echo "$name.pyd does not import python3.dll" >&2; exit 1; }
    unexpected=$(echo "$imported" | grep -vx "python3.dll" | grep -viE "$system_dlls" || true)
    if [ -n "$unexpected" ]; then
        echo "$name.pyd imports DLLs that are neither python3.dll nor Windows' own:" $unexpected >&2
        exit 1
    fi
done

echo "== native benchmark, stereo loud, $benchmark_frames frames: Linux, then mingw-w64 under wine"
cmake -S . -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DZARN_BUILD_BENCHMARKS=ON >/dev/null
quiet_build "$build/linux" core_pass
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
export WINEPREFIX="$build/wine-prefix" WINEDEBUG=-all
linux=$("$build/linux/core_pass" "$benchmark_frames" 5 "stereo loud")
windows=$("$wine" "$build/mingw/core_pass.exe" "$benchmark_frames" 5 "stereo loud" | tr -d '\r')
echo "Linux (GCC):            $linux"
echo "Windows (mingw, wine):  $windows"
awk -v l="$(echo "$linux" | awk '{print $3}')" -v w="$(echo "$windows" | awk '{print $3}')" \
    'BEGIN { printf "mingw-w64 / Linux: %.2f\n", w / l }'
