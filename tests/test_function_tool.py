"""CythonFunctionTool: compiled functions as fastmcp tools, down to what an MCP client receives."""
import collections
import gc
import inspect
import sys
import tracemalloc
import warnings

import pytest
from fastmcp import Client, Context, FastMCP
from fastmcp.exceptions import ToolError
from fastmcp.tools import FunctionTool
from fastmcp.tools.tool import ToolResult
from mcp.types import TextContent
from pydantic import BaseModel, ValidationError

from quorvel import cython as qc
from quorvel.cython import CythonBaseModel, CythonFunctionTool, CythonModelMeta, get_cached_typeadapter


def compiled_tool(fn, name=None, **options):
    """A tool for a compiled function, its input schema from our own adapter.

    fastmcp's from_function cannot read compiled functions (its own adapter
    refuses them), so their tools are built directly.
    """
    schema = get_cached_typeadapter(fn).json_schema()
    for context_param in ("ctx",):
        schema.get("properties", {}).pop(context_param, None)
        if context_param in schema.get("required", ()):
            schema["required"].remove(context_param)
    return CythonFunctionTool(name=name or fn.__name__, fn=fn, parameters=schema, **options)


class Point(BaseModel):
    x: int
    y: int


def text_of(result):
    (block,) = result.content
    return block.text


# ---- the class and its `run` ----------------------------------------------------

def test_class_shape():
    assert CythonFunctionTool.__bases__ == (CythonBaseModel, FunctionTool)
    assert type(CythonFunctionTool) is CythonModelMeta
    assert CythonFunctionTool.model_fields.keys() == FunctionTool.model_fields.keys()
    run = vars(CythonFunctionTool)["run"]
    assert type(run) in CythonFunctionTool.model_config["ignored_types"]


def test_run_reads_as_a_coroutine_function():
    import asyncio

    run = CythonFunctionTool.run
    assert run.__doc__ == "Run the tool with arguments."
    assert run.__annotations__ == {"arguments": "dict[str, Any]", "return": "ToolResult"}
    assert str(inspect.signature(run)) == "(self, arguments: 'dict[str, Any]') -> 'ToolResult'"
    assert run.__code__.co_flags & inspect.CO_COROUTINE
    assert inspect.iscoroutinefunction(run) and asyncio.iscoroutinefunction(run)
    assert vars(run)["_is_coroutine"] is asyncio.coroutines._is_coroutine


@pytest.mark.parametrize(
    "arguments, type_name",
    [
        (collections.OrderedDict(a=1), "collections.OrderedDict"),
        (collections.defaultdict(int), "collections.defaultdict"),
        (None, "NoneType"),
        ([("a", 1)], "list"),
    ],
)
def test_arguments_must_be_exactly_a_dict_at_the_call(arguments, type_name):
    tool = CythonFunctionTool.from_function(lambda a: a, name="echo")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError) as info:
            tool.run(arguments)
        gc.collect()
    assert str(info.value) == f"Argument 'arguments' has incorrect type (expected dict, got {type_name})"
    assert not [w for w in caught if "never awaited" in str(w.message)]  # no coroutine was made


def test_from_function_builds_our_class_and_serves():
    def add(a: int, b: int = 2) -> int:
        """Add."""
        return a + b

    tool = CythonFunctionTool.from_function(add)
    assert type(tool) is CythonFunctionTool and tool.description == "Add."
    server = FastMCP("t")
    server.add_tool(tool)


# ---- one run ---------------------------------------------------------------------

async def test_returned_tool_result_passes_through(compiled):
    tool = compiled_tool(compiled.ready_result)
    result = await tool.run({"text": "hi"})
    assert isinstance(result, ToolResult) and text_of(result) == "hi"
    assert result.structured_content == {"raw": "hi"}


class Opaque:
    def __str__(self):
        return "opaque!"


@pytest.mark.parametrize(
    "value, output_schema, structured",
    [
        ({"a": [1, 2]}, None, {"a": [1, 2]}),
        (Point(x=1, y=2), None, {"x": 1, "y": 2}),
        ([1, 2], None, None),
        ("text", None, None),
        (Opaque(), None, None),
        (5, {"type": "object", "x-fastmcp-wrap-result": True}, {"result": 5}),
        ({"a": 1}, {"type": "object"}, {"a": 1}),
        (None, {"type": "object"}, None),
        ({"b": 2}, {"type": "object", "x-fastmcp-wrap-result": False}, {"b": 2}),
    ],
    ids=["dict", "model", "list", "str", "unserializable", "wrapped", "schema", "schema-none", "marker-false"],
)
async def test_structured_content_rules(value, output_schema, structured):
    def give():
        return value

    tool = CythonFunctionTool(name="give", fn=give, parameters={}, output_schema=output_schema)
    result = await tool.run({})
    assert result.structured_content == structured
    assert result.content == qc._convert_to_content(value)


