"""What a native module keeps between calls is owned by its module state:
the collector sees it through the module, and the runtime's types keep their
module alive for as long as any of their objects can run."""
import gc

import pytest

from quorvel import cython as qc
from quorvel import message as qm
from quorvel import modal


@pytest.mark.parametrize(
    ("module", "kept"),
    [
        (qm, ["role", "contents", "ensure_ascii"]),
        (modal, ["_message_process", "LLM request error: ", "choices"]),
        (qc, ["find_kwarg_by_type", "validate_python"]),
    ],
)
def test_interned_names_are_held_by_the_module_state(module, kept):
    held = [obj for obj in gc.get_referents(module) if isinstance(obj, str)]
    for text in kept:
        assert text in held


@pytest.mark.parametrize("module", [qm, modal, qc])
def test_runtime_types_belong_to_their_module(module):
    function_type = type(module._fast_paths)
    assert repr(function_type) == f"<class '{module.__name__}.native_function'>"
    assert function_type in gc.get_referents(module)
    assert module in gc.get_referents(function_type)


def test_start_up_snapshots_and_keyword_tuples_are_held_by_the_state():
    from fastmcp.utilities.types import find_kwarg_by_type
    from pydantic import TypeAdapter

    from quorvel.message import Message
    from quorvel.modal import LLModal
    from quorvel.testing import finish_chunk, response_from_bytes, sse_body, text_chunk

    qc.CythonFunctionTool  # noqa: B018  (loads the tool layer, which takes its snapshots)
    referents = gc.get_referents(qc)
    assert any(obj is find_kwarg_by_type for obj in referents)
    assert any(obj is TypeAdapter for obj in referents)
    model = LLModal(messages=[Message(role="user", contents=["q"])])
    list(model._stream_response(response_from_bytes(sse_body([text_chunk("a"), finish_chunk("stop")]))))
    assert ("role", "content") in [obj for obj in gc.get_referents(modal) if isinstance(obj, tuple)]


def test_generator_and_coroutine_types_belong_to_their_module():
    from quorvel.message import Message
    from quorvel.modal import LLModal
    from quorvel.testing import finish_chunk, response_from_bytes, sse_body

    model = LLModal(messages=[Message(role="user", contents=["q"])])
    stream = model._stream_response(response_from_bytes(sse_body([finish_chunk("stop")])))
    assert type(stream).__module__ == "quorvel.modal"
    assert modal in gc.get_referents(type(stream))
    stream.close()
