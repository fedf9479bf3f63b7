"""How the chat client reaches its server: settings, pooled connections,
retries, and the end of a streamed answer.

The native call driver builds the request (URL, headers, JSON body, stream
flag) and hands it to :func:`send`, which returns the 200 answer or raises.
While this module's steps are its own, the driver makes the first try
itself with the same objects (the Exchange, the table of calls in flight,
the usage figures) and hands any outcome but a plain 200 answer to
:func:`_resume`, which goes on from there as :func:`send` would.
A streamed answer is then read through :func:`stream_body`, the body object
of :mod:`quorvel._body`.

- Settings ``timeout``, ``connect_timeout`` and ``max_retries`` come from
  ``Configurator`` in the model's section, read at every exchange (quorvel's
  own configuration keeps the parsed file and looks at it once per read; a
  call's exchange takes them from the call's one reading, see
  :mod:`quorvel._call_settings`).  A
  timeout of ``NO_LIMIT_FROM`` seconds (about 32 years) or more means "no
  limit": the socket layer cannot represent such deadlines.
- Connections are kept alive in one ``requests.Session`` per thread, shared
  by every model on that thread.  When ``requests.post`` has been replaced
  (a test or a program patched it), the replacement is called with exactly
  the URL and the ``headers``, ``json`` and ``stream`` keywords, and no pool
  is used.
- A connection error, a timeout before the status line, or a status of 408,
  409, 429 or 5xx is retried up to ``max_retries`` times.  Nothing is retried
  once the status line of a 200 answer has arrived: from then on the caller
  owns the answer.
- Redirects are not followed: a POST redirected becomes a GET without its
  body, so a 3xx status is an error that names the new location.
- Interrupts (an exception outside the ``Exception`` family, such as the
  ``KeyboardInterrupt`` of a signal handler) can land anywhere: the pools
  keep their connections in a queue that holds no lock (``_PoolQueue``), and
  a thread whose exchange was interrupted gets a new session for its next
  exchange, so that nothing half-changed by the interrupt is used again.
"""

from __future__ import annotations

import email.utils
import http.cookiejar
import logging
import math
import os
import queue
import random
import socket
import threading
import time
from collections.abc import Iterator
from typing import Any, NamedTuple
from urllib.parse import urljoin, urlsplit

import requests
from requests.adapters import HTTPAdapter

from quorvel import _answer_settings, _body, _call_settings, _retry_watch, _stoppable
from quorvel import usage as _usage
from quorvel._server_error import ServerError, answer_error, redirect_error, status_error
from quorvel.config import Configurator

__all__ = [
    "Settings",
    "read_settings",
    "check_settings",
    "send",
    "finish_stream",
    "abandon_stream",
    "stream_body",
    "bound_usage_wait",
    "answer_error",
    "ServerError",
    "Stopped",
    "ToolRound",
]

log = logging.getLogger("quorvel")

# Raised by send when quorvel.cancel stopped the exchange; the driver ends the
# call as stopped.  A tool round keeps a stop that arrives while tools run.
Stopped = _stoppable.Stopped
ToolRound = _stoppable.ToolRound

DEFAULT_TIMEOUT = 600.0
DEFAULT_CONNECT_TIMEOUT = 10.0
DEFAULT_MAX_RETRIES = 0
# Timeouts from here on mean "no limit": beyond about 9.2e9 s the socket
# layer raises OverflowError, and no exchange is meant to end that late.
NO_LIMIT_FROM = 1e9

RETRY_STATUSES = frozenset({408, 409, 429})
RETRY_AFTER_CAP = 60.0
BACKOFF_FIRST = 0.5
BACKOFF_CAP = 8.0

# The function a model posts through unless someone replaced it.
_ORIGINAL_POST = requests.post

# Waiting between tries; a module attribute so that tests can watch it.
_sleep = time.sleep


# ---- settings -----------------------------------------------------------------------


class Settings(NamedTuple):
    """The transport settings of one section; a timeout of None means no limit."""

    timeout: float | None
    connect_timeout: float | None
    max_retries: int


def _raw_option(configurator: Any, section: str, option: str) -> Any:
    if configurator.has_option(section, option):
        return configurator.get(section, option)
    return None


