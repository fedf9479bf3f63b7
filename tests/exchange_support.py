"""Shared pieces of the exchange tests: an isolated configuration, the loopback
server, a real tool registry and small builders of in-memory answers."""

from __future__ import annotations

import json

import pytest

from quorvel.testing import ChatServer, response_from_bytes, sse_body
from quorvel.tools import Tools

FALLBACK = "The server is busy. Please try again later."


@pytest.fixture(autouse=True)
def isolated_config(tmp_path, monkeypatch):
    """No API key from the developer's own configuration leaks into a test."""
    monkeypatch.setenv("QUORVEL_CONFIG", str(tmp_path / "absent.ini"))
    monkeypatch.delenv("QUORVEL_LLM_API_KEY", raising=False)


@pytest.fixture
def server():
    with ChatServer() as srv:
        yield srv


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


def shout(text: str) -> str:
    """Upper-case a text."""
    return text.upper()


@pytest.fixture
def tools():
    return Tools(add, shout)


def whole(message: dict | None = None, **document) -> "requests.Response":  # noqa: F821
    """An in-memory whole answer whose choice 0 carries `message`."""
    if message is not None:
        document.setdefault("choices", [{"index": 0, "message": message, "finish_reason": "stop"}])
    return response_from_bytes(json.dumps(document).encode())


def streamed(*items, done: bool = True):
    """An in-memory streamed answer: dict items are chunks, bytes items raw lines."""
    lines = []
    for item in items:
        lines.append(item if isinstance(item, bytes) else b"data: " + json.dumps(item).encode())
        lines.append(b"")
    if done:
        lines += [b"data: [DONE]", b""]
    return response_from_bytes(b"".join(line + b"\n" for line in lines))


def chunk(delta=None, finish_reason=None, **extra):
    choice = {"index": 0, "finish_reason": finish_reason}
    if delta is not None:
        choice["delta"] = delta
    return {"object": "chat.completion.chunk", "choices": [choice], **extra}


def printed(capsys) -> list[str]:
    return capsys.readouterr().out.splitlines()


def history(model) -> list[tuple[str, object]]:
    """Role and current version of every entry (tool-call entries as their ids)."""
    out = []
    for m in model.messages:
        if m.tool_calls:
            out.append((str(m.role), [c["id"] for c in m.tool_calls]))
        else:
            out.append((str(m.role), m.contents[-1]))
    return out


__all__ = [
    "FALLBACK", "isolated_config", "server", "tools", "add", "shout", "whole", "streamed", "chunk",
    "printed", "history", "sse_body",
]


@pytest.fixture
def settings(monkeypatch):
    """Sets options of the default section through the environment."""

    def set_options(**options):
        for option, value in options.items():
            monkeypatch.setenv(f"QUORVEL_LLM_{option.upper()}", str(value))

    return set_options


@pytest.fixture
def waits(monkeypatch):
    """The waits between retries, recorded instead of slept."""
    import quorvel._transport as transport

    seen: list[float] = []
    monkeypatch.setattr(transport, "_sleep", seen.append)
    return seen
