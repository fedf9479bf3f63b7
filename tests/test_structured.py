"""quorvel.structured end to end on the loopback server: what each exchange
carried (read from the recorded request bodies), what came back, what the
history and the model hold afterwards."""

from __future__ import annotations

import json
from typing_extensions import TypedDict  # pydantic needs this one on 3.11

import pytest
from pydantic import BaseModel

from exchange_support import history, isolated_config, server  # noqa: F401
from quorvel.modal import LLModal, ServerError
from quorvel.structured import OutputError, ask
from quorvel.testing import Reply
from quorvel.tools import Tools


class City(BaseModel):
    name: str
    population: int


PARIS = {"name": "Paris", "population": 2100000}


class Point(TypedDict):
    x: int
    y: int


def text(value, stream):
    """The model answering ``value`` (JSON unless already text), whole or streamed in two pieces."""
    body = value if isinstance(value, str) else json.dumps(value)
    return Reply.stream([body[:4], body[4:]]) if stream else Reply.text(body)


def final_result(arguments, stream, call_id="f1"):
    return Reply.tool_calls([(call_id, "final_result", arguments)], stream=stream, fragment=7)


@pytest.fixture
def ran():
    """A registry with one tool that notes every call it runs."""
    calls = []

    def population(city: str) -> int:
        """Population of a city."""
        calls.append(city)
        return 2100000

    return Tools(population), calls


def make(server, stream, tools=None, **body):
    extra = {"model": "m", **body, **({"stream": True} if stream else {})}
    return LLModal(endpoint_url=server.url, extra_body=extra, **({"tools": tools} if tools is not None else {}))


def bodies(server):
    return [request.json for request in server.requests]


def last_user(body):
    return [m for m in body["messages"] if m["role"] == "user"][-1]["content"]


@pytest.mark.parametrize("stream", [False, True])
def test_json_schema_without_tools_is_one_exchange(server, stream):
    server.add(text(PARIS, stream))
    model = make(server, stream)
    extra_body = model.extra_body
    before = dict(extra_body)

    assert ask(model, "Biggest city of France?", City) == City(**PARIS)

    (body,) = bodies(server)
    assert body["response_format"] == {
        "type": "json_schema",
        "json_schema": {"name": "City", "schema": City.model_json_schema(), "strict": True},
    }
    assert "tools" not in body and "tool_choice" not in body
    assert last_user(body) == "Biggest city of France?"
    assert model.extra_body is extra_body and extra_body == before
    assert history(model) == [("user", "Biggest city of France?"), ("assistant", json.dumps(PARIS))]


@pytest.mark.parametrize("stream", [False, True])
def test_json_schema_runs_the_tool_loop_before_the_answering_exchange(server, ran, stream):
    tools, calls = ran
    server.add(
        Reply.tool_calls([("t1", "population", {"city": "Paris"})], stream=stream),
        text("About 2.1 million people.", stream),
        text(PARIS, stream),
    )
    model = make(server, stream, tools, response_format={"type": "json_object"})
    extra_body = model.extra_body

    assert ask(model, "How many people live in Paris?", City, strict=False) == City(**PARIS)

    first, after_round, answering = bodies(server)
    for body in (first, after_round):
        assert [t["function"]["name"] for t in body["tools"]] == ["population"]
        assert "response_format" not in body
    assert answering["response_format"]["json_schema"] == {"name": "City", "schema": City.model_json_schema(), "strict": False}
    assert last_user(answering).startswith("Now give your final answer")
    assert calls == ["Paris"]
    assert model.extra_body is extra_body and extra_body["response_format"] == {"type": "json_object"}
    assert model.tools is tools
    assert [role for role, _ in history(model)] == ["user", "assistant", "tool", "assistant", "user", "assistant"]


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("with_tools", [False, True])
def test_tool_mode_forces_final_result_and_never_runs_it(server, ran, capsys, stream, with_tools):
    tools, calls = ran
    if with_tools:
        server.add(Reply.tool_calls([("t1", "population", {"city": "Paris"})], stream=stream), text("Got it.", stream))
    server.add(final_result(PARIS, stream))
    model = make(server, stream, tools if with_tools else None)
    registry = model.tools

    assert ask(model, "Paris?", City, mode="tool") == City(**PARIS)

    *rounds, answering = bodies(server)
    assert len(rounds) == (2 if with_tools else 0)  # nothing is posted after final_result
    assert answering["tool_choice"] == {"type": "function", "function": {"name": "final_result"}}
    offered = {t["function"]["name"]: t["function"] for t in answering["tools"]}
    assert offered["final_result"]["parameters"] == City.model_json_schema()
    assert set(offered) == ({"population", "final_result"} if with_tools else {"final_result"})
    for body in rounds:
        assert "tool_choice" not in body and [t["function"]["name"] for t in body["tools"]] == ["population"]
    assert calls == (["Paris"] if with_tools else [])
    assert model.tools is registry and "final_result" not in registry
    assert history(model)[-2:] == [("assistant", ["f1"]), ("tool", "Final result received.")]
    assert model.tool_calls == [] and model._tool_calls_count == 0
    assert capsys.readouterr().out == ""  # the call ended without a failure report


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("mode", ["json_schema", "tool", "prompted"])
def test_an_invalid_answer_is_asked_again_once(server, stream, mode):
    bad, good = {"name": "Paris", "population": "many"}, PARIS
    if mode == "tool":
        server.add(final_result(bad, stream, "f1"), final_result(good, stream, "f2"))
    else:
        server.add(text(bad, stream), text(good, stream))
    model = make(server, stream)

    assert ask(model, "Paris?", City, mode=mode) == City(**PARIS)

    first, again = bodies(server)
    reask = last_user(again)
    assert "population" in reask and "Input should be a valid integer" in reask
    assert last_user(first) != reask
    if mode == "tool":
        # the refused call is answered in the history before the re-ask
        assert [m["role"] for m in again["messages"]] == ["user", "assistant", "tool", "user"]
    user_turns = [entry for entry in history(model) if entry[0] == "user"]
    assert len(user_turns) == 2


