"""Time per exchange with pooled keep-alive connections against a new
connection per exchange, on the loopback chat server.

Both sides run the same `LLModal.invoke` against the same server with the
same answers, interleaved round by round.  The baseline replaces
`requests.post` by a wrapper that calls the original one: the client then
posts as a one-off `requests.post` does, with a new session and a new TCP
connection for every exchange.  Prints ratios (pooled time / one-off time;
below 1.0 means the pool is faster), never bare times.

    PYTHONPATH=src python benchmarks/bench_pool.py [--exchanges N] [--rounds R]
"""

from __future__ import annotations

import argparse
import gc
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

import requests  # noqa: E402

from quorvel.modal import LLModal  # noqa: E402
from quorvel.testing import ChatServer, Reply  # noqa: E402

_original_post = requests.post


def _one_off_post(*args, **kwargs):
    return _original_post(*args, **kwargs)


def _run(server: ChatServer, exchanges: int, stream: bool, pooled: bool) -> float:
    reply = Reply.stream(["Hel", "lo"]) if stream else Reply.text("Hello")
    server.add(*[reply] * exchanges)
    model = LLModal(endpoint_url=server.url, extra_body={"stream": True} if stream else {})
    requests.post = _original_post if pooled else _one_off_post
    try:
        gc.collect()
        start = time.perf_counter()
        for _ in range(exchanges):
            result = model.invoke("Hi")
            if stream:
                for _record in result:
                    pass
            # The history would grow the body with every exchange.
            model.messages.clear()
        return time.perf_counter() - start
    finally:
        requests.post = _original_post


def main(exchanges: int, rounds: int) -> None:
    print(f"7. time per exchange on the loopback server, pooled connection / new connection "
          f"({exchanges} exchanges, best of {rounds})")
    with ChatServer() as server:
        for stream in (False, True):
            best = {True: float("inf"), False: float("inf")}
            _run(server, 5, stream, True)  # warm-up: imports, first connection
            for _ in range(rounds):
                for pooled in (True, False):
                    best[pooled] = min(best[pooled], _run(server, exchanges, stream, pooled))
            label = "streamed answers" if stream else "whole answers"
            ratio = best[True] / best[False]
            print(f"  {label:<58} {ratio:8.2f}x   (lower is better; no target)")
        print(f"  connections the server accepted: {server.connections_opened} "
              f"for {len(server.requests)} exchanges")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exchanges", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    main(args.exchanges, args.rounds)
