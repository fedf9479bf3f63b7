"""quorvel.cancel on synchronous calls, from the POST to the end of the body:
a whole answer being read, a status line that never comes, a wait between
tries.  The connection is shut down at once (the server sees it end), the
call ends as a stopped call (a whole answer is an empty record, a stream
simply ends), what arrived stays in the history, the per-call state is
reset, and the model and its thread's pool serve the next call."""

from __future__ import annotations

import gc
import json
import os
import random
import threading
import time

import pytest
import requests

import quorvel
from aio_support import SilentServer
from exchange_support import FALLBACK, history, isolated_config, printed, server, settings  # noqa: F401
from quorvel.modal import LLMResult, LLModal, LLMStatus
from quorvel.testing import ChatServer, Reply, text_chunk
from quorvel.tools import Tools

SLOW_WHOLE = ['{"choices": [{"message":', '{"content": "late"}}]}']


def make(url, stream=False, **fields):
    return LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {}, **fields)


def cancel_later(model, delay):
    fired: list[tuple[bool, float]] = []
    timer = threading.Timer(delay, lambda: fired.append((quorvel.cancel(model), time.monotonic())))
    timer.start()
    return timer, fired


def assert_idle(model):
    assert model.tool_calls == [] and model._tool_calls_count == 0 and model._close is False


def run(model):
    result = model.invoke("Hi")
    return list(result) if model.stream else result


def assert_stopped(model, result):
    if model.stream:
        assert result == []
    else:
        assert result == LLMResult() and result.status == LLMStatus.idle


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.timing
@pytest.mark.parametrize(
    "stream, headers",
    [(False, True), (False, False), (True, False)],
    ids=["whole mid-body", "whole before headers", "stream before headers"],
)
def test_cancel_from_another_thread_on_a_silent_server(capsys, stream, headers):
    with SilentServer(stream=stream, headers=headers) as silent:
        model = make(silent.url, stream=stream)
        timer, fired = cancel_later(model, 0.3)
        start = time.monotonic()
        result = run(model)
        elapsed = time.monotonic() - start
        timer.join()
        assert elapsed < 2.0
        assert_stopped(model, result)
        assert silent.wait_eof()
        ((was_in_flight, at),) = fired
        assert was_in_flight and silent.eof_at[0] - at < 0.25  # generous on a shared machine
        # a stopped call, not a failed one: no failure line, no fallback answer
        assert printed(capsys) == []
        assert history(model) == [("user", "Hi")]
        assert_idle(model)
        assert quorvel.cancel(model) is False
        assert silent.accepted == 1  # no further try


@pytest.mark.parametrize("stream", [False, True])
def test_the_model_and_its_pool_serve_the_next_call(server, stream):  # noqa: F811
    # The stopped exchange's connection was shut down: the next exchange on
    # this thread opens a new one, and the stop does not carry over.
    if stream:
        lines = [b"data: " + json.dumps(text_chunk(text)).encode() for text in ("z", "never")]
        server.add(Reply.raw_lines(lines, delay=2.0, newline=b"\n\n"), Reply.stream(["a", "b"]), Reply.text("c"))
    else:
        server.add(Reply.raw_lines(SLOW_WHOLE, delay=2.0, content_type="application/json"),
                   Reply.text("next"), Reply.text("c"))
    model = make(server.url, stream=stream)
    timer, fired = cancel_later(model, 0.3)
    stopped = run(model)
    assert "".join(r.content for r in stopped) == "z" if stream else stopped == LLMResult()
    timer.join()
    assert fired[0][0] is True
    assert server.wait_idle(5) and not server.requests[0].completed
    after = run(model)
    if stream:
        assert "".join(r.content for r in after) == "ab"
    else:
        assert after.content == "next"
    assert server.connections_opened == 2
    model.extra_body = {}
    assert model.invoke("again").content == "c"  # the connection of the last one is kept
    assert server.connections_opened == 2
    stopped_turn = [("user", "Hi"), ("assistant", "z")] if stream else [("user", "Hi")]
    assert history(model) == stopped_turn + [
        ("user", "Hi"), ("assistant", "ab" if stream else "next"), ("user", "again"), ("assistant", "c"),
    ]


def test_cancel_with_nothing_in_flight_is_a_no_op(server):  # noqa: F811
    server.add(Reply.text("one"), Reply.text("two"))
    model = make(server.url)
    assert quorvel.cancel(model) is False
    assert model.invoke("a").content == "one"
    assert quorvel.cancel(model) is False
    assert model.invoke("b").content == "two"
    assert history(model) == [("user", "a"), ("assistant", "one"), ("user", "b"), ("assistant", "two")]


@pytest.mark.timing
def test_cancel_during_a_retry_wait_makes_no_further_try(server, settings, capsys):  # noqa: F811
    settings(max_retries=3)
    server.add(Reply.status(503, "busy", headers={"Retry-After": "30"}), Reply.text("never"))
    model = make(server.url)
    timer, _ = cancel_later(model, 0.3)
    start = time.monotonic()
    assert model.invoke("Hi") == LLMResult()
    assert time.monotonic() - start < 2.0
    timer.join()
    time.sleep(0.1)
    assert len(server.requests) == 1 and server.pending == 1
    assert printed(capsys) == [] and history(model) == [("user", "Hi")]
    assert_idle(model)


