"""A server that goes silent: it answers the status line and the first chunk
of a stream (or the first byte of a whole answer), or with ``headers=False``
nothing at all, then waits, and records when the client closes the
connection (the EOF a cancelled call must cause)."""

from __future__ import annotations

import json
import socket
import threading
import time

from quorvel.testing import role_chunk


class SilentServer:
    """One connection at a time; ``eof_at`` holds the time.monotonic() of
    each EOF seen, ``accepted`` the number of connections."""

    def __init__(self, *, stream: bool = True, headers: bool = True) -> None:
        self.stream = stream
        self.headers = headers
        self.eof_at: list[float] = []
        self.accepted = 0
        self.answered = threading.Event()
        self._eof = threading.Condition()
        self._listener = socket.socket()
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(16)
        self.url = f"http://127.0.0.1:{self._listener.getsockname()[1]}/v1/chat/completions"
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self) -> None:
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._handle, args=(conn,), daemon=True).start()

    def _handle(self, conn: socket.socket) -> None:
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                part = conn.recv(65536)
                if not part:
                    return
                data += part
            head, _, body = data.partition(b"\r\n\r\n")
            length = int(next((line.split(b":")[1] for line in head.split(b"\r\n")
                               if line.lower().startswith(b"content-length:")), b"0"))
            while len(body) < length:
                body += conn.recv(65536)
            if not self.headers:
                pass
            elif self.stream:
                line = b"data: " + json.dumps(role_chunk()).encode() + b"\n\n"
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
                             + b"%x\r\n%s\r\n" % (len(line), line))
            else:
                conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{")
            self.answered.set()
            while True:
                try:
                    if not conn.recv(65536):
                        break
                except OSError:
                    break
            with self._eof:
                self.eof_at.append(time.monotonic())
                self._eof.notify_all()

    def wait_eof(self, count: int = 1, timeout: float = 5.0) -> bool:
        with self._eof:
            return self._eof.wait_for(lambda: len(self.eof_at) >= count, timeout)

    def close(self) -> None:
        self._listener.close()

    def __enter__(self) -> SilentServer:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
