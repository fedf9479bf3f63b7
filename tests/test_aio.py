"""quorvel.aio against the loopback server: the async call gives what the
synchronous one gives (history, records, printed lines, requests), plus its
own transport, tool batches and one-call-at-a-time rule."""

from __future__ import annotations

import asyncio
import logging
import socket
import threading
import time

import httpx
import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server  # noqa: F401
from quorvel import _retry_watch, aio
from quorvel.modal import LLModal, LLMStatus, ServerError
from quorvel.testing import Reply, role_chunk, text_chunk
from quorvel.tools import Tools

SHORT = 0.5
MARGIN = 3.0


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


async def slow_upper(text: str) -> str:
    """Upper-case a text, slowly."""
    await asyncio.sleep(0.05)
    return text.upper()


def make(url, stream=False, **fields):
    return LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {}, **fields)


def record_view(record):
    return (str(record.status), record.reasoning_content, record.content,
            {k: (v.name, v.content) for k, v in record.tool_calls.items()},
            {k: (v.name, v.content) for k, v in record.tool_results.items()})


# Scripts run once through invoke and once through ainvoke; everything seen
# must be the same.
CALLS = [("c1", "add", {"a": 1, "b": 2}), ("c2", "add", {"a": 3, "b": "x"})]
SCENARIOS = {
    "text": lambda s: [Reply.text("Hello", reasoning="hmm")],
    "stream": lambda s: [Reply.stream(["Hel", "lo"], reasoning=["th", "ink"])],
    "tools": lambda s: [Reply.tool_calls(CALLS, stream=s), Reply.tool_calls(CALLS[:1], stream=s, content="so"),
                        Reply.stream(["done"]) if s else Reply.text("done")],
    "limit": lambda s: [Reply.tool_calls(CALLS[:1], stream=s) for _ in range(3)],
    "status 500": lambda s: [Reply.status(500, "down")],
    "error object": lambda s: [Reply.error("no quota", code="quota")],
    "bad line": lambda s: [Reply.raw_lines([f"data: {__import__('json').dumps(text_chunk('a'))}", "", "data: {oops"])],
    "failing follow-up": lambda s: [Reply.tool_calls(CALLS[:1], stream=s), Reply.status(400, "bad")],
}


async def run_async(model, prompt):
    try:
        result = await aio.ainvoke(model, prompt)
        if model.stream:
            return [record_view(r) async for r in result], None
        return record_view(result), None
    except Exception as exc:
        return None, (type(exc).__name__, str(exc))


def run_sync(model, prompt):
    try:
        result = model.invoke(prompt)
        if model.stream:
            return [record_view(r) for r in result], None
        return record_view(result), None
    except Exception as exc:
        return None, (type(exc).__name__, str(exc))


def bodies(server, since):
    return [(r.json, r.headers.get("Content-Type"), r.headers.get("Authorization")) for r in server.requests[since:]]


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("scenario", list(SCENARIOS))
async def test_same_as_invoke(server, capsys, monkeypatch, scenario, stream):  # noqa: F811
    if scenario in ("text",) and stream or scenario == "stream" and not stream:
        pytest.skip("the reply's shape does not match the mode")
    monkeypatch.setenv("QUORVEL_LLM_API_KEY", "sk-test")
    seen = []
    for runner in ("sync", "async"):
        model = make(server.url, stream, tools=Tools(add), system_prompt="be brief", tool_calls_limit=2)
        server.add(*SCENARIOS[scenario](stream))
        before = len(server.requests)
        outcome = run_sync(model, "Hi") if runner == "sync" else await run_async(model, "Hi")
        seen.append((outcome, history(model), printed(capsys), bodies(server, before),
                     model.tool_calls, model._tool_calls_count, model.extra_body))
    assert seen[0] == seen[1]
    assert seen[1][3]  # something was posted


async def test_astream_streams_one_call_and_leaves_extra_body(server):  # noqa: F811
    model = make(server.url, temperature=0)
    model.extra_body["temperature"] = 0
    server.add(Reply.stream(["a", "b"]), Reply.text("whole"))
    records = [r async for r in aio.astream(model, "Hi")]
    assert [(str(r.status), r.content) for r in records] == [("answer", "a"), ("answer", "b")]
    assert server.requests[0].json == {"messages": [{"role": "user", "content": "Hi"}], "temperature": 0, "stream": True}
    assert model.extra_body == {"temperature": 0}
    assert (await aio.ainvoke(model, "again")).content == "whole"
    assert "stream" not in server.requests[1].json


async def test_awaited_astream_posts_before_iteration(server, capsys):  # noqa: F811
    server.add(Reply.status(503, "busy"))
    model = make(server.url)
    with pytest.raises(ServerError):
        await aio.astream(model, "Hi")
    assert printed(capsys) == ["LLM request error: code: 503, content: b'busy'"]
    server.add(Reply.stream(["x"], delay=0.05))
    stream = await aio.astream(model, "again")
    assert len(server.requests) == 2 and history(model)[-1] == ("user", "again")
    assert [r.content async for r in stream] == ["x"]