def test_cancel_during_the_follow_up_keeps_the_tool_round(server, capsys):  # noqa: F811
    # As the async whole call: the call is an empty record; the tool round
    # that arrived stays in the history, with its results.
    ran = []

    def add(a: int, b: int) -> int:
        ran.append((a, b))
        return a + b

    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})]),
               Reply.raw_lines(SLOW_WHOLE, delay=3.0, content_type="application/json"))
    model = make(server.url, tools=Tools(add))
    timer, fired = cancel_later(model, 0.4)
    assert model.invoke("Hi") == LLMResult()
    timer.join()
    assert fired[0][0] is True and ran == [(1, 2)]
    assert history(model) == [("user", "Hi"), ("assistant", ["c1"]), ("tool", "3")]
    assert printed(capsys) == []
    assert_idle(model)
    assert server.wait_idle(5) and not server.requests[1].completed


def test_a_replaced_post_is_dropped_when_it_returns(server, monkeypatch):  # noqa: F811
    # A replaced requests.post cannot be interrupted; what it returns for a
    # stopped exchange is discarded.
    server.add(Reply.text("dropped"), Reply.text("kept"))
    original = requests.post

    def slow_post(url, **kwargs):
        time.sleep(0.5)
        return original(url, **kwargs)

    monkeypatch.setattr(requests, "post", slow_post)
    model = make(server.url)
    timer, fired = cancel_later(model, 0.1)
    assert model.invoke("Hi") == LLMResult()
    timer.join()
    assert fired[0][0] is True and history(model) == [("user", "Hi")]
    assert model.invoke("again").content == "kept"


@pytest.mark.parametrize("seed", range(10))
def test_cancel_at_a_random_point(seed):
    # Whenever the stop lands (POST, body, tools, follow-up, or after the
    # end), the call ends either complete or stopped, never failed, and
    # nothing of it runs later.
    rng = random.Random(seed)
    ran = []

    def add(a: int, b: int) -> int:
        ran.append("add")
        return a + b

    stream = seed % 2 == 1
    with ChatServer() as srv:
        srv.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=stream, delay=0.02),
                Reply.raw_lines(SLOW_WHOLE, delay=0.1, content_type="application/json")
                if not stream else Reply.stream(["x", "y"], delay=0.05))
        model = make(srv.url, stream=stream, tools=Tools(add))
        timer, fired = cancel_later(model, rng.uniform(0, 0.3))
        result = run(model)
        timer.join()
        seen = (history(model), list(ran))
        assert ("assistant", FALLBACK) not in seen[0]
        assert_idle(model)
        if not stream and result != LLMResult():
            assert result.content == "late" and seen[0][-1] == ("assistant", "late")
        time.sleep(0.2)
        assert (history(model), ran) == seen
        assert srv.wait_idle(3)
    model.extra_body = {}
    with ChatServer() as fresh:
        model.endpoint_url = fresh.url
        fresh.add(Reply.text("after"))
        assert model.invoke("again").content == "after"
        assert fresh.requests[0].json["messages"][-1] == {"role": "user", "content": "again"}


def test_no_descriptor_or_thread_is_left_behind():
    def stopped_call(model, n):
        # stopped once the server has the request, so that it sees the EOF
        silent.answered.clear()
        stopper = threading.Thread(target=lambda: silent.answered.wait(5) and quorvel.cancel(model))
        stopper.start()
        assert model.invoke(f"Hi {n}") == LLMResult()
        stopper.join()

    def settled(fds, threads):
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            gc.collect()
            if open_fds() <= fds and threading.active_count() <= threads:
                return True
            time.sleep(0.02)
        return False

    with SilentServer(stream=False, headers=False) as silent:
        model = make(silent.url)
        stopped_call(model, 0)  # this thread's pool exists from here on
        assert silent.wait_eof(1)
        time.sleep(0.05)
        fds, threads = open_fds(), threading.active_count()
        for n in range(1, 5):
            stopped_call(model, n)
        assert silent.wait_eof(5)
        assert settled(fds, threads)


@pytest.mark.parametrize("stream", [False, True])
def test_cancel_while_tools_run_ends_the_call_after_them(server, capsys, stream):  # noqa: F811
    # A running tool is not interrupted; the stop is kept, its results stay
    # in the history, and no follow-up is asked for.
    def slow(x: int) -> int:
        time.sleep(0.4)
        return x

    server.add(Reply.tool_calls([("c1", "slow", {"x": 7})], stream=stream), Reply.text("never"))
    model = make(server.url, stream=stream, tools=Tools(slow))
    timer, fired = cancel_later(model, 0.2)
    result = run(model)
    timer.join()
    assert fired[0][0] is True
    if stream:
        assert [r.status for r in result] == [LLMStatus.tool_calls]
    else:
        assert result == LLMResult()
    assert len(server.requests) == 1 and server.pending == 1
    assert history(model) == [("user", "Hi"), ("assistant", ["c1"]), ("tool", "7")]
    assert printed(capsys) == []
    assert_idle(model)
    assert quorvel.cancel(model) is False
