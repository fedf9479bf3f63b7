"""The calls in flight on each model, so that :func:`cancel` can stop them.

A transport that posts an exchange or opens a body for a model registers a
closer here with :func:`track` and removes it with :func:`untrack` when it is
done.
:func:`cancel`, callable from any thread, runs every closer registered for
the model.  The table is keyed weakly by the model: a collected model
leaves nothing behind.  Models are pydantic models, which are not hashable,
so the key is the model's identity, held with a weak reference whose
callback drops the entry.
"""

from __future__ import annotations

import itertools
import threading
import weakref
from collections.abc import Callable
from typing import Any

__all__ = ["track", "untrack", "cancel"]

_lock = threading.Lock()
# id(model) -> (weak reference to the model, {token: closer})
_open: dict[int, tuple[weakref.ref[Any], dict[int, Callable[[], None]]]] = {}
_tokens = itertools.count(1)


# Entries of collected models not yet dropped (see _forget).
_dead: list[tuple[int, weakref.ref[Any]]] = []


def _forget(key: int, ref: weakref.ref[Any]) -> None:
    # Runs when the model is collected, which can happen in the middle of
    # any allocation, on a thread that already holds _lock: it must not
    # wait for the lock: it notes the entry (list.append is atomic) and drops
    # it at once only when the lock is free.
    _dead.append((key, ref))
    if _lock.acquire(blocking=False):
        try:
            _sweep()
        finally:
            _lock.release()


def _sweep() -> None:
    """Drop the entries of collected models; called with _lock held."""
    while _dead:
        key, ref = _dead.pop()
        entry = _open.get(key)
        if entry is not None and entry[0] is ref:
            del _open[key]


def _closers(model: Any) -> dict[int, Callable[[], None]] | None:
    entry = _open.get(id(model))
    if entry is None or entry[0]() is not model:
        return None
    return entry[1]


def track(model: Any, closer: Callable[[], None]) -> int:
    """Register ``closer`` as the way to stop a body open for ``model``;
    returns the token that :func:`untrack` takes."""
    token = next(_tokens)
    key = id(model)
    # Every exchange of every call passes here and through untrack: the
    # model's entry is looked up inline (what _closers does).
    with _lock:
        if _dead:
            _sweep()
        entry = _open.get(key)
        if entry is None or entry[0]() is not model:
            ref = weakref.ref(model, lambda ref: _forget(key, ref))
            entry = _open[key] = (ref, {})
        entry[1][token] = closer
    return token


def untrack(model: Any, token: int) -> None:
    """Forget the body registered under ``token``; unknown tokens are ignored."""
    # The model's entry stays, empty, until the model is collected: every
    # call registers its exchange, and making the entry anew each time would
    # be most of the cost.
    key = id(model)
    with _lock:
        entry = _open.get(key)
        if entry is not None and entry[0]() is model:
            entry[1].pop(token, None)


def cancel(model: Any) -> bool:
    """Stop the call in flight on ``model``, from any thread or task.

    The open connection is closed at once (the server sees it end), even when
    the server has gone silent: a POST waiting for its status line, a whole
    answer being read, a stream's body, or a wait between two tries, of a
    synchronous or an async call.  The tools of a synchronous call are not
    interrupted: the call ends once they have returned.  The call ends as a stream stopped by the
    model's close flag ends; a whole call returns an empty ``LLMResult``.
    What arrived stays in the history and the per-call state is reset.
    Returns whether anything was in flight; with nothing in flight it does
    nothing.
    """
    with _lock:
        closers = _closers(model)
        if not closers:
            return False
        stopping = list(closers.values())
        closers.clear()
    for closer in stopping:
        try:
            closer()
        except Exception:
            # A body that is already closed, or fails to close, is stopped
            # as far as this model is concerned; the others still get closed.
            pass
    return True