async def test_tool_batch_mixes_coroutine_and_thread_tools_concurrently(server):  # noqa: F811
    loop_thread = threading.get_ident()
    ran_in: dict[str, int] = {}

    def slow_add(a: int, b: int) -> int:
        ran_in["slow_add"] = threading.get_ident()
        time.sleep(0.3)
        return a + b

    async def slow_echo(text: str) -> str:
        ran_in["slow_echo"] = threading.get_ident()
        await asyncio.sleep(0.3)
        return text

    async def broken() -> str:
        raise KeyError("nope")

    model = make(server.url, tools=Tools(slow_add, slow_echo, broken))
    server.add(
        Reply.tool_calls([("e1", "slow_echo", {"text": "x"}), ("a1", "slow_add", {"a": 1, "b": 2}),
                          ("e2", "slow_echo", {"text": "y"}), ("b1", "broken", {}), ("e3", "slow_echo", {"bad": 1})]),
        Reply.text("ok"),
    )
    ticks = 0

    async def ticker():
        nonlocal ticks
        while True:
            await asyncio.sleep(0.01)
            ticks += 1

    ticking = asyncio.create_task(ticker())
    start = time.monotonic()
    result = await aio.ainvoke(model, "go")
    elapsed = time.monotonic() - start
    ticking.cancel()
    assert elapsed < 0.3 * 3  # concurrent, not one after the other
    assert ticks >= 10  # the loop kept running while the tools did
    assert ran_in["slow_echo"] == loop_thread and ran_in["slow_add"] != loop_thread
    results = {k: v.content for k, v in result.tool_results.items()}
    assert list(results) == ["e1", "a1", "e2", "b1", "e3"]
    assert results["e1"] == "x" and results["a1"] == "3" and results["e2"] == "y"
    assert results["b1"] == "Error: tool 'broken' raised KeyError: 'nope'"
    assert results["e3"].startswith("Error: invalid arguments for tool 'slow_echo'")
    assert history(model)[1] == ("assistant", ["e1", "a1", "e2", "b1", "e3"])
    assert [m.tool_call_id for m in model.messages[2:7]] == ["e1", "a1", "e2", "b1", "e3"]
    # the same texts as the synchronous registry gives
    sync_texts = [m.contents[-1] for m in Tools(slow_add, slow_echo, broken)(model.messages[1].tool_calls)]
    assert [m.contents[-1] for m in model.messages[2:7]] == sync_texts


async def test_replaced_registry_runs_whole_in_a_worker_thread(server):  # noqa: F811
    threads = []

    class Registry(Tools):
        def __call__(self, tool_calls):
            threads.append(threading.get_ident())
            return super().__call__(tool_calls)

    model = make(server.url, tools=Registry(add))
    server.add(Reply.tool_calls(CALLS[:1], stream=True), Reply.stream(["ok"]))
    statuses = [str(r.status) async for r in aio.astream(model, "go")]
    assert statuses == ["tool_calls", "tool_results", "answer"]
    assert threads and threads[0] != threading.get_ident()


# ---- transport ---------------------------------------------------------------------------


async def test_retries_follow_the_sync_rules(server, monkeypatch, caplog):  # noqa: F811
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "2")
    server.add(Reply.status(429, "slow", headers={"Retry-After-Ms": "120"}), Reply.status(503, "busy"),
               Reply.stream(["ok"]))
    waits = []

    async def record(wait):
        waits.append(wait)

    monkeypatch.setattr(aio._aio_transport, "_sleep", record)
    told = []
    with caplog.at_level(logging.INFO, logger="quorvel"), _retry_watch.watching(told.append):
        assert [r.content async for r in aio.astream(make(server.url), "Hi")] == ["ok"]
    assert waits[0] == pytest.approx(0.12) and 0.75 <= waits[1] <= 1.0  # the second backoff step
    assert [(t.number, t.tries, t.wait) for t in told] == [(1, 3, waits[0]), (2, 3, waits[1])]
    assert [r.getMessage().split(";")[0] for r in caplog.records] == [
        "request to 127.0.0.1 failed (status 429)", "request to 127.0.0.1 failed (status 503)"]
    assert len({str(r.json) for r in server.requests}) == 1 and len(server.requests) == 3


@pytest.mark.parametrize("status, retried", [(400, False), (408, True), (502, True)])
async def test_which_statuses_are_retried(server, monkeypatch, capsys, status, retried):  # noqa: F811
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "1")
    monkeypatch.setattr(aio._aio_transport, "_sleep", lambda wait: asyncio.sleep(0))
    server.add(Reply.status(status, "no"), Reply.text("ok"))
    model = make(server.url)
    if retried:
        assert (await aio.ainvoke(model, "Hi")).content == "ok"
    else:
        with pytest.raises(ServerError) as raised:
            await aio.ainvoke(model, "Hi")
        assert raised.value.status_code == status
        assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]
    assert len(server.requests) == (2 if retried else 1)


