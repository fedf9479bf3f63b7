"""Timeouts, retries and pooled connections, against real sockets on loopback."""

from __future__ import annotations

import email.utils
import gc
import json
import logging
import socket
import time

import pytest
import requests

import quorvel._transport as transport
from exchange_support import FALLBACK, history, isolated_config, printed, server, settings, tools, waits  # noqa: F401
from quorvel.modal import LLModal, ServerError
from quorvel.testing import Reply, role_chunk, text_chunk

# Timeouts are short; bounds on elapsed time are loose (shared, slow machines).
SHORT = 0.5
MARGIN = 3.0


def make(url, stream=False, **fields):
    return LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {}, **fields)


def consume(result, stream):
    return list(result) if stream else result


@pytest.fixture
def silent_url():
    """A server that accepts connections (the kernel does) and never answers."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        yield f"http://127.0.0.1:{listener.getsockname()[1]}/v1/chat/completions"


@pytest.fixture
def unreachable_url():
    """A server whose accept queue is full: a new connection never completes."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        with socket.create_connection(("127.0.0.1", port)):
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                    pytest.skip("this system completes connections beyond a full accept queue")
            except TimeoutError:
                pass
            yield f"http://127.0.0.1:{port}/v1/chat/completions"


def closed_port_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


def data(chunk) -> str:
    return f"data: {json.dumps(chunk)}"


# ---- settings -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "option, value",
    [
        ("timeout", "0"), ("timeout", "-1"), ("timeout", "soon"), ("timeout", "nan"), ("timeout", "inf"),
        ("connect_timeout", "0"), ("connect_timeout", ""),
        ("max_retries", "-1"), ("max_retries", "1.5"), ("max_retries", "two"),
    ],
)
def test_invalid_setting_fails_before_anything_is_posted(server, settings, capsys, option, value):
    settings(**{option: value})
    model = make(server.url, system_prompt="sys")
    with pytest.raises(ValueError) as raised:
        model.invoke("Hi")
    assert repr(option) in str(raised.value) and repr(value) in str(raised.value)
    assert model.messages == [] and server.requests == [] and printed(capsys) == []


def test_settings_come_from_the_models_own_section_and_the_ini_file(server, tmp_path, monkeypatch):
    ini = tmp_path / "quorvel.ini"
    ini.write_text("[alt]\ntimeout = -5\n[llm]\ntimeout = 30\n")
    ini.chmod(0o600)
    monkeypatch.setenv("QUORVEL_CONFIG", str(ini))
    server.add(Reply.text("ok"))
    assert make(server.url).invoke("Hi").content == "ok"
    with pytest.raises(ValueError, match=r"'timeout' in section \[alt\].*'-5'"):
        make(server.url, section="alt").invoke("Hi")
    monkeypatch.setenv("QUORVEL_ALT_TIMEOUT", "2.5")  # the environment comes first
    assert transport.read_settings(__import__("quorvel.config").config.Configurator, "alt").timeout == 2.5


# ---- timeouts -----------------------------------------------------------------------------


@pytest.mark.parametrize("stream", [False, True])
def test_server_that_never_answers(silent_url, settings, capsys, stream):
    settings(timeout=SHORT)
    model = make(silent_url, stream)
    start = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout) as raised:
        model.invoke("Hi")
    assert SHORT * 0.9 <= time.monotonic() - start < SHORT + MARGIN
    assert printed(capsys) == [f"LLM request error: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


def test_connection_that_never_completes(unreachable_url, settings, capsys):
    settings(connect_timeout=SHORT, timeout=60)
    model = make(unreachable_url)
    start = time.monotonic()
    with pytest.raises(requests.exceptions.ConnectTimeout):
        model.invoke("Hi")
    assert time.monotonic() - start < SHORT + MARGIN
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.parametrize("answered_before_stall", [True, False])
def test_stream_that_stalls_midway(server, settings, capsys, answered_before_stall):
    settings(timeout=SHORT, max_retries=3)  # nothing is retried once the answer has begun
    first = text_chunk("a") if answered_before_stall else role_chunk()
    server.add(Reply.raw_lines([data(first), "", data(text_chunk("late"))], delay=SHORT + MARGIN + 2))
    model = make(server.url, stream=True)
    records = model.invoke("Hi")
    start = time.monotonic()
    got = []
    with pytest.raises(requests.exceptions.ConnectionError) as raised:
        for record in records:
            got.append(record.content)
    assert time.monotonic() - start < SHORT + MARGIN
    assert got == (["a"] if answered_before_stall else [])
    assert printed(capsys) == [f"Error parsing LLM response: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", "a" if answered_before_stall else FALLBACK)]
    assert len(server.requests) == 1


