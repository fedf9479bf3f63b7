import time
import tracemalloc
import pytest

from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal

U, A, S, T = MessageRole.user, MessageRole.assistant, MessageRole.system, MessageRole.tool
class Mapping(dict):
    pass


CALL = {"id": "c0", "type": "function", "function": {"name": "f", "arguments": "{}"}}


def img(x):
    return {"type": "image_url", "image_url": "data:image;base64," + x}


def build(entries, **fields):
    """A model whose history is [(role, contents, tool_calls?), ...]."""
    history = [Message(role=e[0], contents=list(e[1]), tool_calls=list(e[2]) if len(e) > 2 else []) for e in entries]
    return LLModal(messages=history, **fields)


def shape(m):
    return [(e.role, e.contents, bool(e.tool_calls)) for e in m.messages]


def rendered(m):
    return [(r["role"], r.get("content", "calls")) for r in m.messages_latest]


QA = [(S, ["sys"]), (U, ["q"]), (A, ["a"])]
TOOLS = [(S, ["sys"]), (U, ["q"]), (A, [], [CALL]), (T, ["r"])]


@pytest.mark.parametrize("history, retry, role, content, after, retry_after, before_r, after_r", [
    # B: a retried prompt is a new version of the user entry
    (QA, True, U, "q2", [["sys"], ["q", "q2"], ["a"]], True, [(S, "sys"), (U, "q")], [(S, "sys"), (U, "q2")]),
    # C: the regenerated answer is a new version and ends the retry
    (QA, True, A, "a2", [["sys"], ["q"], ["a", "a2"]], False, [(S, "sys"), (U, "q")],
     [(S, "sys"), (U, "q"), (A, "a2")]),
    # C needs an earlier answer: otherwise E, and retry stays on
    ([(U, ["q"])], True, A, "a", [["q"], ["a"]], True, [(U, "q")], [(U, "q")]),
    # retry cuts tool calls and results from the request, not from the history
    (TOOLS, True, U, "q2", [["sys"], ["q", "q2"], [], ["r"]], True, [(S, "sys"), (U, "q")],
     [(S, "sys"), (U, "q2")]),
    # D: the last entry is the latest answer: continuation
    (QA, False, A, "b", [["sys"], ["q"], ["ab"]], False, [(S, "sys"), (U, "q"), (A, "a")],
     [(S, "sys"), (U, "q"), (A, "ab")]),
    # E: an answer after tool results (or a tool-only entry) starts a new entry
    (TOOLS, False, A, "x", [["sys"], ["q"], [], ["r"], ["x"]], False,
     [(S, "sys"), (U, "q"), (A, "calls"), (T, "r")], [(S, "sys"), (U, "q"), (A, "calls"), (T, "r"), (A, "x")]),
    ([(U, ["q"]), (A, ["a"]), (U, ["q2"])], False, A, "b", [["q"], ["a"], ["q2"], ["b"]], False,
     [(U, "q"), (A, "a"), (U, "q2")], [(U, "q"), (A, "a"), (U, "q2"), (A, "b")]),
    # E: system, tool and plain user turns always make an entry, empty text included
    (QA, False, U, "", [["sys"], ["q"], ["a"], [""]], False, None, None),
    (QA, True, S, "s2", [["sys"], ["q"], ["a"], ["s2"]], True, None, None),
    (QA, False, "tool", "t", [["sys"], ["q"], ["a"], ["t"]], False, None, None),
    # no user entry: retry renders everything
    ([(S, ["sys"]), (A, ["a"])], True, S, "x", [["sys"], ["a"], ["x"]], True, [(S, "sys"), (A, "a")],
     [(S, "sys"), (A, "a"), (S, "x")]),
])
def test_turn_branches(history, retry, role, content, after, retry_after, before_r, after_r):
    m = build(history, retry=retry)
    if before_r is not None:
        assert rendered(m) == before_r
    assert m.add_message(role=role, content=content) is None
    assert [c for _, c, _ in shape(m)] == after
    assert m.retry is retry_after
    if after_r is not None:
        assert rendered(m) == after_r


