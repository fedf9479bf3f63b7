"""Property-based tests of both decoders: whatever a server answers, a call
returns records or raises one of the documented errors, prints its report on
failure, leaves an answered history that still renders, and resets its
per-call state; a streamed answer decodes the same however its bytes are cut.

Run longer with QUORVEL_FUZZ=long (README, "Development")."""

from __future__ import annotations

import json

import pytest
from hypothesis import given, strategies as st

from fuzz_support import (
    DOCUMENTED_ERRORS, FALLBACK, check_failed_call, check_history_renders, check_per_call_state_reset,
    check_prefix_kept, current_text, cuts_for, fresh_model, json_values, printed_lines, snapshot, split_response,
    sse_line, stream_body, stream_chunks, stream_lines, whole_documents,
)
from quorvel.modal import LLMResult, LLMStatus
from quorvel.testing import response_from_bytes

pytestmark = pytest.mark.fuzz

STREAMED = {LLMStatus.reason, LLMStatus.answer, LLMStatus.tool_calls, LLMStatus.tool_results}


def decode_whole(body: bytes, **fields):
    """Runs _response on `body`: (model, history before, outcome, printed lines)."""
    model = fresh_model(tool_calls_limit=0, **fields)
    before = snapshot(model)
    with printed_lines() as lines:
        try:
            outcome = model._response(response_from_bytes(body))
        except Exception as exc:  # noqa: BLE001 - the invariants judge it
            outcome = exc
    return model, before, outcome, lines


def check_whole(model, before, outcome, lines):
    if isinstance(outcome, Exception):
        check_failed_call(model, before, outcome, lines, answered=None)
        return
    assert type(outcome) is LLMResult
    assert outcome.status == LLMStatus.idle
    assert not lines, lines
    check_per_call_state_reset(model)
    added = check_prefix_kept(before, model)
    # Without tools the answer is recorded once, as one assistant entry.
    assert [(entry[0], current_text(entry), entry[2]) for entry in added] == [("assistant", outcome.content, [])]
    check_history_renders(model)


@given(document=whole_documents)
def test_whole_answer_documents(document):
    check_whole(*decode_whole(json.dumps(document).encode()))


@given(body=st.one_of(st.binary(max_size=40), json_values.map(lambda v: json.dumps(v).encode())))
def test_whole_answer_arbitrary_bodies(body):
    check_whole(*decode_whole(body))


def decode_stream(response, close_after: int | None = None, images=()):
    """Iterates _stream_response to its end: (model, before, records, outcome, lines).

    With `close_after`, `_close` is set once that many records have arrived;
    `images` are left pending for the next user turn.
    """
    model = fresh_model(tool_calls_limit=0)
    model.images.extend(images)
    before = snapshot(model)
    records = []
    outcome = None
    with printed_lines() as lines:
        try:
            for record in model._stream_response(response):
                records.append(record)
                if close_after is not None and len(records) == close_after:
                    model._close = True
        except Exception as exc:  # noqa: BLE001 - the invariants judge it
            outcome = exc
    return model, before, records, outcome, lines


def answer_text(records) -> str:
    return "".join(r.content for r in records if r.status == LLMStatus.answer)


def check_stream(model, before, records, outcome, lines, close_left=False):
    """`close_left`: the close flag was set after the stream's last line, so
    no reader found it and it stays set."""
    for record in records:
        assert type(record) is LLMResult and record.status in STREAMED, record
        if record.status in (LLMStatus.reason, LLMStatus.answer):
            assert isinstance(record.content, str) and isinstance(record.reasoning_content, str)
            assert not record.tool_calls and not record.tool_results
    assert model._close is close_left
    answered = answer_text(records)
    if outcome is not None:
        check_failed_call(model, before, outcome, lines, answered)
        return
    assert not lines, lines
    check_per_call_state_reset(model)
    added = check_prefix_kept(before, model)
    # Every answer chunk went to one assistant entry, in the order yielded.
    if answered:
        assert [(entry[0], current_text(entry)) for entry in added] == [("assistant", answered)]
    else:
        assert all(entry[0] == "assistant" and not entry[2] for entry in added), added
    check_history_renders(model)


