"""The history entry: rendering, truth value, JSON repr and validation."""
import json

import pydantic
import pytest

from quorvel.message import Message, MessageRole

IMAGE = {"type": "image_url", "image_url": "data:image;base64,AAA"}
VIDEO = {"type": "video", "video": ["data:image;base64,BBB"]}


def text(t):
    return {"type": "text", "text": t}


def test_roles_are_string_members_in_order():
    assert [m.value for m in MessageRole] == ["system", "user", "assistant", "tool"]
    assert MessageRole.user == "user" and isinstance(MessageRole.user, str)
    assert json.dumps(MessageRole.tool) == '"tool"'


def test_role_string_becomes_member_and_instances_do_not_share_lists():
    a, b = Message(role="user"), Message(role="user")
    assert a.role is MessageRole.user
    assert a.contents is not b.contents and a.tool_calls is not b.tool_calls
    assert a.tool_call_id == ""


@pytest.mark.parametrize("kwargs", [{}, {"role": "robot"}, {"role": "user", "contents": [1]}, {"role": "user", "tool_calls": ["x"]}])
def test_invalid_construction_is_a_validation_error(kwargs):
    with pytest.raises(pydantic.ValidationError):
        Message(**kwargs)


@pytest.mark.parametrize(
    "contents, expected",
    [
        (["a", "b"], "b"),
        ([[IMAGE, text("old")], "new"], [IMAGE, text("new")]),
        ([[VIDEO], [IMAGE, text("x")], "latest"], [IMAGE, text("latest")]),
        ([[VIDEO, IMAGE, text("a"), text("b")], "c"], [VIDEO, IMAGE, text("c")]),
        ([[IMAGE, text("only")]], [IMAGE, text("only")]),
        (["plain", [IMAGE]], [IMAGE]),
    ],
)
def test_rendered_content(contents, expected):
    m = Message(role="user", contents=contents)
    rendered = m.latest
    assert list(rendered) == ["role", "content"]
    assert rendered["role"] is MessageRole.user
    assert rendered["content"] == expected


def test_earlier_media_parts_are_the_same_objects_and_message_is_unchanged():
    m = Message(role="user", contents=[[IMAGE, text("old")], "new"])
    before = m.model_dump()
    content = m.latest["content"]
    assert content[0] is m.contents[0][0]
    assert list(content[-1]) == ["type", "text"]
    assert m.model_dump() == before


def test_last_list_version_is_that_very_list():
    parts = [IMAGE, text("t")]
    m = Message(role="user", contents=[parts])
    assert m.latest["content"] is m.contents[-1]


def test_tool_call_form_wins_and_holds_the_same_list():
    calls = [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]
    m = Message(role="assistant", tool_calls=calls, tool_call_id="c0", contents=["ignored"])
    rendered = m.latest
    assert list(rendered) == ["role", "tool_calls"]
    assert rendered["tool_calls"] is m.tool_calls
    assert not Message(role="assistant", tool_calls=calls)


def test_tool_result_form():
    m = Message(role="tool", tool_call_id="c1", contents=[[IMAGE], "42"])
    rendered = m.latest
    assert list(rendered) == ["role", "tool_call_id", "content"]
    assert rendered == {"role": "tool", "tool_call_id": "c1", "content": "42"}


def test_latest_is_new_each_read():
    m = Message(role="system", contents=["s"])
    assert m.latest is not m.latest and m.latest == m.latest


def test_repr_is_json_with_unescaped_non_ascii():
    assert repr(Message(role="user", contents=["héllo"])) == '{"role": "user", "content": "héllo"}'
    m = Message(role="user", contents=[[IMAGE, text("x")]])
    assert json.loads(repr(m)) == m.latest


def test_str_and_equality_stay_pydantic():
    a = Message(role="user", contents=["x"])
    assert a == Message(role="user", contents=["x"])
    assert a != Message(role="user", contents=["y"])
    assert str(a) == "role=<MessageRole.user: 'user'> contents=['x'] tool_call_id='' tool_calls=[]"


@pytest.mark.parametrize("contents, expected", [([], False), ([""], True), ([[]], True)])
def test_truth_is_non_empty_contents(contents, expected):
    assert bool(Message(role="user", contents=contents)) is expected


@pytest.mark.parametrize("kwargs", [{"role": "user"}, {"role": "tool", "tool_call_id": "c"}])
def test_empty_contents_cannot_render(kwargs):
    m = Message(**kwargs)
    with pytest.raises(IndexError):
        m.latest
    with pytest.raises(IndexError):
        repr(m)


def test_part_without_type_raises_keyerror_and_changes_nothing():
    m = Message(role="user", contents=[[{"text": "no type"}], "new"])
    before = m.model_dump()
    with pytest.raises(KeyError, match="type"):
        m.latest
    assert m.model_dump() == before


def test_string_annotations_as_declared():
    assert Message.__annotations__ == {
        "role": "MessageRole",
        "contents": "list[str | list[dict[str, Any]]]",
        "tool_call_id": "str",
        "tool_calls": "list[dict[str, Any]]",
    }
    assert Message.latest.fget.__annotations__ == {"return": "dict[str, Any]"}
    assert Message.__bool__.__annotations__ == {"return": "bool"}
    assert Message.__repr__.__annotations__ == {"return": "str"}
    assert list(Message.model_fields) == ["role", "contents", "tool_call_id", "tool_calls"]
