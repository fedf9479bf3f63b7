"""One row's conversation: its own copy of the template, run as ``invoke`` runs.

The copy is shallow where sharing is safe (the tool registry, which only
reads its functions) and new where a call writes (the history, the pending
media, ``extra_body`` and the per-call state), so the template and the other
rows never see a row's changes.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from quorvel.batch.rows import Row

if TYPE_CHECKING:
    from quorvel.modal import LLModal

try:
    from quorvel.usage import last_usage  # type: ignore[import-not-found,import-untyped,unused-ignore]
except ImportError:  # a build without usage figures writes them as null
    last_usage = None  # type: ignore[assignment]

try:
    from quorvel._inflight import cancel as _cancel_bodies  # type: ignore[import-not-found,import-untyped,unused-ignore]
except ImportError:
    _cancel_bodies = None  # type: ignore[assignment]

__all__ = ["copy_template", "conversation", "Answer", "ask", "stop", "usage_available"]


def usage_available() -> bool:
    return last_usage is not None


def copy_template(template: LLModal) -> LLModal:
    """A model that starts as ``template`` is, sharing nothing a call changes."""
    model = template.model_copy()
    model.messages = copy.deepcopy(template.messages)
    model.extra_body = copy.deepcopy(template.extra_body)
    model.images = list(template.images)
    model.video = list(template.video)
    model.tool_calls = []
    model._tool_calls_count = 0
    model._close = False
    return model


def _message(rendered: dict[str, Any]) -> Any:
    from quorvel.message import Message

    content = rendered.get("content")
    contents = [] if content is None else [content]
    return Message(
        role=rendered["role"],
        contents=contents,
        tool_call_id=rendered.get("tool_call_id") or "",
        tool_calls=rendered.get("tool_calls") or [],
    )


def conversation(template: LLModal, row: Row) -> LLModal:
    """The model that runs ``row``: a copy of ``template`` with the row's
    history, system prompt and request parameters."""
    model = copy_template(template)
    if row.system is not None:
        model.system_prompt = row.system
    if row.extra_body:
        model.extra_body = {**model.extra_body, **copy.deepcopy(row.extra_body)}
    if row.history is not None:
        model.messages = [_message(rendered) for rendered in row.history]
    if row.prompt_parts is not None:
        from quorvel.message import MessageRole

        if model.system_prompt and not model.messages:
            model.add_message(role=MessageRole.system, content=model.system_prompt)
        model.messages.append(_message({"role": "user", "content": copy.deepcopy(row.prompt_parts)}))
    return model


@dataclass
class Answer:
    """What a finished conversation produced: the texts of its answers, the
    tool calls and results of every round, and its usage (None when the usage
    figures are not available)."""

    content: str = ""
    reasoning_content: str = ""
    tool_calls: dict[str, Any] = field(default_factory=dict)
    tool_results: dict[str, Any] = field(default_factory=dict)
    usage: Any = None


def _usage(model: LLModal) -> Any:
    return last_usage(model) if last_usage is not None else None


def ask(model: LLModal, prompt: str) -> Answer:
    """``model.invoke(prompt)`` to its end, streamed or whole; raises what the
    call raises (after its failure rules have run)."""
    result: Any = model.invoke(prompt)
    if not model.stream:
        return Answer(
            result.content,
            result.reasoning_content,
            dict(result.tool_calls),
            dict(result.tool_results),
            _usage(model),
        )
    # A stream's records are gathered without merging record by record
    # (each `+` would copy everything gathered so far).
    content: list[str] = []
    reasoning: list[str] = []
    answer = Answer()
    for record in result:
        if record.content:
            content.append(record.content)
        if record.reasoning_content:
            reasoning.append(record.reasoning_content)
        if record.tool_calls:
            answer.tool_calls.update(record.tool_calls)
        if record.tool_results:
            answer.tool_results.update(record.tool_results)
    answer.content = "".join(content)
    answer.reasoning_content = "".join(reasoning)
    answer.usage = _usage(model)
    return answer


def failed_usage(model: LLModal) -> Any:
    """The usage of a call that failed (what it spent before it failed)."""
    return _usage(model)


def stop(model: LLModal) -> None:
    """Ask a running call on ``model`` to end: its open body is closed where
    the client tracks bodies, and a stream stops at its next line anyway."""
    model._close = True
    if _cancel_bodies is not None:
        try:
            _cancel_bodies(model)
        except Exception:
            pass
