"""The README's Python examples, as a type checker sees them.

Checked by mypy against the package's stubs (see .ci/run); never run by
pytest.  Each block mirrors a README section and uses the names a reader
would.
"""

from __future__ import annotations

import asyncio
from typing import Any, Iterator

from fastmcp import FastMCP
from pydantic import BaseModel

import quorvel
from quorvel.aio import AStream, ainvoke, astream
from quorvel.cython import CythonBaseModel, CythonFunctionTool, get_cached_typeadapter
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal, LLMResult, LLMStatus, ServerError, ToolContent
from quorvel.structured import OutputError, ask
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools


# ---- Messages ----------------------------------------------------------------------

def messages() -> dict[str, Any]:
    m = Message(
        role=MessageRole.user,
        contents=[[{"type": "image_url", "image_url": "data:image;base64,AAA"}, {"type": "text", "text": "what is this?"}],
                  "and now?"],
    )
    text: str = repr(m)
    assert text and bool(m)
    return m.latest


# ---- Compiled classes as pydantic models ---------------------------------------------

class Point(CythonBaseModel):
    x: int
    y: int = 0


def points() -> int:
    p = Point(x=1)
    config = Point.model_config
    assert "ignored_types" in config
    return p.x + p.y


# ---- The chat model, offline; a tool registered --------------------------------------

tools = Tools()


@tools.register
def add(a: int, b: int) -> int:
    """Add two integers."""
    return a + b


def offline() -> tuple[dict[str, str], dict[str, Any]]:
    model = LLModal(endpoint_url="http://localhost:8000/v1/chat/completions",
                    system_prompt="Be brief.", tools=tools, extra_body={"model": "m", "stream": True})
    model.add_message(role="system", content=model.system_prompt)
    model.add_message(role="user", content="What is 2 + 3?")
    assert add(2, 3) == 5
    return model._headers, model._body


# ---- Talking to a server: LLModal built and invoked ----------------------------------

def invoked(url: str) -> str:
    model = LLModal(endpoint_url=url, tools=Tools(add))
    result = model.invoke("What is 2 + 3?")
    assert isinstance(result, LLMResult)
    call: ToolContent = result.tool_results["call_1"]
    merged = result + LLMResult(content="!", status=LLMStatus.answer)
    return f"{call.content} {merged.content}"


def streamed(url: str) -> list[str]:
    model = LLModal(endpoint_url=url, extra_body={"stream": True})
    records = model.invoke("Hi")
    assert not isinstance(records, LLMResult)
    seen: Iterator[LLMResult] = records
    model._close = True
    return [record.reasoning_content or record.content for record in seen if record.status != LLMStatus.idle]


# ---- Compiled functions as MCP tools -------------------------------------------------

def compiled_tool(fn: Any, context_param: str | None = None) -> CythonFunctionTool:
    schema = get_cached_typeadapter(fn).json_schema()
    if context_param:
        schema["properties"].pop(context_param)
        schema["required"].remove(context_param)
    return CythonFunctionTool(name=fn.__name__, description=fn.__doc__, fn=fn, parameters=schema)


def served() -> FastMCP[Any]:
    mcp: FastMCP[Any] = FastMCP("weather")
    mcp.add_tool(compiled_tool(add))
    mcp.add_tool(CythonFunctionTool.from_function(add))
    return mcp


async def run_once() -> Any:
    tool = compiled_tool(add)
    result = await tool.run({"a": 1, "b": 2})
    return result.structured_content


if __name__ == "__main__":
    print(messages(), points(), offline(), asyncio.run(run_once()))


# ---- Timeouts, retries and errors ----------------------------------------------------

def server_errors() -> None:
    model = LLModal(endpoint_url="http://localhost:8000/v1/chat/completions")
    try:
        model.invoke("Hi")
    except ServerError as error:
        status: int | None = error.status_code
        body: bytes | None = error.body
        if status == 429:
            print("rate limited:", error.message, error.code, body)
        else:
            raise


# ---- Async ---------------------------------------------------------------------------

