"""Stopping async calls: task.cancel(), quorvel.cancel from another thread or
task, the _close flag, and streams dropped unfinished.  Whatever stops a
call, the connection is closed, what arrived stays in the history, the
per-call state is reset, the instance is free again, and nothing of the
call runs later."""

from __future__ import annotations

import asyncio
import gc
import json
import random
import threading
import time

import pytest

import quorvel
from aio_support import SilentServer
from exchange_support import FALLBACK, history, isolated_config, server  # noqa: F401
from quorvel import _inflight, aio
from quorvel.modal import LLModal, LLMStatus
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools


def make(url, stream=False, **fields):
    return LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {}, **fields)


def assert_idle(model):
    assert model.tool_calls == [] and model._tool_calls_count == 0


def cancel_later(model, delay):
    done: list[tuple[bool, float]] = []

    def fire():
        done.append((quorvel.cancel(model), time.monotonic()))

    timer = threading.Timer(delay, fire)
    timer.start()
    return timer, done


@pytest.mark.timing
@pytest.mark.parametrize("stream", [True, False])
async def test_cancel_from_another_thread_on_a_silent_server(stream):
    with SilentServer(stream=stream) as silent:
        model = make(silent.url)
        timer, fired = cancel_later(model, 0.3)
        start = time.monotonic()
        if stream:
            records = [r async for r in aio.astream(model, "Hi")]
            assert records == []  # the stream ends as a stopped one: no error, no further record
        else:
            result = await aio.ainvoke(model, "Hi")
            assert (result.content, result.status, result.tool_calls) == ("", LLMStatus.idle, {})
        timer.join()
        assert time.monotonic() - start < 2.0
        assert silent.wait_eof()
        (was_in_flight, at), = fired
        assert was_in_flight and silent.eof_at[0] - at < 0.25  # generous on a shared machine
        assert history(model) == [("user", "Hi")]  # nothing failed: no fallback answer
        assert_idle(model)
        assert quorvel.cancel(model) is False  # nothing in flight any more
    assert model._close is False


async def test_cancel_from_another_task_keeps_what_arrived(server):  # noqa: F811
    server.add(Reply.stream(["a", "b", "c", "d"], delay=0.15), Reply.text("next"))
    model = make(server.url)
    got = []

    async def consume():
        async for record in aio.astream(model, "Hi"):
            got.append(record.content)
            if record.content == "b":
                asyncio.get_running_loop().call_later(0.05, quorvel.cancel, model)

    await asyncio.wait_for(consume(), 5)
    assert got == ["a", "b"]
    assert history(model) == [("user", "Hi"), ("assistant", "ab")]
    assert server.wait_idle() and not server.requests[0].completed
    assert (await aio.ainvoke(model, "again")).content == "next"


async def test_cancel_between_records_ends_the_stream_at_the_next_step(server):  # noqa: F811
    server.add(Reply.stream(["a", "b", "c"], delay=0.1))
    model = make(server.url)
    stream = await aio.astream(model, "Hi")
    first = await stream.__anext__()
    assert first.content == "a"
    assert quorvel.cancel(model) is True
    await asyncio.sleep(0.05)  # the connection is closed meanwhile
    assert [r async for r in stream] == []
    assert history(model) == [("user", "Hi"), ("assistant", "a")]
    assert quorvel.cancel(model) is False


async def test_close_flag_stops_the_stream_before_tools_run(server):  # noqa: F811
    ran = []

    def add(a: int, b: int) -> int:
        ran.append((a, b))
        return a + b

    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=True), Reply.text("never"))
    model = make(server.url, tools=Tools(add))
    statuses = []
    async for record in aio.astream(model, "Hi"):
        statuses.append(record.status)
        model._close = True
    assert statuses == [LLMStatus.tool_calls]
    assert ran == [] and model._close is False and len(server.requests) == 1
    assert history(model) == [("user", "Hi")]
    assert_idle(model)


async def test_cancel_is_a_no_op_without_a_call():
    model = LLModal()
    assert quorvel.cancel(model) is False
    assert quorvel.cancel is _inflight.cancel


def test_inflight_table_is_weak_and_closes_each_body_once():
    model = LLModal()
    closed = []
    first = _inflight.track(model, lambda: closed.append("first"))
    _inflight.track(model, lambda: closed.append("second"))
    _inflight.untrack(model, first)
    _inflight.track(model, lambda: 1 / 0)  # a failing closer does not keep the others open
    assert _inflight.cancel(model) is True and closed == ["second"]
    assert _inflight.cancel(model) is False
    _inflight.track(model, lambda: None)
    del model
    gc.collect()
    assert _inflight._open == {}


# ---- task.cancel() ---------------------------------------------------------------------------


def tool_script(stream):
    calls = [("c1", "add", {"a": 1, "b": 2}), ("c2", "slow", {"x": 1})]
    if stream:
        return [Reply.tool_calls(calls, stream=True, delay=0.01), Reply.stream(["x", "y", "z"], delay=0.02)]
    return [Reply.tool_calls(calls), Reply.raw_lines(['{"choices": [{"message":', '{"content": "late"}}]}'],
                                                     delay=0.05, content_type="application/json")]


