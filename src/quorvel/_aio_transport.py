"""How the async client reaches its server: httpx ``AsyncClient`` pools,
retries, and the end of an answer's body.

- One ``AsyncClient`` per event loop and per host, shared by every model on
  that loop.  Each is closed when its loop shuts down (``asyncio.run`` and
  every runner call ``loop.shutdown_asyncgens()``, which is what closes
  them); connections never outlive their loop.
- Settings, retries, Retry-After and ``ServerError`` are those of the
  synchronous ``quorvel._transport``: the same settings reader, the same
  retryable statuses, backoff and log line, and the same reports to a
  retry watcher (``quorvel._retry_watch``, per task).  A connection error, a timeout
  before the status line, or a retryable status is retried up to
  ``max_retries`` times; nothing is retried once a 200 answer has begun.
"""

from __future__ import annotations

import asyncio
import http.cookiejar
import logging
import ssl
import weakref
from collections.abc import AsyncGenerator, AsyncIterator
from typing import Any
from urllib.parse import urlsplit

import httpx

from quorvel import _retry_watch, _transport
from quorvel._server_error import status_error

__all__ = ["post", "drain_or_close", "client_for"]

log = logging.getLogger("quorvel")

# Failures before the status line that a retry may cure.
_RETRYABLE_ERRORS = (httpx.TimeoutException, httpx.NetworkError, httpx.RemoteProtocolError)

# After the finishing chunk, at most this long and this much is read to give
# the connection back to the pool; past either it is closed.
_DRAIN_SECONDS = 0.02
_DRAIN_LIMIT = 64 * 1024

# Waiting between tries; a module attribute so that tests can watch it.
_sleep = asyncio.sleep


class _LoopClients:
    """The clients of one event loop, by host, and the hook that closes them."""

    def __init__(self) -> None:
        self.clients: dict[tuple[str, str, int | None], httpx.AsyncClient] = {}
        self.closer: Any = None


_loops: weakref.WeakKeyDictionary[asyncio.AbstractEventLoop, _LoopClients] = weakref.WeakKeyDictionary()


async def _close_at_shutdown(pool: _LoopClients) -> AsyncGenerator[None, None]:
    # An async generator paused here is finalised by the loop's
    # shutdown_asyncgens(): the one hook asyncio gives for "this loop ends".
    try:
        yield
    finally:
        clients = list(pool.clients.values())
        pool.clients.clear()
        for client in clients:
            try:
                await client.aclose()
            except Exception:
                pass


_ssl_contexts: dict[bool, ssl.SSLContext] = {}


def _ssl_context(scheme: str) -> ssl.SSLContext:
    """One verifying context per process for https hosts: building one loads
    the CA bundle, a tenth of a second or more, too much for every loop.  A
    plain http host never uses its context, so it gets a bare one."""
    secure = scheme == "https"
    context = _ssl_contexts.get(secure)
    if context is None:
        context = httpx.create_ssl_context() if secure else ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        _ssl_contexts[secure] = context
    return context


def _host_key(url: str) -> tuple[str, str, int | None]:
    parts = urlsplit(url)
    return parts.scheme, parts.hostname or "", parts.port


async def _loop_clients() -> _LoopClients:
    loop = asyncio.get_running_loop()
    pool = _loops.get(loop)
    if pool is None:
        pool = _loops[loop] = _LoopClients()
        closer = _close_at_shutdown(pool)
        await closer.asend(None)  # registers it with the loop's asyncgen hooks
        pool.closer = closer
    return pool


async def _use_client(url: str, client: httpx.AsyncClient) -> None:
    """Makes ``client`` the running loop's client for the host of ``url``
    (a benchmark's in-memory transport); it is closed with the loop."""
    (await _loop_clients()).clients[_host_key(url)] = client


async def client_for(url: str) -> httpx.AsyncClient:
    """The pooled client of the running loop for the host of ``url``."""
    pool = await _loop_clients()
    key = _host_key(url)
    client = pool.clients.get(key)
    if client is None:
        client = pool.clients[key] = httpx.AsyncClient(
            verify=_ssl_context(key[0]),
            limits=httpx.Limits(max_connections=None, max_keepalive_connections=64),
            # Only connections are shared between exchanges, as in the
            # synchronous pool: cookies are not kept.
            cookies=http.cookiejar.CookieJar(http.cookiejar.DefaultCookiePolicy(allowed_domains=[])),
        )
    return client


def _timeout(settings: _transport.Settings) -> httpx.Timeout:
    # requests' (connect, read) pair: read bounds every wait for bytes.
    return httpx.Timeout(settings.timeout, connect=settings.connect_timeout, pool=None)


def _record_request(model: Any) -> None:
    from quorvel.aio import _usage

    usage = _usage()
    if usage is not None:
        usage._record_request(model)


async def post(model: Any, url: Any, headers: Any, body: Any, stream: bool, configurator: Any) -> httpx.Response:
    """Post one exchange and return the answer whose status is 200, its body
    unread when ``stream``, read whole otherwise.

    Raises the last error when every try failed: httpx's error, or
    :class:`ServerError` for a status other than 200.
    """
    settings = _transport.read_settings(configurator, model.section)
    if not isinstance(url, str):
        raise TypeError(f"endpoint_url must be a str, not {type(url).__name__}")
    client = await client_for(url)
    timeout = _timeout(settings)
    retry = 0
    while True:
        wait: float | None = None
        _record_request(model)
        try:
            request = client.build_request("POST", url, headers=headers, json=body, timeout=timeout)
            response = await client.send(request, stream=True)
        except _RETRYABLE_ERRORS as exc:
            if retry >= settings.max_retries:
                _retry_watch.tell(retry + 1, settings.max_retries + 1, None, exc)
                raise
            reason = f"{type(exc).__name__}: {exc}"
            failure: BaseException = exc
        else:
            status = response.status_code
            if status == 200:
                if not stream:
                    try:
                        await response.aread()
                    finally:
                        await response.aclose()
                return response
            try:
                content = await response.aread()
            finally:
                await response.aclose()
            error = status_error(status, content)
            if retry >= settings.max_retries or not _transport._retryable_status(status):
                _retry_watch.tell(retry + 1, settings.max_retries + 1, None, error)
                raise error
            reason = f"status {status}"
            failure = error
            wait = _transport._retry_after(response)
        if wait is None:
            wait = _transport._backoff(retry)
        retry += 1
        log.info(
            "request to %s failed (%s); retry %d of %d in %.2f s",
            _transport._host(url), reason, retry, settings.max_retries, wait,
        )
        _retry_watch.tell(retry, settings.max_retries + 1, wait, failure)
        await _sleep(wait)


async def drain_or_close(response: httpx.Response, blocks: AsyncIterator[bytes]) -> None:
    """The finishing chunk has been read: the connection goes back to the pool
    when the rest of the body is already there, and is closed otherwise."""
    read = 0
    try:
        async with asyncio.timeout(_DRAIN_SECONDS):
            async for block in blocks:
                read += len(block)
                if read > _DRAIN_LIMIT:
                    break
    except (TimeoutError, httpx.HTTPError):
        pass
    finally:
        await response.aclose()
