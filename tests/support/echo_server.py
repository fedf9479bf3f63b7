"""A loopback chat server, in a process of its own, that answers every request
with the last user message: ``"echo: " + prompt``.

Run as a script: it prints its URL on the first line of standard output, then
answers the commands it reads on standard input, one per line: ``count``
prints how many requests it has received; end of input stops it.

    python tests/support/echo_server.py [--chunks N]

With ``--chunks N`` a streamed request (``"stream": true``) gets N chunks: the
echo, then N - 1 chunks of ".".  A whole request gets the echo alone.  Used
by the batch tests and benchmarks, which need a server that no thread of the
measured (or forked) process runs.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from typing import Any

from quorvel.testing import ChatServer, Reply


def _prompt(request: Any) -> str:
    for message in reversed(request.json.get("messages", [])):
        if message.get("role") == "user":
            content = message.get("content")
            return content if isinstance(content, str) else repr(content)
    return ""


def serve(chunks: int) -> None:
    with ChatServer() as server:

        def echo(request: Any) -> Reply:
            server.add(echo)  # every request takes a reply; this one puts itself back
            text = "echo: " + _prompt(request)
            if request.json.get("stream") and chunks > 0:
                return Reply.stream([text] + ["."] * (chunks - 1))
            return Reply.text(text)

        # Enough replies queued for every request that can be in flight at once.
        server.add(*[echo] * 256)
        print(server.url, flush=True)
        for line in sys.stdin:
            if line.strip() == "count":
                print(len(server.requests), flush=True)


class EchoServer:
    """The server above, started in a child process."""

    def __init__(self, chunks: int = 0) -> None:
        self.process = subprocess.Popen(
            [sys.executable, __file__, "--chunks", str(chunks)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.process.stdout is not None
        self.url = self.process.stdout.readline().strip()
        if not self.url:
            self.close()
            raise RuntimeError("the echo server did not start")

    def count(self) -> int:
        """Requests received so far."""
        assert self.process.stdin is not None and self.process.stdout is not None
        self.process.stdin.write("count\n")
        self.process.stdin.flush()
        return int(self.process.stdout.readline())

    def close(self) -> None:
        if self.process.stdin is not None:
            self.process.stdin.close()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()

    def __enter__(self) -> EchoServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--chunks", type=int, default=0)
    serve(parser.parse_args().chunks)
