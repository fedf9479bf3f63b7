"""`quorvel chat --timeout SECONDS --retries N`, run as a person runs it."""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

import quorvel
from quorvel.testing import ChatServer, Reply

PACKAGE_ROOT = str(Path(quorvel.__file__).resolve().parents[1])


@pytest.fixture
def cli_env(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    env["QUORVEL_CONFIG"] = str(tmp_path / "absent.ini")
    return env


@pytest.fixture
def server():
    with ChatServer() as srv:
        yield srv


def chat(env, url, *args):
    return subprocess.run(
        [sys.executable, "-m", "quorvel", "chat", "--endpoint", url, "--no-stream", *args, "-m", "hi"],
        env=env, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL,
    )


def test_timeout_ends_the_turn_with_one_line(cli_env):
    with socket.socket() as silent:  # accepts (the kernel does), never answers
        silent.bind(("127.0.0.1", 0))
        silent.listen(8)
        url = f"http://127.0.0.1:{silent.getsockname()[1]}/v1/chat/completions"
        start = time.monotonic()
        proc = chat(cli_env, url, "--timeout", "0.5", "--retries", "0")
        elapsed = time.monotonic() - start
    assert proc.returncode == 1 and "Traceback" not in proc.stderr
    assert proc.stderr.count("\n") == 1 and proc.stderr.startswith("quorvel: error: "), proc.stderr
    assert elapsed < 0.5 + 10  # the interpreter's start-up included, on a loaded machine


RETRY_LINE = "429 rate limited; retrying in 0.0 s (try {} of {})\n"
FAILED_LINE = "quorvel: error: request failed: 429 rate limited: rate limited"


@pytest.mark.parametrize(
    "args, config, requests_made, stderr",
    [
        # two retries by default, each said as it happens
        ([], None, 3, RETRY_LINE.format(2, 3) + RETRY_LINE.format(3, 3)),
        (["--retries", "0"], None, 1, FAILED_LINE + "\n"),
        (["--retries", "1"], None, 2, RETRY_LINE.format(2, 2) + FAILED_LINE + " (after 2 tries)\n"),
        ([], "0", 1, FAILED_LINE + "\n"),  # a configured max_retries is kept
    ],
    ids=["default", "none", "one", "configured"],
)
def test_retries(cli_env, server, args, config, requests_made, stderr):
    if config is not None:
        cli_env["QUORVEL_LLM_MAX_RETRIES"] = config
    busy = Reply.status(429, {"error": {"message": "rate limited", "code": "rate_limit"}}, headers={"Retry-After": "0"})
    server.add(busy, busy, Reply.text("finally"))
    proc = chat(cli_env, server.url, *args)
    assert len(server.requests) == requests_made
    assert proc.stderr == stderr
    assert (proc.returncode, proc.stdout) == ((0, "finally\n") if requests_made == 3 else (1, ""))


def test_a_retry_is_shown_before_its_wait(cli_env, server):
    server.add(Reply.status(503, "busy", headers={"Retry-After": "2"}), Reply.text("finally"))
    child = subprocess.Popen(
        [sys.executable, "-m", "quorvel", "chat", "--endpoint", server.url, "--no-stream", "-m", "hi"],
        env=cli_env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, stdin=subprocess.DEVNULL,
    )
    try:
        line = child.stderr.readline()
        sent_by_then = len(server.requests)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
    assert line == "503 service unavailable; retrying in 2.0 s (try 2 of 3)\n"
    assert sent_by_then == 1
    assert (child.returncode, out, err) == (0, "finally\n", "")


def test_retry_lines_are_dim_and_the_failure_counts_the_tries(server, monkeypatch):
    import io

    from rich.console import Console

    from quorvel.cli.printing import Printer
    from quorvel.cli.turn import run_turn
    from quorvel.modal import LLModal

    monkeypatch.setenv("QUORVEL_CONFIG", "/nonexistent/quorvel.ini")
    monkeypatch.setenv("QUORVEL_LLM_MAX_RETRIES", "2")
    busy = Reply.status(500, {"error": {"message": "down"}}, headers={"Retry-After": "0"})
    server.add(busy, busy, busy)
    out, err = io.StringIO(), io.StringIO()
    printer = Printer(Console(file=out), Console(file=err, force_terminal=True, color_system="standard"))
    outcome = run_turn(LLModal(endpoint_url=server.url), "hi", printer)
    assert outcome == "request failed: 500 server error: down (after 3 tries)"
    assert err.getvalue() == (
        "\x1b[2m500 server error; retrying in 0.0 s (try 2 of 3)\x1b[0m\n"
        "\x1b[2m500 server error; retrying in 0.0 s (try 3 of 3)\x1b[0m\n"
    )
    assert out.getvalue() == ""


@pytest.mark.parametrize("args", [["--timeout", "0"], ["--timeout", "soon"], ["--retries", "-1"], ["--retries", "1.5"]])
def test_invalid_values_are_usage_errors(cli_env, server, args):
    proc = chat(cli_env, server.url, *args)
    assert proc.returncode == 2 and args[0] in proc.stderr and server.requests == []
