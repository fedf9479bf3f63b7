"""Settings lookup for quorvel: environment variables first, then an INI file.

An option ``key`` in section ``server`` is looked up as

1. the environment variable ``QUORVEL_SERVER_KEY`` (section and option upper-cased,
   every character that is not an ASCII letter or digit turned into ``_``);
2. otherwise ``[server] key = ...`` in the INI file named by ``QUORVEL_CONFIG``, or
   ``~/.config/quorvel/config.ini`` when that variable is unset or empty.

Every lookup sees the current environment and the current file, so edits take
effect immediately. The parsed file is kept between lookups and read again only
when it changed: a lookup costs a look at the environment and one ``stat`` of
the file, not a parse. Values often are API keys, so they never appear in
warnings, exceptions or logs raised from here.
"""

from __future__ import annotations

import configparser
import io
import os
import re
import stat
import threading
import time
import warnings
from pathlib import Path
from typing import ClassVar, NamedTuple

__all__ = ["Configurator"]

_ENV_PREFIX = "QUORVEL"
_CONFIG_ENV = "QUORVEL_CONFIG"
_DEFAULT_PATH = Path("~/.config/quorvel/config.ini")
_NOT_ALNUM = re.compile(r"[^0-9A-Za-z]")
# The variables that `expanduser` reads on this system.
_HOME_ENV = ("HOME",) if os.name == "posix" else ("USERPROFILE", "HOMEDRIVE", "HOMEPATH", "USERNAME")
# A file changed less than this long before it was read may change again
# without a new time stamp (file systems stamp with a coarse clock): until it
# is older than that, its text is read at every lookup (and parsed again only
# when it differs).
_RACY_NS = 2_000_000_000
# Entries kept in each of the small tables below before it is emptied.
_TABLE_LIMIT = 256

_MISSING = object()
_Environ = type(os.environ)


class _Parsed(NamedTuple):
    """One version of a config file: its text, the parser holding it, the
    values looked up in it so far and the ``stat`` fields that identify it."""

    text: str
    parser: configparser.ConfigParser
    values: dict[tuple[str, str], object]
    identity: tuple[int, ...]
    mode: int
    trusted: bool  # False: stamped too recently to be recognised by its stat alone


class _Absent:
    """A file that was not there when last looked at."""


_ABSENT = _Absent()


class _Reading(NamedTuple):
    """Where the values of one lookup came from."""

    path: Path
    name: str  # str(path)
    parsed: _Parsed | None  # the file's version, None when it was not there or not looked at
    needs_file: bool  # some option was not in the environment, so the file was looked at
    from_file: bool  # some value came from the file


class _Plan:
    """A lookup of some options of one section: the keys, in the process
    environment's table, of the variables its answer depends on (the options'
    own, QUORVEL_CONFIG, the home directory's), and its last answer with the
    raw values those variables had."""

    __slots__ = ("keys", "last")

    def __init__(self, variables: tuple[str, ...]) -> None:
        environ = os.environ
        self.keys = tuple(map(environ.encodekey, variables)) if type(environ) is _Environ else ()
        self.last: tuple[tuple[object, ...], tuple[str | None, ...], _Reading] | None = None


def _getenv(name: str) -> str | None:
    return os.environ.get(name)


def _identity(st: os.stat_result) -> tuple[int, ...]:
    return (st.st_ino, st.st_dev, st.st_size, st.st_mtime_ns, st.st_ctime_ns)


