"""Situations that real programs create around a call: interpreter exit, fork,
re-entry, inputs changed mid-call, array-like objects, the floating-point
environment, interrupts and attempts to change the class."""

import ctypes
import ctypes.util
import os
import platform
import signal
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import zarn_limiter
from zarn_limiter import ZarnLimiter, limit


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter in a session of its own; a run that
    does not end in time is killed with every process it forked."""
    process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        stdout, stderr = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        pytest.fail(f"the program did not end within {timeout} s")
    return process.returncode, stdout, stderr


def assert_same_result(actual, expected):
    for got, want in zip(actual, expected):
        assert got.dtype == want.dtype and got.shape == want.shape
        assert got.tobytes() == want.tobytes()


@pytest.mark.parametrize("call", ["lim.process(x)", "zl.limit(x, 48000)"])
def test_daemon_thread_inside_a_call_at_exit(call):
    code = f"""
        import threading, time, numpy as np, zarn_limiter as zl
        lim = zl.ZarnLimiter(48000); x = np.ones(100_000, np.float32) * 2
        def work():
            while True: {call}
        threading.Thread(target=work, daemon=True).start()
        time.sleep(0.1)
        raise SystemExit(7)
        """
    # Nothing on stderr: the ending thread unwinds through the call quietly
    # (a sanitizer build reports any undefined step of that unwinding there).
    for _ in range(3):
        status, _, stderr = run_python(code)
        assert (status, stderr) == (7, ""), stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="Windows has no fork")
def test_fork_while_another_thread_runs_the_first_call():
    status, stdout, stderr = run_python("""
        import os, threading, time, zarn_limiter as zl
        threading.Thread(target=zl.limit, args=([0.5, 2.0], 1000), kwargs={"attack_ms": 1}).start()
        time.sleep(0.01)
        pid = os.fork()
        if pid == 0:
            try:
                zl.limit([0.5, 2.0], 1000, attack_ms=1)
                print("child: worked", flush=True)
            except BaseException as error:
                print("child:", type(error).__name__, error, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        """, timeout=30)
    assert status == 0, stderr
    assert stdout.startswith(("child: worked", "child: RuntimeError")), stdout + stderr


def test_reentry_from_inside_the_first_initialisation_is_refused():
    status, stdout, stderr = run_python("""
        import gc, sys, zarn_limiter as zl
        def cb(phase, info):
            if 'numpy' in sys.modules and not cb.done:
                cb.done = True
                try:
                    zl.limit([0.5], 1000, attack_ms=1)
                except BaseException as error:
                    print(type(error).__name__, flush=True)
        cb.done = False; gc.callbacks.append(cb)
        zl.limit([0.5], 1000, attack_ms=1)
        print("outer call returned", flush=True)
        """, timeout=30)
    assert status == 0, stderr
    assert stdout.split() == ["RuntimeError", "outer", "call", "returned"], stdout


def set_dtype(x, dtype):
    x.dtype = dtype


def set_strides(x):
    with warnings.catch_warnings():  # NumPy 2.4 deprecates setting strides
        warnings.simplefilter("ignore", DeprecationWarning)
        x.strides = (0,)


# Each change happens inside a conversion that runs after `audio` was
# converted; the array's memory must be read as the array then stands.
CHANGES = {
    "dtype int8": lambda x: set_dtype(x, np.int8),
    "dtype >f4": lambda x: set_dtype(x, ">f4"),
    "dtype int32": lambda x: set_dtype(x, np.int32),
    "shape": lambda x: setattr(x, "shape", (2, 4)),
    "strides": set_strides,
}


@pytest.mark.parametrize("change", CHANGES)
@pytest.mark.parametrize("hook", ["axis", "sample_rate"])
def test_input_changed_by_a_later_conversion(change, hook):
    x = np.linspace(-3.0, 3.0, 8, dtype=np.float32)

    class Hook:
        def __index__(self):
            CHANGES[change](x)
            return -1 if hook == "axis" else 1000

    def call():
        if hook == "axis":
            return ZarnLimiter(1000, attack_ms=1).process(x, axis=Hook())
        return limit(x, Hook(), attack_ms=1)

    if change.startswith("dtype"):
        with pytest.raises(RuntimeError, match="audio"):
            call()
    else:
        assert_same_result(call(), limit(np.array(x), 1000, attack_ms=1))


class LabelledRows:
    """A sequence whose items are labels, whose array is the data."""

    def __init__(self, data):
        self.data = data

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return [0.0, 1.0][index]

    def __array__(self, dtype=None, copy=None):
        return self.data


@pytest.mark.parametrize("wrap", ["DataFrame", "Series", "__array__"])
def test_objects_with_array_protocols_keep_their_shape(wrap):
    data = np.linspace(-2.0, 2.0, 2000).reshape(1000, 2)
    if wrap == "__array__":
        audio = LabelledRows(data)
    else:
        pandas = pytest.importorskip("pandas")
        audio = pandas.DataFrame(data) if wrap == "DataFrame" else pandas.Series(data[:, 0])
        data = np.asarray(audio)
    assert_same_result(limit(audio, 48000, axis=0), limit(data.astype(np.float32), 48000, axis=0))


# Windows has no libm; the tests that use it run on x86-64 glibc only.
LIBM = ctypes.CDLL(ctypes.util.find_library("m")) if sys.platform != "win32" else None
FE_UPWARD = 0x800 if platform.machine() in ("x86_64", "AMD64") else None
needs_x86_64_glibc = pytest.mark.skipif(
    FE_UPWARD is None or not sys.platform.startswith("linux"),
    reason="the fenv_t layout and rounding-mode values are those of x86-64 glibc")
MXCSR_FTZ_DAZ = 0x8040


def environment():
    """The caller's floating-point environment and its rounding and flush
    controls (x87 control word, MXCSR without its status flags)."""
    env = (ctypes.c_uint32 * 8)()
    assert LIBM.fegetenv(env) == 0
    return env, (env[0] & 0xFFFF, env[7] & ~0x3F)  # x86-64 glibc: MXCSR is the last word


@needs_x86_64_glibc
@pytest.mark.parametrize("change", ["round upward", "flush to zero"])
def test_results_do_not_depend_on_the_callers_floating_point_environment(change):
    audio = np.array([3.0, 0.5, 1e-40, -2.5, 1e-39] * 30, np.float32)
    expected = limit(audio, 48000, -1.0), ZarnLimiter(44100, -0.1).threshold
    saved, _ = environment()
    try:
        if change == "round upward":
            assert LIBM.fesetround(FE_UPWARD) == 0
        else:
            changed, _ = environment()
            changed[7] |= MXCSR_FTZ_DAZ
            assert LIBM.fesetenv(changed) == 0
        before = environment()[1]
        got = limit(audio, 48000, -1.0), ZarnLimiter(44100, -0.1).threshold
        after = environment()[1]
    finally:
        LIBM.fesetenv(saved)
    assert after == before != environment()[1]
    assert_same_result(got[0], expected[0])
    assert got[1] == expected[1]


class RaisesOnce:
    def __init__(self, error):
        self.error = error

    def take(self):
        error, self.error = self.error, None
        if error is not None:
            raise error


class Item(RaisesOnce):
    def __float__(self):
        self.take()
        return 0.5


class Length(RaisesOnce):
    def __len__(self):
        self.take()
        return 1

    def __getitem__(self, index):
        if index:
            raise IndexError(index)
        return 0.5


class Index(RaisesOnce):
    def __index__(self):
        self.take()
        return 1000


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3), GeneratorExit()])
@pytest.mark.parametrize("where", ["item", "len", "sample_rate", "threshold", "axis"])
def test_exceptions_outside_exception_propagate_unchanged(error, where):
    calls = {
        "item": lambda: limit([Item(error)], 1000, attack_ms=1),
        "len": lambda: limit(Length(error), 1000, attack_ms=1),
        "sample_rate": lambda: limit([0.5], Index(error), attack_ms=1),
        "threshold": lambda: limit([0.5], 1000, Item(error), attack_ms=1),
        "axis": lambda: limit([0.5], 1000, attack_ms=1, axis=Index(error)),
    }
    with pytest.raises(type(error)) as caught:
        calls[where]()
    assert caught.value is error
    assert not hasattr(error, "__notes__")


@pytest.mark.parametrize("change", [
    lambda: setattr(ZarnLimiter, "process", None),
    lambda: setattr(ZarnLimiter, "extra", 1),
    lambda: delattr(ZarnLimiter, "process"),
])
def test_the_class_is_immutable(change):
    with pytest.raises(TypeError):
        change()
    assert zarn_limiter.ZarnLimiter.process is ZarnLimiter.__dict__["process"]
