"""Reply shapes that real servers send beyond plain chat completions, each
decoded whole and streamed, end to end through the loopback server.  Streams
reach the client in small random byte splits."""

from __future__ import annotations

import copy
import json
import random

import pytest
from pydantic import PrivateAttr

from exchange_support import FALLBACK, history, isolated_config, printed, server  # noqa: F401
from quorvel.modal import LLModal, LLMStatus, ToolContent
from quorvel.testing import Reply, sse_body
from quorvel.tools import Tools
from quorvel.usage import last_usage

FORMS = ["whole", "stream"]


class Recording(Tools):
    """A real registry that keeps a copy of every batch it is handed."""

    _received: list = PrivateAttr(default_factory=list)

    def __call__(self, tool_calls):
        self._received.append(copy.deepcopy(tool_calls))
        return super().__call__(tool_calls)


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


def now() -> str:
    """The time of day."""
    return "noon"


def choice(delta, index=0, finish=None):
    out = {"delta": delta, "finish_reason": finish}
    if index is not None:
        out["index"] = index
    return out


def chunk(*choices):
    return {"object": "chat.completion.chunk", "choices": list(choices)}


def delta(finish=None, **fields):
    return chunk(choice(fields, finish=finish))


def split_stream(chunks, done=True) -> Reply:
    """The SSE body of `chunks`, sent in pieces of 1 to 7 bytes."""
    seed = random.randrange(2**32)
    print("split seed", seed)
    rng = random.Random(seed)
    body = sse_body(chunks, done=done)
    pieces, at = [], 0
    while at < len(body):
        step = rng.randint(1, 7)
        pieces.append(body[at:at + step])
        at += step
    return Reply.raw_lines(pieces, newline=b"")


def whole_reply(*choices_or_message) -> Reply:
    first = choices_or_message[0]
    if "message" in first:
        choices = list(choices_or_message)
    else:
        choices = [{"index": 0, "message": first, "finish_reason": "stop"}]
    return Reply.json({"object": "chat.completion", "choices": choices})


def run(server, form, *replies, tools=None):
    """invoke("go") against `replies`: the whole record or the list of streamed records."""
    server.add(*replies)
    model = LLModal(endpoint_url=server.url, tools=tools or Recording(add, now),
                    extra_body={"stream": True} if form == "stream" else {})
    outcome = model.invoke("go")
    return model, (list(outcome) if form == "stream" else outcome)


def texts(form, outcome):
    """(reasoning, content) of the outcome: the record's, or the streamed records' joined."""
    if form == "whole":
        assert outcome.status == LLMStatus.idle
        return outcome.reasoning_content, outcome.content
    return "".join(r.reasoning_content for r in outcome), "".join(r.content for r in outcome)


def final_reply(form, text="done"):
    return Reply.stream([text]) if form == "stream" else Reply.text(text)


# ---- answers ------------------------------------------------------------------------

