"""The composite sandbox: every service in one process, ports that give way, a pinned clock."""

import os
import socket
import subprocess

import pandas as pd
import pytest

from varden.sandbox import __main__ as sandbox_main
from varden.mod.stock.data import intraday


@pytest.fixture
def busy_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen()
        yield s.getsockname()[1]


def test_taken_port_gives_way_to_a_free_one_and_says_so(busy_port):
    notes = []
    chosen = []

    def start(port):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", port))
            chosen.append(probe.getsockname()[1])
        return chosen[-1]

    assert sandbox_main._start("data service", busy_port, start, notes) != busy_port
    assert notes == ["data service: port %d is taken, using a free one" % busy_port]


def test_gateway_port_taken_is_explained_and_the_rest_still_runs(busy_port, monkeypatch):
    monkeypatch.setattr(sandbox_main, "DATA_PORT", 0)
    sandbox = sandbox_main.Sandbox(gateway_port=busy_port)
    try:
        assert sandbox.gateway is None
        text = sandbox.describe(None)
        assert "trading gateway not started" in text and "already in use by pid" in text
        env = sandbox.environment()
        assert env["VARDEN_URL"] == sandbox.data.url
        assert env["VARDEN_BROKER_ADDR"] == sandbox.brokerage.address
    finally:
        sandbox.close()


def test_live_clock_is_pinned_inside_the_latest_session(monkeypatch):
    monkeypatch.delenv("VARDEN_LIVE_CLOCK", raising=False)
    clock = pd.Timestamp(sandbox_main._live_clock())
    assert clock.strftime("%H:%M") == sandbox_main.LIVE_CLOCK_TIME
    assert clock.normalize() <= pd.Timestamp.now().normalize()
    assert clock.weekday() < 5


def test_feed_follows_the_pinned_clock(monkeypatch):
    monkeypatch.setenv(intraday.LIVE_CLOCK_VARIABLE, "2026-12-08 10:00")
    assert intraday.live_clock() == pd.Timestamp("2026-12-08 10:00")
    monkeypatch.delenv(intraday.LIVE_CLOCK_VARIABLE)
    assert abs(intraday.live_clock() - pd.Timestamp.now()) < pd.Timedelta(seconds=5)


def test_printed_exports_set_the_environment_when_pasted_into_a_shell(busy_port, monkeypatch):
    monkeypatch.setattr(sandbox_main, "DATA_PORT", 0)
    monkeypatch.setenv("VARDEN_LIVE_CLOCK", "2026-12-08 14:30")
    root = "/tmp/my settings"
    sandbox = sandbox_main.Sandbox(gateway_port=busy_port)
    try:
        exports = [line.strip() for line in sandbox.describe(root).splitlines()
                   if line.startswith("  export ")]
        expected = dict(sandbox.environment(), VARDEN_ROOT=root)
    finally:
        sandbox.close()
    shown = subprocess.run(["bash", "-c", "\n".join(exports + ["env"])], capture_output=True,
                           text=True, env={"PATH": os.environ["PATH"]}, timeout=30)
    assert shown.returncode == 0 and shown.stderr == ""
    variables = dict(line.split("=", 1) for line in shown.stdout.splitlines()
                     if line.startswith("VARDEN_"))
    assert variables == expected
    assert expected["VARDEN_LIVE_CLOCK"] == "2026-12-08 14:30"
