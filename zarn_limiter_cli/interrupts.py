"""Ctrl-C, SIGTERM and SIGHUP: finish the files in hand, start no other, then stop.

The first signal asks to stop after the files being limited; a second one
abandons them too (their temporary files are removed). Either way the
command prints its summary and exits with 128 + the signal's number.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from types import FrameType

from .errors import Interrupted

HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_stop = threading.Event()
_abandon = threading.Event()
_received: list[int] = []


def _on_signal(number: int, frame: FrameType | None) -> None:
    _received.append(number)
    if _stop.is_set():
        _abandon.set()
    _stop.set()


def install() -> None:
    """Take over the stop signals; only the main thread may do this."""
    for number in HANDLED:
        signal.signal(number, _on_signal)


@contextmanager
def ignored_by_children() -> Iterator[None]:
    """Start child processes inside this block, so that a stop signal sent to the whole
    process group (Ctrl-C at the terminal, `kill -TERM -- -PGID`) stops only this
    process's queue and not the children's work, which this process winds up; a
    signal ignored at exec stays ignored in the child."""
    previous = {number: signal.signal(number, signal.SIG_IGN) for number in HANDLED}
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def stop_requested() -> bool:
    return _stop.is_set()


def signal_number() -> int | None:
    """The first stop signal received, if any."""
    return _received[0] if _received else None


def abandon_requested() -> bool:
    return _abandon.is_set()


# On a worker of a cluster, where the signals reach the process that runs the
# command and not this one: whether that process asks to abandon the work.
_remote_abandon: ContextVar[Callable[[], bool] | None] = ContextVar("remote_abandon",
                                                                    default=None)


@contextmanager
def abandoned_when(asked: Callable[[], bool]) -> Iterator[None]:
    """Inside the block, check_abandon also raises once `asked()` is true."""
    reset = _remote_abandon.set(asked)
    try:
        yield
    finally:
        _remote_abandon.reset(reset)


def check_abandon() -> None:
    """Raise Interrupted in a file's work when the user asked twice to stop."""
    remote = _remote_abandon.get()
    if _abandon.is_set() or (remote is not None and remote()):
        raise Interrupted()
