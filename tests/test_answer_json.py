"""quorvel's own parser of whole answers: the very objects json.loads makes
for every text it takes, and every other text left to the parsers behind it.

The values ride in an extra field of the answer's message, which the model
hands to _message_process as parsed."""

from __future__ import annotations

import json
import sys

import pytest
from hypothesis import given, strategies as st

import quorvel.modal
from exchange_support import isolated_config  # noqa: F401
from fast_path_support import expected, is_on
from fuzz_support import json_values
from quorvel.message import MessageRole
from quorvel.modal import LLModal
from quorvel.testing import response_from_bytes


class Capture(LLModal):
    def _message_process(self, message):
        self.__dict__["_seen"] = message
        return LLModal._message_process(self, message)


def counted():
    taken = {name: count for name, (count, _) in quorvel.modal._fast_paths().items()}
    return {**taken, **quorvel.modal._counters()}


def parsed(body: bytes):
    """(the message as the model saw it, taken counts of native_json and its refusals)."""
    model = Capture()
    model.add_message(role=MessageRole.user, content="q")
    before = counted()
    model._response(response_from_bytes(body))
    after = counted()
    return model.__dict__["_seen"], {k: after[k] - before[k] for k in ("native_json", "native_json_refused")}


def answer_with(extra: bytes, content: bytes = b'"x"') -> bytes:
    return b'{"choices":[{"index":0,"message":{"role":"assistant","content":' + content + b',"extra":' + extra + b"}}]}"


