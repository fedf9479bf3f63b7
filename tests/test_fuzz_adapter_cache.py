"""Property-based tests of the adapter cache: callables with random
signatures, odd annotations, odd names and unreadable signatures give an
adapter or an ordinary exception; a built adapter is kept and validates
arguments of its annotated types, a failed build is not cached.

Run longer with QUORVEL_FUZZ=long (README, "Development")."""

from __future__ import annotations

import inspect
import typing
from typing import Annotated, Any, Optional

import pytest
from hypothesis import given, strategies as st
from pydantic import TypeAdapter

from quorvel.cython import get_cached_typeadapter

pytestmark = pytest.mark.fuzz

P = inspect.Parameter

NO_VALUE = object()
# (annotation, a value of that type, or NO_VALUE when there is no simple one)
ANNOTATIONS = [
    (int, 3), (str, "s"), (list[int], [1]), (Optional[str], None), (Any, NO_VALUE),
    (Annotated[int, "a count"], 4), (Annotated[str, 5], "t"), (Annotated[int, "x", "y"], 5),
    ("int", 6), ("list[str]", ["a"]), ("Undefined", NO_VALUE), ("list[int", NO_VALUE),
    (5, NO_VALUE), (None, None), (typing.Callable, NO_VALUE), (dict[str, "int"], {"k": 1}),
]
KINDS = [P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD, P.KEYWORD_ONLY, P.VAR_POSITIONAL, P.VAR_KEYWORD]
NO_ANNOTATION = len(ANNOTATIONS)

parameter_specs = st.lists(
    st.tuples(
        st.sampled_from(KINDS),
        st.integers(min_value=0, max_value=NO_ANNOTATION),  # index into ANNOTATIONS, or none
        st.booleans(),  # has a default
    ),
    max_size=4,
)
names = st.one_of(st.sampled_from(["tool", "f", ""]), st.integers(), st.none())


def make_callable(specs, return_annotation, name, signature_readable):
    """A callable with the given parameters, annotations and name."""

    if isinstance(name, str):
        def fn(*args, **kwargs):
            return args, kwargs

        fn.__name__ = name
    else:
        # A callable object: without a name, or with one that is no text.
        class Callable:
            def __call__(self, *args, **kwargs):
                return args, kwargs

        fn = Callable()
        if name is not None:
            fn.__name__ = name

    params, annotations, seen = [], {}, set()
    specs = sorted(specs, key=lambda spec: KINDS.index(spec[0]))
    for i, (kind, which, has_default) in enumerate(specs):
        if kind in (P.VAR_POSITIONAL, P.VAR_KEYWORD):
            if kind in seen:
                continue
            has_default = False
        seen.add(kind)
        pname = f"p{i}"
        annotation = P.empty if which == NO_ANNOTATION else ANNOTATIONS[which][0]
        if annotation is not P.empty:
            annotations[pname] = annotation
        params.append((pname, kind, annotation, has_default))
    # Defaults may not be followed by required positional parameters.
    fixed, default_seen = [], False
    for pname, kind, annotation, has_default in params:
        if kind in (P.POSITIONAL_ONLY, P.POSITIONAL_OR_KEYWORD):
            has_default = has_default or default_seen
            default_seen = has_default
        fixed.append(P(pname, kind, annotation=annotation, default=0 if has_default else P.empty))
    if return_annotation is not P.empty:
        annotations["return"] = return_annotation
    fn.__annotations__ = annotations
    fn.__signature__ = inspect.Signature(fixed) if signature_readable else "unreadable"
    return fn


@given(
    specs=parameter_specs,
    return_annotation=st.sampled_from([P.empty, int, "Undefined", None]),
    name=names,
    signature_readable=st.booleans(),
)
def test_adapters_for_random_callables(specs, return_annotation, name, signature_readable):
    try:
        fn = make_callable(specs, return_annotation, name, signature_readable)
    except (TypeError, ValueError, AttributeError):
        return  # not a callable Python can describe
    size = get_cached_typeadapter.cache_info().currsize
    try:
        adapter = get_cached_typeadapter(fn)
    except Exception as first:  # noqa: BLE001 - pydantic's and typing's own errors pass through
        assert get_cached_typeadapter.cache_info().currsize == size, "a failed build was cached"
        with pytest.raises(type(first)):
            get_cached_typeadapter(fn)
        return
    assert isinstance(adapter, TypeAdapter)
    assert get_cached_typeadapter(fn) is adapter
    model = adapter.core_schema["cls"]
    fields = model.model_fields
    parameters = list(fn.__signature__.parameters.values()) if signature_readable else []
    if [p.kind for p in parameters] == [P.VAR_KEYWORD]:
        # Only **kwargs: nothing to validate, every key let through.
        assert not fields and model.model_config["extra"] == "allow"
        assert adapter.validate_python({"k": 1}).model_dump() == {"k": 1}
        return
    # Every annotated name but the return annotation is a field.
    assert set(fn.__annotations__) - {"return"} <= set(fields)
    assert "return" not in fields
    # Arguments of the annotated types validate and keep their values; an
    # unannotated parameter takes anything.
    arguments = {}
    for pname, annotation in fn.__annotations__.items():
        if pname == "return":
            continue
        value = next(v for a, v in ANNOTATIONS if a is annotation)
        if value is NO_VALUE:
            return
        arguments[pname] = value
    for pname in fields:
        arguments.setdefault(pname, None)
    dumped = adapter.validate_python(arguments).model_dump()
    for pname in fn.__annotations__.keys() - {"return"}:
        assert dumped[pname] == arguments[pname]


@given(value=st.sampled_from([Optional[str], int | None, 5, "text", ("a", 1)]))
def test_non_callables_get_a_plain_adapter(value):
    try:
        adapter = get_cached_typeadapter(value)
    except Exception as exc:  # noqa: BLE001
        assert not isinstance(exc, (SystemError, RuntimeError, RecursionError)), exc
        return
    assert isinstance(adapter, TypeAdapter)
    assert get_cached_typeadapter(value) is adapter
