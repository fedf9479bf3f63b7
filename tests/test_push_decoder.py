"""The private surface an outside driver (the async client) builds on:
`_PushDecoder` fed blocks of a body, `_call_guard` holding one call of an
instance across awaits, `_fail` and `_begin_turn`."""

from __future__ import annotations

import asyncio
import json
import threading

import pytest

from exchange_support import FALLBACK, chunk, history, isolated_config, printed  # noqa: F401
from quorvel.modal import LLModal, LLMStatus, _begin_turn, _call_guard, _fail, _PushDecoder
from quorvel.testing import response_from_bytes, sse_body, text_chunk, tool_call_chunk


def blocks_of(body: bytes, size: int) -> list[bytes]:
    return [body[i : i + size] for i in range(0, len(body), size)]


def fed(model, body: bytes, size: int, stream: bool = True):
    decoder = _PushDecoder(model, stream)
    records = []
    for block in blocks_of(body, size):
        records += decoder.feed(block)
        if decoder.done:
            break
    return decoder, records + decoder.finish()


def summary(records):
    return [(r.status, r.reasoning_content, r.content) for r in records]


STREAM = sse_body(
    [chunk({"role": "assistant"}), text_chunk(reasoning="hm"), text_chunk("Hel"), text_chunk("lo"),
     chunk({}, "stop", usage={"total_tokens": 7})]
)


@pytest.mark.parametrize("newline", [b"\n", b"\r\n", b"\r"])
@pytest.mark.parametrize("size", [1, 2, 3, 7, 64, 1 << 20])
def test_fed_blocks_decode_as_the_synchronous_stream_does(newline, size):
    body = STREAM.replace(b"\n", newline)
    expected_model = LLModal()
    expected = list(expected_model._stream_response(response_from_bytes(body)))
    model = LLModal()
    decoder, records = fed(model, body, size)
    assert summary(records) == summary(expected)
    assert [r.status for r in records] == [LLMStatus.reason, LLMStatus.answer, LLMStatus.answer]
    assert history(model) == history(expected_model) == [("assistant", "Hello")]
    assert decoder.done and decoder.already_added
    assert decoder.usage == {"total_tokens": 7}


def test_feed_returns_the_records_of_the_lines_it_completed():
    decoder = _PushDecoder(LLModal(), True)
    line = b"data: " + json.dumps(text_chunk("ab")).encode()
    assert decoder.feed(line[:10]) == []
    (record,) = decoder.feed(line[10:] + b"\n\ndata: " + json.dumps(text_chunk("c")).encode())
    assert record.content == "ab" and not decoder.done
    # The last line needs no terminator: the end of the body ends it.
    assert [r.content for r in decoder.finish()] == ["c"]


def test_a_long_line_split_into_many_blocks():
    text = "x" * (4 << 20)
    body = sse_body([text_chunk(text), chunk({}, "stop")])
    decoder, records = fed(LLModal(), body, 4096)
    assert [len(r.content) for r in records] == [len(text)]


def test_feed_stops_decoding_at_the_finishing_chunk():
    model = LLModal()
    body = sse_body([text_chunk("a"), chunk({}, "stop")]) + b"data: " + json.dumps(text_chunk("late")).encode() + b"\n"
    decoder = _PushDecoder(model, True)
    assert [r.content for r in decoder.feed(body)] == ["a"]
    assert decoder.done
    assert decoder.feed(b"data: {not json}\n") == []
    assert decoder.finish() == [] and history(model) == [("assistant", "a")]


@pytest.mark.parametrize("body", [b"", b": keep-alive\n\n", sse_body([]), sse_body([{"choices": []}], done=False)])
def test_a_stream_without_an_answer_fails_at_finish(body):
    decoder = _PushDecoder(LLModal(), True)
    decoder.feed(body) if body else None
    with pytest.raises(ValueError, match="The server ended the stream without an answer"):
        decoder.finish()
    assert decoder.already_added is False


@pytest.mark.parametrize("line", [b"data: {broken", b"data: " + json.dumps({"error": {"code": 500, "message": "x"}}).encode()])
def test_a_bad_line_raises_from_feed(line):
    with pytest.raises(ValueError):
        _PushDecoder(LLModal(), True).feed(line + b"\n")


