"""Fixtures of the platform API client tests: a private settings folder, a controllable token
clock, and clients pointed at the sandbox data service.

``--import-mode=importlib`` keeps this folder off ``sys.path``: the answer corpus is loaded here,
under a fixed name, for the test files to import.
"""

import importlib.util
import pathlib
import sys

import pytest

from varden.mod.kelpie import setting
from varden.mod.kelpie.utils import kprpc as kprpc_module

_spec = importlib.util.spec_from_file_location(
    "kprpc_pickle_corpus", pathlib.Path(__file__).with_name("pickle_corpus.py"))
sys.modules[_spec.name] = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sys.modules[_spec.name])


class FakeClock:
    """Stands in for time.monotonic behind the token cache."""

    def __init__(self):
        self.now = 1000.0

    def __call__(self):
        return self.now

    def advance(self, seconds):
        self.now += seconds


@pytest.fixture
def kprpc():
    return kprpc_module


@pytest.fixture
def root(tmp_path, monkeypatch):
    """ROOT_PATH of the settings module, empty for each test."""
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    return tmp_path


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(kprpc_module, "_token_timer", fake)
    kprpc_module.APIClient._get_token.cache_clear()
    yield fake
    kprpc_module.APIClient._get_token.cache_clear()


@pytest.fixture
def client(root, clock, data_service):
    """A client of the sandbox, logged in as demo; the login request is left out of
    ``data_service.requests``."""
    api = kprpc_module.APIClient(base_url=data_service.url)
    api.login("demo", "demo")
    data_service.requests.clear()
    return api


@pytest.fixture
def hits(data_service):
    """What the service received so far: ("refresh", passport), ("login", user) or a name."""

    def received():
        out = []
        for r in data_service.requests:
            if r.endpoint != "login":
                out.append(r.endpoint)
            elif r.payload["action"] == "refresh":
                out.append(("refresh", r.payload["passport"]))
            else:
                out.append(("login", r.payload["action"]))
        return out

    return received
