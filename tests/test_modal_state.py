import inspect

import pytest

from quorvel import modal
from quorvel.modal import LLModal
from quorvel.tools import Tools

FALLBACK = "The server is busy. Please try again later."


def test_defaults_are_fresh_per_instance():
    a, b = LLModal(), LLModal()
    assert (a.section, a.endpoint_url, a.system_prompt, a.retry, a.tool_calls_limit) == ("llm", "", "", False, 3)
    assert (a._tool_calls_count, a._close, a._default) == (0, False, FALLBACK)
    assert isinstance(a.tools, Tools) and not a.tools
    for name in ("images", "video", "messages", "tool_calls", "extra_body", "tools"):
        assert getattr(a, name) is not getattr(b, name)
    assert {"_tool_calls_count", "_close", "_default"} <= set(LLModal.__private_attributes__)


@pytest.mark.parametrize(
    "member, signature",
    [
        ("_reset", "(self) -> 'None'"),
        ("message_latest", "(self, role: 'MessageRole') -> 'Message | None'"),
        ("add_message", "(self, role: 'MessageRole', content: 'str') -> 'None'"),
        ("_add_tool_calls", "(self, message: 'dict[str, Any]') -> 'None'"),
        ("_message_process", "(self, message: 'dict[str, Any]') -> 'dict[str, str]'"),
        ("_t_calls_beautify", "(tool_calls: 'list[dict[str, Any]]') -> 'dict[str, ToolContent]'"),
        ("_t_results_beautify",
         "(tool_calls: 'dict[str, ToolContent]', tool_results: 'list[Message]') -> 'dict[str, ToolContent]'"),
        ("_tool_calls", "(self) -> 'list[Message]'"),
    ],
)
def test_method_signatures(member, signature):
    function = LLModal.__dict__[member]
    if isinstance(function, staticmethod):
        function = function.__func__
    assert function.__name__ == member and function.__qualname__ == f"LLModal.{member}"
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize(
    "member, annotation",
    [("stream", "bool"), ("_extra_body", "dict[str, Any]"), ("_headers", "dict[str, str]"),
     ("_body", "dict[str, Any]"), ("messages_latest", "list[dict[str, Any]]")],
)
def test_properties(member, annotation):
    prop = LLModal.__dict__[member]
    assert isinstance(prop, property) and prop.fset is None
    assert prop.fget.__name__ == member and prop.fget.__annotations__ == {"return": annotation}


@pytest.mark.parametrize("extra, expected", [({}, False), ({"stream": True}, True), ({"stream": 1}, 1),
                                             ({"stream": None}, None), ({"x": 1}, False)])
def test_stream_returns_the_stored_object(extra, expected):
    value = LLModal(extra_body=extra).stream
    assert value == expected and type(value) is type(expected)


def test_reset_binds_a_new_list_and_touches_nothing_else():
    m = LLModal(images=["i"], extra_body={"stream": True})
    old = m.tool_calls
    old.append({"id": "c"})
    history = m.messages
    m._tool_calls_count = 2
    m._close = True
    assert m._reset() is None
    assert m.tool_calls == [] and m.tool_calls is not old and old == [{"id": "c"}]
    assert m._tool_calls_count == 0
    assert m.messages is history and m.images == ["i"] and m.extra_body == {"stream": True} and m._close


def test_module_defines_result_types_before_the_model():
    names = list(vars(modal))
    assert names.index("LLMStatus") < names.index("ToolContent") < names.index("LLMResult") < names.index("LLModal")
