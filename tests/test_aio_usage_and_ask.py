"""The async client with the usage figures and structured output: the same
figures and the same exchanges as the synchronous calls."""

from __future__ import annotations

import json

import pytest
from pydantic import BaseModel

from exchange_support import isolated_config, server  # noqa: F401
from quorvel.aio import aask, ainvoke, astream
from quorvel.modal import LLModal
from quorvel.structured import OutputError
from quorvel.testing import Reply, usage_object
from quorvel.tools import Tools
from quorvel.usage import Usage, last_usage


class City(BaseModel):
    name: str
    population: int


PARIS = {"name": "Paris", "population": 2100000}


def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


@pytest.mark.parametrize("stream", [False, True])
async def test_tool_round_usage_is_summed(server, monkeypatch, stream):
    monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "true")
    server.add(Reply.tool_calls([("c1", "add", {"a": 1, "b": 2})], stream=stream, usage=usage_object(10, 3)),
               Reply.stream(["3"], usage=usage_object(20, 1)) if stream else Reply.text("3", usage=usage_object(20, 1)))
    model = LLModal(endpoint_url=server.url, tools=Tools(add), extra_body={"stream": True} if stream else {})
    outcome = await ainvoke(model, "1 + 2?")
    if stream:
        assert [r.content async for r in outcome if r.content] == ["3"]
        assert server.requests[0].json["stream_options"] == {"include_usage": True}
    else:
        assert outcome.content == "3"
    assert last_usage(model) == Usage(input_tokens=30, output_tokens=4, total_tokens=34, requests=2, exchanges=2)


@pytest.mark.timing
async def test_astream_reads_on_for_usage_only_within_the_bound(server, monkeypatch):
    import time

    monkeypatch.setenv("QUORVEL_LLM_STREAM_USAGE", "on")
    server.add(Reply.stream(["a", "b"], done=False, hold_open=30))
    model = LLModal(endpoint_url=server.url)
    started = time.monotonic()
    records = [r.content async for r in astream(model, "go")]
    assert records == ["a", "b"]
    assert 1.5 < time.monotonic() - started < 4.0
    assert last_usage(model) == Usage(requests=1, exchanges=1)


@pytest.mark.parametrize("stream", [False, True])
async def test_aask_validates_and_asks_again(server, stream):
    bad, good = json.dumps({"name": "Paris"}), json.dumps(PARIS)
    for body in (bad, good):
        server.add(Reply.stream([body[:3], body[3:]]) if stream else Reply.text(body))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {})
    assert await aask(model, "Biggest city of France?", City) == City(**PARIS)
    first, again = (request.json for request in server.requests)
    assert first["response_format"]["json_schema"]["name"] == "City"
    assert "population" in again["messages"][-1]["content"]


async def test_aask_gives_up_with_output_error(server):
    server.add(Reply.text("no JSON here"), Reply.text("still none"))
    model = LLModal(endpoint_url=server.url)
    with pytest.raises(OutputError) as caught:
        await aask(model, "Biggest city of France?", City, mode="prompted", retries=1)
    assert caught.value.attempts == 2 and caught.value.raw == "still none"
