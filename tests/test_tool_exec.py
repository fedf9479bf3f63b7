import tracemalloc

import pytest

from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal, ToolContent
from quorvel.tools import Tools

FALLBACK = "The server is busy. Please try again later."


def call(id, name, arguments):
    return {"id": id, "type": "function", "function": {"name": name, "arguments": arguments}}


def result(id, *contents):
    return Message(role=MessageRole.tool, tool_call_id=id, contents=list(contents))


@pytest.mark.parametrize("text, content", [
    ('{"a": 1}', {"a": 1}),
    ('"quoted"', "quoted"),
    ("not json", "not json"),
    ("", ""),
    # JSON that is neither a string nor an object stays text
    ("42", "42"), ("[1, 2]", "[1, 2]"), ("true", "true"), ("null", "null"),
])
def test_decoding_of_arguments_and_results(text, content):
    calls = LLModal._t_calls_beautify([call("c1", "f", text)])
    assert calls == {"c1": ToolContent(name="f", content=content)}
    results = LLModal._t_results_beautify({"c1": ToolContent(name="f", content={})}, [result("c1", "old", text)])
    assert results == {"c1": ToolContent(name="f", content=content)}


def test_maps_keep_order_and_replace_repeated_ids():
    calls = LLModal._t_calls_beautify([call("a", "f", "1"), call("b", "g", "{}"), call("a", "h", '"x"')])
    assert list(calls) == ["a", "b"] and calls["a"] == ToolContent(name="h", content="x")
    results = LLModal._t_results_beautify(calls, [result("b", "r1"), result("zz", "lost"), result("a", "r2"),
                                                  result("b", "r3")])
    assert list(results) == ["b", "a"]
    assert results["b"] == ToolContent(name="g", content="r3") and results["a"].name == "h"


@pytest.mark.parametrize("args, error, text", [
    (((),), TypeError, "Argument 'tool_calls' has incorrect type (expected list, got tuple)"),
    (([{"function": {"name": "f", "arguments": "{}"}}],), KeyError, "'id'"),
    (([call("c", "f", None)],), TypeError, None),
    (([], []), TypeError, "Argument 'tool_calls' has incorrect type (expected dict, got list)"),
    (({}, ()), TypeError, "Argument 'tool_results' has incorrect type (expected list, got tuple)"),
    (({"c": ToolContent(name="f", content="")}, [result("c")]), IndexError, None),
])
def test_beautifier_failures(args, error, text):
    beautify = LLModal._t_calls_beautify if len(args) == 1 else LLModal._t_results_beautify
    with pytest.raises(error) as info:
        beautify(*args)
    if text:
        assert str(info.value) == text


@pytest.fixture
def model():
    ran = []
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        """Add two integers."""
        ran.append((a, b))
        return a + b

    return LLModal(tools=tools, messages=[Message(role=MessageRole.user, contents=["sum?"])]), ran


def test_tool_calls_run_through_the_registry(model):
    model, ran = model
    batch = [call("c1", "add", '{"a": 1, "b": 2}'), call("c2", "add", "{bad")]
    model.tool_calls = batch
    model._tool_calls_count = 1
    returned = model._tool_calls()
    assert type(returned) is list and ran == [(1, 2)]
    recorded, *results = model.messages[1:]
    assert recorded.role is MessageRole.assistant and recorded.tool_calls == batch and not recorded.contents
    assert results == returned and all(a is b for a, b in zip(results, returned))
    assert [(r.tool_call_id, r.contents[-1]) for r in results][0] == ("c1", "3")
    assert model.tool_calls == [] and model.tool_calls is not batch and len(batch) == 2
    assert model._tool_calls_count == 2
    assert model.messages_latest[2]["role"] == "tool"  # valid history for the follow-up


@pytest.mark.parametrize("limit", [0, 1, 3])
def test_limit_reached(model, limit):
    model, ran = model
    model.tool_calls = [call("c1", "add", '{"a": 1, "b": 2}')]
    model.tool_calls_limit = limit
    model._tool_calls_count = limit
    model.messages.append(Message(role=MessageRole.assistant, contents=["partial"]))
    with pytest.raises(ValueError) as info:
        model._tool_calls()
    assert str(info.value) == FALLBACK and info.value.args == (FALLBACK,)
    assert ran == [] and model.tool_calls == [] and model._tool_calls_count == 0
    # The answer that ends the history stays whole; without one the fallback
    # is an entry of its own.
    assert [e.contents for e in model.messages] == [["sum?"], ["partial"]]
    model.messages.pop()
    model.tool_calls = [call("c1", "add", '{"a": 1, "b": 2}')]
    model._tool_calls_count = limit
    with pytest.raises(ValueError):
        model._tool_calls()
    assert [e.contents for e in model.messages] == [["sum?"], [FALLBACK]]


def test_limit_path_calls_members_through_the_instance():
    seen = []

    class Tracing(LLModal):
        def _reset(self):
            seen.append("reset")
            super()._reset()

        def add_message(self, role, content):
            seen.append((role, content))

    m = Tracing()
    m._default = "busy"
    m._tool_calls_count = 3
    with pytest.raises(ValueError, match="busy"):
        m._tool_calls()
    assert seen == [(MessageRole.assistant, "busy"), "reset"]


@pytest.mark.parametrize("returned, error", [
    (lambda calls: tuple(calls), "Expected list, got tuple"),
    (lambda calls: None, "'NoneType' object is not iterable"),
])
def test_registry_must_return_a_list(returned, error):
    class Registry(Tools):
        def __call__(self, tool_calls):
            return returned([Message(role=MessageRole.tool, tool_call_id="c", contents=["r"])])

    m = LLModal(tools=Registry())
    m.tool_calls = [call("c", "f", "{}")]
    with pytest.raises(TypeError) as info:
        m._tool_calls()
    assert str(info.value) == error
    if error.startswith("Expected"):  # the history was extended and counted before the check
        assert m.messages[-1].tool_call_id == "c" and m._tool_calls_count == 1 and m.tool_calls == []


def test_registry_failure_keeps_the_recorded_calls():
    class Failing(Tools):
        def __call__(self, tool_calls):
            raise RuntimeError("tool crashed")

    m = LLModal(tools=Failing())
    batch = [call("c", "f", "{}")]
    m.tool_calls = batch
    with pytest.raises(RuntimeError, match="tool crashed"):
        m._tool_calls()
    assert len(m.messages) == 1 and m.messages[0].tool_calls == batch
    assert m.tool_calls is batch and m._tool_calls_count == 0


def test_swallowed_decode_errors_do_not_grow_memory():
    calls = [call("a", "f", "not json"), call("b", "f", "{}")]
    results = [result("a", "plain text"), result("b", "[1]")]

    def cycle():
        mapped = LLModal._t_calls_beautify(calls)
        LLModal._t_results_beautify(mapped, results)
        try:  # pytest.raises keeps state per use, so it cannot sit in the measured loop
            LLModal._t_calls_beautify([call("c", "f", None)])
        except TypeError:
            return
        raise AssertionError("no TypeError")

    for _ in range(500):
        cycle()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(5000):
            cycle()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"grew by {grown} bytes"
