"""Test-wide setup: the kit's settings folder lives in a temporary place."""

import os
import tempfile

# The settings module reads this at import; set it before any kit module loads.
os.environ.setdefault("VARDEN_ROOT", tempfile.mkdtemp(prefix="varden-root-"))


import pytest  # noqa: E402


def pytest_report_header(config):
    import varden

    return f"varden: {os.path.dirname(varden.__file__)}"


def pytest_sessionstart(session):
    """A run against an installed wheel (VARDEN_TEST_INSTALLED=1, as `make test-wheels` sets)
    stops unless the kit comes from this interpreter's site-packages: a source tree on the path
    would be tested in the wheel's place."""
    if os.environ.get("VARDEN_TEST_INSTALLED") != "1":
        return
    import sysconfig
    from pathlib import Path

    import hostprobe
    import varden

    site = Path(sysconfig.get_path("platlib")).resolve()
    stray = [module.__file__ for module in (varden, hostprobe)
             if site not in Path(module.__file__).resolve().parents]
    if stray:
        raise pytest.UsageError(f"the installed kit is not the one imported: {stray}, not {site}")


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
