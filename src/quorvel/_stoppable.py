"""A synchronous exchange that ``quorvel.cancel(model)`` can stop, from its
POST to the end of its body.

:func:`quorvel._transport.send` opens an :class:`Exchange` for the model it
posts for; the exchange is registered in :mod:`quorvel._inflight` until
``send`` returns, across every try and every wait between tries.  Stopping
it, from any thread:

- shuts the connection's socket down (``SHUT_RDWR``): a read blocked on it
  in the posting thread, for the status line or for a whole body, returns at
  once, and the server sees the connection end;
- wakes a wait between two tries, after which no further try is made.

The posting thread then sees the exchange's ``stopped`` flag and raises
:class:`Stopped`, whatever error the shut-down socket caused.  The driver ends
the call as a stopped call: a stream simply ends, a whole answer is an empty
record.  Between two exchanges, while the tools of an answer run, a stop is
kept by a :class:`ToolRound` and ends the call once the tools return.

The socket is found through the pools' connection class
(:func:`connection_class`): every request a connection sends, and every socket
it opens, is attached to the exchange of the posting thread.  A connection
whose socket was shut down is closed by its own thread before ``send``
returns, so the pool never hands it to a later exchange.  A connection still
being opened (the connect call itself) cannot be interrupted: its socket is
shut down as soon as it exists, within ``connect_timeout`` at the latest.
"""

from __future__ import annotations

import socket
import threading
from typing import Any

from quorvel import _inflight

__all__ = ["Stopped", "Exchange", "ToolRound", "connection_class"]


class Stopped(BaseException):
    """The exchange was stopped by ``quorvel.cancel``.  Not a failure: it is
    outside the Exception family so that it passes every failure path (no
    message, no fallback answer) up to the call, which ends as stopped."""


class _Current(threading.local):
    exchange: Exchange | None = None


# The exchange the thread is posting, if any: the connection class reads it.
_current = _Current()


def _shut(sock: Any) -> None:
    if sock is None:
        return
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except (OSError, AttributeError, ValueError):
        # Already closed, detached (wrapped in TLS), or not a socket.
        pass


class Exchange:
    """One exchange of a synchronous call, open from its POST until
    :meth:`end`; :meth:`stop` may be called from any thread."""

    __slots__ = ("model", "stopped", "_token", "_attached", "_socket", "_wake", "_previous", "_used")

    def __init__(self, model: Any) -> None:
        self.model = model
        self.stopped = False
        self._attached: Any = None
        self._socket: Any = None
        self._used: Any = None
        self._wake: threading.Event | None = None
        self._token = _inflight.track(model, self.stop)
        self._previous = _current.exchange
        _current.exchange = self

    # -- the posting thread ------------------------------------------------------------

    def attach(self, connection: Any) -> None:
        """``connection`` is about to send this exchange's request."""
        self._attached = connection
        if self.stopped:
            _shut(getattr(connection, "sock", None))

    def attach_socket(self, sock: Any) -> None:
        """``sock`` was just opened for this exchange (before it is the
        connection's: TLS is negotiated on it first)."""
        self._socket = sock
        if self.stopped:
            _shut(sock)

    def wait(self, seconds: float) -> None:
        """Waits between two tries; a stop ends the wait."""
        wake = self._wake = threading.Event()
        if not self.stopped:
            wake.wait(seconds)

    def discard(self, response: Any = None) -> None:
        """The exchange was stopped: what it opened is closed, in this
        thread, so that no shut-down connection is used again."""
        if response is not None:
            try:
                response.close()
            except Exception:  # noqa: BLE001  closing a broken answer may fail; it is dropped either way
                pass
        connection, self._used = self._used, None
        if connection is not None:
            try:
                connection.close()
            except Exception:  # noqa: BLE001
                pass

    def end(self) -> None:
        """The exchange is over: a stop no longer reaches it (nor the
        connection, which a successful answer may still be read from); what
        it used is kept for :meth:`discard`."""
        _inflight.untrack(self.model, self._token)
        _current.exchange = self._previous
        self._used = self._attached
        self._previous = self._attached = self._socket = None

    # -- any thread -------------------------------------------------------------------

    def stop(self) -> None:
        # The flag first: the posting thread attaches, then reads the flag;
        # here the flag is set, then what is attached is read.  Either this
        # side sees the socket, or that side sees the flag.
        self.stopped = True
        wake = self._wake
        if wake is not None:
            wake.set()
        connection = self._attached
        _shut(getattr(connection, "sock", None))
        _shut(self._socket)


class ToolRound:
    """The tools of one answer running in a synchronous call.  A thread
    running a tool cannot be interrupted: a stop is kept, and the call ends
    as stopped once the round is over (its results stay in the history), with
    no follow-up exchange."""

    __slots__ = ("model", "stopped", "_token")

    def __init__(self, model: Any) -> None:
        self.model = model
        self.stopped = False
        self._token = _inflight.track(model, self.stop)

    def stop(self) -> None:
        self.stopped = True

    def end(self) -> bool:
        """The round is over; whether it was stopped."""
        _inflight.untrack(self.model, self._token)
        return self.stopped


_connection_classes: dict[type, type] = {}


def connection_class(base: type) -> type:
    """A subclass of urllib3's connection class ``base`` whose requests and
    sockets are attached to the exchange of the posting thread."""
    cls = _connection_classes.get(base)
    if cls is None:

        def request(self: Any, *args: Any, **kwargs: Any) -> Any:
            exchange = _current.exchange
            if exchange is not None:
                exchange.attach(self)
            return base.request(self, *args, **kwargs)  # type: ignore[attr-defined]

        def _new_conn(self: Any) -> Any:
            sock = base._new_conn(self)  # type: ignore[attr-defined]
            exchange = _current.exchange
            if exchange is not None:
                exchange.attach_socket(sock)
            return sock

        cls = type(base.__name__, (base,), {"request": request, "_new_conn": _new_conn, "__module__": __name__})
        _connection_classes[base] = cls
    return cls