def test_tool_call_fragments_are_gathered_not_run():
    model = LLModal()
    body = sse_body([tool_call_chunk(0, "c1", "add", '{"a":'), tool_call_chunk(0, arguments="1}"), chunk({}, "tool_calls")])
    decoder, records = fed(model, body, 5)
    assert records == []
    assert [(c["id"], c["function"]["arguments"]) for c in model.tool_calls] == [("c1", '{"a":1}')]
    assert decoder.already_added is False


@pytest.mark.parametrize("size", [3, 1 << 20])
def test_a_whole_answer_is_decoded_at_finish(size):
    model = LLModal()
    document = {"choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi", "reasoning_content": "r"}}],
                "usage": {"prompt_tokens": 3}}
    decoder = _PushDecoder(model, False)
    body = json.dumps(document).encode()
    assert all(decoder.feed(block) == [] for block in blocks_of(body, size))
    (record,) = decoder.finish()
    assert summary([record]) == [(LLMStatus.idle, "r", "Hi")]
    assert decoder.usage == {"prompt_tokens": 3} and decoder.already_added
    assert history(model) == [("assistant", "Hi")]


def test_a_whole_answer_with_tool_calls_leaves_them_to_the_driver():
    model = LLModal()
    message = {"role": "assistant", "content": None,
               "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "add", "arguments": "{}"}}]}
    decoder = _PushDecoder(model, False)
    decoder.feed(json.dumps({"choices": [{"index": 0, "message": message}]}).encode())
    (record,) = decoder.finish()
    assert record.status == LLMStatus.idle and record.tool_results == {}
    assert [c["id"] for c in model.tool_calls] == ["c1"] and not decoder.already_added


@pytest.mark.parametrize("misuse", [lambda d: d.feed("text"), lambda d: (d.finish(), d.finish())])
def test_misuse_is_a_clear_error(misuse):
    decoder = _PushDecoder(LLModal(), False)
    decoder.feed(json.dumps({"choices": [{"index": 0, "message": {"role": "assistant", "content": "x"}}]}).encode())
    with pytest.raises((TypeError, ValueError)):
        misuse(decoder)


# ---- the guard ------------------------------------------------------------------------


async def guarded_exchange(model, body: bytes, started: asyncio.Event, go_on: asyncio.Event):
    """A stand-in for the async client's call: holds the guard across awaits
    while it feeds the body block by block."""
    with _call_guard(model):
        decoder = _PushDecoder(model, True)
        records = []
        for block in blocks_of(body, 16):
            started.set()
            await go_on.wait()
            records += decoder.feed(block)
        return records + decoder.finish()


def test_two_tasks_sharing_one_instance_are_refused():
    model = LLModal()

    async def main():
        started, go_on = asyncio.Event(), asyncio.Event()
        first = asyncio.create_task(guarded_exchange(model, sse_body([text_chunk("a"), chunk({}, "stop")]), started, go_on))
        await started.wait()
        second = asyncio.create_task(guarded_exchange(model, sse_body([text_chunk("b")]), asyncio.Event(), go_on))
        with pytest.raises(RuntimeError, match="already running a call; one instance serves one call at a time"):
            await second
        go_on.set()
        return await first

    assert [r.content for r in asyncio.run(main())] == ["a"]
    assert history(model) == [("assistant", "a")]
    # Released at the end of the call.
    with _call_guard(model):
        pass


def test_a_held_guard_refuses_synchronous_calls_and_other_threads():
    model = LLModal()
    with _call_guard(model):
        with pytest.raises(RuntimeError, match="already running a call;"):
            model.invoke("x")
        with pytest.raises(RuntimeError, match="already running a call;"):
            _call_guard(model).__enter__()
        errors = []
        worker = threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, model._core_call).value))
        worker.start()
        worker.join(10)
        assert "in another thread" in str(errors[0])
    assert history(model) == []


def test_a_guard_supersedes_an_open_stream_and_discards_on_cancellation():
    model = LLModal()
    old = model._stream_response(response_from_bytes(sse_body([tool_call_chunk(0, "c1", "add", "{}"), text_chunk("a")])))
    next(old)
    model.tool_calls.append({"id": "stale"})

    async def cancelled():
        with _call_guard(model):
            assert model.tool_calls == []  # the old turn's calls went with it
            model.tool_calls.append({"id": "mine"})
            await asyncio.sleep(10)

    async def main():
        task = asyncio.create_task(cancelled())
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(main())
    assert list(old) == [] and model.tool_calls == []


