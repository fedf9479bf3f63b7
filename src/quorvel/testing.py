"""Test helpers: a scripted loopback chat-completion server and offline responses.

:class:`ChatServer` listens on ``127.0.0.1`` with a port chosen by the operating
system and answers ``POST`` requests with replies scripted in advance, in FIFO
order, one reply per request.  Every request is recorded so a test can check
what the client sent.  Replies are built with the :class:`Reply` constructors:
whole JSON answers, Server-Sent-Event streams (written line by line with
chunked transfer encoding, optionally paced), tool calls, error answers and
raw lines for malformed streams.

For decoders that do not need a network at all, :func:`response_from_bytes`
wraps bytes in a :class:`requests.Response`, and :func:`sse_body` with the
chunk builders (:func:`text_chunk`, :func:`tool_call_chunk`,
:func:`finish_chunk`, ...) renders a stream body.

This module only uses the standard library and ``requests``; importing it never
loads the package's native extension.

Example::

    import requests
    from quorvel.testing import ChatServer, Reply

    with ChatServer() as server:
        server.add(Reply.text("Hello", reasoning="thinking"))
        server.add(Reply.stream(["Hel", "lo"]))

        answer = requests.post(server.url, json={"model": "m", "messages": []})
        assert answer.json()["choices"][0]["message"]["content"] == "Hello"

        with requests.post(server.url, json={"stream": True}, stream=True) as r:
            lines = [line for line in r.iter_lines() if line]
        assert lines[-1] == b"data: [DONE]"

        assert server.requests[0].json == {"model": "m", "messages": []}
"""

from __future__ import annotations

import http.client
import io
import json
import socket
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Sequence
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Union

import requests
from requests.utils import get_encoding_from_headers

__all__ = [
    "DEFAULT_MODEL",
    "DEFAULT_ID",
    "ChatServer",
    "Reply",
    "RecordedRequest",
    "Headers",
    "ToolCall",
    "completion_chunk",
    "role_chunk",
    "text_chunk",
    "tool_call_chunk",
    "finish_chunk",
    "usage_chunk",
    "usage_object",
    "sse_body",
    "response_from_bytes",
]

#: Model name put in every answer and chunk built by this module.
DEFAULT_MODEL = "quorvel-test"
#: Completion id used by the chunk builders unless one is given.
DEFAULT_ID = "chatcmpl-quorvel-test"

#: A tool call as ``(call_id, function_name, arguments)``; ``arguments`` is the
#: JSON text the model produced, or a mapping that is serialised with
#: :func:`json.dumps`.
ToolCall = tuple[str, str, Union[str, dict[str, Any]]]

JSON = dict[str, Any]


# ---------------------------------------------------------------------------
# Chunk builders
# ---------------------------------------------------------------------------


def completion_chunk(
    delta: JSON,
    finish_reason: str | None = None,
    *,
    completion_id: str = DEFAULT_ID,
    model: str = DEFAULT_MODEL,
    created: int = 0,
) -> JSON:
    """Build a ``chat.completion.chunk`` object with a single choice.

    >>> completion_chunk({"content": "hi"})["choices"]
    [{'index': 0, 'delta': {'content': 'hi'}, 'finish_reason': None}]
    """
    return {
        "id": completion_id,
        "object": "chat.completion.chunk",
        "created": created,
        "model": model,
        "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason}],
    }


def role_chunk(role: str = "assistant", **kwargs: Any) -> JSON:
    """The opening chunk of a stream: ``delta == {"role": role}``.

    Keyword arguments are passed on to :func:`completion_chunk`.
    """
    return completion_chunk({"role": role}, **kwargs)


