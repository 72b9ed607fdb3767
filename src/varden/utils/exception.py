"""Stand-in: the kit's exception classes."""


class APIException(Exception):
    """A failure reported by the platform's data service or its client."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message


class TradeException(Exception):
    """A failure while reading or driving a live trading account."""

    def __init__(self, message):
        super().__init__(message)
        self.message = message