async def test_connection_refused_is_retried_then_raised(monkeypatch, capsys):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        url = f"http://127.0.0.1:{s.getsockname()[1]}/v1"
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "2")
    waits = []
    monkeypatch.setattr(aio._aio_transport, "_sleep", lambda wait: waits.append(wait) or asyncio.sleep(0))
    model = make(url)
    with pytest.raises(httpx.ConnectError) as raised:
        await aio.ainvoke(model, "Hi")
    assert len(waits) == 2
    assert printed(capsys) == [f"LLM request error: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.parametrize("answered_before_stall", [True, False])
async def test_read_timeout_mid_stream(server, monkeypatch, capsys, answered_before_stall):  # noqa: F811
    monkeypatch.setenv("QUORVEL_LLM_TIMEOUT", str(SHORT))
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "3")  # nothing is retried once the answer has begun
    first = text_chunk("a") if answered_before_stall else role_chunk()
    import json

    server.add(Reply.raw_lines([f"data: {json.dumps(first)}", "", "data: {}"], delay=SHORT + MARGIN + 2))
    model = make(server.url)
    stream = await aio.astream(model, "Hi")
    start = time.monotonic()
    got = []
    with pytest.raises(httpx.ReadTimeout) as raised:
        async for record in stream:
            got.append(record.content)
    assert SHORT * 0.9 <= time.monotonic() - start < SHORT + MARGIN
    assert got == (["a"] if answered_before_stall else [])
    assert printed(capsys) == [f"Error parsing LLM response: {raised.value}"]
    assert history(model) == [("user", "Hi"), ("assistant", "a" if answered_before_stall else FALLBACK)]
    assert len(server.requests) == 1


async def test_invalid_setting_fails_before_anything_changes(server, monkeypatch):  # noqa: F811
    monkeypatch.setenv("QUORVEL_LLM_TIMEOUT", "soon")
    model = make(server.url)
    with pytest.raises(ValueError, match="'timeout'"):
        await aio.ainvoke(model, "Hi")
    with pytest.raises(TypeError, match="expected str, got NoneType"):
        await aio.ainvoke(model, None)  # type: ignore[arg-type]
    assert model.messages == [] and server.requests == []


async def test_one_connection_per_host_on_a_loop(server):  # noqa: F811
    model = make(server.url, tools=Tools(add))
    for _ in range(2):
        server.add(Reply.tool_calls(CALLS[:1], stream=True), Reply.stream(["x"]), Reply.text("y"))
        assert [str(r.status) async for r in aio.astream(model, "Hi")][-1] == "answer"
        assert (await aio.ainvoke(model, "Hi")).content == "y"
    assert server.connections_opened == 1


def test_clients_close_with_their_loop(server):  # noqa: F811
    def opened():
        return len([c for c in server._connections])

    async def call():
        server.add(Reply.stream(["x"]), Reply.text("y"))
        model = make(server.url)
        assert [r.content async for r in aio.astream(model, "Hi")] == ["x"]
        assert (await aio.ainvoke(model, "Hi")).content == "y"
        assert opened() == 1

    for _ in range(3):
        asyncio.run(call())
        deadline = time.monotonic() + 2
        while opened() and time.monotonic() < deadline:
            time.sleep(0.01)
        assert opened() == 0  # the server saw the connection end with the loop
    assert server.connections_opened == 3


# ---- one call at a time -------------------------------------------------------------------


async def test_second_call_on_a_busy_instance_is_refused(server):  # noqa: F811
    server.add(Reply.stream(["a", "b"], delay=0.1), Reply.text("later"))
    model = make(server.url, stream=True)
    first = asyncio.create_task(aio.ainvoke(model, "first"))
    stream = await first
    before = history(model)
    with pytest.raises(RuntimeError, match="already running a call"):
        await aio.ainvoke(model, "second")
    with pytest.raises(RuntimeError, match="already running a call"):
        await aio.astream(model, "third")
    assert history(model) == before
    assert [r.content async for r in stream] == ["a", "b"]
    model.extra_body.clear()
    assert (await aio.ainvoke(model, "now")).content == "later"
    assert history(model) == [("user", "first"), ("assistant", "ab"), ("user", "now"), ("assistant", "later")]


async def test_two_tasks_on_two_instances_run_together(server):  # noqa: F811
    # 9 paced lines each: 0.9 s apiece, 1.8 s one after the other
    server.add(Reply.stream(["a", "b"], delay=0.1), Reply.stream(["c", "d"], delay=0.1))
    models = [make(server.url), make(server.url)]

    async def collect(model, prompt):
        return [r.content async for r in aio.astream(model, prompt)]

    start = time.monotonic()
    results = await asyncio.gather(collect(models[0], "1"), collect(models[1], "2"))
    assert time.monotonic() - start < 1.6
    assert sorted(results) == [["a", "b"], ["c", "d"]]
    assert [history(m)[0] for m in models] == [("user", "1"), ("user", "2")]


async def test_status_of_records(server):  # noqa: F811
    server.add(Reply.stream(["x"], reasoning=["r"]))
    statuses = [r.status async for r in aio.astream(make(server.url), "Hi")]
    assert statuses == [LLMStatus.reason, LLMStatus.answer]
