"""The first try of an exchange made natively gives exactly what
_transport.send gives: the same records, history, usage figures, registry of
calls in flight, stops and interrupts, whatever the try's outcome."""

from __future__ import annotations

import functools
import threading

import pytest
import requests

import quorvel
import quorvel._inflight as inflight
import quorvel._stoppable as stoppable
import quorvel._transport as transport
from exchange_support import history, isolated_config, settings, streamed, waits, whole  # noqa: F401
from quorvel import modal
from quorvel.modal import LLModal
from quorvel.testing import response_from_bytes, role_chunk, text_chunk
from quorvel.usage import last_usage
from test_fast_paths import decisions

URL = "http://first-try.invalid/v1/chat/completions"


class NotAPlainResponse(requests.Response):
    pass


def answer(text="hi"):
    return whole({"role": "assistant", "content": text})


def cancelled_then(outcome):
    def post(model):
        quorvel.cancel(model)
        return outcome(model)

    return post


def raising(exc):
    def post(model):
        raise exc

    return post


def status(code):
    def post(model):
        response = response_from_bytes(b'{"error": {"message": "busy"}}')
        response.status_code = code
        return response

    return post


def not_plain(model):
    response = NotAPlainResponse()
    plain = answer("subclassed")
    response.__dict__.update(plain.__dict__)
    return response


# Each outcome: what the replaced requests.post does on its first call (later
# calls answer), and whether the model streams.
OUTCOMES = {
    "answered": (lambda model: answer(), False),
    "streamed": (lambda model: streamed(role_chunk(), text_chunk("so"), text_chunk(" streamed")), True),
    "cancelled while posting": (cancelled_then(lambda model: answer()), False),
    "cancelled, then an error": (cancelled_then(raising(requests.ConnectionError("gone"))), False),
    "cancelled while streaming": (cancelled_then(lambda model: streamed(text_chunk("x"))), True),
    "connection error, then retried": (raising(requests.ConnectionError("refused")), False),
    "status 503, then retried": (status(503), False),
    "status 400": (status(400), False),
    "not a plain response": (not_plain, False),
    "interrupted": (raising(KeyboardInterrupt()), False),
    "failing post": (raising(ValueError("bad post")), True),
}


def run(monkeypatch, outcome, stream, native):
    calls = []

    def post(url, headers=None, json=None, stream=False):
        calls.append(json)
        return outcome(model) if len(calls) == 1 else answer("after a retry")

    monkeypatch.setattr(requests, "post", post)
    if not native:
        # The same function under another name: send runs its own steps.
        monkeypatch.setattr(transport, "_through", functools.partial(transport._through))
    transport._sessions.interrupted = False
    model = LLModal(endpoint_url=URL, extra_body={"stream": True} if stream else {})
    with decisions(modal, "native_send") as seen:
        try:
            result = model.invoke("question")
            got = [r.content for r in result] if stream else (result.content, str(result.status))
        except BaseException as exc:  # noqa: BLE001  the interrupt is one of the outcomes
            got = (type(exc).__name__, str(exc))
    entry = inflight._open.get(id(model))
    return seen, {
        "result": got,
        "history": history(model),
        "posts": len(calls),
        "sent": calls[0],
        "usage": (last_usage(model).requests, last_usage(model).exchanges),
        "closers left": dict(entry[1]) if entry else {},
        "current exchange": stoppable._current.exchange,
        "interrupted": transport._sessions.interrupted,
    }


@pytest.mark.parametrize("name", list(OUTCOMES))
def test_the_native_first_try_gives_what_send_gives(monkeypatch, settings, waits, capsys, name):  # noqa: F811
    settings(max_retries=1)
    outcome, stream = OUTCOMES[name]
    seen_native, native = run(monkeypatch, outcome, stream, native=True)
    printed_native = capsys.readouterr().out
    seen_python, python = run(monkeypatch, outcome, stream, native=False)
    assert native == python
    assert printed_native == capsys.readouterr().out
    assert seen_python["taken"] == 0
    if seen_native["on"]:
        assert seen_native["taken"] >= 1
    # Nothing is left registered, and the thread posts nothing any more.
    assert native["closers left"] == {} and native["current exchange"] is None


