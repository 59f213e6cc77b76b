"""Loading NumPy's array API on first need, in fresh interpreters."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

PREFIX = "Failed to access NumPy array API capsule: "

# Imports the module, builds a limiter and defines one `process` and one
# `limit` call; outcome() tells whether a call returned or what it raised:
# whether `except Exception` caught it, its type name and its text.
CALLER = textwrap.dedent(
    """
    import json, sys

    def outcome(call):
        try:
            try:
                call()
            except Exception as error:
                return ["caught by except Exception", type(error).__name__, str(error)]
        except BaseException as error:
            return ["BaseException", type(error).__name__, str(error)]
        return ["returned"]

    import zarn_limiter
    imported_numpy = "numpy" in sys.modules
    limiter = zarn_limiter.ZarnLimiter(48000)
    calls = {
        "process": lambda: limiter.process([0.5, 2.0]),
        "limit": lambda: zarn_limiter.limit([[0.5], [2.0]], 48000, axis=0),
    }
    """
)


def run_python(script, env_extra=None):
    env = dict(os.environ)
    env.update(env_extra or {})
    completed = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    return json.loads(completed.stdout)


BLOCKED = CALLER + textwrap.dedent(
    """
    class BlockNumpy:
        def find_spec(self, name, path=None, target=None):
            if name == "numpy" or name.startswith("numpy."):
                raise ImportError("numpy is blocked for this test")
            return None

    blocker = BlockNumpy()
    sys.meta_path.insert(0, blocker)
    results = {"imported_numpy": imported_numpy}
    for round in ("first", "again"):
        for name, call in calls.items():
            results[f"{name} {round}"] = outcome(call)
    sys.meta_path.remove(blocker)
    for name, call in calls.items():
        results[f"{name} after unblocking"] = outcome(call)
    print(json.dumps(results))
    """
)


def test_missing_numpy_is_an_internal_failure_that_is_retried():
    results = run_python(BLOCKED)
    assert results.pop("imported_numpy") is False
    for name in ("process", "limit"):
        for round in ("first", "again"):
            kind, exception, text = results[f"{name} {round}"]
            assert (kind, exception) == ("BaseException", "PanicException")
            assert text.startswith(PREFIX)
            assert "Traceback (most recent call last):" in text
            assert text.endswith("ImportError: numpy is blocked for this test")
        assert results[f"{name} after unblocking"] == ["returned"]


# A stand-in for NumPy: numpy.lib.NumpyVersion reports the major version of
# __version__, and the multiarray module of the matching core package
# exports a capsule over a table whose version slots return what the test
# asks for. Only the version checks may read the table.
FAKE_INIT = "__version__ = {version!r}\n"
FAKE_LIB = textwrap.dedent(
    """
    class NumpyVersion:
        def __init__(self, version):
            self.major = int(version.split(".")[0])
    """
)
FAKE_MULTIARRAY = textwrap.dedent(
    """
    import ctypes, os

    abi, feature, endianness = (
        int(value, 0) for value in os.environ["FAKE_NUMPY_VERSIONS"].split(",")
    )
    _functions = [
        ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: abi),
        ctypes.CFUNCTYPE(ctypes.c_int)(lambda: endianness),
        ctypes.CFUNCTYPE(ctypes.c_uint)(lambda: feature),
    ]
    _table = (ctypes.c_void_p * 300)()
    for slot, function in zip((0, 210, 211), _functions):
        _table[slot] = ctypes.cast(function, ctypes.c_void_p)
    _new_capsule = ctypes.pythonapi.PyCapsule_New
    _new_capsule.restype = ctypes.py_object
    _new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    _ARRAY_API = {capsule}
    """
)


def fake_numpy(root, version, core, capsule="_new_capsule(ctypes.addressof(_table), None, None)"):
    package = root / "numpy"
    (package / "lib").mkdir(parents=True)
    (package / core).mkdir()
    (package / "__init__.py").write_text(FAKE_INIT.format(version=version))
    (package / "lib" / "__init__.py").write_text(FAKE_LIB)
    (package / core / "__init__.py").write_text("")
    (package / core / "multiarray.py").write_text(FAKE_MULTIARRAY.format(capsule=capsule))
    search_path = [str(root), os.environ.get("PYTHONPATH", "")]
    return {"PYTHONPATH": os.pathsep.join(filter(None, search_path))}


FAKE_CALLS = CALLER + textwrap.dedent(
    """
    print(json.dumps({name: outcome(call) for name, call in calls.items()}))
    """
)


@pytest.mark.parametrize("version, core", [("1.26.4", "core"), ("2.1.0rc1", "_core")])
@pytest.mark.parametrize(
    "versions, message",
    [
        ("0x2000001,11,2",
         "module compiled against ABI version 0x2000000 but this version of numpy is 0x2000001"),
        ("0x1000009,11,2",
         "module was compiled against NumPy C-API version 0xc (NumPy 1.15) but the running "
         "NumPy has C-API version 0xb"),
        ("0x2000000,12,2",
         "module compiled as little endian, but detected different endianness at runtime"),
        ("0x1000009,21,0",
         "module compiled as little endian, but detected different endianness at runtime"),
    ],
)
def test_unsupported_numpy_is_refused(tmp_path, version, core, versions, message):
    env = fake_numpy(tmp_path, version, core)
    env["FAKE_NUMPY_VERSIONS"] = versions
    for kind, exception, text in run_python(FAKE_CALLS, env).values():
        assert (kind, exception) == ("BaseException", "PanicException")
        assert text == PREFIX + "RuntimeError: " + message


@pytest.mark.parametrize(
    "capsule, error",
    [
        ("'not a capsule'",
         "TypeError: numpy._core.multiarray._ARRAY_API is not a PyCapsule object"),
        ("_new_capsule(ctypes.addressof(_table), b'other', None)",
         "ValueError: PyCapsule_GetPointer called with incorrect name"),
    ],
)
def test_array_api_must_be_an_unnamed_capsule(tmp_path, capsule, error):
    env = fake_numpy(tmp_path, "2.0.0", "_core", capsule)
    env["FAKE_NUMPY_VERSIONS"] = "0x2000000,21,1"
    for kind, exception, text in run_python(FAKE_CALLS, env).values():
        assert (kind, exception) == ("BaseException", "PanicException")
        assert text == PREFIX + error
