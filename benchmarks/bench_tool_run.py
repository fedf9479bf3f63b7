"""Tool `run` per call: CythonFunctionTool against fastmcp's own FunctionTool.

Both tools wrap the same small functions (one synchronous, one asynchronous)
and are awaited the way a FastMCP server awaits them, `await tool.run(args)`,
in one event loop, interleaved round by round (alternating which goes
first) so that both see the same machine state.  Each round gives one ratio
(quorvel time / fastmcp time; below 1.0 means quorvel is faster); the median
of the rounds' ratios is printed, with the spread between the quartiles,
never bare times.

    PYTHONPATH=src python benchmarks/bench_tool_run.py [--calls N] [--rounds R]
"""
import argparse
import asyncio
import gc
import statistics
import time
import warnings

warnings.filterwarnings("ignore", category=DeprecationWarning)

from fastmcp.tools import FunctionTool  # noqa: E402

from quorvel.cython import CythonFunctionTool  # noqa: E402


def add(a: int, b: int = 2) -> int:
    return a + b


async def lookup(city: str, days: int = 3) -> dict:
    return {"city": city, "days": days}


# quorvel's time per run at most this share of fastmcp's, sync and async.
TARGET = 0.7

CASES = [
    ("sync  add(a, b) -> int", add, {"a": 1, "b": 2}),
    ("async lookup(city, days) -> dict", lookup, {"city": "Oslo", "days": 4}),
]


async def time_calls(tool, arguments, calls):
    run = tool.run
    gc.collect()
    # The thread's CPU clock: the machine may be shared.
    start = time.thread_time()
    for _ in range(calls):
        await run(arguments)
    return time.thread_time() - start


async def compare(fn, arguments, calls, rounds):
    ours = CythonFunctionTool.from_function(fn)
    theirs = FunctionTool.from_function(fn)
    # Same answers first: a faster wrong tool is no result.
    a, b = await ours.run(arguments), await theirs.run(arguments)
    assert a.content == b.content and a.structured_content == b.structured_content
    await time_calls(ours, arguments, calls // 10)
    await time_calls(theirs, arguments, calls // 10)
    ratios = []
    for i in range(rounds):
        if i % 2:
            theirs_time = await time_calls(theirs, arguments, calls)
            ours_time = await time_calls(ours, arguments, calls)
        else:
            ours_time = await time_calls(ours, arguments, calls)
            theirs_time = await time_calls(theirs, arguments, calls)
        ratios.append(ours_time / theirs_time)
    return ratios


async def main(calls, rounds):
    print(f"5. tool run per call, quorvel / fastmcp {__import__('fastmcp').__version__} "
          f"(median of {rounds} interleaved rounds of {calls} calls)")
    for label, fn, arguments in CASES:
        ratios = await compare(fn, arguments, calls, rounds)
        low, _, high = statistics.quantiles(ratios, n=4)
        median = statistics.median(ratios)
        verdict = "ok" if median <= TARGET else "MISSED"
        print(f"  {label:34s} ratio {median:.2f}   (quartiles {low:.2f} to {high:.2f}; target <= {TARGET})  {verdict}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=41)
    args = parser.parse_args()
    asyncio.run(main(args.calls, args.rounds))
