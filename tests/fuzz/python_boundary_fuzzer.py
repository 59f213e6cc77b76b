"""Coverage-guided fuzzing of the Python boundaries of zarn_limiter and
zarn_limiter_stream, with atheris.

Each input is read through atheris.FuzzedDataProvider as a script of calls:
limit() and ZarnLimiter.process() on one buffer, a StreamLimiter fed one or
two streams block by block and flushed, and, once the module has it, a
LoudnessMeter fed the same stream in one block and in random blocks. The
arguments come in the forms callers hand over: arrays of every dtype
(half, single and double, integers, bool, complex, object, big-endian) and
rank 0 to 3 with empty extents, reversed, strided, transposed, read-only and
broadcast views, sequences, array-likes and scalars; settings as floats
(NaN, infinities, huge, negative zero), integers, NumPy scalars, None and
strings; `out=` pairs that fit, are too small, of another dtype or byte
order, read-only, strided, of the wrong rank, the same array twice,
overlapping, or the block itself; and hostile objects whose __array__,
__float__, __index__, __len__ or __getitem__ raise, change the array being
processed in place (its dtype, shape or strides), or call the same object
again.

Properties, checked on every call:
- no crash and no sanitizer report;
- only the documented exceptions: TypeError, OverflowError, ValueError,
  RuntimeError, MemoryError, NumPy's own exceptions carrying the note
  "while processing '<argument>'", and the caller's own exceptions as
  raised; never PanicException, never SystemError;
- an object called again from inside its own call refuses with
  RuntimeError "Already borrowed" (or "Already mutably borrowed");
- the input is never modified (unless it is also the `out` array, or a
  callback changed it);
- valid input gives float32 audio and gains, finite, within the ceiling,
  gains in [0, 1], audio under the ceiling unchanged; limit() and
  ZarnLimiter.process() agree bit for bit; a StreamLimiter's blocks and its
  flush, concatenated, equal limit(whole, axis=0) bit for bit, a refused
  block leaving the stream as it was; a non-finite sample is reported where
  it is;
- LoudnessMeter: every result finite or -inf, and the same for one add()
  as for the stream split into blocks;
- decode_samples and encode_samples: integers decode within full scale, and
  the bytes of 16- and 24-bit integers and of float32 survive a decode and
  an encode unchanged; 32-bit integers and float64, rounded to float32 by
  the first decode, are unchanged by the next round.

Coverage. atheris instruments this script's functions (the choices an input
makes); the branches of the modules themselves guide the fuzzer only when
they are built with clang's -fsanitize=fuzzer-no-link and atheris'
asan_with_fuzzer.so (AddressSanitizer with libFuzzer linked in) is
preloaded, so that their coverage callbacks reach atheris' libFuzzer. That
build, with ASan and UBSan, takes a minute, and it is what
.ci/python_fuzz.sh does: the binding's conversion and error paths are C++,
and Python coverage alone would not see them. With an ordinary build the
harness still runs, guided by the Python coverage alone.

Run: bash .ci/python_fuzz.sh (ZARN_PY_FUZZ_SECONDS, default 60), or, with
atheris and the package installed,
    LD_PRELOAD="$(python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \\
        python tests/fuzz/python_boundary_fuzzer.py -max_total_time=60
and a failing input is replayed with
    python tests/fuzz/python_boundary_fuzzer.py FILE
"""

import gc
import inspect
import math
import sys
import warnings

import atheris
import numpy as np

import zarn_limiter
import zarn_limiter_stream

DOCUMENTED = (TypeError, OverflowError, ValueError, RuntimeError, MemoryError)

SAMPLE_EDGES = [0.0, -0.0, 0.25, -0.5, 0.999, 1.0, -1.0, 1.5, -2.0, 4.0, 100.0, 1e-40, -1e-45,
                3.4028235e38, -3.4e38, 1e39, 1e300, math.nan, math.inf, -math.inf]
RATES = [1, 1000, 8000, 44100, 48000, 96000, 2**32 - 1, 2**32, 0, -1, 2**64, 48000.0, None]
THRESHOLDS = [0.0, -0.0, -1.0, -6.02, -60.0, -400.0, -1e308, 0.5, 1e-300, math.nan, math.inf,
              -math.inf]