def test_what_the_outcomes_are(monkeypatch, settings, waits):  # noqa: F811
    # The comparison above holds for the right reasons.
    settings(max_retries=1)
    outcomes = {name: run(monkeypatch, *OUTCOMES[name], native=True)[1] for name in OUTCOMES}
    assert outcomes["answered"]["result"][0] == "hi"
    assert outcomes["answered"]["usage"] == (1, 1)
    assert outcomes["cancelled while posting"]["result"][0] == ""
    assert outcomes["cancelled while posting"]["history"] == [("user", "question")]
    assert outcomes["cancelled, then an error"]["posts"] == 1
    assert outcomes["connection error, then retried"]["usage"] == (2, 1)
    assert outcomes["connection error, then retried"]["result"][0] == "after a retry"
    assert outcomes["status 503, then retried"]["posts"] == 2
    assert outcomes["status 400"]["result"][0] == "ServerError"
    assert outcomes["not a plain response"]["result"][0] == "subclassed"
    assert outcomes["interrupted"]["result"][0] == "KeyboardInterrupt"
    assert outcomes["interrupted"]["interrupted"] is True
    assert outcomes["answered"]["interrupted"] is False
    assert "".join(outcomes["streamed"]["result"]) == "so streamed"
    assert outcomes["streamed"]["sent"]["stream"] is True


def _counting(calls, function):
    @functools.wraps(function)
    def counted(*args, **kwargs):
        calls.append(function.__name__)
        return function(*args, **kwargs)

    return counted


@pytest.mark.parametrize(
    "owner, name",
    [
        (transport, "send"),
        (transport, "_send"),
        (transport, "_tries"),
        (transport, "_exchange_settings"),
        (stoppable.Exchange, "end"),
        (stoppable.Exchange, "__init__"),
        (inflight, "track"),
        (inflight, "untrack"),
    ],
)
def test_a_replaced_step_is_called(monkeypatch, owner, name):
    calls: list[str] = []
    monkeypatch.setattr(owner, name, _counting(calls, getattr(owner, name)))
    monkeypatch.setattr(requests, "post", lambda url, headers=None, json=None, stream=False: answer())
    model = LLModal(endpoint_url=URL)
    with decisions(modal, "native_send") as seen:
        assert model.invoke("question").content == "hi"
    assert calls and seen["taken"] == 0


@pytest.mark.parametrize("stream", [False, True])
def test_a_cancel_from_another_thread_reaches_the_native_exchange(capsys, stream):
    # Over a real connection of the pool: the Exchange opened natively is the
    # one the pool's connection attaches to, so the stop shuts its socket.
    from aio_support import SilentServer

    with SilentServer(stream=stream, headers=False) as silent:
        model = LLModal(endpoint_url=silent.url, extra_body={"stream": True} if stream else {})
        timer = threading.Timer(0.3, quorvel.cancel, (model,))
        timer.start()
        with decisions(modal, "native_send") as seen:
            result = model.invoke("Hi")
            result = list(result) if stream else result
        timer.join()
        assert result == ([] if stream else modal.LLMResult())
        assert silent.wait_eof() and silent.accepted == 1
    assert seen["taken"] == (1 if seen["on"] else 0)
    assert capsys.readouterr().out == "" and history(model) == [("user", "Hi")]
    assert dict(inflight._open[id(model)][1]) == {} and stoppable._current.exchange is None


def test_a_step_restored_is_taken_natively_again(monkeypatch):
    monkeypatch.setattr(requests, "post", lambda url, headers=None, json=None, stream=False: answer())
    model = LLModal(endpoint_url=URL)
    with monkeypatch.context() as patch:
        patch.setattr(stoppable.Exchange, "end", _counting([], stoppable.Exchange.end))
        with decisions(modal, "native_send") as patched:
            model.invoke("question")
    with decisions(modal, "native_send") as restored:
        assert model.invoke("question").content == "hi"
    assert patched["taken"] == 0
    assert restored["taken"] == (1 if restored["on"] else 0)
