"""The async client: :func:`ainvoke` and :func:`astream` for an ``LLModal``.

``await ainvoke(model, prompt)`` does what ``model.invoke(prompt)`` does (the
same history, records, tool loop and limit, failure path and printed lines,
transport settings, headers and body) without blocking the event loop; with
streaming on (``"stream": True`` in ``extra_body``) it gives an async
iterator of records in place of the iterator.  ``astream(model, prompt)``
streams that one call whatever ``extra_body`` says, and leaves ``extra_body``
alone::

    async for record in astream(model, "Hello"):
        print(record.content, end="")

The transport is one httpx ``AsyncClient`` per event loop and host (see
``quorvel._aio_transport``); the bytes go straight into the push decoder.
Tools that are coroutine functions are awaited on the loop, the others run
in worker threads, a batch concurrently, the results in call order.

Stopping a call:

- ``task.cancel()`` on the task awaiting :func:`ainvoke` or iterating a
  stream closes the connection at once; what arrived stays in the history,
  the per-call state is reset, and nothing of that call runs later.
- ``quorvel.cancel(model)``, from any thread or task, stops the call in
  flight within milliseconds, even when the server has gone silent: the
  connection is closed and the stream ends as one stopped by ``_close``
  does (no further records, no tools).  A whole (not streamed) call that is
  stopped returns an empty record.  Setting ``model._close`` stops a stream
  at its next block of bytes, as it does for the synchronous stream.

One instance runs one call at a time: a second call on a busy instance, from
another task or thread, raises ``RuntimeError`` and changes nothing.
"""

from __future__ import annotations

import asyncio
from collections.abc import AsyncGenerator, AsyncIterator, Awaitable, Coroutine, Generator, Iterable
from typing import TYPE_CHECKING, Any, Literal, TypeVar

from quorvel import _aio_tools, _aio_transport, _answer_settings, _inflight, _transport
from quorvel.message import Message, MessageRole
from quorvel.modal import LLMResult, LLModal, LLMStatus, _begin_turn, _call_guard, _fail, _PushDecoder

if TYPE_CHECKING:
    import httpx

__all__ = ["ainvoke", "astream", "aask", "AStream"]

_REQUEST_ERROR = "LLM request error: "
_PARSE_ERROR = "Error parsing LLM response: "
_STOP = "stopped by quorvel.cancel"


class _Stopped(BaseException):
    """The call was stopped (``quorvel.cancel`` or ``_close``): not a failure,
    so it passes every exchange's failure path."""


_usage_module: Any = False  # not looked for yet


def _usage() -> Any:
    """``quorvel.usage`` when it exists (its hooks count requests and tokens)."""
    global _usage_module
    if _usage_module is False:
        try:
            from quorvel import usage  # type: ignore[attr-defined, unused-ignore]
        except ImportError:
            usage = None
        _usage_module = usage
    return _usage_module


# ---- one call --------------------------------------------------------------------------


