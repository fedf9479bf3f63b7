"""What the property-based tests found, kept as plain regression tests."""

from __future__ import annotations

import pytest

from quorvel.cython import get_cached_typeadapter


@pytest.mark.parametrize("annotation", ["Undefined", "list[Undefined]"])
def test_an_annotation_that_never_resolves_fails_the_build_and_is_not_cached(annotation):
    """pydantic would keep the model as not fully defined; the cached adapter
    then failed every validation for good."""

    class Unreadable:
        __signature__ = "no signature"  # the raw annotations are used as they are

        def __call__(self, **kwargs):
            return kwargs

    fn = Unreadable()
    fn.__annotations__ = {"a": annotation}
    size = get_cached_typeadapter.cache_info().currsize
    for _ in range(2):
        with pytest.raises(NameError, match="Undefined"):
            get_cached_typeadapter(fn)
    assert get_cached_typeadapter.cache_info().currsize == size


def test_a_resolvable_raw_annotation_still_builds():
    class Unreadable:
        __signature__ = "no signature"

        def __call__(self, **kwargs):
            return kwargs

    fn = Unreadable()
    fn.__annotations__ = {"a": "list[int]"}
    adapter = get_cached_typeadapter(fn)
    assert adapter.validate_python({"a": ["1"]}).a == [1]
