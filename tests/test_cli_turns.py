"""The chat command end to end: what reaches stdout and stderr, failures, limits, stops, saved conversations."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from quorvel.testing import ChatServer, Reply

from test_cli import ANSI, TOOLS_MODULE, cli_env, run_cli, server, spawn_chat, write_module  # noqa: F401  (fixtures)

ERROR = "quorvel: error: "


def error_lines(stderr):
    return [line for line in stderr.splitlines() if line.startswith(ERROR)]


def wait_for_requests(server, count, timeout=20.0):
    deadline = time.monotonic() + timeout
    while len(server.requests) < count:
        assert time.monotonic() < deadline, f"only {len(server.requests)} requests arrived"
        time.sleep(0.02)


# ---------------------------------------------------------------------------
# stdout holds answers only; a failure is one line on stderr
# ---------------------------------------------------------------------------


def test_success_keeps_stdout_for_the_answer_and_tool_prints_off_it(cli_env, server, tmp_path):
    module = write_module(
        tmp_path, "noisy", "def shout(word: str) -> str:\n    print('tool chatter')\n    return word.upper()\n"
    )
    server.add(Reply.tool_calls([("c1", "shout", {"word": "hi"})], stream=True), Reply.stream(["HI ", "back"]))
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--tools", str(module), "-m", "go")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "HI back\n"
    assert "tool chatter" in proc.stderr and "tool result  shout -> HI  [c1]" in proc.stderr
    assert error_lines(proc.stderr) == []


@pytest.mark.parametrize(
    ("reply", "expected"),
    [
        (
            Reply.status(429, {"error": {"message": "Slow down, please.", "code": "rate_limit_exceeded"}}),
            "request failed: 429 rate limited: Slow down, please.",
        ),
        (Reply.status(500, {"detail": "model crashed"}), "request failed: 500 server error: model crashed"),
        (Reply.status(503, "<html><title>Down for maintenance</title><body>...</body></html>"),
         "request failed: 503 service unavailable: Down for maintenance"),
        (Reply.status(400, b"\xff\xfe broken bytes"), "request failed: 400 bad request: \ufffd\ufffd broken bytes"),
        (Reply.status(404, {"error": {"message": "no route"}}), "request failed: 404 not found at {url}: no route"),
        (Reply.status(502, ""), "request failed: 502 bad gateway"),
    ],
    ids=["429-json", "500-detail", "503-html", "400-bytes", "404-names-url", "502-empty"],
)
@pytest.mark.parametrize("mode", [[], ["--no-stream"]], ids=["stream", "whole"])
def test_failed_status_is_one_line_with_the_servers_message(cli_env, server, reply, expected, mode):
    server.add(reply)
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--retries", "0", *mode, "-m", "hi")
    assert proc.returncode == 1
    assert proc.stdout == ""
    assert proc.stderr == ERROR + expected.format(url=server.url) + "\n"


@pytest.mark.parametrize("mode", [[], ["--no-stream"]], ids=["stream", "whole"])
def test_tool_round_limit_is_said_in_words_after_the_calls_that_ran(cli_env, server, tmp_path, mode):
    module = write_module(tmp_path, "mathtools", TOOLS_MODULE)
    stream = not mode
    server.add(
        Reply.tool_calls([("c1", "add", {"a": 2, "b": 3})], stream=stream),
        Reply.tool_calls([("c2", "add", {"a": 5, "b": 5})], stream=stream),
    )
    proc = run_cli(
        cli_env, "chat", "--endpoint", server.url, *mode, "--tools", str(module), "--tool-rounds", "1", "-m", "go"
    )
    assert proc.returncode == 1
    assert proc.stdout == ""
    err = proc.stderr
    assert err.index("tool call  add(a=2, b=3)  [c1]") < err.index("tool result  add -> 5  [c1]")
    assert "[c2]" not in err  # asked for, never run
    assert error_lines(err) == [
        ERROR + "stopped: the model asked for tools again after the limit of 1 (1 tool round ran); "
        "raise it with --tool-rounds N"
    ]
    assert err.endswith("--tool-rounds N\n")
    assert "server is busy" not in err and "Error parsing" not in err
    assert len(server.requests) == 2  # the limit of 1 was used, not the default of 3


@pytest.mark.parametrize("mode", [[], ["--no-stream"]], ids=["stream", "whole"])
def test_tool_rounds_are_shown_as_they_run_when_the_follow_up_fails(cli_env, server, tmp_path, mode):
    module = write_module(
        tmp_path, "loud", "def add(a: int, b: int) -> int:\n    print('adding now')\n    return a + b\n"
    )
    server.add(
        Reply.tool_calls([("c1", "add", {"a": 2, "b": 3})], stream=not mode),
        Reply.status(500, {"error": {"message": "follow-up failed"}}),
    )
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--retries", "0", *mode, "--tools", str(module), "-m", "go")
    assert proc.returncode == 1 and proc.stdout == ""
    err = proc.stderr
    assert err.index("tool call  add(a=2, b=3)  [c1]") < err.index("adding now") < err.index("tool result  add -> 5  [c1]")
    assert err.count("tool call") == 1 and err.count("tool result") == 1
    assert err.endswith(ERROR + "request failed: 500 server error: follow-up failed\n")


def test_failed_turn_is_not_sent_back_as_an_answer_and_retry_asks_again(cli_env, server):
    server.add(
        Reply.status(500, {"error": {"message": "overloaded"}}),
        Reply.stream("Fine now"),
        Reply.status(503, "busy"),
        Reply.stream("Third"),
    )
    child = spawn_chat(cli_env, "--endpoint", server.url, "--retries", "0")
    child.sendline("hello")
    child.expect("request failed: 500 server error: overloaded")
    child.expect("you> ")
    child.sendline("/retry")
    child.expect("assistant: Fine now")
    child.expect("you> ")
    child.sendline("more")
    child.expect("request failed: 503 service unavailable: busy")
    child.expect("you> ")
    child.sendline("again")
    child.expect("assistant: Third")
    child.expect("you> ")
    child.sendline("/quit")
    child.wait()
    child.close()
    assert child.exitstatus == 0
    first, retried, failed, last = (r.json["messages"] for r in server.requests)
    assert first == retried == [{"role": "user", "content": "hello"}]
    assert failed == [*retried, {"role": "assistant", "content": "Fine now"}, {"role": "user", "content": "more"}]
    assert last == [*failed, {"role": "user", "content": "again"}]  # no fallback text between them


# ---------------------------------------------------------------------------
# Ctrl-C
# ---------------------------------------------------------------------------


@pytest.fixture
def held_reply():
    """A reply the server holds back (not even a status line) until the test lets it go."""
    release = threading.Event()

    def held(request):
        release.wait(30)
        return Reply.stream("too late")

    yield held
    release.set()


def test_one_ctrl_c_stops_a_turn_before_the_first_byte(cli_env, server, held_reply):
    server.add(held_reply, Reply.stream("ok"))
    child = spawn_chat(cli_env, "--endpoint", server.url)
    child.sendline("anyone there?")
    wait_for_requests(server, 1)
    time.sleep(0.2)
    child.sendintr()
    child.expect(r"\(stopped\)", timeout=10)
    child.expect("you> ")
    child.sendline("next")
    child.expect("assistant: ok")
    child.expect("you> ")
    child.sendline("/quit")
    child.wait()
    child.close()
    assert child.exitstatus == 0
    following = server.requests[1].json["messages"]
    assert following == [{"role": "user", "content": "anyone there?"}, {"role": "user", "content": "next"}]


def test_one_shot_ctrl_c_before_the_first_byte(cli_env, server, held_reply):
    server.add(held_reply)
    proc = subprocess.Popen(
        [sys.executable, "-m", "quorvel", "chat", "--endpoint", server.url, "-m", "hi"],
        env=cli_env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        wait_for_requests(server, 1)
        time.sleep(0.2)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    finally:
        proc.kill()
    assert proc.returncode == 130
    assert out == "" and err == "quorvel: interrupted\n"


def test_ctrl_d_at_the_prompt_leaves(cli_env, server):
    child = spawn_chat(cli_env, "--endpoint", server.url)
    time.sleep(1.0)  # readline must have the terminal in raw mode, or the end-of-file is lost
    child.sendeof()
    child.expect(pytest.importorskip("pexpect").EOF, timeout=20)
    child.close()
    assert child.exitstatus == 0


@pytest.mark.parametrize("stalls", ["before-status", "mid-stream"])
def test_timeout_is_one_line(cli_env, server, held_reply, stalls):
    from test_cli import stalled_stream

    server.add(held_reply if stalls == "before-status" else stalled_stream("w0 ", "w1"))
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--timeout", "0.5", "--retries", "0", "-m", "hi")
    assert proc.returncode == 1
    assert proc.stdout == ("" if stalls == "before-status" else "w0 \n")
    assert proc.stderr.startswith(f"{ERROR}request to {server.url} timed out"), proc.stderr
    assert proc.stderr.count("\n") == 1


# ---------------------------------------------------------------------------
# Endpoints
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("form", ["{base}", "{base}/", "{root}", "{url}"], ids=["v1", "v1-slash", "root", "full"])
def test_endpoint_takes_a_base_url(cli_env, server, form):
    server.add(Reply.stream("hi"))
    endpoint = form.format(base=server.base_url, root=server.base_url[: -len("/v1")], url=server.url)
    proc = run_cli(cli_env, "chat", "--endpoint", endpoint, "-m", "hi")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "hi\n"
    assert server.requests[0].path == "/v1/chat/completions"


# ---------------------------------------------------------------------------
# Saved conversations
# ---------------------------------------------------------------------------


def test_save_then_load_resumes_the_conversation(cli_env, server, tmp_path):
    server.add(Reply.stream("First answer"), Reply.stream("Resumed"), Reply.stream("From /load"))
    saved = tmp_path / "talk.json"
    child = spawn_chat(cli_env, "--endpoint", server.base_url, "--model", "m-7")
    child.sendline("hello")
    child.expect("assistant: First answer")
    child.expect("you> ")
    child.sendline(f"/save {saved}")
    child.expect("saved 2 messages")
    child.sendline("/quit")
    child.wait()
    child.close()

    document = json.loads(saved.read_text())
    assert document["model"] == "m-7" and document["endpoint"] == server.url
    assert document["saved_at"].endswith("+00:00")
    assert [(m["role"], m["contents"]) for m in document["messages"]] == [
        ("user", ["hello"]), ("assistant", ["First answer"])
    ]

    # The endpoint (on the section's server) and the model come from the file when not given.
    cli_env["QUORVEL_LLM_ENDPOINT"] = server.base_url.replace("/v1", "/elsewhere")
    proc = run_cli(cli_env, "chat", "--load", str(saved), "-m", "and now?")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Resumed\n"
    body = server.requests[1].json
    assert body["model"] == "m-7"
    assert body["messages"] == [
        {"role": "user", "content": "hello"},
        {"role": "assistant", "content": "First answer"},
        {"role": "user", "content": "and now?"},
    ]

    not_saved = tmp_path / "notes.txt"
    not_saved.write_text("just some notes\n")
    child = spawn_chat(cli_env, "--endpoint", server.url)
    child.sendline(f"/load {not_saved}")
    child.expect(f"cannot load {not_saved}: not a saved quorvel conversation")
    child.expect("you> ")
    child.sendline(f"/load {saved}")
    child.expect("loaded 2 messages")
    child.expect("you> ")
    child.sendline("once more")
    child.expect("assistant: From /load")
    child.sendline("/quit")
    child.wait()
    child.close()
    assert [m["content"] for m in server.requests[2].json["messages"]] == ["hello", "First answer", "once more"]


@pytest.mark.parametrize(
    ("content", "reason"),
    [
        (None, "no such file"),
        ("{not json", "not a saved quorvel conversation"),
        ('{"format": "something else", "messages": []}', "not a saved quorvel conversation"),
        ('{"messages": [{"role": "wizard", "contents": ["x"]}]}', "not a saved quorvel conversation"),
        ('[{"role": "user", "contents": []}]', "not a saved quorvel conversation (an entry has no content)"),
    ],
    ids=["missing", "not-json", "other-format", "bad-role", "empty-entry"],
)
def test_load_of_something_else_is_one_line(cli_env, server, tmp_path, content, reason):
    path = tmp_path / "conversation.json"
    if content is not None:
        path.write_text(content)
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--load", str(path), "-m", "hi")
    assert proc.returncode == 1 and proc.stdout == ""
    assert proc.stderr.startswith(f"{ERROR}cannot load {path}: {reason}") and proc.stderr.count("\n") == 1
    assert server.requests == []


# ---------------------------------------------------------------------------
# Configuration
# ---------------------------------------------------------------------------


@pytest.mark.skipif(os.name != "posix", reason="file modes are POSIX")
def test_permission_warning_is_one_plain_line(cli_env, server, tmp_path):
    config = tmp_path / "config.ini"
    config.write_text("[llm]\napi_key = sk-test\n")
    config.chmod(0o644)
    cli_env["QUORVEL_CONFIG"] = str(config)
    server.add(Reply.stream("ok"))
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "-m", "hi")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ok\n"
    warnings = [line for line in proc.stderr.splitlines() if line]
    assert len(warnings) == 1, proc.stderr
    assert warnings[0].startswith("quorvel: warning: Permissions 0644 for ") and "chmod 600" in warnings[0]


# ---------------------------------------------------------------------------
# The history a failed turn leaves, in process
# ---------------------------------------------------------------------------


def quiet_printer():
    import io

    from rich.console import Console

    from quorvel.cli.printing import Printer

    return Printer(Console(file=io.StringIO()), Console(file=io.StringIO()))


@pytest.mark.parametrize("stream", [True, False], ids=["stream", "whole"])
def test_no_fallback_text_stays_in_the_history_after_the_tool_round_limit(server, stream):
    from quorvel.cli import history
    from quorvel.cli.turn import run_turn
    from quorvel.modal import LLModal
    from quorvel.tools import Tools

    def add(a: int, b: int) -> int:
        return a + b

    server.add(
        Reply.stream("Earlier answer") if stream else Reply.text("Earlier answer"),
        *(Reply.tool_calls([(f"c{i}", "add", {"a": i, "b": 1})], stream=stream) for i in range(3)),
        Reply.stream("Now with tools") if stream else Reply.text("Now with tools"),
    )
    model = LLModal(endpoint_url=server.url, tools=Tools(add), tool_calls_limit=2,
                    extra_body={"stream": True} if stream else {})
    assert run_turn(model, "first", quiet_printer()) is None
    outcome = run_turn(model, "sum it", quiet_printer())
    assert outcome.startswith("stopped: the model asked for tools again after the limit of 2 (2 tool rounds ran)")
    texts = [content for message in model.messages for content in message.contents]
    assert not any(model._default in str(text) for text in texts)
    assert [str(m.role) for m in model.messages] == ["user", "assistant", "user", "assistant", "tool", "assistant", "tool"]

    history.prepare_retry(model)  # the question got no answer: asked again as it stands
    assert run_turn(model, "", quiet_printer()) is None
    sent = server.requests[-1].json["messages"]
    assert sent[-1] == {"role": "user", "content": "sum it"}
    assert [m.contents for m in model.messages[-2:]] == [["sum it"], ["Now with tools"]]
    assert model.messages[1].contents == ["Earlier answer"]  # not made a version of the earlier answer
