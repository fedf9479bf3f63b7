"""quorvel.batch.run against the loopback chat server: what each row sends,
the lines it writes, resume, retries of failed rows, refusals, the budget."""

from __future__ import annotations

import json
import threading
import time

import pytest

from quorvel.batch import BatchInputError, Summary, run
from quorvel.modal import LLModal
from quorvel.testing import ChatServer, Reply
from quorvel.tools import Tools


def _last_user(request):
    for message in reversed(request.json["messages"]):
        if message["role"] == "user":
            return message["content"]
    return None


@pytest.fixture
def echo():
    """A server that answers every request with "echo: " + the last user message."""
    with ChatServer() as server:

        def reply(request):
            server.add(reply)
            if request.json.get("stream"):
                return Reply.stream(["echo: ", str(_last_user(request))])
            return Reply.text(f"echo: {_last_user(request)}")

        server.add(*[reply] * 32)
        yield server


def short(n, start=0):
    return [{"custom_id": f"r{i}", "prompt": f"p{i}"} for i in range(start, start + n)]


def read_lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()]


def by_id(lines):
    return {line["custom_id"]: line for line in lines}


def posted_prompts(server):
    return sorted(_last_user(request) for request in server.requests)


# ---- what rows send and write ----------------------------------------------------------


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_each_row_runs_on_its_own_copy_and_gets_one_answer_line(echo, tmp_path, stream):
    template = LLModal(endpoint_url=echo.url, system_prompt="Be brief.", extra_body={"model": "m", "stream": stream})
    template.add_message(role="user", content="an example question")
    template.add_message(role="assistant", content="an example answer")
    before = (template.model_dump_json(), template._tool_calls_count)
    out = tmp_path / "out.jsonl"

    summary = run(template, short(30), out, workers=4)

    assert (summary.done, summary.skipped, summary.failed) == (30, 0, 0)
    assert (template.model_dump_json(), template._tool_calls_count) == before
    lines = by_id(read_lines(out))
    assert sorted(lines) == sorted(f"r{i}" for i in range(30))
    line = lines["r7"]
    assert line["error"] is None and line["id"].startswith("batch_req_")
    body = line["response"]["body"]
    assert line["response"]["status_code"] == 200 and body["object"] == "chat.completion"
    assert body["model"] == "m"
    assert body["choices"][0]["message"] == {"role": "assistant", "content": "echo: p7"}
    # The template's history (no system prompt: it was not empty) plus the row's turn.
    assert [m["content"] for m in line["quorvel"]["messages"]] == [
        "an example question", "an example answer", "p7", "echo: p7",
    ]
    sent = [r.json["messages"] for r in echo.requests if _last_user(r) == "p7"]
    assert sent == [[
        {"role": "user", "content": "an example question"},
        {"role": "assistant", "content": "an example answer"},
        {"role": "user", "content": "p7"},
    ]]


