"""get_cached_typeadapter: argument validators for Python and compiled functions."""
import types
from typing import Annotated, Any

import pytest
from pydantic import Field, ValidationError

from quorvel import cython as qc
from quorvel.cython import get_cached_typeadapter


def params_model(fn):
    return get_cached_typeadapter(fn).core_schema["cls"]


def validated(fn, arguments):
    return get_cached_typeadapter(fn).validate_python(arguments).model_dump()


class Opaque:
    """A type pydantic has no schema for."""


def test_is_an_lru_cache_around_the_documented_builder():
    assert get_cached_typeadapter.cache_info().maxsize == 5000
    assert get_cached_typeadapter.__doc__ == "Get a cached TypeAdapter for a function, compatible with Python and Cython."
    assert get_cached_typeadapter.__wrapped__.__annotations__ == {"fn": "Any", "return": "TypeAdapter"}


def test_same_function_gives_the_identical_adapter_until_evicted():
    def f(a: int):
        pass

    first = get_cached_typeadapter(f)
    assert get_cached_typeadapter(f) is first
    # 5000 other functions used more recently push `f` out.
    for _ in range(5000):
        get_cached_typeadapter(types.FunctionType(f.__code__, {}, "other"))
    rebuilt = get_cached_typeadapter(f)
    assert rebuilt is not first
    assert rebuilt.validate_python({"a": "3"}).a == 3


def test_a_failed_build_is_not_cached():
    def f(a: "list[int"):  # noqa: F722 - pydantic cannot even parse it
        pass

    size = get_cached_typeadapter.cache_info().currsize
    for _ in range(2):
        with pytest.raises(SyntaxError):
            get_cached_typeadapter(f)
    assert get_cached_typeadapter.cache_info().currsize == size


def test_unhashable_callable_is_refused_before_building():
    class Unhashable:
        __hash__ = None

        def __call__(self):
            pass

    with pytest.raises(TypeError, match="unhashable"):
        get_cached_typeadapter(Unhashable())


def test_non_callable_gets_a_plain_adapter_with_arbitrary_types():
    adapter = get_cached_typeadapter(Opaque | None)
    thing = Opaque()
    assert adapter.validate_python(thing) is thing
    with pytest.raises(ValidationError):
        adapter.validate_python(3)


def test_only_kwargs_accepts_any_keys():
    def f(**options):
        pass

    model = params_model(f)
    assert model.__name__ == "fParams" and model.model_fields == {}
    assert validated(f, {"x": 1, "y": [2]}) == {"x": 1, "y": [2]}


@pytest.mark.parametrize(
    "takes_kwargs, expected",
    [(True, {"a": 1, "extra": "kept"}), (False, {"a": 1})],
)
def test_unknown_keys_kept_only_with_kwargs(takes_kwargs, expected):
    if takes_kwargs:
        def f(a: int, **rest):
            pass
    else:
        def f(a: int):
            pass

    assert validated(f, {"a": "1", "extra": "kept"}) == expected
    with pytest.raises(ValidationError, match="Field required"):
        validated(f, {"extra": "kept"})


def test_defaults_stay_defaults():
    def f(a: int, b: int = 7, c: Annotated[str, "the c"] = "cee", d=None):
        pass

    assert validated(f, {"a": 1}) == {"a": 1, "b": 7, "c": "cee", "d": None}
    assert validated(f, {"a": 1, "b": "2", "c": "x", "d": 4}) == {"a": 1, "b": 2, "c": "x", "d": 4}
    assert params_model(f).model_fields["c"].description == "the c"


def test_unannotated_parameters_are_any_fields():
    marker = object()

    def f(x, y=3):
        pass

    model = params_model(f)
    assert model.model_fields["x"].annotation is Any and model.model_fields["x"].is_required()
    assert validated(f, {"x": marker})["x"] is marker
    assert validated(f, {"x": 1}) == {"x": 1, "y": 3}
    with pytest.raises(ValidationError, match="Field required"):
        validated(f, {})


@pytest.mark.parametrize(
    "annotation, value, ok",
    [
        (Annotated[int, Field(gt=0)], -1, False),  # non-string metadata: the whole Annotated is the type
        (Annotated[int, "one", "two"], "5", True),
    ],
)
def test_other_annotated_forms_stay_whole(annotation, value, ok):
    def f(a: annotation):
        pass

    field = params_model(f).model_fields["a"]
    assert field.description is None
    if ok:
        assert validated(f, {"a": value}) == {"a": 5}
    else:
        with pytest.raises(ValidationError):
            validated(f, {"a": value})


def test_annotated_var_parameters_and_return():
    def f(*items: int, **named: str) -> Opaque:
        pass

    fields = params_model(f).model_fields
    assert set(fields) == {"items", "named"}
    assert fields["items"].annotation is int and fields["items"].is_required()
    assert params_model(f).model_config["extra"] == "allow"


def test_callable_instance_without_name():
    class Scale:
        def __call__(self, x: int) -> int:
            return x

    assert params_model(Scale()).__name__ == "AnonymousFnParams"
    assert validated(Scale(), {"x": "4"}) == {"x": 4}


def test_unevaluable_hints_fall_back_to_raw_annotations():
    # Hints that typing cannot evaluate (the function's globals lack `Any`)
    # are used raw; pydantic then resolves them in this module's namespace.
    def f(a: "Any", b: "int"):
        pass

    bare = types.FunctionType(f.__code__, {"__builtins__": __builtins__}, "bare")
    bare.__annotations__ = dict(f.__annotations__)
    assert validated(bare, {"a": [1], "b": "2"}) == {"a": [1], "b": 2}


def test_a_model_belongs_to_the_module():
    def f(a: int):
        pass

    assert params_model(f).__module__ == qc.__name__


# ---- compiled functions -------------------------------------------------------

@pytest.mark.parametrize(
    "name, arguments, expected",
    [
        ("add", {"a": "1"}, {"a": 1, "b": 2}),
        ("describe", {"city": "Oslo", "nope": 1}, {"city": "Oslo", "days": 3}),
        ("untyped", {"x": "raw"}, {"x": "raw", "y": 10}),
        ("tagged", {"tag": "t", "colour": "red"}, {"tag": "t", "colour": "red"}),
        ("only_kwargs", {"anything": 1}, {"anything": 1}),
        # No signature at all: nothing is known, everything reaches the function.
        ("unbound_add", {"a": 1, "b": 2}, {"a": 1, "b": 2}),
    ],
)
def test_compiled_functions(compiled, name, arguments, expected):
    fn = getattr(compiled, name)
    assert params_model(fn).__name__ == f"{name}Params"
    assert validated(fn, arguments) == expected


def test_compiled_annotated_descriptions(compiled):
    fields = params_model(compiled.describe).model_fields
    assert fields["city"].description == "The city to describe" and fields["city"].annotation is str
    assert fields["days"].description == "Number of days" and fields["days"].default == 3


def test_compiled_callable_instance_has_no_signature(compiled):
    model = params_model(compiled.Multiplier(3))
    assert model.__name__ == "AnonymousFnParams"
    assert model.model_config["extra"] == "allow"
    assert validated(compiled.Multiplier(3), {"x": 2}) == {"x": 2}


def test_compiled_missing_argument_is_reported(compiled):
    with pytest.raises(ValidationError, match="a\n  Field required"):
        validated(compiled.add, {"b": 1})
