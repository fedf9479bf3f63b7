"""quorvel.aio against its baselines, in one run; servers run in another
process, so that the client's process does nothing but the client's work.

1. Streamed decoding per chunk: ``astream`` against the synchronous native
   path (``invoke`` with streaming on) and against the openai SDK's
   ``AsyncStream`` (``AsyncOpenAI`` ... ``stream=True``), all three posting
   and reading the same bytes from memory (the body in one block; httpx's
   MockTransport for the two async ones, a replaced ``requests.post`` for
   invoke); best of interleaved rounds.  Then astream against invoke over
   loopback, for information: there every line is its own HTTP chunk, and
   httpx's HTTP/1.1 parser (h11, pure Python) handles each one.
2. 500 concurrent ``astream`` calls in one event loop against a paced
   loopback stream: every history checked, and the process's open file
   descriptors after the loop has closed against those before it.
3. ``quorvel.cancel`` against a server that has gone silent mid-stream: the
   time from the call to the server seeing EOF, median of 20, against the
   50 ms budget; then the same for a synchronous whole call whose server
   never sends the status line.

    PYTHONPATH=src python benchmarks/bench_aio.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import multiprocessing
import os
import statistics
import sys
import threading
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "tests"))  # the silent server of the tests

import quorvel  # noqa: E402
from quorvel import aio  # noqa: E402
from quorvel.modal import LLModal  # noqa: E402


def report(label, ratio, target, better="lower"):
    ok = ratio <= target if better == "lower" else ratio >= target
    sign = "<=" if better == "lower" else ">="
    print(f"  {label:<58} {ratio:8.2f}x   (target {sign} {target}x)  {'ok' if ok else 'MISSED'}")


# ---- servers in another process ----------------------------------------------------------


def _serve_chat(conn, pieces, delay, replies):
    from quorvel.testing import ChatServer, Reply

    with ChatServer() as server:
        reply = Reply.stream(pieces, delay=delay)
        server.add(*[reply] * replies)
        conn.send(server.url)
        conn.recv()  # until told to stop


def _serve_silent(conn, stream=True, headers=True):
    from aio_support import SilentServer

    with SilentServer(stream=stream, headers=headers) as server:
        conn.send(server.url)
        while True:
            count = conn.recv()
            if count is None:
                return
            server.wait_eof(count, timeout=5.0)
            conn.send(list(server.eof_at))


class Process:
    def __init__(self, target, *args):
        self.conn, child = multiprocessing.Pipe()
        self.process = multiprocessing.get_context("spawn").Process(target=target, args=(child, *args), daemon=True)
        self.process.start()
        self.url = self.conn.recv()

    def stop(self):
        self.conn.send(None)
        self.process.join(5)


# ---- 1. per chunk ------------------------------------------------------------------------

MEMORY_URL = "http://bench.invalid/v1/chat/completions"


def stream_body(chunks):
    from quorvel.testing import finish_chunk, role_chunk, sse_body, text_chunk

    return sse_body([role_chunk()] + [text_chunk("hello wo")] * chunks + [finish_chunk()])


def in_memory_paths(body):
    """invoke (requests.post replaced by an in-memory answer), astream and
    openai's AsyncStream (each over an httpx.MockTransport answering the
    same bytes): every path posts, gets the body in one block, decodes."""
    import httpx
    import openai
    import requests

    from quorvel.testing import response_from_bytes

    def sync_path():
        model = LLModal(endpoint_url=MEMORY_URL, extra_body={"stream": True})
        original = requests.post
        requests.post = lambda *args, **kwargs: response_from_bytes(body)
        try:
            start = time.perf_counter()
            for _ in model.invoke("question"):
                pass
            return time.perf_counter() - start
        finally:
            requests.post = original

    def answer(request):
        return httpx.Response(200, content=body, headers={"content-type": "text/event-stream"})

    async def async_path():
        model = LLModal(endpoint_url=MEMORY_URL)
        start = time.perf_counter()
        async for _ in aio.astream(model, "question"):
            pass
        return time.perf_counter() - start

    sdk_client = openai.AsyncOpenAI(api_key="bench", base_url=MEMORY_URL.rsplit("/chat/completions", 1)[0],
                                    http_client=httpx.AsyncClient(transport=httpx.MockTransport(answer)))

    async def sdk_path():
        start = time.perf_counter()
        stream = await sdk_client.chat.completions.create(
            model="m", messages=[{"role": "user", "content": "question"}], stream=True)
        async for _ in stream:
            pass
        return time.perf_counter() - start

    async def setup():
        await aio._aio_transport._use_client(MEMORY_URL, httpx.AsyncClient(transport=httpx.MockTransport(answer)))

    return setup, sync_path, async_path, sdk_path


def loopback_paths(url):
    def sync_path():
        model = LLModal(endpoint_url=url, extra_body={"stream": True})
        start = time.perf_counter()
        for _ in model.invoke("question"):
            pass
        return time.perf_counter() - start

    async def async_path():
        model = LLModal(endpoint_url=url)
        start = time.perf_counter()
        async for _ in aio.astream(model, "question"):
            pass
        return time.perf_counter() - start

    return sync_path, async_path


def best_of_rounds(rounds, paths):
    """Best time of each path over interleaved rounds (one warm-up first)."""

    async def run():
        for path in paths.values():
            result = path()
            if asyncio.iscoroutine(result):
                await result
        best = dict.fromkeys(paths, float("inf"))
        for _ in range(rounds):
            for name, path in paths.items():
                gc.collect()
                result = path()
                elapsed = await result if asyncio.iscoroutine(result) else result
                best[name] = min(best[name], elapsed)
        return best

    return run


def bench_chunks(quick):
    chunks = 2_000 if quick else 10_000
    rounds = 3 if quick else 7
    body = stream_body(chunks)
    setup, sync_path, async_path, sdk_path = in_memory_paths(body)

    async def in_memory():
        await setup()
        return await best_of_rounds(rounds, {"sync": sync_path, "async": async_path, "sdk": sdk_path})()

    best = asyncio.run(in_memory())
    print(f"1. streamed decoding per chunk ({chunks} chunks of 8 characters, best of {rounds})")
    print("   in memory: the body arrives in one block")
    report("astream / invoke with streaming (sync native path)", best["async"] / best["sync"], 1.5)
    report("openai AsyncStream / astream (how many times faster)", best["sdk"] / best["async"], 20.0,
           better="higher")

    server = Process(_serve_chat, ["hello wo"] * chunks, 0.0, 2 * rounds + 2)
    try:
        sync_loop, async_loop = loopback_paths(server.url)
        loop_best = asyncio.run(best_of_rounds(rounds, {"sync": sync_loop, "async": async_loop})())
    finally:
        server.stop()
    print("   over loopback, one HTTP chunk per line (httpx's h11 reads every chunk; for information)")
    print(f"  {'astream / invoke with streaming':<58} {loop_best['async'] / loop_best['sync']:8.2f}x")


# ---- 2. many at once ---------------------------------------------------------------------


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def bench_concurrent(quick):
    calls = 100 if quick else 500
    server = Process(_serve_chat, ["a", "b", "c"], 0.05, calls)
    try:
        before = open_fds()
        wrong = 0

        async def one(i):
            model = LLModal(endpoint_url=server.url)
            texts = [record.content async for record in aio.astream(model, f"question {i}")]
            entries = [(str(m.role), m.contents[-1]) for m in model.messages]
            return texts == ["a", "b", "c"] and entries == [("user", f"question {i}"), ("assistant", "abc")]

        async def all_at_once():
            return await asyncio.gather(*(one(i) for i in range(calls)))

        start = time.perf_counter()
        results = asyncio.run(all_at_once())
        elapsed = time.perf_counter() - start
        gc.collect()
        after = open_fds()
        wrong = results.count(False)
    finally:
        server.stop()
    # 9 paced lines of 50 ms each: 0.4 s per call if every call ran at once.
    print(f"2. {calls} concurrent astream calls in one loop, server in another process")
    print(f"  histories right: {calls - wrong} of {calls}   {'ok' if not wrong else 'MISSED'}")
    report("open fds after the loop closed / before it", after / before, 1.0)
    print(f"  {'elapsed / one paced call (for information; one after another: ' + str(calls) + 'x)':<58} "
          f"{elapsed / 0.4:8.2f}x")


# ---- 3. cancel on a silent server -------------------------------------------------------


def bench_cancel(quick):
    runs = 20
    server = Process(_serve_silent)
    budget = 0.050
    try:
        delays = []

        async def one(i):
            model = LLModal(endpoint_url=server.url)
            stream = await aio.astream(model, "question")  # the server answers the status line, then nothing
            fired = []
            timer = threading.Timer(0.05, lambda: fired.append((time.monotonic(), quorvel.cancel(model))))
            timer.start()
            async for _ in stream:
                pass
            timer.join()
            server.conn.send(i + 1)
            eof_at = server.conn.recv()[i]
            assert fired[0][1]
            delays.append(eof_at - fired[0][0])

        async def all_runs():
            for i in range(runs):
                await one(i)

        asyncio.run(all_runs())
    finally:
        server.stop()
    median = statistics.median(delays)
    print(f"3. quorvel.cancel against a silent server: call to server-seen EOF, median of {runs}")
    print(f"  median {median * 1000:.2f} ms, max {max(delays) * 1000:.2f} ms")
    report("median / 50 ms budget", median / budget, 1.0)
    bench_sync_cancel(runs, budget)


def bench_sync_cancel(runs, budget):
    """The same for a synchronous whole call waiting for its status line."""
    server = Process(_serve_silent, False, False)
    try:
        delays = []
        for i in range(runs):
            model = LLModal(endpoint_url=server.url)
            fired = []
            timer = threading.Timer(0.05, lambda: fired.append((time.monotonic(), quorvel.cancel(model))))
            timer.start()
            assert model.invoke("question").content == ""  # stopped: an empty record
            timer.join()
            server.conn.send(i + 1)
            eof_at = server.conn.recv()[i]
            assert fired[0][1]
            delays.append(eof_at - fired[0][0])
    finally:
        server.stop()
    median = statistics.median(delays)
    print(f"   the same for a synchronous whole call waiting for its status line, median of {runs}")
    print(f"  median {median * 1000:.2f} ms, max {max(delays) * 1000:.2f} ms")
    report("median / 50 ms budget (synchronous)", median / budget, 1.0)


def main(quick=False):
    bench_chunks(quick)
    bench_concurrent(quick)
    bench_cancel(quick)


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    main(parser.parse_args().quick)
