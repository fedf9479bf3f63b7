"""Errors and one-line texts shared by the command line's parts."""

from __future__ import annotations

PROG = "quorvel"


class CliError(Exception):
    """Bad input or an unusable environment: reported as one line, exit status 1."""


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def describe(exc: BaseException) -> str:
    text = one_line(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def shorten(text: str, limit: int) -> str:
    return text if len(text) <= limit else text[: limit - 1] + "…"