def test_whole_answer_that_stalls_midway(server, settings, capsys):
    settings(timeout=SHORT, max_retries=3)
    server.add(Reply.raw_lines(['{"choices": [', '{"message": {"content": "late"}}]}'], delay=SHORT + MARGIN + 2,
                               content_type="application/json"))
    model = make(server.url)
    with pytest.raises(requests.exceptions.ConnectionError) as raised:
        model.invoke("Hi")
    assert printed(capsys) == [f"LLM request error: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]
    assert len(server.requests) == 1


# ---- retries --------------------------------------------------------------------------------


def test_429_with_retry_after_then_200(server, settings, capsys, caplog):
    settings(max_retries=2)
    server.add(Reply.status(429, {"error": {"message": "slow down"}}, headers={"Retry-After": "1"}), Reply.text("ok"))
    model = make(server.url)
    start = time.monotonic()
    with caplog.at_level(logging.INFO, logger="quorvel"):
        assert model.invoke("Hi").content == "ok"
    assert 0.9 <= time.monotonic() - start < 1 + MARGIN
    (record,) = [r for r in caplog.records if r.name == "quorvel"]
    assert record.levelno == logging.INFO and "429" in record.getMessage() and "1.00 s" in record.getMessage()
    assert capsys.readouterr() == ("", "")
    assert history(model) == [("user", "Hi"), ("assistant", "ok")]
    assert len(server.requests) == 2 and server.requests[0].json == server.requests[1].json


@pytest.mark.parametrize("stream", [False, True])
def test_503_three_times_exhausts_two_retries(server, settings, waits, capsys, stream):
    settings(max_retries=2)
    server.add(*[Reply.status(503, "busy") for _ in range(3)], Reply.text("never sent"))
    model = make(server.url, stream)
    with pytest.raises(ServerError) as raised:
        model.invoke("Hi")
    assert raised.value.status_code == 503 and len(server.requests) == 3
    # exponential backoff with jitter: about 0.5 s, then about 1 s
    assert 0.375 <= waits[0] <= 0.5 and 0.75 <= waits[1] <= 1.0 and len(waits) == 2
    assert printed(capsys) == ["LLM request error: code: 503, content: b'busy'"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.parametrize(
    "status, retried",
    [(408, True), (409, True), (429, True), (500, True), (599, True), (400, False), (401, False), (404, False)],
)
def test_which_statuses_are_retried(server, settings, waits, status, retried):
    settings(max_retries=1)
    server.add(Reply.status(status, "no"), Reply.text("ok"))
    model = make(server.url)
    if retried:
        assert model.invoke("Hi").content == "ok"
    else:
        with pytest.raises(ServerError):
            model.invoke("Hi")
    assert len(server.requests) == (2 if retried else 1)


def test_no_retry_unless_asked(server, waits):
    server.add(Reply.status(503, "busy"), Reply.text("ok"))
    with pytest.raises(ServerError):
        make(server.url).invoke("Hi")
    assert len(server.requests) == 1 and waits == []


@pytest.mark.parametrize(
    "headers, expected",
    [
        ({"Retry-After": "3600"}, 60.0),
        ({"Retry-After": "0"}, 0.0),
        ({"retry-after-ms": "250"}, 0.25),
        ({"Retry-After": "HTTP date 30 s ahead"}, 30.0),
        ({"Retry-After": "whenever"}, None),
    ],
)
def test_retry_after(server, settings, waits, headers, expected):
    settings(max_retries=1)
    if headers.get("Retry-After") == "HTTP date 30 s ahead":
        headers = {"Retry-After": email.utils.formatdate(time.time() + 30, usegmt=True)}
    server.add(Reply.status(429, "", headers=headers), Reply.text("ok"))
    make(server.url).invoke("Hi")
    if expected is None:
        assert 0.375 <= waits[0] <= 0.5
    else:
        assert waits[0] == pytest.approx(expected, abs=2.0)


@pytest.mark.parametrize("stream", [False, True])
def test_connection_errors_are_retried(settings, waits, capsys, stream):
    settings(max_retries=2)
    model = make(closed_port_url(), stream)
    with pytest.raises(requests.exceptions.ConnectionError):
        model.invoke("Hi")
    assert len(waits) == 2
    assert len(printed(capsys)) == 1 and history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


def test_timeout_before_the_status_line_is_retried(silent_url, settings, waits):
    settings(timeout=0.2, max_retries=1)
    with pytest.raises(requests.exceptions.ReadTimeout):
        make(silent_url).invoke("Hi")
    assert len(waits) == 1


# ---- pooled connections ------------------------------------------------------------------------


def tool_round(stream):
    return Reply.tool_calls([("call_1", "add", {"a": 1, "b": 2})], stream=stream)


@pytest.mark.parametrize("stream", [False, True])
def test_three_round_tool_loop_uses_one_connection(server, tools, stream):
    server.add(tool_round(stream), tool_round(stream), tool_round(stream),
               Reply.stream(["done"]) if stream else Reply.text("done"))
    model = make(server.url, stream, tools=tools)
    result = consume(model.invoke("Add"), stream)
    assert (result[-1] if stream else result).content == "done"
    assert len(server.requests) == 4 and server.connections_opened == 1


@pytest.mark.parametrize("stream", [False, True])
def test_invokes_and_models_share_one_connection(server, stream):
    replies = [Reply.stream(["x"]) if stream else Reply.text("x") for _ in range(4)]
    server.add(*replies)
    first, second = make(server.url, stream), make(server.url, stream)
    for model in (first, first, second, first):
        consume(model.invoke("Hi"), stream)
    assert len(server.requests) == 4 and server.connections_opened == 1


def test_failed_statuses_keep_the_connection(server, settings, waits):
    settings(max_retries=2)
    server.add(Reply.status(503, "busy"), Reply.status(429, "slow"), Reply.text("ok"))
    assert make(server.url).invoke("Hi").content == "ok"
    assert server.connections_opened == 1


def test_stream_end_never_waits_for_the_server(server):
    server.add(Reply.raw_lines([data(text_chunk("a")), data(text_chunk("", finish_reason="stop")), "data: [DONE]"],
                               delay=0.0), Reply.text("next"))
    model = make(server.url, stream=True)
    assert [r.content for r in model.invoke("one")] == ["a"]
    model.extra_body = {}
    assert model.invoke("two").content == "next"
    assert server.connections_opened == 1  # the whole body had arrived: kept
    # The finishing chunk comes first; the rest of the body only much later.
    slow_tail = Reply.raw_lines([data(text_chunk("b", finish_reason="stop")), "", "data: [DONE]"], delay=MARGIN)
    server.add(slow_tail)
    model.extra_body = {"stream": True}
    start = time.monotonic()
    assert [r.content for r in model.invoke("three")] == ["b"]
    assert time.monotonic() - start < MARGIN * 0.9  # the tail was not waited for: closed instead
    server.add(Reply.text("after"))
    model.extra_body = {}
    assert model.invoke("four").content == "after"
    assert server.connections_opened == 2


@pytest.mark.parametrize("how", ["close flag", "dropped"])
def test_stopped_stream_closes_its_connection(server, how):
    server.add(Reply.stream(["a", "b", "c"], delay=0.2), Reply.text("next"))
    model = make(server.url, stream=True)
    records = model.invoke("Hi")
    assert next(records).content == "a"
    if how == "close flag":
        model._close = True
        assert list(records) == []
    else:
        del records
        gc.collect()
    model.extra_body = {}
    assert model.invoke("again").content == "next"
    assert server.connections_opened == 2
    server.wait_idle()
    assert not server.requests[0].completed


def test_stream_dropped_before_iteration_closes_its_connection(server):
    server.add(Reply.stream(["a"], delay=0.2), Reply.text("next"))
    model = make(server.url, stream=True)
    model.invoke("Hi")  # the generator is dropped at once
    model.extra_body = {}
    assert model.invoke("again").content == "next"
    assert server.connections_opened == 2


def test_replaced_post_is_called_as_before_without_pool(server, monkeypatch, settings):
    settings(timeout=5)
    calls = []
    original = requests.post

    def recording_post(*args, **kwargs):
        calls.append((args, kwargs))
        return original(*args, **kwargs)

    monkeypatch.setattr(requests, "post", recording_post)
    server.add(Reply.text("one"), Reply.text("two"))
    model = make(server.url)
    model.invoke("Hi")
    model.invoke("again")
    assert [args for args, _ in calls] == [(server.url,), (server.url,)]
    assert [sorted(kwargs) for _, kwargs in calls] == [["headers", "json", "stream"]] * 2
    assert calls[0][1]["json"] == server.requests[0].json and calls[0][1]["stream"] is False
    assert server.connections_opened == 2  # one-off requests.post: no pool
