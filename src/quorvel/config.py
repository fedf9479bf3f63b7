"""Settings lookup for quorvel: environment variables first, then an INI file.

An option ``key`` in section ``server`` is looked up as

1. the environment variable ``QUORVEL_SERVER_KEY`` (section and option upper-cased,
   every character that is not an ASCII letter or digit turned into ``_``);
2. otherwise ``[server] key = ...`` in the INI file named by ``QUORVEL_CONFIG``, or
   ``~/.config/quorvel/config.ini`` when that variable is unset or empty.

The file is read again at every lookup, so edits (and changes to the environment)
take effect immediately. Values often are API keys, so they never appear in
warnings, exceptions or logs raised from here.
"""

from __future__ import annotations

import configparser
import os
import re
import stat
import threading
import warnings
from pathlib import Path
from typing import ClassVar

__all__ = ["Configurator"]

_ENV_PREFIX = "QUORVEL"
_CONFIG_ENV = "QUORVEL_CONFIG"
_DEFAULT_PATH = Path("~/.config/quorvel/config.ini")
_NOT_ALNUM = re.compile(r"[^0-9A-Za-z]")


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

    @staticmethod
    def env_name(section: str, option: str) -> str:
        """Return the environment variable that overrides ``option`` in ``section``."""
        return "_".join(
            (_ENV_PREFIX, _NOT_ALNUM.sub("_", section).upper(), _NOT_ALNUM.sub("_", option).upper())
        )

    @staticmethod
    def path() -> Path:
        """Return the INI file currently in effect (it need not exist)."""
        configured = os.environ.get(_CONFIG_ENV)
        return Path(configured).expanduser() if configured else _DEFAULT_PATH.expanduser()

    @classmethod
    def has_option(cls, section: str, option: str) -> bool:
        """Tell whether ``option`` in ``section`` is set by the environment or the file."""
        if cls.env_name(section, option) in os.environ:
            return True
        parser = cls._read(cls.path())
        return parser is not None and parser.has_option(section, option)

    @classmethod
    def get(cls, section: str, option: str) -> str:
        """Return the value of ``option`` in ``section``.

        Raises ``KeyError`` when neither the environment nor the config file sets it.
        When the value comes from a file that group or others may read, a
        ``UserWarning`` is issued (once per file).
        """
        env = cls.env_name(section, option)
        value = os.environ.get(env)
        if value is not None:
            return value
        path = cls.path()
        parser = cls._read(path)
        if parser is None or not parser.has_option(section, option):
            raise KeyError(
                f"quorvel option {option!r} in section [{section}] is not set; "
                f"set the environment variable {env} or add it to {path}"
            )
        cls._check_permissions(path)
        return parser.get(section, option)

    @classmethod
    def _read(cls, path: Path) -> configparser.ConfigParser | None:
        """Parse ``path``; ``None`` when the file does not exist.

        Parse errors are re-raised as ``ValueError`` carrying only the path and line
        number: configparser's own messages quote the offending line, which may hold
        a key.
        """
        parser = configparser.ConfigParser(interpolation=None, strict=False)
        try:
            with open(path, encoding="utf-8") as fh:
                parser.read_file(fh, source=str(path))
        except FileNotFoundError:
            return None
        except configparser.Error as exc:
            raise ValueError(f"cannot parse quorvel config file {path}{_where(exc)}") from None
        return parser

    @classmethod
    def _check_permissions(cls, path: Path) -> None:
        """Warn once per file when a file holding a key is open to group or others."""
        try:
            mode = os.stat(path).st_mode
        except OSError:
            return
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


def _where(exc: configparser.Error) -> str:
    """Describe where a parse error happened without quoting the file's text."""
    errors = getattr(exc, "errors", None)
    if errors:
        return f": malformed line {errors[0][0]}"
    lineno = getattr(exc, "lineno", None)
    return f": malformed line {lineno}" if lineno else ""