class _Call:
    """What one ``ainvoke``/``astream`` call holds: the instance's guard, its
    entry in the table of calls in flight, the open answers, and the task
    suspended in the call's I/O (the one a stop interrupts)."""

    def __init__(self, model: Any, stream: bool, force_stream: bool) -> None:
        self.model = model
        self.stream = stream
        self.force_stream = force_stream
        self.guard = _call_guard(model)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.token: int | None = None
        self.responses: set[httpx.Response] = set()
        self.stop_requested = False
        self.waiting: asyncio.Task[Any] | None = None
        self.cancel_sent = False
        self.ended = False

    def start(self) -> None:
        self.guard.__enter__()
        self.loop = asyncio.get_running_loop()
        self.token = _inflight.track(self.model, self._stop_from_anywhere)

    def finish(self, *, reset: bool) -> None:
        """Ends the call once: the per-call state reset when ``reset``, then
        the instance released.  Later calls do nothing (a newer call may own
        the per-call state by then)."""
        if self.ended:
            return
        try:
            if reset:
                self.model._reset()
        finally:
            self.end()

    def end(self) -> None:
        """Releases the instance; answers still open are closed."""
        if self.ended:
            return
        self.ended = True
        if self.token is not None:
            _inflight.untrack(self.model, self.token)
        self._close_responses()
        self.guard.__exit__(None, None, None)

    def _close_responses(self) -> None:
        loop = self.loop
        for response in list(self.responses):
            self.responses.discard(response)
            if not response.is_closed and loop is not None and not loop.is_closed():
                try:
                    loop.call_soon_threadsafe(_close_soon, response)
                except RuntimeError:
                    pass

    # -- stopping --------------------------------------------------------------------

    def _stop_from_anywhere(self) -> None:
        loop = self.loop
        assert loop is not None
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is loop:
            self._stop()
        else:
            loop.call_soon_threadsafe(self._stop)

    def _stop(self) -> None:
        if self.ended or self.stop_requested:
            return
        self.stop_requested = True
        task = self.waiting
        if task is not None:
            # Suspended in this call's I/O: the read (or POST, or tool batch)
            # ends now, and with it the connection.
            self.cancel_sent = True
            task.cancel(_STOP)
        else:
            # Between two records: the connection is closed now, the stream
            # ends when next asked.
            self._close_responses()

    def check_stop(self) -> None:
        """Ends the call here when a stop was asked for (``quorvel.cancel``, or
        ``_close`` set by whoever holds the model)."""
        if self.stop_requested:
            raise _Stopped
        if _close_flag(self.model):
            self.model._close = False
            raise _Stopped

    async def io(self, awaitable: Awaitable[Any]) -> Any:
        """Awaits a step of this call's I/O, which a stop interrupts."""
        if self.stop_requested:
            if isinstance(awaitable, Coroutine):
                awaitable.close()
            raise _Stopped
        task = asyncio.current_task()
        self.waiting = task
        try:
            return await awaitable
        except asyncio.CancelledError:
            if self.cancel_sent and task is not None:
                self.cancel_sent = False
                if task.uncancel() == 0:
                    raise _Stopped from None
            raise
        finally:
            self.waiting = None

    # -- the pieces of an exchange ---------------------------------------------------

    async def post(self) -> httpx.Response:
        """The POST of one exchange; its failure takes the request failure path."""
        model = self.model
        try:
            url = model.endpoint_url
            headers = model._headers
            body = request_body(model, self.force_stream)
            response: httpx.Response = await self.io(
                _aio_transport.post(model, url, headers, body, self.stream, _configurator())
            )
        except Exception as exc:
            _fail(model, _REQUEST_ERROR, True, exc)
            raise
        if self.stream:
            self.responses.add(response)
        return response

    async def run_tools(self) -> list[Any]:
        """``_tool_calls`` of the synchronous loop, with the batch run from the loop."""
        model = self.model
        if model._tool_calls_count >= model.tool_calls_limit:
            model.add_message(role=MessageRole.assistant, content=model._default)
            model._reset()
            raise ValueError(model._default)
        entry = Message(role=MessageRole.assistant, tool_calls=model.tool_calls)
        model.messages.append(entry)
        try:
            results = await self.io(_aio_tools.run_batch(model.tools, model.tool_calls))
        except (asyncio.CancelledError, _Stopped):
            # Stopped before the results arrived: no tool-call entry is left
            # without its results (the next request would be refused).
            if model.messages and model.messages[-1] is entry:
                model.messages.pop()
            raise
        model.messages.extend(results)
        model.tool_calls = []
        model._tool_calls_count += 1
        if type(results) is not list:
            raise TypeError("Expected %s, got %.200s" % ("list", type(results).__name__))
        return results


def _close_soon(response: httpx.Response) -> None:
    asyncio.get_running_loop().create_task(response.aclose())


def _configurator() -> Any:
    # Read at each exchange from quorvel.modal, as the synchronous driver
    # does, so that replacing it there applies to both.
    import quorvel.modal

    return quorvel.modal.Configurator  # type: ignore[attr-defined]


def request_body(model: Any, force_stream: bool) -> dict[str, Any]:
    """The JSON body of one exchange: the model's ``_body``, with streaming on
    for a call that asked for it (``extra_body`` itself is not touched)."""
    body: dict[str, Any] = model._body
    if force_stream:
        body["stream"] = True
    with_usage: dict[str, Any] = _answer_settings.with_usage_option(
        body, body.get("stream"), _configurator(), model.section
    )
    return with_usage


