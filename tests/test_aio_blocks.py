"""A streamed answer that arrives in large blocks (a fast server, a body
held in memory) gives astream the same records, in the same order, as
invoke reading the same bytes, wherever a block's pieces cut its lines:
inside a line, between a carriage return and its line feed, inside a
character of several bytes."""

from __future__ import annotations

import asyncio
import json

import httpx
import pytest
import requests

from exchange_support import isolated_config  # noqa: F401
from quorvel import aio
from quorvel._aio_transport import _use_client
from quorvel.modal import LLModal
from quorvel.testing import finish_chunk, response_from_bytes, role_chunk, text_chunk

URL = "http://blocks.invalid/v1/chat/completions"
PIECES = ["héllo wörld ", "✓ ", "🙂", "plain ascii text ", "ünïcödé "]


def body(chunks: int, line_end: bytes) -> bytes:
    events = [role_chunk()] + [text_chunk(PIECES[i % len(PIECES)], reasoning="r" if i % 7 == 0 else None)
                               for i in range(chunks)] + [finish_chunk()]
    lines = [b"data: " + json.dumps(event, ensure_ascii=False).encode() for event in events]
    return b"".join(line + line_end + line_end for line in lines) + b"data: [DONE]" + line_end + line_end


def view(records):
    return [(r.status, r.reasoning_content, r.content) for r in records]


def sync_records(data: bytes):
    model = LLModal(endpoint_url=URL, extra_body={"stream": True})
    original = requests.post
    requests.post = lambda *args, **kwargs: response_from_bytes(data)
    try:
        return view(model.invoke("question")), model.messages
    finally:
        requests.post = original


async def async_records(data: bytes):
    def answer(request):
        return httpx.Response(200, content=data, headers={"content-type": "text/event-stream"})

    await _use_client(URL, httpx.AsyncClient(transport=httpx.MockTransport(answer)))
    model = LLModal(endpoint_url=URL)
    return view([record async for record in aio.astream(model, "question")]), model.messages


@pytest.mark.parametrize("line_end", [b"\n", b"\r\n"], ids=["lf", "crlf"])
@pytest.mark.parametrize("chunks, piece", [(3, None), (60, 1), (60, 5), (300, 64), (300, 1000), (2_500, None)])
def test_a_body_in_one_block_gives_what_invoke_gives(isolated_config, monkeypatch, chunks, piece, line_end):  # noqa: F811
    if piece is not None:  # pieces small enough to cut every kind of place
        monkeypatch.setattr(aio, "_PIECE", piece)
    data = body(chunks, line_end)
    expected, expected_history = sync_records(data)
    got, history = asyncio.run(async_records(data))
    assert got == expected and history == expected_history
    assert "".join(content for _, _, content in got) == "".join(PIECES[i % len(PIECES)] for i in range(chunks))
