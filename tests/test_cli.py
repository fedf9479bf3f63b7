"""Tests for the ``quorvel`` command line: demo, chat (one-shot and interactive), mcp serve."""

from __future__ import annotations

import argparse
import base64
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import textwrap
import time
import types
from pathlib import Path

import pytest

from quorvel.cli import main, parse_param, public_functions
from quorvel.testing import ChatServer, Reply, sse_body, text_chunk

import quorvel

# Children import the same quorvel as these tests: the installed package, or
# the source tree with modules built in place.
PACKAGE_ROOT = str(Path(quorvel.__file__).resolve().parents[1])
ANSI = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")


@pytest.fixture
def cli_env(tmp_path, monkeypatch):
    """Environment for a child `quorvel`: the package under test, no user configuration."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVEL_")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, os.environ.get("PYTHONPATH")]))
    env["QUORVEL_CONFIG"] = str(tmp_path / "absent.ini")
    env["PYTHONUNBUFFERED"] = "1"
    return env


@pytest.fixture
def server():
    with ChatServer() as srv:
        yield srv


def run_cli(env, *args, input=None, timeout=60):
    return subprocess.run(
        [sys.executable, "-m", "quorvel", *args],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        input=input,
        stdin=None if input is not None else subprocess.DEVNULL,
    )


def write_module(tmp_path, name, source):
    path = tmp_path / f"{name}.py"
    path.write_text(textwrap.dedent(source))
    return path


TOOLS_MODULE = """
    from os.path import join  # imported: not a tool

    def multiply(a: int, b: int) -> dict:
        \"\"\"Multiply two integers.\"\"\"
        return {"product": a * b}

    def add(a: int, b: int) -> int:
        \"\"\"Add two integers.\"\"\"
        return a + b

    async def letters(word: str) -> list:
        return list(word)

    def greet(name: str) -> str:
        \"\"\"Say hello.\"\"\"
        return f"Hello, {name}!"

    def _helper():
        return None

    class Thing:
        pass
