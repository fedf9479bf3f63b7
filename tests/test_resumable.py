"""The native generator and the native coroutine share one resumable core:
an inner iterator sees throw() and close() the same way from both, and the
PEP 479 guard and the never-started rules agree."""
import sys

import pytest

from quorvel.cython import CythonFunctionTool, get_cached_typeadapter
from quorvel.message import Message
from quorvel.modal import LLModal
from quorvel.testing import finish_chunk, response_from_bytes, sse_body, tool_call_chunk


class Inner:
    """An iterator that records how throw() reaches it; close() is found
    through __getattr__, as for any attribute."""

    def __init__(self):
        self.thrown, self.closed = [], False

    def __iter__(self):
        return self

    def __next__(self):
        return "step"

    def send(self, value):
        return "step"

    def throw(self, *args):
        self.thrown.append(args)
        return "recovered"

    def __getattr__(self, name):
        if name == "close":
            return self._close
        raise AttributeError(name)

    def _close(self):
        self.closed = True


class InnerAwaitable:
    def __init__(self, inner):
        self.inner = inner

    def __await__(self):
        return self.inner


def coroutine_over(inner):
    def tool_fn():
        return InnerAwaitable(inner)

    get_cached_typeadapter(tool_fn)
    return CythonFunctionTool(name="t", fn=tool_fn, parameters={"type": "object"}).run({})


class Delegating(LLModal):
    """A stream whose follow-up exchange is the given iterator."""

    def _tool_calls(self):
        return []

    def _core_call(self):
        return type(self).inner


def generator_over(inner):
    Delegating.inner = inner
    model = Delegating(messages=[Message(role="user", contents=["q"])], tool_calls_limit=5)
    body = sse_body([tool_call_chunk(0, "c1", "f", "{}"), finish_chunk("tool_calls")])
    gen = model._stream_response(response_from_bytes(body))
    while True:  # up to the delegation: the first value the inner iterator gives
        if next(gen) == "step":
            return gen


@pytest.mark.parametrize("make", [coroutine_over, generator_over], ids=["coroutine", "generator"])
def test_throw_reaches_the_inner_iterator_in_the_interpreters_form(make):
    inner = Inner()
    outer = make(inner)
    if make is coroutine_over:
        assert outer.send(None) == "step"
    error = KeyError("k")
    assert outer.throw(error) == "recovered"
    (args,) = inner.thrown
    if sys.version_info >= (3, 12):
        assert args == (error,)
    else:
        assert args[:2] == (KeyError, error)
    outer.close()
    assert inner.closed


@pytest.mark.parametrize("make", [coroutine_over, generator_over], ids=["coroutine", "generator"])
def test_close_reaches_the_inner_iterator_through_attribute_lookup(make):
    inner = Inner()
    outer = make(inner)
    if make is coroutine_over:
        outer.send(None)
    outer.close()
    assert inner.closed
    outer.close()  # closing again is a no-op


def test_stop_iteration_thrown_into_a_fresh_one_is_guarded_alike():
    inner = Inner()
    coro = coroutine_over(inner)
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration"):
        coro.throw(StopIteration("x"))
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    gen = model._stream_response(response_from_bytes(sse_body([finish_chunk("stop")])))
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        gen.throw(StopIteration("x"))
