"""Token usage in the chat command: the line after each answer, /usage, and
the totals a saved conversation keeps."""

from __future__ import annotations

import json

import pytest

from quorvel.testing import Reply, usage_object

from test_cli import cli_env, run_cli, server, spawn_chat  # noqa: F401  (fixtures)


@pytest.mark.parametrize("mode", [[], ["--no-stream"]], ids=["stream", "whole"])
def test_one_shot_usage_line_goes_to_stderr(cli_env, server, mode):
    figures = usage_object(1200, 85, cached_tokens=1024, reasoning_tokens=40)
    server.add(Reply.text("Paris", usage=figures) if mode else Reply.stream(["Par", "is"], usage=figures))
    env = dict(cli_env, QUORVEL_LLM_STREAM_USAGE="1")
    proc = run_cli(env, "chat", "--endpoint", server.url, "--usage", *mode, "-m", "capital of France?")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Paris\n"
    assert proc.stderr == "tokens: 1,200 in, 85 out, 1,024 cached, 40 reasoning\n"


def test_without_the_flag_no_line_and_unreported_figures_are_said_so(cli_env, server):
    server.add(Reply.text("a"), Reply.text("b", usage={"prompt_tokens": 9}))
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--no-stream", "-m", "q")
    assert proc.returncode == 0 and proc.stderr == ""
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--no-stream", "--usage", "-m", "q")
    assert proc.stderr == "tokens: 9 in, - out, - cached, - reasoning\n"


def test_interactive_usage_totals_are_saved_and_loaded(cli_env, server, tmp_path):
    server.add(Reply.text("one", usage=usage_object(10, 2)), Reply.text("two", usage=usage_object(30, 4)),
               Reply.text("three", usage=usage_object(50, 6)))
    saved = tmp_path / "talk.json"
    child = spawn_chat(cli_env, "--endpoint", server.url, "--no-stream", "--usage")
    child.sendline("first")
    child.expect("tokens: 10 in, 2 out, - cached, - reasoning")
    child.expect("you> ")
    child.sendline("second")
    child.expect("tokens: 30 in, 4 out")
    child.expect("you> ")
    child.sendline("/usage")
    child.expect(r"tokens: 40 in, 6 out, - cached, - reasoning \(2 turns, 2 answers, 2 requests\)")
    child.expect("you> ")
    child.sendline(f"/save {saved}")
    child.expect("saved 4 messages")
    child.sendline("/quit")
    child.wait()
    child.close()
    document = json.loads(saved.read_text())
    assert document["usage"] == {"input_tokens": 40, "output_tokens": 6, "total_tokens": 46,
                                 "cached_input_tokens": None, "reasoning_tokens": None,
                                 "requests": 2, "exchanges": 2, "turns": 2}

    # The totals go on from the file.
    child = spawn_chat(cli_env, "--endpoint", server.url, "--load", str(saved), "--no-stream")
    child.sendline("third")
    child.expect("assistant: three")
    child.expect("you> ")
    child.sendline("/usage")
    child.expect(r"tokens: 90 in, 12 out, - cached, - reasoning \(3 turns, 3 answers, 3 requests\)")
    child.sendline("/quit")
    child.wait()
    child.close()