class Configurator:
    """Class-level access to quorvel settings; no instance is needed.

    >>> Configurator.has_option("server", "api_key")  # doctest: +SKIP
    True
    >>> Configurator.get("server", "api_key")  # doctest: +SKIP
    'sk-...'
    """

    # Config files already reported as too open; each path is reported once.
    _warned: ClassVar[set[str]] = set()
    _warned_lock: ClassVar[threading.Lock] = threading.Lock()
    # The latest version seen of each config file, by path.
    _files: ClassVar[dict[str, _Parsed | _Absent]] = {}
    # path()'s answers, by the variables it reads.
    _paths: ClassVar[dict[tuple[str | None, ...], Path]] = {}
    # The lookups made so far, by section and options.
    _plans: ClassVar[dict[tuple[str, tuple[str, ...]], _Plan]] = {}

    @staticmethod
    def env_name(section: str, option: str) -> str:
        """Return the environment variable that overrides ``option`` in ``section``."""
        return "_".join(
            (_ENV_PREFIX, _NOT_ALNUM.sub("_", section).upper(), _NOT_ALNUM.sub("_", option).upper())
        )

    @staticmethod
    def path() -> Path:
        """Return the INI file currently in effect (it need not exist)."""
        key = (_getenv(_CONFIG_ENV), *map(_getenv, _HOME_ENV))
        path = Configurator._paths.get(key)
        if path is None:
            configured = key[0]
            path = Path(configured).expanduser() if configured else _DEFAULT_PATH.expanduser()
            _remember(Configurator._paths, key, path)
        return path

    @classmethod
    def has_option(cls, section: str, option: str) -> bool:
        """Tell whether ``option`` in ``section`` is set by the environment or the file."""
        return cls._lookup(section, (option,))[0][0] is not None

    @classmethod
    def get(cls, section: str, option: str) -> str:
        """Return the value of ``option`` in ``section``.

        Raises ``KeyError`` when neither the environment nor the config file sets it.
        When the value comes from a file that group or others may read, a
        ``UserWarning`` is issued (once per file).
        """
        (value,), reading = cls._lookup(section, (option,))
        if value is None:
            raise KeyError(
                f"quorvel option {option!r} in section [{section}] is not set; "
                f"set the environment variable {cls.env_name(section, option)} or add it to {reading.path}"
            )
        if reading.from_file:
            cls._check_permissions(reading.path, reading.parsed.mode)  # type: ignore[union-attr]
        return value

    @classmethod
    def _options(cls, section: str, options: tuple[str, ...]) -> tuple[str | None, ...]:
        """The values of several options of ``section`` (``None`` for an option
        that is not set), as ``has_option`` and ``get`` give them, with the file
        looked at once; the permission warning is issued as ``get`` issues it."""
        values, reading = cls._lookup(section, options)
        if reading.from_file:
            cls._check_permissions(reading.path, reading.parsed.mode)  # type: ignore[union-attr]
        return values

    @classmethod
    def _lookup(cls, section: str, options: tuple[str, ...]) -> tuple[tuple[str | None, ...], _Reading]:
        """The values of ``options`` in ``section`` (``None``: not set) and the
        reading they come from.

        The last answer of each lookup is kept with the raw values of the
        environment variables it depends on and the file version it was read
        from; while both are the same, it is still the answer.
        """
        key = (section, options)
        try:
            plan = cls._plans.get(key)
        except TypeError:  # unhashable: looked up afresh every time
            return cls._read_options(section, options)
        if plan is None:
            if type(section) is not str or any(type(option) is not str for option in options):
                return cls._read_options(section, options)
            names = tuple(cls.env_name(section, option) for option in options)
            plan = _remember(cls._plans, key, _Plan((_CONFIG_ENV, *_HOME_ENV, *names)))
        environ = os.environ
        environment = tuple(map(environ._data.get, plan.keys)) if type(environ) is _Environ and plan.keys else None
        last = plan.last
        if environment is not None and last is not None and last[0] == environment:
            reading = last[2]
            if not reading.needs_file or cls._version(reading.name, reading.path) is reading.parsed:
                return last[1], reading
        values, reading = cls._read_options(section, options)
        if environment is not None:
            plan.last = (environment, values, reading)
        return values, reading

    @classmethod
    def _read_options(cls, section: str, options: tuple[str, ...]) -> tuple[tuple[str | None, ...], _Reading]:
        values: list[str | None] = []
        path = cls.path()
        name = str(path)
        parsed: _Parsed | None = None
        needs_file = from_file = False
        for option in options:
            value = _getenv(cls.env_name(section, option))
            if value is None:
                if not needs_file:
                    needs_file = True
                    parsed = cls._version(name, path)
                if parsed is not None:
                    found = _file_value(parsed, section, option)
                    if found is not _MISSING:
                        value = found  # type: ignore[assignment]
                        from_file = True
            values.append(value)
        return tuple(values), _Reading(path, name, parsed, needs_file, from_file)

    @classmethod
    def _version(cls, name: str, path: Path) -> _Parsed | None:
        """The current version of the file ``path`` (named ``name``); ``None``
        when the file does not exist.

        A version recognised by its ``stat`` is not read again; one stamped too
        recently for that is read again and parsed only when its text changed.
        A file that was missing last time is looked for with ``access``, which
        does not raise. Parse errors are re-raised as ``ValueError`` carrying
        only the path and line number: configparser's own messages quote the
        offending line, which may hold a key.
        """
        known = cls._files.get(name)
        if known is _ABSENT and not os.access(name, os.F_OK):
            return None
        try:
            st = os.stat(name)
        except FileNotFoundError:
            _remember(cls._files, name, _ABSENT)
            return None
        except OSError:
            st = None  # opening it says what is wrong, as it always did
        if st is not None and type(known) is _Parsed and known.trusted and known.identity == _identity(st):
            return known
        try:
            with open(path, encoding="utf-8") as fh:
                st = os.fstat(fh.fileno())
                text = fh.read()
        except FileNotFoundError:
            _remember(cls._files, name, _ABSENT)
            return None
        if type(known) is _Parsed and known.text == text:
            parser, values = known.parser, known.values
        else:
            parser = configparser.ConfigParser(interpolation=None, strict=False)
            try:
                # The text as the file object gave it (line endings already
                # translated), read line by line as from the file itself.
                parser.read_file(io.StringIO(text), source=name)
            except configparser.Error as exc:
                raise ValueError(f"cannot parse quorvel config file {path}{_where(exc)}") from None
            values = {}
        stamped = max(st.st_mtime_ns, st.st_ctime_ns)
        trusted = time.time_ns() - stamped > _RACY_NS
        parsed = _Parsed(text, parser, values, _identity(st), st.st_mode, trusted)
        _remember(cls._files, name, parsed)
        return parsed

    @classmethod
    def _check_permissions(cls, path: Path, mode: int) -> None:
        """Warn once per file when a file holding a key is open to group or others."""
        if os.name != "posix" or not mode & 0o077:
            return
        key = str(path.resolve())
        with cls._warned_lock:
            if key in cls._warned:
                return
            cls._warned.add(key)
        warnings.warn(
            f"Permissions {stat.S_IMODE(mode):04o} for '{path}' are too open. "
            "It is required that your quorvel config file is not accessible by others; "
            f"run: chmod 600 '{path}'",
            UserWarning,
            stacklevel=3,
        )


def _remember(table: dict, key: object, value: object) -> object:  # type: ignore[type-arg]
    if key not in table and len(table) >= _TABLE_LIMIT:
        table.clear()
    table[key] = value
    return value


def _file_value(parsed: _Parsed, section: str, option: str) -> object:
    """The file's value of ``option`` in ``section``, or ``_MISSING``."""
    key = (section, option)
    try:
        return parsed.values[key]
    except (KeyError, TypeError):
        pass
    parser = parsed.parser
    value = parser.get(section, option) if parser.has_option(section, option) else _MISSING
    if type(section) is str and type(option) is str:
        parsed.values[key] = value
    return value


def _where(exc: configparser.Error) -> str:
    """Describe where a parse error happened without quoting the file's text."""
    errors = getattr(exc, "errors", None)
    if errors:
        return f": malformed line {errors[0][0]}"
    lineno = getattr(exc, "lineno", None)
    return f": malformed line {lineno}" if lineno else ""
