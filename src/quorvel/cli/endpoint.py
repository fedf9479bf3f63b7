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


def without_credentials(url: str) -> str:
    """``url`` without the ``user:password@`` it may carry: for showing and for saving."""
    try:
        parts = urlsplit(url)
    except ValueError:
        return url
    if "@" not in parts.netloc:
        return url
    return urlunsplit(parts._replace(netloc=parts.netloc.rpartition("@")[2]))


_DEFAULT_PORTS = {"http": 80, "https": 443}


def origin(url: str) -> tuple[str, str, int | None] | None:
    """Scheme, host and port of ``url`` (the default port filled in), or None when it has none."""
    try:
        parts = urlsplit(url.strip())
        port = parts.port
    except ValueError:
        return None
    scheme = parts.scheme.lower()
    if not parts.hostname or scheme not in _DEFAULT_PORTS:
        return None
    return scheme, parts.hostname.lower(), port if port is not None else _DEFAULT_PORTS[scheme]


def same_origin(first: str, second: str) -> bool:
    """Whether the two URLs lead to one server (scheme, host and port alike)."""
    mine = origin(first)
    return mine is not None and mine == origin(second)
