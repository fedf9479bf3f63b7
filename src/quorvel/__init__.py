"""quorvel: a native-code client for chat-completion servers.

The core lives in three C++ extension modules, imported on demand:

- ``quorvel.message``: ``MessageRole`` and ``Message``, the history entry;
- ``quorvel.modal``: ``LLModal``, the chat client, and its ``LLMResult`` records;
- ``quorvel.cython``: pydantic and fastmcp support for natively compiled code.

Importing the package itself loads none of them.  `quorvel.cancel(model)`
stops the call in flight on a model from any thread (see `quorvel._inflight`);
`quorvel.aio` holds the async client.
"""

__version__ = "0.1.0"

from quorvel._inflight import cancel

__all__ = ["cancel"]