@pytest.mark.parametrize("images, video, content, retry, parts", [
    (["i1", "i2"], ["v1"], "hello", False,
     [img("i1"), img("i2"), {"type": "video", "video": ["data:image;base64,v1"]}, {"type": "text", "text": "hello"}]),
    (["i1", "i2"], ["v1"], "", False,
     [img("i1"), img("i2"), {"type": "video", "video": ["data:image;base64,v1"]}]),
    ([], ["v1", "v2"], "x", False,
     [{"type": "video", "video": ["data:image;base64,v1", "data:image;base64,v2"]}, {"type": "text", "text": "x"}]),
    (["i1"], [], "q2", True, [img("i1"), {"type": "text", "text": "q2"}]),
])
def test_media_parts_and_pending_lists_emptied_in_place(images, video, content, retry, parts):
    m = build([(U, ["q"]), (A, ["a"])], images=images, video=video, retry=retry)
    pending_images, pending_video = m.images, m.video
    m.add_message(role=U, content=content)
    assert m.images is pending_images and m.video is pending_video and m.images == m.video == []
    if retry:  # a new version of the user entry
        assert len(m.messages) == 2 and m.messages[0].contents == ["q", parts]
        assert rendered(m) == [(U, parts)]
    else:
        assert m.messages[-1].role is U and m.messages[-1].contents == [parts]


def test_media_wait_for_a_user_turn_and_take_any_value():
    m = build([(U, ["q"])], video=["v"])
    m.add_message(role=A, content="a")
    assert m.video == ["v"] and m.messages[-1].contents == ["a"]
    m.images.append(7)  # formatted into the data URL
    m.add_message(role=U, content="")
    assert m.messages[-1].contents == [[img("7"), {"type": "video", "video": ["data:image;base64,v"]}]]


def test_streamed_answer_is_one_entry_and_shared_text_is_not_changed():
    m = build([(U, ["q"])])
    for chunk in ("a", "b", "c"):
        m.add_message(role=A, content=chunk)
    held = m.messages[-1].contents[-1]
    m.add_message(role=A, content="d")
    assert held == "abc" and m.messages[-1].contents == ["abcd"] and len(m.messages) == 2


@pytest.mark.timing
def test_long_stream_grows_the_text_in_place():
    m = build([(U, ["q"])])
    chunk = "tok é "
    start = time.perf_counter()
    for _ in range(100_000):
        m.add_message(role=A, content=chunk)
    elapsed = time.perf_counter() - start
    assert m.messages[-1].contents == [chunk * 100_000]
    # linear growth takes a fraction of a second; copying the text per chunk takes ~9 s
    assert elapsed < 3.0, f"100,000 chunks took {elapsed:.2f}s"


def test_message_latest_skips_empty_and_tool_only_entries():
    m = build([(A, ["old"]), (A, [], [CALL]), (U, ["q"]), (U, [])])
    assert m.message_latest(A) is m.messages[0]
    assert m.message_latest(role="user") is m.messages[2]
    assert m.message_latest(S) is None and build([(A, [], [CALL])]).message_latest(A) is None


def test_members_are_called_through_the_instance():
    class Forgetful(LLModal):
        def message_latest(self, role):
            return None  # never finds an entry: every turn is new

    m = Forgetful(messages=[Message(role=U, contents=["q"]), Message(role=A, contents=["a"])])
    m.add_message(role=A, content="b")
    assert [e.contents for e in m.messages] == [["q"], ["a"], ["b"]]

    seen = []
    m = LLModal()
    original = LLModal._add_tool_calls
    try:
        LLModal._add_tool_calls = lambda self, message: seen.append(message)
        m._message_process({"content": "x"})
    finally:
        LLModal._add_tool_calls = original
    assert seen == [{"content": "x"}]


def test_entry_without_contents_fails_rendering():
    m = build([(U, ["q"])])
    m.messages.append(Message(role=A))
    with pytest.raises(IndexError):
        m.messages_latest


def fragment(index=..., id=None, name=None, arguments=None, function=True):
    out = {}
    if index is not ...:
        out["index"] = index
    if id is not None:
        out["id"] = id
    if function:
        out["function"] = {k: v for k, v in (("name", name), ("arguments", arguments)) if v is not None}
    return out


