"""Shared pieces of the property-based tests: strategies for server answers
with odd types in every slot, in-memory responses that hand their body out in
given pieces, and checks of the invariants every call keeps.

The checks state what the call contract promises (which exceptions may leave
a call, what the history holds afterwards, that the per-call state is reset),
not how today's decoders get there, so they keep holding when the decoders
learn new reply shapes.
"""

from __future__ import annotations

import contextlib
import io
import json
from typing import Any, Iterable

from hypothesis import strategies as st

from quorvel.modal import LLModal
from quorvel.testing import response_from_bytes

FALLBACK = "The server is busy. Please try again later."

# What a call may raise for a bad answer: the decoders' own errors (a body
# that is not JSON, a missing key or element, a value of the wrong type where
# an object, a list or a text was expected, a record that fails validation,
# the tool-call limit) and what requests raises on the way.  pydantic's
# ValidationError and json's JSONDecodeError are ValueErrors.  Anything else
# (SystemError, RuntimeError, RecursionError, a crash) is a fault.
DOCUMENTED_ERRORS: tuple[type[BaseException], ...] = (ValueError, LookupError, TypeError, AttributeError, OSError)


# ---- values ---------------------------------------------------------------------

scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8),
)
json_values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=6), inner, max_size=3)),
    max_leaves=6,
)


def sometimes_odd(expected: st.SearchStrategy) -> st.SearchStrategy:
    """Mostly the expected value, sometimes any JSON value in its place."""
    return st.one_of(expected, expected, expected, json_values)


def optional_keys(**slots: st.SearchStrategy) -> st.SearchStrategy:
    """A dict holding any subset of `slots`, each with a drawn value."""
    return st.fixed_dictionaries({}, optional=slots)


texts = st.text(max_size=12)
maybe_text = st.one_of(st.none(), texts)
# Argument text as servers send it: JSON of an object, partial JSON, empty;
# and the object itself, as some servers send it.
argument_texts = st.one_of(
    st.just(""), st.just("{"), st.just('"a": 1}'), st.just("{}"),
    st.dictionaries(st.text(max_size=4), scalars, max_size=2).map(json.dumps),
    st.dictionaries(st.text(max_size=4), scalars, max_size=2),
)
tool_indexes = st.one_of(st.integers(min_value=0, max_value=2), st.none())
tool_call_fragments = optional_keys(
    index=sometimes_odd(tool_indexes),
    id=sometimes_odd(st.sampled_from(["", "call_a", "call_b"])),
    type=st.just("function"),
    function=sometimes_odd(optional_keys(
        name=sometimes_odd(st.sampled_from(["add", "missing"])),
        arguments=sometimes_odd(argument_texts),
    )),
)
text_parts = st.lists(
    st.one_of(
        st.fixed_dictionaries({"type": st.just("text"), "text": sometimes_odd(texts)}),
        st.fixed_dictionaries({"type": st.just("thinking"), "thinking": sometimes_odd(texts)}),
        json_values,
    ),
    max_size=3,
)
messages = optional_keys(
    role=sometimes_odd(st.just("assistant")),
    content=sometimes_odd(st.one_of(maybe_text, text_parts)),
    reasoning_content=sometimes_odd(maybe_text),
    reasoning=sometimes_odd(maybe_text),
    tool_calls=sometimes_odd(st.lists(tool_call_fragments, max_size=3)),
)
finish_reasons = st.one_of(st.none(), st.sampled_from(["stop", "tool_calls", "length"]))


def choices_of(key: str) -> st.SearchStrategy:
    choice = optional_keys(
        index=sometimes_odd(st.integers(min_value=0, max_value=2)),
        finish_reason=sometimes_odd(finish_reasons),
        **{key: sometimes_odd(messages)},
    )
    return sometimes_odd(st.lists(choice, min_size=1, max_size=2))


whole_documents = optional_keys(choices=choices_of("message"), usage=json_values)
stream_chunks = optional_keys(choices=choices_of("delta"), usage=json_values)


# ---- bodies ---------------------------------------------------------------------

def sse_line(chunk: Any) -> bytes:
    return b"data: " + json.dumps(chunk).encode()


raw_lines = st.one_of(
    st.just(b""), st.just(b"data: [DONE]"), st.just(b": keep-alive"), st.just(b"data: {"),
    st.just(b"\xff\xfe"), st.binary(max_size=8).filter(lambda b: b"\n" not in b and b"\r" not in b),
)
stream_lines = st.lists(
    st.one_of(stream_chunks.map(sse_line), stream_chunks.map(sse_line), stream_chunks.map(sse_line), raw_lines),
    max_size=6,
)


