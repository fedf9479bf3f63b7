"""Token usage of chat calls: per call, per model, and over a block of code.

Servers report what an answer cost in a ``usage`` object (in a whole answer,
or in a streamed chunk, usually one after the finishing chunk).  The client
sums those figures over everything one call did: every tool round's exchange
and every HTTP attempt, retries included.

- :func:`last_usage` gives the latest call (``invoke``, or an async call) on
  a model, :func:`usage` the model's running total;
- :func:`collect` sums every call made inside a ``with`` block, in this
  thread or in async tasks started inside it.

Figures live in a side table keyed weakly by the model: a model that is
garbage-collected leaves nothing behind here.  ``LLModal`` itself has no
member for them.

The call driver reports through three hooks (``_begin_call``,
``_record_request`` and ``_record_exchange``); they never raise for odd
``usage`` objects: figures that are not whole numbers are not counted.
"""

from __future__ import annotations

import contextlib
import functools
import operator
import contextvars
import threading
import weakref
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

__all__ = ["Usage", "Collector", "last_usage", "usage", "collect", "from_wire"]


def _plus(a: int | None, b: int | None) -> int | None:
    # None means "no exchange reported it": it stays None only when neither did.
    if a is None:
        return b
    if b is None:
        return a
    return a + b


@dataclass(frozen=True)
class Usage:
    """Token figures and counts of one or more exchanges.

    A token figure is ``None`` when no exchange summed here reported it.
    ``requests`` counts HTTP attempts (retries included), ``exchanges`` the
    answers decoded.  Two records add up with ``+``.
    """

    input_tokens: int | None = None
    output_tokens: int | None = None
    total_tokens: int | None = None
    cached_input_tokens: int | None = None
    reasoning_tokens: int | None = None
    requests: int = 0
    exchanges: int = 0

    def __add__(self, other: object) -> Usage:
        if not isinstance(other, Usage):
            return NotImplemented
        return Usage(
            input_tokens=_plus(self.input_tokens, other.input_tokens),
            output_tokens=_plus(self.output_tokens, other.output_tokens),
            total_tokens=_plus(self.total_tokens, other.total_tokens),
            cached_input_tokens=_plus(self.cached_input_tokens, other.cached_input_tokens),
            reasoning_tokens=_plus(self.reasoning_tokens, other.reasoning_tokens),
            requests=self.requests + other.requests,
            exchanges=self.exchanges + other.exchanges,
        )

    def cost(
        self,
        input_per_million: float,
        output_per_million: float,
        cached_input_per_million: float | None = None,
    ) -> float:
        """The price of these tokens at the given prices per million tokens.

        Cached input tokens are priced at ``cached_input_per_million`` when it
        is given (and are then not priced again as input), else as input.
        Figures that no exchange reported count as 0.
        """
        input_tokens = self.input_tokens or 0
        output_tokens = self.output_tokens or 0
        cached = min(self.cached_input_tokens or 0, input_tokens)
        if cached_input_per_million is None:
            cached_price = input_per_million
        else:
            cached_price = cached_input_per_million
        total = (
            (input_tokens - cached) * input_per_million
            + cached * cached_price
            + output_tokens * output_per_million
        )
        return total / 1_000_000


_ZERO = Usage()
_ONE_REQUEST = Usage(requests=1)


def _whole_number(value: Any) -> int | None:
    # JSON numbers only: booleans, texts and negative or fractional values
    # are not token counts.
    if type(value) is int:
        return value if value >= 0 else None
    if isinstance(value, bool):
        return None
    if isinstance(value, int):
        return value if value >= 0 else None
    if isinstance(value, float) and value.is_integer() and value >= 0:
        return int(value)
    return None


def _detail(usage: Mapping[Any, Any], group: str, name: str) -> int | None:
    details = usage.get(group)
    if not isinstance(details, Mapping):
        return None
    return _whole_number(details.get(name))