DURATIONS = [0.0, -0.0, 0.0104, 0.02, 0.1, 1.0, 5.0, 15.0, 40.0, 250.0, 1e4, 1e9, 1e308,
             1e-300, -1.0, math.nan, math.inf, -math.inf]
AXES = [-1, 0, 1, -2, 2, -3, 2**63, -(2**63) - 1, None, 1.0]
DTYPES = [np.float32, np.float32, np.float64, np.float16, ">f4", ">f8", np.int8, np.int16,
          np.int32, np.int64, np.uint8, np.bool_, np.complex64, np.complex128, object,
          np.longdouble]
FRAMES = [0, 1, 2, 3, 7, 64, 239, 240, 241, 500, 1500]
LAYOUTS = ["c", "fortran", "reversed", "strided", "transposed", "readonly", "broadcast"]


class Hostile(Exception):
    """The caller's own exception, raised from inside a callback: it must
    come out of the call as it was raised."""


class Round:
    """One input: the choices it makes, and what its callbacks did."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.raised = []
        self.reentries = []
        self.mutated = False

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def pick(self, items):
        return items[self.int(0, len(items) - 1)]

    def chance(self, percent):
        return self.int(0, 99) < percent

    def hostile(self):
        error = Hostile(f"raised by the caller's callback #{len(self.raised)}")
        self.raised.append(error)
        return error

    def reenter(self, call):
        """Calls `call` from inside a callback; its outcome is checked later."""
        try:
            call()
        except BaseException as error:  # noqa: BLE001 - judged in check_reentries
            self.reentries.append(error)
        else:
            self.reentries.append(None)


def attempt(call):
    try:
        return call(), None
    except BaseException as error:  # noqa: BLE001 - judged by check_error
        return None, error


def check_error(r, error):
    """Fails unless `error` is one that the README's Errors table allows."""
    if any(error is raised for raised in r.raised):
        return
    notes = getattr(error, "__notes__", [])
    if isinstance(error, DOCUMENTED) or any("while processing" in note for note in notes):
        return
    raise AssertionError(f"undocumented exception {type(error).__name__}: {error}") from error


def check_reentries(r):
    for error in r.reentries:
        if not (isinstance(error, RuntimeError) and str(error).startswith("Already")):
            raise AssertionError(f"a re-entered call gave {error!r}, not RuntimeError('Already ...')")
    r.reentries.clear()


# ---- actions of hostile callbacks


