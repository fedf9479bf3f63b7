"""The shortcuts a whole answer takes: LLMStatus and MessageRole members kept
between answers, the usage figures read and written through their slots.
Each is taken on the plain classes and honours a replaced global, a changed
class or a replaced figures class, with the results the ordinary lookups
give."""

from __future__ import annotations

import pytest

import quorvel.usage as usage_module
from exchange_support import whole
from fast_path_support import is_on
from quorvel import modal
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal, LLMStatus
from quorvel.usage import Usage, last_usage
from test_fast_paths import assert_bypassed, assert_taken, decisions

FIGURES = {"prompt_tokens": 4, "completion_tokens": 2, "total_tokens": 6}


def answer(content="hi", figures=None):
    document = {"choices": [{"index": 0, "message": {"role": "assistant", "content": content},
                             "finish_reason": "stop"}]}
    if figures is not None:
        document["usage"] = figures
    return whole(**document)


def new_model():
    return LLModal(messages=[Message(role="user", contents=["q"])])


def test_members_are_kept_between_answers():
    model = new_model()
    model._response(answer("first"))  # reads what the next answers keep
    with decisions(modal, "kept_members") as seen:
        record = model._response(answer("second"))
    assert_taken(seen)
    assert record.status is LLMStatus.idle and record.content == "second"
    assert model.messages[-1].role is MessageRole.assistant


@pytest.mark.parametrize(
    "global_name, member, stand_in, check",
    [
        ("LLMStatus", "idle", LLMStatus.answer, lambda record, model: record.status is LLMStatus.answer),
        ("MessageRole", "assistant", MessageRole.tool,
         lambda record, model: model.messages[-1].role is MessageRole.tool),
    ],
)
def test_a_replaced_global_is_read_again(monkeypatch, global_name, member, stand_in, check):
    model = new_model()
    model._response(answer())
    real = getattr(modal, global_name)
    replacement = type("Replacement", (), {**{m.name: m for m in real}, member: stand_in})
    monkeypatch.setattr(modal, global_name, replacement)
    with decisions(modal, "kept_members") as seen:
        record = model._response(answer())
    assert seen["bypassed"] > 0, seen  # the other class's members are still kept
    assert check(record, model)
    monkeypatch.undo()
    record = model._response(answer())
    assert record.status is LLMStatus.idle and model.messages[-1].role is MessageRole.assistant


def test_a_member_replaced_on_the_class_is_read_again():
    model = new_model()
    model._response(answer())
    original = LLMStatus.__dict__["idle"]
    # EnumType refuses to reassign a member; type's own __setattr__ does not.
    type.__setattr__(LLMStatus, "idle", LLMStatus.reason)
    try:
        with decisions(modal, "kept_members") as seen:
            record = model._response(answer())
        assert record.status is LLMStatus.reason
        assert seen["bypassed"] > 0, seen
    finally:
        type.__setattr__(LLMStatus, "idle", original)
    assert model._response(answer()).status is LLMStatus.idle


def counted_model():
    model = new_model()
    usage_module._begin_call(model)  # the model has its figures, as inside a call
    return model


def where_the_hook_is_native(seen, check):
    """The figures' slots are reached only where the usage hook runs
    natively: `check` holds there, and nothing is taken elsewhere."""
    if is_on(modal, "native_usage"):
        check(seen)
    else:
        assert seen["taken"] == 0, seen


def test_figures_are_updated_through_their_slots():
    model = counted_model()
    with decisions(modal, "figures_slots") as seen:
        model._response(answer(figures=FIGURES))
        model._response(answer(figures=FIGURES))
    where_the_hook_is_native(seen, assert_taken)
    assert last_usage(model) == Usage(input_tokens=8, output_tokens=4, total_tokens=12, exchanges=2)


def test_a_changed_figures_class_is_written_through_attribute_access(monkeypatch):
    written = []

    class Watched(usage_module._Figures):
        __slots__ = ()

        def __setattr__(self, name, value):
            written.append(name)
            super().__setattr__(name, value)

    monkeypatch.setattr(usage_module, "_Figures", Watched)
    model = counted_model()
    written.clear()
    with decisions(modal, "figures_slots") as seen:
        model._response(answer(figures=FIGURES))
    assert seen["taken"] == 0, seen
    assert {"exchanges", "tokens", "reported"} <= set(written)
    assert last_usage(model) == Usage(input_tokens=4, output_tokens=2, total_tokens=6, exchanges=1)


def test_figures_class_changed_in_place_is_honoured(monkeypatch):
    model = counted_model()
    model._response(answer(figures=FIGURES))
    # Any change to the class gives it a new version tag: the slots are no
    # longer trusted, attribute access decides.
    monkeypatch.setattr(usage_module._Figures, "marker", True, raising=False)
    with decisions(modal, "figures_slots") as seen:
        model._response(answer(figures=FIGURES))
    where_the_hook_is_native(seen, assert_bypassed)
    assert last_usage(model) == Usage(input_tokens=8, output_tokens=4, total_tokens=12, exchanges=2)


def test_reset_reads_through_a_models_own_attribute_access():
    """The per-call state is written as pydantic's handlers write it: they
    read the model's __dict__, __pydantic_fields_set__ and
    __pydantic_private__, which a class of its own may read its own way."""
    read = []

    class Watched(LLModal):
        def __getattribute__(self, name):
            if name.startswith("__pydantic") or name == "__dict__":
                read.append(name)
            return super().__getattribute__(name)

    model = Watched()
    model.tool_calls = [{"id": "c"}]  # pydantic memoises how these are set
    model._tool_calls_count = 1
    read.clear()
    model._reset()
    assert {"__dict__", "__pydantic_fields_set__", "__pydantic_private__"} <= set(read)
    assert model.tool_calls == [] and model._tool_calls_count == 0
    assert "tool_calls" in model.model_fields_set


@pytest.mark.parametrize(
    "message, taken, texts",
    [
        ({"role": "assistant", "content": "hi"}, True, ("", "hi")),
        ({"content": "hi"}, True, ("", "hi")),
        ({"role": "assistant", "content": "hi", "reasoning_content": "why"}, False, ("why", "hi")),
        ({"role": "assistant", "content": "hi", "reasoning": "why"}, False, ("why", "hi")),
        ({"role": "assistant", "content": [{"type": "text", "text": "hi"}]}, False, ("", "hi")),
        ({"role": "assistant", "content": None}, False, ("", "")),
    ],
)
def test_a_whole_message_of_one_text_skips_the_other_lookups(message, taken, texts):
    model = new_model()
    with decisions(modal, "text_only_delta") as seen:
        record = model._response(whole(message=message))
    assert (record.reasoning_content, record.content) == texts
    if taken and seen["on"]:
        assert_taken(seen)
    else:
        assert seen["taken"] == 0, seen