async def lookup(city: str) -> str:
    """Weather for a city (a coroutine: awaited on the loop)."""
    await asyncio.sleep(0.01)
    return f"light rain in {city}"


async def async_calls() -> list[str]:
    seen: list[str] = []
    with ChatServer() as server:
        server.add(Reply.tool_calls([("c1", "lookup", {"city": "Paris"}), ("c2", "add", {"a": 2, "b": 3})]),
                   Reply.text("Take an umbrella."))
        model = LLModal(endpoint_url=server.url, tools=Tools(lookup, add))
        result = await ainvoke(model, "Umbrella in Paris?")
        assert isinstance(result, LLMResult)
        seen.append(f"{result.tool_results['c1'].content} {result.content}")

        server.add(Reply.stream(["Hel", "lo"]))
        async for record in astream(model, "Hi"):
            seen.append(f"{record.status} {record.content}")

        stream: AStream = await astream(model, "again")
        await stream.aclose()
        in_flight: bool = quorvel.cancel(model)
        assert not in_flight
    return seen


def deadline(model: LLModal) -> None:
    import threading

    threading.Timer(5.0, quorvel.cancel, args=(model,)).start()


# ---- Batch runs and scaling out ------------------------------------------------------

def batch_run(base_url: str) -> None:
    from quorvel.batch import RowMapper, Summary, run

    template = LLModal(endpoint_url=f"{base_url}/chat/completions",
                       extra_body={"model": "Qwen/Qwen2.5-7B-Instruct", "temperature": 0})
    summary: Summary = run(template, "requests.jsonl", "answers.jsonl", workers=16, requests_per_minute=600)
    print(summary.done, summary.failed, summary.skipped, f"{summary.seconds:.0f} s")
    lines: list[dict[str, Any]] = []
    run(template, [{"custom_id": "q2", "prompt": "What is 6 * 7?"}], "answers.jsonl", on_row=lines.append)
    mapper = RowMapper(template, prompt_key="prompt", output_key="answer")
    print(mapper({"prompt": ["Name a prime number above 10."]})["answer"])


# ---- Usage ---------------------------------------------------------------------------

def usage_figures() -> float:
    from quorvel.testing import ChatServer, Reply, usage_object
    from quorvel.usage import Usage, collect, last_usage, usage

    with ChatServer() as server:
        server.add(Reply.tool_calls([("call_1", "add", {"a": 2, "b": 3})], usage=usage_object(120, 18)),
                   Reply.text("2 + 3 = 5", usage=usage_object(150, 9, cached_tokens=100)))
        model = LLModal(endpoint_url=server.url, tools=Tools(add))
        with collect() as spent:
            result = model.invoke("What is 2 + 3?")
            assert isinstance(result, LLMResult)
        last: Usage = last_usage(model)
        tokens: int | None = last.input_tokens
        counts: int = last.requests + last.exchanges
        print(tokens, counts, usage(model) == spent.usage == last, last + spent.usage)
        return last.cost(2.50, 10.00, cached_input_per_million=1.25)


# ---- Structured output ---------------------------------------------------------------

class City(BaseModel):
    name: str
    population: int


def population(city: str) -> int:
    """Population of a city."""
    return 2_100_000


def structured() -> list[City]:
    with ChatServer() as server:
        server.add(Reply.text('{"name": "Paris", "population": 2100000}'))
        city: City = ask(LLModal(endpoint_url=server.url), "Biggest city of France?", City)
        model = LLModal(endpoint_url=server.url, tools=Tools(population))
        cities: list[City] = ask(model, "Two cities?", list[City], mode="tool", schema_in_prompt=True,
                                 retries=2, strict=False)
        first = server.requests[0].json
        assert "response_format" in first
        try:
            ask(model, "Paris?", City, mode="prompted")
        except OutputError as error:
            attempts: int = error.attempts
            raw: str = error.raw
            errors: list[dict[str, Any]] = error.errors
            print(attempts, raw, errors)
        return [city, *cities]