def _seconds(section: str, option: str, value: Any, default: float) -> float | None:
    if value is None:
        return default
    seconds: float | None = None
    if not isinstance(value, bool):
        try:
            seconds = float(value.strip() if isinstance(value, str) else value)
        except (TypeError, ValueError):
            seconds = None
    if seconds is None or not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(
            f"quorvel option {option!r} in section [{section}] must be a positive number of seconds, got {value!r}"
        )
    return None if seconds >= NO_LIMIT_FROM else seconds


def _count(section: str, option: str, value: Any, default: int) -> int:
    if value is None:
        return default
    count: int | None = None
    if isinstance(value, int) and not isinstance(value, bool):
        count = value
    elif isinstance(value, str):
        try:
            count = int(value.strip(), 10)
        except ValueError:
            count = None
    if count is None or count < 0:
        raise ValueError(
            f"quorvel option {option!r} in section [{section}] must be a whole number, 0 or more, got {value!r}"
        )
    return count


def _validate(section: str, timeout: Any, connect_timeout: Any, max_retries: Any) -> Settings:
    return Settings(
        _seconds(section, "timeout", timeout, DEFAULT_TIMEOUT),
        _seconds(section, "connect_timeout", connect_timeout, DEFAULT_CONNECT_TIMEOUT),
        _count(section, "max_retries", max_retries, DEFAULT_MAX_RETRIES),
    )


_OPTIONS = ("timeout", "connect_timeout", "max_retries")
_CONFIGURATOR_LOOKUPS = (Configurator.__dict__["has_option"], Configurator.__dict__["get"])

# Settings already validated, by section and the option values they came from.
_validated: dict[tuple[str, tuple[str | None, ...]], Settings] = {}
_VALIDATED_LIMIT = 64


def _raw_options(configurator: Any, section: str) -> tuple[tuple[Any, ...], bool]:
    """The three options' values, and whether they are quorvel's own
    configuration's texts (so that their validation may be kept)."""
    # quorvel's own configuration answers for all three options with the file
    # looked at once; any other object (or a Configurator whose lookups were
    # replaced) is asked option by option, has_option first.
    if (
        configurator is Configurator
        and type(section) is str
        and (Configurator.__dict__.get("has_option"), Configurator.__dict__.get("get")) == _CONFIGURATOR_LOOKUPS
    ):
        return Configurator._options(section, _OPTIONS), True
    return tuple(_raw_option(configurator, section, option) for option in _OPTIONS), False


def _settings_of(section: str, raw: tuple[Any, ...], own: bool) -> Settings:
    if not own:
        return _validate(section, *raw)
    key = (section, raw)
    settings = _validated.get(key)
    if settings is None:
        settings = _validate(section, *raw)
        if len(_validated) >= _VALIDATED_LIMIT:
            _validated.clear()
        _validated[key] = settings
    return settings


def read_settings(configurator: Any, section: str) -> Settings:
    """The transport settings of ``section``; ``ValueError`` naming the option
    and its value when one is not valid."""
    return _settings_of(section, *_raw_options(configurator, section))


def _exchange_settings(configurator: Any, section: str) -> Settings:
    """The transport settings of one exchange: those of the call's reading
    while one is held, else read afresh."""
    reading = _call_settings.held(configurator, section)
    if reading is None:
        return read_settings(configurator, section)
    settings = reading.derived.get("transport")
    return _transport_of(reading) if settings is None else settings  # type: ignore[no-any-return]


def _transport_of(reading: _call_settings.Reading) -> Settings:
    settings = reading.derived["transport"] = _validate(reading.section, *reading.values[_call_settings.TRANSPORT])
    return settings


def check_settings(configurator: Any, section: str) -> None:
    """Raise the ``ValueError`` of an invalid setting; anything else the
    configuration raises is left for the exchange to meet, where it takes the
    exchange's failure path as a failing ``api_key`` lookup does."""
    reading = _call_settings.held(configurator, section)
    if reading is not None:
        derived = reading.derived
        if "transport" not in derived:
            _transport_of(reading)
        if "answer" not in derived:
            _answer_settings.of_reading(reading)
        return
    try:
        raw, own = _raw_options(configurator, section)
        flags = [_raw_option(configurator, section, option) for option in ("stream_usage", "think_tags")]
    except Exception:
        return
    _settings_of(section, raw, own)
    if any(flag is not None for flag in flags):
        _answer_settings.check(configurator, section)


