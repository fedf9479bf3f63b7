"""orjson in front of json.loads, native line splitting and records built
without validation: taken on plain dependencies, bypassed when they are
replaced, and giving exactly what the ordinary path gives."""

from __future__ import annotations

import json
import time

import pytest
import requests

import quorvel.modal
from exchange_support import isolated_config  # noqa: F401
from quorvel.message import Message, MessageRole
from quorvel.modal import LLModal, LLMResult, LLMStatus
from quorvel.testing import response_from_bytes, sse_body, text_chunk

from fast_path_support import expected


def counts() -> dict[str, int]:
    """Taken counts of the fast paths, and the plain counts (refusals)."""
    return {**{name: taken for name, (taken, _) in quorvel.modal._fast_paths().items()}, **quorvel.modal._counters()}


def taken(before: dict, *paths: str) -> dict:
    """How often each path was taken since `before`; a path this build
    switched off is expected at 0 (fast_path_support.expected)."""
    after = counts()
    return _Expecting({path: after[path] - before[path] for path in paths})


class _Expecting(dict):
    """Compares with the counts a test states as the build would give them."""

    def __eq__(self, other):
        if isinstance(other, dict):
            return dict.__eq__(self, expected(quorvel.modal, other))
        return NotImplemented

    __hash__ = None


class Capture(LLModal):
    """Keeps every object the decoders hand to _message_process."""

    def _message_process(self, message):
        self.__dict__.setdefault("_seen", []).append(message)
        return LLModal._message_process(self, message)


def new_model(cls=LLModal):
    model = cls()
    model.add_message(role=MessageRole.user, content="q")
    return model


def drain(model, response):
    """Records and the exception (type, text) of one streamed answer."""
    out = []
    try:
        for record in model._stream_response(response):
            out.append(record)
    except Exception as exc:  # noqa: BLE001 - compared, not handled
        return out, (type(exc), str(exc))
    return out, None


def whole_outcome(model, response):
    try:
        return model._response(response), None
    except Exception as exc:  # noqa: BLE001
        return None, (type(exc), str(exc))


def stream_of(payload: bytes) -> bytes:
    return b"data: " + payload + b"\n\n"


@pytest.fixture
def ordinary_loads(monkeypatch):
    """json.loads replaced by a wrapper around the original: every fast JSON
    path is bypassed and the standard library decides."""
    original = json.loads
    calls = []

    def loads(text, *args, **kwargs):
        calls.append(text)
        return original(text, *args, **kwargs)

    def use():
        monkeypatch.setattr(json, "loads", loads)
        return calls

    return use


# ---- taken on plain dependencies, bypassed when replaced ------------------------------

def test_plain_dependencies_take_every_fast_path():
    body = sse_body([text_chunk("Hel"), text_chunk("lo"), text_chunk("", finish_reason="stop")])
    before = counts()
    records = list(new_model()._stream_response(response_from_bytes(body)))
    assert [r.content for r in records] == ["Hel", "lo"]
    assert taken(before, "json_line", "native_lines", "direct_record", "json_refused") == {
        "json_line": 3, "native_lines": 1, "direct_record": 2, "json_refused": 0}

    document = {"choices": [{"message": {"role": "assistant", "content": "Hi"}}]}
    before = counts()
    result = new_model()._response(response_from_bytes(json.dumps(document).encode()))
    assert result == LLMResult(content="Hi")
    assert taken(before, "json_answer", "direct_record") == {"json_answer": 1, "direct_record": 1}


def test_replaced_json_loads_is_called_as_before(ordinary_loads):
    calls = ordinary_loads()
    body = sse_body([text_chunk("a"), text_chunk("b", finish_reason="stop")])
    before = counts()
    assert [r.content for r in new_model()._stream_response(response_from_bytes(body))] == ["a", "b"]
    assert taken(before, "json_line", "json_refused") == {"json_line": 0, "json_refused": 0}
    assert len(calls) == 2 and all(isinstance(text, str) for text in calls)

    calls.clear()
    document = {"choices": [{"message": {"role": "assistant", "content": "Hi"}}]}
    before = counts()
    assert new_model()._response(response_from_bytes(json.dumps(document).encode())).content == "Hi"
    assert taken(before, "json_answer")["json_answer"] == 0
    assert len(calls) == 1  # through Response.json, as the ordinary path goes


