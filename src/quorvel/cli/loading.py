"""Loading the package's native modules and the user's modules."""

from __future__ import annotations

import contextlib
import importlib
import importlib.util
import inspect
import os
import re
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from types import ModuleType
from typing import TYPE_CHECKING, Any

from quorvel.cli.text import CliError, describe, one_line

if TYPE_CHECKING:
    from quorvel.tools import Tools



# fastmcp's import of authlib announces a deprecation that is no business of a
# command-line user; authlib forces it through with an "always" filter.
_NOISE = re.compile(r"authlib\.jose module is deprecated")


def native(what: str) -> Any:
    """Import ``quorvel.<what>``; a missing or broken build becomes a CliError."""
    with warnings.catch_warnings(record=True) as caught:
        try:
            module = importlib.import_module(f"quorvel.{what}")
        except ImportError as exc:
            raise CliError(
                f"cannot load quorvel.{what} ({describe(exc)}); build the extension modules or reinstall quorvel"
            ) from None
    for warning in caught:
        if not _NOISE.match(str(warning.message)):
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    return module


def _looks_like_path(target: str) -> bool:
    return target.endswith((".py", ".so", ".pyd")) or "/" in target or (os.sep != "/" and os.sep in target)


def load_module(target: str) -> ModuleType:
    """Import ``target``: a dotted module name or the path of a ``.py``/extension file.

    Module names are looked up from the current directory too, as ``python -m``
    does.  Any failure while importing becomes a :class:`CliError`.
    """
    if _looks_like_path(target):
        path = Path(target)
        if not path.is_file():
            raise CliError(f"cannot import {target}: no such file")
        name = path.name.split(".", 1)[0]
        found = importlib.util.spec_from_file_location(name, path)
        if found is None or found.loader is None:
            raise CliError(f"cannot import {target}: not a Python module")
        module = importlib.util.module_from_spec(found)
        parent = str(path.resolve().parent)
        if parent not in sys.path:
            sys.path.insert(0, parent)  # so that the module finds its siblings
        sys.modules[name] = module
        try:
            found.loader.exec_module(module)
        except (Exception, SystemExit) as exc:
            sys.modules.pop(name, None)
            raise CliError(f"cannot import {target}: {describe(exc)}") from None
        return module
    cwd = os.getcwd()
    if cwd not in sys.path and "" not in sys.path:
        sys.path.insert(0, cwd)
    try:
        return importlib.import_module(target)
    except (Exception, SystemExit) as exc:
        raise CliError(f"cannot import module {target!r}: {describe(exc)}") from None


def public_functions(module: ModuleType) -> list[tuple[str, Callable[..., Any]]]:
    """The functions a module offers, as ``(name, function)`` in definition order.

    With ``__all__`` exactly the routines it lists; otherwise every routine whose
    name does not begin with an underscore and that the module defines itself
    (imported helpers are left out).  Classes are never included.
    """
    listed = getattr(module, "__all__", None)
    names = list(listed) if listed is not None else [n for n in vars(module) if not n.startswith("_")]
    found = []
    for name in names:
        obj = getattr(module, name, None)
        if obj is None or isinstance(obj, type) or not inspect.isroutine(obj):
            continue
        if listed is None and getattr(obj, "__module__", None) != module.__name__:
            continue
        found.append((name, obj))
    return found


def module_functions(target: str) -> list[tuple[str, Callable[..., Any]]]:
    # Whatever the module prints while importing must not reach stdout: for
    # `mcp serve` that is the protocol channel.
    with contextlib.redirect_stdout(sys.stderr):
        module = load_module(target)
    functions = public_functions(module)
    if not functions:
        raise CliError(f"module {target!r} has no public functions")
    return functions


def tools_from(targets: Sequence[str]) -> Tools:
    tools = native("tools").Tools()
    for target in targets:
        for name, fn in module_functions(target):
            try:
                tools.register(fn, name=name)
            except (TypeError, ValueError) as exc:
                raise CliError(f"cannot register {name} from {target}: {one_line(exc)}") from None
    return tools


def signature_text(fn: Callable[..., Any]) -> str:
    try:
        return ", ".join(inspect.signature(fn).parameters)
    except (TypeError, ValueError):
        return "..."

