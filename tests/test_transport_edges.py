"""The transport against hostile answers and settings: Retry-After dates and
timeouts beyond the platform's range, redirects, error bodies nested too
deeply, and interrupts that land inside the connection pool."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading

import pytest

import quorvel._transport as transport
from exchange_support import FALLBACK, history, isolated_config, printed, server, settings, waits  # noqa: F401
from quorvel.config import Configurator
from quorvel.modal import LLModal, ServerError
from quorvel.testing import Reply


def make(url, stream=False, **fields):
    return LLModal(endpoint_url=url, extra_body={"stream": True} if stream else {}, **fields)


def consume(result, stream):
    return "".join(r.content for r in result) if stream else result.content


# ---- Retry-After and timeouts beyond the platform's range --------------------------------


@pytest.mark.parametrize(
    "date",
    [
        "Sat, 01 Jan 99999999999999999999 00:00:00 GMT",  # OverflowError in datetime
        "Sat, 01 Jan 10000 00:00:00 GMT",  # ValueError: year out of range
    ],
)
def test_unreadable_retry_after_date_leaves_the_backoff(server, settings, waits, date):
    settings(max_retries=1)
    server.add(Reply.status(429, "", headers={"Retry-After": date}), Reply.text("ok"))
    assert make(server.url).invoke("Hi").content == "ok"
    assert len(waits) == 1 and 0.375 <= waits[0] <= 0.5


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("option, value", [("timeout", "1e10"), ("timeout", "1e300"), ("connect_timeout", "9.3e9")])
def test_huge_timeout_means_no_limit(server, settings, capsys, stream, option, value):
    settings(**{option: value})
    server.add(Reply.stream(["o", "k"]) if stream else Reply.text("ok"))
    assert consume(make(server.url, stream).invoke("Hi"), stream) == "ok"
    assert getattr(transport.read_settings(Configurator, "llm"), option) is None
    assert printed(capsys) == []


def test_ordinary_timeouts_are_kept():
    assert transport._validate("llm", "2.5", "1e8", None)[:2] == (2.5, 1e8)


# ---- redirects -------------------------------------------------------------------------------


@pytest.mark.parametrize("stream", [False, True])
@pytest.mark.parametrize("status", [301, 302, 303, 307, 308])
def test_redirect_is_an_error_naming_the_new_location(server, capsys, stream, status):
    target = server.url.replace("http://", "https://")
    server.add(Reply.status(status, "moved", headers={"Location": target}), Reply.text("followed"))
    model = make(server.url, stream)
    with pytest.raises(ServerError) as raised:
        model.invoke("Hi")
    text = f"the server redirects to {target}: use that as the endpoint"
    assert str(raised.value) == text and raised.value.message == text
    assert raised.value.status_code == status and raised.value.body == b"moved"
    assert printed(capsys) == [f"LLM request error: {text}"]
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]
    assert [(r.method, r.path) for r in server.requests] == [("POST", "/v1/chat/completions")]


def test_relative_redirect_is_named_as_an_absolute_url(server, settings, waits):
    settings(max_retries=2)  # a redirect is not retried either
    server.add(Reply.status(308, "", headers={"Location": "/v2/chat/completions"}), Reply.text("followed"))
    with pytest.raises(ServerError, match=r"^the server redirects to http://127\.0\.0\.1:\d+/v2/chat/completions: "):
        make(server.url).invoke("Hi")
    assert len(server.requests) == 1 and waits == []


def test_3xx_without_location_is_an_ordinary_status_error(server):
    server.add(Reply.status(304, ""))
    with pytest.raises(ServerError, match=r"^code: 304, content: b''$"):
        make(server.url).invoke("Hi")


# ---- error bodies nested too deeply ----------------------------------------------------------


@pytest.mark.parametrize("stream", [False, True])
def test_503_whose_body_is_deeply_nested_stays_a_retried_server_error(server, settings, waits, capsys, stream):
    settings(max_retries=1)
    deep = "[" * 100_000 + "]" * 100_000
    server.add(Reply.status(503, deep), Reply.status(503, deep))
    model = make(server.url, stream)
    with pytest.raises(ServerError) as raised:
        model.invoke("Hi")
    assert raised.value.status_code == 503 and raised.value.code is None
    assert len(server.requests) == 2 and len(waits) == 1
    assert history(model) == [("user", "Hi"), ("assistant", FALLBACK)]


# ---- interrupts inside the connection pool ---------------------------------------------------


def pool_queue():
    """The connection queue of this thread's pool for the loopback server."""
    session = transport._sessions.session
    (pool,) = session.get_adapter("http://").poolmanager.pools._container.values()
    return pool.pool