# ---- the pool -----------------------------------------------------------------------


class _PoolQueue(queue.LifoQueue):  # type: ignore[type-arg]
    """The connection queue of a pool of the pooled sessions.

    The standard queue takes a lock in Python code: an interrupt (a signal
    handler raising KeyboardInterrupt) landing just after the lock was taken
    leaves it taken, and the next use of the pool, often urllib3's own clean-up
    of the very exchange that was interrupted, waits for it forever.  Here a
    get or a put is one operation on the deque and nothing is held: an
    interrupt loses at most the connection in hand, and the pool opens a new
    one.  The pools never wait for a free connection (they are not in
    blocking mode), so ``block`` and ``timeout`` have nothing to do.
    """

    def get(self, block: bool = True, timeout: float | None = None) -> Any:
        try:
            return self.queue.pop()
        except IndexError:
            raise queue.Empty from None

    def put(self, item: Any, block: bool = True, timeout: float | None = None) -> None:
        # Two threads may both pass the test: the pool then keeps one
        # connection more than its size, which is harmless.
        if 0 < self.maxsize <= len(self.queue):
            raise queue.Full
        self.queue.append(item)

    def qsize(self) -> int:
        return len(self.queue)


_pool_classes: dict[type, type] = {}


def _use_pool_queues(manager: Any) -> None:
    """Pools that ``manager`` makes from now on keep their connections in a
    :class:`_PoolQueue`, and open connections that ``quorvel.cancel`` can
    shut down (see :mod:`quorvel._stoppable`)."""
    classes = {}
    for scheme, cls in manager.pool_classes_by_scheme.items():
        if cls not in _pool_classes:
            _pool_classes[cls] = type(
                cls.__name__,
                (cls,),
                {
                    "QueueCls": _PoolQueue,
                    "ConnectionCls": _stoppable.connection_class(cls.ConnectionCls),
                    "__module__": __name__,
                },
            )
        classes[scheme] = _pool_classes[cls]
    manager.pool_classes_by_scheme = classes


class _PoolAdapter(HTTPAdapter):
    """The adapter of the pooled sessions; an answer that came through one is
    an answer whose connection goes back to the pool."""

    def init_poolmanager(self, *args: Any, **kwargs: Any) -> None:
        super().init_poolmanager(*args, **kwargs)
        _use_pool_queues(self.poolmanager)

    def proxy_manager_for(self, proxy: Any, **proxy_kwargs: Any) -> Any:
        known = proxy in self.proxy_manager
        manager = super().proxy_manager_for(proxy, **proxy_kwargs)
        if not known:
            _use_pool_queues(manager)
        return manager


class _Sessions(threading.local):
    session: requests.Session | None = None
    # An exchange of this thread was interrupted: its session is not used again.
    interrupted: bool = False


_sessions = _Sessions()


def _forget_inherited_sessions() -> None:
    # A process forked after a call inherits the pooled keep-alive sockets,
    # which the parent (and every other child) goes on using: two processes
    # reading one socket take each other's answers.  The child forgets the
    # sessions and opens its own connections.  Nothing is closed on purpose:
    # only the child's copies of the descriptors go away with the sessions,
    # which leaves the parent's connections open.
    global _sessions
    _sessions = _Sessions()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_inherited_sessions)


def _session() -> requests.Session:
    session = _sessions.session
    if session is not None and _sessions.interrupted:
        # An interrupt may leave the session's state (its pools, the pools'
        # bookkeeping) half-way through a change: the session is dropped,
        # not closed, and its pools close their connections when collected.
        _sessions.session = session = None
    _sessions.interrupted = False
    if session is None:
        session = requests.Session()
        session.mount("http://", _PoolAdapter())
        session.mount("https://", _PoolAdapter())
        # Only connections are shared between exchanges: cookies are not
        # kept, as a one-off requests.post does not keep them.
        session.cookies.set_policy(http.cookiejar.DefaultCookiePolicy(allowed_domains=[]))
        _sessions.session = session
    return session


def _interrupted() -> None:
    """An exception outside the Exception family went through this thread's
    pool: the thread's next exchange gets a new session."""
    _sessions.interrupted = True


def _is_pooled(response: Any) -> bool:
    return isinstance(getattr(response, "connection", None), _PoolAdapter)


