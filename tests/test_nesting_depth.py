"""Answers nested deeper than the decoders' limit: refused with one clear
ValueError through the failure path, at the same depth on the fast path
(orjson) and on the json.loads path, whole and streamed."""

from __future__ import annotations

import json

import pytest

from exchange_support import FALLBACK, history, isolated_config, printed, server  # noqa: F401
from quorvel.modal import LLModal
from quorvel.testing import Reply, completion_chunk, finish_chunk

LIMIT = 512
TOO_DEEP = f"The server's answer is nested deeper than {LIMIT} levels"


DEEP = "__deep__"


def with_depth(document: dict, depth: int, *, slow_path: bool) -> str:
    """The JSON text of `document` with its DEEP string replaced by arrays
    nested so that the text is `depth` levels deep (DEEP sits 4 levels down:
    document, choices, choice, message or delta).  With `slow_path` the
    innermost value is a 20-digit integer, which the fast path leaves to
    json.loads.  Built as text: json.dumps itself stops near 1000 levels."""
    levels = depth - 4
    inner = "12345678901234567890" if slow_path else "1"
    return json.dumps(document).replace(json.dumps(DEEP), "[" * levels + inner + "]" * levels)


def whole_reply(depth: int, slow_path: bool) -> Reply:
    message = {"role": "assistant", "content": "ok", "extra": DEEP}
    document = {"choices": [{"index": 0, "message": message, "finish_reason": "stop"}]}
    return Reply.status(200, with_depth(document, depth, slow_path=slow_path),
                        headers={"Content-Type": "application/json"})


def streamed_reply(depth: int, slow_path: bool) -> Reply:
    chunk = with_depth(completion_chunk({"content": "ok", "extra": DEEP}), depth, slow_path=slow_path)
    return Reply.raw_lines([f"data: {chunk}", "", f"data: {json.dumps(finish_chunk())}", "", "data: [DONE]"])


def answer(model, stream):
    result = model.invoke("Hi")
    return "".join(r.content for r in result) if stream else result.content


@pytest.mark.parametrize("slow_path", [False, True], ids=["orjson", "json.loads"])
@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_one_limit_on_both_paths(server, capsys, stream, slow_path):
    build = streamed_reply if stream else whole_reply
    server.add(build(LIMIT, slow_path))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": stream})
    assert answer(model, stream) == "ok"

    # One level more, and far more (where json.loads would run out of stack).
    for depth in (LIMIT + 1, 5000):
        server.add(build(depth, slow_path))
        model = LLModal(endpoint_url=server.url, extra_body={"stream": stream})
        with pytest.raises(ValueError) as raised:
            answer(model, stream)
        assert type(raised.value) is ValueError and str(raised.value) == TOO_DEEP
        assert printed(capsys) == [f"Error parsing LLM response: {TOO_DEEP}"]
        assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]
        assert model.tool_calls == []


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_brackets_inside_strings_do_not_count(server, stream):
    text = "[{" * 2000
    if stream:
        chunk = completion_chunk({"content": text})
        server.add(Reply.raw_lines([f"data: {json.dumps(chunk)}", "", f"data: {json.dumps(finish_chunk())}"]))
    else:
        server.add(Reply.text(text))
    model = LLModal(endpoint_url=server.url, extra_body={"stream": stream})
    assert answer(model, stream) == text


def test_deep_error_object_in_a_200_answer_is_refused_too(server, capsys):
    document = with_depth({"error": {"message": {"x": DEEP}}}, 3000, slow_path=False)
    server.add(Reply.status(200, document, headers={"Content-Type": "application/json"}))
    with pytest.raises(ValueError, match=f"^{TOO_DEEP}$"):
        LLModal(endpoint_url=server.url).invoke("Hi")
