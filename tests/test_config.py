import warnings

import pytest

from config_support import ini_fixture
from quorvel.config import Configurator

SECRET = "sk-secret-%value-42"


ini = ini_fixture()


@pytest.mark.parametrize(
    "section, option, env",
    [("server", "api_key", "QUORVEL_SERVER_API_KEY"), ("my-host.eu", "api key", "QUORVEL_MY_HOST_EU_API_KEY")],
)
def test_environment_wins_over_file(ini, monkeypatch, section, option, env):
    ini(f"[{section}]\n{option} = from-file\n")
    assert Configurator.get(section, option) == "from-file"
    monkeypatch.setenv(env, "from-env")
    assert Configurator.has_option(section, option)
    assert Configurator.get(section, option) == "from-env"


def test_file_is_reread_and_values_are_raw(ini):
    ini("[server]\nurl = http://a\n")
    assert not Configurator.has_option("server", "api_key")
    ini(f"[server]\nurl = http://b\napi_key = {SECRET}\n")
    assert Configurator.get("server", "url") == "http://b"
    assert Configurator.get("server", "api_key") == SECRET


def test_default_path_under_home(ini, monkeypatch, tmp_path):
    monkeypatch.delenv("QUORVEL_CONFIG")
    monkeypatch.setenv("HOME", str(tmp_path))
    assert not Configurator.has_option("server", "url")  # no file yet
    (tmp_path / ".config" / "quorvel").mkdir(parents=True)
    ini_path = tmp_path / ".config" / "quorvel" / "config.ini"
    ini_path.write_text("[server]\nurl = u\n")
    ini_path.chmod(0o600)
    assert Configurator.get("server", "url") == "u"


@pytest.mark.parametrize("content", [None, f"[server]\nother = {SECRET}\n", f"[other]\napi_key = {SECRET}\n"])
def test_missing_option_raises_key_error(ini, content):
    if content is not None:
        ini(content)
    assert not Configurator.has_option("server", "api_key")
    with pytest.raises(KeyError) as info:
        Configurator.get("server", "api_key")
    text = str(info.value)
    assert "server" in text and "api_key" in text and "QUORVEL_SERVER_API_KEY" in text
    assert SECRET not in text


@pytest.mark.parametrize("mode, warns", [(0o644, True), (0o604, True), (0o640, True), (0o600, False), (0o400, False)])
def test_open_permissions_warn_once_without_the_key(ini, mode, warns):
    path = ini(f"[server]\napi_key = {SECRET}\n", mode)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for _ in range(3):
            assert Configurator.get("server", "api_key") == SECRET
    messages = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    assert len(messages) == (1 if warns else 0)
    if warns:
        assert "too open" in messages[0] and str(path) in messages[0] and SECRET not in messages[0]


def test_no_warning_when_value_comes_from_environment(ini, monkeypatch):
    ini(f"[server]\napi_key = {SECRET}\n", 0o644)
    monkeypatch.setenv("QUORVEL_SERVER_API_KEY", "env-key")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert Configurator.get("server", "api_key") == "env-key"


def test_malformed_file_error_hides_contents(ini):
    ini(f"api_key = {SECRET}\n")
    with pytest.raises(ValueError) as info:
        Configurator.has_option("server", "api_key")
    assert SECRET not in str(info.value)
