"""The exception for a failed answer of the chat server, and its builders.

``quorvel.modal`` exports :class:`ServerError`; the native client builds it
through :func:`status_error` and :func:`answer_error` so that the text stays
exactly what callers have always seen while programs get the fields.
"""

from __future__ import annotations

import json
from typing import Any

__all__ = ["ServerError", "status_error", "redirect_error", "answer_error"]


class ServerError(ValueError):
    """The chat server answered with a failure.

    Raised for a status other than 200 and for an ``error`` object inside an
    answer.  ``str()`` is the text a plain ``ValueError`` carried before, so
    code matching on it keeps working.

    Attributes:
        status_code: the HTTP status, or None for an ``error`` object inside a
            200 answer.
        code: ``error.code`` of the body, or None.
        message: ``error.message`` of the body (the ``error`` value itself
            when it is not an object), or None; for a redirect, the text
            that names the new location.
        body: the raw body of a failed status, or None.
    """

    status_code: int | None
    code: Any
    message: Any
    body: bytes | None

    def __init__(
        self,
        text: str,
        *,
        status_code: int | None = None,
        code: Any = None,
        message: Any = None,
        body: bytes | None = None,
    ) -> None:
        super().__init__(text)
        self.status_code = status_code
        self.code = code
        self.message = message
        self.body = body


# Shown as living where users import it from.
ServerError.__module__ = "quorvel.modal"


def _error_fields(error: Any) -> tuple[Any, Any]:
    """``code`` and ``message`` of an ``error`` value taken from a body."""
    if isinstance(error, dict):
        return dict.get(error, "code"), dict.get(error, "message")
    return None, error


def status_error(status_code: Any, content: Any) -> ServerError:
    """The error for an answer whose status is not 200.

    The text is "code: <status>, content: <content>", both formatted as the
    interpreter formats them by default (bytes show as ``b'...'``).
    """
    text = "code: " + format(status_code, "") + ", content: " + format(content, "")
    code = message = None
    try:
        document = json.loads(content) if isinstance(content, (bytes, bytearray, str)) else None
    except (ValueError, RecursionError):
        # Not JSON, or nested too deeply to read: the error carries the body
        # without its fields (and a retryable status is still retried).
        document = None
    if isinstance(document, dict):
        error = document.get("error")
        if error is not None:
            code, message = _error_fields(error)
    return ServerError(
        text,
        status_code=status_code if isinstance(status_code, int) else None,
        code=code,
        message=message,
        body=content,
    )


def redirect_error(status_code: int, location: str, content: Any) -> ServerError:
    """The error for a 3xx answer: the chat request is not sent on to
    ``location`` (a redirected POST would arrive as a GET without its body),
    the user is told to configure it instead."""
    text = f"the server redirects to {location}: use that as the endpoint"
    return ServerError(text, status_code=status_code, message=text, body=content)


def answer_error(error: Any) -> ServerError:
    """The error for an ``error`` object found inside an answer.

    The text is "code: <code>, message: <message>", each as ``str()`` gives it.
    """
    code, message = _error_fields(error)
    return ServerError(f"code: {code!s}, message: {message!s}", code=code, message=message)