def _post_pooled(url: Any, headers: Any, body: Any, settings: Settings) -> requests.Response:
    # Always streamed on the wire: the status is known before the body is
    # read, and a whole answer is then read by _read_whole, outside the
    # retries (once the server has begun to answer, nothing is sent again).
    # Redirects are not followed: requests would turn the POST into a GET
    # without its body (303, and 301/302 by browser custom).
    return _session().post(
        url,
        headers=headers,
        json=body,
        stream=True,
        timeout=(settings.connect_timeout, settings.timeout),
        allow_redirects=False,
    )


def _read_whole(response: requests.Response) -> None:
    try:
        response.content
    except BaseException as exc:
        if not isinstance(exc, Exception):
            _interrupted()
        response.close()
        raise


# ---- retries ------------------------------------------------------------------------


class _Stop(Exception):
    """Carries the final error out of the retry loop."""


def _retry_after(response: Any) -> float | None:
    """The wait a server asks for, in seconds, capped; None when it asks none."""
    headers = getattr(response, "headers", None)
    if headers is None:
        return None
    try:
        milliseconds = headers.get("retry-after-ms")
        if milliseconds is not None:
            wait = float(milliseconds) / 1000.0
        else:
            value = headers.get("retry-after")
            if value is None:
                return None
            try:
                wait = float(value)
            except ValueError:
                when = email.utils.parsedate_to_datetime(value)
                wait = when.timestamp() - time.time()
    except (TypeError, ValueError, AttributeError, OverflowError, OSError):
        # Unreadable, or a date beyond what the platform's clock represents:
        # the backoff applies.
        return None
    if not math.isfinite(wait):
        return None
    return min(max(wait, 0.0), RETRY_AFTER_CAP)


def _backoff(retry: int) -> float:
    """Exponential backoff with jitter for the retry numbered ``retry`` (0 first)."""
    wait = min(BACKOFF_FIRST * 2.0**retry, BACKOFF_CAP)
    return wait * (1.0 - 0.25 * random.random())


def _host(url: Any) -> str:
    try:
        return urlsplit(str(url)).hostname or str(url)
    except ValueError:
        return "?"


def _redirect_location(status: Any, response: Any) -> str | None:
    """Where a 3xx answer sends the request, as an absolute URL; None for
    any other answer, or a 3xx that names no location."""
    if not isinstance(status, int) or not 300 <= status <= 399:
        return None
    location = getattr(response, "headers", {}).get("location")
    if not location:
        return None
    try:
        return urljoin(str(getattr(response, "url", None) or ""), location)
    except ValueError:
        return str(location)


def _retryable_status(status: Any) -> bool:
    return isinstance(status, int) and (status in RETRY_STATUSES or 500 <= status <= 599)


def send(
    requests_module: Any,
    url: Any,
    headers: Any,
    body: Any,
    stream: Any,
    configurator: Any,
    section: str,
    model: Any = None,
) -> Any:
    """Post one exchange and return the answer whose status is 200.

    Raises the last error when every try failed: the error of requests, or
    :class:`ServerError` for a status other than 200 (its body read whole).
    Every attempt is counted in the usage figures of ``model``.

    From the POST to the end of the body (a whole answer's) or of the headers
    (a stream's), ``quorvel.cancel(model)`` stops the exchange: the connection
    is shut down, no further try is made, and :class:`_stoppable.Stopped` is
    raised (see :mod:`quorvel._stoppable`).

    The exchange uses this thread's pool: when an exception outside the
    Exception family (an interrupt) passes through it, the pool is not used
    again.
    """
    try:
        if model is None:
            return _send(requests_module, url, headers, body, stream, configurator, section, None, None)
        exchange = _stoppable.Exchange(model)
        return _through(exchange, _send, requests_module, url, headers, body, stream, configurator, section, model,
                        exchange)
    except BaseException as exc:
        if not isinstance(exc, (Exception, _stoppable.Stopped)):
            _interrupted()
        raise


def _through(exchange: _stoppable.Exchange, tries: Any, *arguments: Any) -> Any:
    """``tries(*arguments)``, the tries of the open ``exchange``, which ends
    with them; a stopped exchange ends as stopped, whatever the shut-down
    socket caused (an error, or a body cut short)."""
    response = None
    try:
        response = tries(*arguments)
    except Exception:
        if not exchange.stopped:
            raise
    finally:
        exchange.end()
    if exchange.stopped:
        exchange.discard(response)
        raise _stoppable.Stopped
    return response


