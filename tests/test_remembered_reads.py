"""Lookups the native code makes again and again (a model's fields at every
chunk, module globals at every call) are remembered while their dict keeps
its version: whatever changes the dict between two reads is seen by the
second."""
import pytest

from quorvel import modal
from quorvel.message import Message
from quorvel.modal import LLModal, LLMResult
from quorvel.testing import finish_chunk, response_from_bytes, sse_body, text_chunk

from fast_path_support import is_on


def text_stream(*pieces):
    return response_from_bytes(sse_body([text_chunk(content=p) for p in pieces] + [finish_chunk("stop")]))


def question():
    return LLModal(messages=[Message(role="user", contents=["q"])])


def test_a_stream_reads_the_models_fields_from_what_it_remembered():
    model = question()
    before = modal._fast_paths()["remembered_read"]
    assert [r.content for r in model._stream_response(text_stream(*"abcdefgh"))] == list("abcdefgh")
    hits = modal._fast_paths()["remembered_read"][0] - before[0]
    # A build without the path (or an interpreter without dict versions)
    # never hits; every other one does, chunk after chunk.
    assert (hits >= 8) == is_on(modal, "remembered_read"), hits


def replace_history(model):
    model.messages = [Message(role="user", contents=["q"])]


def set_through_dict(model):
    # Not through pydantic's __setattr__: straight into the instance dict.
    model.__dict__["messages"] = [Message(role="user", contents=["q"])]


@pytest.mark.parametrize("change", [replace_history, set_through_dict])
def test_a_history_replaced_between_chunks_takes_the_rest_of_the_answer(change):
    model = question()
    stream = model._stream_response(text_stream("a", "b", "c", "d"))
    assert next(stream).content == "a"
    assert next(stream).content == "b"
    change(model)
    assert [r.content for r in stream] == ["c", "d"]
    assert [(m.role, m.contents) for m in model.messages] == [("user", ["q"]), ("assistant", ["cd"])]


def test_a_close_flag_set_between_chunks_stops_the_stream():
    model = question()
    stream = model._stream_response(text_stream(*"abcdef"))
    assert next(stream).content == "a"
    assert next(stream).content == "b"
    model._close = True
    assert list(stream) == []
    assert model._close is False


def test_a_module_global_replaced_between_calls_is_the_one_used(monkeypatch):
    class Marked(LLMResult):
        pass

    assert all(type(r) is LLMResult for r in question()._stream_response(text_stream("a", "b")))
    monkeypatch.setattr(modal, "LLMResult", Marked)
    assert [type(r) for r in question()._stream_response(text_stream("a", "b"))] == [Marked, Marked]
    monkeypatch.undo()
    assert all(type(r) is LLMResult for r in question()._stream_response(text_stream("a", "b")))


def test_models_made_one_after_another_each_read_their_own_fields():
    # A model freed and the next made at its address (with its dict at the
    # old one's) must not be read as the old one.
    for i in range(40):
        model = LLModal(messages=[Message(role="user", contents=[f"q{i}"])])
        pieces = [f"{i}-", "x" * (i % 3 + 1)]
        assert [r.content for r in model._stream_response(text_stream(*pieces))] == pieces
        assert [m.contents for m in model.messages] == [[f"q{i}"], ["".join(pieces)]]
        del model