def test_replaced_response_json_is_called(monkeypatch):
    calls = []
    original = requests.Response.json

    def patched(self, **kwargs):
        calls.append(self)
        return original(self, **kwargs)

    monkeypatch.setattr(requests.Response, "json", patched)
    document = {"choices": [{"message": {"role": "assistant", "content": "Hi"}}]}
    before = counts()
    assert new_model()._response(response_from_bytes(json.dumps(document).encode())).content == "Hi"
    assert len(calls) == 1 and taken(before, "json_answer")["json_answer"] == 0


@pytest.mark.parametrize("how", ["class", "instance", "subclass"])
def test_replaced_iter_lines_is_called(monkeypatch, how):
    calls = []
    original = requests.Response.iter_lines

    def patched(self, *args, **kwargs):
        calls.append(args)
        return original(self, *args, **kwargs)

    response = response_from_bytes(sse_body([text_chunk("a", finish_reason="stop")]))
    if how == "class":
        monkeypatch.setattr(requests.Response, "iter_lines", patched)
    elif how == "instance":
        response.iter_lines = patched.__get__(response)
    else:
        response.__class__ = type("Sub", (requests.Response,), {"iter_lines": patched})
    before = counts()
    assert [r.content for r in new_model()._stream_response(response)] == ["a"]
    assert calls == [()] and taken(before, "native_lines")["native_lines"] == 0


def test_record_of_a_replaced_class_is_validated(monkeypatch):
    class Result(LLMResult):
        def __init__(self, **data):
            data["content"] = data.get("content", "").upper()
            super().__init__(**data)

    monkeypatch.setattr(quorvel.modal, "LLMResult", Result)
    body = sse_body([text_chunk("ab", finish_reason="stop")])
    before = counts()
    records = list(new_model()._stream_response(response_from_bytes(body)))
    assert [(type(r), r.content) for r in records] == [(Result, "AB")]
    assert taken(before, "direct_record")["direct_record"] == 0


def test_assembled_record_is_the_validated_one():
    record = list(new_model()._stream_response(response_from_bytes(sse_body([text_chunk("x")]))))[0]
    built = LLMResult(status=LLMStatus.answer, reasoning_content="", content="x")
    assert record == built and record.model_fields_set == built.model_fields_set
    assert record.__pydantic_extra__ is None and record.__pydantic_private__ is None
    assert record.model_dump(exclude_unset=True) == built.model_dump(exclude_unset=True)
    assert record.tool_calls is not record.tool_results
    assert repr(record) == repr(built)


def test_assembled_records_of_a_stream_are_each_the_validated_one():
    # Reasoning, answers and reasoning again, with texts repeated and changed:
    # each record is what validation builds from its own values, and no two
    # records share a mutable field.
    chunks = [text_chunk(reasoning="think"), text_chunk("a"), text_chunk("a"), text_chunk("b"),
              text_chunk(reasoning="more"), text_chunk(reasoning="more"), text_chunk("c", finish_reason="stop")]
    records = list(new_model()._stream_response(response_from_bytes(sse_body(chunks))))
    wanted = [(LLMStatus.reason, "think", ""), (LLMStatus.answer, "", "a"), (LLMStatus.answer, "", "a"),
              (LLMStatus.answer, "", "b"), (LLMStatus.reason, "more", ""), (LLMStatus.reason, "more", ""),
              (LLMStatus.answer, "", "c")]
    assert len(records) == len(wanted)
    for record, (status, reasoning, content) in zip(records, wanted):
        built = LLMResult(status=status, reasoning_content=reasoning, content=content)
        assert record == built and record.model_fields_set == built.model_fields_set
        assert list(record.__dict__) == list(built.__dict__)
        assert record.status is status
    records[1].tool_calls["x"] = 1
    records[1].model_fields_set.add("tool_calls")
    assert all(not r.tool_calls for r in records[2:]) and not records[0].tool_calls
    assert all(r.model_fields_set == {"status", "reasoning_content", "content"} for r in records[2:])
    assert len({id(r.tool_calls) for r in records} | {id(r.tool_results) for r in records}) == 2 * len(records)


