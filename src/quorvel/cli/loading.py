"""Loading the package's native modules and the user's modules."""

from __future__ import annotations

import contextlib
import importlib
import importlib.machinery
import importlib.util
import inspect
import itertools
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


# A user's module is registered under a private name: a tools module called
# json.py or requests.py must not stand in for the real json or requests in
# sys.modules.  The last component stays the file's own name, because an
# extension module's init function is found by it; the private parent is new
# for every load, so two files with one name do not collide either.
_PRIVATE_PARENT = "_quorvel_user_module_"
_loads = itertools.count(1)


def _private_name(stem: str) -> str:
    parent = f"{_PRIVATE_PARENT}{next(_loads)}"
    package = ModuleType(parent, "Holds one module loaded by the quorvel command under a private name.")
    package.__path__ = []
    sys.modules[parent] = package
    return f"{parent}.{stem}"


def _load_file(path: Path, shown: str) -> ModuleType:
    """Execute the module in ``path`` under a private name; ``shown`` names it in errors."""
    stem = path.name.split(".", 1)[0]
    if not stem.isidentifier():
        raise CliError(f"cannot import {shown}: {stem!r} is not a valid module name")
    name = _private_name(stem)
    found = importlib.util.spec_from_file_location(name, path)
    if found is None or found.loader is None:
        raise CliError(f"cannot import {shown}: not a Python module")
    module = importlib.util.module_from_spec(found)
    # Its siblings stay importable, after every installed module: a file in
    # that directory never shadows one of the standard library or a dependency.
    parent = str(path.resolve().parent)
    if parent not in sys.path:
        sys.path.append(parent)
    sys.modules[name] = module
    try:
        found.loader.exec_module(module)
    except (Exception, SystemExit) as exc:
        sys.modules.pop(name, None)
        raise CliError(f"cannot import {shown}: {describe(exc)}") from None
    return module


def load_module(target: str) -> ModuleType:
    """Import ``target``: a dotted module name or the path of a ``.py``/extension file.

    A file, and a module name found in the current directory (looked up there
    first, as ``python -m`` does), is loaded under a private name, so it never
    replaces a module of the same name in ``sys.modules``.  Other names are
    imported as usual.  Any failure while importing becomes a :class:`CliError`.
    """
    if _looks_like_path(target):
        path = Path(target)
        if not path.is_file():
            raise CliError(f"cannot import {target}: no such file")
        return _load_file(path, target)
    cwd = os.getcwd()
    if target.isidentifier():
        local = importlib.machinery.PathFinder.find_spec(target, [cwd])
        if local is not None and local.origin and local.submodule_search_locations is None:
            return _load_file(Path(local.origin), f"module {target!r}")
    if cwd not in sys.path and "" not in sys.path:
        sys.path.append(cwd)
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
    own = {module.__name__}
    spec = getattr(module, "__spec__", None)
    if isinstance(getattr(spec, "loader", None), importlib.machinery.ExtensionFileLoader):
        # A compiled module's functions carry the name it was compiled under,
        # not the private one it was loaded under.
        own.add(module.__name__.rpartition(".")[2])
    found = []
    for name in names:
        obj = getattr(module, name, None)
        if obj is None or isinstance(obj, type) or not inspect.isroutine(obj):
            continue
        if listed is None and getattr(obj, "__module__", None) not in own:
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


def tools_from(targets: Sequence[str], registry: Tools | None = None) -> Tools:
    """``registry`` (a new ``Tools`` by default) with the public functions of each target registered."""
    tools = native("tools").Tools() if registry is None else registry
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

