#!/usr/bin/env bash
# Builds the wheel and checks it: abi3audit finds no symbol outside the
# stable ABI of Python 3.11, `auditwheel show` reads it (and names the
# manylinux platform it is consistent with), each extension module exports
# its PyInit_ function and nothing else, and the zarn-limit command is in it.
# The wheel is installed into a fresh venv and imported from there.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/wheel}
python=${PYTHON:-python3}

# The wheel's build gets CMake from PyPI itself (scikit-build-core).
if ! command -v g++ >/dev/null || ! command -v nm >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq g++ binutils >/dev/null
fi

rm -rf "$build/dist" "$build/venv" "$build/unpacked"
"$python" -m venv "$build/venv"
venv_python=$build/venv/bin/python
"$venv_python" -m pip install --quiet --upgrade pip
"$venv_python" -m pip install --quiet abi3audit auditwheel

echo "== build"
"$venv_python" -m pip wheel --quiet --no-deps --wheel-dir "$build/dist" \
    --config-settings=build-dir="$build/wheel-build" .
wheel=$(ls "$build"/dist/zarn_limiter-*.whl)
echo "$(basename "$wheel")"
case "$(basename "$wheel")" in
    *-cp311-abi3-*) ;;
    *) echo "the wheel is not tagged cp311-abi3" >&2; exit 1 ;;
esac

echo "== abi3audit"
"$build/venv/bin/abi3audit" --strict --verbose --assume-minimum-abi3 3.11 "$wheel"

echo "== auditwheel show"
"$build/venv/bin/auditwheel" show "$wheel" | tee "$build/auditwheel.txt"
grep -q "manylinux_" "$build/auditwheel.txt"

echo "== exported symbols"
mkdir -p "$build/unpacked"
"$venv_python" -m zipfile -e "$wheel" "$build/unpacked"
# Every extension module in the wheel exports its PyInit_ function alone.
for extension in "$build"/unpacked/*.abi3.so; do
    name=$(basename "$extension" | cut -d. -f1)
    exported=$(nm -D --defined-only "$extension" | awk '{print $3}' | sort -u)
    echo "$(basename "$extension"): $exported"
    if [ "$exported" != "PyInit_$name" ]; then
        echo "$(basename "$extension") exports more than PyInit_$name" >&2
        exit 1
    fi
done

echo "== the command's package and console script"
test -f "$build/unpacked/zarn_limiter_cli/__main__.py"
grep -q "^zarn-limit = zarn_limiter_cli:main" "$build"/unpacked/zarn_limiter-*.dist-info/entry_points.txt

echo "== install and import"
"$venv_python" -m pip install --quiet "$wheel"
(cd "$build" && "$venv_python" -c '
import numpy as np, zarn_limiter
audio, gains = zarn_limiter.limit(np.array([0.5, 2.0, -4.0], dtype=np.float32), 48000)
assert audio.dtype == np.float32 and float(np.abs(audio).max()) <= 1.0
print("installed wheel imports and limits:", zarn_limiter.__file__)
')
# Without the cli extra the command still documents itself, and names the extra to install.
"$build/venv/bin/zarn-limit" --help >/dev/null
if "$build/venv/bin/zarn-limit" 2>"$build/no-extra.txt"; then
    echo "zarn-limit ran without its extra" >&2
    exit 1
fi
grep -q "pip install 'zarn-limiter\[cli\]'" "$build/no-extra.txt"