def test_request_lines_bring_their_history_and_parameters(echo, tmp_path):
    template = LLModal(endpoint_url=echo.url, system_prompt="template system", extra_body={"model": "m", "top_p": 1})
    image = [{"type": "image_url", "image_url": "data:image/png;base64,AAA"}, {"type": "text", "text": "what is it?"}]
    requests = [
        {"custom_id": "conv", "method": "POST", "url": "/v1/chat/completions", "body": {
            "model": "other", "temperature": 0,
            "messages": [
                {"role": "developer", "content": "row system"},
                {"role": "user", "content": "first"},
                {"role": "assistant", "content": None,
                 "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
                {"role": "tool", "tool_call_id": "c1", "content": "42"},
                {"role": "assistant", "content": "it is 42"},
                {"role": "user", "content": "and now?"},
            ]}},
        {"custom_id": "parts", "body": {"messages": [{"role": "user", "content": image}]}},
        {"custom_id": "short", "prompt": "hi", "system": "row prompt", "extra_body": {"top_p": 0.5}},
    ]
    summary = run(template, requests, tmp_path / "out.jsonl", workers=1)
    assert summary.done == 3
    sent = {request.json["messages"][-1]["content"] if isinstance(request.json["messages"][-1]["content"], str)
            else "parts": request.json for request in echo.requests}
    conv = sent["and now?"]
    assert conv["model"] == "other" and conv["temperature"] == 0 and conv["top_p"] == 1
    assert conv["messages"] == [
        {"role": "system", "content": "row system"},
        {"role": "user", "content": "first"},
        {"role": "assistant", "tool_calls": [{"id": "c1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]},
        {"role": "tool", "tool_call_id": "c1", "content": "42"},
        {"role": "assistant", "content": "it is 42"},
        {"role": "user", "content": "and now?"},
    ]
    assert sent["parts"]["messages"] == [{"role": "system", "content": "template system"}, {"role": "user", "content": image}]
    assert sent["hi"]["messages"][0] == {"role": "system", "content": "row prompt"}
    assert sent["hi"]["top_p"] == 0.5 and sent["hi"]["model"] == "m"
    assert template.extra_body == {"model": "m", "top_p": 1} and template.messages == []


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_tool_rounds_run_per_row_and_their_results_are_written(tmp_path, stream):
    def add(a: int, b: int) -> int:
        """Add two integers."""
        return a + b

    with ChatServer() as server:
        if stream:
            server.add(Reply.tool_calls([("call_1", "add", {"a": 2, "b": 3})], stream=True),
                       Reply.stream(["2 + 3 = ", "5"]))
        else:
            server.add(Reply.tool_calls([("call_1", "add", {"a": 2, "b": 3})]), Reply.text("2 + 3 = 5"))
        template = LLModal(endpoint_url=server.url, tools=Tools(add), extra_body={"stream": stream})
        run(template, [{"custom_id": "t", "prompt": "What is 2 + 3?"}], tmp_path / "out.jsonl")
        assert server.requests[1].json["messages"][-1] == {"role": "tool", "tool_call_id": "call_1", "content": "5"}
    (line,) = read_lines(tmp_path / "out.jsonl")
    assert line["response"]["body"]["choices"][0]["message"]["content"] == "2 + 3 = 5"
    assert line["quorvel"]["tool_calls"] == {"call_1": {"name": "add", "content": {"a": 2, "b": 3}}}
    assert line["quorvel"]["tool_results"] == {"call_1": {"name": "add", "content": "5"}}
    assert [m["role"] for m in line["quorvel"]["messages"]] == ["user", "assistant", "tool", "assistant"]


def test_failed_rows_get_an_error_line_and_the_run_goes_on(tmp_path, capsys):
    with ChatServer() as server:
        server.add(
            Reply.status(400, {"error": {"message": "context too long", "code": "context_length_exceeded"}}),
            Reply.text("fine"),
        )
        template = LLModal(endpoint_url=server.url)
        seen = []
        summary = run(template, short(2), tmp_path / "out.jsonl", workers=1, on_row=seen.append)
        unreachable = LLModal(endpoint_url=f"http://127.0.0.1:{server.port}/nowhere")
    assert (summary.done, summary.failed) == (1, 1)
    lines = by_id(read_lines(tmp_path / "out.jsonl"))
    assert [line["custom_id"] for line in seen] == ["r0", "r1"]
    failed = lines["r0"]
    assert failed["error"]["code"] == "context_length_exceeded"
    assert "context too long" in failed["error"]["message"]
    assert failed["response"]["status_code"] == 400
    assert failed["response"]["body"] == {"error": {"message": "context too long", "code": "context_length_exceeded"}}
    # The history shows the failure rules of invoke: the fallback answer.
    assert failed["quorvel"]["messages"][-1]["content"] == "The server is busy. Please try again later."
    assert lines["r1"]["error"] is None

    # No server at all: the error of the transport, no response.
    summary = run(unreachable, short(1, start=5), tmp_path / "down.jsonl")
    (line,) = read_lines(tmp_path / "down.jsonl")
    assert summary.failed == 1 and line["response"] is None and line["error"]["code"] == "ConnectionError"


def test_rate_limited_requests_go_through_the_transport_retries(tmp_path, monkeypatch):
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "1")
    with ChatServer() as server:
        server.add(Reply.status(429, {"error": {"message": "slow down"}}, headers={"Retry-After": "0"}), Reply.text("ok"))
        summary = run(LLModal(endpoint_url=server.url), short(1), tmp_path / "out.jsonl")
        assert len(server.requests) == 2
    assert summary.done == 1 and read_lines(tmp_path / "out.jsonl")[0]["error"] is None


# ---- resume ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "tail, kept",
    [
        (b'{"id": "x", "custom_id": "r3", "response": {"status_co', False),  # torn mid-line: cut off
        (b"{", False),
        (None, True),  # a whole last line without its newline: kept, newline added
    ],
    ids=["torn", "one-byte", "whole-without-newline"],
)
def test_resume_skips_answered_rows_and_repairs_a_torn_last_line(echo, tmp_path, tail, kept):
    template = LLModal(endpoint_url=echo.url)
    out = tmp_path / "out.jsonl"
    run(template, short(3), out)
    data = out.read_bytes()
    if tail is None:
        run(template, short(1, start=3), out)
        data = out.read_bytes()[:-1]
    else:
        data += tail
    out.write_bytes(data)
    requests_before = len(echo.requests)

    summary = run(template, short(6), out, workers=3)

    assert summary.skipped == (4 if kept else 3)
    assert summary.done == (2 if kept else 3)
    assert len(echo.requests) - requests_before == summary.done
    lines = read_lines(out)  # every line parses
    assert sorted(line["custom_id"] for line in lines) == [f"r{i}" for i in range(6)]


def test_without_resume_every_row_runs_again(echo, tmp_path):
    template = LLModal(endpoint_url=echo.url)
    out = tmp_path / "out.jsonl"
    run(template, short(2), out)
    summary = run(template, short(2), out, resume=False)
    assert (summary.done, summary.skipped) == (2, 0)
    assert len(read_lines(out)) == 4


def test_retry_failed_runs_failed_rows_again_and_replaces_their_lines(tmp_path):
    with ChatServer() as server:
        server.add(Reply.status(503, {"error": {"message": "overloaded"}}), Reply.text("a1"))
        template = LLModal(endpoint_url=server.url)
        out = tmp_path / "out.jsonl"
        first = run(template, short(2), out, workers=1)
        assert (first.done, first.failed) == (1, 1)

        again = run(template, short(2), out)  # a failed row has a line: skipped
        assert (again.done, again.skipped) == (0, 2) and len(server.requests) == 2

        server.add(Reply.text("a0"))
        retried = run(template, short(2), out, retry_failed=True)
        assert (retried.done, retried.skipped, retried.failed) == (1, 1, 0)
    lines = read_lines(out)
    assert len(lines) == 2
    assert {line["custom_id"]: line["response"]["body"]["choices"][0]["message"]["content"] for line in lines} == {
        "r0": "a0", "r1": "a1",
    }


# ---- refusals ----------------------------------------------------------------------------


BAD_LINES = [
    ("not json", "line 2: not valid JSON"),
    ('["a list"]', "line 2: a request must be a JSON object"),
    ('{"prompt": "no id"}', "line 2: 'custom_id' must be a non-empty text"),
    ('{"custom_id": 7, "prompt": "x"}', "line 2: 'custom_id' must be a non-empty text"),
    ('{"custom_id": "b", "prompt": 3}', "line 2: 'prompt' must be text"),
    ('{"custom_id": "b", "prompt": "x", "temperature": 1}', "line 2: unknown key 'temperature'"),
    ('{"custom_id": "b"}', "line 2: neither 'body'"),
    ('{"custom_id": "b", "body": {"messages": []}}', "line 2: body.messages must be a non-empty list"),
    ('{"custom_id": "b", "url": "/v1/embeddings", "body": {"input": "x"}}', "line 2: url '/v1/embeddings'"),
    ('{"custom_id": "b", "method": "GET", "body": {}}', 'line 2: method must be "POST"'),
    ('{"custom_id": "b", "body": {"messages": [{"role": "user", "content": "q"}, {"role": "assistant", "content": "a"}]}}',
     "line 2: the last of body.messages must be the user message"),
    ('{"custom_id": "b", "body": {"messages": [{"role": "wizard", "content": "q"}]}}',
     "line 2: body.messages[0]: unknown role 'wizard'"),
    ('{"custom_id": "b", "body": {"messages": [{"role": "tool", "content": "q"}, {"role": "user", "content": "q"}]}}',
     "line 2: body.messages[0]: a tool message needs a 'tool_call_id'"),
]


@pytest.mark.parametrize("line, message", BAD_LINES, ids=[m for _, m in BAD_LINES])
def test_a_bad_line_is_named_before_anything_runs_and_nothing_written_is_lost(echo, tmp_path, line, message):
    requests = tmp_path / "in.jsonl"
    requests.write_text(json.dumps({"custom_id": "a", "prompt": "x"}) + "\n" + line + "\n")
    out = tmp_path / "out.jsonl"
    out.write_bytes(b'{"custom_id": "old", "error": null, "response": {"status_code": 200}}\n')
    before = out.read_bytes()
    with pytest.raises(BatchInputError, match="^" + str(requests).replace("\\", "\\\\") + " ") as caught:
        run(LLModal(endpoint_url=echo.url), requests, out)
    assert message in str(caught.value)
    assert out.read_bytes() == before and echo.requests == []


def test_repeated_custom_ids_are_refused_with_their_line_numbers(echo, tmp_path):
    requests = tmp_path / "in.jsonl"
    rows = short(5) + [{"custom_id": "r1", "prompt": "again"}, {"custom_id": "r3", "prompt": "x"},
                       {"custom_id": "r1", "prompt": "thrice"}]
    requests.write_text("".join(json.dumps(row) + "\n" for row in rows))
    with pytest.raises(BatchInputError) as caught:
        run(LLModal(endpoint_url=echo.url), requests, tmp_path / "out.jsonl")
    assert "'r1' on lines 2, 6, 8" in str(caught.value) and "'r3' on lines 4, 7" in str(caught.value)
    assert not (tmp_path / "out.jsonl").exists() and echo.requests == []

    with pytest.raises(BatchInputError, match=r"'r0' on items 1, 2"):
        run(LLModal(endpoint_url=echo.url), short(1) + short(1), tmp_path / "out.jsonl")


def test_a_broken_output_line_is_named_and_the_file_left_alone(echo, tmp_path):
    out = tmp_path / "out.jsonl"
    out.write_bytes(b'{"custom_id": "r0", "error": null, "response": {"status_code": 200}}\ngarbage\n{"custom_id": "r1"')
    before = out.read_bytes()
    with pytest.raises(BatchInputError, match=r"out\.jsonl line 2: not valid JSON"):
        run(LLModal(endpoint_url=echo.url), short(3), out)
    # Only the torn end was repaired (it was never a whole line).
    assert out.read_bytes() == before[: before.rindex(b"\n") + 1]
    assert echo.requests == []


@pytest.mark.parametrize(
    "kwargs, error",
    [({"workers": 0}, ValueError), ({"workers": 2.0}, TypeError),
     ({"requests_per_minute": 0}, ValueError), ({"requests_per_minute": "60"}, TypeError)],
)
def test_bad_arguments_are_refused(tmp_path, kwargs, error):
    with pytest.raises(error):
        run(LLModal(endpoint_url="http://127.0.0.1:9/"), short(1), tmp_path / "out.jsonl", **kwargs)


# ---- the budget --------------------------------------------------------------------------


@pytest.mark.timing
def test_requests_per_minute_is_one_budget_for_all_workers(tmp_path):
    arrivals = []
    with ChatServer() as server:

        def reply(request):
            arrivals.append(time.monotonic())
            return Reply.text("ok")

        server.add(*[reply] * 6)
        summary = run(LLModal(endpoint_url=server.url), short(6), tmp_path / "out.jsonl", workers=6,
                      requests_per_minute=600)  # one request every 0.1 s, whatever the workers
    assert summary.done == 6
    arrivals.sort()
    gaps = [b - a for a, b in zip(arrivals, arrivals[1:])]
    assert arrivals[-1] - arrivals[0] >= 0.45 and min(gaps) >= 0.05


def test_summary_is_the_runs_own_count(echo, tmp_path):
    summary = run(LLModal(endpoint_url=echo.url), short(4), tmp_path / "out.jsonl", workers=2)
    assert isinstance(summary, Summary) and summary.seconds > 0
    assert threading.active_count() >= 1  # the workers are daemon threads and end with the run
    assert not [t for t in threading.enumerate() if t.name.startswith("quorvel-batch-")]


def test_usage_per_row_and_its_sum_in_the_summary(tmp_path):
    try:
        import quorvel.usage  # noqa: F401
    except ImportError:
        usage_module = False
    else:
        usage_module = True
    with ChatServer() as server:
        for n in (1, 2):
            server.add(Reply.json({
                "id": "c", "object": "chat.completion", "model": "m",
                "choices": [{"index": 0, "message": {"role": "assistant", "content": "ok"}, "finish_reason": "stop"}],
                "usage": {"prompt_tokens": 10 * n, "completion_tokens": n, "total_tokens": 11 * n,
                          "prompt_tokens_details": {"cached_tokens": n}},
            }))
        summary = run(LLModal(endpoint_url=server.url), short(2), tmp_path / "out.jsonl", workers=1)
    lines = by_id(read_lines(tmp_path / "out.jsonl"))
    if not usage_module:  # a build without usage figures writes them as null
        assert lines["r0"]["response"]["body"]["usage"] is None and lines["r0"]["quorvel"]["usage"] is None
        assert summary.usage is None
        return
    assert lines["r1"]["response"]["body"]["usage"] == {
        "prompt_tokens": 20, "completion_tokens": 2, "total_tokens": 22, "prompt_tokens_details": {"cached_tokens": 2},
    }
    figures = lines["r0"]["quorvel"]["usage"]
    assert (figures["input_tokens"], figures["cached_input_tokens"], figures["requests"]) == (10, 1, 1)
    assert (summary.usage.total_tokens, summary.usage.requests, summary.usage.exchanges) == (33, 2, 2)


def test_a_failing_on_row_stops_the_run_with_its_error(echo, tmp_path):
    def on_row(line):
        if line["custom_id"] == "r3":
            raise RuntimeError("the caller's bug")

    with pytest.raises(RuntimeError, match="the caller's bug"):
        run(LLModal(endpoint_url=echo.url), short(50), tmp_path / "out.jsonl", workers=4, on_row=on_row)
    lines = read_lines(tmp_path / "out.jsonl")  # whole lines only
    assert 1 <= len(lines) < 50 and len({line["custom_id"] for line in lines}) == len(lines)
