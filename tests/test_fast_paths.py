"""Every fast path is taken on the plain classes and dependencies and bypassed
when what it skips is overridden or patched.

Each module counts its fast paths' decisions; `_fast_paths()` returns
{name: (taken, bypassed)}.  A dependency upgrade that quietly disables one
(pydantic moving its validator, fastmcp wrapping its finder) fails here.  In
a build that switched fast paths off, each is bypassed where it would be
taken (fast_path_support)."""
import contextlib

import pytest
from pydantic import BaseModel

from quorvel import cython as qc
from quorvel import message as qm
from quorvel import modal
from quorvel.cython import CythonFunctionTool, get_cached_typeadapter
from quorvel.message import Message
from quorvel.modal import LLModal
from quorvel.testing import finish_chunk, response_from_bytes, sse_body, text_chunk, tool_call_chunk

from fast_path_support import is_on


@contextlib.contextmanager
def decisions(module, name):
    """Counts the decisions of one fast path made inside the block: yields a
    dict that holds "taken" and "bypassed" once the block ends."""
    before = module._fast_paths()[name]
    seen = {"on": is_on(module, name)}
    yield seen
    after = module._fast_paths()[name]
    seen["taken"], seen["bypassed"] = after[0] - before[0], after[1] - before[1]


def assert_taken(seen):
    """Taken, or bypassed in a build that switched the path off."""
    if not seen["on"]:
        return assert_bypassed(seen)
    assert seen["taken"] > 0 and seen["bypassed"] == 0, seen


def assert_bypassed(seen):
    assert seen["taken"] == 0 and seen["bypassed"] > 0, seen


def test_every_module_lists_its_fast_paths():
    names = {module.__name__: set(module._fast_paths()) for module in (qm, modal, qc)}
    assert names["quorvel.message"] >= {"message_fields_dict"}
    assert names["quorvel.modal"] >= {
        "model_through_validator",
        "native_method_direct",
        "private_attribute",
        "private_attribute_slot",
        "latest_getter",
    }
    assert names["quorvel.cython"] >= {
        "model_through_validator",
        "context_kwarg_remembered",
        "isawaitable_known_types",
        "validate_python_direct",
        "model_dump_direct",
    }
    for module in (qm, modal, qc):
        for taken, bypassed in module._fast_paths().values():
            assert taken >= 0 and bypassed >= 0


# ---- quorvel.message ---------------------------------------------------------------


def test_message_fields_read_from_the_dict_only_for_the_plain_class():
    with decisions(qm, "message_fields_dict") as seen:
        assert Message(role="user", contents=["a"]).latest == {"role": "user", "content": "a"}
    assert_taken(seen)

    class Loud(Message):
        def __getattribute__(self, name):
            return super().__getattribute__(name)

    with decisions(qm, "message_fields_dict") as seen:
        assert Loud(role="user", contents=["a"]).latest == {"role": "user", "content": "a"}
    assert_bypassed(seen)


# ---- quorvel.modal -----------------------------------------------------------------


def text_stream(*pieces):
    return response_from_bytes(sse_body([text_chunk(content=p) for p in pieces] + [finish_chunk("stop")]))


def streamed(model, response):
    return [record.content for record in model._stream_response(response)]


class Subclassed(LLModal):
    def add_message(self, role, content):
        return super().add_message(role, content)

    def message_latest(self, role):
        return super().message_latest(role)

    def _message_process(self, message):
        return super()._message_process(message)

    def _add_tool_calls(self, message):
        return super()._add_tool_calls(message)


def test_stream_calls_the_clients_own_methods_directly():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "native_method_direct") as seen:
        assert streamed(model, text_stream("a", "b")) == ["a", "b"]
    assert_taken(seen)

    model = Subclassed(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "native_method_direct") as seen:
        assert streamed(model, text_stream("a", "b")) == ["a", "b"]
    assert_bypassed(seen)


def test_stream_records_assembled_directly_unless_construction_changes(monkeypatch):
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "direct_record") as seen:
        streamed(model, text_stream("a"))
    assert seen["taken"] > 0 if seen["on"] else seen["taken"] == 0 and seen["bypassed"] > 0, seen

    record_class = modal.LLMResult
    original_init = record_class.__init__

    def own_init(self, **fields):
        original_init(self, **fields)

    monkeypatch.setattr(record_class, "__init__", own_init)
    with decisions(modal, "direct_record") as seen:
        assert streamed(model, text_stream("b")) == ["b"]
    assert seen["taken"] == 0, seen