def _record_exchange(model: Any, decoder: Any) -> None:
    usage = _usage()
    if usage is not None:
        usage._record_exchange(model, decoder.usage)


def _begin(call: _Call, prompt: str) -> None:
    usage = _usage()
    if usage is not None:
        usage._begin_call(call.model)
    _begin_turn(call.model, prompt)


# ---- whole answers ---------------------------------------------------------------------


async def _whole_exchange(call: _Call) -> Any:
    model = call.model
    response = await call.post()
    decoder = _PushDecoder(model, False)
    try:
        decoder.feed(response.content)
        (record,) = decoder.finish()
        _record_exchange(model, decoder)
        if model.tool_calls:
            calls = model._t_calls_beautify(model.tool_calls)
            results = model._t_results_beautify(calls, await call.run_tools())
            head = LLMResult(tool_calls=calls, tool_results=results)
            return head + await _whole_exchange(call)
        model._reset()
        return record
    except Exception as exc:
        _fail(model, _PARSE_ERROR, not decoder.already_added, exc)
        raise


async def _whole_call(call: _Call, prompt: str) -> Any:
    model = call.model
    try:
        _begin(call, prompt)
        return await _whole_exchange(call)
    except _Stopped:
        model._reset()
        return LLMResult()
    except BaseException as exc:
        if not isinstance(exc, Exception):
            model._reset()
        raise
    finally:
        call.end()


# ---- streamed answers ------------------------------------------------------------------


async def _stream_exchange(call: _Call, response: httpx.Response, depth: int = 0) -> AsyncGenerator[Any, None]:
    """The records of one streamed exchange and of its follow-ups.  The
    outermost one (``depth`` 0) is the whole call: it releases the instance
    when it ends, however it ends."""
    model = call.model
    try:
        decoder = _PushDecoder(model, True)
        blocks = response.aiter_bytes()
        # After the finishing chunk a stream that asked for usage is read on
        # for its usage chunk, never longer than the transport's bound.
        usage_deadline: float | None = None
        try:
            while not decoder.done:
                if call.stop_requested or _close_flag(model):
                    call.check_stop()
                try:
                    if decoder.finished:
                        loop = asyncio.get_running_loop()
                        if usage_deadline is None:
                            usage_deadline = loop.time() + _transport.USAGE_WAIT
                        left = usage_deadline - loop.time()
                        if left <= 0:
                            break
                        block = await asyncio.wait_for(call.io(blocks.__anext__()), left)
                    else:
                        block = await call.io(blocks.__anext__())
                except StopAsyncIteration:
                    break
                except asyncio.TimeoutError:
                    break
                for piece in _pieces(block):
                    for record in decoder.feed(piece):
                        yield record
                        if call.stop_requested:
                            raise _Stopped
            if decoder.done:
                await _aio_transport.drain_or_close(response, blocks)
            call.responses.discard(response)
            for record in decoder.finish():
                yield record
            _record_exchange(model, decoder)
            if model.tool_calls:
                calls = model._t_calls_beautify(model.tool_calls)
                if model._tool_calls_count < model.tool_calls_limit:
                    yield LLMResult(tool_calls=calls, status=LLMStatus.tool_calls)
                    # The consumer has seen the calls and may have asked to stop.
                    call.check_stop()
                results = model._t_results_beautify(calls, await call.run_tools())
                yield LLMResult(tool_results=results, status=LLMStatus.tool_results)
                async for record in _stream_exchange(call, await call.post(), depth + 1):
                    yield record
            model._reset()
        except Exception as exc:
            _fail(model, _PARSE_ERROR, not decoder.already_added, exc)
            raise
    except _Stopped:
        if depth:
            raise
        call.finish(reset=True)  # a stopped stream simply ends
    except BaseException as exc:
        # Failures took the failure path (reset included); a cancelled task,
        # a closed stream or an interrupt leaves nothing of the call behind.
        if not depth:
            call.finish(reset=not isinstance(exc, Exception))
        raise
    finally:
        if not response.is_closed:
            call.responses.discard(response)
            await response.aclose()
        if not depth:
            call.finish(reset=False)


# A block is fed to the decoder a piece at a time.  The records of one feed
# are made together and live until they are consumed: a block of megabytes
# (a fast server, a body held in memory) would otherwise hold all its
# records at once, and the collector would go over them again and again
# (a third of the decoding time in a 10,000-chunk block).
_PIECE = 16 * 1024


