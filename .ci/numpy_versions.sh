#!/usr/bin/env bash
# Runs the Python tests against the oldest NumPy that pyproject.toml declares
# (1.23.2, the oldest with wheels for Python 3.11), the newest NumPy 1.x and
# the newest 2.x that install on the interpreter, each in a venv of its own with the same wheel,
# and checks the module once without NumPy:
# importing and constructing work, and every processing call raises
# PanicException ("Failed to access NumPy array API capsule ..."), which
# `except Exception` does not catch.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${ZARN_CI_BUILD_DIR:-$root/build/numpy-versions}
python=${PYTHON:-python3}

# The wheel's build gets CMake from PyPI itself (scikit-build-core).
if ! command -v g++ >/dev/null; then
    apt-get update -qq
    apt-get install -y -qq g++ >/dev/null
fi

echo "== build the wheel"
rm -rf "$build/dist"
"$python" -m pip wheel --quiet --no-deps --wheel-dir "$build/dist" \
    --config-settings=build-dir="$build/wheel-build" .
wheel=$(ls "$build"/dist/zarn_limiter-*.whl)

make_venv() {
    rm -rf "$1"
    "$python" -m venv "$1"
}

oldest=$(sed -n 's/^dependencies = \["numpy>=\([0-9.]*\)"\]$/\1/p' pyproject.toml)
[ -n "$oldest" ] || { echo "no NumPy requirement found in pyproject.toml" >&2; exit 1; }
# Wheels only: a NumPy that would be built from source is not one that installs.
for numpy in "numpy==$oldest" "numpy<2" "numpy>=2,<3"; do
    venv=$build/venv-$(echo "$numpy" | tr -c 'a-z0-9.' '-')
    make_venv "$venv"
    "$venv/bin/python" -m pip install --quiet --only-binary numpy,pandas "$numpy" pandas pytest hypothesis "$wheel"
    echo "== tests with $("$venv/bin/python" -c 'import numpy; print("NumPy", numpy.__version__)')"
    ZARN_HYPOTHESIS_PROFILE=ci "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done

echo "== without NumPy"
venv=$build/venv-without-numpy
make_venv "$venv"
"$venv/bin/python" -m pip install --quiet --no-deps "$wheel"
"$venv/bin/python" - <<'PYTHON'
import importlib.util
import sys

assert importlib.util.find_spec("numpy") is None, "NumPy is installed"
import zarn_limiter

limiter = zarn_limiter.ZarnLimiter(48000, -1.0)
assert limiter.lookahead_samples == 240, repr(limiter)
assert repr(limiter).startswith("ZarnLimiter(\n    sample_rate=48000")
calls = {
    "process": lambda: limiter.process([0.5, 2.0]),
    "process with axis": lambda: limiter.process([[0.5], [2.0]], axis=0),
    "limit": lambda: zarn_limiter.limit([0.5, 2.0], 48000),
}
for round in range(2):  # a failed load is not remembered: the second round loads again
    for name, call in calls.items():
        try:
            try:
                call()
            except Exception as error:
                raise AssertionError(f"{name}: except Exception caught {error!r}")
        except BaseException as error:
            kind = type(error)
            assert kind.__name__ == "PanicException", f"{name}: {error!r}"
            assert kind.__bases__ == (BaseException,), kind.__bases__
            text = str(error)
            assert text.startswith("Failed to access NumPy array API capsule: "), text
            assert "numpy" in text, text
        else:
            raise AssertionError(f"{name} returned without NumPy")
# Binding errors come before NumPy is needed.
try:
    limiter.process()
except TypeError as error:
    assert "missing 1 required positional argument: 'audio'" in str(error)
print("without NumPy: import and construction work, every call raises PanicException")
PYTHON
