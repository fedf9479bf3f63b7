"""Tests for the loopback chat-completion server and offline response helpers."""

from __future__ import annotations

import json
import threading
import time

import pytest
import requests

from quorvel.testing import (
    ChatServer,
    Reply,
    finish_chunk,
    response_from_bytes,
    role_chunk,
    sse_body,
    text_chunk,
    tool_call_chunk,
)


@pytest.fixture
def server():
    with ChatServer() as srv:
        yield srv


def stream_lines(server: ChatServer, **kwargs) -> list[bytes]:
    with requests.post(server.url, json={"stream": True}, stream=True, timeout=10, **kwargs) as r:
        assert r.status_code == 200
        assert r.headers["Content-Type"] == "text/event-stream"
        return list(r.iter_lines())


def deltas(lines: list[bytes]) -> list[dict]:
    return [json.loads(line[6:])["choices"][0] for line in lines if line.startswith(b"data: {")]


def test_whole_answer_and_recorded_request(server):
    server.add(Reply.text("Hello", reasoning="thinking"))
    r = requests.post(server.url, json={"model": "m", "messages": []}, headers={"X-Trace-Id": "abc"}, timeout=10)
    assert r.status_code == 200
    assert r.headers["Content-Type"] == "application/json"
    body = r.json()
    assert body["object"] == "chat.completion"
    assert body["choices"] == [
        {
            "index": 0,
            "message": {"role": "assistant", "content": "Hello", "reasoning_content": "thinking"},
            "finish_reason": "stop",
        }
    ]
    (rec,) = server.requests
    assert (rec.method, rec.path) == ("POST", "/v1/chat/completions")
    assert rec.json == {"model": "m", "messages": []}
    assert json.loads(rec.body) == rec.json
    assert "X-Trace-Id" in list(rec.headers)  # name as sent
    assert rec.headers["x-trace-id"] == "abc" and rec.headers.get("X-TRACE-ID") == "abc"
    assert "content-type" in rec.headers


@pytest.mark.parametrize(
    "reply, message, finish",
    [
        (Reply.text("plain"), {"role": "assistant", "content": "plain"}, "stop"),
        (
            Reply.tool_calls([("call_1", "add", '{"a": 1}'), ("call_2", "neg", {"x": 2})]),
            {
                "role": "assistant",
                "content": None,
                "tool_calls": [
                    {"id": "call_1", "type": "function", "function": {"name": "add", "arguments": '{"a": 1}'}},
                    {"id": "call_2", "type": "function", "function": {"name": "neg", "arguments": '{"x": 2}'}},
                ],
            },
            "tool_calls",
        ),
        (
            Reply.tool_calls([("c", "f", "{}")], with_index=True, content="calling"),
            {
                "role": "assistant",
                "content": "calling",
                "tool_calls": [{"index": 0, "id": "c", "type": "function", "function": {"name": "f", "arguments": "{}"}}],
            },
            "tool_calls",
        ),
    ],
)
def test_whole_answer_messages(server, reply, message, finish):
    server.add(reply)
    choice = requests.post(server.url, json={}, timeout=10).json()["choices"][0]
    assert choice["message"] == message
    assert choice["finish_reason"] == finish


@pytest.mark.parametrize(
    "reply, code, content_type, body",
    [
        (Reply.status(500, "overloaded"), 500, "text/plain; charset=utf-8", b"overloaded"),
        (Reply.status(429, {"error": "slow down"}), 429, "application/json", b'{"error": "slow down"}'),
        (Reply.error("bad key", code=401), 200, "application/json", b'{"error": {"message": "bad key", "code": 401}}'),
    ],
)
def test_error_replies(server, reply, code, content_type, body):
    server.add(reply)
    r = requests.post(server.url, json={}, timeout=10)
    assert (r.status_code, r.headers["Content-Type"], r.content) == (code, content_type, body)


