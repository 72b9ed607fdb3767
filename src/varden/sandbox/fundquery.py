"""Reader of the fundamentals query text that the kit's query builder produces.

The text has the shape ``query(<fields>).filter(<filters>)[.limit(N)][.offset(M)]``.
It is parsed, never evaluated: a field is ``table`` or ``table.column``; a filter is
``table.column<op><literal>`` with one of ``== != < > <= >=``, or
``table.column.in_(<literal>)`` / ``.is_(<literal>)``. Literals are read with
``ast.literal_eval`` (strings, numbers, lists, None, True, False only).
"""

import ast
import re
from dataclasses import dataclass, field

_FIELD = re.compile(r"^(\w+)(?:\.(\w+))?$")
_COMPARISON = re.compile(r"^(\w+)\.(\w+)(==|!=|<=|>=|<|>)(.+)$", re.S)
_METHOD = re.compile(r"^(\w+)\.(\w+)\.(in_|is_)\((.*)\)$", re.S)


class QueryError(ValueError):
    """The text is not a query this service understands."""


@dataclass
class Filter:
    table: str
    column: str
    op: str
    value: object


@dataclass
class Query:
    fields: list = field(default_factory=list)  # (table, column or None)
    filters: list = field(default_factory=list)
    limit: int = None
    offset: int = None

    @property
    def tables(self):
        names = [table for table, _ in self.fields] + [f.table for f in self.filters]
        return list(dict.fromkeys(names))


def _closing_paren(text, start):
    """Index of the parenthesis that closes the one opened just before ``start``."""
    depth = 1
    for i, ch in _outside_quotes(text, start):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
            if depth == 0:
                return i
    raise QueryError("unbalanced parentheses in query text")


def _split_top_level(text):
    """Split at commas outside brackets and quotes; blank items are dropped."""
    items, depth, start = [], 0, 0
    for i, ch in _outside_quotes(text):
        if ch in "([{":
            depth += 1
        elif ch in ")]}":
            depth -= 1
        elif ch == "," and depth == 0:
            items.append(text[start:i])
            start = i + 1
    items.append(text[start:])
    return [item.strip() for item in items if item.strip()]


def _outside_quotes(text, start=0):
    """(index, character) of each character of ``text`` from ``start`` that lies outside
    quoted literals (backslash escapes inside them honoured)."""
    quote, i = None, start
    while i < len(text):
        ch = text[i]
        if quote:
            if ch == "\\":
                i += 1
            elif ch == quote:
                quote = None
        elif ch in "'\"":
            quote = ch
        else:
            yield i, ch
        i += 1


def _call(text, pos, name):
    """Parse ``.name(...)`` (or ``name(...)`` at the start); returns (inner text, next pos)."""
    opener = name + "("
    if not text.startswith(opener, pos):
        raise QueryError("expected %s at position %d" % (opener, pos))
    begin = pos + len(opener)
    end = _closing_paren(text, begin)
    return text[begin:end], end + 1


def _literal(text):
    try:
        return ast.literal_eval(text.strip())
    except (ValueError, SyntaxError) as exc:
        raise QueryError("not a literal value: %s" % text.strip()) from exc


def _parse_filter(item):
    match = _METHOD.match(item)
    if match:
        table, column, op, value = match.groups()
        return Filter(table, column, op, _literal(value))
    match = _COMPARISON.match(item)
    if match:
        table, column, op, value = match.groups()
        return Filter(table, column, op, _literal(value))
    raise QueryError("unsupported filter: %s" % item)


def parse_query(text):
    """Parse a query text into a ``Query``; raises ``QueryError`` on anything else."""
    text = text.strip()
    inner, pos = _call(text, 0, "query")
    query = Query()
    for item in _split_top_level(inner):
        match = _FIELD.match(item)
        if not match:
            raise QueryError("unsupported field: %s" % item)
        query.fields.append(match.groups())
    inner, pos = _call(text, pos, ".filter")
    query.filters = [_parse_filter(item) for item in _split_top_level(inner)]
    for name in ("limit", "offset"):
        if text.startswith("." + name + "(", pos):
            inner, pos = _call(text, pos, "." + name)
            value = _literal(inner)
            if not isinstance(value, int) or isinstance(value, bool) or value < 0:
                raise QueryError("%s must be a non-negative integer" % name)
            setattr(query, name, value)
    if pos != len(text):
        raise QueryError("unexpected text after the query: %s" % text[pos:])
    return query


def apply_filters(frame, filters):
    """Rows of ``frame`` that pass every filter (columns named by the filters' column)."""
    mask = None
    for flt in filters:
        if flt.column not in frame.columns:
            raise QueryError("unknown column %s.%s" % (flt.table, flt.column))
        column = frame[flt.column]
        if flt.op == "in_":
            if not isinstance(flt.value, (list, tuple)):
                raise QueryError("in_ needs a list")
            passed = column.isin(list(flt.value))
        elif flt.op == "is_":
            passed = column.isna() if flt.value is None else column == flt.value
        else:
            passed = {"==": column.__eq__, "!=": column.__ne__, "<": column.__lt__,
                      ">": column.__gt__, "<=": column.__le__, ">=": column.__ge__}[flt.op](
                          flt.value)
        mask = passed if mask is None else mask & passed
    return frame if mask is None else frame[mask]


def select(frame, query, table):
    """Apply the filters, column selection, offset and limit of ``query`` to one table."""
    rows = apply_filters(frame, query.filters)
    columns = [column for name, column in query.fields if name == table]
    if columns and None not in columns:
        missing = [c for c in columns if c not in rows.columns]
        if missing:
            raise QueryError("unknown column %s.%s" % (table, missing[0]))
        rows = rows[columns]
    start = query.offset or 0
    stop = None if query.limit is None else start + query.limit
    return rows.iloc[start:stop].reset_index(drop=True)
