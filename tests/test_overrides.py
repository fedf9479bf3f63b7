"""Members that the client calls on itself stay overridable: the shortcuts
taken when a lookup would reach the client's own member must not hide a
subclass override, a class-level replacement or a replaced Message.latest."""
import pytest

from quorvel import modal
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal
from quorvel.testing import response_from_bytes, sse_body, text_chunk, finish_chunk


class Tracing(LLModal):
    def message_latest(self, role):
        self.__class__.seen.append(role)
        return super().message_latest(role)

    def add_message(self, role, content):
        self.__class__.added.append(content)
        return super().add_message(role, content)


@pytest.fixture(autouse=True)
def fresh_trace():
    Tracing.seen, Tracing.added = [], []


def stream_of(*pieces):
    body = sse_body([text_chunk(content=p) for p in pieces] + [finish_chunk("stop")])
    return response_from_bytes(body)


def test_subclass_overrides_are_called_by_the_stream_and_the_history():
    model = Tracing(messages=[Message(role="user", contents=["q"])])
    records = list(model._stream_response(stream_of("a", "b")))
    assert [r.content for r in records] == ["a", "b"]
    assert Tracing.added == ["a", "b"]
    assert Tracing.seen == [MessageRole.assistant, MessageRole.assistant]
    assert model.messages[-1].contents == ["ab"]


def test_class_level_replacement_is_honoured(monkeypatch):
    calls = []
    original = LLModal.add_message

    def spy(self, role, content):
        calls.append(content)
        return original(self, role=role, content=content)

    monkeypatch.setattr(LLModal, "add_message", spy)
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    list(model._stream_response(stream_of("x", "y")))
    assert calls == ["x", "y"]


def test_exact_type_check_still_applies_on_the_short_path():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    body = sse_body([{"choices": [{"delta": {"content": 5}, "finish_reason": None}]}])
    with pytest.raises(TypeError, match=r"Argument 'content' has incorrect type \(expected str, got int\)"):
        list(model._stream_response(response_from_bytes(body)))


def test_replaced_latest_and_message_subclasses_render_their_own_way(monkeypatch):
    class Shouting(Message):
        @property
        def latest(self):
            return {"role": self.role, "content": self.contents[-1].upper()}

    model = LLModal(messages=[Message(role="user", contents=["a"]), Shouting(role="assistant", contents=["b"])])
    assert model.messages_latest == [{"role": "user", "content": "a"}, {"role": "assistant", "content": "B"}]
    monkeypatch.setattr(Message, "latest", property(lambda self: {"patched": True}))
    assert model.messages_latest[0] == {"patched": True}


def test_rendering_restores_the_collector_state():
    import gc

    model = LLModal(messages=[Message(role="user", contents=["a"])] * 3)
    assert gc.isenabled()
    model.messages_latest
    assert gc.isenabled()
    gc.disable()
    try:
        model.messages_latest
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_records_built_by_the_validator_match_ordinary_construction():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    (record,) = list(model._stream_response(stream_of("hi")))
    expected = modal.LLMResult(status="answer", reasoning_content="", content="hi")
    assert record == expected
    assert record.model_fields_set == expected.model_fields_set
    assert type(record) is modal.LLMResult


def test_record_class_with_its_own_init_is_constructed_normally(monkeypatch):
    built = []

    class Counting(modal.LLMResult):
        def __init__(self, **data):
            built.append(data["content"])
            super().__init__(**data)

    monkeypatch.setattr(modal, "LLMResult", Counting)
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    records = list(model._stream_response(stream_of("a", "b")))
    assert built == ["a", "b"] and all(type(r) is Counting for r in records)


def test_text_block_class_with_its_own_init_is_constructed_normally(monkeypatch):
    import mcp.types

    from quorvel import cython

    seen = []

    class Traced(mcp.types.TextContent):
        def __init__(self, **data):
            seen.append(data["text"])
            super().__init__(**data)

    monkeypatch.setattr(cython, "TextContent", Traced)
    (block,) = cython._convert_to_content(42)
    assert type(block) is Traced and block.text == "42" and seen == ["42"]