@pytest.mark.parametrize("form", FORMS)
def test_several_choices_only_index_0_is_the_answer(server, form):
    asks_tool = {"tool_calls": [{"index": 0, "id": "x", "type": "function",
                                 "function": {"name": "add", "arguments": "{}"}}]}
    if form == "whole":
        reply = whole_reply({"index": 1, "message": {"role": "assistant", "content": "town", **asks_tool},
                             "finish_reason": "tool_calls"},
                            {"index": 0, "message": {"role": "assistant", "content": "city"}, "finish_reason": "stop"})
    else:
        reply = split_stream([
            chunk(*(choice({"role": "assistant"}, i) for i in range(3))),
            chunk(choice({"content": "ci"}, 0)), chunk(choice({"content": "to"}, 1)),
            chunk(choice(asks_tool, 2)),
            chunk(choice({"content": "wn"}, 1, "stop")),  # another answer's end ends nothing
            chunk(choice({"content": "ty"}, 2), choice({"content": "ty"}, 0)),
            chunk(choice({"content": "!"}, None)),  # a choice without index: by position
            chunk(choice({}, 2, "tool_calls"), choice({}, 0, "stop")),
        ])
    model, outcome = run(server, form, reply)
    expected = "city" if form == "whole" else "city!"
    assert texts(form, outcome) == ("", expected)
    if form == "stream":
        assert [r.status for r in outcome] == [LLMStatus.answer] * 3
    assert history(model) == [("user", "go"), ("assistant", expected)]
    assert model.tools._received == [] and len(server.requests) == 1


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("reasoning_field", [None, "reasoning_content", "reasoning"])
def test_content_as_typed_parts(server, form, reasoning_field):
    thinking = [{"type": "thinking", "thinking": [{"type": "text", "text": "Let me"}]},
                {"type": "thinking", "thinking": " add."}]
    answer = [{"type": "text", "text": "4"}, {"type": "image_url", "image_url": {"url": "x"}},
              {"type": "text", "text": "2"}]
    extra = {reasoning_field: "R"} if reasoning_field else {}
    if form == "whole":
        reply = whole_reply({"role": "assistant", "content": thinking + answer, **extra})
    else:
        reply = split_stream([delta(content=[part], **extra) for part in thinking] +
                             [delta(content=answer[:2]), delta(content=answer[2:]), delta("stop")])
    model, outcome = run(server, form, reply)
    if reasoning_field:
        expected_reasoning = "R" if form == "whole" else "RR"
    else:
        expected_reasoning = "Let me add."
    assert texts(form, outcome) == (expected_reasoning, "42")
    if form == "stream":
        assert [r.status for r in outcome] == [LLMStatus.reason] * 2 + [LLMStatus.answer] * 2
    assert history(model) == [("user", "go"), ("assistant", "42")]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("reasoning", [None, "", "R"])
def test_reasoning_details(server, form, reasoning):
    details = [{"type": "reasoning.text", "text": "15 * 27"}, {"type": "reasoning.encrypted", "data": "x9"},
               {"type": "reasoning.summary", "summary": " = 405"}]
    extra = {} if reasoning is None else {"reasoning": reasoning}
    if form == "whole":
        reply = whole_reply({"role": "assistant", "content": "405", "reasoning_details": details, **extra})
    else:
        reply = split_stream([delta(reasoning_details=[d], **extra) for d in details] +
                             [delta(content="405", reasoning_details=[]), delta("stop")])
    model, outcome = run(server, form, reply)
    if reasoning == "R":
        expected = "R" if form == "whole" else "RRR"
    else:
        expected = "15 * 27 = 405"
    assert texts(form, outcome) == (expected, "405")
    assert history(model) == [("user", "go"), ("assistant", "405")]


@pytest.mark.parametrize("ending", [[], [{"choices": [], "usage": {"total_tokens": 3}}]])
@pytest.mark.parametrize("done", [True, False])
def test_stream_without_an_answer_fails(server, capsys, ending, done):
    server.add(split_stream(ending, done=done))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True})
    with pytest.raises(ValueError) as raised:
        list(model.invoke("go"))
    assert "ended the stream without an answer" in str(raised.value)
    assert [line for line in printed(capsys) if "seed" not in line] == [
        f"Error parsing LLM response: {raised.value}"]
    assert history(model) == [("user", "go"), ("assistant", FALLBACK)]


def test_stream_without_finish_reason_ends_normally(server):
    model, outcome = run(server, "stream", split_stream([delta(content="a")], done=False))
    assert [r.content for r in outcome] == ["a"]
    assert history(model) == [("user", "go"), ("assistant", "a")]


# ---- tool calls ---------------------------------------------------------------------

def tool_round(server, form, whole_calls, stream_chunks, tools=None):
    """One answer asking for tools, then a plain answer: the outcome, the
    model, what the registry received and the follow-up request's messages."""
    if form == "whole":
        first = whole_reply({"role": "assistant", "content": None, "tool_calls": whole_calls})
    else:
        first = split_stream(stream_chunks + [delta("tool_calls")])
    tools = tools or Recording(add, now)
    model, outcome = run(server, form, first, final_reply(form), tools=tools)
    (received,) = tools._received
    return outcome, model, received, server.requests[1].json["messages"]


def records(form, outcome):
    """The calls and results maps of the outcome, and its text."""
    if form == "whole":
        return outcome.tool_calls, outcome.tool_results, outcome.content
    calls, results = outcome[:2]
    assert (calls.status, results.status) == (LLMStatus.tool_calls, LLMStatus.tool_results)
    return calls.tool_calls, results.tool_results, texts(form, outcome)[1]


