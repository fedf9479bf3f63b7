"""The native coroutine that CythonFunctionTool.run returns, driven by hand and by asyncio.

The tool functions here return awaitables written to observe delegation: what
they are sent, what is thrown into them, whether they are closed.
"""
import asyncio
import collections.abc
import gc
import inspect
import types
import warnings
import weakref

import pytest
from pydantic import ValidationError

from quorvel.cython import CythonFunctionTool, get_cached_typeadapter


def make_tool(fn, name="t"):
    # Build the adapter here: pydantic's TypeAdapter snapshots the locals of
    # the nearest Python frame when it is made, and that snapshot would keep
    # the coroutines of the calling test alive for the lifetime tests.
    get_cached_typeadapter(fn)
    return CythonFunctionTool(name=name, fn=fn, parameters={"type": "object"})


def finish(coro, value=None):
    """Send until the coroutine returns; returns (yielded values, result)."""
    yielded = []
    try:
        while True:
            yielded.append(coro.send(value))
            value = None
    except StopIteration as stop:
        return yielded, stop.value


class Scripted:
    """An awaitable that yields `steps`, records what it is sent and thrown."""

    def __init__(self, steps=("a", "b"), handles=(), result="done"):
        self.steps, self.handles, self.result = steps, handles, result
        self.log = []

    def __await__(self):
        try:
            for step in self.steps:
                self.log.append(("sent", (yield step)))
        except self.handles as exc:
            self.log.append(("caught", type(exc).__name__))
            return f"recovered: {exc}"
        except GeneratorExit:
            self.log.append("closed")
            raise
        finally:
            self.log.append("finally")
        return self.result


@pytest.fixture
def scripted():
    awaitable = Scripted(handles=(ValueError,))
    return awaitable, make_tool(lambda: awaitable)


def text_of(tool_result):
    return tool_result.content[0].text


def test_is_a_coroutine_and_not_an_iterator(scripted):
    _, tool = scripted
    coro = tool.run({})
    assert isinstance(coro, collections.abc.Coroutine)
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    assert coro.__qualname__ == "CythonFunctionTool.run" and coro.__name__ == "run"
    with pytest.raises(TypeError, match="not an iterator"):
        next(coro)
    it = coro.__await__()
    assert it is not coro and iter(it) is it
    assert next(it) == "a"
    coro.close()


def test_send_is_forwarded_and_the_result_returned(scripted):
    awaitable, tool = scripted
    coro = tool.run({})
    assert coro.cr_await is None
    assert coro.send(None) == "a"
    assert inspect.isgenerator(coro.cr_await) and not coro.cr_running
    assert coro.send(1) == "b"
    with pytest.raises(StopIteration) as stop:
        coro.send(2)
    assert text_of(stop.value.value) == "done"
    assert awaitable.log == [("sent", 1), ("sent", 2), "finally"]
    assert coro.cr_await is None
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


def test_nothing_runs_before_the_first_send():
    calls = []

    def add(a: int) -> int:
        calls.append(a)
        return a

    coro = make_tool(add).run({"a": "not a number"})
    assert calls == []
    with pytest.raises(ValidationError):
        coro.send(None)
    assert calls == []


def test_first_send_must_be_none(scripted):
    _, tool = scripted
    coro = tool.run({})
    with pytest.raises(TypeError, match="can't send non-None value to a just-started coroutine"):
        coro.send(1)
    assert coro.send(None) == "a"  # still unstarted after the refusal
    coro.close()


@pytest.mark.parametrize(
    "throw_args, message",
    [
        ((ValueError,), ""),
        ((ValueError("boom"),), "boom"),
        ((ValueError, "boom"), "boom"),
        ((ValueError, ValueError("boom")), "boom"),
    ],
)
def test_throw_reaches_the_awaitable_which_may_recover(scripted, throw_args, message):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    with pytest.raises(StopIteration) as stop:
        coro.throw(*throw_args)
    assert text_of(stop.value.value) == f"recovered: {message}"
    assert ("caught", "ValueError") in awaitable.log


def test_unhandled_throw_ends_the_coroutine(scripted):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    with pytest.raises(KeyError, match="gone"):
        coro.throw(KeyError("gone"))
    assert awaitable.log == ["finally"]
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.throw(KeyError("again"))


def test_throw_into_an_unstarted_coroutine_runs_nothing():
    calls = []
    coro = make_tool(lambda: calls.append(1)).run({})
    with pytest.raises(KeyError):
        coro.throw(KeyError)
    assert calls == []
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


