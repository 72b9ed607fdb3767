"""Stand-in: instrument kinds and which trading account each kind is traded through."""

from enum import Enum


class INSTRUMENT_TYPE(str, Enum):
    """Kind of an instrument. Name and value are equal, so the plain text ("CS") compares and
    hashes like the member and both can be tested against the account collections."""

    CS = "CS"  # common stock
    ETF = "ETF"
    LOF = "LOF"  # listed open-ended fund
    FJA = "FJA"  # structured fund, senior share
    FJB = "FJB"  # structured fund, junior share
    QDII = "QDII"
    INDX = "INDX"  # index, not tradable
    OTA = "OTA"  # off-exchange open-ended fund, subscribed and redeemed, not quoted live
    FUTURE = "FUTURE"
    OPTION = "OPTION"

    def __str__(self):
        return self.value


INST_TYPE_IN_STOCK_ACCOUNT = frozenset({
    INSTRUMENT_TYPE.CS, INSTRUMENT_TYPE.ETF, INSTRUMENT_TYPE.LOF, INSTRUMENT_TYPE.FJA,
    INSTRUMENT_TYPE.FJB, INSTRUMENT_TYPE.QDII,
})
INST_TYPE_IN_FUTURE_ACCOUNT = frozenset({INSTRUMENT_TYPE.FUTURE})
INST_TYPE_IN_OPTION_ACCOUNT = frozenset({INSTRUMENT_TYPE.OPTION})
