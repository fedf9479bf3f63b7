"""CythonModelMeta and CythonBaseModel: pydantic models whose methods are compiled."""
import inspect
import types

import pytest
from pydantic import BaseModel, ConfigDict, ValidationError

from quorvel import cython as qc
from quorvel.cython import CythonBaseModel, CythonModelMeta

NATIVE_FUNCTION = type(qc._convert_to_content)  # this module's own native function type


def own_ignored(cls):
    return set(cls.__dict__["model_config"]["ignored_types"]) if "model_config" in cls.__dict__ else None


def test_shape_of_the_two_classes():
    assert CythonModelMeta.__bases__ == (type(BaseModel),)
    assert CythonModelMeta.__module__ == CythonBaseModel.__module__ == "quorvel.cython"
    assert type(CythonBaseModel) is CythonModelMeta and CythonBaseModel.__bases__ == (BaseModel,)
    assert CythonBaseModel.model_config == {"ignored_types": ()}
    assert CythonBaseModel.model_fields == {}
    new = CythonModelMeta.__dict__["__new__"]
    assert isinstance(new, staticmethod)
    assert str(inspect.signature(new.__func__)) == "(cls, name, bases, namespace) -> 'type(BaseModel)'"


def test_plain_body_gets_an_empty_ignored_types():
    class Plain(CythonBaseModel):
        x: int = 0

    assert Plain.__dict__["model_config"]["ignored_types"] == ()


def test_body_config_keeps_its_keys_and_is_extended_in_place():
    config = ConfigDict(frozen=True, ignored_types=(int, NATIVE_FUNCTION))

    class Configured(CythonBaseModel):
        model_config = config
        method = qc._convert_to_content

        def python_method(self):
            return 1

    assert config["frozen"] is True
    assert set(config["ignored_types"]) == {int, NATIVE_FUNCTION, types.FunctionType}
    assert len(config["ignored_types"]) == 3  # no duplicates
    with pytest.raises(ValidationError):
        Configured().__setattr__("anything", 1)


@pytest.mark.parametrize(
    "attr_name, counts",
    [("_single", True), ("public", True), ("__double", False), ("__dunder__", False)],
)
def test_which_names_contribute(attr_name, counts):
    cls = CythonModelMeta(attr_name.strip("_") or "M", (CythonBaseModel,), {
        "__module__": __name__,
        attr_name: qc._convert_to_content,
    })
    assert (NATIVE_FUNCTION in own_ignored(cls)) is counts


def test_descriptors_contribute_nothing():
    class Described(CythonBaseModel):
        @property
        def prop(self):
            return 1

        @classmethod
        def klass(cls):
            return 2

        @staticmethod
        def static():
            return 3

    assert own_ignored(Described) == set()
    assert Described().prop == 1 and Described.klass() == 2 and Described.static() == 3


def test_any_callable_value_contributes_its_type():
    class Nested(CythonBaseModel):
        class Inner:
            pass

        handler: object = print  # a callable default of an annotated field

    assert own_ignored(Nested) == {type, types.BuiltinFunctionType}


def test_natively_and_cython_compiled_methods_in_one_body(compiled):
    class Scaled(CythonBaseModel):
        value: int
        scaled = compiled.scaled                  # Cython, binding: a method
        _hidden = compiled._hidden                # Cython, single underscore
        unbound = compiled.unbound_method         # Cython without binding
        convert = qc._convert_to_content          # this module's native type

    assert set(Scaled.model_fields) == {"value"}
    assert own_ignored(Scaled) == {type(compiled.scaled), type(compiled.unbound_method), NATIVE_FUNCTION}
    item = Scaled(value=3)
    assert item.scaled(4) == 12
    assert item._hidden() == -3  # not taken for a private attribute
    assert Scaled.unbound(item) == "unbound"
    assert Scaled.__private_attributes__ == {}
    assert item.model_dump() == {"value": 3}


def test_each_subclass_lists_its_own_body():
    class Base(CythonBaseModel):
        def method(self):
            return "base"

    class Child(Base):
        other = qc._convert_to_content

    class Grandchild(Child):
        y: int = 1

    assert own_ignored(Base) == {types.FunctionType}
    assert own_ignored(Child) == {NATIVE_FUNCTION}
    assert own_ignored(Grandchild) == set()
    assert Grandchild().method() == "base"


def test_mixed_pydantic_bases_use_this_metaclass():
    class Other(BaseModel):
        a: int = 1

    class Both(Other, CythonBaseModel):
        b = qc._convert_to_content

    assert type(Both) is CythonModelMeta
    assert NATIVE_FUNCTION in own_ignored(Both)


def test_class_keywords_are_refused():
    with pytest.raises(TypeError, match="unexpected keyword argument 'frozen'"):
        class Refused(CythonBaseModel, frozen=True):
            pass


@pytest.mark.parametrize(
    "namespace, error",
    [
        ({"model_config": 5}, AttributeError),
        ({"model_config": {"ignored_types": 5}}, TypeError),
    ],
)
def test_malformed_bodies_raise_the_interpreters_errors(namespace, error):
    with pytest.raises(error):
        CythonModelMeta("Bad", (CythonBaseModel,), {"__module__": __name__, **namespace})
