"""Stand-in: record types of the trading client."""

__all__ = ["NameDict"]


class NameDict(dict):
    """A dict whose keys can also be read and set as attributes.

    Keys keep their insertion order; ``record.symbol`` is ``record["symbol"]``.
    A missing key read as an attribute raises ``AttributeError``.
    """

    __slots__ = ()

    def __getattr__(self, name):
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __setattr__(self, name, value):
        self[name] = value

    def __delattr__(self, name):
        try:
            del self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __dir__(self):
        return list(super().__dir__()) + [k for k in self if isinstance(k, str)]

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, dict.__repr__(self))
