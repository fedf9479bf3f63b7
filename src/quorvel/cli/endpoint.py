"""The chat-completion URL from what the user gives: a full URL or a base URL."""

from __future__ import annotations

import re
from urllib.parse import urlsplit, urlunsplit

from quorvel.cli.text import CliError

CHAT_PATH = "/chat/completions"


def chat_url(endpoint: str) -> str:
    """The URL to post to.

    ``http://host:port/v1/chat/completions`` is used as it is; a base URL gets
    the chat-completion route added: ``http://host:port/v1`` (the form most
    clients take) becomes ``.../v1/chat/completions`` and a bare
    ``http://host:port`` becomes ``http://host:port/v1/chat/completions``.
    """
    endpoint = endpoint.strip()
    if not re.match(r"https?://[^/\s]", endpoint, re.IGNORECASE):
        raise CliError(f"invalid endpoint {endpoint!r}: expected an http:// or https:// URL")
    try:
        parts = urlsplit(endpoint)
    except ValueError as exc:
        raise CliError(f"invalid endpoint {endpoint!r}: {exc}") from None
    path = parts.path.rstrip("/")
    if path.endswith(CHAT_PATH):
        return endpoint
    path = (path or "/v1") + CHAT_PATH
    return urlunsplit((parts.scheme, parts.netloc, path, parts.query, parts.fragment))
