"""The chat-model client: ``LLModal`` and its result records (native module)."""

from enum import StrEnum
from typing import Any, Iterator, final

import requests
from pydantic import BaseModel

from quorvel.cython import CythonBaseModel
from quorvel.message import Message, MessageRole
from quorvel.tools import Tools

__all__ = ["ServerError", "LLMStatus", "ToolContent", "LLMResult", "LLModal"]

class ServerError(ValueError):
    """The chat server answered with a failure: a status other than 200, or
    an ``error`` object inside an answer.  ``str()`` is "code: <status>,
    content: <body>" or "code: <code>, message: <message>"."""

    status_code: int | None
    code: Any
    message: Any
    body: bytes | None

    def __init__(
        self,
        text: str,
        *,
        status_code: int | None = None,
        code: Any = None,
        message: Any = None,
        body: bytes | None = None,
    ) -> None: ...

class LLMStatus(StrEnum):
    """What a result record carries."""

    idle = "idle"
    answer = "answer"
    reason = "reason"
    tool_calls = "tool_calls"
    tool_results = "tool_results"

class ToolContent(BaseModel):
    """One tool call (its arguments) or one tool result (its output).

    ``content`` is the decoded JSON when the text decodes to a string or an
    object, else the text as it came.
    """

    name: str
    content: str | dict[str, Any]

class LLMResult(BaseModel):
    """The outcome of a call, or of one streamed chunk."""

    tool_calls: dict[str, ToolContent]
    tool_results: dict[str, ToolContent]
    reasoning_content: str
    content: str
    status: LLMStatus

    def __init__(
        self,
        *,
        tool_calls: dict[str, ToolContent] = ...,
        tool_results: dict[str, ToolContent] = ...,
        reasoning_content: str = "",
        content: str = "",
        status: LLMStatus | str = LLMStatus.idle,
        **ignored: Any,
    ) -> None: ...
    def __add__(self, other: LLMResult) -> LLMResult:
        """A new record: a copy of the left, the right's entries and texts
        appended, the right's status."""

class LLModal(CythonBaseModel):
    """A chat-completion client that keeps one conversation."""

    section: str
    endpoint_url: str
    system_prompt: str
    images: list[str]
    video: list[str]
    tools: Tools
    messages: list[Message]
    extra_body: dict[str, Any]
    retry: bool
    tool_calls: list[dict[str, Any]]
    tool_calls_limit: int
    _tool_calls_count: int
    _close: bool
    _default: str

    def __init__(
        self,
        *,
        section: str = "llm",
        endpoint_url: str = "",
        system_prompt: str = "",
        images: list[str] = ...,
        video: list[str] = ...,
        tools: Tools = ...,
        messages: list[Message] = ...,
        extra_body: dict[str, Any] = ...,
        retry: bool = False,
        tool_calls: list[dict[str, Any]] = ...,
        tool_calls_limit: int = 3,
    ) -> None: ...
    def _reset(self) -> None:
        """Clear the per-call tool state: a new empty ``tool_calls``, count 0."""
    @property
    def stream(self) -> bool:
        """``extra_body["stream"]`` as stored, or False."""
    @property
    def _extra_body(self) -> dict[str, Any]:
        """A copy of ``extra_body`` plus the registry's tool descriptions."""
    @property
    def _headers(self) -> dict[str, str]:
        """Content type, and the bearer key when one is configured.

        A key holding a line ending, another control character or anything
        beyond Latin-1 raises ``ValueError`` (which never quotes the key).
        """
    @property
    def _body(self) -> dict[str, Any]:
        """The rendered history under "messages", then ``_extra_body``."""
    @property
    def messages_latest(self) -> list[dict[str, Any]]:
        """The history as chat-completion messages; under retry it ends at
        the latest user entry."""
    def message_latest(self, role: MessageRole | str) -> Message | None:
        """The most recent entry of ``role`` that has content."""
    def add_message(self, role: MessageRole | str, content: str) -> None:
        """Record a turn: a new entry, a new version (retry), or the
        continuation of the last assistant entry."""
    def _add_tool_calls(self, message: dict[str, Any]) -> None:
        """Gather the tool calls (or streamed fragments) of an answer."""
    def _message_process(self, message: dict[str, Any]) -> dict[str, str]:
        """Gather tool calls; return the reasoning and the answer text."""
    @staticmethod
    def _t_calls_beautify(tool_calls: list[dict[str, Any]]) -> dict[str, ToolContent]:
        """Tool calls keyed by id, arguments decoded."""
    @staticmethod
    def _t_results_beautify(
        tool_calls: dict[str, ToolContent], tool_results: list[Message]
    ) -> dict[str, ToolContent]:
        """Tool results keyed by call id, named after their call."""
    def _response(self, response: requests.Response) -> LLMResult:
        """Decode a whole answer (running tools and follow-up exchanges)."""
    def _stream_response(self, response: requests.Response) -> Iterator[LLMResult]:
        """Decode a streamed answer record by record."""
    def _tool_calls(self) -> list[Message]:
        """Record and run the gathered calls; the registry's result messages."""
    def _core_call(self) -> LLMResult | Iterator[LLMResult]:
        """One exchange: post the request and decode the answer.

        The settings ``timeout``, ``connect_timeout`` and ``max_retries`` of
        ``section`` govern the POST; a failed status raises ServerError."""
    def invoke(self, prompt: str) -> LLMResult | Iterator[LLMResult]:
        """Ask the model: record the prompt (and pending media) and call."""

