"""``quorvel batch`` in a child process against the loopback chat server."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quorvel.testing import ChatServer, Reply

import quorvel

PACKAGE_ROOT = str(Path(quorvel.__file__).resolve().parents[1])
SUPPORT = Path(__file__).parent / "support"


@pytest.fixture
def env(tmp_path):
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    env["QUORVEL_CONFIG"] = str(tmp_path / "absent.ini")
    env["PYTHONUNBUFFERED"] = "1"
    return env


def batch(env, *args, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "quorvel", "batch", *args],
        env=env, capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL,
    )


def write_requests(path, rows):
    path.write_text("".join(json.dumps(row) + "\n" for row in rows))
    return str(path)


def read_ids(path):
    return [json.loads(line)["custom_id"] for line in Path(path).read_text().splitlines()]


def echo_reply(server, delay=0.0):
    def reply(request):
        server.add(reply)
        prompt = request.json["messages"][-1]["content"]
        if request.json.get("stream"):
            return Reply.stream(["echo: ", prompt], delay=delay)
        return Reply.text(f"echo: {prompt}")

    return reply


def test_a_run_writes_every_row_and_says_so_on_standard_error(env, tmp_path):
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": f"q{i}", "prompt": f"p{i}"} for i in range(12)])
    out = tmp_path / "out.jsonl"
    with ChatServer() as server:
        server.add(*[echo_reply(server)] * 8)
        done = batch(env, requests, "-o", str(out), "--endpoint", server.base_url, "--model", "m",
                     "--workers", "3", "--stream", "--param", "temperature=0")
        assert {r.json["model"] for r in server.requests} == {"m"}
        assert all(r.json["stream"] is True and r.json["temperature"] == 0 for r in server.requests)
        again = batch(env, requests, "-o", str(out), "--endpoint", server.base_url)
        assert len(server.requests) == 12
    assert done.returncode == 0, done.stderr
    assert done.stdout == ""
    assert "12 rows answered, 0 failed, 0 skipped" in done.stderr
    assert sorted(read_ids(out)) == sorted(f"q{i}" for i in range(12))
    assert again.returncode == 0 and "0 rows answered, 0 failed, 12 skipped" in again.stderr


def test_tools_from_a_module_and_the_tool_round_limit(env, tmp_path):
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": "t", "prompt": "2 + 3?"}])
    out = tmp_path / "out.jsonl"
    with ChatServer() as server:
        server.add(Reply.tool_calls([("c1", "add", {"a": 2, "b": 3})]), Reply.text("5"))
        done = batch(env, requests, "-o", str(out), "--endpoint", server.url,
                     "--tools", str(SUPPORT / "batch_tools.py"), "--tool-rounds", "1")
    assert done.returncode == 0, done.stderr
    (line,) = [json.loads(text) for text in out.read_text().splitlines()]
    assert line["quorvel"]["tool_results"] == {"c1": {"name": "add", "content": "5"}}


def test_failed_rows_end_with_status_1_and_the_way_to_retry_them(env, tmp_path):
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": "a", "prompt": "x"}])
    out = tmp_path / "out.jsonl"
    with ChatServer() as server:
        server.add(Reply.status(400, {"error": {"message": "bad model"}}))
        failed = batch(env, requests, "-o", str(out), "--endpoint", server.url, "--retries", "0")
        server.add(Reply.text("ok"))
        retried = batch(env, requests, "-o", str(out), "--endpoint", server.url, "--retry-failed")
    assert failed.returncode == 1
    assert "quorvel: error: 1 rows failed; their lines hold the error (--retry-failed runs them again)" in failed.stderr
    assert "LLM request error" not in failed.stderr + failed.stdout
    assert retried.returncode == 0, retried.stderr
    assert [json.loads(t)["error"] for t in out.read_text().splitlines()] == [None]


@pytest.mark.parametrize(
    "args, message",
    [
        (["--workers", "0"], "--workers: expected a whole number, 1 or more"),
        (["--rpm", "-5"], "--rpm: expected a positive number"),
    ],
)
def test_bad_options_are_refused(env, tmp_path, args, message):
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": "a", "prompt": "x"}])
    done = batch(env, requests, "-o", str(tmp_path / "out.jsonl"), "--endpoint", "http://127.0.0.1:9", *args)
    assert done.returncode != 0 and message in done.stderr


def test_bad_input_is_one_line_with_the_line_number(env, tmp_path):
    requests = tmp_path / "in.jsonl"
    requests.write_text('{"custom_id": "a", "prompt": "x"}\n{"custom_id": "a", "prompt": "y"}\n')
    done = batch(env, str(requests), "-o", str(tmp_path / "out.jsonl"), "--endpoint", "http://127.0.0.1:9")
    assert done.returncode == 1
    assert done.stderr.strip() == f"quorvel: error: {requests}: custom_id must be unique; repeated: 'a' on lines 1, 2"
    missing = batch(env, str(tmp_path / "nope.jsonl"), "-o", str(tmp_path / "out.jsonl"), "--endpoint", "http://127.0.0.1:9")
    assert missing.returncode == 1 and "file not found" in missing.stderr


def test_ctrl_c_stops_with_whole_lines_and_the_same_command_goes_on(env, tmp_path):
    rows = 40
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": f"q{i}", "prompt": f"p{i}"} for i in range(rows)])
    out = tmp_path / "out.jsonl"
    with ChatServer() as server:
        # Slow enough that a loaded machine still sends the interrupt while
        # rows are in flight (the server answers one at a time: 4 s for the whole run).
        server.add(*[echo_reply(server, delay=0.1)] * 8)
        command = [sys.executable, "-m", "quorvel", "batch", requests, "-o", str(out), "--endpoint", server.url,
                   "--workers", "4", "--stream"]
        proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and (not out.exists() or out.read_text().count("\n") < 4):
            time.sleep(0.02)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=30)
        assert proc.returncode == 130, err
        assert "interrupted" in err and "run the same command again" in err
        stopped = out.read_text()
        assert stopped.endswith("\n")
        first = read_ids(out)  # every line whole
        assert 4 <= len(first) < rows and len(set(first)) == len(first)

        done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    ids = read_ids(out)
    assert sorted(ids) == sorted(f"q{i}" for i in range(rows))


def test_the_progress_bar_on_a_terminal(env, tmp_path):
    pexpect = pytest.importorskip("pexpect")
    requests = write_requests(tmp_path / "in.jsonl", [{"custom_id": f"q{i}", "prompt": f"p{i}"} for i in range(5)])
    with ChatServer() as server:
        server.add(*[echo_reply(server)] * 4)
        child = pexpect.spawn(
            sys.executable, ["-m", "quorvel", "batch", requests, "-o", str(tmp_path / "out.jsonl"),
                             "--endpoint", server.url],
            env={**env, "COLUMNS": "120", "TERM": "xterm"}, encoding="utf-8", timeout=30, dimensions=(24, 120),
        )
        child.expect(pexpect.EOF)
        child.close()
    shown = child.before
    assert child.exitstatus == 0, shown
    assert "5/5" in shown and "0 failed" in shown and "rows/s" in shown
