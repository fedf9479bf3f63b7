"""pydantic and fastmcp support for natively compiled classes and functions.

The names taken from fastmcp and mcp, and ``CythonFunctionTool``, are bound on first
use, so that importing this module (or ``quorvel.modal``) does not load fastmcp.
"""
import functools
from collections.abc import Callable
from typing import Any

from fastmcp.tools import FunctionTool
from fastmcp.tools.tool import ToolResult
from mcp.types import ContentBlock
from pydantic import BaseModel, TypeAdapter
from pydantic._internal._model_construction import ModelMetaclass

__all__ = ["CythonModelMeta", "CythonBaseModel", "get_cached_typeadapter", "CythonFunctionTool"]

# The base is ``type(BaseModel)`` read from pydantic at import; pydantic keeps
# that class in a private module, named here so type checkers see the same class.
class CythonModelMeta(ModelMetaclass):
    """pydantic's model metaclass, leaving natively compiled methods alone.

    Every callable attribute of a class body (except properties, class and static
    methods and names starting with ``__``) has its type added to the body's
    ``model_config["ignored_types"]``.
    """

    def __new__(cls, name: str, bases: tuple[type, ...], namespace: dict[str, Any]) -> type[BaseModel]: ...

class CythonBaseModel(BaseModel, metaclass=CythonModelMeta):
    """Base for pydantic models whose methods may be natively compiled."""

get_cached_typeadapter: functools._lru_cache_wrapper[TypeAdapter[Any]]
"""Get a cached TypeAdapter for a function, compatible with Python and Cython.

``functools.lru_cache(maxsize=5000)`` around the builder: one pydantic model of the
function's parameters per function object (parameters with defaults stay optional,
unannotated ones are ``Any``; extra keys are kept when the function takes
``**kwargs`` or its signature cannot be read, else dropped).
"""

def _convert_to_content(
    result: Any,
    serializer: Callable[[Any], str] | None = None,
    _process_as_single_item: bool = False,
) -> list[ContentBlock]:
    """Convert a result to a sequence of content objects."""

class CythonFunctionTool(CythonBaseModel, FunctionTool):
    """fastmcp's FunctionTool for natively compiled functions.

    Arguments are validated with ``get_cached_typeadapter`` and reach the function as
    their validated objects (a parameter annotated with a model receives the model); an
    argument the function does not take is refused with pydantic's "Unexpected keyword
    argument" error unless the function takes ``**kwargs``.  Results are converted with
    ``_convert_to_content``; a parameter annotated ``Context`` receives the request's
    context.
    """

    async def run(self, arguments: dict[str, Any]) -> ToolResult:
        """Run the tool with arguments."""