def test_stream_lines_in_order(server):
    server.add(Reply.stream(["Hel", "lo"], reasoning=["thin", "king"]))
    lines = stream_lines(server)
    # every data line is followed by its own empty line
    assert lines[1::2] == [b""] * (len(lines) // 2)
    assert lines[-2] == b"data: [DONE]"
    choices = deltas(lines)
    assert [c["delta"] for c in choices] == [
        {"role": "assistant"},
        {"reasoning_content": "thin"},
        {"reasoning_content": "king"},
        {"content": "Hel"},
        {"content": "lo"},
        {},
    ]
    assert [c["finish_reason"] for c in choices] == [None] * 5 + ["stop"]


@pytest.mark.parametrize(
    "options, finished, done, tail",
    [
        ({"finish": False}, False, True, []),
        ({"done": False}, True, False, []),
        ({"trailing_lines": [b"garbage{", b"x"]}, True, True, [b"garbage{", b"x"]),
    ],
)
def test_stream_endings(server, options, finished, done, tail):
    server.add(Reply.stream("hi", **options))
    lines = stream_lines(server)
    assert (deltas(lines)[-1]["finish_reason"] == "stop") is finished
    assert (b"data: [DONE]" in lines) is done
    assert lines[len(lines) - len(tail) :] == tail


def test_stream_reasoning_field(server):
    server.add(Reply.stream([], reasoning="r", reasoning_field="reasoning"))
    assert deltas(stream_lines(server))[1]["delta"] == {"reasoning": "r"}


@pytest.mark.parametrize("interleave", [True, False])
def test_streamed_tool_calls_fragments(server, interleave):
    calls = [("call_1", "add", '{"a": 1, "b": 2}'), ("call_2", "mul", '{"x": 10, "y": 20}')]
    server.add(Reply.tool_calls(calls, stream=True, fragment=5, interleave=interleave))
    choices = deltas(stream_lines(server))
    assert choices[-1] == {"index": 0, "delta": {}, "finish_reason": "tool_calls"}
    parts = [c["delta"]["tool_calls"] for c in choices if "tool_calls" in c["delta"]]
    assert all(len(p) == 1 for p in parts)
    order = [p[0]["index"] for p in parts]
    args = {0: "", 1: ""}
    for (part,) in parts:
        i = part["index"]
        if "id" in part:
            assert args[i] == "" and part["function"]["arguments"] == ""
            assert (part["id"], part["type"], part["function"]["name"]) == (calls[i][0], "function", calls[i][1])
        else:
            assert set(part) == {"index", "function"}
            assert 0 < len(part["function"]["arguments"]) <= 5
        args[i] += part["function"]["arguments"]
    assert args == {0: calls[0][2], 1: calls[1][2]}
    assert (order != sorted(order)) is interleave


@pytest.mark.timing
def test_stream_is_lazy(server):
    server.add(Reply.raw_lines([b"data: 1", b"data: 2", b"data: 3", b"data: 4", b"data: 5"], delay=0.3))
    start = time.monotonic()
    arrivals = []
    with requests.post(server.url, json={}, stream=True, timeout=10) as r:
        for line in r.iter_lines():
            arrivals.append((time.monotonic() - start, line))
    assert [line for _, line in arrivals] == [b"data: 1", b"data: 2", b"data: 3", b"data: 4", b"data: 5"]
    # the first line arrives long before the last one is written
    assert arrivals[0][0] < 0.8
    assert arrivals[-1][0] >= 1.1
    gaps = [b[0] - a[0] for a, b in zip(arrivals, arrivals[1:])]
    assert sum(gaps) > 0.9 and min(gaps) > 0.05


def test_raw_lines_exact_bytes_and_abort(server):
    server.add(Reply.raw_lines([b"data: {", b"", b": keep-alive"], newline=b"\r\n"))
    server.add(Reply.raw_lines([b"data: partial"], abort=True))
    with requests.post(server.url, json={}, stream=True, timeout=10) as r:
        assert b"".join(r.iter_content(None)) == b"data: {\r\n\r\n: keep-alive\r\n"
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        with requests.post(server.url, json={}, stream=True, timeout=10) as r:
            list(r.iter_lines())


def test_fifo_then_exhausted(server):
    server.add(Reply.text("one"), Reply.text("two"))
    got = [requests.post(server.url, json={}, timeout=10) for _ in range(3)]
    assert [r.json()["choices"][0]["message"]["content"] for r in got[:2]] == ["one", "two"]
    assert got[2].status_code == 500
    assert "no reply is scripted" in got[2].json()["error"]["message"]
    assert len(server.requests) == 3 and server.pending == 0


def test_callable_replies(server):
    server.add(lambda req: Reply.text(f"echo {req.json['n']} {req.headers['x-n']}"))
    server.add(lambda req: 1 / 0)
    r = requests.post(server.url, json={"n": 7}, headers={"X-N": "h"}, timeout=10)
    assert r.json()["choices"][0]["message"]["content"] == "echo 7 h"
    r = requests.post(server.url, json={}, timeout=10)
    assert r.status_code == 500 and "ZeroDivisionError" in r.json()["error"]["message"]


def test_non_json_and_chunked_request_bodies(server):
    server.add(Reply.text("a"), Reply.text("b"))
    requests.post(server.url, data=b"not json", timeout=10)
    requests.post(server.url, data=iter([b'{"a": ', b"[1, 2]}"]), timeout=10)  # sent chunked
    first, second = server.requests
    assert (first.body, first.json) == (b"not json", None)
    assert second.headers["Transfer-Encoding"] == "chunked"
    assert second.json == {"a": [1, 2]}


def test_concurrent_requests_are_all_recorded(server):
    n = 16
    server.add(*[lambda req: Reply.text(str(req.json["i"]))] * n)
    answers: dict[int, str] = {}

    def post(i: int) -> None:
        answers[i] = requests.post(server.url, json={"i": i}, timeout=10).json()["choices"][0]["message"]["content"]

    threads = [threading.Thread(target=post, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert answers == {i: str(i) for i in range(n)}
    assert sorted(req.json["i"] for req in server.requests) == list(range(n))


def test_client_stopping_early_is_observable(server):
    server.add(Reply.raw_lines([b"data: x"] * 50, delay=0.02))
    with requests.post(server.url, json={}, stream=True, timeout=10) as r:
        next(r.iter_lines())
    assert server.wait_idle(5)
    (rec,) = server.requests
    assert not rec.completed and 0 < rec.lines_sent < 50


@pytest.mark.timing
def test_shutdown_mid_stream_is_quick():
    srv = ChatServer().start()
    srv.add(Reply.raw_lines([b"data: x"] * 100, delay=1.0))
    r = requests.post(srv.url, json={}, stream=True, timeout=10)
    lines = r.iter_lines()
    assert next(lines) == b"data: x"
    start = time.monotonic()
    srv.close()
    assert time.monotonic() - start < 1.0
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        list(lines)
    assert time.monotonic() - start < 2.0
    assert not srv.requests[0].completed


# -- offline helpers ---------------------------------------------------------------


@pytest.mark.parametrize("chunk_size", [None, 1, 8])
def test_response_from_bytes_lines(chunk_size):
    chunks = [role_chunk(), text_chunk("héllo wörld", reasoning="r"), finish_chunk("stop")]
    body = sse_body(chunks)
    r = response_from_bytes(body, chunk_size=chunk_size, headers={"Content-Type": "text/event-stream"})
    lines = [line for line in r.iter_lines() if line]
    assert [json.loads(line[6:]) for line in lines[:-1]] == chunks
    assert lines[-1] == b"data: [DONE]"


def test_response_from_bytes_read_sizes():
    r = response_from_bytes(b"x" * 20, chunk_size=8)
    assert [len(r.raw.read(100)) for _ in range(4)] == [8, 8, 4, 0]
    assert [len(c) for c in response_from_bytes(b"x" * 20, chunk_size=8).iter_content(64)] == [8, 8, 4]


def test_response_from_bytes_whole():
    r = response_from_bytes(
        '{"msg": "é"}'.encode(), status=404, chunk_size=3, headers={"content-type": "application/json"}
    )
    assert r.json() == {"msg": "é"}
    assert r.content == '{"msg": "é"}'.encode() and r.text == '{"msg": "é"}'
    assert (r.status_code, r.ok, r.headers["Content-Type"]) == (404, False, "application/json")
    with pytest.raises(requests.HTTPError):
        r.raise_for_status()


@pytest.mark.parametrize(
    "chunk, delta",
    [
        (tool_call_chunk(1, "c", "f"), {"tool_calls": [{"index": 1, "id": "c", "type": "function", "function": {"name": "f", "arguments": ""}}]}),
        (tool_call_chunk(1, arguments='{"a'), {"tool_calls": [{"index": 1, "function": {"arguments": '{"a'}}]}),
        (text_chunk(), {}),
        (text_chunk(reasoning="r", reasoning_field="reasoning"), {"reasoning": "r"}),
    ],
)
def test_chunk_builders(chunk, delta):
    assert chunk["object"] == "chat.completion.chunk"
    assert chunk["choices"] == [{"index": 0, "delta": delta, "finish_reason": None}]


def test_sse_body_framing():
    assert sse_body([{"a": 1}, {"b": 2}]) == b'data: {"a":1}\n\ndata: {"b":2}\n\ndata: [DONE]\n\n'
    assert sse_body([], done=False) == b""
