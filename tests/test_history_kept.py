"""The history keeps each entry's rendering from one request to the next and
copies it: what callers receive is exactly what rendering every entry again
would give, however the entries or the returned dicts change in between."""
import gc
import weakref

import pytest

from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal

IMAGE = {"type": "image_url", "image_url": "data:image;base64,AAAA"}
CALL = {"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}


def history():
    return [
        Message(role="system", contents=["be brief"]),
        Message(role="user", contents=["question"]),
        Message(role="assistant", tool_calls=[dict(CALL)]),
        Message(role="tool", tool_call_id="c1", contents=["result"]),
        Message(role="user", contents=[[IMAGE, {"type": "text", "text": "look"}]]),
        Message(role="assistant", contents=["answer"]),
    ]


def fresh(model):
    """Every entry rendered by itself (Message.latest keeps nothing)."""
    return [entry.latest for entry in model.messages]


def test_repeated_reads_equal_fresh_renderings_in_key_order():
    model = LLModal(messages=history())
    for _ in range(3):
        rendered = model.messages_latest
        assert rendered == fresh(model)
        assert [list(d) for d in rendered] == [list(d) for d in fresh(model)]
    # The entry's own objects, as a fresh rendering gives them.
    assert rendered[2]["tool_calls"] is model.messages[2].tool_calls
    assert rendered[4]["content"] is model.messages[4].contents[-1]


def change_returned(rendered):
    rendered[0]["content"] = "changed"
    rendered[1].clear()
    rendered[2]["extra"] = True
    del rendered[3]["tool_call_id"]
    rendered[5].update(role="system", name="x")
    rendered.append({"role": "user", "content": "added"})


def test_changing_returned_dicts_never_changes_the_next_read():
    model = LLModal(messages=history())
    first = model.messages_latest
    expected = fresh(model)
    change_returned(first)
    second = model.messages_latest
    assert second == expected
    assert all(a is not b for a, b in zip(first, second))
    change_returned(second)
    assert model.messages_latest == expected


def set_attr(index, name, value):
    return lambda entries: setattr(entries[index], name, value)


CHANGES = {
    "version appended": lambda e: e[1].contents.append("again"),
    "last version replaced in place": lambda e: e[1].contents.__setitem__(-1, "other"),
    "only version replaced by parts": lambda e: e[1].contents.__setitem__(0, [IMAGE]),
    "text after a media version": lambda e: e[4].contents.append("plain now"),
    "versions replaced": set_attr(5, "contents", ["new answer"]),
    "versions emptied": lambda e: e[5].contents.clear(),
    "role": set_attr(1, "role", MessageRole.assistant),
    "role as plain text": set_attr(1, "role", "user"),
    "tool call added in place": lambda e: e[5].tool_calls.append(CALL),
    "tool calls emptied in place": lambda e: e[2].tool_calls.clear(),
    "tool calls replaced": set_attr(2, "tool_calls", [{"id": "c2"}]),
    "tool call id set": set_attr(1, "tool_call_id", "c7"),
    "tool call id cleared": set_attr(3, "tool_call_id", ""),
    "tool result version appended": lambda e: e[3].contents.append("second result"),
    "entry replaced": lambda e: e.__setitem__(1, Message(role="user", contents=["replacement"])),
    "entries reordered": lambda e: e.reverse(),
    "entry removed": lambda e: e.pop(0),
    "entry inserted": lambda e: e.insert(2, Message(role="user", contents=["inserted"])),
    "entry swapped for an equal one": lambda e: e.__setitem__(1, Message(role="user", contents=["question"])),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_changes_to_the_entries_are_seen_at_the_next_read(change):
    model = LLModal(messages=history())
    model.messages_latest
    change(model.messages)
    if any(not entry.contents and not entry.tool_calls for entry in model.messages):
        with pytest.raises(IndexError):
            model.messages_latest
        return
    assert model.messages_latest == fresh(model)
    assert model.messages_latest == fresh(model)  # and kept as changed


def test_histories_of_several_clients_each_render_their_own():
    one = LLModal(messages=history())
    two = LLModal(messages=[Message(role="user", contents=[f"other {i}"]) for i in range(8)])
    for _ in range(3):
        assert one.messages_latest == fresh(one)
        assert two.messages_latest == fresh(two)
    two.messages[:] = two.messages[:2]
    assert two.messages_latest == fresh(two)
    assert one.messages_latest == fresh(one)


def test_returned_dicts_are_tracked_like_those_built_in_python():
    model = LLModal(messages=history())
    model.messages_latest
    rendered = model.messages_latest
    assert [gc.is_tracked(d) for d in rendered] == [gc.is_tracked(dict(d)) for d in fresh(model)]
    assert all(gc.is_tracked(d) for d in rendered)


class Text(str):
    """A version that can be watched for being freed."""


def test_kept_renderings_let_go_when_the_history_shrinks():
    text = Text("watched")
    freed = weakref.ref(text)
    model = LLModal(messages=[Message(role="user", contents=["a"]), Message(role="user", contents=[text])])
    model.messages_latest
    model.messages_latest
    del text, model
    gc.collect()
    # The last rendering still holds the version; rendering a shorter
    # history drops what is kept beyond its length.
    LLModal(messages=[Message(role="user", contents=["b"])]).messages_latest
    gc.collect()
    assert freed() is None