def text_chunk(
    content: str | None = None,
    reasoning: str | None = None,
    *,
    reasoning_field: str = "reasoning_content",
    **kwargs: Any,
) -> JSON:
    """A chunk carrying a content and/or reasoning delta.

    Only the fields that are given appear in the delta; with neither, the delta
    is empty.  ``reasoning_field`` names the reasoning key (servers use either
    ``"reasoning_content"`` or ``"reasoning"``).  Other keyword arguments are
    passed on to :func:`completion_chunk`.

    >>> text_chunk("Hi", reasoning="hmm")["choices"][0]["delta"]
    {'reasoning_content': 'hmm', 'content': 'Hi'}
    """
    delta: JSON = {}
    if reasoning is not None:
        delta[reasoning_field] = reasoning
    if content is not None:
        delta["content"] = content
    return completion_chunk(delta, **kwargs)


def tool_call_chunk(
    index: int,
    id: str | None = None,  # noqa: A002 - mirrors the wire field
    name: str | None = None,
    arguments: str = "",
    **kwargs: Any,
) -> JSON:
    """A chunk carrying one tool-call delta.

    When ``id`` or ``name`` is given this is the call's opening fragment::

        {"index": i, "id": id, "type": "function",
         "function": {"name": name, "arguments": arguments}}

    otherwise a continuation that only appends to the arguments::

        {"index": i, "function": {"arguments": arguments}}

    Other keyword arguments are passed on to :func:`completion_chunk`.
    """
    call: JSON = {"index": index}
    if id is not None or name is not None:
        if id is not None:
            call["id"] = id
        call["type"] = "function"
        function: JSON = {}
        if name is not None:
            function["name"] = name
        function["arguments"] = arguments
        call["function"] = function
    else:
        call["function"] = {"arguments": arguments}
    return completion_chunk({"tool_calls": [call]}, **kwargs)


def finish_chunk(reason: str = "stop", **kwargs: Any) -> JSON:
    """The closing chunk of a stream: empty delta and ``finish_reason``."""
    return completion_chunk({}, reason, **kwargs)


def usage_object(
    prompt_tokens: int,
    completion_tokens: int,
    *,
    cached_tokens: int | None = None,
    reasoning_tokens: int | None = None,
) -> JSON:
    """A ``usage`` object as OpenAI-compatible servers send it.

    >>> usage_object(10, 5, cached_tokens=4)
    {'prompt_tokens': 10, 'completion_tokens': 5, 'total_tokens': 15, 'prompt_tokens_details': {'cached_tokens': 4}}
    """
    usage: JSON = {
        "prompt_tokens": prompt_tokens,
        "completion_tokens": completion_tokens,
        "total_tokens": prompt_tokens + completion_tokens,
    }
    if cached_tokens is not None:
        usage["prompt_tokens_details"] = {"cached_tokens": cached_tokens}
    if reasoning_tokens is not None:
        usage["completion_tokens_details"] = {"reasoning_tokens": reasoning_tokens}
    return usage


def usage_chunk(
    usage: JSON,
    *,
    completion_id: str = DEFAULT_ID,
    model: str = DEFAULT_MODEL,
    created: int = 0,
) -> JSON:
    """The chunk that servers send after the finishing chunk when asked for
    usage (``stream_options.include_usage``): no choice, only ``usage``."""
    return {
        "id": completion_id,
        "object": "chat.completion.chunk",
        "created": created,
        "model": model,
        "choices": [],
        "usage": usage,
    }


def _sse_lines(chunks: Iterable[JSON], done: bool = True) -> list[bytes]:
    lines: list[bytes] = []
    for chunk in chunks:
        lines.append(b"data: " + json.dumps(chunk, separators=(",", ":")).encode())
        lines.append(b"")
    if done:
        lines += [b"data: [DONE]", b""]
    return lines


def sse_body(chunks: Iterable[JSON], done: bool = True) -> bytes:
    """Render chunk objects as a Server-Sent-Event body.

    Each chunk becomes ``data: <compact json>`` followed by an empty line; with
    ``done`` the body ends with ``data: [DONE]`` and an empty line.

    >>> sse_body([text_chunk("a", created=1)], done=False)[:6]
    b'data: '
    """
    return b"".join(line + b"\n" for line in _sse_lines(chunks, done))


def _arguments_text(arguments: str | dict[str, Any]) -> str:
    return arguments if isinstance(arguments, str) else json.dumps(arguments)


