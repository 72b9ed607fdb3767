"""The query builder written as plain Python: the benchmark times the compiled builder against
it, and the robustness tests take it as the reference for texts and errors."""

import collections.abc
import numbers

__all__ = [
    "bonus", "valuation", "balance", "cashflow", "income", "profit_report", "profit_forecast",
    "operating", "debtrepay", "profit", "growth", "cashflow_sq", "income_sq", "profit_sq",
    "growth_sq", "asharevalue", "ashareoperate", "asharedebt", "ashareprofit",
]


class StrModelAttr(object):
    def __init__(self, name, key):
        self.name = name
        self.key = key

    def _encode(self, o, top=1):
        # Top-level texts are written as Python literals (repr), so quotes and line breaks inside
        # them can neither end the literal nor inject code into the query.
        if isinstance(o, str):
            return repr(str(o)) if top else str(o)
        if o is None or o is True or o is False:
            return o
        if isinstance(o, numbers.Number):
            return o
        if isinstance(o, collections.abc.Iterable):
            return [self._encode(x, 0) for x in o]
        return repr(str(o)) if top else str(o)

    def __str__(self):
        return "{}.{}".format(self.name, self.key)

    def __eq__(self, obj):
        return "{}.{}=={}".format(self.name, self.key, self._encode(obj))

    def __ne__(self, obj):
        return "{}.{}!={}".format(self.name, self.key, self._encode(obj))

    def __lt__(self, obj):
        return "{}.{}<{}".format(self.name, self.key, self._encode(obj))

    def __gt__(self, obj):
        return "{}.{}>{}".format(self.name, self.key, self._encode(obj))

    def __le__(self, obj):
        return "{}.{}<={}".format(self.name, self.key, self._encode(obj))

    def __ge__(self, obj):
        return "{}.{}>={}".format(self.name, self.key, self._encode(obj))

    def in_(self, obj):
        return "{}.{}.in_({})".format(self.name, self.key, self._encode(obj))

    def is_(self, obj):
        return "{}.{}.is_({})".format(self.name, self.key, self._encode(obj))

    def any_(self, obj):
        return "{}.{}.any_({})".format(self.name, self.key, self._encode(obj))

    def all_(self, obj):
        return "{}.{}.all_({})".format(self.name, self.key, self._encode(obj))


class StrModel(object):
    def __init__(self, name):
        self.name = name

    def __str__(self):
        return self.name

    def __getattr__(self, key):
        return StrModelAttr(self.name, key)


class StrQuery(object):
    def __init__(self, *args):
        self.fields = args
        self.filters = []
        self._limit = None
        self._offset = None

    def filter(self, *args):
        self.filters.extend(args)
        return self

    def limit(self, limit):
        self._limit = limit
        return self

    def offset(self, limit):
        self._offset = limit
        return self

    def __str__(self):
        fields = ", ".join(str(f) for f in self.fields)
        filters = ", ".join(self.filters)
        limit = ".limit(%s)" % self._limit if self._limit is not None else ""
        offset = ".offset(%s)" % self._offset if self._offset is not None else ""
        return "query({}).filter({}){}{}".format(fields, filters, limit, offset)


for _name in __all__:
    globals()[_name] = StrModel(_name)
del _name