def test_streamed_answer_reads_history_fields_from_the_instance_dict_unless_access_is_own(monkeypatch):
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    # The reads happen where the kept entry is continued: a build that
    # switched that path off never reaches them.
    reached = is_on(modal, "kept_entry")
    with decisions(modal, "field_in_dict") as seen:
        assert streamed(model, text_stream("a", "b", "c")) == ["a", "b", "c"]
    if reached:
        assert_taken(seen)
    else:
        assert seen["taken"] == 0, seen
    assert [m.contents for m in model.messages] == [["q"], ["abc"]]

    reads = []

    def own_getattribute(self, name):
        if name in ("role", "contents"):
            reads.append(name)
        return object.__getattribute__(self, name)

    monkeypatch.setattr(Message, "__getattribute__", own_getattribute)
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "field_in_dict") as seen:
        assert streamed(model, text_stream("a", "b", "c")) == ["a", "b", "c"]
    # The entry's own attribute access is asked (the model's fields are
    # still read from its dict).
    assert seen["bypassed"] > 0 or not reached, seen
    assert [m.contents for m in model.messages] == [["q"], ["abc"]]
    # Each continued chunk asked the entry itself.
    assert reads.count("role") >= 2 and reads.count("contents") >= 2


def test_stream_calls_an_overridden_add_tool_calls_for_every_delta():
    seen = []

    class Counting(LLModal):
        def _add_tool_calls(self, message):
            seen.append(dict(message))
            return super()._add_tool_calls(message)

    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "text_only_delta") as plain:
        assert streamed(model, text_stream("a", "b")) == ["a", "b"]
    assert plain["taken"] >= 2 if plain["on"] else plain["taken"] == 0, plain

    model = Counting(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "text_only_delta") as counted:
        assert streamed(model, text_stream("a", "b")) == ["a", "b"]
    assert counted["taken"] == 0, counted
    assert seen[:2] == [{"content": "a"}, {"content": "b"}]


def test_close_flag_read_from_the_private_slot_unless_shadowed():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "private_attribute_slot") as seen:
        streamed(model, text_stream("a", "b"))
    assert_taken(seen)

    model = LLModal(messages=[Message(role="user", contents=["q"])])
    model.__dict__["_close"] = False  # shadows the private value for attribute access
    with decisions(modal, "private_attribute_slot") as seen:
        assert streamed(model, text_stream("a", "b")) == ["a", "b"]
    assert_bypassed(seen)


def tool_call_stream():
    chunks = [tool_call_chunk(0, "call-1", "lookup", '{"q": 1}'), finish_chunk("tool_calls")]
    return response_from_bytes(sse_body(chunks))


def first_tool_call_record(model):
    stream = model._stream_response(tool_call_stream())
    try:
        for record in stream:
            if record.tool_calls:
                return record
    finally:
        stream.close()
    raise AssertionError("no tool-call record")


def test_private_counter_read_directly_unless_shadowed():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    with decisions(modal, "private_attribute") as seen:
        first_tool_call_record(model)
    assert_taken(seen)

    model = LLModal(messages=[Message(role="user", contents=["q"])])
    model.__dict__["_tool_calls_count"] = 0
    with decisions(modal, "private_attribute") as seen:
        first_tool_call_record(model)
    assert_bypassed(seen)


class Shouting(Message):
    @property
    def latest(self):
        return {"role": self.role, "content": self.contents[-1].upper()}


def test_history_rendering_calls_the_latest_getter_for_plain_messages(monkeypatch):
    model = LLModal(messages=[Message(role="user", contents=["a"]), Message(role="assistant", contents=["b"])])
    with decisions(modal, "latest_getter") as seen:
        assert model.messages_latest == [{"role": "user", "content": "a"}, {"role": "assistant", "content": "b"}]
    assert_taken(seen)

    model = LLModal(messages=[Shouting(role="user", contents=["a"])])
    with decisions(modal, "latest_getter") as seen:
        assert model.messages_latest == [{"role": "user", "content": "A"}]
    assert_bypassed(seen)

    # A replaced property is still a property: its own getter is what the
    # fast path calls.
    monkeypatch.setattr(Message, "latest", property(lambda self: {"patched": True}))
    model = LLModal(messages=[Message(role="user", contents=["a"])])
    assert model.messages_latest == [{"patched": True}]

    monkeypatch.setattr(Message, "__getattribute__", lambda self, name: object.__getattribute__(self, name))
    with decisions(modal, "latest_getter") as seen:
        assert model.messages_latest == [{"patched": True}]
    assert_bypassed(seen)


def test_history_renderings_kept_for_unchanged_plain_entries():
    model = LLModal(messages=[Message(role="user", contents=[f"q{i}"]) for i in range(4)])
    with decisions(modal, "latest_kept") as seen:
        first = model.messages_latest
    assert_bypassed(seen)  # nothing kept yet
    with decisions(modal, "latest_kept") as seen:
        assert model.messages_latest == first
    assert_taken(seen)

    model.messages[2].contents[-1] = "changed"
    with decisions(modal, "latest_kept") as seen:
        assert model.messages_latest[2] == {"role": "user", "content": "changed"}
    if seen["on"]:
        assert (seen["taken"], seen["bypassed"]) == (3, 1), seen
    else:
        assert_bypassed(seen)

    # Entries of another class render themselves: nothing is kept for them.
    model = LLModal(messages=[Shouting(role="user", contents=["a"])] * 2)
    with decisions(modal, "latest_kept") as seen:
        model.messages_latest
        assert model.messages_latest == [{"role": "user", "content": "A"}] * 2
    assert_bypassed(seen)


# ---- quorvel.cython ----------------------------------------------------------------


