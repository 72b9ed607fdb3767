// Docstrings of varden.mod.kelpie.research.normal_query.tablespec.
#pragma once

#include "pyglue/docstring.hpp"

namespace tablespec_docs {

inline constexpr const char* kModule = R"doc(Fundamentals queries written as Python expressions.

The nineteen table objects listed in `__all__` (valuation, balance,
income, cashflow, ...) give a column for any attribute name. Comparing a
column with a value gives the condition as query text at once, and a
StrQuery collects columns and conditions into the query text that
get_fundamentals and run_query send to the data service. Table and column
names are not checked here; the service knows which exist.

Examples
--------
>>> q = StrQuery(valuation).filter(valuation.symbol == "000001.SZ").limit(10)
>>> str(q)
"query(valuation).filter(valuation.symbol=='000001.SZ').limit(10)")doc";

inline constexpr const char* kStrModelAttr =
    R"doc(One column of a fundamentals table, written `table.column`.

The comparisons ==, !=, <, >, <=, >= and the methods in_, is_, any_ and
all_ return the condition as query text (a str), never a bool: for example
`valuation.pe_ratio > 10` is "valuation.pe_ratio>10". Values are written
as follows: text as a quoted Python literal, numbers, None, True and False
as they are, other iterables as a list, anything else (a date, another
column) as quoted text. Columns are not hashable. str() of a column is
"table.column".

Parameters
----------
name : str
    Name of the table.
key : str
    Name of the column.)doc";

inline constexpr const char* kIn =
    R"doc(Condition "the column is one of these values", as query text.

Parameters
----------
obj : iterable
    The values, such as a list of codes; any iterable is written as a list.

Returns
-------
str
    For example "valuation.symbol.in_(['000001.SZ', '000002.SZ'])".)doc";

inline constexpr const char* kIs =
    R"doc(Condition "the column is this value" (usually None), as query text.

Parameters
----------
obj : any value
    The value, written as for a comparison.

Returns
-------
str
    For example "balance.total_assets.is_(None)".)doc";

inline constexpr const char* kAny =
    R"doc(Condition any_ of the column against a value, as query text.

The data service decides how the condition applies.

Parameters
----------
obj : any value
    The value, written as for a comparison.

Returns
-------
str
    For example "valuation.symbol.any_(['000001.SZ'])".)doc";

inline constexpr const char* kAll =
    R"doc(Condition all_ of the column against a value, as query text.

The data service decides how the condition applies.

Parameters
----------
obj : any value
    The value, written as for a comparison.

Returns
-------
str
    For example "valuation.symbol.all_(['000001.SZ'])".)doc";

inline constexpr const char* kStrModel =
    R"doc(One fundamentals table: every attribute it lacks is a column.

str() of a table is its name, and `table.xyz` is a new StrModelAttr for
the column xyz of it. `name` is the table's own name, not a column, and
no column is named like a special method (`__xyz__`): those names raise
AttributeError, so tables copy, deep-copy and pickle like plain objects.

Parameters
----------
name : str
    Name of the table, as used in the query text.)doc";

inline constexpr const char* kStrQuery =
    R"doc(A fundamentals query under construction; str() gives its query text.

filter, limit and offset change the query and return it, so calls chain.
The text is query(<selection>).filter(<conditions>) followed by .limit(n)
and .offset(m) when they are set, limit always first.

Parameters
----------
*args : tables, columns or str
    What to select, in order.

Examples
--------
>>> q = StrQuery(valuation.symbol, valuation.pe_ratio).filter(valuation.pe_ratio < 15)
>>> str(q.limit(5))
'query(valuation.symbol, valuation.pe_ratio).filter(valuation.pe_ratio<15).limit(5)')doc";

inline constexpr const char* kFilter = R"doc(Add conditions to the query; repeated calls accumulate.

Parameters
----------
*args : str
    Conditions such as `valuation.pe_ratio < 15`, which already is text.
    A condition that is not a str makes str() of the query raise TypeError.

Returns
-------
StrQuery
    This query.)doc";

inline constexpr const char* kLimit = R"doc(Return at most this many rows.

Parameters
----------
limit : int
    The number of rows; None removes the limit.

Returns
-------
StrQuery
    This query.)doc";

inline constexpr const char* kOffset = R"doc(Skip this many rows before the first one returned.

Parameters
----------
limit : int
    The number of rows to skip (the parameter is named limit); None removes
    the offset.

Returns
-------
StrQuery
    This query.)doc";

inline constexpr pyglue::Doc kModuleMembers[] = {
    {"StrModelAttr", kStrModelAttr},
    {"StrModel", kStrModel},
    {"StrQuery", kStrQuery},
};

inline constexpr pyglue::Doc kStrModelAttrMembers[] = {
    {"in_", kIn},
    {"is_", kIs},
    {"any_", kAny},
    {"all_", kAll},
};

inline constexpr pyglue::Doc kStrQueryMembers[] = {
    {"filter", kFilter},
    {"limit", kLimit},
    {"offset", kOffset},
};

}  // namespace tablespec_docs
