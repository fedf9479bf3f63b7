"""_convert_to_content: tool return values as MCP content blocks."""
import inspect
import logging
import subprocess
import sys
import textwrap

import pytest
from fastmcp.tools.tool import default_serializer
from fastmcp.tools.tool import logger as fastmcp_tool_logger
from fastmcp.utilities.types import Audio, File, Image
from mcp.types import ImageContent, TextContent
from pydantic import BaseModel, ValidationError

from quorvel import cython as qc
from quorvel.cython import _convert_to_content as convert


class Point(BaseModel):
    x: int
    y: int


def texts(blocks):
    assert all(isinstance(b, TextContent) and b.type == "text" for b in blocks)
    return [b.text for b in blocks]


def shout(value):
    return f"<{value!r}>"


def test_signature_and_docstring():
    assert str(inspect.signature(convert)) == (
        "(result: 'Any', serializer: 'Callable[[Any], str] | None' = None, "
        "_process_as_single_item: 'bool' = False) -> 'list[ContentBlock]'"
    )
    assert convert.__doc__ == "Convert a result to a sequence of content objects."


@pytest.mark.parametrize("empty", [None, [], ()])
def test_nothing_gives_no_blocks(empty):
    result = convert(empty)
    assert result == [] and type(result) is list


def test_string_is_kept_and_never_serialized():
    def refuse(value):
        raise AssertionError("a string must not be serialized")

    class Name(str):
        pass

    assert texts(convert("héllo", serializer=refuse)) == ["héllo"]
    assert texts(convert(Name("sub"), serializer=refuse)) == ["sub"]


@pytest.mark.parametrize(
    "value",
    [{"a": [1, 2]}, 42, 2.5, Point(x=1, y=2), [1, 2], (1, "two"), [[1], [2, 3]]],
    ids=["dict", "int", "float", "model", "list", "tuple", "nested-list"],
)
@pytest.mark.parametrize("serializer", [None, shout], ids=["default", "custom"])
def test_plain_values_become_one_text_block(value, serializer):
    expected = (serializer or default_serializer)(list(value) if isinstance(value, tuple) else value)
    assert texts(convert(value, serializer=serializer)) == [expected]


def test_blocks_and_wrappers_keep_their_form():
    block = TextContent(type="text", text="given")
    assert convert(block)[0] is block
    (image,) = convert(Image(data=b"\x89PNG", format="png"))
    assert isinstance(image, ImageContent) and image.mimeType == "image/png"
    (audio,) = convert(Audio(data=b"abc", format="wav"))
    assert audio.type == "audio" and audio.mimeType == "audio/wav"
    (resource,) = convert(File(data=b"abc", format="txt"))
    assert resource.type == "resource" and resource.resource.text == "abc"


@pytest.mark.parametrize("container", [list, tuple])
def test_mixed_sequence_puts_the_plain_values_first(container):
    given = TextContent(type="text", text="given")
    mixed = container([given, 1, Image(data=b"\x89PNG", format="png"), "two", [3]])
    first, second, third = convert(mixed, serializer=shout)
    assert first.text == shout([1, "two", [3]])
    assert second is given
    assert third.type == "image"


def test_sequence_of_blocks_only_stays_in_order():
    a, b = TextContent(type="text", text="a"), TextContent(type="text", text="b")
    assert convert([a, b]) == [a, b]


def test_single_item_mode_does_not_split():
    a = TextContent(type="text", text="a")
    (block,) = convert([a, 1], _process_as_single_item=True)
    assert block.text == default_serializer([a, 1])


def test_list_subclass_is_split_too():
    class Results(list):
        pass

    given = TextContent(type="text", text="given")
    assert convert(Results([1, given]))[1] is given


class Recorder(logging.Handler):
    def __init__(self):
        super().__init__(level=logging.DEBUG)
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def tool_log():
    handler = Recorder()
    level = fastmcp_tool_logger.level
    fastmcp_tool_logger.addHandler(handler)
    fastmcp_tool_logger.setLevel(logging.DEBUG)
    yield handler.records
    fastmcp_tool_logger.removeHandler(handler)
    fastmcp_tool_logger.setLevel(level)


def test_failing_serializer_warns_and_falls_back(tool_log):
    error = ValueError("cannot")

    def broken(value):
        raise error

    assert texts(convert({"k": 1}, serializer=broken)) == [default_serializer({"k": 1})]
    (record,) = tool_log
    assert record.levelno == logging.WARNING
    assert record.msg == "Error serializing tool result: %s" and record.args == (error,)
    assert record.getMessage() == "Error serializing tool result: cannot"
    assert record.exc_info[1] is error and record.exc_info[2] is not None


def test_failing_serializer_inside_a_list_warns_once(tool_log):
    def broken(value):
        raise RuntimeError("nope")

    first, _ = convert([1, TextContent(type="text", text="b")], serializer=broken)
    assert first.text == default_serializer([1])
    assert len(tool_log) == 1


def test_base_exceptions_from_the_serializer_propagate(tool_log):
    class Stop(BaseException):
        pass

    def stops(value):
        raise Stop

    with pytest.raises(Stop):
        convert(1, serializer=stops)
    assert tool_log == []


def test_serializer_returning_non_text_fails():
    with pytest.raises(ValidationError):
        convert(1, serializer=lambda value: 5)


def test_recursion_goes_through_the_module_name(monkeypatch):
    seen = []
    original = qc._convert_to_content

    def spy(result, serializer=None, _process_as_single_item=False):
        seen.append((result, _process_as_single_item))
        return original(result, serializer=serializer, _process_as_single_item=_process_as_single_item)

    monkeypatch.setattr(qc, "_convert_to_content", spy)
    block = TextContent(type="text", text="b")
    original([1, block])
    assert seen == [(block, False), ([1], True)]


def test_text_block_class_rebuilt_by_its_own_validator():
    # The text block is built through the class's compiled validator; a
    # validator that rebuilds the model replaces that object mid-call.
    code = textwrap.dedent(
        """
        import gc
        from pydantic import BaseModel, field_validator
        import quorvel.cython as qc

        class Block(BaseModel):
            type: str
            text: str

            @field_validator("text")
            @classmethod
            def rebuild(cls, value):
                cls.model_rebuild(force=True)
                gc.collect()
                junk = [bytearray(200) for _ in range(2000)]
                return value

        qc.TextContent = Block
        for _ in range(20):
            (block,) = qc._convert_to_content(42)
        print(block.text)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "42"