def wire(call):
    return (call["id"], call["function"]["name"], call["function"]["arguments"])


@pytest.mark.parametrize("form", FORMS)
def test_first_tool_call_at_a_wire_index_other_than_0(server, form):
    whole_calls = [{"index": 1, "id": "c1", "type": "function",
                    "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}},
                   {"index": 4, "id": "c2", "type": "function", "function": {"name": "now", "arguments": ""}}]
    stream_chunks = [
        delta(content=None, role="assistant"),
        delta(tool_calls=[{"index": 1, "id": "c1", "type": "function", "function": {"name": "add"}}]),
        delta(tool_calls=[{"index": 1, "function": {"arguments": '{"a": 1,'}}]),
        delta(tool_calls=[{"index": 4, "id": "c2", "type": "function", "function": {"name": "now", "arguments": ""}}]),
        delta(tool_calls=[{"index": 1, "function": {"arguments": ' "b": 2}'}}]),
    ]
    outcome, model, received, follow_up = tool_round(server, form, whole_calls, stream_chunks)
    assert [wire(c) for c in received] == [("c1", "add", '{"a": 1, "b": 2}'), ("c2", "now", "")]
    calls, results, content = records(form, outcome)
    assert calls == {"c1": ToolContent(name="add", content={"a": 1, "b": 2}), "c2": ToolContent(name="now", content="")}
    assert results == {"c1": ToolContent(name="add", content="3"), "c2": ToolContent(name="now", content="noon")}
    assert content == "done"
    assert history(model) == [("user", "go"), ("assistant", ["c1", "c2"]), ("tool", "3"), ("tool", "noon"),
                              ("assistant", "done")]
    assert [wire(c) for c in follow_up[1]["tool_calls"]] == [wire(c) for c in received]
    assert [m.get("tool_call_id") for m in follow_up[2:]] == ["c1", "c2"]


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("arguments", ["missing", None])
def test_tool_call_without_arguments(server, form, arguments):
    function = {"name": "now"} if arguments == "missing" else {"name": "now", "arguments": None}
    whole_calls = [{"id": "c1", "type": "function", "function": function}]
    stream_chunks = [delta(tool_calls=[{"index": 0, "id": "c1", "type": "function", "function": function}]),
                     delta(tool_calls=[{"index": 0, "function": {"arguments": None}}])]
    outcome, model, received, follow_up = tool_round(server, form, whole_calls, stream_chunks)
    assert [wire(c) for c in received] == [("c1", "now", "{}")]
    calls, results, _ = records(form, outcome)
    assert calls == {"c1": ToolContent(name="now", content={})}
    assert results == {"c1": ToolContent(name="now", content="noon")}
    assert model.messages[1].tool_calls[0]["function"]["arguments"] == "{}"
    assert wire(follow_up[1]["tool_calls"][0]) == ("c1", "now", "{}")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("missing_id", [{"id": ""}, {"id": None}, {}])
def test_tool_call_without_id_gets_one(server, form, missing_id):
    def call(index, name, arguments):
        return {"index": index, **missing_id, "type": "function", "function": {"name": name, "arguments": arguments}}

    whole_calls = [call(0, "add", '{"a": 2, "b": 2}'), call(1, "now", "{}")]
    stream_chunks = [delta(tool_calls=[call(0, "add", "")]), delta(tool_calls=[call(1, "now", "{}")]),
                     delta(tool_calls=[{"index": 0, "function": {"arguments": '{"a": 2, "b": 2}'}}])]
    outcome, model, received, follow_up = tool_round(server, form, whole_calls, stream_chunks)
    ids = [c["id"] for c in received]
    assert len(set(ids)) == 2 and all(i.startswith("call_") and len(i) > len("call_") for i in ids)
    calls, results, _ = records(form, outcome)
    assert list(calls) == ids and list(results) == ids
    assert results[ids[0]].content == "4"
    assert history(model)[1:4] == [("assistant", ids), ("tool", "4"), ("tool", "noon")]
    assert [m.tool_call_id for m in model.messages[2:4]] == ids
    assert [c["id"] for c in follow_up[1]["tool_calls"]] == ids
    assert [m["tool_call_id"] for m in follow_up[2:4]] == ids


@pytest.mark.parametrize("form", FORMS)
def test_tool_call_arguments_sent_as_an_object(server, form):
    whole_calls = [{"id": "c1", "type": "function", "function": {"name": "add", "arguments": {"a": 5, "b": 6}}}]
    stream_chunks = [
        delta(tool_calls=[{"index": 0, "id": "c1", "type": "function", "function": {"name": "add", "arguments": ""}}]),
        delta(tool_calls=[{"index": 0, "function": {"arguments": {"a": 5, "b": 6}}}]),
    ]
    outcome, model, received, follow_up = tool_round(server, form, whole_calls, stream_chunks)
    (sent,) = received
    assert isinstance(sent["function"]["arguments"], str)
    assert json.loads(sent["function"]["arguments"]) == {"a": 5, "b": 6}
    calls, results, _ = records(form, outcome)
    assert calls == {"c1": ToolContent(name="add", content={"a": 5, "b": 6})}
    assert results == {"c1": ToolContent(name="add", content="11")}
    assert follow_up[1]["tool_calls"][0]["function"]["arguments"] == sent["function"]["arguments"]


# ---- content as an object, chunks without choices, choices without a message ----------

@pytest.mark.parametrize("form", FORMS)
def test_content_sent_as_an_object_is_its_json_text(server, form):
    answer = {"city": "Zürich", "temperature": 14, "tags": ["rain"]}
    if form == "whole":
        reply = whole_reply({"role": "assistant", "content": answer})
        expected = json.dumps(answer, ensure_ascii=False)
    else:
        reply = split_stream([delta(role="assistant"), delta(content=answer), delta(content={"n": 1}), delta("stop")])
        expected = json.dumps(answer, ensure_ascii=False) + '{"n": 1}'
    model, outcome = run(server, form, reply)
    assert texts(form, outcome) == ("", expected)
    assert json.loads(expected.removesuffix('{"n": 1}')) == answer
    assert history(model) == [("user", "go"), ("assistant", expected)]


@pytest.mark.parametrize("choices", ["missing", None, []], ids=["missing", "null", "empty"])
def test_chunks_without_choices_carry_no_text_and_their_usage_is_read(server, choices):
    def usage_only(tokens):
        out = {"object": "chat.completion.chunk", "usage": {"prompt_tokens": tokens, "completion_tokens": 1}}
        if choices != "missing":
            out["choices"] = choices
        return out

    reply = split_stream([usage_only(1), delta(content="a"), usage_only(2), delta(content="b"),
                          usage_only(3), delta("stop")])
    model, outcome = run(server, "stream", reply)
    assert texts("stream", outcome) == ("", "ab")
    assert history(model) == [("user", "go"), ("assistant", "ab")]
    # The last usage object of the answer is its usage.
    assert (last_usage(model).input_tokens, last_usage(model).exchanges) == (3, 1)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("finish", [{"finish_reason": "content_filter"}, {"finish_reason": None}, {}],
                         ids=["content_filter", "null", "missing"])
def test_a_choice_without_a_message_fails_naming_the_finish_reason(server, capsys, form, finish):
    if form == "whole":
        reply = Reply.json({"object": "chat.completion", "choices": [
            {"index": 0, **finish, "content_filter_results": {"hate": {"filtered": True}}}]})
    else:
        # A stream whose answer finishes without ever sending a delta.
        reply = split_stream([chunk({"index": 0, "finish_reason": finish.get("finish_reason") or "content_filter"})])
    if form == "stream" or finish.get("finish_reason"):
        named = "content_filter"
    else:
        named = "null"
    server.add(reply)
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True} if form == "stream" else {})
    with pytest.raises(ValueError) as raised:
        outcome = model.invoke("go")
        if form == "stream":
            list(outcome)
    assert str(raised.value) == f"The server sent no message (finish_reason: {named})"
    assert [line for line in printed(capsys) if "seed" not in line] == [f"Error parsing LLM response: {raised.value}"]
    assert history(model) == [("user", "go"), ("assistant", FALLBACK)]


def test_a_choice_without_delta_after_deltas_still_ends_the_stream(server):
    model, outcome = run(server, "stream", split_stream([delta(content="partial"),
                                                         chunk({"index": 0, "finish_reason": "content_filter"})]))
    assert texts("stream", outcome) == ("", "partial")
