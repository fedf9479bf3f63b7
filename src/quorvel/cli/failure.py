"""The one line that ends a failed turn.

A failure is told in words: the HTTP status with a short phrase and the
server's own message when it sent one, the URL when the server did not know it,
the reason when the connection failed.  Raw bodies, byte reprs and tracebacks
never reach the user.  ``quorvel.modal.ServerError`` carries the status and the
server's message as attributes; a plain exception is read from its text.
"""

from __future__ import annotations

import ast
import json
import re
from http import HTTPStatus
from typing import Any

from quorvel.cli.text import describe, one_line, shorten

_SERVER_ERROR_FIELDS = ("status_code", "code", "message", "body")
_MESSAGE_LIMIT = 300  # characters of a server's message shown

# Short phrases for the statuses a chat server commonly answers with; others
# use the standard reason phrase.
_STATUS_WORDS = {
    400: "bad request",
    401: "unauthorized (check the API key)",
    403: "forbidden",
    404: "not found",
    408: "request timeout",
    413: "request too large",
    422: "unprocessable request",
    429: "rate limited",
    500: "server error",
    502: "bad gateway",
    503: "service unavailable",
    504: "gateway timeout",
}

# The text of a status failure raised as a plain ValueError: "code: 401, content: b'...'".
_STATUS_TEXT = re.compile(r"code: (\d{3}), content: (.*)\Z", re.DOTALL)


def status_words(status: int) -> str:
    if status in _STATUS_WORDS:
        return _STATUS_WORDS[status]
    try:
        return HTTPStatus(status).phrase.lower()
    except ValueError:
        return ""


def _as_text(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, (bytes, bytearray)):
        value = bytes(value).decode("utf-8", errors="replace")
    elif not isinstance(value, str):
        try:
            value = json.dumps(value, ensure_ascii=False)
        except (TypeError, ValueError):
            value = str(value)
    return one_line(value)


def message_in_body(body: Any) -> str:
    """The server's own message in a failed answer's body, or ``""``.

    JSON bodies give ``error.message`` (or ``error``, ``message``, ``detail``);
    an HTML page gives its title; other text is shown as it is, shortened.
    """
    text = _as_text(body)
    if not text:
        return ""
    try:
        document = json.loads(text)
    except ValueError:
        document = None
    if isinstance(document, dict):
        error = document.get("error")
        if isinstance(error, dict):
            for key in ("message", "detail", "type"):
                if error.get(key):
                    return shorten(_as_text(error[key]), _MESSAGE_LIMIT)
        for found in (error, document.get("message"), document.get("detail")):
            if found:
                return shorten(_as_text(found), _MESSAGE_LIMIT)
        return shorten(text, _MESSAGE_LIMIT)
    if text.lstrip().startswith("<"):
        title = re.search(r"<title[^>]*>(.*?)</title>", text, re.IGNORECASE | re.DOTALL)
        return shorten(one_line(title.group(1)), _MESSAGE_LIMIT) if title else ""
    return shorten(text, _MESSAGE_LIMIT)


def _status_failure(exc: BaseException) -> tuple[int | None, Any, str] | None:
    """``(status, error code, server message)`` of a failed answer, or None if ``exc`` is none."""
    status = getattr(exc, "status_code", None)
    # quorvel.modal.ServerError, or anything that carries the same fields.
    if isinstance(status, int) or all(hasattr(exc, field) for field in _SERVER_ERROR_FIELDS):
        message = _as_text(getattr(exc, "message", None))
        if not message:
            message = message_in_body(getattr(exc, "body", None))
        return (status if isinstance(status, int) else None, getattr(exc, "code", None), shorten(message, _MESSAGE_LIMIT))
    if type(exc) is not ValueError:
        return None
    matched = _STATUS_TEXT.match(str(exc))
    if matched is None:
        return None
    raw = matched.group(2)
    try:
        body: Any = ast.literal_eval(raw) if raw[:2] in ("b'", 'b"') else raw
    except (ValueError, SyntaxError):
        body = raw
    return int(matched.group(1)), None, message_in_body(body)


def _connection_reason(exc: BaseException) -> str:
    match = re.search(r"\[Errno -?\d+\] ([^'\")\]]+)", str(exc))
    return match.group(1).strip() if match else one_line(exc)


def _timeout_detail(exc: BaseException) -> str:
    match = re.search(r"(read|connect) timeout=([0-9.]+)", str(exc))
    if not match:
        return ""
    kind = "no answer" if match.group(1) == "read" else "no connection"
    return f" ({kind} within {match.group(2)} s)"


def failure_text(exc: BaseException, endpoint: str) -> str:
    """One line saying why the request to ``endpoint`` failed."""
    import requests

    # A read that times out in the middle of a streamed answer reaches the
    # caller as a ConnectionError of requests: it is still a timeout.
    timed_out = isinstance(exc, requests.exceptions.ConnectionError) and "timed out" in str(exc).lower()
    if isinstance(exc, requests.exceptions.Timeout) or timed_out:
        return f"request to {endpoint} timed out{_timeout_detail(exc)}"
    if isinstance(exc, requests.exceptions.ConnectionError):
        return f"cannot connect to {endpoint}: {_connection_reason(exc)}"
    if isinstance(exc, requests.exceptions.RequestException):
        return f"request to {endpoint} failed: {shorten(describe(exc), _MESSAGE_LIMIT)}"
    status = _status_failure(exc)
    if status is None:
        return f"request failed: {shorten(describe(exc), _MESSAGE_LIMIT)}"
    code, error_code, message = status
    if code is None:
        head = "the server reported an error"
        if error_code not in (None, ""):
            head += f" ({_as_text(error_code)})"
    else:
        head = f"{code} {status_words(code)}".rstrip()
        if code == 404:
            head += f" at {endpoint}"
    return f"request failed: {head}: {message}" if message else f"request failed: {head}"


def _try_reason(exc: BaseException) -> str:
    """What went wrong with one try, in a few words."""
    import requests

    timed_out = isinstance(exc, requests.exceptions.ConnectionError) and "timed out" in str(exc).lower()
    if isinstance(exc, requests.exceptions.Timeout) or timed_out:
        return f"timed out{_timeout_detail(exc)}"
    if isinstance(exc, requests.exceptions.ConnectionError):
        return f"cannot connect: {_connection_reason(exc)}"
    status = _status_failure(exc)
    if status is not None and status[0] is not None:
        return f"{status[0]} {status_words(status[0])}".rstrip()
    return shorten(describe(exc), _MESSAGE_LIMIT)


def retry_text(reason_of: BaseException, wait: float, next_try: int, tries: int) -> str:
    """The line that tells of a retry: "429 rate limited; retrying in 1.5 s (try 2 of 3)"."""
    return f"{_try_reason(reason_of)}; retrying in {wait:.1f} s (try {next_try} of {tries})"


def tries_text(tries: int) -> str:
    """Said after a failure's line when the request was sent more than once."""
    return f" (after {tries} tries)"


def tool_limit_text(rounds: int, limit: int) -> str:
    """The tool-round limit, said in words with the option that raises it."""
    ran = "no tool round ran" if rounds == 0 else f"{rounds} tool round{'s' if rounds != 1 else ''} ran"
    return (
        f"stopped: the model asked for tools again after the limit of {limit} "
        f"({ran}); raise it with --tool-rounds N"
    )
