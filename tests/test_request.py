import os

import pytest

from quorvel import modal
from quorvel.message import MessageRole
from quorvel.modal import LLModal
from quorvel.tools import Tools


@pytest.fixture(autouse=True)
def no_configuration(tmp_path, monkeypatch):
    for name in [n for n in os.environ if n.startswith("QUORVEL_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("QUORVEL_CONFIG", str(tmp_path / "absent.ini"))


def registry():
    tools = Tools()

    @tools.register
    def add(a: int, b: int) -> int:
        """Add."""
        return a + b

    return tools


@pytest.mark.parametrize("section, env, key, expected", [
    ("llm", None, None, None),
    ("llm", "QUORVEL_LLM_API_KEY", "sk-1", "Bearer sk-1"),
    ("llm", "QUORVEL_LLM_API_KEY", "", "Bearer "),
    ("other", "QUORVEL_LLM_API_KEY", "sk-1", None),
    ("other", "QUORVEL_OTHER_API_KEY", "sk-2", "Bearer sk-2"),
])
def test_headers_from_configuration(monkeypatch, section, env, key, expected):
    if env:
        monkeypatch.setenv(env, key)
    headers = LLModal(section=section)._headers
    if expected is None:
        assert headers == {"Content-Type": "application/json"}
    else:
        assert list(headers.items()) == [("Content-Type", "application/json"), ("Authorization", expected)]


@pytest.mark.parametrize("key, expected", [(42, "Bearer 42"), (None, "Bearer None"), ("k", "Bearer k")])
def test_configurator_is_looked_up_at_each_use(monkeypatch, key, expected):
    calls = []

    class Stand:
        @staticmethod
        def has_option(*args):
            calls.append(("has_option", args))
            return 1

        @staticmethod
        def get(*args):
            calls.append(("get", args))
            return key

    monkeypatch.setattr(modal, "Configurator", Stand)
    assert LLModal(section="s")._headers["Authorization"] == expected
    assert calls == [("has_option", ("s", "api_key")), ("get", ("s", "api_key"))]


@pytest.mark.parametrize("extra, tools, keys, sent", [
    ({}, False, ["messages"], {}),
    ({"stream": True}, False, ["messages", "stream"], {"stream": True}),
    ({"stream": True}, True, ["messages", "stream", "tools", "parallel_tool_calls"], {"parallel_tool_calls": True}),
    ({"tools": "mine", "t": 0}, True, ["messages", "tools", "t", "parallel_tool_calls"], {"t": 0}),
    ({"tools": "mine", "parallel_tool_calls": 0}, False, ["messages", "tools", "parallel_tool_calls"],
     {"tools": "mine", "parallel_tool_calls": 0}),
    ({"messages": "own"}, False, ["messages"], {"messages": "own"}),
])
def test_body_key_order_and_extra_body_untouched(extra, tools, keys, sent):
    m = LLModal(extra_body=extra, tools=registry() if tools else Tools())
    m.add_message(role=MessageRole.user, content="hi")
    before = dict(m.extra_body)
    body = m._body
    assert list(body) == keys
    assert m.extra_body == before and list(m.extra_body) == list(before)
    for key, value in sent.items():
        assert body[key] == value
    if tools:
        assert body["tools"] == m.tools.schemas and body["tools"][0]["function"]["name"] == "add"
    if "messages" not in extra:
        assert body["messages"] == [{"role": "user", "content": "hi"}]


def test_body_is_new_each_read_and_shares_values():
    nested = {"deep": [1]}
    m = LLModal(extra_body={"opts": nested})
    m.extra_body["opts"] = nested  # construction validated a copy
    first, second = m._body, m._body
    assert first == second and first is not second and first["messages"] is not second["messages"]
    assert first["opts"] is nested


@pytest.mark.parametrize("value, error", [
    (None, "argument after ** must be a mapping, not NoneType"),
    (5, "'int' object is not iterable"),
])
def test_extra_body_that_is_not_a_mapping(value, error):
    m = LLModal()
    m.extra_body = value
    with pytest.raises(TypeError) as info:
        m._extra_body
    assert str(info.value) == error


def test_extra_body_pairs_are_converted():
    m = LLModal()
    m.extra_body = [("a", 1)]
    assert m._extra_body == {"a": 1}