def _pieces(block: bytes) -> Iterable[bytes]:
    if len(block) <= _PIECE:
        return (block,)
    return (block[start : start + _PIECE] for start in range(0, len(block), _PIECE))


def _close_flag(model: Any) -> Any:
    """``model._close``, read from pydantic's private storage when it is there
    (the ordinary lookup costs a failed attribute search first)."""
    private = getattr(model, "__pydantic_private__", None)
    if type(private) is dict and "_close" in private:
        return private["_close"]
    return model._close


class AStream:
    """The records of a streamed call, as an async iterator.

    ``await`` it to make the first POST at once (what ``ainvoke`` does, so
    that a failed request is raised there), or iterate it directly (the POST
    is made at the first step).  Closing it (``aclose``) or cancelling the
    task that iterates it closes the connection and resets the per-call
    state; so does dropping it unfinished.
    """

    def __init__(self, model: LLModal, prompt: str, *, force_stream: bool) -> None:
        self._model = model
        self._prompt = prompt
        self._force_stream = force_stream
        self._call: _Call | None = None
        self._records: AsyncGenerator[Any, None] | None = None
        self._opened = False

    def __await__(self) -> Generator[Any, None, AStream]:
        return self._open().__await__()

    def __aiter__(self) -> AStream:
        return self

    async def _open(self) -> AStream:
        if self._opened:
            return self
        self._opened = True
        call = _Call(self._model, True, self._force_stream)
        call.start()
        self._call = call
        try:
            _begin(call, self._prompt)
            self._records = _stream_exchange(call, await call.post())
        except _Stopped:
            call.finish(reset=True)
        except BaseException as exc:
            call.finish(reset=not isinstance(exc, Exception))
            raise
        return self

    def __anext__(self) -> Awaitable[Any]:
        # The records' own step, without a frame of this class in between.
        records = self._records
        if records is not None:
            return records.__anext__()
        return self._first()

    async def _first(self) -> Any:
        await self._open()
        if self._records is None:
            raise StopAsyncIteration
        return await self._records.__anext__()

    async def aclose(self) -> None:
        """Stops the stream: the connection is closed, the per-call state reset."""
        self._opened = True
        try:
            if self._records is not None:
                await self._records.aclose()
        finally:
            if self._call is not None:
                self._call.finish(reset=True)

    def __del__(self) -> None:
        # Dropped unfinished: the instance is released now (and its per-call
        # state reset); the answer is closed on its loop.
        call = self._call
        if call is not None and not call.ended:
            try:
                call.finish(reset=True)
            except Exception:
                pass


# ---- the public calls ------------------------------------------------------------------


async def ainvoke(model: LLModal, prompt: str) -> LLMResult | AsyncIterator[LLMResult]:
    """Awaited, does what ``model.invoke(prompt)`` does: one ``LLMResult``, or
    with streaming on (``extra_body["stream"]``) an async iterator of records
    whose first POST has been made."""
    if model.stream:
        return await AStream(model, prompt, force_stream=False)
    call = _Call(model, False, False)
    call.start()
    result: LLMResult = await _whole_call(call, prompt)
    return result


def astream(model: LLModal, prompt: str) -> AStream:
    """The records of ``prompt``'s call, streamed whatever ``extra_body``
    says: ``async for record in astream(model, prompt)``, or ``await`` it
    first to have the request made (and its failure raised) at once."""
    return AStream(model, prompt, force_stream=True)


T = TypeVar("T")


async def aask(
    model: LLModal,
    prompt: str,
    output: type[T],
    *,
    mode: Literal["json_schema", "tool", "prompted"] = "json_schema",
    schema_in_prompt: bool = False,
    retries: int = 1,
    strict: bool = True,
) -> T:
    """``quorvel.structured.ask`` awaited: the same exchanges, each one made
    through :func:`ainvoke` (a stream read with ``async for``)."""
    from quorvel.structured._aio import ask_with

    result: T = await ask_with(
        ainvoke, model, prompt, output,
        mode=mode, schema_in_prompt=schema_in_prompt, retries=retries, strict=strict,
    )
    return result
