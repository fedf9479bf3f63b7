"""``quorvel chat --schema``: the validated answer printed as JSON."""

from __future__ import annotations

import json
import textwrap

import pytest

from exchange_support import isolated_config, server  # noqa: F401
from quorvel.cli import main
from quorvel.testing import Reply

CITY = {"name": "Paris", "population": 2100000}


@pytest.fixture
def city_module(tmp_path):
    path = tmp_path / "shapes.py"
    path.write_text(textwrap.dedent("""
        from pydantic import BaseModel

        class City(BaseModel):
            name: str
            population: int
    """))
    return path


@pytest.fixture
def city_schema(tmp_path):
    path = tmp_path / "city.json"
    path.write_text(json.dumps({
        "title": "City", "type": "object", "required": ["name", "population"],
        "properties": {"name": {"type": "string"}, "population": {"type": "integer"}},
    }))
    return path


def chat(server, *args):
    return main(["chat", "--endpoint", server.url, "-m", "Biggest city of France?", *args])


def test_class_schema_streamed(server, city_module, capsys):
    server.add(Reply.stream(['{"name": "Par', 'is", "population": 2100000}']))
    assert chat(server, "--schema", f"{city_module}:City") == 0
    assert json.loads(capsys.readouterr().out) == CITY
    (request,) = server.requests
    assert request.json["response_format"]["json_schema"]["name"] == "City"
    assert request.json["stream"] is True


def test_json_schema_file_in_tool_mode(server, city_schema, capsys):
    server.add(Reply.tool_calls([("f1", "final_result", CITY)]))
    assert chat(server, "--no-stream", "--schema", str(city_schema), "--schema-mode", "tool") == 0
    assert json.loads(capsys.readouterr().out) == CITY
    (request,) = server.requests
    assert request.json["tool_choice"]["function"]["name"] == "final_result"
    assert request.json["tools"][0]["function"]["parameters"]["required"] == ["name", "population"]


def test_answer_that_never_validates_is_one_line(server, city_schema, capsys):
    server.add(Reply.text('{"name": "Paris"}'), Reply.text('{"name": 3, "population": 1}'))
    assert chat(server, "--no-stream", "--schema", str(city_schema)) == 1
    captured = capsys.readouterr()
    assert captured.out == ""
    (line,) = captured.err.splitlines()
    assert "does not match City after 2 attempts" in line and "name: 3 is not of type 'string'" in line
    assert "'population' is a required property" in server.requests[1].json["messages"][-1]["content"]


@pytest.mark.parametrize(
    "given, message",
    [
        ("shapes", "--schema takes MODULE:CLASS or a JSON schema file"),
        ("{module}:Town", "has no Town"),
        ("missing.json", "schema file not found"),
        ("{module}:BaseModel.model_config", "cannot use"),
    ],
)
def test_bad_schema_is_one_line_and_sends_nothing(server, city_module, capsys, given, message):
    assert chat(server, "--schema", given.format(module=city_module)) == 1
    assert message in capsys.readouterr().err
    assert server.requests == []


def test_interactive_chat_prints_each_answer_as_json(server, city_module, capsys, monkeypatch):
    import io

    monkeypatch.setattr("sys.stdin", io.StringIO("Paris?\nLyon?\n/quit\n"))
    server.add(Reply.text(json.dumps(CITY)), Reply.text('{"name": "Lyon"}'), Reply.text('{"name": "Lyon"}'))
    assert main(["chat", "--endpoint", server.url, "--no-stream", "--schema", f"{city_module}:City"]) == 0
    captured = capsys.readouterr()
    assert '"population": 2100000' in captured.out
    assert "does not match City after 2 attempts" in captured.err
    # the conversation went on: the second question was sent with the first answer in the history
    assert [m["role"] for m in server.requests[1].json["messages"]] == ["user", "assistant", "user"]