@pytest.mark.parametrize("deltas, expected", [
    # fragments of one call joined by index; id and name from the first
    ([[fragment(0, "c1", "f", "")], [fragment(0, arguments='{"a":')], [fragment(0, arguments=" 1}")]],
     [("c1", "f", '{"a": 1}')]),
    ([[fragment(0, "c1", "f", "{}"), fragment(1, "c2", "g", "[]")]], [("c1", "f", "{}"), ("c2", "g", "[]")]),
    # whole calls without an index, or with index None, are appended
    ([[fragment(id="c1", name="f", arguments="{}"), fragment(id="c2", name="g", arguments="{}")]],
     [("c1", "f", "{}"), ("c2", "g", "{}")]),
    ([[fragment(None, "c1", "f", "1")], [fragment(None, "c2", "g", "2")]], [("c1", "f", "1"), ("c2", "g", "2")]),
    # every parallel call numbered 0: a different id is a new call, the same id continues
    ([[fragment(0, "c1", "f", "1")], [fragment(0, "c2", "g", "2")], [fragment(0, "c1", arguments="x")]],
     [("c1", "f", "1x"), ("c2", "g", "2")]),
    # calls are placed in the order their wire indices first appear: a first
    # call numbered 1 (after a text block), a header without arguments
    ([[fragment(1, "c1", "f")], [fragment(1, arguments='{"a"')], [fragment(3, "c3", "g", "")],
      [fragment(1, arguments=": 1}")], [fragment(3, arguments="{}")]],
     [("c1", "f", '{"a": 1}'), ("c3", "g", "{}")]),
    # a fragment with an index not seen before opens a call, gap or not
    ([[fragment(0, "c0", "f", "{")], [fragment(1, "c1", "g", "")], [fragment(3, arguments="x")]],
     [("c0", "f", "{"), ("c1", "g", ""), (None, None, "x")]),
    # all calls numbered 0: a fragment without id continues the latest
    ([[fragment(0, "c1", "f", "1")], [fragment(0, "c2", "g", "2")], [fragment(0, arguments="x")]],
     [("c1", "f", "1"), ("c2", "g", "2x")]),
    # arguments sent as an object are that object's JSON text
    ([[fragment(0, "c1", "f", {"a": [1, "é"]})]], [("c1", "f", '{"a": [1, "é"]}')]),
    ([[fragment(0, "c1", "f", "")], [fragment(0, arguments={"a": 1})]], [("c1", "f", '{"a": 1}')]),
    ([[fragment(id="c1", name="f", arguments={})]], [("c1", "f", "{}")]),
    # a stored call without argument text takes the fragment's
    ([[fragment(0, "c1", "f")], [fragment(0, arguments="{}")]], [("c1", "f", "{}")]),
    # fragments without text, and null tool_calls, change nothing
    ([[fragment(0, "c1", "f", "a")], [fragment(0)], [fragment(0, arguments=None)], [fragment(5)]],
     [("c1", "f", "a")]),
])
def test_tool_call_fragments(deltas, expected):
    m = LLModal()
    first = deltas[0][0]
    for delta in deltas:
        assert m._add_tool_calls({"tool_calls": delta}) is None
        m._add_tool_calls({"tool_calls": None, "content": "x"})
        m._add_tool_calls({"content": "x"})
    got = [(c.get("id"), c["function"].get("name"), c["function"].get("arguments")) for c in m.tool_calls]
    assert got == expected
    assert m.tool_calls[0] is first  # the answer's own dictionary, not a copy


def test_stored_arguments_none_take_the_fragment():
    m = LLModal()
    m._add_tool_calls({"tool_calls": [{"index": 0, "id": "c", "function": {"arguments": None}}]})
    m._add_tool_calls({"tool_calls": [{"index": 0, "function": {"arguments": "{}"}}]})
    assert m.tool_calls[0]["function"]["arguments"] == "{}"


