"""Property-based tests of the history members and of message rendering:
random sequences of turns, retries, pending media and answer digests keep the
history growing only by the rules, refuse bad arguments without a trace, and
always render into a request; a message renders as the rendering rules say.

Run longer with QUORVEL_FUZZ=long (README, "Development")."""

from __future__ import annotations

import copy
import json

import pytest
from hypothesis import given, strategies as st

from fuzz_support import DOCUMENTED_ERRORS, json_values, messages as answer_messages, sometimes_odd
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal

pytestmark = pytest.mark.fuzz

ROLES = ["system", "user", "assistant", "tool"]

# ---- rendering ------------------------------------------------------------------

parts = st.one_of(
    st.fixed_dictionaries({"type": st.just("text"), "text": st.text(max_size=4)}),
    st.fixed_dictionaries({"type": st.just("image_url"), "image_url": st.text(max_size=4)}),
    st.fixed_dictionaries({"type": st.just("video"), "video": st.lists(st.text(max_size=3), max_size=2)}),
    st.dictionaries(st.sampled_from(["type", "text", "x"]), json_values, max_size=2),
)
versions = st.one_of(st.text(max_size=6), st.lists(parts, max_size=3))
tool_calls = st.lists(
    st.dictionaries(st.sampled_from(["id", "type", "function", "index"]), json_values, max_size=3), max_size=2
)
message_records = st.builds(
    Message,
    role=st.sampled_from(ROLES),
    contents=st.lists(versions, max_size=4),
    tool_call_id=st.one_of(st.just(""), st.text(max_size=3)),
    tool_calls=st.one_of(st.just([]), tool_calls),
)


def expected_rendering(message: Message) -> dict:
    """The rendering rules, written out plainly."""
    if message.tool_calls:
        return {"role": message.role, "tool_calls": message.tool_calls}
    if message.tool_call_id:
        return {"role": message.role, "tool_call_id": message.tool_call_id, "content": message.contents[-1]}
    content = message.contents[-1]
    if isinstance(content, str):
        for version in reversed(message.contents):
            if isinstance(version, list):
                content = [p for p in version if p["type"] != "text"] + [{"type": "text", "text": content}]
                break
    return {"role": message.role, "content": content}


def outcome(fn):
    try:
        return fn()
    except Exception as exc:  # noqa: BLE001 - compared below
        return exc


@given(message=message_records)
def test_rendering_follows_the_rules(message):
    before = copy.deepcopy(message.model_dump())
    expected = outcome(lambda: expected_rendering(message))
    rendered = outcome(lambda: message.latest)
    if isinstance(expected, Exception):
        assert type(rendered) is type(expected), (rendered, expected)
        assert type(outcome(lambda: repr(message))) is type(expected)
    else:
        assert list(rendered.items()) == list(expected.items())
        assert rendered is not message.latest
        assert repr(message) == json.dumps(rendered, ensure_ascii=False)
        # The message's own objects, not copies.
        if "tool_calls" in rendered:
            assert rendered["tool_calls"] is message.tool_calls
        elif isinstance(message.contents[-1], list):
            assert rendered["content"] is message.contents[-1]
    assert bool(message) is bool(message.contents)
    assert message.model_dump() == before


# ---- history members ------------------------------------------------------------

odd_contents = st.one_of(st.none(), st.binary(max_size=3), st.integers(), st.sampled_from(list(MessageRole)))
roles = st.one_of(st.sampled_from(ROLES), st.sampled_from(list(MessageRole)), st.sampled_from(["", "bot"]))
operations = st.one_of(
    st.tuples(st.just("add"), roles, st.text(max_size=4)),
    st.tuples(st.just("add"), roles, odd_contents),
    st.tuples(st.just("retry"), st.booleans()),
    st.tuples(st.just("images"), st.lists(st.text(max_size=3), min_size=1, max_size=2)),
    st.tuples(st.just("video"), st.lists(st.text(max_size=3), min_size=1, max_size=2)),
    st.tuples(st.just("process"), sometimes_odd(answer_messages)),
    st.tuples(st.just("tool turn"), st.text(max_size=3)),
)


