"""invoke and _core_call end to end against the loopback chat server."""

from __future__ import annotations

import socket
import time

import pytest
import requests

from exchange_support import FALLBACK, history, isolated_config, printed, server  # noqa: F401
from quorvel.message import MessageRole
from quorvel.modal import LLModal, LLMResult, LLMStatus
from quorvel.testing import Reply


def make(server, stream=False, **fields):
    return LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {}, **fields)


def test_whole_answer(server):
    server.add(Reply.text("Hello", reasoning="think"))
    model = make(server, system_prompt="Be brief.")
    result = model.invoke("Hi")
    assert result == LLMResult(reasoning_content="think", content="Hello", status=LLMStatus.idle)
    (request,) = server.requests
    assert request.headers["Content-Type"] == "application/json" and "Authorization" not in request.headers
    assert request.json == {"messages": [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "Hi"}]}
    assert history(model) == [("system", "Be brief."), ("user", "Hi"), ("assistant", "Hello")]


def test_streamed_answer(server):
    server.add(Reply.stream(["Hel", "lo"], reasoning=["th", "ink"]))
    model = make(server, stream=True)
    records = [(r.status, r.reasoning_content, r.content) for r in model.invoke("Hi")]
    assert records == [
        (LLMStatus.reason, "th", ""), (LLMStatus.reason, "ink", ""),
        (LLMStatus.answer, "", "Hel"), (LLMStatus.answer, "", "lo"),
    ]
    assert server.requests[0].json["stream"] is True
    assert history(model) == [("user", "Hi"), ("assistant", "Hello")]


def test_api_key_header(server, monkeypatch):
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", "sk-test")
    server.add(Reply.text("ok"))
    make(server).invoke("Hi")
    assert server.requests[0].headers["Authorization"] == "Bearer sk-test"


def test_second_invoke_adds_no_second_system_message(server):
    server.add(Reply.text("one"), Reply.text("two"))
    model = make(server, system_prompt="sys")
    model.invoke("a")
    model.invoke("b")
    roles = [m["role"] for m in server.requests[1].json["messages"]]
    assert roles == ["system", "user", "assistant", "user"]


@pytest.mark.parametrize(
    "images, video, expected_user_entry",
    [
        ([], [], None),
        (["AAA"], [], [{"type": "image_url", "image_url": "data:image;base64,AAA"}]),
        ([], ["VVV"], None),
    ],
)
def test_empty_prompt(server, images, video, expected_user_entry):
    server.add(Reply.text("ok"))
    model = make(server, images=list(images), video=list(video))
    model.invoke("")
    sent = server.requests[0].json["messages"]
    if expected_user_entry is None:
        assert sent == []
        assert model.video == video
    else:
        assert sent == [{"role": "user", "content": expected_user_entry}]
        assert model.images == []


@pytest.mark.parametrize("prompt", [None, b"bytes", MessageRole.user])
def test_prompt_must_be_exactly_str(server, prompt):
    model = make(server, system_prompt="sys")
    with pytest.raises(TypeError, match="Argument 'prompt' has incorrect type"):
        model.invoke(prompt)
    assert model.messages == [] and server.requests == []


@pytest.mark.parametrize("stream", [False, True])
def test_status_500(server, capsys, stream):
    server.add(Reply.status(500, "overloaded"))
    model = make(server, stream=stream)
    model.tool_calls.append({"id": "stale"})
    with pytest.raises(ValueError) as raised:
        # in streaming mode the failure comes from invoke itself, before any
        # generator exists
        model.invoke("Hi")
    assert str(raised.value) == "code: 500, content: b'overloaded'"
    assert printed(capsys) == ["LLM request error: code: 500, content: b'overloaded'"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]
    assert model.tool_calls == [] and model._tool_calls_count == 0


@pytest.mark.parametrize("status", [201, 204])
def test_only_200_is_accepted(server, capsys, status):
    server.add(Reply.status(status, ""))
    with pytest.raises(ValueError, match=f"code: {status}, content: b''"):
        make(server).invoke("Hi")


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


@pytest.mark.parametrize("url, error", [(closed_port_url(), requests.ConnectionError), ("", requests.exceptions.MissingSchema)])
def test_request_failure(capsys, url, error):
    model = LLModal(endpoint_url=url)
    with pytest.raises(error) as raised:
        model.invoke("Hi")
    assert printed(capsys) == [f"LLM request error: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.timing
def test_stream_reads_nothing_before_iteration(server):
    server.add(Reply.stream(["a", "b"], delay=0.8))
    model = make(server, stream=True)
    start = time.monotonic()
    gen = model.invoke("Hi")
    # the body is still being written, slowly: invoke did not wait for it
    assert time.monotonic() - start < 0.7
    assert history(model) == [("user", "Hi")]
    assert [r.content for r in gen] == ["a", "b"]
    assert history(model) == [("user", "Hi"), ("assistant", "ab")]


def test_close_between_two_records(server):
    server.add(Reply.stream(["a", "b", "c", "d"], delay=0.05))
    model = make(server, stream=True)
    gen = model.invoke("Hi")
    assert next(gen).content == "a"
    model._close = True
    assert list(gen) == []
    assert model._close is False
    server.wait_idle()
    assert not server.requests[0].completed
    assert history(model) == [("user", "Hi"), ("assistant", "a")]


def test_requests_is_looked_up_at_each_call(server, monkeypatch):
    import quorvel.modal

    seen = []

    class Recording:
        @staticmethod
        def post(*args, **kwargs):
            seen.append((args, sorted(kwargs)))
            return requests.post(*args, **kwargs)

    server.add(Reply.text("ok"))
    monkeypatch.setattr(quorvel.modal, "requests", Recording)
    make(server).invoke("Hi")
    assert seen == [((server.url,), ["headers", "json", "stream"])]
