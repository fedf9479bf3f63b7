"""ServerError: a failed answer as a ValueError with its fields, same text as before."""

from __future__ import annotations

import json
import pickle

import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server  # noqa: F401
from quorvel.modal import LLModal, ServerError
from quorvel.testing import Reply, role_chunk


def make(server, stream=False):
    return LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {})


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize(
    "body, code, message",
    [
        ({"error": {"message": "rate limited", "code": "rate_limit_exceeded"}}, "rate_limit_exceeded", "rate limited"),
        ({"error": "slow down"}, None, "slow down"),
        ({"detail": "nope"}, None, None),
        ("plain text", None, None),
    ],
)
def test_failed_status(server, capsys, stream, body, code, message):
    reply = Reply.status(429, body)
    server.add(reply)
    model = make(server, stream)
    with pytest.raises(ServerError) as raised:
        model.invoke("Hi")
    error = raised.value
    assert isinstance(error, ValueError)
    assert str(error) == f"code: 429, content: {reply.body!r}"
    assert (error.status_code, error.code, error.message, error.body) == (429, code, message, reply.body)
    assert printed(capsys) == [f"LLM request error: {error}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


@pytest.mark.parametrize("stream", [False, True])
def test_error_object_in_a_200_answer(server, capsys, stream):
    error_object = {"error": {"message": "context too long", "code": 400}}
    if stream:
        server.add(Reply.raw_lines([f"data: {json.dumps(role_chunk())}", "", f"data: {json.dumps(error_object)}", ""]))
    else:
        server.add(Reply.json(error_object))
    model = make(server, stream)
    with pytest.raises(ServerError) as raised:
        result = model.invoke("Hi")
        if stream:
            list(result)
    error = raised.value
    assert str(error) == "code: 400, message: context too long"
    assert (error.status_code, error.code, error.message, error.body) == (None, 400, "context too long", None)
    assert printed(capsys) == [f"Error parsing LLM response: {error}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


def test_survives_pickling(server):
    server.add(Reply.status(503, {"error": {"message": "down", "code": "overloaded"}}))
    with pytest.raises(ServerError) as raised:
        make(server).invoke("Hi")
    copy = pickle.loads(pickle.dumps(raised.value))
    assert type(copy) is ServerError and str(copy) == str(raised.value)
    assert (copy.status_code, copy.code, copy.message, copy.body) == (503, "overloaded", "down", raised.value.body)


def test_is_exported_as_a_name_of_the_client_module():
    assert ServerError.__module__ == "quorvel.modal" and issubclass(ServerError, ValueError)
    assert not hasattr(LLModal, "ServerError")  # the class surface is unchanged