def _wire_figures(raw: Any) -> tuple[int | None, ...]:
    """The token figures of a server's ``usage`` object, in the order of
    :data:`_TOKEN_FIELDS`."""
    if not isinstance(raw, Mapping):
        return _NO_TOKENS
    return (
        _whole_number(raw.get("prompt_tokens")),
        _whole_number(raw.get("completion_tokens")),
        _whole_number(raw.get("total_tokens")),
        _detail(raw, "prompt_tokens_details", "cached_tokens"),
        _detail(raw, "completion_tokens_details", "reasoning_tokens"),
    )


def from_wire(raw: Any) -> Usage:
    """One exchange's figures from a server's ``usage`` object (OpenAI names);
    anything that is not such an object carries none."""
    return Usage(*_wire_figures(raw), exchanges=1)


# ---- the side table ---------------------------------------------------------------

# The token figures of a call are kept as five whole numbers (0 where none
# was reported) with bits telling which were reported at all (bit i for
# figure i), so that "not reported" stays apart from 0; requests and
# exchanges are plain counts.  The hooks run several times per call: they add
# in place, and Usage records are made only when someone reads them.
_TOKEN_FIELDS = ("input_tokens", "output_tokens", "total_tokens", "cached_input_tokens", "reasoning_tokens")
_NO_TOKENS: tuple[int | None, ...] = (None,) * len(_TOKEN_FIELDS)
_ZERO_TOKENS = (0,) * len(_TOKEN_FIELDS)


def _exchange_tokens(raw: Any) -> tuple[tuple[int, ...], int]:
    """The token figures of one exchange's ``usage`` object as whole numbers
    to add, and the bits of those it reported."""
    if type(raw) is dict:
        # The usual object: whole numbers, without the details.
        get = raw.get
        prompt, completion, total = get("prompt_tokens"), get("completion_tokens"), get("total_tokens")
        if (
            type(prompt) is int and type(completion) is int and type(total) is int
            and prompt >= 0 and completion >= 0 and total >= 0
            and get("prompt_tokens_details") is None and get("completion_tokens_details") is None
        ):
            return (prompt, completion, total, 0, 0), 0b00111
    figures = _wire_figures(raw)
    reported = 0
    for i, figure in enumerate(figures):
        if figure is not None:
            reported |= 1 << i
    return tuple(figure or 0 for figure in figures), reported


def _usage_of(tokens: Any, reported: int, requests: int, exchanges: int) -> Usage:
    figures = [figure if reported >> i & 1 else None for i, figure in enumerate(tokens)]
    return Usage(*figures, requests=requests, exchanges=exchanges)


class _Figures:
    """What one model has used: its latest call, and the calls before it."""

    __slots__ = (
        "tokens", "reported", "requests", "exchanges",
        "earlier_tokens", "earlier_reported", "earlier_requests", "earlier_exchanges",
        "ref",
    )

    def __init__(self, ref: weakref.ref[Any]) -> None:
        self.tokens: Any = _ZERO_TOKENS
        self.reported = self.requests = self.exchanges = 0
        self.earlier_tokens: Any = _ZERO_TOKENS
        self.earlier_reported = self.earlier_requests = self.earlier_exchanges = 0
        self.ref = ref

    @property
    def last(self) -> Usage:
        return _usage_of(self.tokens, self.reported, self.requests, self.exchanges)

    @property
    def total(self) -> Usage:
        return _usage_of(
            list(map(operator.add, self.earlier_tokens, self.tokens)),
            self.earlier_reported | self.reported,
            self.earlier_requests + self.requests,
            self.earlier_exchanges + self.exchanges,
        )

    def fold(self) -> None:
        """The latest call becomes one of the calls before it."""
        if self.reported:
            self.earlier_tokens = list(map(operator.add, self.earlier_tokens, self.tokens))
            self.earlier_reported |= self.reported
            self.tokens = _ZERO_TOKENS
            self.reported = 0
        self.earlier_requests += self.requests
        self.earlier_exchanges += self.exchanges
        self.requests = self.exchanges = 0


# Keyed by id(): models are pydantic models, which are not hashable, so a
# WeakKeyDictionary cannot hold them.  The weak reference's callback drops
# the entry when the model is collected, before its id can be reused.
_table: dict[int, _Figures] = {}
_lock = threading.Lock()