@pytest.mark.parametrize(
    "throw_args, message",
    [
        (("not an exception",), "exceptions must be classes or instances deriving from BaseException"),
        ((ValueError("x"), "value"), "instance exception may not have a separate value"),
        ((ValueError, None, "tb"), "third argument must be a traceback object"),
        ((), "throw expected at least 1 argument"),
    ],
)
def test_bad_throw_arguments_leave_the_coroutine_suspended(scripted, throw_args, message):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    with pytest.raises(TypeError, match=message):
        coro.throw(*throw_args)
    assert coro.send(None) == "b"
    coro.close()


def test_close_closes_the_awaitable(scripted):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    assert coro.close() is None
    assert awaitable.log == ["closed", "finally"]
    assert coro.cr_await is None
    assert coro.close() is None
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_throwing_generator_exit_closes_the_awaitable_and_propagates(scripted):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    with pytest.raises(GeneratorExit):
        coro.throw(GeneratorExit)
    assert awaitable.log == ["closed", "finally"]


def test_close_before_start_runs_nothing_and_does_not_warn():
    calls = []
    coro = make_tool(lambda: calls.append(1)).run({})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro.close()
        del coro
        gc.collect()
    assert calls == []


def test_reentry_while_running_is_refused():
    holder = {}

    class Reenter:
        def __await__(self):
            try:
                holder["coro"].send(None)
            except ValueError as exc:
                return str(exc)
            yield  # pragma: no cover - makes this a generator

    holder["coro"] = coro = make_tool(lambda: Reenter()).run({})
    _, result = finish(coro)
    assert text_of(result) == "coroutine already executing"


def test_stop_iteration_from_the_body_becomes_runtime_error():
    def leaks():
        raise StopIteration(3)

    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as info:
        make_tool(leaks).run({}).send(None)
    assert isinstance(info.value.__cause__, StopIteration)


def test_unawaited_coroutine_warns_once_dropped(scripted):
    _, tool = scripted
    coro = tool.run({})
    with pytest.warns(RuntimeWarning, match=r"coroutine 'CythonFunctionTool.run' was never awaited"):
        del coro
        gc.collect()


def test_dropping_a_suspended_coroutine_closes_its_awaitable(scripted):
    awaitable, tool = scripted
    coro = tool.run({})
    coro.send(None)
    del coro
    gc.collect()
    assert awaitable.log == ["closed", "finally"]


def test_reference_cycle_through_the_awaitable_is_collected():
    holder = {}

    class Cyclic:
        def __await__(self):
            self.coro = holder.pop("coro")  # the awaitable keeps its awaiter alive
            yield "x"

    coro = make_tool(lambda: Cyclic()).run({})
    holder["coro"] = coro
    coro.send(None)
    ref = weakref.ref(coro)
    del coro
    gc.collect()
    assert ref() is None


class AwaitReturnsInt:
    def __await__(self):
        return 5


class AwaitReturnsCoroutine:
    def __await__(self):
        return asyncio.sleep(0)


@pytest.mark.parametrize(
    "awaitable, message",
    [
        (AwaitReturnsInt, r"__await__\(\) returned non-iterator of type 'int'"),
        (AwaitReturnsCoroutine, r"__await__\(\) returned a coroutine"),
    ],
)
def test_bad_await_protocol_is_refused(awaitable, message):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the refused asyncio.sleep coroutine
        with pytest.raises(TypeError, match=message):
            make_tool(lambda: awaitable()).run({}).send(None)


@types.coroutine
def generator_based(value):
    received = yield "tick"
    return {"value": value, "received": received}


async def native_python(value):
    received = await generator_based(value)
    return received


@pytest.mark.parametrize("kind", ["generator-based coroutine", "python coroutine"])
def test_delegates_to_other_coroutine_kinds(kind):
    fn = {"generator-based coroutine": generator_based, "python coroutine": native_python}[kind]
    tool = make_tool(lambda: fn(7))
    coro = tool.run({})
    assert coro.send(None) == "tick"
    with pytest.raises(StopIteration) as stop:
        coro.send("pong")
    assert stop.value.value.structured_content == {"value": 7, "received": "pong"}


def test_delegates_to_a_cython_coroutine(compiled):
    _, result = finish(make_tool(compiled.fetch).run({"n": 4}))
    assert result.structured_content == {"n": 4, "double": 8}


async def test_concurrent_runs_keep_their_own_state():
    async def slow(n: int) -> dict:
        await asyncio.sleep(0.002 * (5 - n))
        return {"n": n}

    tool = CythonFunctionTool.from_function(slow)
    results = await asyncio.gather(*(tool.run({"n": n}) for n in range(5)))
    assert [r.structured_content for r in results] == [{"n": n} for n in range(5)]


async def test_task_cancellation_reaches_the_tool_function():
    log = []

    async def waits(n: int) -> int:
        try:
            await asyncio.sleep(10)
        finally:
            log.append("finally")
        return n  # pragma: no cover

    task = asyncio.create_task(CythonFunctionTool.from_function(waits).run({"n": 1}))
    await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert log == ["finally"]
