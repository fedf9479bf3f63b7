"""The usage hooks that the call driver runs natively: the same figures as
the Python hooks for every usage object, the Python hooks whenever a
collector is open or a hook is replaced, and no update lost to a thread that
holds the table's lock."""

from __future__ import annotations

import threading

import pytest

import quorvel.usage as usage_module
from exchange_support import isolated_config, server, whole  # noqa: F401
from quorvel import modal
from quorvel.message import Message
from quorvel.modal import LLModal
from quorvel.testing import Reply, usage_object
from quorvel.usage import Usage, collect, last_usage, usage
from test_fast_paths import assert_bypassed, assert_taken, decisions

USAGE_OBJECTS = [
    None,
    {"prompt_tokens": 12, "completion_tokens": 3, "total_tokens": 15},
    {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0},
    {"prompt_tokens": 2**70, "completion_tokens": 1, "total_tokens": 2**70 + 1},
    # About where the sums leave C integers for Python's.
    {"prompt_tokens": 2**61 - 1, "completion_tokens": 2**61, "total_tokens": 2**62 - 1},
    {"prompt_tokens": 2**62, "completion_tokens": 2**62, "total_tokens": 2**63},
    {"prompt_tokens": 9, "completion_tokens": 1, "total_tokens": 10, "prompt_tokens_details": None},
    {"prompt_tokens": 9, "completion_tokens": 1, "total_tokens": 10, "prompt_tokens_details": {"cached_tokens": 4}},
    {"prompt_tokens": 9, "completion_tokens": 4, "total_tokens": 13,
     "completion_tokens_details": {"reasoning_tokens": 2}},
    {"prompt_tokens": -1, "completion_tokens": 1, "total_tokens": 0},
    {"prompt_tokens": True, "completion_tokens": 1, "total_tokens": 2},
    {"prompt_tokens": 1.0, "completion_tokens": 1, "total_tokens": 2},
    {"prompt_tokens": 5, "total_tokens": 5},
    "12 tokens",
    [],
]


def answer(figures):
    document = {"choices": [{"index": 0, "message": {"role": "assistant", "content": "hi"}, "finish_reason": "stop"}]}
    if figures is not None:
        document["usage"] = figures
    return whole(**document)


def decoded_twice(figures):
    """The figures of a model after two answers carrying `figures`."""
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    usage_module._begin_call(model)  # the model has its figures, as inside a call
    for _ in range(2):
        model._response(answer(figures))
    return model


@pytest.mark.parametrize("figures", USAGE_OBJECTS, ids=repr)
def test_native_and_python_hooks_give_the_same_figures(figures):
    native = decoded_twice(figures)
    with collect() as spent:  # an open collector sends every exchange through the Python hook
        python = decoded_twice(figures)
    assert last_usage(native) == last_usage(python) == usage(native)
    assert last_usage(native).exchanges == 2
    assert spent.usage == last_usage(python)


def test_plain_answers_take_the_native_hook_and_collectors_the_python_one():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    usage_module._begin_call(model)
    with decisions(modal, "native_usage") as plain:
        model._response(answer({"prompt_tokens": 1, "completion_tokens": 1, "total_tokens": 2}))
    assert_taken(plain)
    with collect(), decisions(modal, "native_usage") as collected:
        model._response(answer(None))
    assert_bypassed(collected)
    assert last_usage(model) == Usage(input_tokens=1, output_tokens=1, total_tokens=2, exchanges=2)


@pytest.mark.parametrize("hook", ["_record_exchange", "_begin_call"])
def test_a_replaced_hook_is_called(server, monkeypatch, hook):
    seen = []
    original = getattr(usage_module, hook)

    def replaced(model, *args):
        seen.append(args)
        return original(model, *args)

    monkeypatch.setattr(usage_module, hook, replaced)
    server.add(Reply.text("hi", usage=usage_object(3, 2)))
    model = LLModal(endpoint_url=server.url)
    with decisions(modal, "native_usage") as seen_paths:
        assert model.invoke("go").content == "hi"
    assert len(seen) == 1
    # The replaced hook is bypassed; the other one is still the module's own.
    assert seen_paths["bypassed"] == (1 if seen_paths["on"] else 2), seen_paths
    assert last_usage(model) == Usage(input_tokens=3, output_tokens=2, total_tokens=5, requests=1, exchanges=1)


def test_calls_fold_into_the_total_whether_or_not_tokens_were_reported(server):
    model = LLModal(endpoint_url=server.url)
    replies = [Reply.text("a"), Reply.text("b", usage=usage_object(4, 1)), Reply.text("c"), Reply.text("d")]
    for reply in replies:
        server.add(reply)
    for prompt in "abcd":
        model.invoke(prompt)
    assert last_usage(model) == Usage(requests=1, exchanges=1)
    assert usage(model) == Usage(input_tokens=4, output_tokens=1, total_tokens=5, requests=4, exchanges=4)


def test_an_exchange_waits_for_a_lock_held_elsewhere():
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    usage_module._begin_call(model)
    done = threading.Event()

    def decode():
        model._response(answer({"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}))
        done.set()

    with usage_module._lock:
        worker = threading.Thread(target=decode)
        worker.start()
        assert not done.wait(0.3)  # the update waits rather than writing past the lock
        assert last_usage(model).exchanges == 0
    worker.join(10)
    assert done.is_set()
    assert last_usage(model) == Usage(input_tokens=1, output_tokens=2, total_tokens=3, exchanges=1)