def _forget(key: int, ref: weakref.ref[Any]) -> None:
    # Runs during garbage collection, possibly while this thread holds
    # _lock: a plain dict operation, atomic under the GIL, with no lock.
    entry = _table.get(key)
    if entry is not None and entry.ref is ref:
        _table.pop(key, None)


def _figures(model: Any) -> _Figures:
    key = id(model)
    entry = _table.get(key)
    if entry is not None and entry.ref() is model:
        return entry
    ref = weakref.ref(model, functools.partial(_forget, key))
    entry = _Figures(ref)
    _table[key] = entry
    return entry


def _peek(model: Any) -> _Figures | None:
    entry = _table.get(id(model))
    if entry is not None and entry.ref() is model:
        return entry
    return None


# ---- collectors -----------------------------------------------------------------


class Collector:
    """The sum of the calls made inside one :func:`collect` block."""

    __slots__ = ("_usage", "_lock")

    def __init__(self) -> None:
        self._usage = _ZERO
        self._lock = threading.Lock()

    @property
    def usage(self) -> Usage:
        """Everything summed so far (also after the block has ended)."""
        return self._usage

    def _add(self, figures: Usage) -> None:
        with self._lock:
            self._usage = self._usage + figures

    def __repr__(self) -> str:
        return f"<Collector {self._usage!r}>"


# The collectors of the blocks that enclose the running code.  A context
# variable, so asyncio tasks created inside a block (which copy the context)
# report to it, and other threads do not.
_collectors: contextvars.ContextVar[tuple[Collector, ...]] = contextvars.ContextVar(
    "quorvel_usage_collectors", default=()
)


@contextlib.contextmanager
def collect() -> Iterator[Collector]:
    """Sum every call made inside the block::

        with collect() as spent:
            model.invoke("...")
            other_model.invoke("...")
        print(spent.usage.total_tokens)

    Calls in this thread and in async tasks started inside the block count;
    a thread started inside it counts only when it runs in a copy of this
    context (``contextvars.copy_context().run``).  Blocks nest: an inner
    block's calls count in the outer one as well.
    """
    collector = Collector()
    token = _collectors.set(_collectors.get() + (collector,))
    try:
        yield collector
    finally:
        _collectors.reset(token)


# ---- reading -----------------------------------------------------------------------


def last_usage(model: Any) -> Usage:
    """The latest call on ``model`` (every tool round's exchange and every
    attempt of it); an empty record before the first call."""
    entry = _peek(model)
    return entry.last if entry is not None else _ZERO


def usage(model: Any) -> Usage:
    """Everything ``model`` has used since it was made."""
    entry = _peek(model)
    return entry.total if entry is not None else _ZERO


# ---- hooks of the call drivers -------------------------------------------------------


# The hooks run several times per call: each looks up its model's figures
# in the table itself (what _figures does, inline), and makes them only for
# a model it meets first.


def _begin_call(model: Any) -> None:
    """A new ``invoke`` (or async call) starts: its figures start from zero."""
    with _lock:
        entry = _table.get(id(model))
        if entry is None or entry.ref() is not model:
            entry = _figures(model)
        if entry.requests or entry.exchanges:
            entry.fold()


def _record_request(model: Any) -> None:
    """One HTTP attempt was made for ``model`` (every retry is one)."""
    with _lock:
        entry = _table.get(id(model))
        if entry is None or entry.ref() is not model:
            entry = _figures(model)
        entry.requests += 1
    for collector in _collectors.get():
        collector._add(_ONE_REQUEST)


def _record_exchange(model: Any, usage: dict[str, Any] | None) -> None:
    """One answer was decoded; ``usage`` is the last usage object it carried."""
    tokens, reported = _exchange_tokens(usage)
    with _lock:
        entry = _table.get(id(model))
        if entry is None or entry.ref() is not model:
            entry = _figures(model)
        entry.exchanges += 1
        if reported:
            entry.tokens = list(map(operator.add, entry.tokens, tokens))
            entry.reported |= reported
    collectors = _collectors.get()
    if collectors:
        added = _usage_of(tokens, reported, 0, 1)
        for collector in collectors:
            collector._add(added)
