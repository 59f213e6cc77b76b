"""Ctrl-C, SIGTERM and SIGHUP: abandon the files in hand at once, start no other, then stop.

A file's work checks between blocks whether to go on, so a stop takes effect
within a block's time; the temporary files of the abandoned outputs are
removed, outputs already in place stay, and a second run with the same
command does the rest. The command prints its summary and exits with 128 +
the signal's number.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

from .errors import Interrupted

HANDLED = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

_stop = threading.Event()
_abandon = threading.Event()
_received: list[int] = []


def _on_signal(number: int, frame: FrameType | None) -> None:
    _received.append(number)
    _abandon.set()
    _stop.set()


def install() -> None:
    """Take over the stop signals; only the main thread may do this."""
    for number in HANDLED:
        signal.signal(number, _on_signal)


@contextmanager
def ignored_by_children() -> Iterator[None]:
    """Start child processes inside this block, so that a Ctrl-C typed at the terminal
    (which reaches the whole process group) stops only this process's queue and not
    the children's work; a signal ignored at exec stays ignored in the child."""
    previous = {number: signal.signal(number, signal.SIG_IGN)
                for number in (signal.SIGINT, signal.SIGHUP)}
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


def check_abandon() -> None:
    """Raise Interrupted in a file's work once the user asked to stop."""
    if _abandon.is_set():
        raise Interrupted()