def _resume(
    requests_module: Any,
    url: Any,
    headers: Any,
    body: Any,
    stream: Any,
    settings: Settings,
    pooled: bool,
    model: Any,
    exchange: _stoppable.Exchange,
    response: Any,
    error: BaseException | None,
) -> Any:
    """The rest of :func:`send` once its first try was made by the native
    driver (its request counted, ``body`` already the body sent): that try
    gave ``response``, or its post raised ``error``.  Everything from there
    (the status, the retries, the end of ``exchange``) is as in :func:`send`."""
    try:
        return _through(exchange, _tries, requests_module, url, headers, body, stream, settings, pooled, model,
                        exchange, (response, error))
    except BaseException as exc:
        if not isinstance(exc, (Exception, _stoppable.Stopped)):
            _interrupted()
        raise


def _send(
    requests_module: Any,
    url: Any,
    headers: Any,
    body: Any,
    stream: Any,
    configurator: Any,
    section: str,
    model: Any,
    exchange: _stoppable.Exchange | None,
) -> Any:
    settings = _exchange_settings(configurator, section)
    if stream:  # only a streamed body may ask for the usage chunk
        body = _answer_settings.with_usage_option(body, stream, configurator, section)
    pooled = requests_module is requests and requests_module.post is _ORIGINAL_POST
    return _tries(requests_module, url, headers, body, stream, settings, pooled, model, exchange, None)


def _tries(
    requests_module: Any,
    url: Any,
    headers: Any,
    body: Any,
    stream: Any,
    settings: Settings,
    pooled: bool,
    model: Any,
    exchange: _stoppable.Exchange | None,
    first: tuple[Any, BaseException | None] | None,
) -> Any:
    """The tries of one exchange, up to the answer whose status is 200;
    ``first``, when given, is the outcome of a first try already made (the
    answer, or the error its post raised)."""
    retry = 0
    while True:
        wait: float | None = None
        if first is None and model is not None:
            _usage._record_request(model)
        try:
            if first is not None:
                response, error = first
                first = None
                if error is not None:
                    raise error
            elif pooled:
                response = _post_pooled(url, headers, body, settings)
            else:
                response = requests_module.post(url, headers=headers, json=body, stream=stream)
        except (requests.exceptions.ConnectionError, requests.exceptions.Timeout) as exc:
            if exchange is not None and exchange.stopped:
                raise  # stopped: neither told nor tried again
            if retry >= settings.max_retries:
                _retry_watch.tell(retry + 1, settings.max_retries + 1, None, exc)
                raise
            reason = f"{type(exc).__name__}: {exc}"
            failure: BaseException = exc
        else:
            status = response.status_code
            if status == 200:
                if pooled and not stream:
                    _read_whole(response)
                return response
            # Reading `content` reads the whole body, which also frees the
            # connection for the next try.
            location = _redirect_location(status, response)
            if location is None:
                error = status_error(status, response.content)
            else:  # never retried: 3xx is not a retryable status
                error = redirect_error(status, location, response.content)
            if exchange is not None and exchange.stopped:
                return None
            if retry >= settings.max_retries or not _retryable_status(status):
                _retry_watch.tell(retry + 1, settings.max_retries + 1, None, error)
                raise error
            reason = f"status {status}"
            failure = error
            wait = _retry_after(response)
        if wait is None:
            wait = _backoff(retry)
        retry += 1
        log.info(
            "request to %s failed (%s); retry %d of %d in %.2f s",
            _host(url), reason, retry, settings.max_retries, wait,
        )
        _retry_watch.tell(retry, settings.max_retries + 1, wait, failure)
        if exchange is None:
            _sleep(wait)
        elif _sleep is time.sleep:
            exchange.wait(wait)
        else:  # replaced to be watched; the stop is seen after it
            _sleep(wait)
        if exchange is not None and exchange.stopped:
            return None  # no further try


# ---- the end of a streamed answer -----------------------------------------------------

# At most this much of what follows the finishing chunk is read to return
# the connection to the pool; past it the connection is closed.
_DRAIN_LIMIT = 64 * 1024


