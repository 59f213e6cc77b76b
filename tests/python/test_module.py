"""The importable module: its namespace, initialisation and internal failures."""

import shutil
import subprocess
import sys
import textwrap

import pytest

import zarn_limiter

DOC = "Python bindings for the zarn-limiter look-ahead brick-wall audio limiter."


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter and returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
    )


def test_namespace():
    assert zarn_limiter.__all__ == ["ZarnLimiter", "limit"]
    assert zarn_limiter.__doc__ == DOC
    public = {name for name in vars(zarn_limiter) if not name.startswith("__")}
    assert public == {"ZarnLimiter", "limit"}


def test_limit_is_a_builtin_bound_to_the_module():
    assert zarn_limiter.limit.__self__ is zarn_limiter
    assert zarn_limiter.limit.__module__ == "zarn_limiter"
    assert zarn_limiter.limit.__name__ == "limit"
    assert type(zarn_limiter.limit).__name__ == "builtin_function_or_method"


def test_class_identity():
    cls = zarn_limiter.ZarnLimiter
    assert cls.__module__ == "zarn_limiter"
    assert cls.__name__ == cls.__qualname__ == "ZarnLimiter"
    assert cls.__bases__ == (object,)


def test_import_does_not_import_numpy():
    result = run_python(
        """
        import sys
        import zarn_limiter
        limiter = zarn_limiter.ZarnLimiter(48000)
        repr(limiter)
        assert "numpy" not in sys.modules, "numpy imported"
        """
    )
    assert result.returncode == 0, result.stderr


def test_first_conversion_imports_numpy():
    result = run_python(
        """
        import sys
        import zarn_limiter
        zarn_limiter.limit([0.0, 0.5], 48000)
        assert "numpy" in sys.modules
        """
    )
    assert result.returncode == 0, result.stderr


def test_reimport_creates_a_new_module_with_the_same_class():
    result = run_python(
        """
        import sys
        import zarn_limiter as first
        del sys.modules["zarn_limiter"]
        import zarn_limiter as second
        assert second is not first
        assert second.ZarnLimiter is first.ZarnLimiter
        assert second.limit is not first.limit
        assert second.limit.__self__ is second
        assert second.__all__ == ["ZarnLimiter", "limit"]
        assert second.__all__ is not first.__all__
        """
    )
    assert result.returncode == 0, result.stderr


# Runs the module's exec step once more on the module object itself, the way
# the interpreter runs it at import.
EXEC_AGAIN = """
import ctypes
import zarn_limiter
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]

def exec_again():
    return api.PyModule_ExecDef(zarn_limiter, api.PyModule_GetDef(zarn_limiter))
"""


def test_exec_step_again_on_the_same_module_appends_to_all():
    result = run_python(
        EXEC_AGAIN
        + """
cls = zarn_limiter.ZarnLimiter
old_limit = zarn_limiter.limit
assert exec_again() == 0
assert zarn_limiter.__all__ == ["ZarnLimiter", "limit", "ZarnLimiter", "limit"]
assert zarn_limiter.ZarnLimiter is cls
assert zarn_limiter.limit is not old_limit
assert zarn_limiter.limit.__self__ is zarn_limiter
"""
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    ("all_value", "expected"),
    [
        ("()", "TypeError"),
        ("'ZarnLimiter'", "TypeError"),
        ("type('L', (list,), {})()", "['ZarnLimiter', 'limit']"),
    ],
)
def test_exec_step_checks_the_type_of_all(all_value, expected):
    result = run_python(
        EXEC_AGAIN
        + f"""
zarn_limiter.__all__ = {all_value}
try:
    exec_again()
except TypeError:
    print("TypeError")
else:
    print(list(zarn_limiter.__all__))
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected


NO_NUMPY = """
import sys
sys.modules["numpy"] = None  # makes every import of numpy fail
import zarn_limiter
limiter = zarn_limiter.ZarnLimiter(48000)
"""


def test_missing_numpy_raises_panic_exception():
    result = run_python(
        NO_NUMPY
        + """
for call in (lambda: limiter.process([0.0]), lambda: zarn_limiter.limit([0.0], 48000)):
    try:
        try:
            call()
        except Exception:
            raise AssertionError("caught by 'except Exception'")
    except BaseException as error:
        panic = error
    assert type(panic).__name__ == "PanicException", type(panic)
    assert str(panic).startswith("Failed to access NumPy array API capsule"), str(panic)
    assert len(panic.args) == 1
# The failed calls gave the object back: it is readable and still refuses
# nothing but the missing library.
assert limiter.sample_rate == 48000
try:
    limiter.process([0.0])
except BaseException as error:
    assert type(error).__name__ == "PanicException"
"""
    )
    assert result.returncode == 0, result.stderr


def test_panic_exception_type():
    result = run_python(
        NO_NUMPY
        + """
try:
    limiter.process([0.0])
except BaseException as error:
    cls = type(error)
print(cls.__bases__ == (BaseException,))
print(cls.__module__ != "zarn_limiter" and cls.__name__ == "PanicException")
print(not hasattr(zarn_limiter, "PanicException"))
print(repr(cls.__doc__))
"""
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == ["True", "True", "True"]
    doc = eval(lines[3])
    assert doc.startswith("\n") and doc.endswith("\n")
    assert doc.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported():
    result = subprocess.run(
        ["nm", "-D", "--defined-only", zarn_limiter.__file__],
        capture_output=True,
        text=True,
        check=True,
    )
    functions = [line.split()[-1] for line in result.stdout.splitlines() if " T " in line]
    assert functions == ["PyInit_zarn_limiter"]



# The main interpreter loads the module whichever interpreter imports it
# first; a subinterpreter importing first must not lock it out.
@pytest.mark.parametrize("main_first", [True, False], ids=["main first", "subinterpreter first"])
def test_a_second_interpreter_is_refused(main_first):
    result = run_python(
        f"""
        if {main_first}:
            import zarn_limiter
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            raise SystemExit(0)
        interpreter = interpreters.create()
        try:
            interpreters.run_string(interpreter, "import zarn_limiter")
        except interpreters.RunFailedError as error:
            assert "ImportError" in str(error), error
        else:
            raise AssertionError("a second interpreter loaded the module")
        finally:
            interpreters.destroy(interpreter)
        import zarn_limiter
        assert zarn_limiter.ZarnLimiter(48000).sample_rate == 48000
        """
    )
    assert result.returncode == 0, result.stderr