# ---- private: what a driver outside this module (the async client) builds on ----

@final
class _PushDecoder:
    """One exchange's answer decoded from the blocks of its body, fed as they
    arrive: lines split here (CRLF, LF, split across blocks), each chunk decoded
    as the synchronous stream decodes it (history text recorded, tool-call
    fragments gathered into ``model.tool_calls``; tools never run here)."""

    def __new__(cls, model: LLModal, stream: bool) -> _PushDecoder: ...
    def feed(self, block: bytes, /) -> list[LLMResult]:
        """The reason and answer records of the lines this block completed; a
        whole answer (``stream=False``) is only buffered (``[]``)."""
    def finish(self) -> list[LLMResult]:
        """End of body.  A stream: decodes a last unterminated line; raises
        ``ValueError`` when no chunk carried the answer.  A whole answer: the
        idle record of the exchange, tools not run, per-call state not reset."""
    @property
    def done(self) -> bool:
        """The finishing chunk or ``[DONE]`` (or, awaited with the setting
        ``stream_usage`` on, the usage chunk) was read: read no further."""
    @property
    def finished(self) -> bool:
        """The finishing chunk was read.  While ``done`` is still false the
        usage chunk is awaited: read on for at most 2 s, then call ``finish()``."""
    @property
    def already_added(self) -> bool:
        """This exchange put answer text into the history."""
    @property
    def usage(self) -> dict[str, Any] | None:
        """The last ``usage`` object of the answer or of any chunk, as sent."""

@final
class _call_guard:
    """One call of ``model`` held from ``__enter__`` to ``__exit__`` (across
    awaits): any other call meanwhile is refused with ``RuntimeError``, from
    another thread or another task.  Entering starts a new turn."""

    def __new__(cls, model: LLModal) -> _call_guard: ...
    def __enter__(self) -> _call_guard: ...
    def __exit__(self, exc_type: object, exc: object, tb: object, /) -> bool: ...

def _fail(model: LLModal, prefix: str, add_fallback: bool, exc: BaseException) -> None:
    """The failure path of an exchange (report, fallback answer, reset); does
    not raise: the caller raises ``exc`` again."""

def _begin_turn(model: LLModal, prompt: str) -> None:
    """What ``invoke`` does before its first request."""