def _split(text: str, size: int | None) -> list[str]:
    if not text:
        return []
    if size is None:
        return [text]
    if size < 1:
        raise ValueError("fragment must be a positive number of characters")
    return [text[i : i + size] for i in range(0, len(text), size)]


# ---------------------------------------------------------------------------
# Replies
# ---------------------------------------------------------------------------


class Reply:
    """One scripted answer of a :class:`ChatServer`.

    Build replies with the class methods; the constructor is internal.  A reply
    is either a whole body (sent with ``Content-Length``) or a list of lines
    (sent one chunk per line, each followed by ``newline``, with ``delay``
    seconds before every line but the first).
    """

    __slots__ = ("status_code", "headers", "body", "lines", "delay", "newline", "abort", "hold_open")

    def __init__(
        self,
        status_code: int,
        headers: dict[str, str],
        *,
        body: bytes | None = None,
        lines: Sequence[bytes] | None = None,
        delay: float = 0.0,
        newline: bytes = b"\n",
        abort: bool = False,
        hold_open: float = 0.0,
    ) -> None:
        if (body is None) == (lines is None):
            raise ValueError("a reply has either a body or lines")
        self.status_code = status_code
        self.headers = dict(headers)
        self.body = body
        self.lines = None if lines is None else [bytes(line) for line in lines]
        self.delay = float(delay)
        self.newline = bytes(newline)
        self.abort = abort
        self.hold_open = float(hold_open)

    def __repr__(self) -> str:
        kind = "body" if self.body is not None else f"{len(self.lines or ())} lines"
        return f"<Reply {self.status_code} {kind}>"

    # -- whole answers -----------------------------------------------------

    @classmethod
    def json(cls, obj: Any, status: int = 200, *, headers: dict[str, str] | None = None) -> Reply:
        """Any JSON document as a whole answer."""
        all_headers = {"Content-Type": "application/json", **(headers or {})}
        return cls(status, all_headers, body=json.dumps(obj).encode())

    @classmethod
    def _completion(
        cls,
        message: JSON,
        finish_reason: str,
        completion_id: str,
        usage: JSON | None = None,
    ) -> Reply:
        document: JSON = {
            "id": completion_id,
            "object": "chat.completion",
            "created": int(time.time()),
            "model": DEFAULT_MODEL,
            "choices": [{"index": 0, "message": message, "finish_reason": finish_reason}],
        }
        if usage is not None:
            document["usage"] = usage
        return cls.json(document)

    @classmethod
    def text(
        cls,
        content: str | None,
        reasoning: str | None = None,
        *,
        finish_reason: str = "stop",
        reasoning_field: str = "reasoning_content",
        completion_id: str = DEFAULT_ID,
        usage: JSON | None = None,
    ) -> Reply:
        """A whole ``chat.completion`` answer with an assistant message.

        The reasoning field is present only when ``reasoning`` is given, the
        ``usage`` object only when ``usage`` is (see :func:`usage_object`).
        """
        message: JSON = {"role": "assistant", "content": content}
        if reasoning is not None:
            message[reasoning_field] = reasoning
        return cls._completion(message, finish_reason, completion_id, usage)

    @classmethod
    def error(
        cls,
        message: str,
        code: int | str | None = None,
        *,
        status: int = 200,
    ) -> Reply:
        """A JSON answer ``{"error": {"message": ..., "code": ...}}``.

        Sent with status 200 by default, as some servers do.
        """
        return cls.json({"error": {"message": message, "code": code}}, status)

    @classmethod
    def status(
        cls,
        code: int,
        body: str | bytes | dict[str, Any] | list[Any] = "",
        *,
        headers: dict[str, str] | None = None,
    ) -> Reply:
        """An answer with an arbitrary status code.

        A ``dict`` or ``list`` body is sent as JSON, text as ``text/plain``.
        """
        if isinstance(body, (dict, list)):
            return cls.json(body, code, headers=headers)
        data = body.encode() if isinstance(body, str) else bytes(body)
        all_headers = {"Content-Type": "text/plain; charset=utf-8", **(headers or {})}
        return cls(code, all_headers, body=data)

    # -- streams -------------------------------------------------------------

    @classmethod
    def _sse(
        cls,
        chunks: list[JSON],
        *,
        finish_reason: str,
        finish: bool,
        done: bool,
        trailing_lines: Sequence[bytes] | None,
        delay: float,
        usage: JSON | None = None,
        hold_open: float = 0.0,
    ) -> Reply:
        if finish:
            chunks.append(finish_chunk(finish_reason, created=int(time.time())))
        if usage is not None:
            chunks.append(usage_chunk(usage, created=int(time.time())))
        lines = _sse_lines(chunks, done) + list(trailing_lines or ())
        return cls.raw_lines(lines, delay=delay, hold_open=hold_open)

    @classmethod
    def stream(
        cls,
        content: Sequence[str] | str = (),
        reasoning: Sequence[str] | str | None = None,
        *,
        finish: bool = True,
        done: bool = True,
        finish_reason: str = "stop",
        reasoning_field: str = "reasoning_content",
        trailing_lines: Sequence[bytes] | None = None,
        delay: float = 0.0,
        usage: JSON | None = None,
        hold_open: float = 0.0,
    ) -> Reply:
        """A streamed answer: role chunk, reasoning deltas, content deltas.

        Each item of ``reasoning`` and ``content`` becomes one delta chunk.  The
        stream then ends with a finishing chunk (unless ``finish=False``), a
        usage chunk carrying ``usage`` when it is given (after the finishing
        chunk, as servers asked for ``stream_options.include_usage`` send
        it), ``data: [DONE]`` (unless ``done=False``) and ``trailing_lines``,
        raw lines that a well-behaved client never reads.  ``delay`` is the
        pause, in seconds, before every line after the first; ``hold_open``
        keeps the connection open that many seconds after the last line
        before the body ends.
        """
        if isinstance(content, str):
            content = [content]
        if isinstance(reasoning, str):
            reasoning = [reasoning]
        created = int(time.time())
        chunks = [role_chunk(created=created)]
        chunks += [
            text_chunk(reasoning=part, reasoning_field=reasoning_field, created=created)
            for part in reasoning or ()
        ]
        chunks += [text_chunk(part, created=created) for part in content]
        return cls._sse(
            chunks,
            finish_reason=finish_reason,
            finish=finish,
            done=done,
            trailing_lines=trailing_lines,
            delay=delay,
            usage=usage,
            hold_open=hold_open,
        )

    @classmethod
    def tool_calls(
        cls,
        calls: Sequence[ToolCall],
        *,
        content: str | None = None,
        reasoning: str | None = None,
        stream: bool = False,
        fragment: int | None = None,
        interleave: bool = True,
        with_index: bool = False,
        finish: bool = True,
        done: bool = True,
        finish_reason: str = "tool_calls",
        reasoning_field: str = "reasoning_content",
        trailing_lines: Sequence[bytes] | None = None,
        delay: float = 0.0,
        usage: JSON | None = None,
        hold_open: float = 0.0,
    ) -> Reply:
        """An answer asking for tool calls.

        Whole answer (``stream=False``): the message holds ``tool_calls`` in
        the non-streamed form ``{"id", "type": "function", "function": {"name",
        "arguments"}}``, with ``"index": i`` only if ``with_index``; its
        ``content`` is null unless given.

        Streamed (``stream=True``): after the role chunk and any reasoning or
        content delta, every call opens with a fragment carrying its index, id,
        name and empty arguments, followed by its arguments cut into pieces of
        ``fragment`` characters (whole when ``None``).  With ``interleave``
        the calls advance round-robin (all openings, then first pieces of each
        call, and so on), otherwise one call after the other.  The remaining
        options are those of :meth:`stream` (``usage`` goes into a whole
        answer's document, and into a usage chunk of a stream).
        """
        normalised = [(cid, name, _arguments_text(args)) for cid, name, args in calls]
        if not stream:
            tool_calls: list[JSON] = []
            for i, (cid, name, args) in enumerate(normalised):
                call: JSON = {"id": cid, "type": "function", "function": {"name": name, "arguments": args}}
                if with_index:
                    call = {"index": i, **call}
                tool_calls.append(call)
            message: JSON = {"role": "assistant", "content": content}
            if reasoning is not None:
                message[reasoning_field] = reasoning
            message["tool_calls"] = tool_calls
            return cls._completion(message, finish_reason, DEFAULT_ID, usage)

        created = int(time.time())
        chunks = [role_chunk(created=created)]
        if reasoning is not None:
            chunks.append(text_chunk(reasoning=reasoning, reasoning_field=reasoning_field, created=created))
        if content is not None:
            chunks.append(text_chunk(content, created=created))
        per_call: list[list[JSON]] = []
        for i, (cid, name, args) in enumerate(normalised):
            seq = [tool_call_chunk(i, cid, name, created=created)]
            seq += [tool_call_chunk(i, arguments=piece, created=created) for piece in _split(args, fragment)]
            per_call.append(seq)
        if interleave:
            for step in range(max((len(seq) for seq in per_call), default=0)):
                chunks += [seq[step] for seq in per_call if step < len(seq)]
        else:
            for seq in per_call:
                chunks += seq
        return cls._sse(
            chunks,
            finish_reason=finish_reason,
            finish=finish,
            done=done,
            trailing_lines=trailing_lines,
            delay=delay,
            usage=usage,
            hold_open=hold_open,
        )

    @classmethod
    def raw_lines(
        cls,
        lines: Sequence[bytes | str],
        *,
        delay: float = 0.0,
        status: int = 200,
        content_type: str = "text/event-stream",
        newline: bytes = b"\n",
        abort: bool = False,
        headers: dict[str, str] | None = None,
        hold_open: float = 0.0,
    ) -> Reply:
        """Exactly these lines, each followed by ``newline``, flushed one by one.

        ``delay`` is the pause, in seconds, before every line after the first.
        ``hold_open`` keeps the connection open that many seconds after the
        last line, with the body not ended (a server that has more to say,
        or a stalled one); the body then ends (or, with ``abort``, is cut).
        With ``abort`` the connection is cut after the last line without ending
        the chunked body, so the client sees a truncated transfer.
        """
        all_headers = {"Content-Type": content_type, "Cache-Control": "no-cache", **(headers or {})}
        data = [line.encode() if isinstance(line, str) else line for line in lines]
        return cls(
            status, all_headers, lines=data, delay=delay, newline=newline, abort=abort, hold_open=hold_open
        )