# ---- whatever orjson refuses or would read differently, json.loads decides ----------

PAYLOADS = [
    pytest.param(b'{"choices":[{"delta":{"content":NaN}}]}', True, id="nan"),
    pytest.param(b'{"choices":[{"delta":{"content":-Infinity}}]}', True, id="infinity"),
    pytest.param(b'{"choices":[{"delta":{"content":1e400}}]}', True, id="1e400"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","n":-0}}]}', False, id="minus-zero"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","n":1.7976931348623157e308}}]}', False, id="big-float"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","n":18446744073709551616}}]}', True, id="int-beyond-64-bits"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","n":-9223372036854775809}}]}', True, id="int-below-int64"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","n":123456789012345678901234567890}}]}', True, id="huge-int"),
    pytest.param(b'{"choices":[{"delta":{"content":"a","content":"b"}}]}', False, id="duplicate-keys"),
    pytest.param(b'{"choices":[{"delta":{"content":"\\ud800x"}}]}', True, id="lone-surrogate"),
    pytest.param(b'{"choices":[{"delta":{"content":"\xff"}}]}', True, id="invalid-utf8"),
    pytest.param(b'{"choices":[{"delta":{"content":"\xed\xa0\x80"}}]}', True, id="encoded-surrogate"),
    pytest.param(b"", True, id="empty"),
    pytest.param(b'{"choices":[]} x', True, id="trailing-garbage"),
    pytest.param(b'\xef\xbb\xbf{"choices":[]}', True, id="bom"),
    pytest.param(b'{"choices":[{"delta":{"content":"a\x01"}}]}', True, id="control-character"),
    # Past the nesting limit neither parser runs (test_nesting_depth.py).
    pytest.param(b"[" * 2000 + b"]" * 2000, False, id="deep-nesting"),
    pytest.param(b'{"choices":[{"delta":{"content":"\\u00e9\xc3\xa9\\ud83d\\ude00"}}]}', False, id="unicode"),
]


def seen_objects(model):
    return [(repr(m), [type(v) for v in m.values()]) for m in model.__dict__.get("_seen", [])]


@pytest.mark.parametrize("payload, refused", PAYLOADS)
def test_streamed_line_parses_as_json_loads_parses_it(payload, refused, ordinary_loads, capsys):
    body = stream_of(payload)
    fast = new_model(Capture)
    before = counts()
    fast_records, fast_error = drain(fast, response_from_bytes(body))
    assert taken(before, "json_refused") == {"json_refused": 1 if refused else 0}
    fast_printed = capsys.readouterr().out

    ordinary_loads()
    plain = new_model(Capture)
    plain_records, plain_error = drain(plain, response_from_bytes(body))
    assert fast_error == plain_error
    assert fast_records == plain_records
    assert seen_objects(fast) == seen_objects(plain)
    assert fast_printed == capsys.readouterr().out


def whole_body(payload: bytes) -> bytes:
    # The same values, in the form of a whole answer.
    return payload.replace(b'"delta"', b'"message"')


