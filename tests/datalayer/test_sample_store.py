import datetime as dt
import os
import sqlite3
from contextlib import closing

import pytest

from varden.mod.kelpie import setting
from varden.mod.stock.data import sample_store
from varden.mod.stock.data.sample_store import STORE_VERSION, build_store, open_store

TODAY = dt.date.today()


def dump(path):
    with closing(sqlite3.connect(path)) as conn:
        tables = [r[0] for r in conn.execute(
            "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name")]
        return {t: conn.execute(f"SELECT * FROM {t}").fetchall() for t in tables}


def bars_between(path, start, end):
    """{(symbol, date): row} of the bars between two days."""
    with closing(sqlite3.connect(path)) as conn:
        rows = conn.execute("SELECT * FROM daily_bars WHERE date BETWEEN ? AND ?", (start, end))
        return {row[:2]: row for row in rows}


def is_option(code):
    return len(code.split(".")[0]) == 8


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    folder = tmp_path_factory.mktemp("builds")
    earlier = TODAY - dt.timedelta(days=45)
    for name, day in (("a", TODAY), ("earlier", earlier)):
        build_store(str(folder / name), day)
    return folder, earlier


def test_same_day_builds_are_identical(builds):
    folder, _ = builds
    with closing(open_store()):  # the session's store, built for today as well
        assert dump(folder / "a") == dump(sample_store.store_path())


def test_kept_bars_do_not_move_with_the_build_day(builds):
    folder, earlier = builds
    with closing(sqlite3.connect(folder / "earlier")) as conn:
        start, end = (conn.execute("SELECT value FROM meta WHERE key = ?", (k,)).fetchone()[0]
                      for k in ("bars_start", "bars_end"))
    with closing(sqlite3.connect(folder / "a")) as conn:
        start = max(start, conn.execute(
            "SELECT value FROM meta WHERE key = 'bars_start'").fetchone()[0])
    old, new = bars_between(folder / "earlier", start, end), bars_between(folder / "a", start, end)
    # option series follow the build day (a year of expiries back), everything else stays
    assert {code for code, _ in old.keys() ^ new.keys() if not is_option(code)} == set()
    shared = old.keys() & new.keys()
    assert len(shared) > 1000 and all(old[k] == new[k] for k in shared)


def test_contents(builds):
    folder, _ = builds
    with closing(sqlite3.connect(folder / "a")) as conn:
        meta = dict(conn.execute("SELECT key, value FROM meta"))
        assert meta["built_for"] == str(TODAY) and meta["store_version"] == str(STORE_VERSION)
        assert meta["calendar_start"] <= str(TODAY) <= meta["calendar_end"]
        kinds = {r[0] for r in conn.execute("SELECT DISTINCT type FROM instruments")}
        assert kinds == {"stock", "etf", "lof", "fja", "fjb", "qdii", "index", "ota", "futures",
                         "option"}
        today_factors = dict(conn.execute(
            "SELECT symbol, factor FROM last_stock_factor WHERE trade_date = ?", (str(TODAY),)))
        listed = {r[0] for r in conn.execute(
            "SELECT symbol FROM instruments WHERE type = 'stock' AND start_date <= ? "
            "AND end_date >= ?", (str(TODAY), str(TODAY)))}
        assert set(today_factors) == listed and len(listed) >= 8
        for code, factor in today_factors.items():
            latest = conn.execute("SELECT factor FROM ex_factors WHERE symbol = ? AND ex_date <= ? "
                                  "ORDER BY ex_date DESC LIMIT 1", (code, str(TODAY))).fetchone()
            assert factor == latest[0]
        bad = conn.execute("SELECT count(*) FROM daily_bars WHERE high < max(open, close) OR "
                           "low > min(open, close) OR close > high_limit OR close < low_limit"
                           ).fetchone()[0]
        assert bad == 0
    assert os.path.getsize(folder / "a") < 8_000_000


def _tiny_store(path, today, version=STORE_VERSION):
    with closing(sqlite3.connect(path)) as conn:
        conn.execute("CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT)")
        conn.executemany("INSERT INTO meta VALUES (?, ?)",
                         [("store_version", str(version)), ("built_for", str(today))])
        conn.commit()


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """The store location under a fresh root, with a builder that records its calls."""
    monkeypatch.setattr(setting, "ROOT_PATH", str(tmp_path))
    calls = []

    def build(path, today):
        calls.append(today)
        _tiny_store(path, today)

    monkeypatch.setattr(sample_store, "build_store", build)
    return tmp_path / "cache", calls


@pytest.mark.parametrize("stale", [
    lambda path: _tiny_store(path, TODAY, version=STORE_VERSION - 1),
    lambda path: _tiny_store(path, TODAY - dt.timedelta(days=1)),
    lambda path: path.write_bytes(b"not a database"),
    None,
])
def test_open_store_builds_when_missing_or_stale(cache, stale):
    folder, calls = cache
    path = folder / f"sample_store-v{STORE_VERSION}.sqlite3"
    if stale:
        folder.mkdir()
        stale(path)
    with closing(open_store()) as conn:
        assert dict(conn.execute("SELECT key, value FROM meta"))["built_for"] == str(TODAY)
        with pytest.raises(sqlite3.OperationalError, match="readonly"):
            conn.execute("DELETE FROM meta")
    with closing(open_store()):
        pass
    assert calls == [TODAY]  # the second open found the current store
    assert sorted(os.listdir(folder)) == [path.name]


def test_failed_build_leaves_the_old_file_alone(cache, monkeypatch):
    folder, _ = cache
    folder.mkdir()
    path = folder / f"sample_store-v{STORE_VERSION}.sqlite3"
    _tiny_store(path, TODAY - dt.timedelta(days=1))
    before = path.read_bytes()

    def broken(path, today):
        with open(path, "wb") as half_written:
            half_written.write(b"partial")
        raise OSError("disk full")

    monkeypatch.setattr(sample_store, "build_store", broken)
    with pytest.raises(OSError, match="disk full"):
        open_store()
    assert path.read_bytes() == before and sorted(os.listdir(folder)) == [path.name]
