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


@pytest.mark.parametrize(
    "args, config, requests_made, ok",
    [
        ([], None, 3, True),                    # two retries by default
        (["--retries", "0"], None, 1, False),
        (["--retries", "1"], None, 2, False),
        ([], "0", 1, False),                    # a configured max_retries is kept
    ],
)
def test_retries(cli_env, server, args, config, requests_made, ok):
    if config is not None:
        cli_env["QUORVEL_LLM_MAX_RETRIES"] = config
    busy = Reply.status(429, {"error": {"message": "rate limited", "code": "rate_limit"}}, headers={"Retry-After": "0"})
    server.add(busy, busy, Reply.text("finally"))
    proc = chat(cli_env, server.url, *args)
    assert len(server.requests) == requests_made
    if ok:
        assert proc.returncode == 0 and "finally" in proc.stdout and proc.stderr == ""
    else:
        assert proc.returncode == 1 and proc.stderr.count("\n") == 1 and "429" in proc.stderr, proc.stderr


@pytest.mark.parametrize("args", [["--timeout", "0"], ["--timeout", "soon"], ["--retries", "-1"], ["--retries", "1.5"]])
def test_invalid_values_are_usage_errors(cli_env, server, args):
    proc = chat(cli_env, server.url, *args)
    assert proc.returncode == 2 and args[0] in proc.stderr and server.requests == []
