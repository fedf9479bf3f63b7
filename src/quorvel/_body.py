"""The body of a streamed answer as the native decoder reads it.

The native side reads an answer through this object only: its ``status`` and
``headers``, an iterator of byte blocks (``blocks()``), or of ready-made lines
when the response's own line reader must be honoured (``lines()``), and the
end of its use (``finish()``, ``stop()``, ``abandon()``, ``end()``).  It never
touches requests' or urllib3's internals: how much to read at a time, and
whether a connection can go back to the pool, are decided here, from what
this side alone read.

``close()`` may be called from any thread at any time: a read blocked on the
socket ends promptly.  While the body is open it is registered in
:mod:`quorvel._inflight`, so that ``quorvel.cancel(model)`` closes it; the
stream then ends as one stopped by the model's close flag ends.
"""

from __future__ import annotations

import io
import socket
import weakref
from collections.abc import Callable, Iterator
from typing import Any

import requests

from quorvel import _inflight, _transport

__all__ = ["Body"]

# requests.models.ITER_CHUNK_SIZE: what requests reads at a time for lines.
REQUESTS_CHUNK_SIZE = 512
BLOCK_SIZE = 64 * 1024

_RESPONSE = requests.Response
_ITER_LINES = requests.Response.__dict__["iter_lines"]
_ITER_CONTENT = requests.Response.__dict__["iter_content"]


def _is_own(response: Any, name: str, original: Any) -> bool:
    """``response.<name>`` is requests' own function on a plain Response."""
    return (
        type(response) is _RESPONSE
        and type(response).__dict__.get(name) is original
        and name not in getattr(response, "__dict__", {})
    )


def _splittable(response: Any) -> bool:
    """The body may be read in blocks and split natively: the lines would be
    requests' own splitting of requests' own reads."""
    return _is_own(response, "iter_lines", _ITER_LINES) and _is_own(response, "iter_content", _ITER_CONTENT)


def _reads_return_early(response: requests.Response) -> bool:
    """Whether a read of ``BLOCK_SIZE`` returns as soon as some of the body is
    there: a body already read into memory, an in-memory raw stream, or
    urllib3 reading a chunked transfer (one transfer chunk at most per read).
    Any other body is read in requests' 512 bytes, so that no line waits for
    more of the body than requests would have waited for."""
    if getattr(response, "_content_consumed", False):
        return True
    raw = response.raw
    if isinstance(raw, io.BytesIO):
        return True
    if getattr(raw, "chunked", None) is not True:
        return False
    supports = getattr(raw, "supports_chunked_reads", None)
    return bool(supports is not None and supports())


def _socket(response: Any) -> Any:
    """The socket the body is read from, or None (in memory, or released)."""
    connection = getattr(getattr(response, "raw", None), "_connection", None)
    return getattr(connection, "sock", None)


def _weak_closer(body: Body) -> Callable[[], None]:
    ref = weakref.ref(body)

    def close() -> None:
        held = ref()
        if held is not None:
            held._cancel()

    return close


class Body:
    """One streamed answer's body, open from the first read to its end."""

    __slots__ = ("response", "status", "headers", "splittable", "cancelled", "_source", "_model", "_token", "__weakref__")

    def __init__(self, response: Any, model: Any = None) -> None:
        self.response = response
        self.status: int = getattr(response, "status_code", 200)
        self.headers: Any = getattr(response, "headers", {})
        self.splittable = _splittable(response)
        self.cancelled = False
        self._source: Iterator[Any] | None = None
        self._model = model
        # The table holds the body weakly: a stream dropped unfinished (in a
        # reference cycle too) is collected, and its end releases it.
        self._token = None if model is None else _inflight.track(model, _weak_closer(self))

    def blocks(self) -> Iterator[bytes]:
        """The body's bytes, block by block, as they arrive."""
        size = BLOCK_SIZE if _reads_return_early(self.response) else REQUESTS_CHUNK_SIZE
        self._source = iter(self.response.iter_content(size))
        return self._source

    def lines(self) -> Iterator[Any]:
        """The lines of the response's own line reader, whatever it yields."""
        self._source = iter(self.response.iter_lines())
        return self._source

    def finish(self) -> None:
        """The finishing chunk has been read: the connection goes back to the
        pool when the rest of the body has already arrived, and is closed
        otherwise."""
        self._release()
        _transport.finish_stream(self.response, self._source if self._source is not None else iter(()))

    def stop(self) -> None:
        """The model's close flag stops the stream: the answer is closed."""
        self._release()
        self.response.close()

    def abandon(self) -> None:
        """The stream ends before its finishing chunk (stopped, dropped or
        failed): a pooled connection is closed."""
        self._release()
        _transport.abandon_stream(self.response)

    def end(self) -> None:
        """The body has been read to its end."""
        self._release()

    def close(self) -> None:
        """Closes the body from any thread; a blocked read ends promptly."""
        sock = _socket(self.response)
        if sock is not None:
            try:
                # A read blocked in another thread returns at once; closing
                # alone would wait for it (the reader's lock).
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.response.close()

    def _cancel(self) -> None:
        self.cancelled = True
        self.close()

    def _release(self) -> None:
        if self._token is not None:
            _inflight.untrack(self._model, self._token)
            self._token = None