async def test_serializer_of_the_tool_is_used():
    tool = CythonFunctionTool(name="v", fn=lambda: {"k": 1}, parameters={}, serializer=lambda v: f"<{sorted(v)}>")
    assert text_of(await tool.run({})) == "<['k']>"


@pytest.mark.parametrize(
    "name, arguments, expected",
    [
        ("add", {"a": "1"}, 3),
        ("untyped", {"x": "kept"}, ["kept", 10]),
        ("tagged", {"tag": "t", "colour": "red"}, {"tag": "t", "extra": {"colour": "red"}}),
        ("fetch", {"n": 3}, {"n": 3, "double": 6}),
        ("returns_awaitable", {"n": 2}, {"n": 2, "double": 4}),
    ],
    ids=["sync", "untyped", "kwargs", "async", "sync-returning-awaitable"],
)
async def test_compiled_functions_run(compiled, name, arguments, expected):
    result = await compiled_tool(getattr(compiled, name)).run(arguments)
    assert result.content == qc._convert_to_content(expected)


async def test_arguments_arrive_as_their_validated_objects():
    received = []

    def distance(p: Point, q: Point, scale: float = 1.0, **extra) -> float:
        received.append((p, q, scale, extra))
        return ((p.x - q.x) ** 2 + (p.y - q.y) ** 2) ** 0.5 * scale

    # fastmcp's from_function refuses **kwargs; the tool is built directly.
    tool = CythonFunctionTool(name="distance", fn=distance, parameters={})
    result = await tool.run({"p": {"x": 0, "y": 0}, "q": Point(x=3, y=4), "scale": "2", "note": {"x": 1}})
    assert text_of(result) == "10.0"
    ((p, q, scale, extra),) = received
    assert (p, q, scale, extra) == (Point(x=0, y=0), Point(x=3, y=4), 2.0, {"note": {"x": 1}})
    assert type(p) is Point and type(q) is Point


@pytest.mark.parametrize(
    "arguments, unknown",
    [({"a": 1, "c": 9}, ["c"]), ({"a": 1, "c": 9, "d": 0}, ["c", "d"]), ({"c": 9}, ["a"])],  # a missing argument is reported first
)
async def test_arguments_the_function_does_not_take_are_refused(compiled, arguments, unknown):
    with pytest.raises(ValidationError) as caught:
        await compiled_tool(compiled.add).run(arguments)
    assert sorted(str(e["loc"][0]) for e in caught.value.errors()) == unknown
    assert "addParams" in str(caught.value)


async def test_callers_dict_is_never_changed(monkeypatch):
    server_context = Context(fastmcp=FastMCP("s"))
    monkeypatch.setattr(qc, "get_context", lambda: server_context)

    def tool_fn(query: str, ctx: Context) -> dict:
        return {"query": query, "context": type(ctx).__name__}

    arguments = {"query": "q"}
    snapshot = dict(arguments)
    result = await CythonFunctionTool.from_function(tool_fn).run(arguments)
    assert arguments == snapshot
    assert result.structured_content == {"query": "q", "context": "Context"}


async def test_context_is_injected_as_the_object_itself(monkeypatch):
    server_context = Context(fastmcp=FastMCP("s"))
    received = []

    def tool_fn(query: str, ctx: Context) -> str:
        received.append(ctx)
        return query

    monkeypatch.setattr(qc, "get_context", lambda: server_context)
    await CythonFunctionTool.from_function(tool_fn).run({"query": "q"})
    assert received == [server_context] and received[0] is server_context


async def test_callers_context_wins_and_get_context_is_not_asked(monkeypatch):
    def refuse():
        raise AssertionError("get_context must not be called")

    own_context = Context(fastmcp=FastMCP("mine"))
    received = []

    def tool_fn(ctx: Context) -> None:
        received.append(ctx)

    monkeypatch.setattr(qc, "get_context", refuse)
    await CythonFunctionTool.from_function(tool_fn).run({"ctx": own_context})
    assert received[0] is own_context


async def test_context_outside_a_request_fails(compiled):
    with pytest.raises(RuntimeError, match="No active context found"):
        await compiled_tool(compiled.context_name).run({"query": "q"})


async def test_errors_propagate_unchanged(compiled):
    with pytest.raises(ValidationError, match="addParams"):
        await compiled_tool(compiled.add).run({"a": "x"})
    with pytest.raises(ValueError, match="^broken$"):
        await compiled_tool(compiled.fail).run({"message": "broken"})


