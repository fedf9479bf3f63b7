"""``quorvel chat --schema``: answers validated as a schema, printed as JSON.

The schema is a class (``MODULE:CLASS``, MODULE a module name or a ``.py``
file) or a JSON schema file (``.json``).  Each question goes through
``quorvel.structured``; the validated value is printed as JSON on standard
output, and a failure is one line, as for an ordinary turn.
"""

from __future__ import annotations

import contextlib
import json
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from quorvel.cli import history
from quorvel.cli.failure import failure_text
from quorvel.cli.loading import load_module
from quorvel.cli.text import CliError, describe, one_line
from quorvel.cli.turn import LibraryOutput, _StopOnInterrupt

if TYPE_CHECKING:
    from quorvel.modal import LLModal
    from quorvel.structured._output import Output

SCHEMA_HELP = (
    "answer with JSON validated by a schema: MODULE:CLASS (a pydantic model, dataclass or TypedDict; "
    "MODULE is a module name or a .py file) or a JSON schema file (.json); prints the validated object as JSON"
)
SCHEMA_MODES = ("json_schema", "tool", "prompted")


def _from_file(path: Path, given: str) -> Output[Any]:
    from quorvel.structured._output import from_json_schema

    try:
        schema = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        raise CliError(f"schema file not found: {given}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"cannot read schema {given}: {describe(exc)}") from None
    except ValueError as exc:
        raise CliError(f"schema {given} is not JSON: {one_line(exc)}") from None
    if not isinstance(schema, dict):
        raise CliError(f"schema {given} is not a JSON schema object")
    try:
        return from_json_schema(schema, name=str(schema.get("title") or path.stem))
    except ValueError as exc:
        raise CliError(f"schema {given}: {one_line(exc)}") from None


def load_output(given: str) -> Output[Any]:
    """The output ``--schema`` names; a CliError when it cannot be had."""
    path = Path(given)
    if given.endswith(".json") or (":" not in given and path.is_file()):
        return _from_file(path, given)
    module_name, sep, attribute = given.rpartition(":")
    if not sep or not module_name or not attribute:
        raise CliError(f"--schema takes MODULE:CLASS or a JSON schema file, got {given!r}")
    module = load_module(module_name)
    target: Any = module
    for part in attribute.split("."):
        try:
            target = getattr(target, part)
        except AttributeError:
            raise CliError(f"{module_name} has no {attribute}") from None
    from quorvel.structured._output import from_type

    try:
        return from_type(target, strict=True)
    except Exception as exc:  # pydantic's schema errors are of several kinds
        raise CliError(f"cannot use {given} as a schema: {describe(exc)}") from None


def run_structured_turn(model: LLModal, prompt: str, output: Output[Any], mode: str, show: Callable[[str], None]) -> str | None:
    """Ask ``prompt`` for ``output`` and show the value as JSON.

    Returns ``None`` on success, ``"stopped"`` on Ctrl-C, or one line saying
    what failed; the conversation stays usable in every case.
    """
    from pydantic_core import to_jsonable_python

    from quorvel.structured import OutputError, _ask

    before = history.snapshot(model)
    library = LibraryOutput(sys.stderr)
    try:
        with _StopOnInterrupt(model), contextlib.redirect_stdout(library):
            value = _ask(model, prompt, output, mode=mode, schema_in_prompt=False, retries=1, strict=True)
    except KeyboardInterrupt:
        model._reset()
        history.drop_unanswered_tool_calls(model)
        return "stopped"
    except OutputError as exc:
        return one_line(exc)
    except Exception as exc:
        history.drop_fallback(model, before)
        return failure_text(exc, model.endpoint_url)
    finally:
        library.flush()
    show(json.dumps(to_jsonable_python(value, fallback=str), indent=2, ensure_ascii=False))
    return None
