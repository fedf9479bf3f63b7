"""Benchmarks of the chat-model client's hot paths, each against its baseline
measured in the same run.

    python benchmarks/run.py            # everything (about a minute)
    python benchmarks/run.py --quick    # smaller sizes, fewer repeats

Run it from a checkout whose modules are built in place (or with quorvel
installed).  Every line prints a ratio next to its target; no bare times.

1. Streamed decoding per chunk, from an in-memory response:
   LLModal._stream_response against the floor (requests' iter_lines +
   json.loads + one LLMResult per chunk, in plain Python), against the limit
   (orjson.loads of each line's JSON, no line splitting, no record: how close
   decoding gets to parsing alone) and against the openai SDK decoding the
   same bytes (its Stream over an httpx response served by
   httpx.MockTransport).
2. Whole-answer decoding (LLModal._response) against the same steps in plain
   Python: Response.json(), the message's texts, one history entry, one
   LLMResult.
3. History rendering per message (messages_latest) for histories of 10,
   1,000 and 100,000 entries, against the same algorithm in plain Python.
   quorvel holds the garbage collector off while it renders; the baseline
   is timed the same way (and, for information, with the collector running).
4. A streamed answer of 1 MB arriving in 8-byte chunks: cost per chunk
   against a 10 KB answer (growing the answer must not copy it on every
   chunk), and peak traced memory against the answer's size.
5. CythonFunctionTool.run per call against fastmcp's FunctionTool.run
   (bench_tool_run.py): the median of per-round ratios over interleaved
   rounds.
6. Import time of quorvel.modal against requests + pydantic alone.
7. Time per exchange on the loopback server with the pooled keep-alive
   connection against a new connection for every exchange (wall clock: the
   server's threads take part).
8. Client CPU of one whole-answer LLModal.invoke over an in-memory transport
   against the openai SDK's chat.completions.create over httpx.MockTransport,
   on the same bytes (bench_call.py): the median of paired rounds' ratios, and
   quorvel's CPU time per call, the one figure its target is given in.
9. quorvel.aio (bench_aio.py): astream per chunk against invoke and against
   openai's AsyncStream; 500 concurrent astream calls (histories, open file
   descriptors); quorvel.cancel against a silent server.

Ratios 1 to 5 and 8 are taken on the thread's CPU clock, each side warmed up
and given the same collector state.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sys
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
# A developer build places the modules in src/quorvel; otherwise the installed package is used.
SRC = os.path.join(HERE, os.pardir, "src")
if any(name.startswith("message.") and name.endswith(".so") for name in os.listdir(os.path.join(SRC, "quorvel"))):
    sys.path.insert(0, SRC)

from quorvel import _call_settings  # noqa: E402
from quorvel.config import Configurator  # noqa: E402
from quorvel.message import Message, MessageRole  # noqa: E402
from quorvel.modal import LLModal, LLMResult, LLMStatus  # noqa: E402
from quorvel.testing import finish_chunk, response_from_bytes, role_chunk, sse_body, text_chunk  # noqa: E402


# Every ratio is taken on the thread's own CPU clock (the machine may be
# shared: time spent waiting for a core is not counted), with the collector
# emptied before each timed run and enabled during it for both sides alike,
# after one untimed warm-up run of each side.
clock = time.thread_time


def timed(run, arg):
    gc.collect()
    start = clock()
    run(arg)
    return clock() - start


def best_of(repeats, run, prepare=lambda: None):
    """Smallest CPU time of `run(prepare())` over `repeats` runs, after a warm-up."""
    run(prepare())
    return min(timed(run, prepare()) for _ in range(repeats))


def interleaved(repeats, *contenders):
    """Best CPU times of several (run, prepare) pairs, run in turn within each
    repeat (the order rotating from one repeat to the next) so that a change of
    machine load hits all of them alike; each is warmed up once first."""
    for run, prepare in contenders:
        run(prepare())
    best = [float("inf")] * len(contenders)
    for round_ in range(repeats):
        for k in range(len(contenders)):
            i = (k + round_) % len(contenders)
            run, prepare = contenders[i]
            best[i] = min(best[i], timed(run, prepare()))
    return best


def report(label, ratio, target, better="lower"):
    ok = ratio <= target if better == "lower" else ratio >= target
    sign = "<=" if better == "lower" else ">="
    print(f"  {label:<58} {ratio:8.2f}x   (target {sign} {target}x)  {'ok' if ok else 'MISSED'}")


# ---- 1. streamed decoding -------------------------------------------------------------

def stream_body(pieces):
    return sse_body([role_chunk()] + [text_chunk(p) for p in pieces] + [finish_chunk()])


def quorvel_decode(response):
    model = LLModal()
    model.add_message(role=MessageRole.user, content="question")
    for _ in model._stream_response(response):
        pass


def floor_decode(response):
    loads = json.loads
    answer, reason = LLMStatus.answer, LLMStatus.reason
    for line in response.iter_lines():
        if not line:
            continue
        data = line[6:].decode()
        if data == "[DONE]":
            break
        choice = loads(data)["choices"][0]
        delta = choice["delta"]
        reasoning = delta.get("reasoning_content") or ""
        LLMResult(status=reason if reasoning else answer, reasoning_content=reasoning, content=delta.get("content") or "")
        if choice["finish_reason"] is not None:
            break


def openai_setup(body):
    import httpx
    import openai
    from openai.types.chat import ChatCompletionChunk

    def serve(request):
        return httpx.Response(200, content=body, headers={"content-type": "text/event-stream"})

    http_client = httpx.Client(transport=httpx.MockTransport(serve))
    client = openai.OpenAI(api_key="bench", base_url="http://bench.invalid/v1", http_client=http_client)

    def prepare():
        request = http_client.build_request("POST", "http://bench.invalid/v1/chat/completions")
        return http_client.send(request, stream=True)

    def decode(response):
        for _ in openai.Stream(cast_to=ChatCompletionChunk, response=response, client=client):
            pass

    return prepare, decode


def limit_setup(body):
    """The JSON text of every data line, for the limit: parsing alone."""
    import orjson

    payloads = [line[6:] for line in body.splitlines() if line.startswith(b"data: {")]

    def parse(_):
        loads = orjson.loads
        for payload in payloads:
            loads(payload)

    return parse


def openai_shaped_body(pieces):
    """The same stream with every field the OpenAI API puts in a chunk."""
    def chunk(delta, finish=None):
        return {"id": "chatcmpl-B9MHDbslfkBeAs8l4bebGdFOJ6PeG", "object": "chat.completion.chunk",
                "created": 1741570283, "model": "gpt-4o-2024-08-06", "service_tier": "default",
                "system_fingerprint": "fp_eb9dce56a8",
                "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish}],
                "usage": None}
    chunks = [chunk({"role": "assistant", "content": "", "refusal": None})]
    chunks += [chunk({"content": p}) for p in pieces] + [chunk({}, "stop")]
    return b"".join(b"data: " + json.dumps(c, separators=(",", ":")).encode() + b"\n\n" for c in chunks) + \
        b"data: [DONE]\n\n"


def bench_stream(quick):
    chunks = 2_000 if quick else 10_000
    repeats = 5 if quick else 9
    body = stream_body(["hello wo"] * chunks)
    new_response = lambda: response_from_bytes(body)  # noqa: E731
    limit = limit_setup(body)
    ours, floor, parse_only = interleaved(
        repeats, (quorvel_decode, new_response), (floor_decode, new_response), (limit, lambda: None))
    print(f"1. streamed decoding per chunk ({chunks} chunks of 8 characters, in-memory response)")
    report("quorvel / floor (iter_lines + json.loads + LLMResult)", ours / floor, 0.6)
    report("quorvel / limit (orjson.loads of each line, no record)", ours / parse_only, 2.5)
    shaped = openai_shaped_body(["hello wo"] * chunks)
    shaped_ours, shaped_limit = interleaved(
        repeats, (quorvel_decode, lambda: response_from_bytes(shaped)), (limit_setup(shaped), lambda: None))
    report("quorvel / limit, OpenAI-shaped chunks", shaped_ours / shaped_limit, 2.5)
    try:
        prepare, decode = openai_setup(body)
    except ImportError as exc:
        print(f"  openai SDK not available ({exc}); comparison skipped")
        return
    sdk, ours = interleaved(max(2, repeats // 3), (decode, prepare), (quorvel_decode, new_response))
    report("openai SDK / quorvel (how many times faster quorvel is)", sdk / ours, 2.0, better="higher")


# ---- 2. whole answers --------------------------------------------------------------------

def whole_body(size=None):
    """An answer of the benchmark's usual 911 bytes, or of about `size` bytes."""
    sentence = "The answer, in a few sentences of ordinary length. "
    repeat = 12 if size is None else max(1, (size - 300) // len(sentence))
    return json.dumps({
        "id": "chatcmpl-bench", "object": "chat.completion", "created": 1700000000, "model": "bench-model",
        "choices": [{"index": 0, "message": {"role": "assistant", "content": sentence * repeat}, "logprobs": None,
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 120, "completion_tokens": 140, "total_tokens": 260},
    }).encode()


def plain_response(model, response):
    """LLModal._response for an answer without tool calls, in plain Python."""
    message = response.json()["choices"][0]["message"]
    reasoning = message.get("reasoning_content") or message.get("reasoning") or ""
    content = message.get("content") or ""
    model.messages.append(Message(role=MessageRole.assistant, contents=[content]))
    model.tool_calls = []  # _reset
    model._tool_calls_count = 0
    return LLMResult(status=LLMStatus.idle, reasoning_content=reasoning, content=content)


def bench_whole(quick):
    question = Message(role=MessageRole.user, contents=["question"])
    print("2. whole-answer decoding per answer (in-memory responses)")
    for size, target in ((None, 0.6), (1_000, 0.5), (10_000, 0.5), (100_000, 0.5)):
        body = whole_body(size)
        answers = max(20, (1_000 if quick else 5_000) * 1_000 // max(len(body), 1_000))
        repeats = 5 if quick else 9

        def prepare():
            # The responses are made outside the timing, for both sides alike,
            # with their bodies read: a call's transport reads a whole answer
            # before decoding it (as requests.post without stream=True does).
            responses = [response_from_bytes(body) for _ in range(answers)]
            for response in responses:
                response.content  # noqa: B018
            return responses

        def ours(responses):
            model = LLModal(messages=[question])
            # Decoded as inside a call, whose settings are read once per call
            # (that reading is part of the call's fixed cost, section 8).
            before = _call_settings.open(Configurator, model.section)
            try:
                for response in responses:
                    model._response(response)
                    del model.messages[1:]  # each answer follows the question again
            finally:
                _call_settings.close(before)

        def plain(responses):
            model = LLModal(messages=[question])
            for response in responses:
                plain_response(model, response)
                del model.messages[1:]

        mine, theirs = LLModal(messages=[question]), LLModal(messages=[question])
        mine._response(response_from_bytes(body))
        plain_response(theirs, response_from_bytes(body))
        assert mine.messages == theirs.messages
        ours_time, plain_time = interleaved(repeats, (ours, prepare), (plain, prepare))
        report(f"quorvel / plain Python, {answers} answers of {len(body):,} bytes", ours_time / plain_time, target)


# ---- 3. history rendering ---------------------------------------------------------------

def python_latest(message):
    """Message.latest, in plain Python."""
    if message.tool_calls:
        return {"role": message.role, "tool_calls": message.tool_calls}
    if message.tool_call_id:
        return {"role": message.role, "tool_call_id": message.tool_call_id, "content": message.contents[-1]}
    content = message.contents[-1]
    if isinstance(content, str):
        for version in reversed(message.contents):
            if isinstance(version, list):
                content = [p for p in version if p["type"] != "text"] + [{"type": "text", "text": content}]
                break
    return {"role": message.role, "content": content}


def python_messages_latest(model):
    """LLModal.messages_latest, in plain Python."""
    messages = [python_latest(m) for m in model.messages]
    if model.retry:
        for count, message in enumerate(reversed(model.messages)):
            if message.role == MessageRole.user:
                messages = messages[: len(messages) - count]
                break
    return messages


def make_history(size):
    roles = [MessageRole.user, MessageRole.assistant]
    entries = []
    for i in range(size):
        if i % 10 == 9:
            entries.append(Message(role=MessageRole.tool, tool_call_id=f"call_{i}", contents=[f"result {i}"]))
        else:
            entries.append(Message(role=roles[i % 2], contents=[f"turn {i} " * 4]))
    return LLModal(messages=entries)


def bench_history(quick):
    print("3. history rendering per message (messages_latest)")
    for size in (10, 1_000, 100_000):
        model = make_history(size)
        assert model.messages_latest == python_messages_latest(model)
        loops = max(1, 200_000 // size) if not quick else max(1, 20_000 // size)
        # Few loops at the largest size: more repeats keep a busy machine's
        # spikes out of the best time of each side.
        repeats = 5 if size >= 100_000 else 7

        def native(_):
            for _ in range(loops):
                model.messages_latest

        def python(_):
            for _ in range(loops):
                python_messages_latest(model)

        def python_paused(_):
            # The collector held off, as quorvel holds it off while rendering.
            for _ in range(loops):
                enabled = gc.isenabled()
                gc.disable()
                try:
                    python_messages_latest(model)
                finally:
                    if enabled:
                        gc.enable()

        ours, paused, running = interleaved(
            repeats, (native, lambda: None), (python_paused, lambda: None), (python, lambda: None))
        report(f"plain Python / quorvel, {size:>7,} entries, collector paused", paused / ours, 3.0, better="higher")
        print(f"  {'(plain Python with the collector running / quorvel)':<58} {running / ours:8.2f}x")


# ---- 4. a long streamed answer ----------------------------------------------------------

def bench_long_answer(quick):
    piece = "abcdefgh"
    big_size = (256 if quick else 1024) * 1024
    small_size = 10 * 1024
    small = stream_body([piece] * (small_size // len(piece)))
    big = stream_body([piece] * (big_size // len(piece)))
    small_chunks, big_chunks = small_size // len(piece), big_size // len(piece)
    # the small answer is decoded as many times as it takes to match the big one
    def small_many(_):
        for _ in range(big_chunks // small_chunks):
            quorvel_decode(response_from_bytes(small))

    t_small, t_big, t_floor = interleaved(3, (small_many, lambda: None), (quorvel_decode, lambda: response_from_bytes(big)),
                                          (floor_decode, lambda: response_from_bytes(big)))
    per_small = t_small / ((big_chunks // small_chunks) * small_chunks)
    per_big = t_big / big_chunks
    floor_big = t_floor / big_chunks
    print(f"4. streamed answer of {big_size // 1024} KB in 8-byte chunks ({big_size // len(piece)} chunks)")
    report(f"cost per chunk, {big_size // 1024} KB answer / 10 KB answer", per_big / per_small, 1.2)
    report(f"cost per chunk, quorvel / floor, {big_size // 1024} KB answer", per_big / floor_big, 1.25)

    response = response_from_bytes(big)  # the body itself is allocated before tracing starts
    gc.collect()
    tracemalloc.start()
    try:
        quorvel_decode(response)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    print(f"  peak traced memory / answer size: {peak / big_size:.2f}x "
          f"(the answer is held once, in the history; the {len(big) / 1e6:.0f} MB body is not counted)")


def bench_tool_run(quick):
    """5. CythonFunctionTool.run per call against fastmcp's FunctionTool.run (bench_tool_run.py)."""
    import asyncio

    import bench_tool_run

    calls = 200 if quick else 1000
    asyncio.run(bench_tool_run.main(calls, 41))


# ---- 8. one whole call -----------------------------------------------------------

def bench_call(quick):
    """8. One whole-answer invoke against the openai SDK's create, client CPU (bench_call.py)."""
    import bench_call

    bench_call.main(50 if quick else 200, 11 if quick else 41)


# ---- 6. import time ---------------------------------------------------------------

def bench_import(quick):
    """6. `import quorvel.modal` against requests + pydantic alone, in fresh interpreters (bench_import.py)."""
    import bench_import

    rounds = 3 if quick else 7
    print(f"6. import time, fresh interpreters (best of {rounds})")
    report("import quorvel.modal / import requests + pydantic", bench_import.main(rounds), 1.3)


# ---- 7. pooled connections ----------------------------------------------------------

def bench_pool(quick):
    """7. Time per exchange, pooled keep-alive connection against a new connection each (bench_pool.py)."""
    import bench_pool

    bench_pool.main(50 if quick else 200, 3 if quick else 5)


# ---- 8. the async client ------------------------------------------------------------

def bench_aio(quick):
    """8. astream per chunk, 500 concurrent calls, cancel on a silent server (bench_aio.py)."""
    import bench_aio

    bench_aio.main(quick)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer repeats")
    parser.add_argument("--only", choices=["stream", "whole", "history", "long", "tool", "import", "pool", "call", "aio"],
                        help="run one benchmark")
    args = parser.parse_args()
    runs = {"stream": bench_stream, "whole": bench_whole, "history": bench_history, "long": bench_long_answer,
            "tool": bench_tool_run, "import": bench_import, "pool": bench_pool, "call": bench_call, "aio": bench_aio}
    for name, run in runs.items():
        if args.only in (None, name):
            run(args.quick)


if __name__ == "__main__":
    main()
