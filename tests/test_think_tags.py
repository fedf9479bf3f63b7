"""Reasoning inside the answer text as <think>...</think>, with the think_tags
setting: whole answers, and streams whose text arrives in random small
deltas (so the tags are cut anywhere) sent in random small byte splits."""

from __future__ import annotations

import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from exchange_support import history, isolated_config, server  # noqa: F401
from quorvel.modal import LLModal, LLMStatus
from quorvel.testing import ChatServer, Reply, finish_chunk, role_chunk, sse_body, text_chunk

CASES = [
    # answer text as sent, (reasoning, answer) with think_tags on
    ("<think>Let me see: 6 * 7.</think>\n\n42", ("Let me see: 6 * 7.", "42")),
    (" \n<think>\nblank lines first\n</think>Paris", ("\nblank lines first\n", "Paris")),
    ("<think></think>Hi", ("", "Hi")),
    ("<think>a < b </thin k> still thinking</think>done", ("a < b </thin k> still thinking", "done")),
    ("Not at the start: <think>x</think>", ("", "Not at the start: <think>x</think>")),
    ("<thinking>other tag</thinking>", ("", "<thinking>other tag</thinking>")),
    ("<think>never closed", ("never closed", "")),
    ("<thi", ("", "<thi")),
    ("Zürich <think>", ("", "Zürich <think>")),
]


def pieces(text: str, rng: random.Random) -> list[str]:
    out, at = [], 0
    while at < len(text):
        step = rng.randint(1, 3)
        out.append(text[at:at + step])
        at += step
    return out


def streamed_reply(text: str, rng: random.Random) -> Reply:
    chunks = [role_chunk(), *(text_chunk(piece) for piece in pieces(text, rng)), finish_chunk()]
    body = sse_body(chunks)
    cuts, at = [], 0
    while at < len(body):
        step = rng.randint(1, 9)
        cuts.append(body[at:at + step])
        at += step
    return Reply.raw_lines(cuts, newline=b"")


@pytest.fixture
def think_tags(monkeypatch):
    monkeypatch.setenv("QUORVEL_LLM_THINK_TAGS", "yes")


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize(("text", "expected"), CASES)
def test_streamed(server, think_tags, text, expected, seed):
    rng = random.Random(f"{text}{seed}")
    server.add(streamed_reply(text, rng))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True})
    records = list(model.invoke("go"))
    reasoning, answer = expected
    assert "".join(r.reasoning_content for r in records) == reasoning
    assert "".join(r.content for r in records) == answer
    # Reasoning records come first and carry no answer text; answer records no reasoning.
    statuses = [r.status for r in records]
    assert statuses == sorted(statuses, key=lambda s: s != LLMStatus.reason)
    assert all((r.content == "") == (r.status == LLMStatus.reason) for r in records)
    assert history(model) == [("user", "go")] + ([("assistant", answer)] if answer else [])


@pytest.mark.parametrize(("text", "expected"), CASES)
def test_whole(server, think_tags, text, expected):
    server.add(Reply.text(text, reasoning="server reasoning. "))
    model = LLModal(endpoint_url=server.url)
    result = model.invoke("go")
    reasoning, answer = expected
    assert (result.reasoning_content, result.content) == ("server reasoning. " + reasoning, answer)
    assert history(model) == [("user", "go"), ("assistant", answer)]


@pytest.mark.parametrize("form", ["whole", "stream"])
def test_off_by_default(server, form):
    text = "<think>x</think>y"
    server.add(streamed_reply(text, random.Random(1)) if form == "stream" else Reply.text(text))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True} if form == "stream" else {})
    outcome = model.invoke("go")
    content = "".join(r.content for r in outcome) if form == "stream" else outcome.content
    assert content == text
    assert history(model) == [("user", "go"), ("assistant", text)]


tag_texts = st.lists(st.sampled_from(["<think>", "</think>", "<th", "ink>", "</", "<", ">", " ", "\n", "x", "é"]),
                     max_size=8).map("".join)


@pytest.mark.fuzz
@given(text=tag_texts, seed=st.integers(0, 2**16))
def test_any_cut_of_the_stream_splits_as_the_whole_answer(text, seed):
    # One server for all examples: hypothesis runs the body many times.
    server = _shared_server()
    server.add(Reply.text(text), streamed_reply(text, random.Random(seed)))
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("QUORVEL_LLM_THINK_TAGS", "1")
        whole = LLModal(endpoint_url=server.url).invoke("go")
        records = list(LLModal(endpoint_url=server.url, extra_body={"stream": True}).invoke("go"))
    streamed = ("".join(r.reasoning_content for r in records), "".join(r.content for r in records))
    assert streamed == (whole.reasoning_content, whole.content)
    # What the setting promises: a leading <think> opens the reasoning, the
    # first </think> closes it, blanks before the answer are dropped.
    opened = text.lstrip()
    if opened.startswith("<think>"):
        inside, closed, rest = opened[len("<think>"):].partition("</think>")
        assert (whole.reasoning_content, whole.content) == (inside, rest.lstrip() if closed else "")
    else:
        assert (whole.reasoning_content, whole.content) == ("", text)


_server: list[ChatServer] = []


def _shared_server() -> ChatServer:
    if not _server:
        _server.append(ChatServer().start())
    return _server[0]


@pytest.fixture(scope="module", autouse=True)
def _close_shared_server():
    yield
    while _server:
        _server.pop().close()
