"""A process forked after a call never uses the connection it inherited.

The parent's pooled keep-alive socket is copied into a child by fork; if the
child used it, the parent and its children would read each other's answers
(or hang waiting for one another's).  The server runs in a process of its
own so that the forking process has no server threads.
"""

from __future__ import annotations

import multiprocessing
import sys
from pathlib import Path

import pytest

from quorvel.modal import LLModal

sys.path.insert(0, str(Path(__file__).parent / "support"))
from echo_server import EchoServer  # noqa: E402

pytestmark = pytest.mark.skipif(not hasattr(multiprocessing, "get_context") or sys.platform == "win32",
                                reason="needs fork")

RUNS = 20
CHILDREN = 2
CALLS = 10
CHUNKS = 3  # a streamed echo: the echo, then two chunks of "."


def _calls(url: str, tag: str, stream: bool) -> list[str]:
    """Problems seen in CALLS calls of one process (empty when all answered right)."""
    model = LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {})
    problems = []
    for i in range(CALLS):
        model.messages.clear()
        prompt = f"{tag} call {i}"
        try:
            result = model.invoke(prompt)
            content = "".join(record.content for record in result) if stream else result.content
        except Exception as exc:
            problems.append(f"{prompt}: {type(exc).__name__}: {exc}")
            continue
        if content != "echo: " + prompt + ("." * (CHUNKS - 1) if stream else ""):
            problems.append(f"{prompt}: crossed answer {content!r}")
    return problems


def _child(url: str, tag: str, stream: bool, results) -> None:  # type: ignore[no-untyped-def]
    results.put((tag, _calls(url, tag, stream)))


@pytest.mark.parametrize("stream", [False, True], ids=["whole", "streamed"])
def test_children_forked_after_a_warm_call_use_their_own_connections(stream, monkeypatch):
    # A call that waits for an answer another process took fails in seconds.
    monkeypatch.setenv("QUORVEL_LLM_TIMEOUT", "5")
    context = multiprocessing.get_context("fork")
    with EchoServer(chunks=CHUNKS) as server:
        warm = LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {})
        assert _calls(server.url, "warm-up", stream) == []
        hangs = 0
        problems: list[str] = []
        for run in range(RUNS):
            # The parent's pool holds a live connection when it forks.
            assert "".join(r.content for r in warm.invoke("warm")) if stream else warm.invoke("warm").content
            warm.messages.clear()
            results = context.Queue()
            children = [
                context.Process(target=_child, args=(server.url, f"run {run} child {c}", stream, results))
                for c in range(CHILDREN)
            ]
            for child in children:
                child.start()
            # The parent goes on using its connection meanwhile.
            problems += _calls(server.url, f"run {run} parent", stream)
            for child in children:
                child.join(30)
                if child.is_alive():
                    hangs += 1
                    child.kill()
                    child.join()
                elif child.exitcode != 0:
                    problems.append(f"run {run}: a child exited with {child.exitcode}")
            reported = 0
            while not results.empty():
                problems += results.get()[1]
                reported += 1
            results.close()
            if hangs == 0:
                assert reported == CHILDREN
        assert hangs == 0
        assert problems == []
