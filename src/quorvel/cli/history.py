"""The conversation as the chat keeps it: repair after a failed turn, files.

The client records its fallback text ("The server is busy...") as the model's
answer when a turn fails, so that the history stays well formed for a program
that goes on regardless.  In the chat that text would be sent back to the model
with every later request as if the model had said it; the chat removes it, so
that the user's question stands unanswered and ``/retry`` asks it again.
"""

from __future__ import annotations

import json
import re
from datetime import datetime, timezone
from typing import TYPE_CHECKING, Any

from quorvel.cli.endpoint import without_credentials
from quorvel.cli.files import read_file, write_private
from quorvel.cli.text import CliError, describe, one_line

if TYPE_CHECKING:
    from quorvel.message import Message
    from quorvel.modal import LLModal

FORMAT = "quorvel conversation"
FORMAT_VERSION = 1

Snapshot = tuple[int, list[tuple[int, Any]]]


def snapshot(model: LLModal) -> Snapshot:
    """What the history held before a turn: its length, each entry's versions and current text."""
    return len(model.messages), [(len(m.contents), m.contents[-1] if m.contents else None) for m in model.messages]


def _strip_fallback(text: Any, fallback: str) -> Any:
    """``text`` without the fallback answers glued to its end (one per failed nesting level)."""
    if not isinstance(text, str) or not fallback:
        return text
    while text.endswith(fallback):
        text = text[: -len(fallback)]
    return text


def drop_fallback(model: LLModal, before: Snapshot) -> None:
    """Remove what the failed turn recorded as the fallback answer; keep everything real."""
    fallback = model._default
    count, entries = before
    kept: list[Message] = []
    for index, message in enumerate(model.messages):
        if str(message.role) != "assistant" or message.tool_calls:
            kept.append(message)
            continue
        old_versions, old_text = entries[index] if index < count else (0, None)
        contents = message.contents
        # Versions added by this turn: drop those that are only the fallback.
        while len(contents) > old_versions and _strip_fallback(contents[-1], fallback) == "" and contents[-1]:
            contents.pop()
        if len(contents) > old_versions:
            contents[-1] = _strip_fallback(contents[-1], fallback)
        elif contents and contents[-1] != old_text and isinstance(contents[-1], str) and isinstance(old_text, str):
            # The current version was continued by this turn (a streamed answer).
            tail = contents[-1][len(old_text) :] if contents[-1].startswith(old_text) else None
            if tail is not None:
                contents[-1] = old_text + _strip_fallback(tail, fallback)
        if index >= count and not contents:
            continue  # an entry that held nothing but the fallback
        kept.append(message)
    if len(kept) != len(model.messages):
        model.messages[:] = kept


def drop_unanswered_tool_calls(model: LLModal) -> None:
    """After a stop while tools ran: a tool-call entry without its results would make the next request invalid."""
    messages = model.messages
    if messages and str(messages[-1].role) == "assistant" and messages[-1].tool_calls and not messages[-1].contents:
        messages.pop()


def prepare_retry(model: LLModal) -> None:
    """Set up ``/retry``: regenerate the last answer, or ask an unanswered question again.

    When the latest question got an answer, the retry flag makes the new answer
    a version of it.  When it got none (the turn failed or was stopped before
    the first word), what the turn left after the question is dropped and the
    question is sent again as it stands.
    """
    messages = model.messages
    last_user = max((i for i, m in enumerate(messages) if str(m.role) == "user"), default=None)
    if last_user is None:
        return
    answered = any(str(m.role) == "assistant" and m.contents for m in messages[last_user + 1 :])
    if answered:
        model.retry = True
    else:
        del messages[last_user + 1 :]
        model.retry = False


# ---------------------------------------------------------------------------
# Conversation files
# ---------------------------------------------------------------------------


# Half of a UTF-16 pair, as a JSON "\\ud83d" escape gives it: UTF-8 cannot carry it.
_SURROGATE = re.compile("[\ud800-\udfff]")


def _json_text(document: Any) -> str:
    """JSON text of ``document`` that UTF-8 can carry: non-ASCII text as it is,
    halves of surrogate pairs as the escapes they came in (read back unchanged)."""
    text = json.dumps(document, indent=2, ensure_ascii=False)
    return _SURROGATE.sub(lambda match: f"\\u{ord(match.group()):04x}", text) + "\n"


def save(model: LLModal, filename: str, usage: dict[str, Any] | None = None) -> int:
    """Write the conversation with the model name, the endpoint, the time and
    the token totals (``usage``, when given); returns the entry count.

    The file is readable by the user alone and replaces an old one only once
    written whole; the endpoint is kept without the credentials a URL may hold.
    """
    history = [message.model_dump(mode="json") for message in model.messages]
    document = {
        "format": FORMAT,
        "version": FORMAT_VERSION,
        "saved_at": datetime.now(timezone.utc).isoformat(timespec="seconds"),
        "model": model.extra_body.get("model"),
        "endpoint": without_credentials(model.endpoint_url),
        "system_prompt": model.system_prompt,
        "messages": history,
    }
    if usage is not None:
        document["usage"] = usage
    write_private(filename, _json_text(document).encode("utf-8"))
    return len(history)


def messages_text(count: int) -> str:
    """"1 message", "2 messages"."""
    return f"{count} message" if count == 1 else f"{count} messages"


class Conversation:
    """A saved conversation read back: its entries and what it was held with."""

    def __init__(
        self,
        messages: list[Message],
        model: str | None,
        endpoint: str | None,
        saved_at: str | None,
        usage: Any = None,
    ) -> None:
        self.messages = messages
        self.model = model
        self.endpoint = endpoint
        self.saved_at = saved_at
        self.usage = usage  # the token totals as saved (read by quorvel.cli.spending)


def _text_or_none(value: Any) -> str | None:
    return value if isinstance(value, str) and value else None


def load(filename: str) -> Conversation:
    """Read a file written by :func:`save` (or a bare list of entries, as older versions wrote).

    Anything else becomes a :class:`CliError` with one line that says why.
    """
    from pydantic import ValidationError

    from quorvel.message import Message

    data = read_file(filename, "load")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise CliError(f"cannot load {filename}: {describe(exc)}") from None
    not_saved = f"cannot load {filename}: not a saved quorvel conversation"
    try:
        document = json.loads(text)
    except ValueError:
        raise CliError(not_saved) from None
    if isinstance(document, list):
        document = {"messages": document}
    if not isinstance(document, dict) or document.get("format", FORMAT) != FORMAT:
        raise CliError(not_saved)
    entries = document.get("messages")
    if not isinstance(entries, list):
        raise CliError(not_saved)
    try:
        messages = [Message.model_validate(entry) for entry in entries]
    except (ValidationError, TypeError, ValueError) as exc:
        first = exc.errors()[0]["msg"] if isinstance(exc, ValidationError) and exc.errors() else one_line(exc)
        raise CliError(f"{not_saved} ({one_line(first)})") from None
    for message in messages:
        if not message.contents and not message.tool_calls:
            raise CliError(f"{not_saved} (an entry has no content)")
    return Conversation(
        messages,
        _text_or_none(document.get("model")),
        _text_or_none(document.get("endpoint")),
        _text_or_none(document.get("saved_at")),
        document.get("usage"),
    )
