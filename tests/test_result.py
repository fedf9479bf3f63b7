import pytest
from pydantic import ValidationError

from quorvel.modal import LLMResult, LLMStatus, ToolContent


def test_status_members_are_their_names():
    assert [(m.name, m.value) for m in LLMStatus] == [
        (n, n) for n in ("idle", "answer", "reason", "tool_calls", "tool_results")]
    assert LLMStatus.answer == "answer" and f"{LLMStatus.reason}" == "reason"


@pytest.mark.parametrize("kwargs, valid", [
    ({"name": "f", "content": {"a": 1}}, True),
    ({"name": "f", "content": "text"}, True),
    ({"name": "f"}, False),
    ({"name": "f", "content": 42}, False),
    ({"name": "f", "content": [1]}, False),
])
def test_tool_content_validation(kwargs, valid):
    if valid:
        assert ToolContent(**kwargs).content == kwargs["content"]
    else:
        with pytest.raises(ValidationError):
            ToolContent(**kwargs)


def test_record_defaults_and_construction():
    a, b = LLMResult(), LLMResult()
    assert (a.tool_calls, a.tool_results, a.reasoning_content, a.content, a.status) == ({}, {}, "", "", LLMStatus.idle)
    assert a.tool_calls is not b.tool_calls and a.tool_results is not b.tool_results
    r = LLMResult(status="answer", unknown=1)
    assert r.status is LLMStatus.answer and not hasattr(r, "unknown")
    assert list(LLMResult.__annotations__.items()) == [
        ("tool_calls", "dict[str, ToolContent]"), ("tool_results", "dict[str, ToolContent]"),
        ("reasoning_content", "str"), ("content", "str"), ("status", "LLMStatus")]
    assert LLMResult.__add__.__annotations__ == {"other": "'LLMResult'", "return": "'LLMResult'"}


def test_merge_copies_the_left_and_places_the_right():
    x1, y, x2, z, res = (ToolContent(name=n, content=n) for n in ("x1", "y", "x2", "z", "res"))
    a = LLMResult(tool_calls={"x": x1, "y": y}, reasoning_content="r1", content="A", status="answer")
    b = LLMResult(tool_calls={"x": x2, "z": z}, tool_results={"x": res}, reasoning_content="r2", content="B")
    a_before, b_before = a.model_dump(), b.model_dump()
    c = a + b
    assert list(c.tool_calls) == ["x", "y", "z"]
    assert c.tool_calls["x"] is x2 and c.tool_calls["z"] is z and c.tool_results["x"] is res
    assert c.tool_calls["y"] == y and c.tool_calls["y"] is not y and c.tool_calls is not a.tool_calls
    assert (c.reasoning_content, c.content, c.status) == ("r1r2", "AB", LLMStatus.idle)
    c.tool_calls["new"] = z
    c.content = "changed"
    assert a.model_dump() == a_before and b.model_dump() == b_before
    x2.content = "seen"
    assert b.tool_calls["x"].content == "seen"


@pytest.mark.parametrize("status", list(LLMStatus))
def test_right_status_always_wins(status):
    assert (LLMResult(status="tool_results") + LLMResult(status=status)).status is status


def test_only_the_left_operand_merges():
    a = b = LLMResult(content="A")
    a += LLMResult(content="B")
    assert a is not b and (a.content, b.content) == ("AB", "A")
    with pytest.raises(TypeError):
        1 + LLMResult()


def test_bad_right_operand():
    with pytest.raises(AttributeError):
        LLMResult() + object()
    other = LLMResult()
    other.content = 5  # assignment is not validated
    with pytest.raises(TypeError):
        LLMResult() + other


@pytest.mark.parametrize("name", ["LLMResult", "ToolContent", "LLModal"])
def test_the_stub_declares_the_fields_the_module_declares(name):
    """Each class's fields are declared once, in the native member table; the
    stub must list the same fields, in the same order, with the same types."""
    import ast
    from pathlib import Path

    import quorvel
    import quorvel.modal

    stub = ast.parse((Path(quorvel.__file__).parent / "modal.pyi").read_text())
    (body,) = [node.body for node in stub.body if isinstance(node, ast.ClassDef) and node.name == name]
    declared = {
        node.target.id: ast.unparse(node.annotation)
        for node in body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    }
    assert declared == getattr(quorvel.modal, name).__annotations__
    assert list(declared) == list(getattr(quorvel.modal, name).__annotations__)
