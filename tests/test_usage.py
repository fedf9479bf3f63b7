"""Usage figures of whole calls, end to end on the loopback server: tool loops,
retries, streams with and without the usage chunk, collectors across threads
and tasks, and the side table that forgets collected models."""

from __future__ import annotations

import asyncio
import contextvars
import gc
import threading
import time

import pytest

import quorvel._transport as transport
import quorvel.usage as usage_module
from exchange_support import isolated_config, server  # noqa: F401
from quorvel.modal import LLModal
from quorvel.testing import Reply, usage_object
from quorvel.tools import Tools
from quorvel.usage import Usage, collect, last_usage, usage

FORMS = ["whole", "stream"]


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


@pytest.fixture
def stream_usage(monkeypatch):
    monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "true")


@pytest.fixture
def no_waits(monkeypatch):
    monkeypatch.setattr(transport, "_sleep", lambda seconds: None)


def model_for(server, form, **fields):
    return LLModal(endpoint_url=server.url, extra_body={"stream": True} if form == "stream" else {}, **fields)


def consume(outcome, form):
    return list(outcome) if form == "stream" else outcome


# ---- the record ------------------------------------------------------------------


def test_sum_keeps_none_only_where_neither_side_reported():
    a = Usage(input_tokens=10, output_tokens=None, cached_input_tokens=None, requests=1, exchanges=1)
    b = Usage(input_tokens=5, output_tokens=7, cached_input_tokens=None, requests=2, exchanges=1)
    assert a + b == Usage(input_tokens=15, output_tokens=7, requests=3, exchanges=2)
    with pytest.raises(TypeError):
        a + 1  # noqa: B018
    with pytest.raises(AttributeError):
        a.input_tokens = 3  # type: ignore[misc]


@pytest.mark.parametrize(
    ("figures", "prices", "expected"),
    [
        ({"input_tokens": 1_000_000, "output_tokens": 500_000}, (2.0, 8.0), 6.0),
        # Cached tokens at their own price, not again as input.
        ({"input_tokens": 1_000_000, "output_tokens": 0, "cached_input_tokens": 400_000}, (2.0, 8.0, 0.5), 1.4),
        # Without a cached price they are input like any other.
        ({"input_tokens": 1_000_000, "cached_input_tokens": 400_000}, (2.0, 8.0), 2.0),
        ({}, (2.0, 8.0, 1.0), 0.0),
    ],
)
def test_cost(figures, prices, expected):
    assert Usage(**figures).cost(*prices) == pytest.approx(expected)


@pytest.mark.parametrize(
    ("raw", "expected"),
    [
        (None, Usage(exchanges=1)),
        ("12 tokens", Usage(exchanges=1)),
        ({"prompt_tokens": True, "completion_tokens": -3, "total_tokens": 2.0}, Usage(total_tokens=2, exchanges=1)),
        ({"prompt_tokens": 9, "prompt_tokens_details": None, "completion_tokens_details": {"reasoning_tokens": "4"}},
         Usage(input_tokens=9, exchanges=1)),
    ],
)
def test_odd_usage_objects_count_the_exchange_and_no_figure_they_do_not_hold(raw, expected):
    assert usage_module.from_wire(raw) == expected


# ---- calls -------------------------------------------------------------------------


ROUNDS = [usage_object(100, 10, cached_tokens=50), usage_object(130, 12, reasoning_tokens=4),
          usage_object(160, 14, cached_tokens=100), usage_object(190, 20, reasoning_tokens=6)]


@pytest.mark.parametrize("form", FORMS)
def test_three_tool_rounds_sum_four_answers(server, form, stream_usage):
    stream = form == "stream"
    for i, figures in enumerate(ROUNDS[:3]):
        server.add(Reply.tool_calls([(f"c{i}", "add", {"a": i, "b": 1})], stream=stream, usage=figures))
    server.add(Reply.stream(["done"], usage=ROUNDS[3]) if stream else Reply.text("done", usage=ROUNDS[3]))
    model = model_for(server, form, tools=Tools(add))
    consume(model.invoke("go"), form)

    expected = Usage(input_tokens=580, output_tokens=56, total_tokens=636, cached_input_tokens=150,
                     reasoning_tokens=10, requests=4, exchanges=4)
    assert last_usage(model) == expected
    assert usage(model) == expected

    # The next call starts from zero; the model's total goes on.
    server.add(Reply.stream(["again"], usage=usage_object(7, 1)) if stream else Reply.text("again", usage=usage_object(7, 1)))
    consume(model.invoke("more"), form)
    assert last_usage(model) == Usage(input_tokens=7, output_tokens=1, total_tokens=8, requests=1, exchanges=1)
    assert usage(model) == expected + last_usage(model)