# ---------------------------------------------------------------------------
# Recorded requests
# ---------------------------------------------------------------------------


class Headers(dict[str, str]):
    """A plain ``dict`` of header names as sent, with case-insensitive lookup.

    Iteration, ``keys()`` and equality use the names exactly as the client sent
    them; ``headers["content-type"]``, ``get`` and ``in`` ignore case.
    """

    def _key(self, name: object) -> object:
        if isinstance(name, str) and not dict.__contains__(self, name):
            lower = name.lower()
            for key in self:
                if key.lower() == lower:
                    return key
        return name

    def __getitem__(self, name: str) -> str:
        return dict.__getitem__(self, self._key(name))  # type: ignore[arg-type]

    def __contains__(self, name: object) -> bool:
        return dict.__contains__(self, self._key(name))

    def get(self, name: str, default: Any = None) -> Any:  # type: ignore[override]
        return dict.get(self, self._key(name), default)  # type: ignore[arg-type]


class RecordedRequest:
    """A request received by :class:`ChatServer`.

    Attributes:
        method: ``"POST"``, ``"GET"``, ...
        path: the request target, e.g. ``"/v1/chat/completions"``.
        headers: :class:`Headers`, names as sent.
        body: the raw body bytes (a chunked request body is decoded).
        json: the parsed body, or ``None`` when it is not JSON.
        lines_sent: lines of a line-by-line reply written so far.
        completed: whether the reply was written to the end; stays ``False``
            while it is being written and when the client went away first.
            Read it after :meth:`ChatServer.wait_idle`: the client may see the
            end of a stream a moment before it is set.
    """

    __slots__ = ("method", "path", "headers", "body", "json", "lines_sent", "completed")

    def __init__(self, method: str, path: str, headers: Headers, body: bytes) -> None:
        self.method = method
        self.path = path
        self.headers = headers
        self.body = body
        try:
            self.json: Any = json.loads(body) if body else None
        except ValueError:
            self.json = None
        self.lines_sent = 0
        self.completed = False

    def __repr__(self) -> str:
        return f"<RecordedRequest {self.method} {self.path} {len(self.body)} bytes>"


