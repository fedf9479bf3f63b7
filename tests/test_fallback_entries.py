"""The fallback answer in the history: an entry of its own, recorded only when
the failed exchange recorded no answer text, never glued onto an answer."""

from __future__ import annotations

import json

import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server, tools  # noqa: F401
from quorvel.modal import LLModal
from quorvel.testing import Reply, text_chunk


def make(server, tools, stream, **fields):
    return LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": stream}, **fields)


def run(model, prompt):
    result = model.invoke(prompt)
    return list(result) if model.stream else result


def glued(model) -> list[str]:
    """Assistant texts that carry the fallback along with something else."""
    return [text for role, text in history(model)
            if role == "assistant" and isinstance(text, str) and FALLBACK in text and text != FALLBACK]


def test_follow_up_cut_mid_stream_keeps_the_part_that_arrived(server, tools, capsys):
    cut = Reply.raw_lines([f"data: {json.dumps(text_chunk('partial answer'))}", ""], abort=True)
    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=True), cut)
    model = make(server, tools, True)
    with pytest.raises(Exception):
        run(model, "go")
    assert history(model) == [("user", "go"), ("assistant", ["c1"]), ("tool", "3"), ("assistant", "partial answer")]
    assert model.tool_calls == [] and model._tool_calls_count == 0


@pytest.mark.parametrize("stream", [False, True])
def test_limit_reached_after_answer_text_adds_nothing_to_it(server, tools, stream):
    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], content="Let me add.", stream=stream))
    model = make(server, tools, stream, tool_calls_limit=0)
    with pytest.raises(ValueError, match=f"^{FALLBACK}$"):
        run(model, "go")
    assert history(model) == [("user", "go"), ("assistant", "Let me add.")]


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("failure", ["status", "limit"])
def test_fallback_after_an_earlier_answer_is_an_entry_of_its_own(server, tools, stream, failure):
    # An empty prompt adds no user turn: the history ends with the last answer
    # when the exchange fails without recording any text.
    server.add(Reply.stream(["first"]) if stream else Reply.text("first"))
    server.add(Reply.status(500, "down") if failure == "status"
               else Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=stream))
    model = make(server, tools, stream, tool_calls_limit=0 if failure == "limit" else 3)
    run(model, "Hi")
    with pytest.raises(ValueError):
        run(model, "")
    assert history(model) == [("user", "Hi"), ("assistant", "first"), ("assistant", FALLBACK)]
    assert glued(model) == []


@pytest.mark.parametrize("stream", [False, True])
def test_failed_follow_up_records_the_fallback_once(server, tools, capsys, stream):
    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=stream), Reply.status(400, "bad"))
    model = make(server, tools, stream)
    with pytest.raises(ValueError):
        run(model, "go")
    assert history(model) == [("user", "go"), ("assistant", ["c1"]), ("tool", "3"), ("assistant", FALLBACK)]