@pytest.mark.parametrize("payload, refused", PAYLOADS)
@pytest.mark.parametrize("charset", [None, "utf-8"])
def test_whole_answer_parses_as_response_json_parses_it(payload, refused, charset, ordinary_loads, capsys):
    body = whole_body(payload)
    headers = {"Content-Type": f"application/json; charset={charset}"} if charset else None
    fast = new_model(Capture)
    fast_result, fast_error = whole_outcome(fast, response_from_bytes(body, headers=headers))
    fast_printed = capsys.readouterr().out

    ordinary_loads()
    plain = new_model(Capture)
    plain_result, plain_error = whole_outcome(plain, response_from_bytes(body, headers=headers))
    assert fast_error == plain_error
    assert fast_result == plain_result
    assert seen_objects(fast) == seen_objects(plain)
    assert fast_printed == capsys.readouterr().out


def test_other_charsets_take_the_ordinary_path():
    document = {"choices": [{"message": {"role": "assistant", "content": "caf\u00e9"}}]}
    body = json.dumps(document, ensure_ascii=False).encode("latin-1")
    before = counts()
    result = new_model()._response(response_from_bytes(body, headers={"Content-Type": "application/json; charset=latin-1"}))
    assert result.content == "caf\u00e9" and taken(before, "json_answer")["json_answer"] == 0


# ---- native line splitting -----------------------------------------------------------

@pytest.mark.parametrize("ending", [b"\n", b"\r\n", b"\r", b"\n\n", b"\r\n\r\n"])
@pytest.mark.parametrize("chunk_size", [1, 2, 3, 7, None])
def test_lines_split_as_requests_splits_them(ending, chunk_size, monkeypatch):
    texts = ["a", "b" * 700, "\u00e9t\u00e9", "", "c"]
    lines = [b"data: " + json.dumps(text_chunk(t)).encode() for t in texts]
    lines.insert(2, b": comment")
    body = ending.join(lines)  # the last line has no ending: it still counts
    before = counts()
    native = [r.content for r in new_model()._stream_response(response_from_bytes(body, chunk_size=chunk_size))]
    assert taken(before, "native_lines") == {"native_lines": 1}

    original = requests.Response.iter_lines
    monkeypatch.setattr(requests.Response, "iter_lines", lambda self, *a, **k: original(self, *a, **k))
    plain = [r.content for r in new_model()._stream_response(response_from_bytes(body, chunk_size=chunk_size))]
    assert native == plain == [t for t in texts if t]


@pytest.mark.timing
def test_one_long_line_costs_linear_time():
    def decode_seconds(size):
        body = stream_of(json.dumps(text_chunk("x" * size)).encode())
        start = time.perf_counter()
        records = list(new_model()._stream_response(response_from_bytes(body, chunk_size=512)))
        elapsed = time.perf_counter() - start
        assert len(records[0].content) == size
        return elapsed

    decode_seconds(1 << 20)  # warm up
    small = min(decode_seconds(1 << 20) for _ in range(2))
    large = min(decode_seconds(4 << 20) for _ in range(2))
    # Linear: about 4x; requests' own splitting is quadratic (16x, tens of seconds).
    assert large < 5.0 and large < 10 * small + 0.5


# ---- the streamed answer's history entry, kept at hand --------------------------------

def chunks_body(*texts):
    return sse_body([text_chunk(t) for t in texts] + [text_chunk("", finish_reason="stop")])


def test_streamed_answer_grows_the_entry_it_keeps():
    model = new_model()
    before = counts()
    list(model._stream_response(response_from_bytes(chunks_body("a", "b", "c"))))
    assert [(str(m.role), m.contents) for m in model.messages] == [("user", ["q"]), ("assistant", ["abc"])]
    assert taken(before, "kept_entry", "direct_entry") == {"kept_entry": 2, "direct_entry": 1}
    assert model.messages[1] == Message(role=MessageRole.assistant, contents=["abc"])