@pytest.mark.parametrize("elements, error, text", [
    ([fragment("0", "c", "f", "")], TypeError, "Expected int, got str"),
    ([fragment(True, "c", "f", "")], TypeError, "Expected int, got bool"),
    ([fragment(0, function=False)], KeyError, "function"),
])
def test_tool_call_faults_keep_earlier_calls(elements, error, text):
    m = LLModal()
    m._add_tool_calls({"tool_calls": [fragment(0, "c0", "f", "{")]})
    with pytest.raises(error) as info:
        m._add_tool_calls({"tool_calls": [fragment(1, "c1", "g", "")] + elements})
    assert [c["id"] for c in m.tool_calls] == ["c0", "c1"]
    if text:
        assert text in str(info.value)


@pytest.mark.parametrize("message, expected", [
    ({"content": None}, ("", "")),
    ({}, ("", "")),
    ({"reasoning_content": "r", "content": "c"}, ("r", "c")),
    ({"reasoning": "r"}, ("r", "")),
    ({"reasoning_content": "", "reasoning": "r"}, ("r", "")),
    ({"reasoning_content": None, "reasoning": "r"}, ("r", "")),
    ({"reasoning_content": "x", "reasoning": "r"}, ("x", "")),
    ({"reasoning": None, "content": 5}, ("", 5)),
    # typed parts: only text and thinking parts carry text
    ({"content": [{"type": "text", "text": "a"}, "x", 5, {"type": "text", "text": None},
                  {"type": "thinking", "thinking": [{"type": "text", "text": "t"}, {"text": "no type"}]}]},
     ("t", "a")),
    ({"content": [], "reasoning": "r"}, ("r", "")),
    ({"reasoning_details": None, "content": "c"}, ("", "c")),
    ({"reasoning_content": "", "reasoning_details": [{"type": "reasoning.summary", "summary": "s"},
                                                     {"type": "reasoning.text"}, "x"]}, ("s", "")),
])
def test_message_process(message, expected):
    m = LLModal()
    out = m._message_process(message)
    assert list(out) == ["reasoning_content", "content"] and tuple(out.values()) == expected
    assert m.tool_calls == []


@pytest.mark.parametrize("call, text", [
    (lambda m: m.add_message(role=U, content=U), "Argument 'content' has incorrect type (expected str, got MessageRole)"),
    (lambda m: m.add_message(role=U, content=None), "Argument 'content' has incorrect type (expected str, got NoneType)"),
    (lambda m: m.add_message(role=U, content=b"x"), "Argument 'content' has incorrect type (expected str, got bytes)"),
    (lambda m: m._add_tool_calls(Mapping()), "Argument 'message' has incorrect type (expected dict, got Mapping)"),
    (lambda m: m._message_process([]), "Argument 'message' has incorrect type (expected dict, got list)"),
    (lambda m: m._add_tool_calls({"tool_calls": 5}), "'int' object is not iterable"),
])
def test_argument_types(call, text):
    m = build([(U, ["q"])], images=["i"])
    with pytest.raises(TypeError) as info:
        call(m)
    assert str(info.value) == text
    assert shape(m) == [(U, ["q"], False)] and m.images == ["i"] and m.tool_calls == []


def test_repeated_cycles_do_not_grow_memory():
    m = LLModal(system_prompt="s")

    def cycle():
        m.add_message(role=S, content="s")
        m.add_message(role=U, content="question")
        for chunk in ("an", "swer"):
            m.add_message(role=A, content=chunk)
        m.messages_latest
        m.retry = True
        m.add_message(role=U, content="again")
        m.messages_latest
        m._message_process({"tool_calls": [fragment(0, "c", "f", "{")], "reasoning": "r"})
        m._add_tool_calls({"tool_calls": [fragment(0, arguments="}"), fragment(0, "d", "g", "")]})
        # pytest.raises keeps state per use, so failures are caught by hand here
        failures = 0
        for bad in (lambda: m._add_tool_calls({"tool_calls": [fragment("0")]}),
                    lambda: m._add_tool_calls({"tool_calls": [fragment(0, function=False)]}),
                    lambda: m.add_message(role=U, content=None)):
            try:
                bad()
            except (TypeError, KeyError):
                failures += 1
        assert failures == 3
        m.retry = False
        del m.messages[:]
        m._reset()

    for _ in range(1000):
        cycle()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(10_000):
            cycle()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024, f"grew by {grown} bytes"
