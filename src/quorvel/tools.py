"""Tool registry: expose Python (and compiled) functions to a chat model.

A :class:`Tools` instance collects functions, describes them to the model as
function-calling JSON schemas (built by pydantic from each signature), and runs
the tool calls the model sends back, turning every result -- or problem -- into a
``tool`` message::

    tools = Tools()

    @tools.register
    def add(a: int, b: int = 0) -> int:
        "Add two integers."
        return a + b

    tools.schemas          # -> [{"type": "function", "function": {...}}]
    tools([{"id": "call_1", "type": "function",
            "function": {"name": "add", "arguments": '{"a": 1, "b": "2"}'}}])
    # -> [Message(role=MessageRole.tool, tool_call_id="call_1", contents=["3"])]
"""

from __future__ import annotations

import copy
import inspect
import json
import re
import threading
import typing
import warnings
from collections.abc import Awaitable, Callable, Iterable, Mapping
from concurrent.futures import Future
from dataclasses import dataclass, field
from typing import Annotated, Any, TypeVar, overload

import pydantic_core
from pydantic import BaseModel, ConfigDict, Field, PrivateAttr, ValidationError, create_model

from quorvel.message import Message, MessageRole

__all__ = ["Tools"]

F = TypeVar("F", bound=Callable[..., Any])

# Names accepted by the common chat-completion servers.
_NAME_RE = re.compile(r"[A-Za-z0-9_.:-]{1,64}")
_OPEN_SCHEMA: dict[str, Any] = {"type": "object", "properties": {}}
_MAX_WORKERS = 16
# Guards the lazy construction of parameter models.
_build_lock = threading.Lock()


# Argument models
# ---------------
# Two builders turn a function's parameters into a pydantic model: `_Tool._build`
# here, for the chat model's tools, and quorvel.cython's `get_cached_typeadapter`
# (src/native/cython/adapter_cache.cpp), for MCP tools.  They give the same answers
# for the same function:
#
# - one field per parameter, in order, typed by its resolved hint (else the
#   signature's annotation); an unannotated parameter accepts anything; a parameter
#   default keeps the field optional with that default;
# - `Annotated[T, "text"]` (one metadata item, a string) describes the field with
#   the text; any other `Annotated` stays whole and describes nothing;
# - a function that takes **kwargs receives the keys that name no parameter; for
#   any other function such a key is refused with pydantic's error for it
#   ("Extra inputs are not permitted" here, "Unexpected keyword argument" from
#   `CythonFunctionTool.run`).
#
# They stay two builders because their models must differ where callers see them:
# the adapter's model is public (`get_cached_typeadapter` returns it) and is named
# "<function>Params" with fields named as the parameters, so pydantic's errors and
# the MCP input schema speak of the parameters; its extra setting is "ignore" (the
# refusal of unknown keys happens in `CythonFunctionTool.run`), which callers of the
# adapter may rely on, as they may on two more of its rules: an annotated *args is a
# field too, and hints that cannot be resolved fall back to the raw annotations
# (here *args is left out and an unresolvable annotation accepts anything).  The model here is private and names its fields p0, p1, ...
# with the parameter names as aliases, so that parameters named like BaseModel
# members ("json", "model_config") or with a leading underscore still validate;
# it forbids unknown keys itself and keeps positional-only parameters apart; and
# an annotation it cannot resolve or describe leaves the tool open instead of
# failing (the model still gets to call it).


class _ToolError(Exception):
    """A problem with one tool call, reported to the model as the call's result."""


@dataclass
class _Param:
    """How one validated field maps back onto the function's parameters."""

    field: str
    name: str
    positional_only: bool