ReplySource = Union[Reply, Callable[[RecordedRequest], Reply]]


# ---------------------------------------------------------------------------
# Server
# ---------------------------------------------------------------------------


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server: _HTTPServer

    def setup(self) -> None:
        super().setup()
        # Headers and body go out in separate writes; without this, on a
        # kept-alive connection the body waits for the client's delayed ACK.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.server.owner._connection_opened(self.connection)

    def finish(self) -> None:
        try:
            super().finish()
        except OSError:
            pass
        finally:
            self.server.owner._connection_closed(self.connection)

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass

    def _read_body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            parts = []
            while True:
                size_line = self.rfile.readline()
                size = int(size_line.split(b";")[0].strip() or b"0", 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(parts)
                parts.append(self.rfile.read(size))
                self.rfile.readline()
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length else b""

    def _handle(self) -> None:
        owner = self.server.owner
        try:
            body = self._read_body()
        except (OSError, ValueError):
            self.close_connection = True
            return
        headers = Headers()
        for name, value in self.headers.items():
            headers[name] = f"{headers[name]}, {value}" if name in headers else value
        record = RecordedRequest(self.command, self.path, headers, body)
        with owner._busy:
            owner._active += 1
        try:
            reply = owner._next_reply(record)
            try:
                self._send(reply, record)
            except OSError:
                self.close_connection = True
        finally:
            with owner._busy:
                owner._active -= 1
                owner._busy.notify_all()

    do_POST = do_GET = do_PUT = do_DELETE = do_PATCH = _handle

    def _send(self, reply: Reply, record: RecordedRequest) -> None:
        self.send_response(reply.status_code)
        for name, value in reply.headers.items():
            self.send_header(name, value)
        if reply.body is not None:
            self.send_header("Content-Length", str(len(reply.body)))
            self.end_headers()
            self.wfile.write(reply.body)
            record.completed = True
            return

        # Line by line.  Chunked encoding makes every line reach the client as
        # soon as it is written; HTTP/1.0 clients get a close-delimited body.
        chunked = self.request_version == "HTTP/1.1"
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Connection", "close")
        self.end_headers()
        closing = self.server.owner._closing
        if reply.delay <= 0 and not reply.abort and reply.hold_open <= 0 and not closing.is_set():
            # Unpaced: the whole body in one write, so that a client always
            # finds the end of the body arrived with its last line (as it does
            # from servers that buffer their output).
            frames = [line + reply.newline for line in reply.lines or ()]
            if chunked:
                frames = [b"%x\r\n%s\r\n" % (len(data), data) for data in frames] + [b"0\r\n\r\n"]
            self.wfile.write(b"".join(frames))
            record.lines_sent = len(reply.lines or ())
            record.completed = True
            return
        for i, line in enumerate(reply.lines or ()):
            if i and reply.delay > 0 and closing.wait(reply.delay):
                break
            if closing.is_set():
                break
            data = line + reply.newline
            self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data) if chunked else data)
            record.lines_sent += 1
        else:
            if reply.hold_open > 0 and closing.wait(reply.hold_open):
                self.close_connection = True
                return
            if reply.abort:
                self.close_connection = True
                self.connection.shutdown(socket.SHUT_RDWR)
                return
            if chunked:
                self.wfile.write(b"0\r\n\r\n")
            record.completed = True
            return
        # The server is closing: drop the connection mid-stream.
        self.close_connection = True


