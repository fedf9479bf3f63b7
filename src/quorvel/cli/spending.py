"""Token usage in the chat: the line after a turn, the conversation's totals,
and their form in a saved conversation."""

from __future__ import annotations

from dataclasses import asdict, fields
from typing import Any

from quorvel.usage import Usage

_NOT_REPORTED = "-"


def _figure(value: int | None) -> str:
    return _NOT_REPORTED if value is None else f"{value:,}"


def tokens_text(usage: Usage) -> str:
    """``tokens: 1,200 in, 85 out, 1,024 cached, 40 reasoning`` ("-" where
    the server reported no figure)."""
    if usage.exchanges and all(getattr(usage, name) is None for name in _TOKEN_NAMES):
        return "tokens: not reported by the server"
    return (
        f"tokens: {_figure(usage.input_tokens)} in, {_figure(usage.output_tokens)} out, "
        f"{_figure(usage.cached_input_tokens)} cached, {_figure(usage.reasoning_tokens)} reasoning"
    )


def totals_text(usage: Usage, turns: int) -> str:
    """What ``/usage`` prints: the conversation's tokens, answers and requests."""
    answers = "answer" if usage.exchanges == 1 else "answers"
    requests = "request" if usage.requests == 1 else "requests"
    asked = "turn" if turns == 1 else "turns"
    return f"{tokens_text(usage)} ({turns} {asked}, {usage.exchanges} {answers}, {usage.requests} {requests})"


_TOKEN_NAMES = ("input_tokens", "output_tokens", "total_tokens", "cached_input_tokens", "reasoning_tokens")


def to_json(usage: Usage, turns: int) -> dict[str, Any]:
    """The totals as a saved conversation keeps them."""
    return {**asdict(usage), "turns": turns}


def from_json(value: Any) -> tuple[Usage, int]:
    """The totals of a saved conversation; a file without them (or with
    figures that are not whole numbers) starts from zero."""
    if not isinstance(value, dict):
        return Usage(), 0
    figures: dict[str, Any] = {}
    for field in fields(Usage):
        raw = value.get(field.name)
        if raw is None and field.name in _TOKEN_NAMES:
            continue
        if not isinstance(raw, int) or isinstance(raw, bool) or raw < 0:
            return Usage(), 0
        figures[field.name] = raw
    turns = value.get("turns", 0)
    if not isinstance(turns, int) or isinstance(turns, bool) or turns < 0:
        turns = 0
    return Usage(**figures), turns


class Tally:
    """The conversation's totals: every turn's usage added up."""

    def __init__(self, usage: Usage | None = None, turns: int = 0) -> None:
        self.usage = usage or Usage()
        self.turns = turns

    def add(self, usage: Usage) -> None:
        self.usage = self.usage + usage
        self.turns += 1

    def to_json(self) -> dict[str, Any]:
        return to_json(self.usage, self.turns)

    @classmethod
    def from_json(cls, value: Any) -> Tally:
        return cls(*from_json(value))