@dataclass
class _Tool:
    """One registered function and its (lazily built) argument model."""

    name: str
    description: str
    fn: Callable[..., Any]
    built: bool = False
    model: type[BaseModel] | None = None
    params: list[_Param] = field(default_factory=list)
    parameters_schema: dict[str, Any] = field(default_factory=lambda: dict(_OPEN_SCHEMA))

    def ensure_built(self) -> None:
        """Build the argument model and its JSON schema on first use."""
        if self.built:
            return
        with _build_lock:
            if not self.built:
                self._build()
                self.built = True

    def _build(self) -> None:
        try:
            signature = inspect.signature(self.fn)
        except (TypeError, ValueError):
            return  # e.g. builtins without a text signature: any arguments, unchecked
        hints = _type_hints(self.fn)
        fields: dict[str, Any] = {}
        params: list[_Param] = []
        allow_extra = False
        for index, param in enumerate(signature.parameters.values()):
            if param.kind is inspect.Parameter.VAR_POSITIONAL:
                continue
            if param.kind is inspect.Parameter.VAR_KEYWORD:
                allow_extra = True
                continue
            annotation = hints.get(param.name, param.annotation)
            if annotation is inspect.Parameter.empty or isinstance(annotation, str):
                annotation = Any
            extra: dict[str, Any] = {"alias": param.name}
            description = _annotated_description(annotation)
            if description is not None:
                extra["description"] = description
            default = ... if param.default is inspect.Parameter.empty else param.default
            key = f"p{index}"
            # Field names are internal; the alias carries the real parameter name, so
            # names like "_x", "json" or "model_id" cannot clash with BaseModel.
            fields[key] = (Annotated[annotation, Field(**extra)], default)
            params.append(_Param(key, param.name, param.kind is inspect.Parameter.POSITIONAL_ONLY))
        config = ConfigDict(
            extra="allow" if allow_extra else "forbid",
            arbitrary_types_allowed=True,
            protected_namespaces=(),
        )
        try:
            model = create_model(f"{_model_name(self.name)}Arguments", __config__=config, **fields)
            schema = model.model_json_schema()
        except Exception as exc:  # unsupported annotations: keep the tool usable
            warnings.warn(
                f"cannot describe the parameters of tool {self.name!r} ({exc}); "
                "it is offered with an open schema and its arguments are not checked",
                UserWarning,
                stacklevel=2,
            )
            return
        schema.pop("title", None)
        self.model, self.params, self.parameters_schema = model, params, schema

    def schema(self) -> dict[str, Any]:
        """Return the function-calling description of this tool."""
        self.ensure_built()
        return {
            "type": "function",
            "function": {
                "name": self.name,
                "description": self.description,
                "parameters": copy.deepcopy(self.parameters_schema),
            },
        }

    def invoke(self, arguments: Any) -> str:
        """Validate ``arguments`` (JSON text or a mapping), run the tool, render the result."""
        self.ensure_built()
        args, kwargs = self._bind(_parse_arguments(self.name, arguments))
        try:
            result = _resolve(self.fn(*args, **kwargs))
        except Exception as exc:
            message = str(exc)
            raise _ToolError(
                f"tool {self.name!r} raised {type(exc).__name__}" + (f": {message}" if message else "")
            ) from exc
        if isinstance(result, str):
            return result
        return json.dumps(pydantic_core.to_jsonable_python(result, fallback=str), ensure_ascii=False)

    def _bind(self, data: dict[str, Any]) -> tuple[list[Any], dict[str, Any]]:
        """Validate ``data`` and split it into positional and keyword arguments."""
        if self.model is None:
            return [], data
        try:
            validated = self.model.model_validate(data)
        except ValidationError as exc:
            raise _ToolError(f"invalid arguments for tool {self.name!r}: {_summarize(exc)}") from None
        args: list[Any] = []
        kwargs: dict[str, Any] = {}
        for param in self.params:
            value = getattr(validated, param.field)
            if param.positional_only:
                args.append(value)
            else:
                kwargs[param.name] = value
        kwargs.update(validated.model_extra or {})
        return args, kwargs