class Point(BaseModel):
    x: int
    y: int


def shift(point: Point, dx: int) -> dict:
    return {"x": point.x + dx, "y": point.y}


async def later(n: int) -> int:
    return n + 1


def tool_of(fn):
    schema = get_cached_typeadapter(fn).json_schema()
    return CythonFunctionTool(name=fn.__name__, fn=fn, parameters=schema)


async def run_counted(tool, arguments, *names):
    befores = {name: qc._fast_paths()[name] for name in names}
    result = await tool.run(arguments)
    seen = {}
    for name in names:
        after = qc._fast_paths()[name]
        seen[name] = {"taken": after[0] - befores[name][0], "bypassed": after[1] - befores[name][1],
                      "on": is_on(qc, name)}
    return result, seen


# model_dump_direct serves adapters of other types than models, not these.
TOOL_PATHS = ("context_kwarg_remembered", "isawaitable_known_types", "validate_python_direct", "tool_result_direct",
              "default_serializer_direct", "jsonable_plain_copy", "text_block_direct")


@pytest.mark.parametrize("name", TOOL_PATHS)
async def test_tool_run_takes_the_fast_path_on_the_plain_dependencies(name):
    result, seen = await run_counted(tool_of(shift), {"point": {"x": 1, "y": 2}, "dx": 3}, name)
    assert result.structured_content == {"x": 4, "y": 2}
    assert_taken(seen[name])


def greet(name: str) -> str:
    return "hello " + name


async def test_text_blocks_go_through_the_validator():
    result, seen = await run_counted(tool_of(greet), {"name": "x"}, "model_through_validator")
    assert result.content[0].text == "hello x"
    assert_taken(seen["model_through_validator"])


async def test_coroutine_results_are_known_awaitables():
    result, seen = await run_counted(tool_of(later), {"n": 1}, "isawaitable_known_types")
    assert result.content[0].text == "2"
    assert_taken(seen["isawaitable_known_types"])


@pytest.mark.parametrize(
    ("name", "patch"),
    [
        ("context_kwarg_remembered", lambda mp: mp.setattr(qc, "find_kwarg_by_type", wrapped(qc.find_kwarg_by_type))),
        ("isawaitable_known_types", lambda mp: mp.setattr(qc.inspect, "isawaitable", wrapped(qc.inspect.isawaitable))),
        (
            "validate_python_direct",
            lambda mp: mp.setattr(
                qc.TypeAdapter, "validate_python", wrapped(qc.TypeAdapter.validate_python)
            ),
        ),
        (
            "tool_result_direct",
            lambda mp: mp.setattr(qc.ToolResult, "__init__", wrapped(qc.ToolResult.__init__)),
        ),
        (
            "default_serializer_direct",
            lambda mp: mp.setattr(qc, "default_serializer", wrapped(qc.default_serializer)),
        ),
        (
            "jsonable_plain_copy",
            lambda mp: mp.setattr(
                qc.pydantic_core, "to_jsonable_python", wrapped(qc.pydantic_core.to_jsonable_python)
            ),
        ),
    ],
)
async def test_tool_run_bypasses_a_patched_dependency(monkeypatch, name, patch):
    CALLS.clear()
    patch(monkeypatch)
    result, seen = await run_counted(tool_of(shift), {"point": {"x": 1, "y": 2}, "dx": 3}, name)
    assert result.structured_content == {"x": 4, "y": 2}
    assert_bypassed(seen[name])
    assert CALLS, "the patched dependency was not called"


def wrapped(function):
    def patched(*args, **kwargs):
        CALLS.append(function)
        return function(*args, **kwargs)

    return patched


CALLS = []


@pytest.mark.parametrize("fn, arguments", [(shift, {"point": {"x": 1, "y": 2}, "dx": 3}), (greet, {"name": "x"})])
async def test_an_assembled_tool_result_is_what_its_constructor_makes(fn, arguments):
    result, seen = await run_counted(tool_of(fn), arguments, "tool_result_direct")
    assert_taken(seen["tool_result_direct"])
    made = qc.ToolResult(content=result.content, structured_content=result.structured_content)
    assert type(result) is qc.ToolResult
    assert list(vars(result).items()) == list(vars(made).items())


def text_block_subclass():
    class Block(qc.TextContent):
        pass

    return Block


@pytest.mark.parametrize(
    "patch",
    [
        # A rebuilt model validates with another validator than the one vetted.
        lambda mp: (mp.setattr(qc.TextContent, "__pydantic_validator__", qc.TextContent.__pydantic_validator__),
                    qc.TextContent.model_rebuild(force=True)),
        lambda mp: mp.setattr(qc, "TextContent", text_block_subclass()),
    ],
    ids=["rebuilt", "replaced"],
)
async def test_text_blocks_made_by_the_validator_unless_it_is_the_vetted_one(monkeypatch, patch):
    patch(monkeypatch)
    result, seen = await run_counted(tool_of(greet), {"name": "x"}, "text_block_direct")
    (block,) = result.content
    assert type(block) is qc.TextContent and block.text == "hello x"
    assert_bypassed(seen["text_block_direct"])