# ---- failure path and turn start ------------------------------------------------------------


@pytest.mark.parametrize("add_fallback", [True, False])
def test_fail_reports_records_the_fallback_and_resets(capsys, add_fallback):
    model = LLModal(tool_calls=[{"id": "x"}])
    assert _fail(model, "LLM request error: ", add_fallback, ConnectionError("refused")) is None
    assert printed(capsys) == ["LLM request error: refused"]
    assert history(model) == ([("assistant", FALLBACK)] if add_fallback else [])
    assert model.tool_calls == []


def test_fail_leaves_exceptions_outside_the_exception_family_alone(capsys):
    model = LLModal(tool_calls=[{"id": "x"}])
    _fail(model, "Error parsing LLM response: ", True, KeyboardInterrupt())
    assert printed(capsys) == [] and history(model) == [] and model.tool_calls == [{"id": "x"}]
    with pytest.raises(TypeError):
        _fail(model, "x", True, "not an exception")


def test_begin_turn_records_what_invoke_records_before_posting(monkeypatch):
    model = LLModal(system_prompt="Be brief.")
    _begin_turn(model, "Hi")
    _begin_turn(model, "again")
    assert history(model) == [("system", "Be brief."), ("user", "Hi"), ("user", "again")]
    with pytest.raises(TypeError):
        _begin_turn(model, 3)
    monkeypatch.setenv("QUORVEL_BROKEN_TIMEOUT", "-1")
    bad = LLModal(section="broken", system_prompt="sys")
    with pytest.raises(ValueError, match="timeout"):
        _begin_turn(bad, "x")
    assert history(bad) == []


# ---- usage chunk and think tags through the push decoder ---------------------------------


@pytest.mark.parametrize("size", [1, 5, 1 << 20])
@pytest.mark.parametrize("after", [
    [{"choices": [], "usage": {"total_tokens": 9}}, b"data: never read"],
    [b": keep-alive", b"data: [DONE]"],
    [b"not a chunk at all"],
], ids=["usage-chunk", "done", "garbage"])
def test_with_stream_usage_the_decoder_reads_on_after_the_finishing_chunk(monkeypatch, size, after):
    monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "1")
    lines = [b"data: " + json.dumps(text_chunk("a")).encode(), b"data: " + json.dumps(chunk({}, "stop")).encode()]
    lines += [item if isinstance(item, bytes) else b"data: " + json.dumps(item).encode() for item in after]
    body = b"\n\n".join(lines) + b"\n\n"
    decoder = _PushDecoder(LLModal(), True)
    records, states = [], []
    for block in blocks_of(body, size):
        records += decoder.feed(block)
        states.append((decoder.finished, decoder.done))
        if decoder.done:
            break
    # Finished at the finishing chunk, done only once the awaited chunk came
    # (fed byte by byte, the decoder is seen waiting in between); nothing
    # read after the finishing chunk is a record or a failure.
    assert states[-1] == (True, True)
    if size == 1:
        assert (True, False) in states
    assert summary(records + decoder.finish()) == [(LLMStatus.answer, "", "a")]
    assert decoder.usage == (after[0]["usage"] if isinstance(after[0], dict) else None)


def test_without_stream_usage_the_finishing_chunk_is_the_end():
    body = sse_body([text_chunk("a"), chunk({}, "stop"), {"choices": [], "usage": {"total_tokens": 9}}])
    decoder, _ = fed(LLModal(), body, 3)
    assert decoder.finished and decoder.done and decoder.usage is None


@pytest.mark.parametrize("size", [1, 4, 1 << 20])
def test_think_tags_split_across_blocks_and_lines(monkeypatch, size):
    monkeypatch.setenv("QUORVEL_LLM_THINK_TAGS", "1")
    body = sse_body([text_chunk("<thi"), text_chunk("nk>why"), text_chunk(" not</th"), text_chunk("ink>\n\nBe"),
                     text_chunk("cause."), chunk({}, "stop")])
    model = LLModal()
    decoder, records = fed(model, body, size)
    assert summary(records) == [(LLMStatus.reason, "why", ""), (LLMStatus.reason, " not", ""),
                                (LLMStatus.answer, "", "Be"), (LLMStatus.answer, "", "cause.")]
    assert history(model) == [("assistant", "Because.")]
