import asyncio
import importlib
import json
import shutil
import subprocess
import sys
import threading
import time
from typing import Annotated

import pytest
from pydantic import BaseModel, Field

from quorvel.message import MessageRole
from quorvel.tools import Tools


class Point(BaseModel):
    x: int
    label: str = "é"


def add(a: int, b: Annotated[int, "second addend"] = 10) -> int:
    """Add two integers.

    Details:
        indented.
    """
    return a + b


def call(name, arguments=None, id="call_1", **extra):
    function = {"name": name} if arguments is None else {"name": name, "arguments": arguments}
    return {"id": id, "type": "function", "function": function, **extra}


def run(tools, name, arguments=None):
    (message,) = tools([call(name, arguments)])
    assert message.role == MessageRole.tool and message.tool_call_id == "call_1"
    return message.contents[0]


@pytest.mark.parametrize("form", ["bare", "empty_call", "named", "direct", "constructor"])
def test_registration_forms(form):
    tools = Tools()
    assert not tools and len(tools) == 0 and tools.schemas == []
    fn = {"bare": lambda: tools.register(add), "empty_call": lambda: tools.register()(add),
          "named": lambda: tools.register(name="plus", description="Sum.")(add),
          "direct": lambda: tools.register(add, name="plus"), "constructor": lambda: add}[form]()
    tools = Tools(add) if form == "constructor" else tools
    assert fn is add and tools and len(tools) == 1 and "sub" not in tools
    (schema,) = [s["function"] for s in tools.schemas]
    assert schema["name"] == tools.names[0] == ("plus" if form in ("named", "direct") else "add")
    assert schema["description"] == ("Sum." if form == "named" else "Add two integers.\n\nDetails:\n    indented.")


@pytest.mark.parametrize("bad", [lambda: None, 42, "add"])
def test_rejects_bad_registrations(bad):
    tools = Tools(add)
    with pytest.raises((TypeError, ValueError)):
        tools.register(bad)
    assert tools.names == ["add"]


def test_schema_from_signature():
    def f(a: int, b: Annotated[str, "a label"], json: float = 1.5, _p=None, *args, **kwargs):
        pass

    tools = Tools(add, f, getattr)
    assert [s["function"]["name"] for s in tools.schemas] == ["add", "f", "getattr"]
    assert all(s["type"] == "function" for s in tools.schemas)
    params = tools.schemas[1]["function"]["parameters"]
    assert list(params["properties"]) == ["a", "b", "json", "_p"]
    assert params["required"] == ["a", "b"]
    assert params["properties"]["b"] == {"description": "a label", "title": "B", "type": "string"}
    assert params["properties"]["json"]["default"] == 1.5 and "type" not in params["properties"]["_p"]
    assert tools.schemas[2]["function"]["parameters"] == {"type": "object", "properties": {}}
    tools.schemas[0]["function"]["parameters"]["properties"].clear()
    assert "a" in tools.schemas[0]["function"]["parameters"]["properties"]


@pytest.mark.parametrize(
    "result, text",
    [("plain", "plain"), ('"q"', '"q"'), (7, "7"), (None, "null"), ({"k": "é", "n": [1]}, '{"k": "é", "n": [1]}'),
     (Point(x=1), '{"x": 1, "label": "é"}')],
)
def test_result_rendering(result, text):
    assert run(_returning(result), "r") == text


def _returning(value):
    tools = Tools()
    tools.register(lambda: value, name="r")
    return tools


def greet(name: str = "you") -> str:
    return f"hi {name}"


def pos_only(a: int, /, p: Point, **extra):
    return [a, p.x, extra]


@pytest.mark.parametrize(
    "fn, arguments, expected",
    [(add, '{"a": "2"}', "12"), (add, '{"a": 2, "b": "-5"}', "-3"), (add, {"a": 1}, "11"), (greet, None, "hi you"),
     (greet, "", "hi you"), (greet, "  ", "hi you"), (pos_only, '{"a": "1", "p": {"x": "2"}, "z": 3}', '[1, 2, {"z": 3}]')],
)
def test_arguments_are_validated_and_passed(fn, arguments, expected):
    assert run(Tools(fn), fn.__name__, arguments) == expected


async def _async_double(n: int) -> int:
    await asyncio.sleep(0.01)
    return n * 2


def _awaitable_returner(n: int):
    return _async_double(n)


