"""One whole-answer call, client side: LLModal.invoke against the openai SDK's
chat.completions.create, both over an in-memory transport serving the same
bytes.

quorvel posts through `requests.post`, replaced by a function that encodes
the JSON body as requests would and answers with a real `requests.Response`
over the answer's bytes; the SDK posts through its httpx client, whose
`httpx.MockTransport` answers with an `httpx.Response` over the same bytes.
Both sides send the same request (one user message and the model name), get
the same answer, and are timed on the thread's CPU clock (the machine is
shared) in paired rounds, alternating which side goes first, with the same
collector state and a warm-up each.  Prints the median of the rounds' ratios
and quorvel's median CPU time per call, the one figure the target is given
in.

    PYTHONPATH=src python benchmarks/bench_call.py [--calls N] [--rounds R]
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

import requests  # noqa: E402

from quorvel.modal import LLModal  # noqa: E402
from quorvel.testing import response_from_bytes  # noqa: E402

URL = "http://bench.invalid/v1/chat/completions"
MODEL = "bench-model"
PROMPT = "What is the answer?"


def answer_body() -> bytes:
    text = "The answer, in a few sentences of ordinary length. " * 12
    return json.dumps({
        "id": "chatcmpl-bench", "object": "chat.completion", "created": 1700000000, "model": MODEL,
        "choices": [{"index": 0, "message": {"role": "assistant", "content": text}, "logprobs": None,
                     "finish_reason": "stop"}],
        "usage": {"prompt_tokens": 120, "completion_tokens": 140, "total_tokens": 260},
    }).encode()


def quorvel_side(body: bytes):
    """`calls` invokes of one model, its history emptied after each."""
    sent = []

    def post(url, headers=None, json=None, stream=False):
        # What requests does with `json=`: the body is encoded before sending.
        sent.append(_dumps(json))
        return response_from_bytes(body, headers={"Content-Type": "application/json"})

    model = LLModal(endpoint_url=URL, extra_body={"model": MODEL})

    def run(calls: int) -> str:
        original = requests.post
        requests.post = post
        try:
            for _ in range(calls):
                result = model.invoke(PROMPT)
                model.messages.clear()
        finally:
            requests.post = original
        sent.clear()
        return result.content

    return run


def _dumps(body) -> bytes:
    return json.dumps(body, allow_nan=False).encode()


def openai_side(body: bytes):
    import httpx
    import openai

    def serve(request):
        return httpx.Response(200, content=body, headers={"content-type": "application/json"})

    client = openai.OpenAI(api_key="bench", base_url="http://bench.invalid/v1",
                           http_client=httpx.Client(transport=httpx.MockTransport(serve)))
    messages = [{"role": "user", "content": PROMPT}]

    def run(calls: int) -> str:
        for _ in range(calls):
            completion = client.chat.completions.create(model=MODEL, messages=messages)
        return completion.choices[0].message.content

    return run


def cpu_time(run, calls: int) -> float:
    gc.collect()
    start = time.thread_time()
    run(calls)
    return time.thread_time() - start


def main(calls: int, rounds: int) -> None:
    body = answer_body()
    ours = quorvel_side(body)
    try:
        theirs = openai_side(body)
    except ImportError as exc:
        print(f"8. one whole-answer call: openai SDK not available ({exc}); comparison skipped")
        return
    # Same answer first, and a warm-up for both.
    assert ours(1) == theirs(1)
    ours(calls // 10 or 1)
    theirs(calls // 10 or 1)
    ratios, per_call = [], []
    for i in range(rounds):
        if i % 2:
            theirs_time = cpu_time(theirs, calls)
            ours_time = cpu_time(ours, calls)
        else:
            ours_time = cpu_time(ours, calls)
            theirs_time = cpu_time(theirs, calls)
        ratios.append(ours_time / theirs_time)
        per_call.append(ours_time / calls)
    ratio = statistics.median(ratios)
    low, _, high = statistics.quantiles(ratios, n=4)
    micros = statistics.median(per_call) * 1e6
    print(f"8. one whole-answer call, client CPU, in-memory transports ({len(body)}-byte answer, "
          f"median of {rounds} paired rounds of {calls} calls)")
    label = f"quorvel invoke / openai create (quartiles {low:.2f}-{high:.2f})"
    print(f"  {label:<58} {ratio:8.2f}x   (target <= 0.25x)  {'ok' if ratio <= 0.25 else 'MISSED'}")
    label = "quorvel invoke, microseconds of client CPU per call"
    print(f"  {label:<58} {micros:8.1f}    (target <= 60)    {'ok' if micros <= 60 else 'MISSED'}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args()
    main(args.calls, args.rounds)
