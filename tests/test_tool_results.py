"""A tool run's result is what fastmcp's own FunctionTool gives for the same
function and arguments, down to the text blocks' pydantic state and the
structured content's containers."""
import datetime
import enum
import math

import pydantic_core
import pytest
from fastmcp.tools import FunctionTool
from mcp.types import TextContent

from quorvel import cython as qc
from quorvel.cython import CythonFunctionTool


def pydantic_state(model):
    return (type(model), vars(model), model.__pydantic_extra__, model.__pydantic_fields_set__,
            model.__pydantic_private__)


@pytest.mark.parametrize("text", ["", "x", "ünïcødé ✓", "a" * 10_000, "line\nbreak"])
def test_text_blocks_are_those_the_validator_makes(text):
    (ours,) = qc._convert_to_content(text)
    made = TextContent(type="text", text=text)
    assert pydantic_state(ours) == pydantic_state(made)
    assert list(vars(ours)) == list(vars(made))
    assert ours.text is text
    assert ours.model_dump(exclude_unset=True) == made.model_dump(exclude_unset=True)
    assert ours.model_dump_json(by_alias=True) == made.model_dump_json(by_alias=True)
    # Each block is its own object: changing one leaves the next alone.
    ours.__pydantic_extra__["note"] = 1
    ours.__pydantic_fields_set__.add("meta")
    (again,) = qc._convert_to_content(text)
    assert pydantic_state(again) == pydantic_state(made)


class Color(enum.Enum):
    red = "red"


def returning(value):
    def tool() -> dict:
        return value

    return tool


STRUCTURED = {
    "flat": {"a": 1, "b": "two", "c": 3.5, "d": True, "e": None},
    "nested": {"rows": [{"id": 1, "tags": ["x", "y"]}, {"id": 2, "tags": []}], "total": 2},
    "big int": {"n": 2**80},
    "tuple": {"pair": (1, 2)},
    "int keys": {1: "one"},
    "infinite": {"x": math.inf},
    "not a number": {"x": math.nan},
    "datetime": {"at": datetime.datetime(2024, 1, 2, 3, 4, 5)},
    "enum": {"color": Color.red},
    "bytes": {"raw": b"abc"},
    "deep": {"d": [[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]},
    "empty": {},
}


@pytest.mark.parametrize("value", STRUCTURED.values(), ids=STRUCTURED.keys())
async def test_structured_content_is_fastmcps(value):
    fn = returning(value)
    ours = await CythonFunctionTool.from_function(fn).run({})
    theirs = await FunctionTool.from_function(fn).run({})
    assert ours.content == theirs.content
    # By their text: nan is no equal of itself, and the key order counts.
    assert repr(ours.structured_content) == repr(theirs.structured_content)


def containers(value):
    if isinstance(value, dict):
        yield value
        for item in value.values():
            yield from containers(item)
    elif isinstance(value, list):
        yield value
        for item in value:
            yield from containers(item)


@pytest.mark.parametrize("wrapped", [False, True], ids=["object", "wrapped"])
async def test_structured_content_shares_no_container_with_the_returned_value(wrapped):
    value = STRUCTURED["nested"]

    def tool() -> dict:
        return value

    def wrapped_tool() -> list:
        return value["rows"]

    fn = wrapped_tool if wrapped else tool
    result = await CythonFunctionTool.from_function(fn).run({})
    returned_ids = {id(c) for c in containers(fn())}
    assert not returned_ids & {id(c) for c in containers(result.structured_content)}
    assert result.structured_content == pydantic_core.to_jsonable_python({"result": fn()} if wrapped else fn())
