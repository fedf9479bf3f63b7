"""Batch runs: resume after SIGKILL, client CPU against the openai SDK, Ray.

The chat server runs in a process of its own (tests/support/echo_server.py,
a ``quorvel.testing.ChatServer`` that echoes the prompt), so the client's
figures are the client's alone.

    python benchmarks/bench_batch.py resume [--rows 10000] [--workers 16]
    python benchmarks/bench_batch.py cpu [--answers 1000] [--chunks 200] [--workers 16] [--rounds 1]
    python benchmarks/bench_batch.py ray [--rows 1000]

resume: a runner process is killed with SIGKILL once about half the rows
    have a line, then started again on the same files; prints how many lines
    the output holds, duplicates, missing rows, and the requests the server
    received against the most it may (rows + workers: the rows in flight at
    the kill run again).
cpu: client CPU (``time.process_time`` of this process) to run N streamed
    answers of C chunks through ``quorvel.batch.run`` against the openai SDK
    streaming the same answers from a ``ThreadPoolExecutor`` of the same
    size; rounds interleave the two; prints the ratio (target <= 0.5).
ray: N rows through ``Dataset.map_batches(RowMapper, concurrency=2)`` on a
    local Ray (``ray.init(num_cpus=2)``); prints rows in and answers out.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import warnings
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

warnings.filterwarnings("ignore", category=DeprecationWarning)

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "support"))
from echo_server import EchoServer  # noqa: E402

from quorvel.batch import RowMapper, run  # noqa: E402
from quorvel.modal import LLModal  # noqa: E402


def _write_short(path: Path, rows: int) -> None:
    with open(path, "w") as out:
        for i in range(rows):
            out.write(json.dumps({"custom_id": f"row-{i}", "prompt": f"question {i}"}) + "\n")


def _lines(path: Path) -> int:
    try:
        with open(path, "rb") as data:
            return sum(1 for _ in data)
    except FileNotFoundError:
        return 0


_RUNNER = """
import sys
from quorvel.batch import run
from quorvel.modal import LLModal
url, requests, output, workers = sys.argv[1:5]
run(LLModal(endpoint_url=url, extra_body={"model": "m"}), requests, output, workers=int(workers))
"""


def bench_resume(rows: int, workers: int) -> None:
    with tempfile.TemporaryDirectory() as tmp, EchoServer() as server:
        requests, output = Path(tmp) / "in.jsonl", Path(tmp) / "out.jsonl"
        _write_short(requests, rows)
        command = [sys.executable, "-c", _RUNNER, server.url, str(requests), str(output), str(workers)]
        first = subprocess.Popen(command)
        while _lines(output) < rows // 2 and first.poll() is None:
            time.sleep(0.005)
        first.send_signal(signal.SIGKILL)
        first.wait()
        killed_at = _lines(output)
        torn = output.read_bytes()[-1:] != b"\n"
        second = subprocess.run(command)
        ids = [json.loads(line)["custom_id"] for line in output.read_text().splitlines()]
        received = server.count()
    expected = {f"row-{i}" for i in range(rows)}
    duplicates = len(ids) - len(set(ids))
    missing = len(expected - set(ids))
    print(f"resume: {rows} short rows, {workers} workers; runner SIGKILLed at {killed_at} lines "
          f"(torn last line: {'yes' if torn else 'no'}); restart exit {second.returncode}")
    print(f"  output: {len(ids)} lines, {duplicates} duplicates, {missing} missing")
    print(f"  server received {received} requests; at most {rows + workers} allowed "
          f"({received - rows} sent twice) -> {'ok' if received <= rows + workers and not duplicates and not missing else 'FAILED'}")


def _quorvel_side(url: str, answers: int, workers: int, tmp: Path, tag: str, chunks: int) -> float:
    requests = [{"custom_id": f"{tag}-{i}", "prompt": f"question {i}"} for i in range(answers)]
    template = LLModal(endpoint_url=url, extra_body={"model": "m", "stream": True})
    start = time.process_time()
    summary = run(template, requests, tmp / f"{tag}.jsonl", workers=workers)
    spent = time.process_time() - start
    assert summary.done == answers, summary
    with open(tmp / f"{tag}.jsonl") as lines:
        line = json.loads(next(lines))
    number = line["custom_id"].rsplit("-", 1)[1]
    content = line["response"]["body"]["choices"][0]["message"]["content"]
    assert content == f"echo: question {number}" + "." * (chunks - 1), content[:60]
    return spent


def _openai_side(base_url: str, answers: int, workers: int, chunks: int) -> float:
    import openai

    client = openai.OpenAI(base_url=base_url, api_key="unused", max_retries=0)

    def one(i: int) -> str:
        stream = client.chat.completions.create(
            model="m", messages=[{"role": "user", "content": f"question {i}"}], stream=True
        )
        return "".join(chunk.choices[0].delta.content or "" for chunk in stream if chunk.choices)

    start = time.process_time()
    with ThreadPoolExecutor(max_workers=workers) as pool:
        texts = list(pool.map(one, range(answers)))
    spent = time.process_time() - start
    assert texts[0] == "echo: question 0" + "." * (chunks - 1), texts[0][:60]
    client.close()
    return spent


def bench_cpu(answers: int, chunks: int, workers: int, rounds: int) -> None:
    with tempfile.TemporaryDirectory() as tmp, EchoServer(chunks=chunks) as server:
        base_url = server.url.rsplit("/chat/completions", 1)[0]
        _quorvel_side(server.url, 20, workers, Path(tmp), "warm", chunks)  # imports, connections
        _openai_side(base_url, 20, workers, chunks)
        ours, theirs = [], []
        for r in range(rounds):
            ours.append(_quorvel_side(server.url, answers, workers, Path(tmp), f"round{r}", chunks))
            theirs.append(_openai_side(base_url, answers, workers, chunks))
    ratio = sum(ours) / sum(theirs)
    per_round = ", ".join(f"{a / b:.2f}" for a, b in zip(ours, theirs))
    print(f"cpu: client CPU per {answers} streamed answers of {chunks} chunks, {workers} workers, "
          f"quorvel.batch.run / openai SDK + ThreadPoolExecutor: {ratio:.2f}x (target <= 0.5; rounds: {per_round})")


def bench_ray(rows: int) -> None:
    import ray

    with EchoServer() as server:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
        try:
            template = LLModal(endpoint_url=server.url, extra_body={"model": "m"})
            dataset = ray.data.from_items([{"id": i, "prompt": f"question {i}"} for i in range(rows)])
            started = time.perf_counter()
            out = dataset.map_batches(
                RowMapper, fn_constructor_kwargs={"template": template}, batch_size=100, concurrency=2
            ).take_all()
            seconds = time.perf_counter() - started
        finally:
            ray.shutdown()
        received = server.count()
    right = sum(1 for row in out if row["answer"] == f"echo: question {row['id']}")
    print(f"ray: {rows} rows through map_batches(RowMapper, concurrency=2): {len(out)} rows back, "
          f"{right} right answers, {received} requests at the server ({seconds:.1f} s wall, local Ray, 2 CPUs)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="what", required=True)
    resume = commands.add_parser("resume")
    resume.add_argument("--rows", type=int, default=10_000)
    resume.add_argument("--workers", type=int, default=16)
    cpu = commands.add_parser("cpu")
    cpu.add_argument("--answers", type=int, default=1000)
    cpu.add_argument("--chunks", type=int, default=200)
    cpu.add_argument("--workers", type=int, default=16)
    cpu.add_argument("--rounds", type=int, default=1)
    ray_ = commands.add_parser("ray")
    ray_.add_argument("--rows", type=int, default=1000)
    args = parser.parse_args()
    if args.what == "resume":
        bench_resume(args.rows, args.workers)
    elif args.what == "cpu":
        bench_cpu(args.answers, args.chunks, args.workers, args.rounds)
    else:
        bench_ray(args.rows)


if __name__ == "__main__":
    os.environ.setdefault("QUORVEL_LLM_TIMEOUT", "120")
    main()