def mutate_in_place(r, array):
    """Changes `array` in place as a callback can while the array is exported
    to nobody: its dtype, shape or strides; a change NumPy refuses is skipped."""
    change = r.pick(["int8", ">f4", "int32", "float64", "shape", "strides"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            if change == "shape":
                array.shape = (array.size,) if array.ndim != 1 else (1, array.size)
            elif change == "strides":
                array.strides = (0,) * array.ndim
            else:
                array.dtype = change
        except (ValueError, TypeError, AttributeError):
            return
    r.mutated = True


def make_action(r, reentry=None, victim=None):
    """What a callback does before it answers: nothing, raise, call the same
    object again, or change the array being processed."""
    kinds = ["none", "raise"] + (["reenter"] if reentry else []) + (["mutate"] if victim is not None else [])
    kind = r.pick(kinds)

    def action():
        if kind == "raise":
            raise r.hostile()
        if kind == "reenter":
            r.reenter(reentry)
        if kind == "mutate":
            mutate_in_place(r, victim)
    return action


class Number:
    """A number whose conversion (__float__, __index__) runs the action first."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class ArrayLike:
    """An object that only offers __array__, which runs the action first."""

    def __init__(self, array, action):
        self.array, self.action = array, action

    def __array__(self, dtype=None, copy=None):
        self.action()
        return self.array


class Sequence:
    """A sequence of numbers whose __len__ and __getitem__ run the action."""

    def __init__(self, values, action):
        self.values, self.action = list(values), action

    def __len__(self):
        self.action()
        return len(self.values)

    def __getitem__(self, index):
        self.action()
        return self.values[index]


# ---- arguments


def draw_number(r, table, reentry=None, victim=None):
    """An argument drawn from `table` in some form, and the plain value it
    stands for (None when it stands for none)."""
    value = r.pick(table)
    form = r.int(0, 9)
    if value is None or isinstance(value, str) or form <= 4:
        return value, value
    if form == 5 and isinstance(value, float) and value.is_integer() and abs(value) < 2**62:
        number = int(value)
        return number, number
    if form == 6 and isinstance(value, (int, float)) and abs(value) < 1e300:
        scalar = np.float64(value) if isinstance(value, float) else np.int64(value) if abs(value) < 2**63 else value
        return scalar, scalar
    if form == 7:
        odd = r.pick([None, "5", b"1", [1.0], True])
        return odd, (1 if odd is True else None)
    plain = int(value) if isinstance(value, float) and math.isfinite(value) and value.is_integer() else value
    return Number(plain, make_action(r, reentry, victim)), plain


def draw_settings(r, reentry=None, victim=None):
    """Keyword arguments for the four settings (some left to their defaults)
    and the plain values they stand for."""
    tables = {"threshold_dBFS": THRESHOLDS, "attack_ms": DURATIONS, "hold_ms": DURATIONS,
              "release_ms": DURATIONS}
    defaults = {"threshold_dBFS": 0.0, "attack_ms": 5.0, "hold_ms": 15.0, "release_ms": 40.0}
    arguments, plain = {}, dict(defaults)
    for name, table in tables.items():
        if r.chance(40):
            continue
        arguments[name], plain[name] = draw_number(r, table, reentry, victim)
    return arguments, plain


def draw_values(r, shape):
    """float64 samples of `shape`: noise at some level, with edge values at
    places the input chooses."""
    rng = np.random.default_rng(r.int(0, 2**32 - 1))
    level = r.pick([0.0, 0.1, 0.9, 1.0, 2.0, 8.0, 40000.0])
    values = np.asarray(rng.standard_normal(shape) * level)
    flat = values.reshape(-1)
    for _ in range(r.int(0, 4) if flat.size else 0):
        flat[r.int(0, flat.size - 1)] = r.pick(SAMPLE_EDGES)
    return values


def as_dtype(values, dtype):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        if np.dtype(dtype).kind == "c":
            return (values + 0.5j).astype(dtype)
        if dtype is object:
            return values.astype(object)
        return values.astype(dtype)


def lay_out(r, array, keep_values=False):
    """The same values (or, broadcast, its first row repeated unless
    `keep_values`) in another layout."""
    layout = r.pick(LAYOUTS[:-1] if keep_values else LAYOUTS)
    if array.ndim == 0 or layout == "c":
        return array
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "reversed":
        return array[::-1].copy()[::-1]
    if layout == "strided":
        wide = np.zeros(array.shape[:-1] + (2 * array.shape[-1],), array.dtype)
        wide[..., ::2] = array
        return wide[..., ::2]
    if layout == "transposed":
        return array.T.copy().T
    if layout == "readonly":
        array = array.copy()
        array.setflags(write=False)
        return array
    return np.broadcast_to(array[:1], array.shape)


def draw_shape(r, frames, channels):
    rank = r.pick([1, 2, 2, 2, 0, 3])
    if rank == 0:
        return ()
    if rank == 1:
        return (frames,)
    if rank == 2:
        return (channels, frames) if r.chance(50) else (frames, channels)
    return (r.int(0, 2), channels, frames)


def snapshot(value):
    """A copy of an array argument, to tell whether the call changed it."""
    if isinstance(value, np.ndarray):
        return value.copy(), value.dtype, value.shape
    return None


def check_unchanged(r, argument, before):
    if before is None or r.mutated:
        return
    copy, dtype, shape = before
    if argument.dtype != dtype or argument.shape != shape or argument.tobytes() != copy.tobytes():
        raise AssertionError("the call changed its input")


def as_float32(value):
    """NumPy's float32 conversion of a plain argument, as the modules make it."""
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return np.asarray(value, dtype=np.float32)


def check_limited(audio, gains, ceiling, frames):
    """The properties of any result: float32, finite, within the ceiling."""
    assert type(audio) is np.ndarray and audio.dtype == np.float32, audio
    assert type(gains) is np.ndarray and gains.dtype == np.float32 and gains.shape == (frames,), gains
    assert np.isfinite(audio).all() and np.isfinite(gains).all(), "a result is not finite"
    assert np.abs(audio).max(initial=0.0) <= ceiling, "a sample exceeds the ceiling"
    assert ((gains >= 0) & (gains <= 1)).all(), "a gain outside [0, 1]"


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


def too_costly(rate, plain):
    """Settings whose look-ahead and hold storage could be had but would take
    gigabytes (or hundreds of megabytes under ASan) and seconds to fill: not
    called, so that each input stays fast. Larger storage is still asked for
    and must be refused with MemoryError."""
    try:
        window = (float(plain["attack_ms"]) + float(plain["hold_ms"])) * float(rate) / 1000
    except (TypeError, ValueError, OverflowError):
        return False
    return 4e6 < window < 1e13


def ceiling_of(rate, plain):
    return np.float32(zarn_limiter.ZarnLimiter(rate, **plain).threshold)


# ---- limit() and ZarnLimiter.process(): one buffer


def draw_audio(r, reentry):
    """The audio argument, and the array it stands for (None when it stands
    for none an outside conversion could tell)."""
    channels = r.pick([1, 2, 3, 0])
    values = draw_values(r, draw_shape(r, r.pick(FRAMES), channels))
    array = lay_out(r, as_dtype(values, r.pick(DTYPES)))
    form = r.int(0, 11)
    if form <= 6:
        return array, array
    if form == 7:
        # The array NumPy makes of the nested list: an empty 2-D array's is
        # [], one-dimensional.
        return values.tolist(), np.asarray(values.tolist())
    if form == 8:
        return ArrayLike(array, make_action(r, reentry)), array
    flat = values.reshape(-1)
    if form == 9:
        return Sequence(flat, make_action(r, reentry)), flat
    if form == 10:
        items = np.empty(flat.shape, object)
        items[:] = [Number(value, make_action(r, reentry)) for value in flat]
        return (items if r.chance(50) else list(items)), flat
    return r.pick([None, "audio", 0.5, [[1.0], [2.0, 3.0]], {1: 2.0}, b"\x00\x00\x80?"]), None


def check_whole_result(r, result, stands_for, rate, plain, axis):
    """A result of limit() or process(): its type, shape and bounds, and audio
    within the ceiling coming back unchanged."""
    audio, gains = result
    if r.mutated or stands_for is None or not isinstance(axis, (int, np.integer)) \
            or None in (rate, *plain.values()):
        return
    given = as_float32(stands_for)
    assert audio.shape == given.shape, (audio.shape, given.shape)
    frames = given.shape[axis] if given.ndim == 2 else given.size
    ceiling = ceiling_of(rate, plain)
    check_limited(audio, gains, ceiling, frames)
    if np.abs(given).max(initial=0.0) <= ceiling:
        assert same_bits(audio, given) and (gains == 1).all(), "audio within the ceiling was changed"


def check_whole_error(r, error, stands_for):
    """A refused buffer: a documented exception, and a non-finite sample
    reported at a place that holds one."""
    check_error(r, error)
    prefix = "input sample at flat index "
    if r.mutated or stands_for is None or not str(error).startswith(prefix):
        return
    index = int(str(error)[len(prefix):].split()[0])
    assert not math.isfinite(as_float32(stands_for).reshape(-1)[index]), str(error)


def other_way_in(call, audio, rate, settings, axis):
    if call == "limit":
        return lambda: zarn_limiter.ZarnLimiter(rate, **settings).process(audio, axis=axis)
    return lambda: zarn_limiter.limit(audio, rate, **settings, axis=axis)


def fuzz_whole_buffer(r):
    call = r.pick(["limit", "process"])
    owner = []
    reentry = (lambda: owner[0].process([0.5])) if call == "process" else None
    audio, stands_for = draw_audio(r, reentry)
    victim = audio if isinstance(audio, np.ndarray) else None
    rate_arg, rate = draw_number(r, RATES, None, victim)
    settings_args, plain = draw_settings(r, None, victim)
    axis_arg, axis = draw_number(r, AXES, reentry, victim)
    if too_costly(rate, plain):
        return
    before = snapshot(audio)
    if call == "limit":
        result, error = attempt(lambda: zarn_limiter.limit(audio, rate_arg, **settings_args, axis=axis_arg))
    else:
        limiter, error = attempt(lambda: zarn_limiter.ZarnLimiter(rate_arg, **settings_args))
        if error is None:
            owner.append(limiter)
            result, error = attempt(lambda: limiter.process(audio, axis=axis_arg))
    check_unchanged(r, audio, before)
    check_reentries(r)
    if error is not None:
        check_whole_error(r, error, stands_for)
        return
    check_whole_result(r, result, stands_for, rate, plain, axis)
    plain_call = audio is stands_for and rate_arg is rate and axis_arg is axis and settings_args == {
        name: plain[name] for name in settings_args}
    if plain_call and not r.mutated:
        other, error = attempt(other_way_in(call, audio, rate, settings_args, axis))
        assert error is None, f"limit() and ZarnLimiter.process() disagree: {error!r}"
        assert all(same_bits(a, b) for a, b in zip(result, other)), "limit() and process() differ"


# ---- StreamLimiter: a stream block by block


class OutArray(np.ndarray):
    """An `out` array whose slicing, which hands back its leading part, runs
    an action first (slices of it run none)."""

    action = None

    def __getitem__(self, index):
        if self.action is not None:
            self.action()
        return super().__getitem__(index)


class Stream:
    """A StreamLimiter under test and what it took and handed back."""

    def __init__(self, stream, rate, channels, plain):
        self.stream, self.rate, self.channels, self.plain = stream, rate, channels, plain
        self.latency = stream.latency
        self.ceiling = ceiling_of(rate, plain)
        # The rank flush hands back: the last block's, 1-D for a mono stream
        # until a block comes.
        self.rank = 1 if channels == 1 else 2
        self.restart()

    def restart(self):
        self.taken, self.handed, self.held, self.predictable = [], [], 0, True

    def reentries(self):
        channels = self.channels
        return [lambda: self.stream.process(np.zeros((1, channels), np.float32)),
                lambda: self.stream.flush(), lambda: self.stream.latency, lambda: repr(self.stream)]


def draw_block(r, s, frames):
    """A block of `frames` frames in some form, and the array it stands for."""
    values = draw_values(r, (frames, s.channels))
    shape = r.pick(["frames"] * 6 + ["mono", "transposed", "three", "scalar"])
    if shape == "mono" or (shape == "frames" and s.channels == 1 and r.chance(50)):
        values = values[:, 0]
    elif shape == "transposed":
        values = values.T
    elif shape == "three":
        values = values[None]
    elif shape == "scalar":
        values = np.asarray(values.reshape(-1)[0] if values.size else 0.5)
    array = lay_out(r, as_dtype(values, r.pick(DTYPES)))
    reentry = r.pick(s.reentries())
    form = r.int(0, 11)
    if form <= 6:
        return array, array
    if form == 7:
        return values.tolist(), np.asarray(values.tolist())
    if form == 8:
        return ArrayLike(array, make_action(r, reentry)), array
    if form == 9 and values.ndim == 1:
        return Sequence(values, make_action(r, reentry)), values
    if form == 10 and values.ndim >= 1:
        items = np.empty(values.shape, object)
        items.reshape(-1)[:] = [Number(value, make_action(r, reentry)) for value in values.reshape(-1)]
        return items, values
    return r.pick([None, "block", [[1.0], [2.0, 3.0]], b"\x00\x00\x80?"]), None


OUT_KINDS = ["none"] * 5 + ["fits", "fits", "small", "float64", ">f4", "readonly", "strided", "same",
                            "overlap", "block", "list", "triple", "hostile", "rank", "fortran"]


def draw_out(r, s, block, frames, rank):
    """An `out=` argument for a call that hands back `frames` frames, and its kind."""
    kind = r.pick(OUT_KINDS)
    size = frames + r.int(0, 2) if kind != "small" else max(frames - 1, 0)
    shape = (size,) if rank == 1 else (size, s.channels)
    audio = np.full(shape, np.nan, np.float32)
    gains = np.full(size, np.nan, np.float32)
    if kind in ("none", "fits", "small"):
        return (None if kind == "none" else (audio, gains)), kind
    if kind in ("float64", ">f4"):
        return (audio.astype(kind), gains), kind
    if kind == "readonly":
        audio.setflags(write=False)
    if kind == "strided":
        audio = np.full((2 * size,) + shape[1:], np.nan, np.float32)[::2]
    if kind == "same":
        return (gains.reshape(shape) if rank == 1 or s.channels == 1 else audio, gains if rank == 1 else audio), kind
    if kind == "overlap":
        base = np.full(audio.size + size, np.nan, np.float32)
        start = r.int(0, audio.size)
        return (base[:audio.size].reshape(shape), base[start:start + size]), kind
    if kind == "block":
        return (block, gains), kind
    if kind == "list":
        return [audio, gains], kind
    if kind == "triple":
        return (audio, gains, gains), kind
    if kind == "rank":
        return (audio.reshape(-1) if rank == 2 else audio.reshape(-1, 1), gains), kind
    if kind == "fortran":
        audio = np.asfortranarray(np.full(shape[::-1], np.nan, np.float32)).T
    if kind == "hostile":
        audio = audio.view(OutArray)
        audio.action = marking_handing_back(
            make_action(r, r.pick(s.reentries()), block if isinstance(block, np.ndarray) else None))
    return (audio, gains), kind


def marking_handing_back(action):
    """The action, its exception marked as raised while the call handed its
    frames back into `out`."""
    def marked():
        try:
            action()
        except Hostile as error:
            error.handing_back = True
            raise
    return marked


def rows_of(s, stands_for):
    """The (frames, channels) float32 samples of a valid block, and its rank;
    None when the block is not one (a stream must refuse it)."""
    if stands_for is None:
        return None, 2
    given = as_float32(stands_for)
    if not (given.ndim == 1 and s.channels == 1 or given.ndim == 2 and given.shape[1] == s.channels):
        return None, 2
    # A copy: the block itself may be the `out` the call writes to.
    return given.reshape(len(given), s.channels).copy(), given.ndim


def check_non_finite_report(s, error, rows):
    """A refused block: its earliest non-finite sample, frame first, counted
    from the start of the stream."""
    bad = ~np.isfinite(rows)
    assert bad.any(), f"a finite block was refused: {error}"
    frame = int(np.argmax(bad.any(axis=1)))
    channel = int(np.argmax(bad[frame]))
    taken = sum(len(block) for block in s.taken)
    assert (error.frame, error.channel) == (taken + frame, channel), (str(error), taken + frame, channel)


def take(s, rows, rank, audio, gains, frames):
    """Records a block the stream took and the frames it handed back."""
    assert gains.shape == (frames,), (gains.shape, frames)
    assert audio.shape == ((frames,) if rank == 1 else (frames, s.channels)), (audio.shape, rank, frames)
    check_limited(np.asarray(audio).view(np.ndarray), np.asarray(gains).view(np.ndarray), s.ceiling, frames)
    s.handed.append((np.array(audio).reshape(frames, s.channels), np.array(gains)))
    if rows is not None:
        s.taken.append(rows)
        s.held += len(rows) - frames
        s.rank = rank


def raised_handing_back(error):
    """Whether the caller's own exception came from slicing the `out` array
    as the call handed its frames back: the stream moved on then, and the
    frames are in `out`."""
    return getattr(error, "handing_back", False)


def feed_block(r, s):
    frames = min(max(0, r.pick([0, 1, 2, s.latency - 1, s.latency, s.latency + 1, r.int(0, 700)])), 3000)
    block, stands_for = draw_block(r, s, frames)
    rows, rank = rows_of(s, stands_for)
    completed = max(0, s.held + (len(rows) if rows is not None else 0) - s.latency)
    out, kind = draw_out(r, s, block, completed, rank)
    before = snapshot(block)
    result, error = attempt(lambda: s.stream.process(block, out=out))
    if kind != "block":
        check_unchanged(r, block, before)
    check_reentries(r)
    if error is None:
        assert rows is not None or stands_for is None, "an invalid block was taken"
        if rows is None:
            # An odd object NumPy made a block of: what it stood for is unknown.
            s.predictable, s.rank = False, result[0].ndim
            return
        take(s, rows, rank, *result, completed if s.predictable else len(result[1]))
        return
    check_error(r, error)
    if raised_handing_back(error) and rows is not None:
        return take(s, rows, rank, out[0].view(np.ndarray)[:completed], out[1][:completed], completed)
    if hasattr(error, "frame") and rows is not None and s.predictable:
        check_non_finite_report(s, error, rows)


def flush(r, s):
    """Ends the stream. A refused `out` leaves the frames held, and a flush
    without one hands them back then."""
    out, kind = draw_out(r, s, None, s.held, s.rank)
    result, error = attempt(lambda: s.stream.flush(out=out))
    check_reentries(r)
    frames = s.held if s.predictable else None
    if error is None:
        return take(s, None, s.rank, *result, frames if s.predictable else len(result[1]))
    check_error(r, error)
    if raised_handing_back(error):
        if not s.predictable:
            return None
        return take(s, None, s.rank, out[0].view(np.ndarray)[:frames], out[1][:frames], frames)
    result, error = attempt(lambda: s.stream.flush())
    assert error is None, f"flush() failed after a refused out: {error!r}"
    return take(s, None, s.rank, *result, frames if s.predictable else len(result[1]))


def check_stream_identity(s):
    """The stream's frames, concatenated, are limit(whole, axis=0)'s."""
    whole = np.concatenate(s.taken) if s.taken else np.zeros((0, s.channels), np.float32)
    audio = np.concatenate([a for a, _ in s.handed])
    gains = np.concatenate([g for _, g in s.handed])
    expected = zarn_limiter.limit(whole, s.rate, **s.plain, axis=0)
    assert same_bits(audio, expected[0]), "the stream's audio differs from limit()'s"
    assert same_bits(gains, expected[1]), "the stream's gains differ from limit()'s"


def fuzz_stream(r):
    rate_arg, rate = draw_number(r, RATES)
    channels_arg, channels = draw_number(r, [1, 2, 3, 1, 2, 0, -1, 2**64, 9])
    settings_args, plain = draw_settings(r)
    if too_costly(rate, plain):
        return
    stream, error = attempt(lambda: zarn_limiter_stream.StreamLimiter(rate_arg, channels_arg, **settings_args))
    check_reentries(r)
    if error is not None:
        check_error(r, error)
        return
    if None in (rate, channels, *plain.values()):
        return
    s = Stream(stream, rate, channels, plain)
    for _ in range(r.int(1, 2)):
        s.restart()
        for _ in range(r.int(0, 6)):
            feed_block(r, s)
        flush(r, s)
        if s.predictable:
            check_stream_identity(s)


# ---- LoudnessMeter: one add against random blocks


def draw_weights(r, channels):
    kind = r.pick(["none", "none", "ones", "surround", "short", "nan", "negative", "numbers", "text"])
    count = channels if isinstance(channels, int) and 0 <= channels < 16 else 2
    weights = {"none": None, "ones": [1.0] * count, "surround": ([1.0, 1.0, 1.0, 0.0, 1.41, 1.41] * 3)[:count],
               "short": [1.0] * max(count - 1, 0), "nan": [math.nan] * count, "negative": [-1.0] * count,
               "text": "1.0"}.get(kind)
    if kind == "numbers":
        weights = [Number(1.0, make_action(r)) for _ in range(count)]
    return weights


def check_loudness(result, channels):
    """Every field a float that is finite or -inf (the reconstructed peak
    may be None), one true peak per channel."""
    values = list(result[:5]) + list(result[5]) + list(result[6:])
    assert len(result[5]) == channels, result
    for value in values:
        if value is None and value is result[7]:
            continue
        assert type(value) is float and (math.isfinite(value) or value == -math.inf), result


def add_in_blocks(r, meter, whole, owner):
    """Adds `whole` block by block in random layouts and forms; a block
    refused by the caller's own callback is added again as it is."""
    start = 0
    while start < len(whole):
        length = r.pick([1, 7, 400, 4800, r.int(1, 30000)])
        block = lay_out(r, whole[start:start + length], keep_values=True)
        start += length
        if r.chance(20):
            hostile = ArrayLike(block, make_action(r, r.pick([lambda: owner.add(block), owner.result])))
            _, error = attempt(lambda: meter.add(hostile))
            check_reentries(r)
            if error is None:
                continue
            check_error(r, error)
            assert isinstance(error, Hostile), f"a block was refused: {error!r}"
        _, error = attempt(lambda: meter.add(block))
        assert error is None, f"a block was refused: {error!r}"


def fuzz_meter(r):
    rate_arg, rate = draw_number(r, RATES)
    channels_arg, channels = draw_number(r, [1, 2, 3, 5, 6, 0, -1, 2**64])
    weights = draw_weights(r, channels)
    reconstructed = r.pick([False, True, 0, 1, None, "yes"])
    meter_type = zarn_limiter_stream.LoudnessMeter
    if too_costly(rate, {"attack_ms": 1000.0, "hold_ms": 0.0}):
        return
    make = lambda: meter_type(rate_arg, channels_arg, weights=weights, reconstructed=reconstructed)  # noqa: E731
    one, error = attempt(make)
    if error is not None:
        check_error(r, error)
        return
    if None in (rate, channels):
        return
    whole = as_dtype(draw_values(r, (r.pick([0, 1, 100, 1000, 5000, 20000]), channels)), np.float32)
    before = whole.copy()
    _, error = attempt(lambda: one.add(whole))
    check_unchanged(r, whole, snapshot(before))
    if error is not None:
        check_error(r, error)
        return
    split = make()
    add_in_blocks(r, split, whole, split)
    results = one.result(), split.result()
    check_loudness(results[0], channels)
    assert tuple(results[0]) == tuple(results[1]), results


# ---- decode_samples and encode_samples: stored bytes and back


SAMPLE_WIDTHS = {"int16": 2, "int24": 3, "int32": 4, "float32": 4, "float64": 8}


def draw_coded_arguments(r):
    """A sample type and byte order, now and then one that is not."""
    sample_type = r.pick([*SAMPLE_WIDTHS, "int8", b"int16", None])
    byteorder = r.pick(["little", "big", "little", "native", None])
    return sample_type, byteorder


def recoded(stored, sample_type, byteorder, frames):
    """Decoded, then encoded again."""
    values = np.empty((frames, 2), np.float32)
    zarn_limiter_stream.decode_samples(stored, values, sample_type, byteorder)
    again = bytearray(len(stored))
    zarn_limiter_stream.encode_samples(values, again, sample_type, byteorder)
    return values, bytes(again)


def fuzz_sample_coding(r):
    sample_type, byteorder = draw_coded_arguments(r)
    frames = r.pick([0, 1, 3, 100, r.int(0, 5000)])
    width = SAMPLE_WIDTHS.get(sample_type, 2) if isinstance(sample_type, str) else 2
    stored = r.fdp.ConsumeBytes(frames * 2 * width).ljust(frames * 2 * width, b"\x5a")
    out = lay_out(r, np.empty((frames + r.pick([0, 0, 0, 1]), 2), np.float32))
    _, error = attempt(lambda: zarn_limiter_stream.decode_samples(stored, out, sample_type,
                                                                   byteorder))
    if error is not None:
        check_error(r, error)
        return
    values, again = recoded(stored, sample_type, byteorder, frames)
    if sample_type.startswith("int"):
        assert np.all(np.abs(values) <= 1.0), values
    if sample_type in ("int16", "int24", "float32"):
        assert again == stored
    else:
        assert recoded(again, sample_type, byteorder, frames)[1] == again


# ---- the entry point


SCENARIOS = [fuzz_whole_buffer, fuzz_stream, fuzz_sample_coding]
if getattr(zarn_limiter_stream, "LoudnessMeter", None) is not None:
    SCENARIOS.append(fuzz_meter)


def test_one_input(data):
    r = Round(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        r.pick(SCENARIOS)(r)
    # Exceptions kept by the round hold the frames, and so the limiters, of
    # the calls they came from: collected now, not when the interpreter
    # next counts enough objects, so that memory stays flat.
    del r
    gc.collect()


def instrument_own_functions():
    """Python coverage of this script's choices; NumPy's and atheris' own code
    stays uninstrumented, so that their branches do not drown ours."""
    for value in list(globals().values()):
        if inspect.isfunction(value) and value.__module__ == __name__:
            atheris.instrument_func(value)
        elif inspect.isclass(value) and value.__module__ == __name__:
            for member in vars(value).values():
                if inspect.isfunction(member):
                    atheris.instrument_func(member)


if __name__ == "__main__":
    instrument_own_functions()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
