import logging

import pytest

from varden.mod.kelpie.utils import recorder
from varden.mod.kelpie.utils.recorder import log


@pytest.fixture(autouse=True)
def fresh_log():
    yield
    log.set_limited("info", False)
    if log._file_handler is not None:
        log.logger.removeHandler(log._file_handler)
        log._file_handler.close()
        log._file_handler = None


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "varden.research"]


def test_set_tofile_refuses_outside_the_research_platform(monkeypatch, tmp_path):
    monkeypatch.delenv(recorder.RESEARCH_PLATFORM_ENV, raising=False)
    assert log.set_tofile(str(tmp_path / "r.log")) is False
    assert not (tmp_path / "r.log").exists()


def test_set_tofile_on_the_research_platform_writes_the_file(monkeypatch, tmp_path):
    monkeypatch.setenv(recorder.RESEARCH_PLATFORM_ENV, "1")
    assert log.set_tofile(str(tmp_path / "first.log")) is True
    assert log.set_tofile(str(tmp_path / "r.log")) is True
    log.warn("选股完成")
    assert "WARNING: 选股完成" in (tmp_path / "r.log").read_text(encoding="utf-8")
    assert (tmp_path / "first.log").read_text() == ""


@pytest.mark.parametrize("level, shown", [
    ("info", ["i", "w", "e"]),
    ("warn", ["w", "e"]),
    ("error", ["e"]),
])
def test_level_filters_messages(caplog, level, shown):
    caplog.set_level(logging.DEBUG)
    log.set_limited(level, False)
    log.info("i")
    log.warn("w")
    log.error("e")
    assert messages(caplog) == shown


def test_limited_log_stops_after_the_cap_with_a_notice(caplog, monkeypatch):
    monkeypatch.setattr(recorder, "LIMITED_RECORDS", 2)
    log.set_limited("info", True)
    for n in range(5):
        log.info("m%d", n)
    assert messages(caplog) == ["m0", "m1", "log limit of 2 messages reached, further ones are dropped"]


def test_unknown_level_is_refused():
    with pytest.raises(ValueError, match="log level must be one of"):
        log.set_limited("debug", True)