def _chunked_body_ends_in(data: bytes, chunk_left: int | None) -> bool:
    """Whether ``data`` holds exactly the rest of a chunked body that is read
    up to a point where ``chunk_left`` bytes of the current chunk remain
    (None: at the next chunk-size line)."""
    pos = 0
    if chunk_left is not None:
        pos = chunk_left + 2
    while True:
        eol = data.find(b"\n", pos)
        if eol < 0:
            return False
        try:
            size = int(data[pos:eol].split(b";", 1)[0], 16)
        except ValueError:
            return False
        pos = eol + 1
        if size == 0:
            while True:  # trailer fields, up to the empty line
                eol = data.find(b"\n", pos)
                if eol < 0:
                    return False
                line = data[pos : eol + 1]
                pos = eol + 1
                if line in (b"\r\n", b"\n"):
                    return pos == len(data)
        pos += size + 2
        if pos > len(data):
            return False


def _arrived(raw: Any, sock: Any) -> bytes:
    """The bytes of the answer that have arrived and are not read yet, without
    waiting for more: the reader's buffer, else what the socket holds."""
    reader = raw._fp.fp
    sock.settimeout(0.0)
    data = reader.peek(_DRAIN_LIMIT) or b""
    if len(data) < _DRAIN_LIMIT and hasattr(sock, "recv") and not hasattr(sock, "pending"):
        # A plain socket: what is in the kernel beyond the reader's buffer.
        try:
            data += sock.recv(_DRAIN_LIMIT - len(data), socket.MSG_PEEK)
        except (BlockingIOError, InterruptedError):
            pass
    return data


def _body_end_arrived(raw: Any, sock: Any) -> bool:
    data = _arrived(raw, sock)
    if len(data) >= _DRAIN_LIMIT:
        return False
    if getattr(raw, "chunked", False):
        return _chunked_body_ends_in(data, raw.chunk_left)
    remaining = getattr(raw, "length_remaining", None)
    return remaining is not None and len(data) == remaining


def finish_stream(response: Any, lines: Iterator[Any]) -> None:
    """The stream ``lines`` of ``response`` has reached its finishing chunk.

    A pooled connection goes back to the pool when the end of the body has
    already arrived, and is closed otherwise: the end of a stream never waits
    for the server.  An answer that did not come through the pool is left as
    it is.
    """
    if not _is_pooled(response):
        return
    raw = response.raw
    connection = getattr(raw, "_connection", None)
    sock = getattr(connection, "sock", None)
    if sock is None:  # already read to its end (and released) or closed
        if not getattr(response, "_content_consumed", False):
            response.close()
        return
    timeout = sock.gettimeout()
    try:
        if _body_end_arrived(raw, sock):
            # Everything is there: reading it cannot block, and reading the
            # body to its end is what gives the connection back.
            for _ in lines:
                pass
            if getattr(response, "_content_consumed", False):
                return
    except Exception:
        pass
    except BaseException:
        _interrupted()
        response.close()
        raise
    finally:
        try:
            sock.settimeout(timeout)
        except OSError:
            pass
    response.close()


def stream_body(response: Any, model: Any = None) -> Any:
    """The body of the streamed answer ``response`` (a ``requests.Response``,
    or anything with its reading methods) as the native decoder reads it,
    registered for ``model`` while it is open (see :mod:`quorvel._body`)."""
    return _body.Body(response, model)


# With stream_usage on, a stream reads on after its finishing chunk for the
# usage chunk, for at most this many seconds.
USAGE_WAIT = 2.0


def _close_quietly(body: Any) -> None:
    # On the timer's thread: nobody there to hear of a failure; the reader
    # sees the body end either way.
    try:
        body.close()
    except Exception:  # noqa: BLE001
        pass


def bound_usage_wait(body: Any) -> threading.Timer:
    """Bounds the wait for the usage chunk after a stream's finishing chunk:
    unless cancelled first, ``body`` is closed after :data:`USAGE_WAIT`
    seconds, which ends a read blocked on it."""
    timer = threading.Timer(USAGE_WAIT, _close_quietly, args=(body,))
    timer.daemon = True
    timer.start()
    return timer


def abandon_stream(response: Any) -> None:
    """A stream ends before its finishing chunk (stopped, dropped or failed):
    a pooled connection is closed, never handed to another exchange with part
    of this answer unread."""
    if _is_pooled(response) and not getattr(response, "_content_consumed", False):
        response.close()
