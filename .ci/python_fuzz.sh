#!/usr/bin/env bash
# Fuzzes the Python boundaries of both extension modules with atheris for a
# bounded time (ZARN_PY_FUZZ_SECONDS, default 60): builds them with clang,
# AddressSanitizer, UndefinedBehaviorSanitizer and libFuzzer's coverage
# instrumentation into a venv of their own, and runs
# tests/fuzz/python_boundary_fuzzer.py under atheris' sanitizer runtime with
# libFuzzer linked in. A crash, a sanitizer report, a violated property (an
# undocumented exception, a stream that differs from limit(), an input that
# changed), a timeout or running out of memory fails the run; the input
# that did it is kept in the build directory, printed, and replayed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/python-fuzz}
seconds=${ZARN_PY_FUZZ_SECONDS:-60}
python=${PYTHON:-python3}

# clang 19 with its sanitizer runtimes, and venv, from Debian's packages.
if ! command -v clang++-19 >/dev/null || ! "$python" -c 'import ensurepip' 2>/dev/null ||
    ! compgen -G "/usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.asan-x86_64.a" >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq clang-19 libclang-rt-19-dev python3-venv >/dev/null
fi

echo "== venv with atheris, NumPy and the build tools"
venv=$build/venv
rm -rf "$venv"
"$python" -m venv "$venv"
# atheris from a wheel only: built from source it would want a libFuzzer of
# its own clang.
"$venv/bin/python" -m pip install --quiet --only-binary atheris,numpy \
    atheris numpy scikit-build-core 'cmake>=3.26' ninja
site=$("$venv/bin/python" -c 'import atheris; print(atheris.path())')
runtime=$site/asan_with_fuzzer.so
[ -e "$runtime" ] || { echo "atheris' wheel has no asan_with_fuzzer.so" >&2; exit 1; }

echo "== build both modules with clang, ASan, UBSan and coverage for libFuzzer"
# The modules link no sanitizer runtime and leave its symbols undefined;
# the preloaded one defines them, with libFuzzer's coverage callbacks in
# place of the sanitizer's weak ones, so that the native branches guide the
# fuzzer too. -O1 with line tables only, as sanitizer builds usually are,
# keeps the build short and the reports readable. The vptr and function
# checks are left out: they need parts of a newer UBSan runtime than the one
# atheris' wheel carries.
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=vptr,function"
flags+=" -fno-sanitize-recover=all -fno-omit-frame-pointer"
PATH=$venv/bin:$PATH "$venv/bin/python" -m pip install --quiet --no-deps --no-build-isolation \
    --config-settings=cmake.define.CMAKE_CXX_COMPILER=clang++-19 \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$flags" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS=-fno-sanitize-link-runtime \
    --config-settings=cmake.build-type=RelWithDebInfo \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -gline-tables-only" \
    --config-settings=build-dir="$build/extension" .

echo "== fuzz for ${seconds} s"
rm -rf "$build/corpus" "$build/artifacts"
mkdir -p "$build/corpus" "$build/artifacts"
# The sanitizer runtime comes first, and the C++ runtime is loaded when it
# starts, so that it finds the real functions behind its interceptors.
# Settings whose storage cannot be had are refused with MemoryError, so a
# failed allocation returns null instead of ending the run, and libFuzzer's
# limit on single allocations is lifted (the limit on the resident set
# stays).
fuzz() {
    env LD_PRELOAD="$runtime $(clang++-19 -print-file-name=libstdc++.so.6)" \
        ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:quarantine_size_mb=16" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$venv/bin/python" tests/fuzz/python_boundary_fuzzer.py "$@"
}
status=0
fuzz "$build/corpus" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
    -max_len=512 -len_control=0 \
    -malloc_limit_mb=1000000000 -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    >"$build/fuzz.log" 2>&1 || status=$?
grep -E "^(#[0-9]+[[:space:]]+(INITED|DONE)|stat::|Done )" "$build/fuzz.log" || true
if [ "$status" -ne 0 ]; then
    tail -n 80 "$build/fuzz.log" >&2
    for artifact in "$build"/artifacts/*; do
        [ -e "$artifact" ] || continue
        echo "failing input $artifact:" >&2
        od -A d -t x1 "$artifact" | head -n 40 >&2
        echo "replayed:" >&2
        fuzz "$artifact" >&2 || true
    done
    exit "$status"
fi
echo "python fuzz: no findings"
