"""A streamed request answered with one JSON document (servers that ignore
"stream": true): decoded as a whole answer and given as records.  A body that
is neither data lines nor such a document fails with a clear message."""

from __future__ import annotations

import json

import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server, tools  # noqa: F401
from quorvel.modal import LLModal, LLMStatus, ToolContent
from quorvel.testing import Reply, sse_body, text_chunk

NEITHER = "The server's answer to a streamed request is neither data lines nor one chat completion"


def completion(message):
    return {"id": "x", "object": "chat.completion", "choices": [{"index": 0, "message": message,
                                                                  "finish_reason": "stop"}]}


def streaming(server, tools=None):
    extra = {} if tools is None else {"tools": tools}
    return LLModal(endpoint_url=server.url, extra_body={"stream": True}, **extra)


def summary(records):
    return [(r.status, r.reasoning_content, r.content) for r in records]


@pytest.mark.parametrize(
    "content_type, layout",
    [
        ("application/json", "compact"),
        ("application/json; charset=utf-8", "indented"),
        ("text/event-stream", "compact"),  # no data: line, and the body parses as one completion
        ("text/plain", "indented"),
    ],
)
def test_whole_answer_to_a_streamed_request_gives_records(server, content_type, layout):
    document = completion({"role": "assistant", "content": "Hello", "reasoning_content": "think"})
    body = json.dumps(document, indent=2 if layout == "indented" else None)
    server.add(Reply.status(200, body, headers={"Content-Type": content_type}))
    model = streaming(server)
    records = list(model.invoke("Hi"))
    assert summary(records) == [(LLMStatus.reason, "think", ""), (LLMStatus.answer, "", "Hello")]
    assert history(model) == [("user", "Hi"), ("assistant", "Hello")]


def test_whole_answer_with_tool_calls_runs_the_round(server, tools):
    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})]), Reply.stream(["3"]))
    model = streaming(server, tools)
    records = list(model.invoke("go"))
    assert [r.status for r in records] == [LLMStatus.tool_calls, LLMStatus.tool_results, LLMStatus.answer]
    assert records[1].tool_results == {"c1": ToolContent(name="add", content="3")}
    assert history(model) == [("user", "go"), ("assistant", ["c1"]), ("tool", "3"), ("assistant", "3")]


@pytest.mark.parametrize(
    "body, content_type",
    [
        ("<html><body>Bad gateway</body></html>", "text/html"),
        ('{"detail": "not a completion"}', "text/plain"),
        ("just some text\nover two lines", "text/event-stream"),
    ],
)
def test_neither_stream_nor_completion_fails_clearly(server, capsys, body, content_type):
    server.add(Reply.status(200, body, headers={"Content-Type": content_type}))
    model = streaming(server)
    with pytest.raises(ValueError) as raised:
        list(model.invoke("Hi"))
    assert str(raised.value).startswith(NEITHER)
    assert printed(capsys) == [f"Error parsing LLM response: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.parametrize("content_type", ["text/event-stream", "text/plain", "application/octet-stream", "", None])
def test_streams_with_other_content_types_keep_working(server, content_type):
    headers = {} if content_type is None else {"Content-Type": content_type}
    body = sse_body([text_chunk("Hel"), text_chunk("lo"), text_chunk("", finish_reason="stop")])
    server.add(Reply.status(200, body, headers=headers))
    assert [r.content for r in streaming(server).invoke("Hi")] == ["Hel", "lo"]


def test_push_decoder_gives_a_whole_answer_at_finish():
    from quorvel.message import MessageRole
    from quorvel.modal import _PushDecoder

    model = LLModal()
    model.add_message(role=MessageRole.user, content="Hi")
    decoder = _PushDecoder(model, True)
    body = json.dumps(completion({"role": "assistant", "content": "Hello", "reasoning_content": "think"}),
                      indent=2).encode()
    assert decoder.feed(body[:7]) == [] and decoder.feed(body[7:]) == []
    assert summary(decoder.finish()) == [(LLMStatus.reason, "think", ""), (LLMStatus.answer, "", "Hello")]
    assert decoder.already_added and history(model) == [("user", "Hi"), ("assistant", "Hello")]

    neither = _PushDecoder(LLModal(), True)
    neither.feed(b"<html>\n")
    with pytest.raises(ValueError, match=f"^{NEITHER}"):
        neither.finish()