@pytest.mark.parametrize("seed", range(12))
async def test_task_cancel_at_a_random_point(server, seed):  # noqa: F811
    rng = random.Random(seed)
    side_effects = []

    def add(a: int, b: int) -> int:
        side_effects.append("add")
        return a + b

    async def slow(x: int) -> int:
        await asyncio.sleep(0.05)
        side_effects.append("slow")
        return x

    model = make(server.url, stream=seed % 2 == 0, tools=Tools(add, slow))
    server.add(*tool_script(model.stream))

    async def consume():
        if model.stream:
            return [r async for r in await aio.ainvoke(model, "Hi")]
        return await aio.ainvoke(model, "Hi")

    task = asyncio.create_task(consume())
    await asyncio.sleep(rng.uniform(0, 0.35))
    task.cancel()
    try:
        await task
        finished = True
    except asyncio.CancelledError:
        finished = False
    seen = (history(model), list(side_effects))
    assert_idle(model)
    if not finished:
        # no tool-call entry is left without its results, and no fallback answer is added
        entries = history(model)
        assert ("assistant", FALLBACK) not in entries
        for i, (role, content) in enumerate(entries):
            if isinstance(content, list):
                assert [m.tool_call_id for m in model.messages[i + 1 : i + 1 + len(content)]] == content
    await asyncio.sleep(0.3)
    assert (history(model), side_effects) == seen  # nothing of that call ran later
    assert server.wait_idle(2)
    # the instance is free, and the history it left is one a server accepts
    model.extra_body.clear()
    with ChatServer() as fresh:
        model.endpoint_url = fresh.url
        fresh.add(Reply.text("after"))
        assert (await aio.ainvoke(model, "again")).content == "after"
        sent = fresh.requests[0].json["messages"]
    assert sent[-1] == {"role": "user", "content": "again"} and json.dumps(sent)


async def test_cancelled_task_closes_its_connection(server):  # noqa: F811
    server.add(Reply.stream(["a", "b", "c"], delay=0.5))
    model = make(server.url)

    async def consume():
        return [r async for r in aio.astream(model, "Hi")]

    task = asyncio.create_task(consume())
    await asyncio.sleep(0.2)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    # the server's next write finds the connection gone
    assert server.wait_idle(3)
    assert not server.requests[0].completed


async def test_dropped_stream_releases_the_instance(server):  # noqa: F811
    server.add(Reply.stream(["a", "b", "c"], delay=0.3), Reply.text("next"))
    model = make(server.url)
    async for record in aio.astream(model, "Hi"):
        break
    gc.collect()
    await asyncio.sleep(0.05)
    assert_idle(model)
    assert (await aio.ainvoke(model, "again")).content == "next"
    assert server.wait_idle(3) and not server.requests[0].completed


async def test_explicit_aclose(server):  # noqa: F811
    server.add(Reply.stream(["a", "b"], delay=0.3), Reply.text("next"))
    model = make(server.url)
    stream = await aio.astream(model, "Hi")
    await stream.aclose()
    assert [r async for r in stream] == []
    assert (await aio.ainvoke(model, "again")).content == "next"


# ---- the synchronous side ---------------------------------------------------------------------


@pytest.mark.timing
def test_cancel_stops_a_sync_stream_on_a_silent_server():
    with SilentServer() as silent:
        model = make(silent.url, stream=True)
        records = model.invoke("Hi")
        timer, fired = cancel_later(model, 0.3)
        start = time.monotonic()
        assert list(records) == []  # ends as a stream stopped by _close: no error
        timer.join()
        assert time.monotonic() - start < 2.0
        assert silent.wait_eof()
        (was_in_flight, at), = fired
        assert was_in_flight and silent.eof_at[0] - at < 0.25
        assert history(model) == [("user", "Hi")]
        assert_idle(model)
        assert quorvel.cancel(model) is False


async def test_async_call_refused_while_a_sync_call_runs_in_another_thread(server):  # noqa: F811
    server.add(Reply.raw_lines(['{"choices": [{"message":', '{"content": "slow"}}]}'], delay=0.5,
                               content_type="application/json"))
    model = make(server.url)
    worker = threading.Thread(target=model.invoke, args=("sync",))
    worker.start()
    while not server.requests:
        await asyncio.sleep(0.01)
    before = history(model)
    with pytest.raises(RuntimeError, match="already running a call"):
        await aio.ainvoke(model, "async")
    assert history(model) == before
    await asyncio.to_thread(worker.join)
    assert history(model) == [("user", "sync"), ("assistant", "slow")]


def test_a_model_collected_while_the_table_is_locked_does_not_block():
    # A model can be collected in the middle of any allocation, also while
    # this thread is inside the table's lock (a track under way).
    class Model:
        pass

    def collect_under_the_lock():
        model = Model()
        _inflight.untrack(model, _inflight.track(model, lambda: None))
        with _inflight._lock:
            del model  # its weak reference's callback runs here
        _inflight.track(other, lambda: None)

    other = Model()
    worker = threading.Thread(target=collect_under_the_lock, daemon=True)
    worker.start()
    worker.join(10)
    assert not worker.is_alive(), "the table's lock was waited for by its own holder"
    assert list(_inflight._open) == [id(other)]
    _inflight.cancel(other)
