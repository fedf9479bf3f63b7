"""Speaker roles and the conversation history entry."""
from enum import StrEnum
from typing import Any

from pydantic import BaseModel

__all__ = ["MessageRole", "Message"]

class MessageRole(StrEnum):
    system = "system"
    user = "user"
    assistant = "assistant"
    tool = "tool"

class Message(BaseModel):
    """One history entry with every version of its content.

    ``contents`` holds the versions, oldest first; the last is current. A version is
    plain text or a list of content parts (``{"type": "text" | "image_url" | "video", ...}``).
    """

    role: MessageRole
    contents: list[str | list[dict[str, Any]]]
    tool_call_id: str
    tool_calls: list[dict[str, Any]]

    def __init__(
        self,
        *,
        role: MessageRole | str,
        contents: list[str | list[dict[str, Any]]] = ...,
        tool_call_id: str = "",
        tool_calls: list[dict[str, Any]] = ...,
    ) -> None: ...
    @property
    def latest(self) -> dict[str, Any]:
        """The chat-completion message this entry stands for in a request (a new dict each read)."""
    def __bool__(self) -> bool:
        """True when the entry has at least one content version."""
    def __repr__(self) -> str:
        """``latest`` as JSON text, non-ASCII unescaped."""
