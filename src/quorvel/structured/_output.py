"""What the answer must be: the JSON schema sent to the server, and the check
that turns an answer's JSON text into the caller's value.

Servers want an object at the root of a response format and of a tool's
parameters, so any other output (a list of models, a union, a scalar) is sent
wrapped as ``{"response": ...}`` and unwrapped after validation.  The same
wrapped schema is shown in every mode, so an answer that validates in one
mode validates in the others.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

from pydantic import TypeAdapter, ValidationError, create_model

T = TypeVar("T")

# A response format's or a tool's name: what the chat-completion servers accept.
_NAME_UNSAFE = re.compile(r"[^A-Za-z0-9_-]+")
_WRAPPER_KEY = "response"


class Invalid(Exception):
    """An answer that is not the output: ``errors`` in the validator's form."""

    def __init__(self, errors: list[dict[str, Any]]) -> None:
        super().__init__(errors)
        self.errors = errors


@dataclass(frozen=True)
class Output(Generic[T]):
    """The schema of one structured question and the check of its answers.

    ``check`` takes the answer's JSON text and returns the value, or raises
    :class:`Invalid`.
    """

    name: str
    schema: dict[str, Any]
    check: Callable[[str], T]


def schema_name(text: str) -> str:
    """``text`` as a response-format name: letters, digits, ``_`` and ``-``, at most 64."""
    return _NAME_UNSAFE.sub("_", text).strip("_")[:64] or "output"


def is_object_schema(schema: dict[str, Any]) -> bool:
    return schema.get("type") == "object" and "$ref" not in schema


def wrapped_schema(schema: dict[str, Any], title: str) -> dict[str, Any]:
    """``{"response": schema}`` as an object schema; shared definitions stay at the root."""
    inner = dict(schema)
    defs = inner.pop("$defs", None)
    wrapper: dict[str, Any] = {
        "title": title,
        "type": "object",
        "properties": {_WRAPPER_KEY: inner},
        "required": [_WRAPPER_KEY],
    }
    if defs is not None:
        wrapper["$defs"] = defs
    return wrapper


def errors_of(exc: ValidationError) -> list[dict[str, Any]]:
    return [dict(error) for error in exc.errors(include_url=False)]


def json_invalid(text: str, message: str) -> list[dict[str, Any]]:
    return [{"type": "json_invalid", "loc": (), "msg": f"Invalid JSON: {message}", "input": text}]


_QUALIFIER = re.compile(r"[A-Za-z_]\w*\.")


def _type_name(output: Any) -> str:
    """``City`` for a class, ``list[City]`` for ``list[mod.City]``: names without their modules."""
    name = getattr(output, "__name__", None)
    if isinstance(name, str) and not getattr(output, "__args__", None):
        return name
    return _QUALIFIER.sub("", repr(output))


def from_type(output: Any, *, strict: bool) -> Output[Any]:
    """The output of a type that pydantic's ``TypeAdapter`` takes.

    Raises pydantic's ``PydanticSchemaGenerationError`` (a ``TypeError``) for a
    type it cannot describe, before anything is sent.
    """
    adapter: TypeAdapter[Any] = TypeAdapter(output)
    schema = adapter.json_schema()
    name = schema_name(str(schema.get("title") or _type_name(output)))
    if is_object_schema(schema):

        def check(text: str) -> Any:
            try:
                return adapter.validate_json(text, strict=strict)
            except ValidationError as exc:
                raise Invalid(errors_of(exc)) from None

        return Output(name, schema, check)

    # The wrapper is a model of its own, so that pydantic's errors name the
    # key the server was asked for ("response.0.name").
    wrapper = create_model(name, **{_WRAPPER_KEY: (output, ...)})  # type: ignore[call-overload]
    wrapper_adapter: TypeAdapter[Any] = TypeAdapter(wrapper)

    def check_wrapped(text: str) -> Any:
        try:
            return getattr(wrapper_adapter.validate_json(text, strict=strict), _WRAPPER_KEY)
        except ValidationError as exc:
            raise Invalid(errors_of(exc)) from None

    return Output(name, wrapped_schema(schema, name), check_wrapped)


def from_json_schema(schema: dict[str, Any], *, name: str) -> Output[Any]:
    """The output described by a JSON schema document, checked with ``jsonschema``.

    The value is the answer's JSON as ``json.loads`` gives it.  Raises
    ``ValueError`` when the document is not a valid schema.
    """
    import jsonschema  # type: ignore[import-untyped]  # only schema documents need it

    validator_class = jsonschema.validators.validator_for(schema)
    try:
        validator_class.check_schema(schema)
    except jsonschema.SchemaError as exc:
        raise ValueError(f"not a valid JSON schema: {exc.message}") from None
    wrapped = not is_object_schema(schema)
    sent = wrapped_schema(schema, name) if wrapped else schema
    validator = validator_class(sent)

    def check(text: str) -> Any:
        try:
            value = json.loads(text)
        except ValueError as exc:
            raise Invalid(json_invalid(text, str(exc))) from None
        problems = sorted(validator.iter_errors(value), key=lambda error: list(error.absolute_path))
        if problems:
            raise Invalid(
                [
                    {"type": str(error.validator), "loc": tuple(error.absolute_path), "msg": error.message, "input": error.instance}
                    for error in problems
                ]
            )
        return value[_WRAPPER_KEY] if wrapped else value

    return Output(schema_name(name), sent, check)


_FENCED = re.compile(r"```[A-Za-z]*[ \t]*\n?(.*?)```", re.S)


def json_in_text(answer: str) -> str:
    """The JSON an answer written as text holds.

    When it begins with ``{``, up to its last ``}`` (a remark after the object
    is dropped); else the first fenced block; else the outermost object
    (first ``{`` to last ``}``); else the answer as it is, which then fails
    validation with pydantic's JSON error.
    """
    text = answer.strip()
    if text.startswith("{"):
        return text[: text.rfind("}") + 1] or text
    fenced = _FENCED.search(text)
    if fenced:
        return fenced.group(1).strip()
    start, end = text.find("{"), text.rfind("}")
    if start != -1 and end > start:
        return text[start : end + 1]
    return text


def describe_errors(errors: list[dict[str, Any]]) -> str:
    """One line per error: where, and what the validator said."""
    lines = []
    for error in errors:
        where = ".".join(str(part) for part in error.get("loc", ())) or "(the whole answer)"
        lines.append(f"- {where}: {error.get('msg', error.get('type', 'invalid'))}")
    return "\n".join(lines)
