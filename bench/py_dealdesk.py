"""Plain-Python rendition of the live account translations, for the benchmark; the robustness
tests take its conversions as the reference."""

import re
import traceback
from enum import Enum

import pandas as pd

from varden.mod.tradeapi.sdk.utils import NameDict
from varden.utils.exception import TradeException
from varden.utils.logger import system_log


class MARKET(object):
    re_convert = {r"^(.+)\.SZ$": 1, r"^(.+)\.SH$": 2, r"^(1.+)\.OF$": 1, r"^(5.+)\.OF$": 2,
                  r"^(.+)\.BJ$": 3}
    re_revert = {r"^(00|12|30|15|16|17|18)\d+$": "SZ", r"^(11|60|688|689|5)\d+$": "SH",
                 r"^(4|8|9)\d+$": "BJ"}

    @classmethod
    def convert(cls, symbol):
        for pattern, market in cls.re_convert.items():
            if re.match(pattern, symbol):
                return market
        return None

    @classmethod
    def revert(cls, symbol):
        for pattern, market in cls.re_revert.items():
            if re.match(pattern, symbol):
                return market
        return None


class SideMixin(object):
    @classmethod
    def revert(cls, num):
        try:
            return cls(num).name
        except ValueError:
            return num


SIDE = Enum("SIDE", [("BUY", 0), ("SALE", 1), ("PURCHASE", 4), ("REDEEM", 5),
                     ("FINANCE_BUY", 6), ("STOCK_SALE", 7), ("SALE_REPAY", 8), ("BUY_REPAY", 9),
                     ("DIRECT_REPAY", 10), ("STOCK_REPAY", 11), ("STOCK_REPAY_TRANSFER", 14),
                     ("STOCK_LEFT_TRANSFER", 15), ("IPO", 16)],
            type=SideMixin, module=__name__)


class TradeAPI(object):
    SIDE = SIDE
    MARKET = MARKET

    def __init__(self, client, token):
        self._trader_rpc = client
        self._account_token = token

    def _get_account_token(self, force=False):
        return self._account_token

    @property
    def positions(self):
        params = {"ReqType": 1202, "method": "stocknx",
                  "params": {"FunID": 500015, "fund_token": self._get_account_token()}}
        try:
            result = self._trader_rpc.call_rpc_json(params)
            if not result.get("result"):
                raise TradeException("账号持仓查询失败(" + str(result.get("id")) + "): " + (
                    result.get("error", {}).get("message") or "参数输入有误"))
            system_log.info("positions_success", extra=dict(status="success", **params))
            data = {}
            for item in result["result"].get("Array", []):
                market_type = self.MARKET.revert(item["SecurityID"])
                symbol = "{}{}".format(item["SecurityID"], ".%s" % market_type if market_type else "")
                pnl = round(item.get("NetMoney") or (
                    item["MarketPrice"] - item["CostPrice"]) * item["ActualAmt"], 4)
                profit_rate = round((item["MarketPrice"] - item["CostPrice"]) / item["CostPrice"],
                                    4) if item["CostPrice"] else None
                data[symbol] = NameDict({
                    "symbol": symbol, "name": item["SecurityName"], "amount": item["ActualAmt"],
                    "frozen_amount": item["FrozenQty"],
                    "available_amount": item["AvailableStockBalance"],
                    "market_value": item["MarketValue"], "cost_basis": item["CostPrice"],
                    "last_price": item["MarketPrice"], "pnl": pnl, "profit_rate": profit_rate})
            return data
        except Exception:
            system_log.error("positions_fail", extra=dict(status="fail", **params))
            raise TradeException("账号持仓查询失败: %s" % traceback.format_exc())

    def get_tradelogs(self):
        params = {"ReqType": 1203, "method": "stocknx",
                  "params": {"FunID": 500014, "fund_token": self._get_account_token()}}
        try:
            result = self._trader_rpc.call_rpc_json(params)
            if not result.get("result"):
                raise TradeException("账号成交查询失败(" + str(result.get("id")) + "): " + (
                    result.get("error", {}).get("message") or "参数输入有误"))
            system_log.info("tradelogs_success", extra=dict(status="success", **params))
            data = []
            for item in result["result"].get("Array", []):
                market_type = self.MARKET.revert(item["SecurityID"])
                symbol = "{}{}".format(item["SecurityID"], ".%s" % market_type if market_type else "")
                date = item.get("SettleDate", "")
                data.append(NameDict({
                    "symbol": symbol, "name": item["SecurityName"],
                    "secondary_order_id": item["OrderID"], "amount": item["TradeVolume"],
                    "side": self.SIDE.revert(item["Side"]), "trade_price": item["AvgPx"],
                    "datetime": pd.Timestamp("{}{}{}".format(
                        date, " " if date else date, item["TransactTime"])),
                    "commission": item["Commission"]}))
            return data
        except Exception:
            system_log.error("tradelogs_fail", extra=dict(status="fail", **params))
            raise TradeException("账号成交查询失败: %s" % traceback.format_exc())
