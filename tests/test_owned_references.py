"""Objects the native code works with stay alive while it calls back into Python.

Each scenario drops every other reference to an object from inside a Python
callback that the native code makes while it still uses that object.  The
scenarios run in a child interpreter: a reference the native code failed to
own would be used after being freed, which may crash the process.
"""
import subprocess
import sys
import textwrap

import pytest


def run_child(source):
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(source)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, f"exit {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


# The object under test is reachable only through dicts (the function's
# annotations, the hints, the builder's own tables) and signature
# parameters; the patched hook empties every one of them that refers to it,
# and a weak reference reports whether the object was freed while the
# native code still used it.
DROP_HELPERS = """
import gc, inspect, weakref
from quorvel import cython as qc

freed = []

def watch(obj):
    return weakref.ref(obj, lambda _ref: freed.append(True))

def drop_dict_referrers(obj):
    for holder in gc.get_referrers(obj):
        if isinstance(holder, dict):
            holder.clear()
        elif isinstance(holder, inspect.Parameter):  # a signature's copy of an annotation
            inspect.Parameter._annotation.__set__(holder, inspect.Parameter.empty)
"""


# typing hands this very object back from get_type_hints (a list[int] alone
# would be rebuilt there), and no typing cache holds it (unhashable metadata).
ANNOTATION_SETUP = """
from typing import Annotated
ANNOTATION = Annotated[list[int], {}]
"""


@pytest.mark.parametrize(
    "make_fn",
    [
        # The annotation of a signature parameter.
        "def fn(a): pass\nfn.__annotations__ = {'a': ANNOTATION}",
        # An annotated name the signature cannot show (the signature cannot
        # be read at all), taken from the annotations alone.
        "class Fn:\n    __signature__ = 'unreadable'\n    def __call__(self, **kw): pass\n"
        "fn = Fn()\nfn.__annotations__ = {'a': ANNOTATION}",
    ],
    ids=["parameter", "annotation-only"],
)
def test_annotation_outlives_get_origin(make_fn):
    out = run_child(
        DROP_HELPERS
        + ANNOTATION_SETUP
        + make_fn
        + """
watched = watch(ANNOTATION)
del ANNOTATION
real_get_origin = qc.get_origin

def dropping_get_origin(tp):
    if tp is watched():
        drop_dict_referrers(tp)
    return real_get_origin(tp)

qc.get_origin = dropping_get_origin
adapter = qc.get_cached_typeadapter(fn)
assert not freed, "annotation freed while the builder still used it"
print(adapter.validate_python({'a': ['1', 2]}).a)
"""
    )
    assert out.strip() == "[1, 2]"


def test_parameter_outlives_its_attribute_reads():
    out = run_child(
        DROP_HELPERS
        + """
import inspect

class DroppingParameter(inspect.Parameter):
    # inspect.Parameter has slots only; a subclass gets a weakref slot.
    @property
    def kind(self):
        drop_dict_referrers(self)
        for holder in gc.get_referrers(self):
            if isinstance(holder, list):
                holder.clear()
        return inspect.Parameter.POSITIONAL_OR_KEYWORD

    @property
    def name(self):
        # Read by the builder after `kind`.
        freed_before_name.append(bool(freed))
        return self._name

freed_before_name = []

def fn(a: int): pass

param = DroppingParameter('a', inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=int)
fn.__signature__ = inspect.Signature([param], __validate_parameters__=False)
watched = watch(param)
del param
adapter = qc.get_cached_typeadapter(fn)
assert freed_before_name and not any(freed_before_name), "parameter freed while the builder still used it"
print(adapter.validate_python({'a': '7'}).a)
"""
    )
    assert out.strip() == "7"


def test_context_table_outlives_a_lookup_that_replaces_it():
    """A function whose __eq__ runs another tool under another Context class.

    The nested run starts a new table of context parameters; the lookup that
    called __eq__ is still reading the old one.
    """
    out = run_child(
        """
import asyncio, sys, types
import fastmcp.server.context as real_context
from quorvel.cython import CythonFunctionTool

def plain(a: int) -> int:
    return a

other_tool = CythonFunctionTool.from_function(plain, name="other")

class Colliding:
    # Equal hashes make the table lookup compare the keys.
    nested = False
    def __init__(self, name):
        self.__name__ = name
    def __hash__(self):
        return 1
    def __eq__(self, other):
        if not Colliding.nested:
            Colliding.nested = True
            fake = types.ModuleType("fastmcp.server.context")
            fake.Context = type("Context", (), {})
            sys.modules["fastmcp.server.context"] = fake
            try:
                coro = other_tool.run({"a": 1})
                try:
                    coro.send(None)
                except StopIteration:
                    pass
            finally:
                sys.modules["fastmcp.server.context"] = real_context
        return self is other
    def __call__(self, a: int) -> int:
        return a * 2

first, second = Colliding("first"), Colliding("second")
tools = [CythonFunctionTool(name=f.__name__, fn=f, parameters={}) for f in (first, second)]

async def main():
    results = []
    for tool in tools:
        results.append((await tool.run({"a": 21})).content[0].text)
    return results

print(asyncio.run(main()))
"""
    )
    assert out.strip() == "['42', '42']"
