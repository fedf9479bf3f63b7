"""Pure-Python push decoding, used by ``quorvel.aio`` only where
``quorvel.modal`` does not provide its native counterparts.

It follows the native rules of the common answer shapes: a whole answer's
``choices[0].message``, a stream's ``data:`` lines with their deltas, the
finishing chunk and ``[DONE]``, an ``error`` object in an answer.
"""

from __future__ import annotations

import json
import threading
from typing import Any

from quorvel import _transport

__all__ = ["PushDecoder", "fail", "call_guard", "begin_turn"]

_NO_DATA_FIELDS = (b"event:", b"id:", b"retry:")


def _modal() -> Any:
    import quorvel.modal

    return quorvel.modal


class PushDecoder:
    """One exchange's decoder: bytes in (``feed``), records out."""

    def __init__(self, model: Any, stream: bool) -> None:
        self._model = model
        self._stream = bool(stream)
        self._buffer = b""
        self._whole: list[bytes] = []
        self._answered = False
        self._done = False
        self._already_added = False
        self._usage: dict[str, Any] | None = None
        modal = _modal()
        self._result = modal.LLMResult
        self._status = modal.LLMStatus
        self._assistant = modal.MessageRole.assistant

    @property
    def done(self) -> bool:
        return self._done

    @property
    def already_added(self) -> bool:
        return self._already_added

    @property
    def usage(self) -> dict[str, Any] | None:
        return self._usage

    def feed(self, block: bytes) -> list[Any]:
        if not self._stream:
            self._whole.append(bytes(block))
            return []
        records: list[Any] = []
        if self._done:
            return records
        data = self._buffer + bytes(block)
        lines = data.split(b"\n")
        self._buffer = lines.pop()
        for line in lines:
            self._line(line.rstrip(b"\r"), records)
            if self._done:
                self._buffer = b""
                break
        return records

    def finish(self) -> list[Any]:
        if not self._stream:
            return [self._whole_answer()]
        records: list[Any] = []
        if not self._done and self._buffer:
            rest, self._buffer = self._buffer, b""
            self._line(rest.rstrip(b"\r"), records)
        if not self._answered:
            raise ValueError("The server ended the stream without an answer")
        return records

    # ---- streams --------------------------------------------------------------------

    def _line(self, line: bytes, records: list[Any]) -> None:
        if not line or line[:1] == b":" or line.startswith(_NO_DATA_FIELDS):
            return
        text = line.decode("utf-8").lstrip("data: ")
        if text == "[DONE]":
            self._done = True
            return
        chunk = json.loads(text)
        self._check_error(chunk)
        if isinstance(chunk, dict) and isinstance(chunk.get("usage"), dict):
            self._usage = chunk["usage"]
        choices = chunk["choices"]
        if isinstance(choices, list) and not choices:
            return
        choice = choices[0]
        self._answered = True
        delta = choice.get("delta")
        if delta is not None:
            message = self._model._message_process(delta)
            if message["reasoning_content"]:
                records.append(self._result(status=self._status.reason, **message))
            elif message["content"]:
                self._model.add_message(role=self._assistant, content=message["content"])
                self._already_added = True
                records.append(self._result(status=self._status.answer, **message))
        if choice.get("finish_reason") is not None:
            self._done = True

    # ---- whole answers ----------------------------------------------------------------

    def _whole_answer(self) -> Any:
        document = json.loads(b"".join(self._whole))
        self._check_error(document)
        if isinstance(document, dict) and isinstance(document.get("usage"), dict):
            self._usage = document["usage"]
        self._done = True
        model = self._model
        message = model._message_process(document["choices"][0]["message"])
        if not model.tool_calls or message["content"]:
            model.add_message(role=self._assistant, content=message["content"])
            self._already_added = True
        return self._result(status=self._status.idle, **message)

    @staticmethod
    def _check_error(document: Any) -> None:
        if isinstance(document, dict):
            error = document.get("error")
            if error is not None:
                raise _transport.answer_error(error)


def fail(model: Any, prefix: str, add_fallback: bool, exc: BaseException) -> None:
    """The failure path of an exchange (the caller raises ``exc`` again)."""
    if not isinstance(exc, Exception):
        return
    print(prefix + str(exc), flush=True)
    if add_fallback and not _ends_with_fallback(model):
        model.add_message(role=_modal().MessageRole.assistant, content=model._default)
    model._reset()


def _ends_with_fallback(model: Any) -> bool:
    fallback = model._default
    if not model.messages or not isinstance(fallback, str):
        return False
    last = model.messages[-1]
    if last.role != _modal().MessageRole.assistant or not last.contents:
        return False
    text = last.contents[-1]
    return isinstance(text, str) and text.endswith(fallback)


_busy_lock = threading.Lock()
_busy: set[int] = set()  # id() of the instances running a call (models are not hashable)


class call_guard:
    """One call at a time on one instance, held across awaits."""

    def __init__(self, model: Any) -> None:
        self._model = model
        self._held = False

    def __enter__(self) -> call_guard:
        with _busy_lock:
            if id(self._model) in _busy:
                raise RuntimeError(
                    f"this {type(self._model).__name__} instance is already running a call; "
                    "one instance serves one call at a time (use one instance per thread)"
                )
            _busy.add(id(self._model))
            self._held = True
        return self

    def __exit__(self, *exc_info: object) -> None:
        with _busy_lock:
            if self._held:
                self._held = False
                _busy.discard(id(self._model))


def begin_turn(model: Any, prompt: str) -> None:
    """What ``invoke`` does before its first POST."""
    if type(prompt) is not str:
        raise TypeError(
            "Argument 'prompt' has incorrect type (expected str, got %.200s)" % type(prompt).__name__
        )
    _transport.check_settings(_modal().Configurator, model.section)
    role = _modal().MessageRole
    if model.system_prompt and len(model.messages) == 0:
        model.add_message(role=role.system, content=model.system_prompt)
    if model.images or len(prompt) > 0:
        model.add_message(role=role.user, content=prompt)
