"""Tool batches at their edges: calls that name no tool, and tools that never
return while the interpreter exits."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

from exchange_support import history, isolated_config, server, tools  # noqa: F401
from quorvel.modal import LLModal, LLMStatus, ToolContent
from quorvel.testing import Reply, completion_chunk, finish_chunk, role_chunk, tool_call_chunk

REFUSED = "Error: unknown tool ''"


def nameless_whole(function):
    call = {"id": "c1", "type": "function"}
    if function is not None:
        call["function"] = function
    named = {"id": "c2", "type": "function", "function": {"name": "add", "arguments": '{"a": 1, "b": 2}'}}
    message = {"role": "assistant", "content": None, "tool_calls": [call, named]}
    return Reply.json({"choices": [{"index": 0, "message": message, "finish_reason": "tool_calls"}]})


def nameless_streamed(_function):
    # The fragments of call 0 never name it; call 1 is named.
    opening = completion_chunk({"tool_calls": [{"index": 0, "id": "c1", "type": "function",
                                                 "function": {"arguments": ""}}]})
    chunks = [role_chunk(), opening, tool_call_chunk(0, arguments='{"x": 1}'),
              tool_call_chunk(1, "c2", "add", '{"a": 1, "b": 2}'), finish_chunk("tool_calls")]
    return Reply.raw_lines([line for chunk in chunks for line in (f"data: {json.dumps(chunk)}", "")])


@pytest.mark.parametrize(
    "stream, function",
    [
        (False, {"arguments": "{}"}),  # no name
        (False, {"name": None, "arguments": "{}"}),
        (False, None),  # no function at all
        (True, None),
    ],
)
def test_call_without_a_name_is_refused_by_the_registry(server, tools, stream, function):
    server.add((nameless_streamed if stream else nameless_whole)(function),
               Reply.stream(["done"]) if stream else Reply.text("done"))
    model = LLModal(endpoint_url=server.url, tools=tools, extra_body={"stream": stream})
    outcome = model.invoke("go")
    records = list(outcome) if stream else [outcome]

    results = {r: c for record in records for r, c in record.tool_results.items()}
    assert results == {"c1": ToolContent(name="", content=REFUSED), "c2": ToolContent(name="add", content="3")}
    assert records[-1].content == "done" and records[-1].status in (LLMStatus.idle, LLMStatus.answer)
    # The conversation stays pairable: every call of the follow-up request
    # has its result.
    sent = server.requests[1].json["messages"]
    call_ids = [call["id"] for call in sent[1]["tool_calls"]]
    assert call_ids == ["c1", "c2"] and sent[1]["tool_calls"][0]["function"]["name"] == ""
    assert [(m["role"], m.get("tool_call_id"), m["content"]) for m in sent[2:]] == [
        ("tool", "c1", REFUSED), ("tool", "c2", "3")]
    assert history(model)[-1] == ("assistant", "done")


EXIT_WITH_A_STUCK_BATCH = textwrap.dedent(
    """
    import asyncio, sys, threading
    from quorvel.modal import LLModal
    from quorvel.testing import ChatServer, Reply
    from quorvel.tools import Tools

    started = threading.Semaphore(0)

    def stuck(n: int) -> str:
        started.release()
        threading.Event().wait()

    async def stuck_async() -> str:
        started.release()
        await asyncio.Event().wait()

    tools = Tools(stuck, stuck_async)
    if sys.argv[1] == "batch":
        server = ChatServer().start()
        server.add(Reply.tool_calls([("c1", "stuck", {"n": 1}), ("c2", "stuck", {"n": 2})]))
        model = LLModal(endpoint_url=server.url, tools=tools)
        threading.Thread(target=model.invoke, args=("go",), daemon=True).start()
        expected = 2
    else:  # an asynchronous tool called from code running an event loop
        async def in_loop():
            tools([{"id": "c1", "function": {"name": "stuck_async", "arguments": "{}"}}])

        threading.Thread(target=asyncio.run, args=(in_loop(),), daemon=True).start()
        expected = 1
    for _ in range(expected):
        assert started.acquire(timeout=30)
    print("exiting", flush=True)
    """
)


@pytest.mark.parametrize("how", ["batch", "async in a loop"])
def test_stuck_tools_never_hold_up_exit(tmp_path, how):
    script = tmp_path / "stuck.py"
    script.write_text(EXIT_WITH_A_STUCK_BATCH)
    env = {**os.environ, "QUORVEL_CONFIG": str(tmp_path / "absent.ini")}
    # A few runs: ending a thread that is inside a native call at exit once
    # crashed only now and then.
    for _ in range(3):
        try:
            done = subprocess.run([sys.executable, str(script), how.split()[0]], capture_output=True, text=True,
                                  timeout=30, env=env)
        except subprocess.TimeoutExpired as expired:
            pytest.fail(f"the interpreter did not exit: {expired.stdout!r}")
        assert done.stdout == "exiting\n" and done.returncode == 0, done.stderr