def outcome_key(outcome):
    return None if outcome is None else (type(outcome), str(outcome))


@given(lines=stream_lines, data=st.data(), separator=st.sampled_from([b"\n", b"\n\n", b"\r\n"]))
def test_stream_decodes_the_same_however_its_bytes_are_cut(lines, data, separator):
    body = stream_body(lines, separator)
    in_one_piece = decode_stream(response_from_bytes(body))
    check_stream(*in_one_piece)
    cut = decode_stream(split_response(body, cuts_for(data, body)))
    check_stream(*cut)
    model_a, _, records_a, outcome_a, lines_a = in_one_piece
    model_b, _, records_b, outcome_b, lines_b = cut
    assert records_b == records_a
    assert outcome_key(outcome_b) == outcome_key(outcome_a)
    assert lines_b == lines_a
    assert snapshot(model_b) == snapshot(model_a)


@given(chunks=st.lists(stream_chunks, min_size=1, max_size=6), close_after=st.integers(min_value=1, max_value=4))
def test_stopped_stream_ends_at_the_next_line_with_state_reset(chunks, close_after):
    """The same body read through without stopping tells what the stopped
    stream must have done.  The flag is honoured at the next line received:
    the response is closed, the flag cleared, nothing follows the record that
    asked.  A stream whose last line (its finishing chunk, say) gave that
    record receives no further line: it ends as it would have, and the flag
    stays set, since only a reader that finds it clears it."""
    body = stream_body([sse_line(c) for c in chunks])
    _, _, records_whole, outcome_whole, lines_whole = read_through = decode_stream(response_from_bytes(body))
    check_stream(*read_through)
    response = response_from_bytes(body)
    model, before, records, outcome, lines = decode_stream(response, close_after=close_after)
    flag_set = len(records) >= close_after
    if not flag_set or model._close:
        # Never asked, or asked at the last line's record: read as without stopping.
        check_stream(model, before, records, outcome, lines, close_left=flag_set)
        assert records == records_whole
        assert outcome_key(outcome) == outcome_key(outcome_whole)
        assert lines == lines_whole
        assert snapshot(model) == snapshot(read_through[0])
        assert not response.raw.closed
        return
    # Stopped: nothing after the record that asked for it.
    check_stream(model, before, records, outcome, lines)
    assert outcome is None and records == records_whole[:close_after]
    assert response.raw.closed


@given(chunks=st.lists(stream_chunks, max_size=5), data=st.data())
def test_stream_with_pending_media_and_retry_keeps_other_state(chunks, data):
    """Decoding touches only the history and the per-call state."""
    images = data.draw(st.lists(st.text(max_size=3), max_size=2), label="images")
    body = stream_body([sse_line(c) for c in chunks])
    model, before, records, outcome, lines = decode_stream(response_from_bytes(body), images=images)
    check_stream(model, before, records, outcome, lines)
    assert model.images == images
    assert model.extra_body == {}


def test_documented_errors_cover_the_failure_path_only():
    """The fallback text is the documented error of the tool-call limit."""
    chunk = {"choices": [{"index": 0, "delta": {"tool_calls": [
        {"index": 0, "id": "call_a", "type": "function", "function": {"name": "add", "arguments": "{}"}}]},
        "finish_reason": "tool_calls"}]}
    model, before, records, outcome, lines = decode_stream(response_from_bytes(stream_body([sse_line(chunk)])))
    assert isinstance(outcome, ValueError) and str(outcome) == FALLBACK
    assert isinstance(outcome, DOCUMENTED_ERRORS)
    check_stream(model, before, records, outcome, lines)
