"""The native function type and module start-up, seen from Python."""
import importlib
import inspect
import pickle
import subprocess
import sys
import textwrap
import typing

import pytest

from quorvel import message
from quorvel.message import Message


def test_introspection_reads_like_python_code():
    fn = Message.__repr__
    assert fn.__name__ == "__repr__" and fn.__qualname__ == "Message.__repr__"
    assert fn.__module__ == "quorvel.message"
    assert fn.__globals__ is vars(message)
    assert fn.__code__.co_varnames == ("self",) and fn.__code__.co_argcount == 1
    assert fn.__defaults__ is None and fn.__kwdefaults__ is None
    assert str(inspect.signature(fn)) == "(self) -> 'str'"
    assert typing.get_type_hints(Message.latest.fget) == {"return": dict[str, typing.Any]}
    assert not inspect.iscoroutinefunction(fn) and not inspect.isgeneratorfunction(fn)


def test_function_dict_and_writable_names():
    fn = Message.__bool__
    fn.marker = 1
    assert fn.__dict__["marker"] == 1
    del fn.marker
    with pytest.raises(TypeError):
        fn.__name__ = 3
    with pytest.raises(AttributeError):
        fn.__globals__ = {}


def test_binding_on_instance_and_class():
    m = Message(role="user", contents=["x"])
    bound = m.__repr__
    assert bound.__self__ is m and bound.__func__ is Message.__repr__
    assert str(inspect.signature(bound)) == "() -> 'str'"
    assert Message.__repr__(m) == bound() == repr(m)
    assert Message.__dict__["__repr__"].__get__(None, Message) is Message.__repr__


def test_functions_pickle_by_reference():
    assert pickle.loads(pickle.dumps(Message.__repr__)) is Message.__repr__


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda f: f(), "Message.__repr__() missing 1 required positional argument: 'self'"),
        (lambda f: f(1, 2), "Message.__repr__() takes 1 positional argument but 2 were given"),
        (lambda f: f(self=1, other=2), "Message.__repr__() got an unexpected keyword argument 'other'"),
        (lambda f: f(1, self=2), "Message.__repr__() got multiple values for argument 'self'"),
    ],
)
def test_argument_errors_use_python_messages(call, expected):
    with pytest.raises(TypeError) as info:
        call(Message.__repr__)
    assert str(info.value) == expected


def _python_twin():
    """A Python function with the signature of _convert_to_content."""
    def twin(result, serializer=None, _process_as_single_item=False):
        return result

    twin.__qualname__ = "_convert_to_content"
    return twin


def _outcome(action, fn):
    try:
        return "ok", action(fn)
    except Exception as e:  # the type and text are what is compared
        return type(e).__name__, str(e)


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f(1, 2, 3, 4, bogus=1),  # keywords are checked before the positional count
        lambda f: f(1, 2, 3, 4, result=1),
        lambda f: f(1, 2, 3, 4),
        lambda f: f(serializer=None),
    ],
)
def test_argument_errors_match_a_python_function_with_defaults(call):
    from quorvel.cython import _convert_to_content

    assert _outcome(call, _convert_to_content) == _outcome(call, _python_twin())


@pytest.mark.parametrize(
    "attr, value",
    [
        ("__defaults__", 5),
        ("__defaults__", ("a", "b", "c", "d")),
        ("__kwdefaults__", 5),
        ("__annotations__", 5),
        ("__annotations__", None),
    ],
)
def test_function_attributes_are_set_as_on_python_functions(attr, value):
    from quorvel.cython import _convert_to_content

    saved = getattr(_convert_to_content, attr)

    def assign(fn):
        setattr(fn, attr, value)
        return getattr(fn, attr)

    try:
        assert _outcome(assign, _convert_to_content) == _outcome(assign, _python_twin())
    finally:
        setattr(_convert_to_content, attr, saved)


def test_defaults_live_through_a_call_that_replaces_them():
    code = textwrap.dedent(
        """
        from quorvel.cython import _convert_to_content as convert
        events = []

        class Serializer:
            def __call__(self, value):
                events.append("called")
                return "text"

            def __del__(self):
                events.append("freed")

        class Flag:
            def __bool__(self):
                convert.__defaults__ = (None, False)  # drops the tuple that holds both defaults
                return False

        convert.__defaults__ = (Serializer(), Flag())
        assert convert([1])[0].text == "text"
        print(events)
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.strip() == "['called', 'freed']"


def test_keyword_call_reaches_the_body():
    m = Message(role="user", contents=["kw"])
    assert Message.__repr__(self=m) == repr(m)


def test_second_initialisation_is_refused():
    saved = sys.modules.pop("quorvel.message")
    try:
        with pytest.raises(ImportError, match="quorvel.message"):
            importlib.import_module("quorvel.message")
    finally:
        sys.modules["quorvel.message"] = saved


def test_message_imports_only_its_dependencies():
    code = textwrap.dedent(
        """
        import sys
        before = set(sys.modules)
        import json, enum, typing
        from pydantic import BaseModel, Field

        class Role(enum.StrEnum):
            a = "a"

        class Model(BaseModel):
            role: Role
            contents: list[str | list[dict[str, typing.Any]]] = Field(default_factory=list)

            @property
            def latest(self) -> dict[str, typing.Any]:
                return {}

        Model(role="a").latest
        allowed = set(sys.modules)
        import quorvel.message
        # the package itself holds quorvel.cancel (quorvel._inflight, standard library only)
        extra = set(sys.modules) - allowed - {"quorvel", "quorvel._inflight", "quorvel.message"}
        print(sorted(extra))
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]", out.stdout


def test_module_globals_are_looked_up_at_call_time(monkeypatch):
    calls = []

    class FakeJson:
        @staticmethod
        def dumps(obj, ensure_ascii):
            calls.append(ensure_ascii)
            return "patched"

    monkeypatch.setattr(message, "json", FakeJson)
    assert repr(Message(role="user", contents=["x"])) == "patched"
    assert calls == [False]