@pytest.mark.parametrize("between", ["user turn", "retry", "entry replaced", "role changed"])
def test_kept_entry_yields_to_what_changed_between_chunks(between):
    def run(model):
        stream = model._stream_response(response_from_bytes(chunks_body("a", "b")))
        next(stream)
        if between == "user turn":
            model.add_message(role=MessageRole.user, content="meanwhile")
        elif between == "retry":
            model.retry = True
        elif between == "entry replaced":
            model.messages[-1] = Message(role=MessageRole.assistant, contents=["other"])
        else:
            model.messages[-1].role = MessageRole.tool
        list(stream)
        return [(str(m.role), m.contents) for m in model.messages], model.retry

    class Plain(LLModal):  # add_message overridden: always the ordinary path
        def add_message(self, role, content):
            return LLModal.add_message(self, role=role, content=content)

    before = counts()
    kept = run(new_model())
    assert taken(before, "kept_entry")["kept_entry"] == 0
    assert kept == run(new_model(Plain))


def test_entry_of_a_replaced_message_class_is_validated(monkeypatch):
    class Entry(Message):
        pass

    monkeypatch.setattr(quorvel.modal, "Message", Entry)
    model = new_model()
    before = counts()
    model.add_message(role=MessageRole.assistant, content="x")
    assert type(model.messages[-1]) is Entry and taken(before, "direct_entry")["direct_entry"] == 0


def test_entry_with_a_role_given_as_text_is_validated():
    model = new_model()
    before = counts()
    model.add_message(role="assistant", content="y")
    assert type(model.messages[-1].role) is MessageRole and taken(before, "direct_entry")["direct_entry"] == 0


@pytest.mark.parametrize("length", [18, 19, 40])
def test_every_run_of_19_digits_goes_to_json_loads(length):
    # Wherever the run starts, and with runs of 18 digits close to it.
    for offset in range(0, 45, 1):
        text = "x" * offset + "1" * length + "y" + "2" * 18
        before = counts()
        records = list(new_model()._stream_response(response_from_bytes(stream_of(json.dumps(text_chunk(text)).encode()))))
        assert records[0].content == text
        assert taken(before, "json_refused") == {"json_refused": 0 if length < 19 else 1}, offset


def test_reset_writes_fields_as_pydantic_does():
    model = new_model()
    model.tool_calls = [{"id": "c"}]  # pydantic memoises how these are set
    model._tool_calls_count = 2
    before = counts()
    model._reset()
    assert taken(before, "direct_write") == {"direct_write": 2}
    assert model.tool_calls == [] and model._tool_calls_count == 0
    assert "tool_calls" in model.model_fields_set and model.__pydantic_private__["_tool_calls_count"] == 0


def test_reset_of_a_model_with_its_own_setattr_goes_through_it():
    class Watched(LLModal):
        def __setattr__(self, name, value):
            self.__dict__.setdefault("_writes", []).append(name) if name != "_writes" else None
            super().__setattr__(name, value)

    model = Watched()
    before = counts()
    model._reset()
    assert model.__dict__["_writes"] == ["tool_calls", "_tool_calls_count"]
    assert taken(before, "direct_write")["direct_write"] == 0


@pytest.mark.parametrize("stream", [True, False], ids=["stream", "whole"])
def test_json_loads_decodes_exactly_when_the_fast_paths_are_off(monkeypatch, stream):
    """A probe on the standard decoder that json.loads calls: the fast JSON
    paths leave it alone, and a build that switched them off runs it for
    every line and every answer."""
    from fast_path_support import is_on

    decoder = json._default_decoder
    decoded = []
    original = type(decoder).decode
    monkeypatch.setattr(decoder, "decode", lambda text, *a, **k: decoded.append(text) or original(decoder, text, *a, **k))
    if stream:
        records = list(new_model()._stream_response(response_from_bytes(sse_body([text_chunk("a"), text_chunk("b")]))))
        assert [r.content for r in records] == ["a", "b"]
        assert len(decoded) == (0 if is_on(quorvel.modal, "json_line") else 2)
    else:
        document = {"choices": [{"index": 0, "message": {"role": "assistant", "content": "Hi"}}]}
        assert new_model()._response(response_from_bytes(json.dumps(document).encode())).content == "Hi"
        assert len(decoded) == (0 if is_on(quorvel.modal, "json_answer") else 1)
