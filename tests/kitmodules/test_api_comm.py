import pandas as pd
import pytest

from kpquant.environment import Environment
from varden.mod.kelpie.api import api_comm


def test_current_dt_and_context_follow_the_running_strategy(monkeypatch):
    env = Environment(config=None)
    env.trading_dt = pd.Timestamp("2024-03-01 15:00")
    env.user_strategy = type("Strategy", (), {"user_context": "ctx"})()
    monkeypatch.setattr(Environment, "_env", env)
    assert api_comm.get_current_dt() == pd.Timestamp("2024-03-01 15:00")
    assert api_comm.get_user_context() == "ctx"


def test_outside_a_run(monkeypatch):
    monkeypatch.setattr(Environment, "_env", None)
    before = pd.Timestamp.now()
    assert before <= api_comm.get_current_dt() <= pd.Timestamp.now()
    with pytest.raises(RuntimeError, match="needs a running strategy"):
        api_comm.get_user_context()


def test_user_log_writes_at_the_level(caplog):
    api_comm.user_log("careful", "warn")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [("WARNING", "careful")]
    with pytest.raises(ValueError, match="level must be one of"):
        api_comm.user_log("x", "debug")
