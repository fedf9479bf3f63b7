"""The native generator returned by LLModal._stream_response follows the
generator protocol: laziness, send/throw/close, delegation, collection."""

from __future__ import annotations

import collections.abc
import gc
import inspect
import weakref

import pytest

from exchange_support import FALLBACK, chunk, history, isolated_config, printed, streamed  # noqa: F401
from quorvel.message import MessageRole
from quorvel.modal import LLModal, LLMStatus


def reason(text):
    return chunk({"reasoning_content": text})


def answer(text):
    return chunk({"content": text})


def call_fragment(index, id=None, name=None, arguments=""):
    call = {"index": index, "function": {"arguments": arguments}}
    if id:
        call.update(id=id, type="function")
        call["function"]["name"] = name
    return call


def started(model, *items, records=1):
    """A generator over `items`, advanced by `records` records."""
    gen = model._stream_response(streamed(*items))
    for _ in range(records):
        next(gen)
    return gen


@pytest.fixture
def model():
    m = LLModal()
    m.add_message(role=MessageRole.user, content="q")
    return m


def test_generator_identity():
    gen = LLModal()._stream_response(streamed(answer("a")))
    assert inspect.isgeneratorfunction(LLModal._stream_response)
    assert not inspect.isgeneratorfunction(LLModal._response)
    assert isinstance(gen, collections.abc.Generator)
    assert iter(gen) is gen
    assert gen.__name__ == "_stream_response"
    assert "LLModal._stream_response" in repr(gen)
    gen.close()


def test_nothing_runs_at_creation(model):
    response = streamed(answer("a"))
    calls = []
    original = response.iter_lines
    response.iter_lines = lambda *a, **k: calls.append(a) or original(*a, **k)
    gen = model._stream_response(response)
    assert calls == [] and history(model) == [("user", "q")]
    assert next(gen).content == "a"
    assert calls == [()]


def test_send(model):
    gen = model._stream_response(streamed(answer("a"), answer("b")))
    with pytest.raises(TypeError, match="just-started"):
        gen.send(1)
    # the refused send left the generator fresh
    assert gen.send(None).content == "a"
    assert gen.send("ignored").content == "b"
    with pytest.raises(StopIteration) as stop:
        gen.send(None)
    assert stop.value.value is None


def test_finished_generator(model, capsys):
    gen = started(model, answer("a"))
    assert list(gen) == []
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(StopIteration):
        gen.send(None)
    late = ValueError("late")
    with pytest.raises(ValueError) as raised:
        gen.throw(late)
    assert raised.value is late
    assert printed(capsys) == []
    assert gen.close() is None


def test_throw_into_fresh_generator_runs_nothing(model, capsys):
    gen = model._stream_response(streamed(answer("a")))
    with pytest.raises(KeyError):
        gen.throw(KeyError("k"))
    assert printed(capsys) == [] and history(model) == [("user", "q")]
    with pytest.raises(StopIteration):
        next(gen)


@pytest.mark.parametrize(
    "args, text",
    [
        ((ValueError("boom"),), "boom"),
        ((ValueError, "boom"), "boom"),
        ((ValueError, ValueError("boom")), "boom"),
        ((ValueError, None, None), ""),
    ],
)
def test_throw_forms_take_the_failure_path(model, capsys, args, text):
    gen = started(model, reason("r"), answer("never"))
    with pytest.raises(ValueError) as raised:
        gen.throw(*args)
    assert str(raised.value) == text
    if isinstance(args[0], BaseException):
        assert raised.value is args[0]
    assert printed(capsys) == [f"Error parsing LLM response: {text}"]
    assert history(model) == [("user", "q"), ("assistant", FALLBACK)]
    with pytest.raises(StopIteration):
        next(gen)


@pytest.mark.parametrize(
    "args, message",
    [
        ((), "at least 1 argument"),
        ((ValueError, None, None, None), "at most 3 arguments"),
        ((ValueError("x"), "value"), "instance exception may not have a separate value"),
        ((1,), "exceptions must be classes or instances deriving from BaseException"),
        ((ValueError, None, 5), "third argument must be a traceback"),
    ],
)
def test_malformed_throw_leaves_the_generator_running(model, capsys, args, message):
    gen = started(model, answer("a"), answer("b"))
    with pytest.raises(TypeError, match=message):
        gen.throw(*args)
    assert next(gen).content == "b"
    assert printed(capsys) == []


def test_throw_keeps_traceback(model):
    gen = started(model, answer("a"), answer("b"))
    try:
        raise KeyError("k")
    except KeyError as exc:
        tb = exc.__traceback__
        with pytest.raises(KeyError) as raised:
            gen.throw(KeyError, exc, tb)
    assert raised.value.__traceback__ is not None
    frames = []
    t = raised.value.__traceback__
    while t:
        frames.append(t.tb_frame.f_code.co_name)
        t = t.tb_next
    assert "test_throw_keeps_traceback" in frames


@pytest.mark.parametrize("first, fallback_added", [(reason("r"), True), (answer("a"), False)])
def test_thrown_exception_records_fallback_only_without_answer_text(model, capsys, first, fallback_added):
    tool = chunk({"tool_calls": [call_fragment(0, "c1", "add", '{"a": 1')]})
    gen = started(model, tool, first, answer("later"))
    assert len(model.tool_calls) == 1
    model._tool_calls_count = 2
    with pytest.raises(ZeroDivisionError):
        gen.throw(ZeroDivisionError("z"))
    assert printed(capsys) == ["Error parsing LLM response: z"]
    assert model.tool_calls == [] and model._tool_calls_count == 0
    assert (history(model)[-1] == ("assistant", FALLBACK)) is fallback_added


