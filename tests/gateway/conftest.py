import contextlib
import socket
import threading

import pytest

from varden.sandbox.gateway import running_gateway


@pytest.fixture
def gateway():
    with running_gateway() as gw:
        yield gw


@pytest.fixture
def scripted_peer():
    """A one-connection gateway impostor on a free port: ``scripted_peer(play)`` runs
    ``play(conn)`` on the accepted connection and returns the port."""
    threads = []
    listeners = []

    def start(play):
        listener = socket.create_server(("127.0.0.1", 0))
        listeners.append(listener)

        def serve():
            conn, _ = listener.accept()
            with conn:
                play(conn)

        thread = threading.Thread(target=serve)
        thread.start()
        threads.append(thread)
        return listener.getsockname()[1]

    yield start
    for thread in threads:
        thread.join()
    for listener in listeners:
        with contextlib.suppress(OSError):
            listener.close()