@pytest.mark.parametrize("fn", [_async_double, _awaitable_returner])
def test_async_tools_with_and_without_running_loop(fn):
    tools = Tools()
    tools.register(fn, name="d")
    assert run(tools, "d", '{"n": 4}') == "8"

    async def inside_loop():
        return tools([call("d", '{"n": 5}')])[0].contents[0]

    assert asyncio.run(inside_loop()) == "10"


def test_batch_keeps_order_and_runs_concurrently():
    barrier = threading.Barrier(2, timeout=5)
    tools = Tools()

    @tools.register
    def wait(delay: float, tag: str) -> str:
        barrier.wait()  # only passes if both calls run at the same time
        time.sleep(delay)
        return tag

    messages = tools([call("wait", '{"delay": 0.3, "tag": "slow"}', id="a", index=0),
                      call("wait", '{"delay": 0, "tag": "fast"}', id="b", index=1)])
    assert type(messages) is list
    assert [(m.tool_call_id, m.contents[0]) for m in messages] == [("a", "slow"), ("b", "fast")]


def _boom(x: int = 0):
    raise ValueError("boom")


@pytest.mark.parametrize(
    "tool_call, expected",
    [(call("foo", "{}"), "Error: unknown tool 'foo'"),
     (call("add", "{a: 1"), "Error: arguments for tool 'add' are not valid JSON: "),
     (call("add", "[1, 2]"), "Error: arguments for tool 'add' must be a JSON object"),
     (call("add", '{"a": "one"}'), "Error: invalid arguments for tool 'add': a: "),
     (call("add", '{"b": 1}'), "Error: invalid arguments for tool 'add': a: Field required"),
     (call("add", '{"a": 1, "c": 2}'), "Error: invalid arguments for tool 'add': c: "),
     (call("_boom", "{}"), "Error: tool '_boom' raised ValueError: boom"),
     # A call that names no tool is refused as an unknown tool is.
     ({"id": "call_1", "type": "function"}, "Error: unknown tool ''"),
     (call("", "{}"), "Error: unknown tool ''"), ({"function": {"arguments": "{}"}}, "Error: unknown tool ''"),
     ({"function": {"name": None}}, "Error: unknown tool ''"),
     ({"id": "call_1", "function": "add"}, "Error: malformed tool call")],
)
def test_bad_model_input_becomes_error_message(tool_call, expected):
    messages = Tools(add, _boom)([tool_call, call("add", '{"a": 1}', id="ok")])
    assert messages[0].contents[0].startswith(expected)
    assert messages[0].tool_call_id == tool_call.get("id", "")
    assert messages[1].contents == ["11"]  # a bad call does not disturb its neighbours


def test_usable_as_field_of_another_model():
    class Chat(BaseModel):
        tools: Tools = Field(default_factory=Tools)

    assert "tools" in Chat.model_json_schema()["properties"]
    chat = Chat(tools=Tools(add))
    assert chat.model_copy(deep=True).tools.names == ["add"]


@pytest.fixture(scope="module")
def cython_module(tmp_path_factory):
    if shutil.which("cc") is None:
        pytest.skip("no C compiler")
    pytest.importorskip("Cython")
    folder = tmp_path_factory.mktemp("cy")
    (folder / "qv_cytools.pyx").write_text(
        "# cython: binding=True\nfrom typing import Annotated\n"
        "def scale(x: float, factor: Annotated[int, 'multiplier'] = 2) -> float:\n"
        "    '''Scale x.'''\n    return x * factor\n"
        "async def shout(s: str):\n    return s.upper()\n"
    )
    subprocess.run([sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", "qv_cytools.pyx"],
                   cwd=folder, check=True, capture_output=True)
    sys.path.insert(0, str(folder))
    try:
        yield importlib.import_module("qv_cytools")
    finally:
        sys.path.remove(str(folder))


def test_cython_compiled_functions(cython_module):
    tools = Tools(cython_module.scale, cython_module.shout)
    params = tools.schemas[0]["function"]["parameters"]
    assert params["required"] == ["x"] and params["properties"]["factor"]["description"] == "multiplier"
    assert tools.schemas[0]["function"]["description"] == "Scale x."
    results = tools([call("scale", '{"x": "1.5"}'), call("shout", '{"s": "hi"}'), call("scale", '{"x": "a"}')])
    assert [m.contents[0] for m in results[:2]] == ["3.0", "HI"]
    assert results[2].contents[0].startswith("Error: invalid arguments for tool 'scale'")
