"""The error of a structured question whose answer never validated."""

from __future__ import annotations

from typing import Any


class OutputError(ValueError):
    """The model's answer did not validate, also after the re-asks.

    ``raw`` is the last answer's text (for ``mode="tool"``, the arguments of
    ``final_result``, or the text when it was not called), ``errors`` the
    validator's errors for it (pydantic's error dictionaries: ``type``,
    ``loc``, ``msg``, ``input``), ``attempts`` the number of answers checked.
    """

    def __init__(self, message: str, *, raw: str, errors: list[dict[str, Any]], attempts: int) -> None:
        super().__init__(message)
        self.raw = raw
        self.errors = errors
        self.attempts = attempts

    def __reduce__(self) -> tuple[Any, ...]:
        return (_rebuild_output_error, (str(self), self.raw, self.errors, self.attempts))


def _rebuild_output_error(message: str, raw: str, errors: list[dict[str, Any]], attempts: int) -> OutputError:
    return OutputError(message, raw=raw, errors=errors, attempts=attempts)


OutputError.__module__ = "quorvel.structured"
