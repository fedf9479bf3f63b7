"""Settings that change how answers are asked for and read, from
``Configurator`` in the model's section (the environment first, then the INI
file), read at every exchange like the transport settings (from the call's
one reading while the call driver holds one, see :mod:`quorvel._call_settings`):

- ``stream_usage`` (default false): a streamed request asks the server for
  its usage chunk (``"stream_options": {"include_usage": true}``, unless the
  body has ``stream_options`` already), and the stream is read on after the
  finishing chunk until that chunk arrives, for a bounded time.
- ``think_tags`` (default false): text between ``<think>`` and ``</think>``
  at the start of an answer is reasoning, not answer text.
"""

from __future__ import annotations

from typing import Any, NamedTuple

from quorvel import _call_settings

__all__ = ["AnswerSettings", "read", "stream_usage", "think_tags", "check", "with_usage_option"]

_TRUE = frozenset({"1", "true", "yes", "on"})
_FALSE = frozenset({"0", "false", "no", "off", ""})


def _flag(configurator: Any, section: str, option: str) -> bool:
    reading = _call_settings.held(configurator, section)
    if reading is not None:
        return _held_flag(reading, option)
    if not configurator.has_option(section, option):
        return False
    return _flag_value(section, option, configurator.get(section, option))


def _held_flag(reading: _call_settings.Reading, option: str) -> bool:
    flag = reading.derived.get(option)
    if flag is None:
        value = reading.values[_call_settings.OPTIONS.index(option)]
        flag = reading.derived[option] = False if value is None else _flag_value(reading.section, option, value)
    return flag  # type: ignore[no-any-return]


def _flag_value(section: str, option: str, value: Any) -> bool:
    if isinstance(value, bool):
        return value
    if isinstance(value, str):
        word = value.strip().lower()
        if word in _TRUE:
            return True
        if word in _FALSE:
            return False
    raise ValueError(
        f"quorvel option {option!r} in section [{section}] must be true or false "
        f"(1, yes, on / 0, no, off), got {value!r}"
    )


def stream_usage(configurator: Any, section: str) -> bool:
    """Whether streams of ``section`` ask for and wait for the usage chunk."""
    return _flag(configurator, section, "stream_usage")


def think_tags(configurator: Any, section: str) -> bool:
    """Whether a leading ``<think>...</think>`` of an answer is reasoning."""
    return _flag(configurator, section, "think_tags")


def check(configurator: Any, section: str) -> None:
    """Raise the ``ValueError`` of an invalid value of either setting."""
    stream_usage(configurator, section)
    think_tags(configurator, section)


def with_usage_option(body: Any, stream: Any, configurator: Any, section: str) -> Any:
    """The request body to post: with ``stream_usage`` on, a streamed body
    asks for the usage chunk unless the caller set ``stream_options``
    itself.  The body is copied, never changed in place."""
    if not stream or not isinstance(body, dict) or "stream_options" in body:
        return body
    if not stream_usage(configurator, section):
        return body
    return {**body, "stream_options": {"include_usage": True}}


_OWN_OPTIONS = ("stream_usage", "think_tags")


class AnswerSettings(NamedTuple):
    stream_usage: bool
    think_tags: bool


def read(configurator: Any, section: str) -> AnswerSettings:
    """Both settings of ``section``, read once for one exchange's decoding."""
    reading = _call_settings.held(configurator, section)
    if reading is None:
        if _call_settings.own_lookup(configurator, section):
            # Both options in one lookup: the file is looked at once.
            usage, tags = configurator._options(section, _OWN_OPTIONS)
            return AnswerSettings(
                False if usage is None else _flag_value(section, "stream_usage", usage),
                False if tags is None else _flag_value(section, "think_tags", tags),
            )
        return AnswerSettings(stream_usage(configurator, section), think_tags(configurator, section))
    settings = reading.derived.get("answer")
    return of_reading(reading) if settings is None else settings  # type: ignore[no-any-return]


def of_reading(reading: _call_settings.Reading) -> AnswerSettings:
    """Both settings as the call's reading has them; ``ValueError`` for an
    invalid value."""
    settings = reading.derived.get("answer")
    if settings is None:
        settings = reading.derived["answer"] = AnswerSettings(
            _held_flag(reading, "stream_usage"), _held_flag(reading, "think_tags")
        )
    return settings  # type: ignore[no-any-return]