"""


# ---------------------------------------------------------------------------
# quorvel demo
# ---------------------------------------------------------------------------


def test_demo_prints_tool_records_and_final_answer(cli_env):
    proc = run_cli(cli_env, "demo", "--delay", "0")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    call = out.index('tool call  get_weather(city="Paris", unit="celsius")')
    result = out.index('tool result  get_weather -> {"city": "Paris", "temperature": 14')
    answer = out.index("assistant: It's 14°C in Paris with light rain (humidity 80%). Yes, take an umbrella.")
    assert out.index("thinking: The user wants") < call < result < answer
    assert "history: system, user, assistant (tool calls), tool, assistant" in out
    assert "Traceback" not in proc.stderr


# ---------------------------------------------------------------------------
# quorvel chat -m
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("section_args", "env_var", "authorization"),
    [
        ([], "QUORVEL_LLM_API_KEY", "Bearer sk-default"),
        (["--section", "work"], "QUORVEL_WORK_API_KEY", "Bearer sk-default"),
        (["--section", "work"], "QUORVEL_LLM_API_KEY", None),  # key of another section
    ],
)
def test_one_shot_prints_answer_and_sends_configured_key(cli_env, server, section_args, env_var, authorization):
    cli_env[env_var] = "sk-default"
    server.add(Reply.stream(["Hel", "lo ", "world"], reasoning=["let me think"]))
    proc = run_cli(
        cli_env, "chat", "--endpoint", server.url, *section_args, "--system", "Be brief.", "--model", "m1",
        "--param", "temperature=0.2", "--param", "stop=END", "--param", 'logit_bias={"1": -5}', "-m", "hi",
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "Hello world\n"  # reasoning stays off stdout
    assert "let me think" in proc.stderr
    (request,) = server.requests
    assert request.headers.get("Authorization") == authorization
    body = request.json
    assert body["messages"] == [{"role": "system", "content": "Be brief."}, {"role": "user", "content": "hi"}]
    assert (body["model"], body["stream"], body["temperature"], body["stop"]) == ("m1", True, 0.2, "END")
    assert body["logit_bias"] == {"1": -5}


def test_one_shot_whole_answer_with_image(cli_env, server, tmp_path):
    image = tmp_path / "dot.png"
    image.write_bytes(b"\x89PNG fake image bytes")
    server.add(Reply.text("A dot.", reasoning="looking"))
    proc = run_cli(
        cli_env, "chat", "--endpoint", server.url, "--no-stream", "--image", str(image), "-m", "-", input="What is it?"
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "A dot.\n"
    body = server.requests[0].json
    assert "stream" not in body
    encoded = base64.b64encode(image.read_bytes()).decode()
    assert body["messages"] == [
        {
            "role": "user",
            "content": [
                {"type": "image_url", "image_url": f"data:image;base64,{encoded}"},
                {"type": "text", "text": "What is it?"},
            ],
        }
    ]


@pytest.mark.parametrize(
    ("name", "arguments", "shown_call", "result"),
    [
        ("multiply", {"a": 6, "b": 7}, "multiply(a=6, b=7)", {"product": 42}),
        ("add", {"a": 2, "b": 3}, "add(a=2, b=3)", 5),  # a bare number stays as its text
        ("letters", {"word": "ab"}, 'letters(word="ab")', ["a", "b"]),  # async, a list
        ("greet", {"name": "Ada"}, 'greet(name="Ada")', "Hello, Ada!"),
    ],
)
def test_one_shot_runs_tools_from_a_module(cli_env, server, tmp_path, name, arguments, shown_call, result):
    module = write_module(tmp_path, "mathtools", TOOLS_MODULE)

    def answer(request):
        tool = [m for m in request.json["messages"] if m["role"] == "tool"]
        return Reply.stream(["Tool said: ", tool[0]["content"]])

    server.add(Reply.tool_calls([("c1", name, arguments)], stream=True, fragment=5), answer)
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--tools", str(module), "-m", "go")
    assert proc.returncode == 0, proc.stderr
    text = result if isinstance(result, str) else json.dumps(result)
    assert proc.stdout == f"Tool said: {text}\n"
    assert f"tool call  {shown_call}  [c1]" in proc.stderr
    assert f"tool result  {name} -> {text}  [c1]" in proc.stderr
    offered = [tool["function"]["name"] for tool in server.requests[0].json["tools"]]
    assert offered == ["multiply", "add", "letters", "greet"]


def test_one_shot_whole_answers_with_tools(cli_env, server, tmp_path):
    module = write_module(tmp_path, "mathtools", TOOLS_MODULE)
    server.add(
        Reply.tool_calls([("c1", "multiply", {"a": 6, "b": 7})], reasoning="need a tool"),
        Reply.text("It is 42.", reasoning="got it"),
    )
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "--no-stream", "--tools", str(module), "-m", "6*7?")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "It is 42.\n"
    err = proc.stderr
    call = err.index("tool call  multiply(a=6, b=7)  [c1]")
    assert call < err.index('tool result  multiply -> {"product": 42}  [c1]') < err.index("thinking: got it")


# ---------------------------------------------------------------------------
# Bad input: one line on stderr, exit status 1, no traceback
# ---------------------------------------------------------------------------


def closed_port_url():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        port = sock.getsockname()[1]
    return f"http://127.0.0.1:{port}/v1/chat/completions"


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["chat", "-m", "hi"], "no endpoint given: pass --endpoint URL or set QUORVEL_LLM_ENDPOINT"),
        (["chat", "--endpoint", "localhost:8000", "-m", "hi"], "invalid endpoint 'localhost:8000'"),
        (["chat", "--endpoint", "{closed}", "--retries", "0", "-m", "hi"], "cannot connect to {closed}: Connection refused"),
        (["chat", "--endpoint", "{url}", "--image", "{tmp}/missing.png", "-m", "hi"], "image file not found: "),
        (["chat", "--endpoint", "{url}", "--tools", "quorvel_no_such_module", "-m", "hi"],
         "cannot import module 'quorvel_no_such_module': ModuleNotFoundError"),
        (["chat", "--endpoint", "{url}", "--tools", "{tmp}/broken.py", "-m", "hi"],
         "cannot import {tmp}/broken.py: RuntimeError: no import for you"),
        (["chat", "--endpoint", "{url}", "--tools", "{tmp}/absent.py", "-m", "hi"], "cannot import {tmp}/absent.py: no such file"),
        (["mcp", "serve", "quorvel_no_such_module"], "cannot import module 'quorvel_no_such_module'"),
        (["mcp", "serve", "{tmp}/broken.py"], "RuntimeError: no import for you"),
        (["mcp", "serve", "{tmp}/empty.py"], "has no public functions"),
    ],
    ids=["no-endpoint", "bad-url", "refused", "no-image", "no-module", "broken-module", "no-file",
         "mcp-no-module", "mcp-broken", "mcp-empty"],
)
def test_bad_input_is_one_line_and_exit_1(cli_env, server, tmp_path, args, message):
    write_module(tmp_path, "broken", "raise RuntimeError('no import for you')\n")
    write_module(tmp_path, "empty", "import os\nVALUE = 1\n")
    fill = {"url": server.url, "closed": closed_port_url(), "tmp": str(tmp_path)}
    args = [arg.format(**fill) for arg in args]
    proc = run_cli(cli_env, *args)
    assert proc.returncode == 1
    assert "Traceback" not in proc.stderr
    assert proc.stderr.endswith("\n") and proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith("quorvel: error: ")
    assert message.format(**fill) in proc.stderr
    if "{closed}" in message:  # the library's own report does not reach stdout
        assert proc.stdout == ""
    else:
        assert server.requests == []  # nothing was sent


@pytest.mark.parametrize(
    ("reply", "message"),
    [
        (Reply.status(401, "invalid key"), "quorvel: error: request failed: 401 unauthorized (check the API key): invalid key\n"),
        (Reply.raw_lines([b"data: not json"]), "request failed: JSONDecodeError"),
    ],
)
def test_failed_answer_is_one_line_and_exit_1(cli_env, server, reply, message):
    server.add(reply)
    proc = run_cli(cli_env, "chat", "--endpoint", server.url, "-m", "hi")
    assert proc.returncode == 1
    assert proc.stderr.count("\n") == 1 and message in proc.stderr, proc.stderr


def test_usage_errors_and_help(capsys):
    assert main(["chat", "--param", "novalue"]) == 2
    assert "expected KEY=VALUE" in capsys.readouterr().err
    for command in ([], ["demo"], ["chat"], ["mcp"], ["mcp", "serve"]):
        assert main([*command, "--help"]) == 0
        assert capsys.readouterr().out.startswith(f"usage: quorvel {' '.join(command)}".rstrip())


# ---------------------------------------------------------------------------
# Helpers
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("temperature=0.2", ("temperature", 0.2)),
        ("max_tokens=64", ("max_tokens", 64)),
        ("flag=true", ("flag", True)),
        ('stop=["a", "b"]', ("stop", ["a", "b"])),
        ("name=bob", ("name", "bob")),
        ("expr=a=b", ("expr", "a=b")),
        ("empty=", ("empty", "")),
        (" key =null", ("key", None)),
    ],
)
def test_parse_param(text, expected):
    assert parse_param(text) == expected


@pytest.mark.parametrize("text", ["novalue", "=3", " =x"])
def test_parse_param_rejects(text):
    with pytest.raises(argparse.ArgumentTypeError):
        parse_param(text)


def test_public_functions_selection():
    module = types.ModuleType("mod")
    exec(textwrap.dedent(TOOLS_MODULE), module.__dict__)
    assert [name for name, _ in public_functions(module)] == ["multiply", "add", "letters", "greet"]
    module.__all__ = ["join", "greet", "Thing", "missing"]  # __all__ decides, classes never count
    assert [name for name, _ in public_functions(module)] == ["join", "greet"]


# ---------------------------------------------------------------------------
# Interactive chat through a pseudo-terminal
# ---------------------------------------------------------------------------


def spawn_chat(cli_env, *args):
    pexpect = pytest.importorskip("pexpect")
    env = dict(cli_env, TERM="dumb", NO_COLOR="1")
    child = pexpect.spawn(
        sys.executable, ["-m", "quorvel", "chat", *args], env=env, encoding="utf-8", timeout=20, dimensions=(40, 200)
    )
    child.expect("you> ")
    return child


def test_interactive_retry_image_and_save(cli_env, server, tmp_path):
    server.add(Reply.stream(["First ", "answer"]), Reply.stream(["Second ", "answer"]), Reply.stream("Third"))
    child = spawn_chat(cli_env, "--endpoint", server.url)
    child.sendline("hello")
    child.expect("assistant: First answer")
    child.expect("you> ")
    child.sendline("/retry")
    child.expect("assistant: Second answer")
    child.expect("you> ")
    child.sendline(f"/image {tmp_path}/missing.png")
    child.expect("quorvel: error: image file not found")
    child.expect("you> ")
    child.sendline("more")
    child.expect("assistant: Third")
    child.expect("you> ")
    history = tmp_path / "history.json"
    child.sendline(f"/save {history}")
    child.expect("saved 4 messages")
    child.sendline("/quit")
    child.expect(r"\Z|$")
    child.wait()
    child.close()
    assert child.exitstatus == 0

    first, retried, third = (r.json["messages"] for r in server.requests)
    assert first == retried == [{"role": "user", "content": "hello"}]  # the old answer is not sent again
    assert third == [
        {"role": "user", "content": "hello"},
        {"role": "assistant", "content": "Second answer"},
        {"role": "user", "content": "more"},
    ]
    saved = json.loads(history.read_text())["messages"]
    assert [(m["role"], m["contents"]) for m in saved] == [
        ("user", ["hello"]),
        ("assistant", ["First answer", "Second answer"]),
        ("user", ["more"]),
        ("assistant", ["Third"]),
    ]


def stalled_stream(*pieces):
    """The first piece at once, then a pause longer than any test waits."""
    return Reply.raw_lines(sse_body([text_chunk(piece) for piece in pieces]).split(b"\n")[:-1], delay=60)


@pytest.mark.parametrize(
    ("reply", "presses"),
    [
        (Reply.stream([f"w{i} " for i in range(40)], delay=0.15), 1),  # stops at the next line
        (stalled_stream("w0 w1 w2 ", "w39"), 2),  # no next line: the second Ctrl-C cuts at once
    ],
    ids=["streaming", "stalled"],
)
def test_interactive_ctrl_c_stops_the_stream_and_keeps_the_conversation(cli_env, server, reply, presses):
    server.add(reply, Reply.stream("ok"))
    child = spawn_chat(cli_env, "--endpoint", server.url)
    child.sendline("count")
    child.expect("w2 ")
    for _ in range(presses):
        time.sleep(0.3)
        child.sendintr()
    child.expect(r"\(stopped\)", timeout=10)
    shown = ANSI.sub("", child.before)
    child.expect("you> ")
    child.sendline("next")
    child.expect("assistant: ok")
    child.expect("you> ")
    # A line, not Ctrl-D: an end-of-file sent before readline has switched the
    # terminal to raw mode can be lost with the mode switch, and wait() would hang.
    child.sendline("/quit")
    child.wait()
    child.close()
    assert child.exitstatus == 0
    assert "w39" not in shown

    server.wait_idle()
    stopped, following = server.requests
    assert not stopped.completed
    partial = following.json["messages"][1]
    assert partial["role"] == "assistant" and partial["content"].startswith("w0 w1 w2 ")
    assert "w39" not in partial["content"]
    assert following.json["messages"][2] == {"role": "user", "content": "next"}


# ---------------------------------------------------------------------------
# quorvel mcp serve
# ---------------------------------------------------------------------------


async def test_mcp_serve_over_stdio(cli_env, tmp_path):
    from fastmcp import Client
    from fastmcp.client.transports import StdioTransport

    module = write_module(
        tmp_path,
        "servedtools",
        TOOLS_MODULE + "    print('import-time chatter must not reach the protocol channel')\n",
    )
    transport = StdioTransport(
        command=sys.executable, args=["-m", "quorvel", "mcp", "serve", str(module)], env=cli_env, cwd=str(tmp_path), log_file=tmp_path / "err.log"
    )
    async with Client(transport) as client:
        tools = {tool.name: tool for tool in await client.list_tools()}
        assert sorted(tools) == ["add", "greet", "letters", "multiply"]
        assert tools["multiply"].description == "Multiply two integers."
        product = await client.call_tool("multiply", {"a": 6, "b": 7})
        assert product.structured_content == {"product": 42}
        assert (await client.call_tool("add", {"a": 2, "b": 3})).data == 5
        assert (await client.call_tool("letters", {"word": "ab"})).data == ["a", "b"]
        greeting = await client.call_tool("greet", {"name": "Ada"})
        assert greeting.content[0].text == "Hello, Ada!"


CYTHON_MODULE = '''\
# cython: binding=True
def scale(x: float, factor: int = 2) -> dict:
    """Scale x by factor."""
    return {"scaled": x * factor}

async def shout(text: str) -> str:
    return text.upper()

def _hidden() -> int:
    return 0
'''


async def test_mcp_serve_compiled_module_by_name(cli_env, tmp_path):
    if shutil.which("cc") is None:
        pytest.skip("no C compiler")
    pytest.importorskip("Cython")
    from fastmcp import Client
    from fastmcp.client.transports import StdioTransport

    (tmp_path / "qv_cymcp.pyx").write_text(CYTHON_MODULE)
    subprocess.run(
        [sys.executable, "-m", "Cython.Build.Cythonize", "-i", "-3", "-q", "qv_cymcp.pyx"],
        cwd=tmp_path, check=True, capture_output=True,
    )
    (tmp_path / "qv_cymcp.pyx").unlink()  # only the extension module is left to import
    transport = StdioTransport(
        command=sys.executable, args=["-m", "quorvel", "mcp", "serve", "qv_cymcp"], env=cli_env, cwd=str(tmp_path)
    )
    async with Client(transport) as client:
        tools = {tool.name: tool for tool in await client.list_tools()}
        assert sorted(tools) == ["scale", "shout"]
        assert tools["scale"].description == "Scale x by factor."
        scaled = await client.call_tool("scale", {"x": 1.5, "factor": 3})
        assert scaled.structured_content == {"scaled": 4.5}
        assert (await client.call_tool("shout", {"text": "hi"})).content[0].text == "HI"