async def test_module_names_are_looked_up_at_each_call(compiled, monkeypatch):
    tool = compiled_tool(compiled.add)
    await tool.run({"a": 1})
    calls = []
    original_adapter, original_convert = qc.get_cached_typeadapter, qc._convert_to_content

    def adapter_spy(fn):
        calls.append("adapter")
        return original_adapter(fn)

    def convert_spy(result, serializer=None):
        calls.append("convert")
        return original_convert(result, serializer=serializer)

    monkeypatch.setattr(qc, "get_cached_typeadapter", adapter_spy)
    monkeypatch.setattr(qc, "_convert_to_content", convert_spy)
    await tool.run({"a": 1})
    assert calls == ["adapter", "convert"]


# ---- through a real MCP server and client -----------------------------------------

@pytest.fixture
async def client(compiled):
    def scale(x: int, factor: int = 2) -> int:
        """Scale a number (plain Python, with an output schema)."""
        return x * factor

    server = FastMCP("compiled tools")
    for fn in (compiled.add, compiled.describe, compiled.fetch, compiled.mixed, compiled.greet,
               compiled.ready_result, compiled.context_name, compiled.fail):
        server.add_tool(compiled_tool(fn))
    server.add_tool(CythonFunctionTool.from_function(scale))
    async with Client(server) as connected:
        yield connected


async def test_client_sees_the_tools_and_their_schemas(client):
    tools = {t.name: t for t in await client.list_tools()}
    assert tools["describe"].inputSchema["properties"]["city"]["description"] == "The city to describe"
    assert tools["describe"].inputSchema["required"] == ["city"]
    assert "ctx" not in tools["context_name"].inputSchema["properties"]


@pytest.mark.parametrize(
    "name, arguments, texts, structured",
    [
        ("add", {"a": 1, "b": 5}, ["6"], None),
        ("describe", {"city": "Oslo"}, ['{"city":"Oslo","days":3}'], {"city": "Oslo", "days": 3}),
        ("fetch", {"n": 21}, ['{"n":21,"double":42}'], {"n": 21, "double": 42}),
        ("mixed", {"n": 7}, ["[7]", "block"], None),
        ("greet", {"name": "Ada"}, ["hello Ada"], None),
        ("ready_result", {"text": "as is"}, ["as is"], {"raw": "as is"}),
        ("scale", {"x": 4}, ["8"], {"result": 8}),
    ],
)
async def test_client_receives_content_and_structured_content(client, name, arguments, texts, structured):
    result = await client.call_tool(name, arguments)
    assert not result.is_error
    assert [block.text for block in result.content] == texts
    assert all(isinstance(block, TextContent) for block in result.content)
    assert result.structured_content == structured


async def test_client_tool_receives_the_servers_context(client):
    result = await client.call_tool("context_name", {"query": "where"})
    assert result.structured_content == {"query": "where", "context_type": "Context", "session": True}


async def test_client_sees_validation_errors(client):
    with pytest.raises(ToolError, match=r"1 validation error for addParams\na\n  Input should be a valid integer"):
        await client.call_tool("add", {"a": "seven"})
    result = await client.call_tool("describe", {}, raise_on_error=False)
    assert result.is_error and "city\n  Field required" in result.content[0].text


async def test_client_sees_unknown_arguments_refused(client):
    result = await client.call_tool("add", {"a": 1, "c": 9}, raise_on_error=False)
    assert result.is_error
    assert "c\n  Unexpected keyword argument" in result.content[0].text


async def test_client_sees_tool_failures(client):
    with pytest.raises(ToolError, match="Error calling tool 'fail': it broke"):
        await client.call_tool("fail", {"message": "it broke"})


# ---- resources -------------------------------------------------------------------

@pytest.mark.parametrize(
    "name, arguments",
    [("describe", {"city": "Oslo", "days": 2}), ("fetch", {"n": 1}), ("add", {"a": "not a number"})],
    ids=["sync", "async", "invalid"],
)
async def test_many_runs_do_not_grow_memory(compiled, name, arguments):
    tool = compiled_tool(getattr(compiled, name))

    async def run_many(count):
        for _ in range(count):
            try:
                await tool.run(arguments)
            except ValidationError:
                pass

    await run_many(500)  # caches and free lists settle
    references = sys.getrefcount(arguments), sys.getrefcount(tool)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        await run_many(10_000)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert (sys.getrefcount(arguments), sys.getrefcount(tool)) == references
    assert grown < 64 * 1024, f"{grown} bytes kept after 10,000 runs"


async def test_function_without_signature_cannot_run(compiled):
    # fastmcp's context lookup reads the signature before anything else.
    tool = CythonFunctionTool(name="unbound_add", fn=compiled.unbound_add, parameters={})
    with pytest.raises(ValueError, match="no signature found"):
        await tool.run({"a": 1, "b": 2})