@pytest.mark.parametrize("stop", ["close", "drop", "interrupt"])
def test_abandoned_stream_runs_no_failure_path_and_discards_its_calls(model, capsys, stop):
    tool = chunk({"tool_calls": [call_fragment(0, "c1", "add", "{}")]})
    gen = started(model, tool, answer("a"), answer("b"), records=1)
    model._tool_calls_count = 2
    calls = model.tool_calls
    if stop == "close":
        assert gen.close() is None
        assert gen.close() is None
        with pytest.raises(StopIteration):
            next(gen)
    elif stop == "drop":
        ref = weakref.ref(gen)
        del gen
        gc.collect()
        assert ref() is None
    else:
        with pytest.raises(KeyboardInterrupt):
            gen.throw(KeyboardInterrupt)
    assert printed(capsys) == []
    # The calls it collected never run later: the per-call state is reset
    # (a new list is bound; the old one keeps its content).
    assert model.tool_calls == [] and model.tool_calls is not calls and len(calls) == 1
    assert model._tool_calls_count == 0
    assert history(model) == [("user", "q"), ("assistant", "a")]


def test_stop_iteration_thrown_in_becomes_runtime_error(model, capsys):
    gen = started(model, answer("a"), answer("b"))
    with pytest.raises(RuntimeError, match="generator raised StopIteration") as raised:
        gen.throw(StopIteration("s"))
    assert isinstance(raised.value.__cause__, StopIteration)
    assert printed(capsys) == ["Error parsing LLM response: s"]


def test_reentrant_next_is_refused():
    holder = []

    class Reentrant(LLModal):
        def _message_process(self, message):
            next(holder[0])

    model = Reentrant()
    holder.append(model._stream_response(streamed(answer("a"))))
    with pytest.raises(ValueError, match="generator already executing"):
        next(holder[0])
    holder.clear()


def test_collected_in_a_reference_cycle(model):
    response = streamed(answer("a"), answer("b"))
    gen = model._stream_response(response)
    response.cycle = gen
    next(gen)
    ref = weakref.ref(gen)
    del gen, response
    gc.collect()
    assert ref() is None


def test_yield_from_native_generator(model):
    def outer(gen):
        result = yield from gen
        return ("returned", result)

    wrapper = outer(model._stream_response(streamed(answer("a"), answer("b"))))
    assert next(wrapper).content == "a"
    assert wrapper.send("through").content == "b"
    with pytest.raises(StopIteration) as stop:
        next(wrapper)
    assert stop.value.value == ("returned", None)


# ---- delegation to the follow-up stream -------------------------------------------

class Delegating(LLModal):
    """A model whose follow-up exchange is a scripted iterator."""

    follow_up: object = None

    def _core_call(self):
        return self.follow_up


def delegating(follow_up, *tools):
    from quorvel.tools import Tools

    def add(a: int, b: int) -> int:
        """Add."""
        return a + b

    model = Delegating(follow_up=follow_up, tools=Tools(add))
    model.add_message(role=MessageRole.user, content="q")
    gen = model._stream_response(streamed(chunk({"tool_calls": [call_fragment(0, "c1", "add", '{"a":1,"b":2}')]})))
    assert [next(gen).status, next(gen).status] == [LLMStatus.tool_calls, LLMStatus.tool_results]
    return model, gen


def test_delegation_forwards_send_throw_and_close():
    log = []

    def follow_up():
        try:
            log.append(("sent", (yield "first")))
            try:
                yield "second"
            except KeyError as exc:
                log.append(("caught", exc.args[0]))
                yield "recovered"
            yield "last"
        finally:
            log.append("closed")

    model, gen = delegating(follow_up())
    assert next(gen) == "first"
    assert gen.gi_yieldfrom is not None
    assert gen.send("hello") == "second"
    assert gen.throw(KeyError("k")) == "recovered"
    model._tool_calls_count = 5
    gen.close()
    assert log == [("sent", "hello"), ("caught", "k"), "closed"]
    assert model._tool_calls_count == 0  # closing discards the per-call state


def test_delegation_end_resets_and_failure_is_handled_once(capsys):
    def ends():
        yield "only"

    model, gen = delegating(ends())
    assert list(gen) == ["only"]
    assert model._tool_calls_count == 0

    def fails():
        yield "only"
        raise KeyError("inner")

    model, gen = delegating(fails())
    assert next(gen) == "only"
    with pytest.raises(KeyError):
        next(gen)
    assert printed(capsys) == ["Error parsing LLM response: 'inner'"]
    assert history(model)[-1] == ("assistant", FALLBACK)
    assert model._tool_calls_count == 0


@pytest.mark.parametrize("kind", ["throw", "close"])
def test_delegation_to_plain_iterator(capsys, kind):
    model, gen = delegating(iter(["x", "y"]))
    assert next(gen) == "x"
    if kind == "throw":
        # a plain iterator has no throw(): raised at the delegating point
        with pytest.raises(KeyError):
            gen.throw(KeyError("k"))
        assert printed(capsys) == ["Error parsing LLM response: 'k'"]
    else:
        gen.close()
        assert printed(capsys) == []
    with pytest.raises(StopIteration):
        next(gen)
