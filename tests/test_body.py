"""The byte seam: a streamed answer reaches the native decoder as a body
object (quorvel._body) that the transport alone reads, and that any thread may
close; quorvel.cancel closes the bodies a synchronous call has open."""

from __future__ import annotations

import json
import re
import threading
import time
from pathlib import Path

import pytest

import quorvel
from exchange_support import history, isolated_config, printed, server  # noqa: F401
from quorvel import _transport
from quorvel.modal import LLModal
from quorvel.testing import Reply, finish_chunk, response_from_bytes, sse_body, text_chunk

NATIVE = Path(__file__).resolve().parents[1] / "src" / "native"


def slow_stream(server, pause=3.0):
    """A stream whose second chunk arrives `pause` seconds after the first."""
    chunks = [text_chunk("a"), text_chunk("b"), finish_chunk("stop")]
    lines = [b"data: " + json.dumps(chunk).encode() for chunk in chunks]
    server.add(Reply.raw_lines(lines, delay=pause, newline=b"\n\n"))
    return LLModal(endpoint_url=server.url, extra_body={"stream": True})


@pytest.mark.parametrize("when", ["blocked", "between records"])
def test_cancel_stops_a_synchronous_stream_promptly(server, capsys, when):
    model = slow_stream(server)
    stream = model.invoke("Hi")
    assert quorvel.cancel(model) is False  # nothing is read before the first record is asked for
    assert next(stream).content == "a"
    if when == "blocked":
        threading.Timer(0.3, quorvel.cancel, [model]).start()
    else:
        assert quorvel.cancel(model) is True
    start = time.monotonic()
    assert list(stream) == []
    assert time.monotonic() - start < 2.0
    # Stopped as the close flag stops a stream: no failure path, nothing left.
    assert printed(capsys) == [] and model.tool_calls == [] and model._close is False
    assert history(model) == [("user", "Hi"), ("assistant", "a")]
    assert quorvel.cancel(model) is False
    server.add(Reply.text("again"))
    model.extra_body = {}
    assert model.invoke("next").content == "again"


def test_close_from_another_thread_ends_a_blocked_read(server):
    slow_stream(server, pause=5.0)
    response = _transport.send(
        _transport.requests, server.url, {"Content-Type": "application/json"}, {"messages": []}, True,
        _Settings(), "llm",
    )
    body = _transport.stream_body(response)
    assert body.status == 200 and body.headers["Content-Type"].startswith("text/event-stream")
    blocks = body.blocks()
    next(blocks)
    threading.Timer(0.3, body.close).start()
    start = time.monotonic()
    with pytest.raises(Exception):
        for _ in blocks:
            pass
    assert time.monotonic() - start < 2.0


class _Settings:
    """No settings: the transport's defaults."""

    @staticmethod
    def has_option(section, option):
        return False


@pytest.mark.parametrize("replaced", [False, True])
def test_the_body_splits_natively_only_requests_own_lines(monkeypatch, replaced):
    response = response_from_bytes(sse_body([text_chunk("a")]))
    if replaced:
        monkeypatch.setattr(type(response), "iter_lines", lambda self, *a, **k: iter([b"data: {}"]))
    assert _transport.stream_body(response).splittable is not replaced


def test_native_code_reads_no_transport_internals():
    # The attribute names the native code could reach them by (its names are
    # string literals: Name{"..."}, *AttrString calls).
    names = re.compile(r'"(_content_consumed|raw|chunked|supports_chunked_reads|_fp|_connection|length_remaining|'
                       r'chunk_left|urllib3[^"]*)"')
    found = [
        f"{path.relative_to(NATIVE)}:{number}: {line.strip()}"
        for path in NATIVE.rglob("*.[ch]pp")
        for number, line in enumerate(path.read_text().splitlines(), 1)
        if names.search(line)
    ]
    assert found == []
