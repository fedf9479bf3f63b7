"""The history renders each entry inline, exactly as the entry's own `latest`
would, while that property is quorvel.message's own."""

import pytest

from fast_path_support import is_on
from quorvel import modal
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal

IMAGE = {"type": "image_url", "image_url": "data:image;base64,AAAA"}
CALL = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}

ENTRIES = [
    Message(role="system", contents=["be brief"]),
    Message(role="user", contents=["a", "b"]),
    Message(role="user", contents=[[IMAGE, {"type": "text", "text": "old"}], "new"]),
    Message(role="user", contents=[[{"type": "video", "video": ["v"]}], [IMAGE], "newer"]),
    Message(role="user", contents=[[IMAGE, {"type": "text", "text": "kept"}]]),
    Message(role="assistant", tool_calls=[CALL]),
    Message(role="assistant", contents=["x"], tool_calls=[CALL], tool_call_id="ignored"),
    Message(role="tool", tool_call_id="c1", contents=["result"]),
    Message(role="tool", tool_call_id="c1", contents=[[IMAGE]]),
]


def fast_paths(name):
    return modal._fast_paths()[name]


# A build with the fast paths switched off counts neither side of this one.
INLINE = 1 if is_on(modal, "latest_inline") else 0


def test_rendered_as_each_entry_renders_itself():
    model = LLModal(messages=ENTRIES)
    before = fast_paths("latest_inline")[0]
    rendered = model.messages_latest
    assert fast_paths("latest_inline")[0] - before == len(ENTRIES) * INLINE
    assert rendered == [entry.latest for entry in ENTRIES]
    assert [list(got) for got in rendered] == [list(entry.latest) for entry in ENTRIES]  # key order
    # The entry's own objects, not copies.
    assert rendered[5]["tool_calls"] is ENTRIES[5].tool_calls
    assert rendered[4]["content"] is ENTRIES[4].contents[-1]
    assert rendered[2]["content"][0] is ENTRIES[2].contents[0][0] and rendered[1]["content"] is ENTRIES[1].contents[-1]


def test_every_read_returns_new_dicts_the_caller_may_change():
    model = LLModal(messages=[Message(role="user", contents=["q"]), Message(role="assistant", contents=["a"])])
    first = model.messages_latest
    first[0]["content"] = "changed"
    first[1]["extra"] = 1
    second = model.messages_latest
    assert second == [{"role": "user", "content": "q"}, {"role": "assistant", "content": "a"}]
    assert all(a is not b for a, b in zip(first, second))
    # Changes to the entries are seen at the next read.
    model.messages[0].contents.append("q2")
    model.messages[1].tool_calls = [CALL]
    assert model.messages_latest == [{"role": "user", "content": "q2"}, {"role": MessageRole.assistant,
                                                                         "tool_calls": [CALL]}]


@pytest.mark.parametrize("entry, error", [
    (Message(role="user"), IndexError),
    (Message(role="user", contents=[[{"text": "no type"}], "t"]), KeyError),
])
def test_failures_are_those_of_the_entry_itself(entry, error):
    with pytest.raises(error):
        entry.latest
    with pytest.raises(error):
        LLModal(messages=[Message(role="user", contents=["ok"]), entry]).messages_latest


def test_a_replaced_latest_is_called_instead(monkeypatch):
    model = LLModal(messages=[Message(role="user", contents=["a"])])
    original = Message.__dict__["latest"]
    monkeypatch.setattr(Message, "latest", property(lambda self: {"mine": original.fget(self)}))
    before = fast_paths("latest_inline")[1]
    assert model.messages_latest == [{"mine": {"role": "user", "content": "a"}}]
    assert fast_paths("latest_inline")[1] - before == INLINE