@pytest.mark.parametrize("form", FORMS)
def test_answers_without_usage_count_requests_and_exchanges_only(server, form):
    server.add(Reply.stream(["hi"]) if form == "stream" else Reply.text("hi"))
    model = model_for(server, form)
    consume(model.invoke("go"), form)
    assert last_usage(model) == Usage(requests=1, exchanges=1)


def test_a_model_never_called_has_empty_figures():
    model = LLModal()
    assert last_usage(model) == usage(model) == Usage()


@pytest.mark.parametrize("form", FORMS)
def test_retry_counts_both_requests_and_the_answers_tokens(server, form, monkeypatch, no_waits):
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "1")
    monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "1")
    server.add(Reply.status(429, {"error": {"message": "slow down"}}, headers={"Retry-After": "0"}))
    server.add(Reply.stream(["ok"], usage=usage_object(21, 4)) if form == "stream"
               else Reply.text("ok", usage=usage_object(21, 4)))
    model = model_for(server, form)
    consume(model.invoke("go"), form)
    assert last_usage(model) == Usage(input_tokens=21, output_tokens=4, total_tokens=25, requests=2, exchanges=1)


def test_a_failed_request_still_counts_as_a_request(server):
    server.add(Reply.status(500, "down"))
    model = model_for(server, "whole")
    with pytest.raises(ValueError):
        model.invoke("go")
    assert last_usage(model) == Usage(requests=1, exchanges=0)


def test_an_answer_that_fails_to_decode_still_counts_its_usage(server):
    server.add(Reply.json({"choices": [{"index": 0, "finish_reason": "content_filter"}],
                           "usage": usage_object(40, 0)}))
    model = model_for(server, "whole")
    with pytest.raises(ValueError, match="content_filter"):
        model.invoke("go")
    assert last_usage(model) == Usage(input_tokens=40, output_tokens=0, total_tokens=40, requests=1, exchanges=1)


# ---- stream_usage --------------------------------------------------------------------


@pytest.mark.parametrize("setting", ["on", "off"])
def test_usage_chunk_after_the_finishing_chunk(server, monkeypatch, setting):
    if setting == "on":
        monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "on")
    server.add(Reply.stream(["Hel", "lo"], usage=usage_object(11, 2)))
    model = model_for(server, "stream")
    records = list(model.invoke("go"))
    # Nothing read after the finishing chunk becomes a record.
    assert [r.content for r in records] == ["Hel", "lo"]
    sent = server.requests[0].json
    if setting == "on":
        assert sent["stream_options"] == {"include_usage": True}
        assert last_usage(model) == Usage(input_tokens=11, output_tokens=2, total_tokens=13, requests=1, exchanges=1)
    else:
        assert "stream_options" not in sent
        assert last_usage(model) == Usage(requests=1, exchanges=1)


def test_the_callers_stream_options_are_left_as_they_are(server, stream_usage):
    server.add(Reply.stream(["a"]))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True, "stream_options": {"include_usage": False}})
    list(model.invoke("go"))
    assert server.requests[0].json["stream_options"] == {"include_usage": False}


def test_whole_answers_get_no_stream_options(server, stream_usage):
    server.add(Reply.text("a"))
    model_for(server, "whole").invoke("go")
    assert "stream_options" not in server.requests[0].json


@pytest.mark.timing
@pytest.mark.parametrize("sends_usage", [True, False], ids=["usage-then-silence", "silence"])
def test_a_server_holding_the_connection_open_does_not_hold_the_stream(server, stream_usage, sends_usage):
    # Neither [DONE] nor the end of the body comes: the stream ends at the
    # usage chunk, or at the latest 2 s after the finishing chunk.
    server.add(Reply.stream(["a", "b"], usage=usage_object(3, 2) if sends_usage else None, done=False,
                            hold_open=30))
    model = model_for(server, "stream")
    started = time.monotonic()
    records = list(model.invoke("go"))
    elapsed = time.monotonic() - started
    assert [r.content for r in records] == ["a", "b"]
    if sends_usage:
        assert elapsed < 1.5
        assert last_usage(model).total_tokens == 5
    else:
        assert 1.5 < elapsed < 4.0
        assert last_usage(model) == Usage(requests=1, exchanges=1)
    # The connection stays usable for the next exchange.
    server.add(Reply.stream(["c"]))
    assert [r.content for r in model.invoke("next")] == ["c"]