class _HTTPServer(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False
    allow_reuse_address = True
    # Room for a burst of clients connecting at once: with the socketserver
    # default of 5, a test with dozens of concurrent clients sees resets,
    # and with 128 so did 500 async calls opened in one event loop.
    request_queue_size = 1024

    def __init__(self, owner: ChatServer, address: tuple[str, int]) -> None:
        self.owner = owner
        super().__init__(address, _Handler)

    def handle_error(self, request: Any, client_address: Any) -> None:
        if isinstance(sys.exc_info()[1], OSError):
            return  # the client went away; nothing worth reporting
        super().handle_error(request, client_address)


class ChatServer:
    """A scripted chat-completion server on ``127.0.0.1``.

    Use it as a context manager (or call :meth:`start` and :meth:`close`).
    Each ``POST`` takes the next scripted reply in FIFO order; when none is
    left the answer is a 500 with a JSON error saying so.  Requests with other
    methods are recorded and answered with 405.

    Closing never waits for handlers: connections still open, even mid-stream,
    are cut.
    """

    def __init__(self, path: str = "/v1/chat/completions") -> None:
        self._path = path
        self._lock = threading.Lock()
        self._busy = threading.Condition()
        self._active = 0
        self._replies: deque[ReplySource] = deque()
        self._requests: list[RecordedRequest] = []
        self._connections: set[socket.socket] = set()
        self._connections_opened = 0
        self._closing = threading.Event()
        self._httpd: _HTTPServer | None = None
        self._thread: threading.Thread | None = None

    # -- lifecycle -----------------------------------------------------------

    def start(self) -> ChatServer:
        """Bind a free port and start serving in a daemon thread."""
        if self._httpd is not None:
            raise RuntimeError("server already started")
        self._httpd = _HTTPServer(self, ("127.0.0.1", 0))
        self._thread = threading.Thread(
            target=self._httpd.serve_forever,
            kwargs={"poll_interval": 0.05},
            name=f"quorvel-chat-server-{self.port}",
            daemon=True,
        )
        self._thread.start()
        return self

    def close(self) -> None:
        """Stop serving and cut every open connection; does not block on clients."""
        httpd = self._httpd
        if httpd is None or self._closing.is_set():
            return
        self._closing.set()
        httpd.shutdown()
        with self._lock:
            connections = list(self._connections)
        for conn in connections:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        httpd.server_close()
        if self._thread is not None:
            self._thread.join(timeout=2.0)

    def __enter__(self) -> ChatServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- addresses -----------------------------------------------------------

    @property
    def port(self) -> int:
        """The port chosen by the operating system."""
        if self._httpd is None:
            raise RuntimeError("server not started")
        return int(self._httpd.server_address[1])

    @property
    def base_url(self) -> str:
        """``http://127.0.0.1:PORT/v1`` (for clients that append the route)."""
        return f"http://127.0.0.1:{self.port}/v1"

    @property
    def url(self) -> str:
        """``http://127.0.0.1:PORT/v1/chat/completions``."""
        return f"http://127.0.0.1:{self.port}{self._path}"

    # -- script and records ----------------------------------------------------

    def add(self, *replies: ReplySource) -> None:
        """Queue replies; a callable gets the :class:`RecordedRequest` and returns a :class:`Reply`."""
        for reply in replies:
            if not isinstance(reply, Reply) and not callable(reply):
                raise TypeError(f"expected a Reply or a callable, got {type(reply).__name__}")
        with self._lock:
            self._replies.extend(replies)

    @property
    def pending(self) -> int:
        """Number of scripted replies not yet used."""
        with self._lock:
            return len(self._replies)

    @property
    def requests(self) -> list[RecordedRequest]:
        """A copy of the list of requests received so far, oldest first."""
        with self._lock:
            return list(self._requests)

    @property
    def connections_opened(self) -> int:
        """Number of TCP connections accepted so far (keep-alive reuse shows
        as fewer connections than requests)."""
        with self._lock:
            return self._connections_opened

    def wait_idle(self, timeout: float = 5.0) -> bool:
        """Wait until no reply is being written; ``False`` on timeout."""
        with self._busy:
            return self._busy.wait_for(lambda: self._active == 0, timeout)

    # -- used by the handler threads ------------------------------------------

    def _connection_opened(self, conn: socket.socket) -> None:
        with self._lock:
            self._connections.add(conn)
            self._connections_opened += 1

    def _connection_closed(self, conn: socket.socket) -> None:
        with self._lock:
            self._connections.discard(conn)

    def _next_reply(self, record: RecordedRequest) -> Reply:
        with self._lock:
            self._requests.append(record)
            count = len(self._requests)
            if record.method != "POST":
                source: ReplySource | None = None
            else:
                source = self._replies.popleft() if self._replies else None
        if record.method != "POST":
            return Reply.status(405, {"error": {"message": f"{record.method} is not supported", "code": "method_not_allowed"}})
        if source is None:
            message = f"ChatServer: no reply is scripted for request #{count} ({record.method} {record.path})"
            return Reply.status(500, {"error": {"message": message, "code": "no_reply_scripted"}})
        if isinstance(source, Reply):
            return source
        try:
            reply = source(record)
            if not isinstance(reply, Reply):
                raise TypeError(f"reply callable returned {type(reply).__name__}, not Reply")
            return reply
        except Exception as exc:  # report the test's own bug to the client
            message = f"ChatServer: reply callable raised {type(exc).__name__}: {exc}"
            return Reply.status(500, {"error": {"message": message, "code": "reply_callable_failed"}})


# ---------------------------------------------------------------------------
# Offline responses
# ---------------------------------------------------------------------------


_BYTES_READ = io.BytesIO.read


class _MemoryRaw(io.BytesIO):
    """Stands in for urllib3's response as ``requests.Response.raw``: the
    whole body, as fast as the reader asks for it."""

    chunk_size: int | None = None

    def read(self, amt: int | None = None, *args: Any, **kwargs: Any) -> bytes:
        # urllib3's read takes more arguments than a file's.
        return _BYTES_READ(self, amt)

    def stream(self, amt: int | None = 2**16, decode_content: bool | None = None) -> Iterator[bytes]:
        size = amt if amt is not None and amt > 0 else 2**16
        while True:
            data = self.read(size)
            if not data:
                return
            yield data

    def release_conn(self) -> None:
        pass


class _ChunkedMemoryRaw(_MemoryRaw):
    """The same, handing out at most ``chunk_size`` bytes per sized read and
    per block of :meth:`stream`, like a slow network would."""

    def __init__(self, data: bytes, chunk_size: int) -> None:
        super().__init__(data)
        if chunk_size < 1:
            raise ValueError("chunk_size must be positive")
        self.chunk_size = chunk_size

    def read(self, amt: int | None = None, *args: Any, **kwargs: Any) -> bytes:
        if amt is None or amt < 0:
            return _BYTES_READ(self)
        return _BYTES_READ(self, min(amt, self.chunk_size))  # type: ignore[type-var]


def response_from_bytes(
    body: bytes,
    *,
    status: int = 200,
    chunk_size: int | None = None,
    headers: dict[str, str] | None = None,
) -> requests.Response:
    """An in-memory :class:`requests.Response` whose body is ``body``.

    ``iter_lines()``, ``iter_content()``, ``.content``, ``.text`` and
    ``.json()`` behave as for a real streamed response; the encoding is taken
    from a ``Content-Type`` header the way ``requests`` does.  With
    ``chunk_size`` the body is handed out at most that many bytes at a time,
    which exercises code that joins lines across reads.

    >>> r = response_from_bytes(b"a\\nb\\n", chunk_size=1)
    >>> list(r.iter_lines())
    [b'a', b'b']
    """
    response = requests.Response()
    response.status_code = status
    response.reason = http.client.responses.get(status, "")
    if headers:
        response.headers.update(headers)
    response.encoding = get_encoding_from_headers(response.headers)
    data = bytes(body)
    response.raw = _MemoryRaw(data) if chunk_size is None else _ChunkedMemoryRaw(data, chunk_size)
    return response
