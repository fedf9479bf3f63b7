"""Telling a caller about the transport's retries as they happen.

The transport retries a failed try quietly (a log line at most).  A program
that shows its user what is going on, such as ``quorvel chat``, installs a
watcher for the calls it makes: the watcher is told of every failed try,
before the wait that precedes the next one, and of the try after which the
transport gives up.  Watchers are kept per context (per thread, per task), so
one caller's watcher never hears about another caller's exchanges.
"""

from __future__ import annotations

import contextlib
import contextvars
import logging
from collections.abc import Callable, Iterator
from typing import NamedTuple

__all__ = ["FailedTry", "watching", "tell"]

log = logging.getLogger("quorvel")


class FailedTry(NamedTuple):
    """One try of an exchange that failed."""

    number: int
    """Which try failed, counting from 1."""
    tries: int
    """How many tries the settings allow in all (``max_retries`` + 1)."""
    wait: float | None
    """Seconds until the next try; None when the transport gives up after this one."""
    error: BaseException
    """Why it failed: the error of the connection, or the ``ServerError`` of a status."""


Watcher = Callable[[FailedTry], None]

_watcher: contextvars.ContextVar[Watcher | None] = contextvars.ContextVar("quorvel_retry_watcher", default=None)


@contextlib.contextmanager
def watching(watcher: Watcher) -> Iterator[None]:
    """Tell ``watcher`` about the failed tries of the exchanges made in this context."""
    token = _watcher.set(watcher)
    try:
        yield
    finally:
        _watcher.reset(token)


def tell(number: int, tries: int, wait: float | None, error: BaseException) -> None:
    """Called by the transport for each failed try; a failing watcher never changes the exchange."""
    watcher = _watcher.get()
    if watcher is None:
        return
    try:
        watcher(FailedTry(number, tries, wait, error))
    except Exception:  # noqa: BLE001  the exchange goes on (or fails) as it would without a watcher
        log.debug("retry watcher failed", exc_info=True)