def history_of(model: LLModal):
    return [(str(m.role), list(m.contents), copy.deepcopy(m.tool_calls), m.tool_call_id) for m in model.messages]


def check_grew_by_the_rules(before, after):
    """Entries are only appended; an entry only gains versions or has its
    current text extended (a streamed answer)."""
    assert len(after) >= len(before)
    for (role, contents, calls, tid), (role2, contents2, calls2, tid2) in zip(before, after):
        assert (role, calls, tid) == (role2, calls2, tid2)
        assert len(contents2) >= len(contents)
        if contents:
            assert contents2[: len(contents) - 1] == contents[:-1]
            last = contents[-1]
            now = contents2[len(contents) - 1]
            assert now == last or (isinstance(last, str) and isinstance(now, str) and now.startswith(last))


def check_renders(model: LLModal):
    rendered = model.messages_latest
    json.dumps(rendered)
    if not model.retry:
        assert len(rendered) == len(model.messages)
    elif any(m.role == MessageRole.user for m in model.messages):
        assert rendered[-1]["role"] == MessageRole.user
        assert len(rendered) <= len(model.messages)


def apply(model: LLModal, op) -> None:
    kind = op[0]
    if kind == "add":
        model.add_message(role=op[1], content=op[2])
    elif kind == "retry":
        model.retry = op[1]
    elif kind == "images":
        model.images.extend(op[1])
    elif kind == "video":
        model.video.extend(op[1])
    elif kind == "process":
        result = model._message_process(op[1])
        assert list(result) == ["reasoning_content", "content"]
    elif kind == "tool turn":
        # What the tool-call step appends directly: the calls, then a result.
        model.messages.append(Message(role=MessageRole.assistant, tool_calls=[{"id": op[1]}]))
        model.messages.append(Message(role=MessageRole.tool, tool_call_id=op[1] or "x", contents=[op[1]]))


@given(ops=st.lists(operations, max_size=12))
def test_history_members_keep_their_rules(ops):
    model = LLModal()
    images, video = model.images, model.video
    for op in ops:
        before = history_of(model)
        pending = (list(model.images), list(model.video))
        calls_before = len(model.tool_calls)
        try:
            apply(model, op)
        except Exception as exc:  # noqa: BLE001 - judged below
            assert isinstance(exc, DOCUMENTED_ERRORS), f"undocumented {type(exc).__name__}: {exc}"
            if op[0] == "add":
                # A refused turn leaves no trace.
                assert history_of(model) == before
                assert (model.images, model.video) == pending
        else:
            if op[0] == "add" and type(op[2]) is str:
                role = op[1]
                if role in ("system", "tool"):
                    assert len(model.messages) == len(before) + 1
                    assert model.messages[-1].contents == [op[2]]
                if role == "user" and (pending[0] or pending[1]):
                    # Media go with this turn, and only this one.
                    assert model.images == [] and model.video == []
                    # A new entry, or under retry a new version of the latest user entry.
                    part_list = model.message_latest(role=MessageRole.user).contents[-1]
                    assert [p["type"] for p in part_list] == (
                        ["image_url"] * len(pending[0]) + ["video"] * bool(pending[1]) + ["text"] * bool(op[2])
                    )
                elif role == "user" and not before_retry(model, op, before):
                    assert len(model.messages) == len(before) + 1
                    assert model.messages[-1].contents == [op[2]]
        after = history_of(model)
        check_grew_by_the_rules(before, after)
        assert len(model.tool_calls) >= calls_before
        if op[0] in ("retry", "images", "video", "process"):
            assert after == before
        assert model.images is images and model.video is video
        check_renders(model)


def before_retry(model, op, before) -> bool:
    """Whether a user text may have become a new version instead of an entry."""
    return model.retry and any(role == "user" and contents for role, contents, _, _ in before)
