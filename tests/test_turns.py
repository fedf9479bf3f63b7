"""Turns of one instance: a turn the consumer leaves unfinished never runs its
tool calls later, and one instance serves one call at a time."""

from __future__ import annotations

import gc
import subprocess
import sys
import threading

import pytest

from exchange_support import chunk, history, isolated_config, server, streamed  # noqa: F401
from quorvel.modal import LLModal, LLMStatus
from quorvel.testing import Reply
from quorvel.tools import Tools

DANGER = [("d1", "delete_file", {"path": "/important"})]


@pytest.fixture
def ran():
    return []


@pytest.fixture
def model(server, ran):
    def delete_file(path: str) -> str:
        """Delete a file."""
        ran.append(path)
        return "deleted"

    return LLModal(endpoint_url=server.url, tools=Tools(delete_file), extra_body={"stream": True})


def declined_stream(server, model):
    """A stream stopped by its consumer at the tool_calls record."""
    server.add(Reply.tool_calls(DANGER, stream=True, fragment=5))
    stream = model.invoke("clean up")
    record = next(stream)
    assert record.status == LLMStatus.tool_calls and list(record.tool_calls) == ["d1"]
    return stream


def assert_fresh(model):
    assert model.tool_calls == [] and model._tool_calls_count == 0


def drop(stream):
    del stream
    gc.collect()


def close(stream):
    stream.close()
    return None


def drop(stream):
    del stream
    gc.collect()
    return None


def keep(stream):
    return stream


@pytest.mark.parametrize("abandon", [close, drop, keep])
def test_a_declined_tool_call_never_runs_later(server, model, ran, abandon):
    kept = abandon(declined_stream(server, model))
    if kept is None:
        assert_fresh(model)
    server.add(Reply.stream(["sunny"]))
    assert [r.content for r in model.invoke("weather?")] == ["sunny"]
    assert ran == []
    assert len(server.requests) == 2  # no follow-up for the abandoned calls
    assert_fresh(model)
    # What the abandoned turn recorded stays; its calls were never run.
    assert history(model) == [("user", "clean up"), ("user", "weather?"), ("assistant", "sunny")]


def test_close_after_the_tool_calls_record_runs_nothing(server, model, ran):
    stream = declined_stream(server, model)
    model._close = True
    assert list(stream) == []
    assert ran == [] and model._close is False
    assert_fresh(model)


def test_a_superseded_stream_ends_and_leaves_the_new_turn_alone(server, model, ran):
    old = declined_stream(server, model)
    server.add(Reply.tool_calls([("n1", "delete_file", {"path": "/tmp/x"})], stream=True), Reply.stream(["ok"]))
    new = model.invoke("remove /tmp/x")
    assert next(new).status == LLMStatus.tool_calls
    # The old stream neither runs its calls nor touches the new turn's.
    assert list(old) == []
    old.close()
    assert ran == [] and [c["id"] for c in model.tool_calls] == ["n1"]
    assert [r.status for r in new] == [LLMStatus.tool_results, LLMStatus.answer]
    assert ran == ["/tmp/x"]
    assert_fresh(model)


@pytest.mark.parametrize("finish", [list, lambda stream: stream.close()], ids=["read", "closed"])
def test_a_superseded_stream_abandons_its_answer(server, model, monkeypatch, finish):
    import quorvel._transport as transport

    abandoned = []
    monkeypatch.setattr(transport, "abandon_stream", abandoned.append)
    response = streamed(chunk({"content": "a"}), chunk({"content": "b"}, "stop"))
    old = model._stream_response(response)
    assert next(old).content == "a"
    server.add(Reply.stream(["new"]))
    assert [r.content for r in model.invoke("again")] == ["new"]
    assert abandoned == []
    assert finish(old) in ([], None)
    assert abandoned == [response]
    assert history(model)[-2:] == [("user", "again"), ("assistant", "new")]


def test_an_interrupted_turn_leaves_no_calls(server, model, ran):
    stream = declined_stream(server, model)
    with pytest.raises(KeyboardInterrupt):
        stream.throw(KeyboardInterrupt)
    assert_fresh(model)


def test_a_call_from_another_thread_is_refused_at_once(server, model):
    entered, release = threading.Event(), threading.Event()
    model.tools = Tools()

    def slow_reply(request):
        entered.set()
        release.wait(10)
        return Reply.text("late")

    server.add(slow_reply)
    model.extra_body = {}
    worker = threading.Thread(target=model.invoke, args=("first",))
    worker.start()
    try:
        assert entered.wait(10)
        before = history(model)
        for call in (lambda: model.invoke("second"), model._core_call):
            with pytest.raises(RuntimeError, match="already running a call in another thread"):
                call()
        assert history(model) == before
    finally:
        release.set()
        worker.join(10)
    assert history(model) == [("user", "first"), ("assistant", "late")]
    # Free again once the call has ended.
    server.add(Reply.text("again"))
    assert model.invoke("third").content == "again"


def test_a_paused_stream_does_not_block_another_thread(server, model):
    server.add(Reply.stream(["a", "b"]), Reply.stream(["c"]))
    stream = model.invoke("one")
    assert next(stream).content == "a"
    answers = []
    worker = threading.Thread(target=lambda: answers.extend(r.content for r in model.invoke("two")))
    worker.start()
    worker.join(10)
    assert answers == ["c"]
    assert list(stream) == []  # superseded by the other thread's turn


def test_invoke_from_inside_a_call_is_refused(server):
    model = LLModal(endpoint_url=server.url)

    def ask_again() -> str:
        """Ask the same model again."""
        return model.invoke("nested").content

    model.tools = Tools(ask_again)
    server.add(Reply.tool_calls([("a1", "ask_again", {})]), Reply.text("done"))
    assert model.invoke("go").content == "done"
    assert "already running a call" in model.messages[2].contents[-1]
    assert len(server.requests) == 2


HALF_BUILT_PROBE = """
import gc
from quorvel.modal import LLModal

class Spy:
    @property
    def latest(self):
        # Every list the collector can hand out must be whole: iterating one
        # with an empty slot crashes the interpreter.
        for obj in gc.get_objects():
            if type(obj) is list:
                list(obj)
        return {"role": "user", "content": "x"}

model = LLModal()
model.messages = [Spy(), Spy(), Spy()]
assert model.messages_latest == [{"role": "user", "content": "x"}] * 3
"""


def test_messages_latest_exposes_no_half_built_list():
    done = subprocess.run([sys.executable, "-c", HALF_BUILT_PROBE], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