class Tools(BaseModel):
    """A registry of functions a chat model may call.

    ``Tools()`` is empty (and false); register functions with :meth:`register`,
    directly or as a decorator, or pass them to the constructor. The instance is a
    pydantic model without fields, so it can be a field of other models.
    """

    _tools: dict[str, _Tool] = PrivateAttr(default_factory=dict)

    def __init__(self, *functions: Callable[..., Any], **data: Any) -> None:
        """Create a registry, registering ``functions`` under their own names."""
        super().__init__(**data)
        for fn in functions:
            self.register(fn)

    @overload
    def register(self, fn: F, /, *, name: str | None = None, description: str | None = None) -> F: ...

    @overload
    def register(
        self, fn: None = None, /, *, name: str | None = None, description: str | None = None
    ) -> Callable[[F], F]: ...

    def register(
        self,
        fn: Callable[..., Any] | None = None,
        /,
        *,
        name: str | None = None,
        description: str | None = None,
    ) -> Any:
        """Register ``fn`` as a tool and return it unchanged.

        ``name`` defaults to ``fn.__name__`` and ``description`` to its cleaned
        docstring. Without ``fn`` this returns a decorator, so both ``@tools.register``
        and ``@tools.register(name="x")`` work. Raises ``TypeError`` for a
        non-callable and ``ValueError`` for an invalid or already used name.
        """
        if fn is None:

            def decorator(func: F) -> F:
                return self.register(func, name=name, description=description)

            return decorator
        if not callable(fn):
            raise TypeError(f"a tool must be callable, not {type(fn).__name__}")
        if name is None:
            name = getattr(fn, "__name__", None)
            if not isinstance(name, str):
                raise TypeError(f"{fn!r} has no __name__; register it with name=...")
        if not isinstance(name, str) or not _NAME_RE.fullmatch(name):
            raise ValueError(
                f"invalid tool name {name!r}: use 1-64 letters, digits, '_', '-', '.' or ':'"
            )
        if name in self._tools:
            raise ValueError(f"a tool named {name!r} is already registered")
        if description is None:
            doc = getattr(fn, "__doc__", None)
            description = inspect.cleandoc(doc) if isinstance(doc, str) else ""
        self._tools[name] = _Tool(name=name, description=description, fn=fn)
        return fn

    def unregister(self, name: str) -> None:
        """Remove the tool called ``name``; ``KeyError`` if there is none."""
        try:
            del self._tools[name]
        except KeyError:
            raise KeyError(f"no tool named {name!r}") from None

    @property
    def names(self) -> list[str]:
        """Names of the registered tools, in registration order."""
        return list(self._tools)

    @property
    def schemas(self) -> list[dict[str, Any]]:
        """Function-calling descriptions of all tools, in registration order."""
        return [tool.schema() for tool in self._tools.values()]

    def __call__(self, tool_calls: Iterable[Mapping[str, Any]]) -> list[Message]:
        """Run a batch of tool calls and return one ``tool`` message per call, in order.

        Problems caused by the model's input (unknown tool, unreadable or invalid
        arguments, an exception inside the tool, a malformed call) never raise: they
        become an ``Error: ...`` text in that call's message. Several calls run
        concurrently in worker threads.
        """
        calls = list(tool_calls)
        if len(calls) <= 1:
            return [self._run(call) for call in calls]
        return _map_in_daemon_threads(self._run, calls, min(len(calls), _MAX_WORKERS))

    def _run(self, call: Any) -> Message:
        """Run one tool call; every failure becomes the message text."""
        call_id = ""
        name: Any = None
        try:
            if isinstance(call, BaseModel):
                call = call.model_dump()
            if not isinstance(call, Mapping):
                raise _ToolError(f"malformed tool call: expected an object, got {type(call).__name__}")
            raw_id = call.get("id")
            call_id = "" if raw_id is None else str(raw_id)
            function = call.get("function")
            if function is None:
                function = {}  # names no tool
            if not isinstance(function, Mapping):
                raise _ToolError("malformed tool call: missing 'function'")
            name = function.get("name")
            # A call that names no tool is refused as one naming an unknown
            # tool: the empty name is no tool's.
            if not isinstance(name, str):
                name = ""
            tool = self._tools.get(name)
            if tool is None:
                raise _ToolError(f"unknown tool {name!r}")
            text = tool.invoke(function.get("arguments"))
        except _ToolError as exc:
            text = f"Error: {exc}"
        except Exception as exc:  # last resort: a result that cannot be rendered, etc.
            text = f"Error: tool {name!r} failed with {type(exc).__name__}: {exc}"
        return Message(role=MessageRole.tool, tool_call_id=call_id, contents=[text])

    def __contains__(self, name: object) -> bool:
        return name in self._tools

    def __len__(self) -> int:
        return len(self._tools)

    def __bool__(self) -> bool:
        return bool(self._tools)

    def __repr_args__(self) -> Iterable[tuple[str | None, Any]]:
        yield "tools", self.names