def typed(value):
    """The value with every type spelled out (1 and 1.0 and True differ, -0.0 and 0.0 too)."""
    if isinstance(value, dict):
        return ("dict", [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [typed(v) for v in value])
    return (type(value).__name__, repr(value))


def assert_as_json_loads(body: bytes, refused: bool = False):
    seen, counts = parsed(body)
    assert typed(seen) == typed(json.loads(body)["choices"][0]["message"])
    assert counts == expected(quorvel.modal, {"native_json": 1, "native_json_refused": 1 if refused else 0})


TAKEN = [
    b"0", b"-0", b"7", b"-12", b"999999999999999999", b"-999999999999999999", b"1000000000000000000",
    b"-0.0", b"0.1", b"1e5", b"1E+5", b"2.5e-3", b"1e-400", b"1.7976931348623157e308",
    b"123456789.123456789e-5", b"true", b"false", b"null", b"[]", b"{}", b"[ ]", b"{ }", b'""',
    b'[1, [2, [3, {"a": [4]}]]]', b'{"a": 1, "b": 2, "a": 3}', b'{"": 1}', b" \t\r\n[ 1 ,\n 2 ] ",
    b'"\\" \\\\ \\/ \\b \\f \\n \\r \\t"', b'"\\u0000\\u001f\\u00e9\\u20AC\\uffff"', b'"\\ud83d\\ude00 \\uD83D\\uDE00"',
    '"café ∑ 😀"'.encode(), '"😀\\n😀"'.encode(), b'"\x7f"', b'"a\\"b"',
    b'{"k\\u00e9y": "v", "\xc3\xa9": ["\\t"]}',
]

REFUSED = [
    b"NaN", b"Infinity", b"-Infinity", b"1e400", b"-1e400", b"1E309", b'"\\ud800"', b'"\\ud800x"', b'"\\udc00"', b'"\\ud800\\u0041"',
]


@pytest.mark.parametrize("extra", TAKEN, ids=repr)
def test_values_parse_as_json_loads_parses_them(extra):
    assert_as_json_loads(answer_with(extra))


@pytest.mark.parametrize("extra", REFUSED, ids=repr)
def test_what_it_refuses_still_parses_as_json_loads_parses_it(extra):
    assert_as_json_loads(answer_with(extra), refused=True)


@pytest.mark.parametrize("repeat", [1, 2])
def test_keys_the_decoder_looks_up_are_the_interned_texts_themselves(repeat):
    # Looked up by the very object they were parsed into, a key needs no
    # comparing of texts; a key nobody looks up is an equal text of its own.
    if not is_on(quorvel.modal, "native_json"):
        pytest.skip("json.loads makes the keys in a build without the client's own parser")
    for _ in range(repeat):  # the second answer takes its texts from the kept ones
        seen, _counts = parsed(answer_with(b'{"finish_reason": 1, "zq_unlooked": 2}'))
    keys = {key: key for key in list(seen) + list(seen["extra"])}
    for name in ("role", "content", "finish_reason"):
        assert keys[name] is sys.intern(name)
    assert keys["zq_unlooked"] is not sys.intern("zq_unlooked")


BROKEN = [b"01", b"1.", b".5", b"1e", b"-", b"+1", b"tru", b"[1,]", b'{"a":1,}', b"{1:2}",
          b'"\\x"', b'"\\u12"', b'"a\tb"', b'"a', b"'a'", b"[1 2]"]


@pytest.mark.parametrize("broken", BROKEN)
def test_broken_json_fails_as_json_loads_fails(broken):
    assert_fails_as_json_loads(answer_with(broken))


def assert_fails_as_json_loads(body: bytes):
    with pytest.raises(ValueError) as ours:
        parsed(body)
    with pytest.raises(ValueError) as theirs:
        json.loads(body)
    assert str(ours.value) == str(theirs.value)


def with_member(member: bytes, value: bytes, after_choices: bool) -> bytes:
    """An answer whose outermost object has one more member, before or after its choices."""
    choices = b'"choices":[{"index":0,"message":{"role":"assistant","content":"x"}}]'
    pair = b'"' + member + b'":' + value
    return b"{" + (choices + b"," + pair if after_choices else pair + b"," + choices) + b"}"


# The decoder reads no outermost member but these three, and builds no other;
# the others must still be taken, refused and found broken as if built.
@pytest.mark.parametrize("after_choices", [False, True])
@pytest.mark.parametrize("member", [b"id", b"m\xc3\xb6del", b"syst\\u0065m", b"choices_"])
@pytest.mark.parametrize("value, refused", [(v, False) for v in TAKEN] + [(v, True) for v in REFUSED], ids=repr)
def test_members_no_one_reads_are_taken_and_refused_as_kept_ones(member, value, refused, after_choices):
    assert_as_json_loads(with_member(member, value, after_choices), refused=refused)


@pytest.mark.parametrize("after_choices", [False, True])
@pytest.mark.parametrize("broken", BROKEN + [b"", b'"a\\', b"-01", b"1e+", b"nul"])
def test_broken_members_no_one_reads_fail_as_json_loads_fails(broken, after_choices):
    assert_fails_as_json_loads(with_member(b"model", broken, after_choices))


@pytest.mark.parametrize("key", [b"choices", b"choi\\u0063es"])
def test_the_last_of_repeated_choices_is_read_however_its_key_is_written(key):
    later = b'"' + key + b'":[{"index":0,"message":{"role":"assistant","content":"later"}}]'
    body = with_member(b"id", b'"x"', True)[:-1] + b"," + later + b"}"
    assert parsed(body)[0]["content"] == "later"
    assert_as_json_loads(body)


@pytest.mark.parametrize("size", [15, 16, 17, 31, 32, 33, 1000, 100_000])
@pytest.mark.parametrize("special", ["é", '\\"', "\\\\", "\\n", "\\u00e9", "😀"])
def test_long_texts_with_one_special_character_anywhere(size, special):
    # Each place a 16-byte block can put the character, and the ends.
    places = sorted({0, 1, 15, 16, 17, size // 2, size - 1, size})
    for at in places:
        text = ("a" * at + special + "b" * (size - at)).encode()
        assert_as_json_loads(answer_with(b"1", content=b'"' + text + b'"'))


@pytest.mark.parametrize("bad", [b"\x01", b"\x1f", b"\xff", b"\xc3", b"\xed\xa0\x80"])
@pytest.mark.parametrize("at", [0, 15, 16, 40])
def test_a_control_character_or_invalid_utf8_in_a_long_text_is_refused(bad, at):
    body = answer_with(b"1", content=b'"' + b"a" * at + bad + b"z" * 40 + b'"')
    model = Capture()
    model.add_message(role=MessageRole.user, content="q")
    before = counted()
    try:
        outcome = model._response(response_from_bytes(body)).content
    except ValueError as exc:
        outcome = ("error", str(exc))
    after = counted()
    assert after["native_json_refused"] - before["native_json_refused"] == expected(
        quorvel.modal, {"native_json_refused": 1})["native_json_refused"]
    try:
        wanted = json.loads(body.decode("utf-8"))["choices"][0]["message"]["content"]
    except ValueError as exc:  # what requests' decoding and json.loads make of it
        wanted = None if isinstance(exc, UnicodeDecodeError) else ("error", str(exc))
    if wanted is not None:
        assert outcome == wanted


@given(value=json_values, ensure_ascii=st.booleans(), indent=st.sampled_from([None, 0, 2]))
def test_any_json_value_parses_as_json_loads_parses_it(value, ensure_ascii, indent):
    extra = json.dumps(value, ensure_ascii=ensure_ascii, indent=indent).encode("utf-8", "surrogatepass")
    try:
        wanted = json.loads(answer_with(extra))
    except ValueError:
        return  # text with a surrogate the answer's UTF-8 cannot carry
    seen, _ = parsed(answer_with(extra))
    assert typed(seen) == typed(wanted["choices"][0]["message"])
