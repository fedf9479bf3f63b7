"""What the fast JSON path hands to orjson is owned by Python.

On 3.11 the collector runs inside allocations, orjson's among them, so gc
callbacks and finalizers run while orjson holds its argument, and anything
they can reach (gc.get_objects()) they can keep.  A view of a native buffer
kept that way would point into memory freed once the line is done.
"""

from __future__ import annotations

import gc
import json

import pytest

from exchange_support import isolated_config  # noqa: F401
from quorvel.message import MessageRole
from quorvel.modal import LLModal
from quorvel.testing import response_from_bytes, sse_body, text_chunk


@pytest.fixture
def keeper():
    """A gc callback keeping every memoryview of the youngest generation, with
    the collector running at nearly every allocation of a container."""
    kept: list[memoryview] = []
    runs = [0]

    def keep(phase, info):
        if phase == "start":
            runs[0] += 1
            kept.extend(obj for obj in gc.get_objects(generation=0) if type(obj) is memoryview)

    threshold = gc.get_threshold()
    gc.callbacks.append(keep)
    gc.set_threshold(3, *threshold[1:])
    try:
        yield kept, runs
    finally:
        gc.callbacks.remove(keep)
        gc.set_threshold(*threshold)


def owns_its_memory(view: memoryview) -> bool:
    try:
        view.tobytes()
    except ValueError:  # released: it reaches nothing any more
        return True
    return view.obj is not None  # kept alive by its exporter


def test_nothing_kept_during_decoding_points_into_freed_memory(keeper):
    kept, runs = keeper
    # Short lines decoded where they lie in the block, and a line longer than
    # a block, assembled in a buffer of its own.  Each carries more objects
    # than the interpreter keeps ready for reuse, so that orjson allocates
    # new ones (and the collector runs) while it reads the line.
    many = [{"k": i} for i in range(300)]
    chunks = [text_chunk(f"part {i} ") for i in range(50)] + [text_chunk("x" * 200_000)]
    for chunk in chunks:
        chunk["many"] = many
    model = LLModal()
    model.add_message(role=MessageRole.user, content="q")
    records = list(model._stream_response(response_from_bytes(sse_body(chunks + [text_chunk("", finish_reason="stop")]))))
    document = {"choices": [{"message": {"role": "assistant", "content": "whole"}}]}
    whole = model._response(response_from_bytes(json.dumps(document).encode()))
    gc.collect()

    assert len(records) == 51 and whole.content == "whole"
    assert runs[0] > 100  # the collector did run, again and again, while decoding
    assert all(owns_its_memory(view) for view in kept)