def _type_hints(fn: Callable[..., Any]) -> dict[str, Any]:
    """Resolved annotations of ``fn`` (or of its ``__call__``), empty when unavailable."""
    target: Any = fn
    if not (inspect.isroutine(fn) or isinstance(fn, type) or hasattr(fn, "__code__")):
        target = getattr(fn, "__call__", fn)
    try:
        return typing.get_type_hints(target, include_extras=True)
    except Exception:
        pass
    # Some names could not be resolved: keep the annotations that are real objects.
    raw = getattr(target, "__annotations__", None)
    if not isinstance(raw, Mapping):
        return {}
    return {key: value for key, value in raw.items() if not isinstance(value, str)}


def _annotated_description(annotation: Any) -> str | None:
    """The text of ``Annotated[T, "text"]``: exactly one metadata item, a string.

    Any other ``Annotated`` form (more items, or other metadata) describes
    nothing, as in quorvel.cython's adapter cache (see "Argument models").
    """
    if typing.get_origin(annotation) is Annotated:
        metadata = annotation.__metadata__
        if len(metadata) == 1 and isinstance(metadata[0], str):
            return metadata[0]
    return None


def _model_name(name: str) -> str:
    """A class-name-like rendering of a tool name."""
    return "".join(part[:1].upper() + part[1:] for part in re.split(r"[^0-9A-Za-z]+", name)) or "Tool"


def _parse_arguments(name: str, arguments: Any) -> dict[str, Any]:
    """Decode the argument text of a call; empty or missing text means no arguments."""
    if arguments is None:
        return {}
    if isinstance(arguments, Mapping):
        return dict(arguments)
    if isinstance(arguments, (bytes, bytearray)):
        arguments = arguments.decode("utf-8", errors="replace")
    if not isinstance(arguments, str):
        raise _ToolError(f"arguments for tool {name!r} must be JSON text, got {type(arguments).__name__}")
    if not arguments.strip():
        return {}
    try:
        data = json.loads(arguments)
    except json.JSONDecodeError as exc:
        raise _ToolError(f"arguments for tool {name!r} are not valid JSON: {exc}") from None
    if not isinstance(data, dict):
        raise _ToolError(f"arguments for tool {name!r} must be a JSON object, got {_json_kind(data)}")
    return data


def _json_kind(value: Any) -> str:
    """The JSON name of a decoded value's type."""
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    return "an array"


def _summarize(exc: ValidationError) -> str:
    """One line per validation problem: ``loc: message``."""
    parts = []
    for error in exc.errors(include_url=False):
        loc = ".".join(str(item) for item in error["loc"]) or "arguments"
        parts.append(f"{loc}: {error['msg']}")
    return "; ".join(parts)


def _resolve(result: Any) -> Any:
    """Await ``result`` if it is awaitable, with or without a loop running here."""
    if not inspect.isawaitable(result):
        return result
    import asyncio  # only asynchronous tools need it; importing it costs more than this module


    async def wait(awaitable: Awaitable[Any]) -> Any:
        return await awaitable

    try:
        asyncio.get_running_loop()
    except RuntimeError:
        return asyncio.run(wait(result))
    # A loop is already running in this thread: give the coroutine its own loop.
    (value,) = _map_in_daemon_threads(lambda awaitable: asyncio.run(wait(awaitable)), [result], 1)
    return value


_T = TypeVar("_T")
_R = TypeVar("_R")


def _map_in_daemon_threads(function: Callable[[_T], _R], items: list[_T], workers: int) -> list[_R]:
    """``[function(item) for item in items]``, computed by ``workers`` threads.

    The threads are daemon threads: a tool that never returns holds up its
    caller, never the interpreter's exit (a ThreadPoolExecutor's workers are
    joined at exit).  The first exception, in item order, is raised again.
    """
    futures: list[Future[_R]] = [Future() for _ in items]
    queue = iter(list(enumerate(items)))
    lock = threading.Lock()

    def work() -> None:
        while True:
            with lock:
                job = next(queue, None)
            if job is None:
                return
            index, item = job
            future = futures[index]
            try:
                future.set_result(function(item))
            except BaseException as exc:  # handed to the caller, as an executor does
                future.set_exception(exc)

    for number in range(workers):
        threading.Thread(target=work, name=f"quorvel-tools-{number}", daemon=True).start()
    return [future.result() for future in futures]