def on_own_thread(work, bound=15.0):
    """Runs work() on a thread of its own (sessions are per thread) and fails
    when it is not done within `bound` seconds (a pool that blocks for good)."""
    outcome: list = []

    def run():
        try:
            outcome.append(("ok", work()))
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            outcome.append(("raised", exc))

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(bound)
    assert not thread.is_alive(), "the exchange after the interrupt never ended"
    (result,) = outcome
    if result[0] == "raised":
        raise result[1]
    return result[1]


def interrupt_after_taking_the_lock(queue, method):
    """The queue's next `method` call stops as an interrupt landing just after
    the lock was taken would: lock held, KeyboardInterrupt raised."""

    def interrupted(*args, **kwargs):
        del queue.__dict__[method]
        queue.mutex.acquire()
        raise KeyboardInterrupt

    setattr(queue, method, interrupted)


@pytest.mark.parametrize(
    "where, stream",
    [
        ("giving back a connection", False),  # the whole answer has been read
        ("giving back a connection", True),  # the streamed answer has ended
        ("lock left taken", False),  # the interrupt went elsewhere, the lock stayed taken
        ("lock left taken", True),
    ],
)
def test_pool_touched_by_an_interrupt_is_replaced(server, where, stream):
    def work():
        model = make(server.url, stream)
        server.add(Reply.text("one"), Reply.stream(["t", "w", "o"]) if stream else Reply.text("two"))
        make(server.url).invoke("first")  # the pool now holds a connection
        queue = pool_queue()
        if where == "lock left taken":
            queue.mutex.acquire()
        else:
            interrupt_after_taking_the_lock(queue, "put")
            with pytest.raises(KeyboardInterrupt):
                consume(model.invoke("interrupted"), stream)
            server.add(Reply.stream(["t", "w", "o"]) if stream else Reply.text("two"))
        answer = consume(model.invoke("next"), stream)
        return answer, queue, pool_queue()

    answer, old, new = on_own_thread(work)
    assert answer == "two"
    # After an interrupt the thread's pools are replaced.
    assert (new is not old) == (where != "lock left taken")


def test_healthy_pool_is_kept(server):
    def work():
        server.add(Reply.text("one"), Reply.text("two"))
        make(server.url).invoke("a")
        first = pool_queue()
        make(server.url).invoke("b")
        return first, pool_queue()

    first, second = on_own_thread(work)
    assert first is second and server.connections_opened == 1


RANDOM_INTERRUPTS = textwrap.dedent(
    """
    import random, signal, sys, time
    from quorvel.modal import LLModal
    from quorvel.testing import ChatServer, Reply

    class State:
        armed = False

    def interrupt(signum, frame):
        if State.armed:
            State.armed = False
            raise KeyboardInterrupt

    def reply(record):
        return Reply.stream(["a", "b", "c"]) if record.json.get("stream") else Reply.text("abc")

    server = ChatServer().start()
    models = [LLModal(endpoint_url=server.url), LLModal(endpoint_url=server.url, extra_body={"stream": True})]

    def answer(model):
        server.add(reply)
        result = model.invoke("Hi")
        return "".join(r.content for r in result) if model.stream else result.content

    for model in models:  # everything an exchange imports is imported before the first interrupt
        assert answer(model) == "abc"
    signal.signal(signal.SIGALRM, interrupt)
    rng = random.Random(int(sys.argv[1]))
    interrupts = failures = 0
    deadline = time.monotonic() + float(sys.argv[2])
    while time.monotonic() < deadline:
        model = rng.choice(models)
        try:
            State.armed = True
            signal.setitimer(signal.ITIMER_REAL, rng.uniform(0.00005, 0.004))
            answer(model)
            State.armed = False
        except KeyboardInterrupt:
            interrupts += 1
        except Exception as exc:
            failures += 1
            print("failure:", type(exc).__name__, exc, file=sys.stderr)
    State.armed = False
    signal.setitimer(signal.ITIMER_REAL, 0)
    for model in models:
        assert answer(model) == "abc"
    print(interrupts, failures)
    """
)


@pytest.mark.timing
@pytest.mark.parametrize("seed", [1, 2])
def test_exchanges_work_after_random_interrupts(tmp_path, seed):
    script = tmp_path / "interrupts.py"
    script.write_text(RANDOM_INTERRUPTS)
    env = {**os.environ, "QUORVEL_CONFIG": str(tmp_path / "absent.ini")}
    env.pop("QUORVEL_LLM_API_KEY", None)
    done = subprocess.run([sys.executable, str(script), str(seed), "3"], capture_output=True, text=True,
                          timeout=120, env=env)
    assert done.returncode == 0, done.stderr
    interrupts, failures = map(int, done.stdout.split()[-2:])
    # Interrupted exchanges print their failure line on the way out only for
    # Exceptions; an interrupt is not one.
    assert interrupts >= 20 and failures == 0, done.stderr
