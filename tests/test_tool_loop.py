"""The tool-call loop end to end: the loopback server asks for tools, the real
registry runs them, the follow-up exchanges are folded into the outcome."""

from __future__ import annotations

import json

import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server, tools  # noqa: F401
from quorvel.modal import LLModal, LLMStatus, ToolContent
from quorvel.testing import Reply

CALLS = [("c1", "add", {"a": 1, "b": 2}), ("c2", "shout", {"text": "hi"})]


def make(server, tools, stream, **fields):
    return LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": True} if stream else {}, **fields)


def run(model, prompt="go"):
    """invoke's outcome: the whole record, or the list of streamed records."""
    result = model.invoke(prompt)
    return result if not model.stream else list(result)


def ask_tools(round_, stream, **options):
    return Reply.tool_calls([(f"r{round_}", "add", {"a": round_, "b": 1})], stream=stream, **options)


@pytest.mark.parametrize("stream", [False, True])
def test_parallel_calls_then_answer(server, tools, stream):
    server.add(Reply.tool_calls(CALLS, stream=stream, fragment=4), Reply.stream(["3 and ", "HI"]) if stream
               else Reply.text("3 and HI"))
    model = make(server, tools, stream)
    outcome = run(model)

    calls = {"c1": ToolContent(name="add", content={"a": 1, "b": 2}),
             "c2": ToolContent(name="shout", content={"text": "hi"})}
    results = {"c1": ToolContent(name="add", content="3"), "c2": ToolContent(name="shout", content="HI")}
    if stream:
        assert [(r.status, r.tool_calls, r.tool_results, r.content) for r in outcome] == [
            (LLMStatus.tool_calls, calls, {}, ""),
            (LLMStatus.tool_results, {}, results, ""),
            (LLMStatus.answer, {}, {}, "3 and "),
            (LLMStatus.answer, {}, {}, "HI"),
        ]
    else:
        assert (outcome.tool_calls, outcome.tool_results, outcome.content, outcome.status) == (
            calls, results, "3 and HI", LLMStatus.idle)

    assert history(model) == [("user", "go"), ("assistant", ["c1", "c2"]), ("tool", "3"), ("tool", "HI"),
                              ("assistant", "3 and HI")]
    follow_up = server.requests[1].json
    assert [m["role"] for m in follow_up["messages"]] == ["user", "assistant", "tool", "tool"]
    assert json.loads(follow_up["messages"][1]["tool_calls"][0]["function"]["arguments"]) == {"a": 1, "b": 2}
    assert follow_up["parallel_tool_calls"] is True
    assert {t["function"]["name"] for t in follow_up["tools"]} == {"add", "shout"}
    assert model.tool_calls == [] and model._tool_calls_count == 0


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("limit", [1, 3])
def test_up_to_the_limit(server, tools, capsys, stream, limit):
    server.add(*[ask_tools(i, stream) for i in range(limit)], Reply.stream("done") if stream else Reply.text("done"))
    model = make(server, tools, stream, tool_calls_limit=limit)
    outcome = run(model)
    if stream:
        statuses = [r.status for r in outcome]
        assert statuses == [LLMStatus.tool_calls, LLMStatus.tool_results] * limit + [LLMStatus.answer]
    else:
        assert list(outcome.tool_calls) == [f"r{i}" for i in range(limit)]
        assert [t.content for t in outcome.tool_results.values()] == [str(i + 1) for i in range(limit)]
        assert outcome.content == "done"
    expected = [("user", "go")]
    for i in range(limit):
        expected += [("assistant", [f"r{i}"]), ("tool", str(i + 1))]
    assert history(model) == expected + [("assistant", "done")]
    assert printed(capsys) == []
    assert model._tool_calls_count == 0 and len(server.requests) == limit + 1


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("limit", [0, 3])
def test_past_the_limit(server, tools, capsys, stream, limit):
    server.add(*[ask_tools(i, stream) for i in range(limit + 1)])
    model = make(server, tools, stream, tool_calls_limit=limit)
    seen = []
    with pytest.raises(ValueError) as raised:
        if stream:
            for record in model.invoke("go"):
                seen.append(record.status)
        else:
            model.invoke("go")
    assert str(raised.value) == FALLBACK
    # the refused batch is not announced
    assert seen == ([LLMStatus.tool_calls, LLMStatus.tool_results] * limit if stream else [])
    # one line per nested exchange, one fallback answer in all
    assert printed(capsys) == [f"Error parsing LLM response: {FALLBACK}"] * (limit + 1)
    expected = [("user", "go")]
    for i in range(limit):
        expected += [("assistant", [f"r{i}"]), ("tool", str(i + 1))]
    assert history(model) == expected + [("assistant", FALLBACK)]
    assert model.tool_calls == [] and model._tool_calls_count == 0


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize(
    "failing, first_line",
    [
        (Reply.status(503, "down"), "LLM request error: code: 503, content: b'down'"),
        (Reply.raw_lines([b"data: {broken", b""]), None),
    ],
)
def test_failure_in_nested_follow_up(server, tools, capsys, stream, failing, first_line):
    if failing.body is None and not stream:
        failing = Reply.status(200, "{broken")
    server.add(ask_tools(0, stream), ask_tools(1, stream), failing)
    model = make(server, tools, stream)
    with pytest.raises(ValueError) as raised:
        run(model)
    lines = printed(capsys)
    text = str(raised.value)
    parse_lines = [f"Error parsing LLM response: {text}"] * 2
    if first_line is not None:
        assert lines == [first_line] + parse_lines
    else:
        # the innermost exchange failed while decoding: its own line too
        assert lines == [f"Error parsing LLM response: {text}"] + parse_lines
    assert history(model)[-1] == ("assistant", FALLBACK)
    assert [entry for entry in history(model) if entry == ("assistant", FALLBACK)] == [("assistant", FALLBACK)]
    assert model.tool_calls == [] and model._tool_calls_count == 0


def test_tool_failure_becomes_a_result(server, capsys):
    from quorvel.tools import Tools

    def explode() -> str:
        """Fail."""
        raise RuntimeError("kaboom")

    server.add(Reply.tool_calls([("c1", "explode", {}), ("c2", "missing", {})]), Reply.text("sorry"))
    model = LLModal(endpoint_url=server.url, tools=Tools(explode))
    result = model.invoke("go")
    assert "kaboom" in result.tool_results["c1"].content
    assert "missing" in result.tool_results["c2"].content
    assert result.content == "sorry" and printed(capsys) == []
