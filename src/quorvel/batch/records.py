"""The output lines of a batch run.

Each line has the common batch output shape, so tools written for provider
batch results read it as they are::

    {"id": "batch_req_...", "custom_id": "...",
     "response": {"status_code": 200, "request_id": "...", "body": <chat.completion>},
     "error": null,
     "quorvel": {"messages": [...], "tool_calls": {...}, "tool_results": {...}, "usage": {...}}}

A failed row has ``"error": {"code", "message"}``; when the server answered
with a failure status, ``response`` holds that status and the server's body.
``quorvel`` adds what the common shape has no room for: the rendered history
(tool rounds included), the tool calls and results keyed by call id, and the
usage figures in the client's own names.
"""

from __future__ import annotations

import dataclasses
import json
import time
import uuid
from typing import TYPE_CHECKING, Any

import orjson

from quorvel.batch.conversation import Answer

if TYPE_CHECKING:
    from quorvel.modal import LLModal

__all__ = ["answered", "failed", "encode", "is_failure"]


def usage_fields(usage: Any) -> dict[str, Any] | None:
    if usage is None:
        return None
    if dataclasses.is_dataclass(usage) and not isinstance(usage, type):
        return dataclasses.asdict(usage)
    return dict(usage)


def _wire_usage(fields: dict[str, Any] | None) -> dict[str, Any] | None:
    """The usage object of a chat completion, from the client's figures."""
    if fields is None:
        return None
    wire: dict[str, Any] = {
        "prompt_tokens": fields.get("input_tokens"),
        "completion_tokens": fields.get("output_tokens"),
        "total_tokens": fields.get("total_tokens"),
    }
    if fields.get("cached_input_tokens") is not None:
        wire["prompt_tokens_details"] = {"cached_tokens": fields["cached_input_tokens"]}
    if fields.get("reasoning_tokens") is not None:
        wire["completion_tokens_details"] = {"reasoning_tokens": fields["reasoning_tokens"]}
    return wire


def _tool_contents(contents: dict[str, Any]) -> dict[str, Any]:
    return {call_id: {"name": item.name, "content": item.content} for call_id, item in contents.items()}


def _history(model: LLModal) -> list[dict[str, Any]] | None:
    try:
        return model.messages_latest
    except Exception:  # a history that cannot be rendered does not cost the row its line
        return None


def answered(custom_id: str, model: LLModal, answer: Answer) -> dict[str, Any]:
    message: dict[str, Any] = {"role": "assistant", "content": answer.content}
    if answer.reasoning_content:
        message["reasoning_content"] = answer.reasoning_content
    usage = usage_fields(answer.usage)
    body = {
        "id": "chatcmpl-" + uuid.uuid4().hex,
        "object": "chat.completion",
        "created": int(time.time()),
        "model": model.extra_body.get("model"),
        "choices": [{"index": 0, "message": message, "logprobs": None, "finish_reason": "stop"}],
        "usage": _wire_usage(usage),
    }
    return {
        "id": "batch_req_" + uuid.uuid4().hex,
        "custom_id": custom_id,
        "response": {"status_code": 200, "request_id": uuid.uuid4().hex, "body": body},
        "error": None,
        "quorvel": {
            "messages": _history(model),
            "tool_calls": _tool_contents(answer.tool_calls),
            "tool_results": _tool_contents(answer.tool_results),
            "usage": usage,
        },
    }


def _server_body(raw: Any) -> Any:
    if not isinstance(raw, (bytes, bytearray)):
        return None
    try:
        return json.loads(raw)
    except ValueError:
        return raw.decode("utf-8", "replace")


def failed(custom_id: str, model: LLModal | None, exc: BaseException, usage: Any = None) -> dict[str, Any]:
    status = getattr(exc, "status_code", None)
    code = getattr(exc, "code", None)
    if code is None or not isinstance(code, (str, int)):
        code = type(exc).__name__
    response = None
    if isinstance(status, int):
        response = {"status_code": status, "request_id": None, "body": _server_body(getattr(exc, "body", None))}
    return {
        "id": "batch_req_" + uuid.uuid4().hex,
        "custom_id": custom_id,
        "response": response,
        "error": {"code": code, "message": str(exc) or type(exc).__name__},
        "quorvel": {
            "messages": _history(model) if model is not None else None,
            "tool_calls": {},
            "tool_results": {},
            "usage": usage_fields(usage),
        },
    }


def encode(record: dict[str, Any]) -> bytes:
    """One output line, newline included."""
    return orjson.dumps(record, default=str) + b"\n"


def is_failure(record: Any) -> bool:
    """Whether an output line records a failed row."""
    if record.get("error") is not None:
        return True
    response = record.get("response")
    return not isinstance(response, dict) or response.get("status_code") != 200
