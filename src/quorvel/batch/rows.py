"""The input of a batch run: request lines read, checked and turned into rows.

Two line shapes are accepted:

- the common batch request line, as provider batch APIs and ``vllm run-batch``
  read it: ``{"custom_id", "method": "POST", "url": "/v1/chat/completions",
  "body": {"messages": [...], ...}}``.  ``body.messages`` becomes the
  conversation, its last message (a user message) the prompt; the other body
  keys are request parameters (``extra_body``);
- the short form ``{"custom_id", "prompt", "system"?, "extra_body"?}``.

Every line is checked before anything runs, so a bad line or a repeated
``custom_id`` stops the run while nothing has been sent or written.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, Union

__all__ = ["BatchInputError", "Row", "RequestSource"]

RequestsArg = Union[str, "os.PathLike[str]", Iterable[Mapping[str, Any]]]

_ROLES = frozenset({"system", "user", "assistant", "tool"})
# Newer servers name the system turn "developer"; the history has no such role.
_ROLE_ALIASES = {"developer": "system"}
_SHORT_KEYS = frozenset({"custom_id", "prompt", "system", "extra_body"})


class BatchInputError(ValueError):
    """A request line, or a line of an existing output file, that a batch run
    cannot use; the text names the file (or ``requests``) and the line."""


@dataclass(frozen=True)
class Row:
    """One conversation to run.

    ``history`` is None for the short form (the template's history is kept);
    otherwise the rendered messages that come before the prompt.  A prompt
    made of content parts (images, several texts) cannot be a plain prompt:
    it is ``prompt_parts`` and goes into the history as the user turn.
    """

    custom_id: str
    prompt: str = ""
    prompt_parts: list[dict[str, Any]] | None = None
    history: list[dict[str, Any]] | None = None
    system: str | None = None
    extra_body: dict[str, Any] = field(default_factory=dict)


class _Bad(Exception):
    """The problem of one line, before the line number is known."""


def _require(condition: bool, problem: str) -> None:
    if not condition:
        raise _Bad(problem)


def _check_content(content: Any, where: str, *, allow_missing: bool = False) -> None:
    if content is None and allow_missing:
        return
    if isinstance(content, str):
        return
    _require(
        isinstance(content, list) and all(isinstance(part, dict) and "type" in part for part in content),
        f"{where}: 'content' must be text or a list of parts with a 'type'",
    )


def _check_message(index: int, message: Any) -> dict[str, Any]:
    where = f"body.messages[{index}]"
    _require(isinstance(message, dict), f"{where} is not an object")
    role = message.get("role")
    role = _ROLE_ALIASES.get(role, role) if isinstance(role, str) else role
    _require(role in _ROLES, f"{where}: unknown role {message.get('role')!r}")
    checked = dict(message)
    checked["role"] = role
    tool_calls = message.get("tool_calls")
    if tool_calls:
        _require(role == "assistant", f"{where}: only an assistant message carries tool_calls")
        _require(
            isinstance(tool_calls, list) and all(isinstance(call, dict) for call in tool_calls),
            f"{where}: 'tool_calls' must be a list of objects",
        )
        _check_content(message.get("content"), where, allow_missing=True)
    elif role == "tool":
        call_id = message.get("tool_call_id")
        _require(isinstance(call_id, str) and call_id != "", f"{where}: a tool message needs a 'tool_call_id'")
        _check_content(message.get("content"), where)
    else:
        _check_content(message.get("content"), where)
    return checked


def _row_from_request(line: dict[str, Any], custom_id: str) -> Row:
    method = line.get("method", "POST")
    _require(method == "POST", f"method must be \"POST\", got {method!r}")
    url = line.get("url", "/v1/chat/completions")
    _require(
        isinstance(url, str) and url.rstrip("/").endswith("/chat/completions"),
        f"url {url!r} is not a chat-completion route (/v1/chat/completions)",
    )
    body = line["body"]
    _require(isinstance(body, dict), "'body' must be an object")
    messages = body.get("messages")
    _require(isinstance(messages, list) and messages != [], "body.messages must be a non-empty list")
    checked = [_check_message(i, message) for i, message in enumerate(messages)]
    last = checked[-1]
    _require(
        last["role"] == "user" and not last.get("tool_calls"),
        "the last of body.messages must be the user message to answer",
    )
    extra_body = {key: value for key, value in body.items() if key != "messages"}
    content = last["content"]
    if isinstance(content, str):
        return Row(custom_id, prompt=content, history=checked[:-1], extra_body=extra_body)
    return Row(custom_id, prompt_parts=content, history=checked[:-1], extra_body=extra_body)


def _row_from_short(line: dict[str, Any], custom_id: str) -> Row:
    unknown = sorted(set(line) - _SHORT_KEYS)
    if unknown:
        raise _Bad(f"unknown key {unknown[0]!r} (a short line holds custom_id, prompt, system, extra_body)")
    prompt = line["prompt"]
    _require(isinstance(prompt, str), f"'prompt' must be text, got {type(prompt).__name__}")
    system = line.get("system")
    _require(system is None or isinstance(system, str), "'system' must be text")
    extra_body = line.get("extra_body", {})
    _require(isinstance(extra_body, dict), "'extra_body' must be an object")
    return Row(custom_id, prompt=prompt, system=system, extra_body=dict(extra_body))


def parse_row(line: Any) -> Row:
    """The row of one decoded request line; ``_Bad`` names what is wrong."""
    _require(isinstance(line, Mapping), f"a request must be a JSON object, got {type(line).__name__}")
    line = dict(line)
    custom_id = line.get("custom_id")
    _require(isinstance(custom_id, str) and custom_id != "", "'custom_id' must be a non-empty text")
    if "body" in line:
        return _row_from_request(line, custom_id)
    _require("prompt" in line, "neither 'body' (a batch request) nor 'prompt' (the short form)")
    return _row_from_short(line, custom_id)


class RequestSource:
    """The requests of a run: a JSONL file, read twice (once to check every
    line, once to run), or an iterable of mappings, kept after the check."""

    def __init__(self, requests: RequestsArg) -> None:
        if isinstance(requests, (str, os.PathLike)):
            self.path: str | None = os.fspath(requests)
            self._items: list[Any] | None = None
            self.name = self.path
        elif isinstance(requests, (bytes, Mapping)):
            raise TypeError("requests must be the path of a JSONL file or an iterable of mappings")
        else:
            self.path = None
            self._items = list(requests)
            self.name = "requests"

    def _error(self, number: int, problem: str) -> BatchInputError:
        where = f"{self.name} line {number}" if self.path is not None else f"requests item {number}"
        return BatchInputError(f"{where}: {problem}")

    def _decoded(self) -> Iterator[tuple[int, Any]]:
        if self._items is not None:
            yield from enumerate(self._items, 1)
            return
        assert self.path is not None
        with open(self.path, "rb") as lines:
            for number, raw in enumerate(lines, 1):
                if not raw.strip():
                    continue
                try:
                    yield number, json.loads(raw)
                except ValueError as exc:
                    raise self._error(number, f"not valid JSON ({exc})") from None

    def rows(self) -> Iterator[tuple[int, Row]]:
        """Every row with its line number; the first bad line raises."""
        for number, line in self._decoded():
            try:
                yield number, parse_row(line)
            except _Bad as exc:
                raise self._error(number, str(exc)) from None

    def check(self) -> dict[str, int]:
        """Read every line: ``custom_id`` -> line number.  Raises
        :class:`BatchInputError` at the first bad line, or for ``custom_id``s
        that appear more than once, naming all their lines."""
        first: dict[str, int] = {}
        repeated: dict[str, list[int]] = {}
        for number, row in self.rows():
            seen = first.setdefault(row.custom_id, number)
            if seen != number:
                repeated.setdefault(row.custom_id, [seen]).append(number)
        if repeated:
            word = "lines" if self.path is not None else "items"
            shown = [f"{custom_id!r} on {word} {', '.join(map(str, numbers))}" for custom_id, numbers in repeated.items()]
            more = f" (and {len(shown) - 5} more)" if len(shown) > 5 else ""
            raise BatchInputError(
                f"{self.name}: custom_id must be unique; repeated: {'; '.join(shown[:5])}{more}"
            )
        return first