# ---- collectors -----------------------------------------------------------------------


def test_collect_sums_the_calls_inside_the_block(server):
    first, second = model_for(server, "whole"), model_for(server, "whole")
    server.add(Reply.text("x", usage=usage_object(10, 1)))
    first.invoke("before")  # outside: not counted
    server.add(*(Reply.text("y", usage=usage_object(n, 1)) for n in (20, 30, 40)))
    with collect() as outer:
        first.invoke("a")
        with collect() as inner:
            second.invoke("b")
        second.invoke("c")
    server.add(Reply.text("z", usage=usage_object(50, 1)))
    first.invoke("after")
    assert inner.usage == Usage(input_tokens=30, output_tokens=1, total_tokens=31, requests=1, exchanges=1)
    assert outer.usage == Usage(input_tokens=90, output_tokens=3, total_tokens=93, requests=3, exchanges=3)


def test_collect_in_two_threads_sums_each_threads_own_models(server):
    # Every answer reports the thread's own number of prompt tokens.
    server.add(*(lambda request: Reply.text("ok", usage=usage_object(int(request.json["messages"][-1]["content"]), 0))
                 for _ in range(4)))
    sums: dict[int, Usage] = {}
    barrier = threading.Barrier(2)

    def work(tokens: int) -> None:
        models = [model_for(server, "whole"), model_for(server, "whole")]
        with collect() as spent:
            barrier.wait()
            for model in models:
                model.invoke(str(tokens))
            barrier.wait()
        sums[tokens] = spent.usage

    threads = [threading.Thread(target=work, args=(tokens,)) for tokens in (100, 7)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert sums == {100: Usage(input_tokens=200, output_tokens=0, total_tokens=200, requests=2, exchanges=2),
                    7: Usage(input_tokens=14, output_tokens=0, total_tokens=14, requests=2, exchanges=2)}

    # A thread started with a copy of the block's context counts in it.
    server.add(*(Reply.text("ok", usage=usage_object(5, 5)) for _ in range(2)))
    with collect() as spent:
        context = contextvars.copy_context()
        helper = threading.Thread(target=context.run, args=(model_for(server, "whole").invoke, "q"))
        helper.start()
        helper.join(30)
        plain = threading.Thread(target=model_for(server, "whole").invoke, args=("q",))
        plain.start()
        plain.join(30)
    assert spent.usage.total_tokens == 10 and spent.usage.exchanges == 1


def test_collect_counts_async_tasks_started_inside_the_block(server):
    server.add(*(Reply.text("ok", usage=usage_object(3, 1)) for _ in range(3)))

    async def main() -> tuple[Usage, Usage]:
        with collect() as spent:
            # Each task runs its call in a worker thread with the task's context.
            tasks = [asyncio.create_task(asyncio.to_thread(model_for(server, "whole").invoke, "q")) for _ in range(2)]
            await asyncio.gather(*tasks)
        outside = asyncio.create_task(asyncio.to_thread(model_for(server, "whole").invoke, "q"))
        with collect() as later:
            await outside  # started before this block: not counted in it
        return spent.usage, later.usage

    spent, later = asyncio.run(main())
    assert spent == Usage(input_tokens=6, output_tokens=2, total_tokens=8, requests=2, exchanges=2)
    assert later == Usage()


def test_a_collected_model_leaves_nothing_behind(server):
    server.add(*(Reply.text("ok", usage=usage_object(1, 1)) for _ in range(20)))
    gc.collect()
    before = len(usage_module._table)
    for _ in range(20):
        model_for(server, "whole").invoke("q")
    gc.collect()
    assert len(usage_module._table) == before
    kept = model_for(server, "whole")
    server.add(Reply.text("ok"))
    kept.invoke("q")
    assert len(usage_module._table) == before + 1
    del kept
    gc.collect()
    assert len(usage_module._table) == before


# ---- settings ----------------------------------------------------------------------------


@pytest.mark.parametrize("option", ["stream_usage", "think_tags"])
def test_an_invalid_setting_fails_before_anything_is_sent(server, monkeypatch, option):
    monkeypatch.setenv(f"QUORVEL_LLM_{option.upper()}", "maybe")
    model = model_for(server, "stream")
    with pytest.raises(ValueError, match=f"'{option}' in section \\[llm\\] must be true or false.*'maybe'"):
        model.invoke("go")
    assert server.requests == [] and model.messages == []