def stream_body(lines: Iterable[bytes], separator: bytes = b"\n\n") -> bytes:
    return b"".join(line + separator for line in lines)


class _PiecewiseRaw(io.BytesIO):
    """A response body handed out in the given pieces, as a network would."""

    def __init__(self, data: bytes, cuts: list[int]) -> None:
        super().__init__(data)
        self._ends = sorted({c for c in cuts if 0 < c < len(data)} | {len(data)})

    def read(self, amt: int | None = None, *args: Any, **kwargs: Any) -> bytes:
        position = self.tell()
        end = next((e for e in self._ends if e > position), len(self.getvalue()))
        if amt is not None and amt >= 0:
            end = min(end, position + amt)
        return super().read(end - position)

    def read1(self, amt: int = -1) -> bytes:  # noqa: D102 - same cutting as read
        return self.read(amt)

    def stream(self, amt: int | None = 2**16, decode_content: bool | None = None):
        while data := self.read(amt):
            yield data

    def release_conn(self) -> None:
        pass


def split_response(body: bytes, cuts: list[int]):
    """An in-memory 200 response whose body arrives cut at `cuts`."""
    response = response_from_bytes(b"")
    response.raw = _PiecewiseRaw(body, cuts)
    return response


def cuts_for(data: st.DataObject, body: bytes) -> list[int]:
    if not body:
        return []
    return data.draw(st.lists(st.integers(min_value=1, max_value=len(body)), max_size=8), label="cuts")


# ---- the model and its invariants -----------------------------------------------

def fresh_model(**fields: Any) -> LLModal:
    """A model whose history holds one user question, as after invoke's first step."""
    model = LLModal(**fields)
    model.add_message(role="user", content="q")
    return model


def snapshot(model: LLModal) -> list[tuple[str, list[Any], list[Any], str]]:
    """The history as plain values (deep copies), for before/after comparisons."""
    return [
        (str(m.role), json.loads(json.dumps(m.contents)), json.loads(json.dumps(m.tool_calls, default=repr)),
         m.tool_call_id)
        for m in model.messages
    ]


@contextlib.contextmanager
def printed_lines():
    """What the call prints on standard output, as a list filled on exit."""
    out = io.StringIO()
    lines: list[str] = []
    with contextlib.redirect_stdout(out):
        yield lines
    lines.extend(out.getvalue().splitlines())


def check_per_call_state_reset(model: LLModal) -> None:
    assert model.tool_calls == [], model.tool_calls
    assert model._tool_calls_count == 0


def check_history_renders(model: LLModal) -> None:
    """The next request can be built from the history, as JSON."""
    rendered = model.messages_latest
    assert len(rendered) == len(model.messages)
    json.dumps(rendered)


def check_prefix_kept(before: list, model: LLModal) -> list:
    """The entries before the call are untouched; returns the entries added."""
    after = snapshot(model)
    assert after[: len(before)] == before
    return after[len(before):]


def current_text(entry) -> Any:
    role, contents, tool_calls, _ = entry
    return contents[-1] if contents else None


def check_failed_call(
    model: LLModal, before: list, error: BaseException, lines: list[str], answered: str | None
) -> None:
    """After a failure: the report, an answered user turn, the state reset.

    `answered` is the answer text the consumer saw before the failure (None:
    not known to the caller, as for a whole answer); the history then ends
    with an assistant text that begins with it: that answer, the fallback
    answer, or that answer followed by a chunk recorded just before its record
    failed to build or by the fallback of the tool-call limit.
    """
    assert isinstance(error, DOCUMENTED_ERRORS), f"undocumented {type(error).__name__}: {error}"
    assert f"Error parsing LLM response: {error}" in "\n".join(lines)
    check_per_call_state_reset(model)
    added = check_prefix_kept(before, model)
    assert added, "the user's turn was left unanswered"
    role, _, tool_calls, _ = added[-1]
    assert role == "assistant" and not tool_calls, added[-1]
    text = current_text(added[-1])
    assert isinstance(text, str), added[-1]
    if answered is not None:
        assert text.startswith(answered), (text, answered)
        assert answered or text, "an empty answer where the fallback belongs"
    check_history_renders(model)
