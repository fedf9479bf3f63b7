"""The two argument-model builders agree: Tools (chat-model tools) and
get_cached_typeadapter with CythonFunctionTool.run (MCP tools)."""
import json
from typing import Annotated

import pytest
from pydantic import Field, ValidationError

from quorvel.cython import CythonFunctionTool, get_cached_typeadapter
from quorvel.tools import Tools


def described(a: Annotated[str, "label"], b: Annotated[str, "label", "extra"], c: Annotated[int, Field(gt=0)] = 1,
               d: str = "x"):
    return [a, b, c, d]


def tools_description(fn, name):
    (schema,) = Tools(fn).schemas
    return schema["function"]["parameters"]["properties"][name].get("description")


def adapter_description(fn, name):
    return get_cached_typeadapter(fn).json_schema()["properties"][name].get("description")


@pytest.mark.parametrize("name, description", [("a", "label"), ("b", None), ("c", None), ("d", None)])
def test_descriptions_agree(name, description):
    assert tools_description(described, name) == adapter_description(described, name) == description


def add(a: int, b: int = 0) -> int:
    return a + b


def tagged(tag: str, **extra) -> dict:
    return {"tag": tag, "extra": extra}


def run_tools(fn, arguments):
    tools = Tools(fn)
    call = {"id": "1", "type": "function", "function": {"name": fn.__name__, "arguments": json.dumps(arguments)}}
    return tools([call])[0].contents[-1]


async def run_mcp(fn, arguments):
    tool = CythonFunctionTool(name=fn.__name__, fn=fn, parameters={})
    return (await tool.run(arguments)).content[0].text


async def test_unknown_keys_refused_by_both():
    assert run_tools(add, {"a": 1, "c": 9}).startswith("Error: invalid arguments for tool 'add': c:")
    with pytest.raises(ValidationError, match="Unexpected keyword argument"):
        await run_mcp(add, {"a": 1, "c": 9})


async def test_unknown_keys_reach_kwargs_in_both():
    expected = {"tag": "t", "extra": {"colour": "red"}}
    assert json.loads(run_tools(tagged, {"tag": "t", "colour": "red"})) == expected
    assert json.loads(await run_mcp(tagged, {"tag": "t", "colour": "red"})) == expected


async def test_defaults_agree():
    assert run_tools(add, {"a": 2}) == await run_mcp(add, {"a": 2}) == "2"