@pytest.mark.parametrize("mode", ["json_schema", "tool", "prompted"])
def test_output_error_after_the_retries(server, mode):
    answers = [{"name": "Paris"}, {"name": "Lyon"}, {"population": 3}]
    for answer in answers:
        server.add(final_result(answer, False) if mode == "tool" else text(answer, False))
    model = make(server, False)
    extra_body = model.extra_body

    with pytest.raises(OutputError) as caught:
        ask(model, "Paris?", City, mode=mode, retries=2)

    error = caught.value
    assert isinstance(error, ValueError)
    assert (error.attempts, json.loads(error.raw)) == (3, {"population": 3})
    assert [(e["type"], e["loc"]) for e in error.errors] == [("missing", ("name",))]
    assert len(server.requests) == 3 and server.pending == 0
    assert model.extra_body is extra_body and extra_body == {"model": "m"}


def test_tool_mode_answer_without_final_result(server):
    server.add(Reply.text("Paris has 2.1 million people."), Reply.text("Still no tool."))
    model = make(server, False)
    with pytest.raises(OutputError) as caught:
        ask(model, "Paris?", City, mode="tool")
    assert caught.value.raw == "Still no tool."
    assert caught.value.errors[0]["type"] == "final_result_missing"
    assert "without calling final_result" in last_user(bodies(server)[1])


@pytest.mark.parametrize("mode", ["json_schema", "tool"])
def test_model_restored_after_a_failed_exchange(server, ran, mode):
    tools, _ = ran
    server.add(text("free text", True), Reply.status(400, "bad request"))
    model = make(server, True, tools)
    extra_body = model.extra_body
    with pytest.raises(ServerError):
        ask(model, "Paris?", City, mode=mode)
    assert model.extra_body is extra_body and extra_body == {"model": "m", "stream": True}
    assert model.tools is tools


@pytest.mark.parametrize(
    "answer",
    ['{"x": 1, "y": 2}\n\nHope this helps.', 'Sure: {"x": 1, "y": 2}.', "```\n{\"x\": 1, \"y\": 2}\n```"],
)
def test_json_is_found_in_the_answer_text(server, answer):
    server.add(Reply.text(answer))
    assert ask(make(server, False), "A point?", Point) == {"x": 1, "y": 2}


def test_prompted_mode_reads_json_from_text(server):
    server.add(Reply.text('Here it is:\n```json\n{"x": 1, "y": 2}\n```\nAnything else?'))
    model = make(server, False, response_format={"type": "json_object"})
    assert ask(model, "A point?", Point, mode="prompted") == {"x": 1, "y": 2}
    (body,) = bodies(server)
    assert "response_format" not in body
    prompt = last_user(body)
    assert prompt.startswith("A point?\n\nAnswer with one JSON object")
    assert json.loads(prompt.split("```json\n")[1].split("\n```")[0])["properties"].keys() == {"x", "y"}


def test_schema_in_prompt_and_wrapped_outputs(server):
    server.add(Reply.text(json.dumps({"response": [PARIS, {"name": "Lyon", "population": 520000}]})))
    model = make(server, False)
    cities = ask(model, "Two cities?", list[City], schema_in_prompt=True)
    assert [c.name for c in cities] == ["Paris", "Lyon"]
    (body,) = bodies(server)
    assert body["response_format"]["json_schema"]["name"] == "list_City"
    schema = body["response_format"]["json_schema"]["schema"]
    assert schema["required"] == ["response"] and schema["properties"]["response"]["type"] == "array"
    assert "City" in schema["$defs"]
    assert "The answer must match this JSON schema" in last_user(body)


@pytest.mark.parametrize(
    "prompt, options, error",
    [
        (b"bytes", {}, TypeError),
        ("q", {"mode": "xml"}, ValueError),
        ("q", {"retries": -1}, ValueError),
        ("q", {"retries": True}, TypeError),
    ],
)
def test_bad_arguments_send_nothing(server, prompt, options, error):
    model = make(server, False)
    with pytest.raises(error):
        ask(model, prompt, City, **options)
    assert server.requests == [] and model.messages == []


def test_tool_mode_refuses_a_model_that_cannot_call_final_result(server):
    def final_result(value: str) -> str:
        return value

    model = make(server, False, Tools(final_result))
    with pytest.raises(ValueError, match="already has a tool named 'final_result'"):
        ask(model, "q", City, mode="tool")
    model = make(server, False)
    model.tool_calls_limit = 0
    with pytest.raises(ValueError, match="tool_calls_limit of at least 1"):
        ask(model, "q", City, mode="tool")
    assert server.requests == []


def test_calls_beside_final_result_are_answered_not_run(server, ran):
    tools, calls = ran
    server.add(Reply.text("Checked."),
               Reply.tool_calls([("t1", "population", {"city": "Lyon"}), ("f1", "final_result", PARIS)]))
    model = make(server, False, tools)
    assert ask(model, "Paris?", City, mode="tool") == City(**PARIS)
    assert calls == [] and len(server.requests) == 2
    assert history(model)[-3:] == [
        ("assistant", ["t1", "f1"]),
        ("tool", "Not run: final_result was called in the same answer."),
        ("tool", "Final result received."),
    ]
