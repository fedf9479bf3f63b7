"""Importing quorvel: what each module loads, and that it loads quietly.

fastmcp and mcp are needed only by the tool layer of quorvel.cython, which is
bound on first use; each check runs in a fresh interpreter, since this one has
imported everything long ago.
"""

import json
import os
import subprocess
import sys

import pytest

import quorvel

HEAVY = ("fastmcp", "mcp")

# Children import the same quorvel as these tests: the installed package, or
# the source tree with modules built in place.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(quorvel.__file__)))


def run_fresh(code: str) -> dict:
    """Runs `code` in a fresh interpreter with warnings as errors; returns the
    JSON it printed last."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (PACKAGE_ROOT, env.get("PYTHONPATH")) if p)
    done = subprocess.run(
        [sys.executable, "-W", "error", "-c", code], capture_output=True, text=True, env=env, timeout=120
    )
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    return json.loads(done.stdout.splitlines()[-1])


LOADED = "import json, sys; print(json.dumps(sorted({{m.split('.')[0] for m in sys.modules}} & {heavy})))"


@pytest.mark.parametrize(
    "module",
    ["quorvel", "quorvel.message", "quorvel.modal", "quorvel.cython", "quorvel.config", "quorvel.tools",
     "quorvel.testing"],
)
def test_import_loads_no_mcp_and_warns_nothing(module):
    loaded = run_fresh(f"import {module}\n" + LOADED.format(heavy=set(HEAVY)))
    assert loaded == []


def test_tool_layer_is_bound_on_first_use():
    code = """
import json, sys
import quorvel.cython as cy
before = 'fastmcp' in sys.modules
listed = {'CythonFunctionTool', 'ToolResult', 'get_context'} <= set(dir(cy))
from quorvel.cython import CythonFunctionTool
from fastmcp.tools import FunctionTool
print(json.dumps({
    "before": before,
    "listed": listed,
    "after": 'fastmcp' in sys.modules and 'mcp' in sys.modules,
    "subclass": issubclass(CythonFunctionTool, FunctionTool),
    "global": cy.__dict__.get("CythonFunctionTool") is CythonFunctionTool,
    "module": CythonFunctionTool.__module__,
}))
"""
    assert run_fresh(code) == {
        "before": False,
        "listed": True,
        "after": True,
        "subclass": True,
        "global": True,
        "module": "quorvel.cython",
    }


def test_content_conversion_binds_the_tool_layer_and_keeps_replaced_names():
    # A name replaced before the layer is bound stays replaced; the others
    # are bound from fastmcp and mcp.
    code = """
import json, sys
import quorvel.cython as cy
cy.default_serializer = lambda value: "replaced"
blocks = cy._convert_to_content({"a": 1})
from fastmcp.tools.tool import ToolResult
print(json.dumps({
    "text": blocks[0].text,
    "kept": cy.default_serializer(1),
    "bound": cy.ToolResult is ToolResult,
}))
"""
    assert run_fresh(code) == {"text": "replaced", "kept": "replaced", "bound": True}


def test_unknown_attribute_is_an_attribute_error():
    import quorvel.cython as cy

    with pytest.raises(AttributeError, match="module 'quorvel.cython' has no attribute 'no_such_name'"):
        cy.no_such_name  # noqa: B018
    assert not hasattr(cy, "ServerError")


def test_public_names():
    import quorvel.cython as cy

    assert cy.__all__ == ["CythonModelMeta", "CythonBaseModel", "get_cached_typeadapter", "CythonFunctionTool"]
    for name in cy.__all__:
        assert getattr(cy, name).__module__ in ("quorvel.cython", "functools")


def test_failed_binding_is_retried():
    # Without fastmcp the tool layer cannot be bound: the read fails with the
    # import's error, and a later read, with fastmcp back, binds it.
    code = """
import json, sys
import quorvel.cython as cy
sys.modules["fastmcp"] = None
try:
    cy.CythonFunctionTool
except ImportError as exc:
    failed = type(exc).__name__
del sys.modules["fastmcp"]
print(json.dumps({"failed": failed, "then": cy.CythonFunctionTool.__name__,
                  "text": cy._convert_to_content("x")[0].text}))
"""
    assert run_fresh(code) == {"failed": "ModuleNotFoundError", "then": "CythonFunctionTool", "text": "x"}
