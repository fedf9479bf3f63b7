"""The chat's failure line and endpoint forms, from the values a failure can carry."""

from __future__ import annotations

import pytest

from quorvel.cli import CliError
from quorvel.cli.endpoint import chat_url, same_origin, without_credentials
from quorvel.cli.failure import failure_text

URL = "http://h:1/v1/chat/completions"


class FakeServerError(ValueError):
    """Carries the fields the client's ServerError has."""

    def __init__(self, text, status_code=None, code=None, message=None, body=None):
        super().__init__(text)
        self.status_code, self.code, self.message, self.body = status_code, code, message, body


@pytest.mark.parametrize(
    ("exc", "expected"),
    [
        (FakeServerError("code: 429, content: b'...'", 429, "rate_limit", "Too fast"), "request failed: 429 rate limited: Too fast"),
        (FakeServerError("x", 401, None, None, b'{"error": "bad key"}'), "request failed: 401 unauthorized (check the API key): bad key"),
        (FakeServerError("x", 418, None, None, b""), "request failed: 418 i'm a teapot"),
        (FakeServerError("code: e1, message: m", None, "e1", "overloaded"), "request failed: the server reported an error (e1): overloaded"),
        (FakeServerError("x", 500, None, {"nested": [1]}), 'request failed: 500 server error: {"nested": [1]}'),
        (ValueError("code: 500, content: b'line one\\nline two'"), "request failed: 500 server error: line one line two"),
        (ValueError("code: 404, content: b''"), f"request failed: 404 not found at {URL}"),
        (ValueError("code: 502, content: not-a-repr"), "request failed: 502 bad gateway: not-a-repr"),
        (ValueError("something else"), "request failed: ValueError: something else"),
        (KeyError("choices"), "request failed: KeyError: 'choices'"),
    ],
)
def test_failure_text(exc, expected):
    text = failure_text(exc, URL)
    assert text == expected
    assert "b'" not in text and "\n" not in text


def test_failure_text_of_requests_errors():
    import requests

    timeout = requests.exceptions.ReadTimeout("HTTPConnectionPool(host='h', port=1): Read timed out. (read timeout=2.5)")
    assert failure_text(timeout, URL) == f"request to {URL} timed out (no answer within 2.5 s)"
    midstream = requests.exceptions.ConnectionError("HTTPConnectionPool(host='h', port=1): Read timed out.")
    assert failure_text(midstream, URL) == f"request to {URL} timed out"
    refused = requests.exceptions.ConnectionError("... [Errno 111] Connection refused')")
    assert failure_text(refused, URL) == f"cannot connect to {URL}: Connection refused"


def test_a_long_server_message_is_shortened():
    text = failure_text(FakeServerError("x", 400, None, "word " * 500), URL)
    assert len(text) < 400 and text.endswith("…")


@pytest.mark.parametrize(
    ("given", "url"),
    [
        ("http://h:8000/v1", "http://h:8000/v1/chat/completions"),
        ("http://h:8000/v1/", "http://h:8000/v1/chat/completions"),
        ("http://h:8000", "http://h:8000/v1/chat/completions"),
        ("https://h/", "https://h/v1/chat/completions"),
        ("https://h/api/v1", "https://h/api/v1/chat/completions"),
        ("http://h:8000/v1/chat/completions", "http://h:8000/v1/chat/completions"),
        ("http://h/openai/chat/completions?api-version=1", "http://h/openai/chat/completions?api-version=1"),
        ("http://h/v1?key=1", "http://h/v1/chat/completions?key=1"),
    ],
)
def test_chat_url(given, url):
    assert chat_url(given) == url


@pytest.mark.parametrize("given", ["localhost:8000", "ftp://h/v1", "http:///v1", ""])
def test_chat_url_refuses(given):
    with pytest.raises(CliError, match="invalid endpoint"):
        chat_url(given)


@pytest.mark.parametrize(
    ("given", "shown"),
    [
        ("http://me:s3cret@h:1/v1", "http://h:1/v1"),
        ("https://token@h/v1?x=1", "https://h/v1?x=1"),
        ("http://h:1/v1", "http://h:1/v1"),
        ("http://h/a@b", "http://h/a@b"),  # an "@" in the path is no credential
    ],
)
def test_without_credentials(given, shown):
    assert without_credentials(given) == shown


@pytest.mark.parametrize(
    ("first", "second", "same"),
    [
        ("http://H:80/v1", "http://h/other/chat/completions", True),
        ("https://u:p@h/v1", "https://h:443", True),
        ("https://h/v1", "http://h/v1", False),
        ("http://h:8000/v1", "http://h:8001/v1", False),
        ("http://h.example/v1", "http://h.example.evil/v1", False),
        ("http://h:x/v1", "http://h:x/v1", False),  # unreadable port: never the same
        ("ftp://h/v1", "ftp://h/v1", False),
    ],
)
def test_same_origin(first, second, same):
    assert same_origin(first, second) is same
