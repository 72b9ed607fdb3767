"""The research functions that reach the data service, through the real client, against the
loopback sandbox service."""

import pandas as pd
import pytest

from varden.mod.kelpie.research import studybench
from varden.mod.kelpie.research.normal_query.tablespec import valuation
from varden.mod.kelpie.utils.compat import pd_Panel
from varden.utils.exception import APIException


def last_payload(service, endpoint):
    return [r.payload for r in service.requests if r.endpoint == endpoint][-1]


def test_get_fundamentals_of_one_code(sandbox_client, data_service):
    q = studybench.query(valuation).filter(valuation.symbol == "000001.SZ")
    frame = studybench.get_fundamentals(q, date="2024-06-03")
    assert list(frame["symbol"]) == ["000001.SZ"]
    assert list(frame["date"]) == [pd.Timestamp("2024-06-03")]
    assert frame["pe_ratio"].iloc[0] > 0
    assert last_payload(data_service, "get_fundamentals") == {
        "query_object": "query(valuation).filter(valuation.symbol=='000001.SZ')",
        "date": "2024-06-03", "statDate": None, "latest": False}


def test_run_query_with_limit(sandbox_client, data_service):
    q = studybench.query(valuation.symbol, valuation.pe_ratio).filter(
        valuation.pe_ratio > 0).limit(3)
    frame = studybench.run_query(q)
    assert len(frame) == 3
    assert last_payload(data_service, "run_api") == {
        "code": "df = run_query(query(valuation.symbol, valuation.pe_ratio)"
                ".filter(valuation.pe_ratio>0).limit(3))",
        "name": "df"}


def test_awkward_text_stays_one_literal_on_the_service_side(sandbox_client):
    q = studybench.query(valuation).filter(valuation.symbol.in_(["000001.SZ"]),
                                           valuation.symbol != "x') or ('1")
    frame = studybench.get_fundamentals(q, date="2024-06-03")
    assert list(frame["symbol"]) == ["000001.SZ"]


def test_service_refusal_is_an_api_exception(sandbox_client):
    with pytest.raises(APIException, match="不支持的表"):
        studybench.get_fundamentals("query(nosuchtable).filter()")


def test_candle_sticks(sandbox_client, data_service):
    day = "2024-06-03 14:30:45"
    frame = studybench.get_candle_stick("000001.SZ", end_date=day, fields=["close"], bar_count=3)
    assert list(frame.columns) == ["close"]
    assert len(frame) == 3 and frame.index[-1] == pd.Timestamp("2024-06-03")
    panel = studybench.get_candle_stick(["000001.SZ", "600001.SH"], end_date=day,
                                        fields=["close"], bar_count=2, is_panel=True)
    assert isinstance(panel, pd_Panel)
    assert list(panel.items) == ["000001.SZ", "600001.SH"]
    assert last_payload(data_service, "all_api") == {
        "api_name": "get_candle_stick", "securities": ["000001.SZ", "600001.SH"],
        "end_date": "20240603 14:30:00", "fre_step": "1d", "fields": ["close"],
        "skip_paused": False, "fq": "pre", "bar_count": 2}


def test_upload_then_download(sandbox_client, tmp_path, monkeypatch):
    local = tmp_path / "work" / "a.csv"
    local.parent.mkdir()
    local.write_bytes("代码,收盘\n000001.SZ,10.5\n".encode("utf-8"))
    assert studybench.upload_file(str(local), "reports") == {"file": "reports/a.csv",
                                                             "size": local.stat().st_size}
    out = tmp_path / "out"
    out.mkdir()
    assert studybench.download_file("reports/a.csv", str(out)) == local.stat().st_size
    assert (out / "a.csv").read_bytes() == local.read_bytes()
    monkeypatch.chdir(out)
    (out / "a.csv").unlink()
    studybench.download_file("reports/a.csv")
    assert (out / "a.csv").read_bytes() == local.read_bytes()


def test_failed_download_writes_nothing(sandbox_client, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(APIException, match="文件不存在"):
        studybench.download_file("reports/missing.csv", str(out))
    assert list(out.iterdir()) == []


def test_push_and_usage(sandbox_client, data_service):
    assert studybench.notify_push("回测完成")["status"] == "ok"
    assert data_service.pushes[-1] == {
        "user": "demo", "content": "回测完成", "channel": "wxpusher", "subject": "Varden消息提醒",
        "email_list": None, "uids": None, "topic_ids": None, "group_id": None}
    usage = studybench.get_api_usage()
    assert isinstance(usage, pd.DataFrame)
    counts = dict(zip(usage["api_name"], usage["calls"]))
    assert counts["all_api"] == 1 and counts["api_usage"] == 1
