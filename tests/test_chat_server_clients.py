"""ChatServer under many clients at once."""

from __future__ import annotations

import socket
import threading
from concurrent.futures import ThreadPoolExecutor

import requests

from quorvel.testing import ChatServer, Reply

CLIENTS = 64


def test_sixty_four_concurrent_streamed_clients_complete():
    with ChatServer() as server:
        server.add(*(Reply.stream([f"client {i} ", "done"], delay=0.01) for i in range(CLIENTS)))
        start = threading.Barrier(CLIENTS)

        def client(_: int) -> list[bytes]:
            start.wait(timeout=30)
            with requests.post(server.url, json={"stream": True}, stream=True, timeout=30) as response:
                assert response.status_code == 200
                return [line for line in response.iter_lines() if line]

        with ThreadPoolExecutor(CLIENTS) as pool:
            answers = list(pool.map(client, range(CLIENTS)))
        assert all(lines[-1] == b"data: [DONE]" for lines in answers)
        assert len(server.requests) == CLIENTS and all(r.completed for r in server.requests)


def test_a_burst_of_pending_connections_is_accepted():
    # Connections opened faster than they are served wait in the listen queue.
    with ChatServer() as server:
        sockets = [socket.create_connection(("127.0.0.1", server.port), timeout=10) for _ in range(128)]
        try:
            for sock in sockets:
                sock.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            for sock in sockets:
                assert sock.recv(64).startswith(b"HTTP/1.")
        finally:
            for sock in sockets:
                sock.close()
