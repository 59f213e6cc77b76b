#!/usr/bin/env bash
# Builds the libFuzzer harness of the limiter core with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer, checks that the seed corpus matches the
# script that makes it, and fuzzes for a bounded time (ZARN_FUZZ_SECONDS,
# default 90). A crash, a sanitizer report, a violated property (a result
# that differs from the reference pass among them), a timeout or
# running out of memory fails the run; the input that did it is kept in the
# build directory and printed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/fuzz}
seconds=${ZARN_FUZZ_SECONDS:-90}
python=${PYTHON:-python3}

# clang 19 and its libFuzzer runtime, from Debian's packages; CMake and
# Ninja from PyPI, into this script's venv.
if ! command -v clang++-19 >/dev/null ||
    ! compgen -G "/usr/lib/llvm-19/lib/clang/19/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq clang-19 libclang-rt-19-dev >/dev/null
fi
mkdir -p "$build"
source .ci/build_tools.sh "$build/tools"

echo "== seed corpus is up to date"
rm -rf "$build/fresh-corpus"
mkdir -p "$build/fresh-corpus"
"$python" tests/fuzz/make_corpus.py "$build/fresh-corpus" >/dev/null
diff -r "$build/fresh-corpus" tests/fuzz/corpus

echo "== build"
cmake -S . -B "$build/cmake" -DCMAKE_CXX_COMPILER=clang++-19 -DZARN_SANITIZE=ON \
    -DZARN_BUILD_FUZZER=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/cmake" -j 2 --target core_fuzzer

echo "== fuzz for ${seconds} s"
# New inputs go to a scratch corpus; the repository's seeds are only read.
rm -rf "$build/corpus" "$build/artifacts"
mkdir -p "$build/corpus" "$build/artifacts"
status=0
ASAN_OPTIONS="detect_leaks=1:halt_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
    "$build/cmake/core_fuzzer" "$build/corpus" tests/fuzz/corpus \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    >"$build/fuzz.log" 2>&1 || status=$?
grep -E "^(#[0-9]+ +DONE|stat::|Done )" "$build/fuzz.log" || true
if [ "$status" -ne 0 ]; then
    tail -n 60 "$build/fuzz.log" >&2
    for artifact in "$build"/artifacts/*; do
        [ -e "$artifact" ] || continue
        echo "failing input $artifact:" >&2
        od -A d -t x1 "$artifact" | head -n 40 >&2
    done
    exit "$status"
fi
echo "fuzz: no findings"
