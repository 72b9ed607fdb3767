"""Test-wide setup: the kit's settings folder lives in a temporary place."""

import os
import tempfile

# The settings module reads this at import; set it before any kit module loads.
os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-root-"))


import pytest  # noqa: E402


@pytest.fixture
def data_service():
    """A fresh sandbox data service on 127.0.0.1 (free port), stopped after the test.

    ``data_service.url`` is the base URL ("http://127.0.0.1:<port>/sdk/", for VARDEN_URL or
    ``APIClient(base_url=...)``); ``handlers``, ``delays``, ``hold()``, ``fail()``, ``drop()``,
    ``answer_hostile()``, ``requests``, ``users``, ``notice``, ``pushes``, ``usage``,
    ``advance_clock()`` are the test hooks of ``varden.sandbox.dataservice.DataService``.
    """
    from varden.sandbox.dataservice import running_data_service

    with running_data_service() as service:
        yield service
