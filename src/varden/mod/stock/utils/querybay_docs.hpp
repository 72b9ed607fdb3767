// Docstrings of varden.mod.stock.utils.querybay.
#pragma once

namespace querybay_docs {

inline constexpr const char* kModule = R"doc(Securities screened by a natural-language question.

QueryBay sends a question such as "市盈率小于15的银行股" with a range of days
to the platform's question service and returns the codes it answers with.)doc";

inline constexpr const char* kQueryBay = R"doc(Client of the platform's question service.

Parameters
----------
version : str, default None
    Version of the service's question parser to use; None or "" lets the
    service choose.

Examples
--------
>>> import datetime
>>> bay = QueryBay()
>>> bay.question("市盈率小于15的银行股", datetime.date(2024, 1, 2),
...              datetime.date(2024, 1, 31)))doc";

inline constexpr const char* kQuestion =
    R"doc(Codes screened by a question between two days, by key of the answer.

Never raises: a failed attempt (no answer within 8 seconds, an HTTP error,
an unreadable answer, a refusal) is logged as a warning
("初始化querybay股票池失败." or "初始化querybay股票池失败: <reason>.") and
tried once more; after two failures the result is an empty dict.

Parameters
----------
question_str : str
    The question, in natural language.
start_dt : date or datetime
    First day of the range.
end_dt : date or datetime
    Last day of the range.

Returns
-------
dict of str to list of str
    For each key of the service's answer, the security codes listed under
    it (an empty list when none); an empty dict after two failed attempts.)doc";

}  // namespace querybay_docs
