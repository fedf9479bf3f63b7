"""A daemon thread that is inside native code when the interpreter exits.

At exit the interpreter ends such a thread as soon as it tries to take the GIL
back; on glibc that is a forced unwind through every frame of the thread.  A
native frame that swallowed it would make the C library abort the process.
"""
import subprocess
import sys
import textwrap

import pytest

from quorvel.testing import ChatServer, Reply

PRELUDE = """
import threading
import time

inside = threading.Event()
"""

# Each scenario starts a daemon thread that keeps releasing and retaking the
# GIL, with native frames of quorvel below it, then lets the main thread end.
SCENARIOS = {
    "stream": """
        from quorvel.modal import LLModal

        # The server lives in the test process: it keeps writing while this
        # interpreter shuts down.
        model = LLModal(endpoint_url=URL, extra_body={"stream": True})

        def consume():
            for _ in model.invoke("hi"):
                inside.set()
    """,
    "stream tool": """
        from quorvel.modal import LLModal
        from quorvel.testing import ChatServer, Reply
        from quorvel.tools import Tools

        def wait() -> str:
            \"\"\"Block until the process ends.\"\"\"
            inside.set()
            while True:
                time.sleep(0.001)

        server = ChatServer().start()
        server.add(Reply.tool_calls([("c1", "wait", {})], stream=True))
        model = LLModal(endpoint_url=server.url, tools=Tools(wait), extra_body={"stream": True})

        def consume():
            for _ in model.invoke("hi"):
                pass
    """,
    "coroutine": """
        from quorvel.cython import CythonFunctionTool

        def wait() -> str:
            inside.set()
            while True:
                time.sleep(0.001)

        tool = CythonFunctionTool(name="wait", fn=wait, parameters={"type": "object"})

        def consume():
            tool.run({}).send(None)
    """,
}

EPILOGUE = """
threading.Thread(target=consume, daemon=True).start()
assert inside.wait(30), "the thread never got inside"
time.sleep(0.05)
"""


# ASan keeps its own records of each thread's stack frames; the interpreter
# ends a daemon thread with pthread_exit, whose forced unwind leaves them
# stale, and ASan's own consistency check then fails in the child.
@pytest.mark.unsanitizable
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_interpreter_exit_with_a_daemon_thread_inside(scenario):
    source = PRELUDE + textwrap.dedent(SCENARIOS[scenario]) + EPILOGUE
    with ChatServer() as server:
        server.add(Reply.stream(["chunk"] * 20000, delay=0.001))
        source = source.replace("URL", repr(server.url))
        done = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert "not rethrown" not in done.stderr
