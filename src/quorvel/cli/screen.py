"""Text from a server (or a file) made safe to show.

Answers, reasoning, tool calls and error messages are written by whoever runs
the server.  Written as they are, an escape sequence in them would reach the
terminal: set its title, write the clipboard (OSC 52), clear the screen, move
the cursor.  Shown text keeps newlines and tabs; every other control character
is shown escaped (``\\x1b``), so an escape sequence is visible and inert.

A JSON string may hold half of a UTF-16 pair (``"\\ud83d"``), as a proxy that
splits a pair across two chunks sends it; halves that meet again form their
character, and a lone half is shown as the replacement character, since no
terminal encoding can carry it.
"""

from __future__ import annotations

import re

_SURROGATE = re.compile("[\ud800-\udfff]")
# C0 controls but tab and newline, DEL, and the C1 controls (0x9b is a CSI of its own).
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")
_ESCAPES = {"\r": "\\r", "\x0b": "\\v", "\x0c": "\\f", "\x08": "\\b", "\x07": "\\a", "\x00": "\\0"}


def whole_characters(text: str) -> str:
    """``text`` with surrogate pairs joined into their characters and lone halves replaced by U+FFFD."""
    if not _SURROGATE.search(text):
        return text
    return text.encode("utf-16-le", "surrogatepass").decode("utf-16-le", "replace")


def _escaped(match: re.Match[str]) -> str:
    char = match.group()
    return _ESCAPES.get(char) or f"\\x{ord(char):02x}"


def visible(text: str, raw: bool = False) -> str:
    """``text`` as it may be written to a terminal.

    With ``raw``, control characters pass as they are (for a program that reads
    the output and wants them); characters that cannot be encoded are replaced
    either way.
    """
    text = whole_characters(text)
    if raw:
        return text
    return _CONTROL.sub(_escaped, text.replace("\r\n", "\n"))


def ends_in_half_pair(text: str) -> bool:
    """Whether ``text`` ends with the first half of a surrogate pair, whose second half may follow."""
    return bool(text) and "\ud800" <= text[-1] <= "\udbff"
