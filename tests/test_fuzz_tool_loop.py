"""Property-based tests of whole calls with the tool-call loop, over real HTTP
to the loopback server: random scripts of tool-calling and final answers,
whole or streamed, under random limits.  Whatever the script, every request
carries a history the server can pair (each tool result answers a call of the
assistant entry before it), the call ends with an answered history and the
per-call state reset, and nothing but the documented errors escapes.

Run longer with QUORVEL_FUZZ=long (README, "Development")."""

from __future__ import annotations

import json

import pytest
from hypothesis import given, settings, strategies as st

from fuzz_support import (
    DOCUMENTED_ERRORS, argument_texts, check_failed_call, check_history_renders, check_per_call_state_reset,
    check_prefix_kept, printed_lines,
)
from quorvel.modal import LLModal, LLMResult, LLMStatus
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools

pytestmark = pytest.mark.fuzz


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


def shout(text: str) -> str:
    """Upper-case a text."""
    return text.upper()


calls = st.lists(
    st.tuples(
        st.sampled_from(["call_1", "call_2", "", "call_1"]),
        st.sampled_from(["add", "shout", "missing", ""]),
        argument_texts,
    ),
    min_size=1,
    max_size=3,
)
answers = st.one_of(
    st.tuples(st.just("tools"), calls, st.one_of(st.none(), st.text(max_size=4))),
    st.tuples(st.just("text"), st.text(max_size=6)),
)


def reply_for(answer, stream: bool) -> Reply:
    if answer[0] == "tools":
        return Reply.tool_calls(answer[1], content=answer[2], stream=stream, fragment=3)
    if stream:
        return Reply.stream([answer[1][:3], answer[1][3:]] if answer[1] else [])
    return Reply.text(answer[1])


def check_pairs(messages: list[dict]) -> None:
    """Every tool result answers a call of the assistant entry before it."""
    open_ids: set = set()
    for message in messages:
        if message.get("tool_calls"):
            open_ids = {call.get("id") for call in message["tool_calls"]}
            assert all(open_ids), "a call went out without an id"
        elif message["role"] == "tool":
            assert message["tool_call_id"] in open_ids, (message, open_ids)
        else:
            open_ids = set()


@settings(max_examples=max(5, settings().max_examples // 4))
@given(script=st.lists(answers, min_size=1, max_size=4), stream=st.booleans(),
       limit=st.integers(min_value=0, max_value=3))
def test_tool_loop_keeps_the_history_pairable(script, stream, limit):
    before = [("user", ["q"], [], "")]  # what invoke records first
    records = []
    outcome = None
    with ChatServer() as server, printed_lines() as lines:
        server.add(*(reply_for(answer, stream) for answer in script))
        model = LLModal(endpoint_url=server.url, tools=Tools(add, shout), tool_calls_limit=limit,
                        extra_body={"stream": True} if stream else {})
        try:
            result = model.invoke("q")
            records = list(result) if stream else [result]
        except Exception as exc:  # noqa: BLE001 - the invariants judge it
            outcome = exc
        sent = [request.json["messages"] for request in server.requests]
    assert len(sent) <= len(script) + 1  # + the request the script had no answer for
    for messages in sent:
        check_pairs(messages)
    check_pairs(model.messages_latest)
    if outcome is not None:
        assert isinstance(outcome, DOCUMENTED_ERRORS), outcome
        check_failed_call(model, before, outcome, lines, answered=None)
        return
    assert all(type(r) is LLMResult for r in records)
    check_per_call_state_reset(model)
    check_prefix_kept(before, model)
    check_history_renders(model)
    if not stream:
        (result,) = records
        assert result.status == LLMStatus.idle
        # The calls and results of every batch run on the way.
        assert set(result.tool_results) <= set(result.tool_calls)
    else:
        statuses = [r.status for r in records]
        assert statuses.count(LLMStatus.tool_calls) == statuses.count(LLMStatus.tool_results)
    json.dumps(model.messages_latest)
