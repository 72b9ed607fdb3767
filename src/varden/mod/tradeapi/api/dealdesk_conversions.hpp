// The broker's vocabulary and the kit's: market suffixes (MARKET), order sides (SideMixin and
// the enumeration SIDE) and price types (PRICETYPE). Class-level tables drive each conversion,
// read from the class at every call so that subclasses and edits of the tables take effect.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dealdesk_common.hpp"
#include "dealdesk_docs.hpp"

namespace dealdesk {

// Measured with bench/bench_dealdesk.py, the compiled pattern's match instead: positions
// 4.5x -> 3.2x, trade logs 4.0x -> 2.9x against plain Python (callgrind: 1.28x and 1.20x the
// instructions).
//
// A pattern of the shape ^(A|B|...)\d+$ with literal ASCII-digit alternatives, which is what
// the broker-code tables hold, matched without the regex engine: the text must start with
// one alternative and continue with one or more decimal digits (as \d matches them in str
// patterns), optionally followed by one final "\n" (where $ also matches).
class DigitPrefixPattern {
  public:
    // The alternatives of `pattern`, or an empty vector when it has another shape.
    static std::vector<std::string> parse(py::handle pattern) {
        if (!PyUnicode_CheckExact(pattern.ptr())) return {};
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(pattern.ptr(), &size);
        if (!text) {  // lone surrogates: certainly not this shape
            PyErr_Clear();
            return {};
        }
        std::string_view p(text, static_cast<std::size_t>(size));
        constexpr std::string_view head = "^(", tail = ")\\d+$";
        if (p.size() <= head.size() + tail.size() || p.substr(0, head.size()) != head ||
            p.substr(p.size() - tail.size()) != tail) {
            return {};
        }
        std::vector<std::string> alternatives(1);
        for (char c : p.substr(head.size(), p.size() - head.size() - tail.size())) {
            if (c == '|') {
                alternatives.emplace_back();
            } else if (c >= '0' && c <= '9') {
                alternatives.back() += c;
            } else {
                return {};
            }
        }
        for (const auto& a : alternatives) {
            if (a.empty()) return {};
        }
        return alternatives;
    }

    static bool matches(const std::vector<std::string>& alternatives, PyObject* text) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        const int kind = PyUnicode_KIND(text);
        const void* data = PyUnicode_DATA(text);
        for (const auto& a : alternatives) {
            const auto len = static_cast<Py_ssize_t>(a.size());
            if (n <= len) continue;
            bool prefix = true;
            for (Py_ssize_t i = 0; i < len && prefix; ++i) {
                prefix = PyUnicode_READ(kind, data, i) == static_cast<Py_UCS4>(a[i]);
            }
            if (!prefix) continue;
            Py_ssize_t end = n;
            if (PyUnicode_READ(kind, data, n - 1) == '\n') --end;
            if (end == len) continue;
            bool digits = true;
            for (Py_ssize_t i = len; i < end && digits; ++i) {
                digits = Py_UNICODE_ISDECIMAL(PyUnicode_READ(kind, data, i));
            }
            if (digits) return true;
        }
        return false;
    }
};

// Measured with bench/bench_dealdesk.py, re.match at every call instead (so without the shape
// parser too): positions 4.5x -> 1.7x, trade logs 4.0x -> 1.9x against plain Python (callgrind:
// 2.1x and 1.8x the instructions).
//
// re.match(pattern, text) as the module's `re.match` would do it. While `re` is the standard
// module, patterns are prepared once and kept here; a patched `re` or `re.match` is called as
// is.
class PatternMatcher {
  public:
    void bind(py::handle re_module) {
        // Intentionally leaked, like the module namespace they belong to.
        re_module_ = re_module.inc_ref().ptr();
        re_match_ = py::object(re_module.attr("match")).release().ptr();
        re_compile_ = py::object(re_module.attr("compile")).release().ptr();
    }

    // True while the module's `re.match` is the standard one.
    bool standard() const {
        py::object re_module = ns.get("re");
        if (re_module.ptr() != re_module_) return false;
        return pyglue::getattr(re_module, PYGLUE_INTERN("match")).ptr() == re_match_;
    }

    bool matches(py::handle pattern, py::handle text, bool standard) {
        if (!standard) {
            py::object match = pyglue::getattr(ns.get("re"), PYGLUE_INTERN("match"));
            return pyglue::truth(match(pattern, text));
        }
        if (!PyUnicode_CheckExact(pattern.ptr())) {
            // Bytes or compiled patterns: rare, compiled at each use.
            py::object regex = pyglue::steal(PyObject_CallOneArg(re_compile_, pattern.ptr()));
            return regex_match(regex.ptr(), text);
        }
        const Prepared& prepared = prepare(pattern);
        if (!prepared.alternatives.empty() && PyUnicode_Check(text.ptr())) {
            return DigitPrefixPattern::matches(prepared.alternatives, text.ptr());
        }
        return regex_match(prepared.regex, text);
    }

  private:
    struct Prepared {
        PyObject* regex;  // owned: re.compile(pattern)
        std::vector<std::string> alternatives;
    };

    static bool regex_match(PyObject* regex, py::handle text) {
        PyObject* args[] = {regex, text.ptr()};
        return pyglue::truth(pyglue::steal(PyObject_VectorcallMethod(
            PYGLUE_INTERN("match"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }

    // Keyed by the pattern object (the table's key, the same object at every call), which the
    // entry keeps alive so that its address cannot be reused by another text.
    const Prepared& prepare(py::handle pattern) {
        auto hit = prepared_.find(pattern.ptr());
        if (hit != prepared_.end()) return hit->second;
        // Compiled first, so a malformed pattern raises re.error as re.match would.
        py::object regex = pyglue::steal(PyObject_CallOneArg(re_compile_, pattern.ptr()));
        std::vector<std::string> alternatives = DigitPrefixPattern::parse(pattern);
        // Tables are small; this only fills up when they are rewritten over and over.
        if (prepared_.size() >= kMaxPatterns) {
            for (auto& entry : prepared_) {
                Py_DECREF(entry.first);
                Py_DECREF(entry.second.regex);
            }
            prepared_.clear();
        }
        Prepared entry{regex.release().ptr(), std::move(alternatives)};
        return prepared_.emplace(pattern.inc_ref().ptr(), std::move(entry)).first->second;
    }

    static constexpr std::size_t kMaxPatterns = 512;
    PyObject* re_module_ = nullptr;
    PyObject* re_match_ = nullptr;
    PyObject* re_compile_ = nullptr;
    // Never destroyed while the interpreter runs; its references are not released at exit.
    std::unordered_map<PyObject*, Prepared> prepared_;
};

inline PatternMatcher pattern_matcher;

// The value of the first (pattern, value) pair of `table` whose pattern matches `text`, or None.
inline py::object first_match(py::handle table, py::handle text, bool standard) {
    if (PyDict_CheckExact(table.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table.ptr(), &pos, &key, &value)) {
            // Held across the match, which may run Python code.
            py::object pattern = py::reinterpret_borrow<py::object>(key);
            py::object result = py::reinterpret_borrow<py::object>(value);
            if (pattern_matcher.matches(pattern, text, standard)) return result;
        }
        return py::none();
    }
    py::object items =
        pyglue::steal(PyObject_CallMethodNoArgs(table.ptr(), PYGLUE_INTERN("items")));
    for (py::handle pair : items) {
        py::object pattern = pair[py::int_(0)];
        if (pattern_matcher.matches(pattern, text, standard)) return pair[py::int_(1)];
    }
    return py::none();
}

// The function objects behind MARKET.revert and SideMixin.revert, to recognise them when
// they are reached through an instance's class attributes (set at import, never released).
inline PyObject* market_revert_function = nullptr;
inline PyObject* side_revert_function = nullptr;

// Measured with bench/bench_dealdesk.py, the bound revert called for each record instead:
// positions 4.5x -> 3.7x, trade logs 4.0x -> 3.4x against plain Python (callgrind: 1.15x and
// 1.11x the instructions).
//
// cls.MARKET.revert for a run of records: the table is read once, and while `revert` is ours
// the bound method call is skipped.
class MarketSuffixes {
  public:
    explicit MarketSuffixes(py::handle market_cls)
        : revert_(pyglue::getattr(market_cls, PYGLUE_INTERN("revert"))) {
        if (PyMethod_Check(revert_.ptr()) &&
            PyMethod_GET_FUNCTION(revert_.ptr()) == market_revert_function) {
            table_ = pyglue::getattr(PyMethod_GET_SELF(revert_.ptr()), PYGLUE_INTERN("re_revert"));
            standard_ = pattern_matcher.standard();
        }
    }

    py::object operator()(py::handle code) const {
        if (table_) return first_match(table_, code, standard_);
        return revert_(code);
    }

    // "{}{}".format(code, ".%s" % market if market else ""): the kit symbol of a broker code.
    py::object symbol(py::handle code) const {
        py::object market = (*this)(code);
        py::object text = pyglue::format_value(code);
        if (!pyglue::truth(market)) return text;
        if (PyUnicode_CheckExact(market.ptr())) {
            return pyglue::concat({text.ptr(), PYGLUE_INTERN("."), market.ptr()});
        }
        py::object suffix = pyglue::steal(PyUnicode_Format(PYGLUE_INTERN(".%s"), market.ptr()));
        return pyglue::concat({text.ptr(), suffix.ptr()});
    }

  private:
    py::object revert_;
    py::object table_;
    bool standard_ = false;
};

// The function wrapped by the class method `name` of `cls`, as a new (never released) reference.
inline PyObject* classmethod_function(py::handle cls, const char* name) {
    py::object method = cls.attr("__dict__")[name];
    return py::object(method.attr("__func__")).release().ptr();
}

inline py::object make_market_class() {
    pyglue::ClassBuilder cb("MARKET", kModuleName);
    py::dict re_convert;
    re_convert["^(.+)\\.SZ$"] = 1;
    re_convert["^(.+)\\.SH$"] = 2;
    re_convert["^(1.+)\\.OF$"] = 1;
    re_convert["^(5.+)\\.OF$"] = 2;
    re_convert["^(.+)\\.BJ$"] = 3;
    py::dict re_revert;
    re_revert["^(00|12|30|15|16|17|18)\\d+$"] = "SZ";
    re_revert["^(11|60|688|689|5)\\d+$"] = "SH";
    re_revert["^(4|8|9)\\d+$"] = "BJ";
    cb.attr("re_convert", re_convert);
    cb.attr("re_revert", re_revert);
    cb.classmethod("convert", {"cls", "symbol"}, [](py::handle cls, py::handle symbol) {
        return first_match(pyglue::getattr(cls, PYGLUE_INTERN("re_convert")), symbol,
                           pattern_matcher.standard());
    });
    cb.classmethod("revert", {"cls", "symbol"}, [](py::handle cls, py::handle symbol) {
        return first_match(pyglue::getattr(cls, PYGLUE_INTERN("re_revert")), symbol,
                           pattern_matcher.standard());
    });
    py::object market = cb.build();
    market_revert_function = classmethod_function(market, "revert");
    return market;
}

inline py::object make_pricetype_class() {
    pyglue::ClassBuilder cb("PRICETYPE", kModuleName);
    py::dict price_revert;
    price_revert[py::int_(0)] = "限价单";
    price_revert[py::int_(3)] = "市价单";
    cb.attr("price_revert", price_revert);
    cb.classmethod("revert", {"cls", "num"}, [](py::handle cls, py::handle num) {
        return item_get(pyglue::getattr(cls, PYGLUE_INTERN("price_revert")), num.ptr());
    });
    return cb.build();
}

// Enum's member table read directly, down to SideNames below. Measured with
// bench/bench_dealdesk.py, cls(num).name for each record instead: trade logs 4.0x -> 1.7x
// against plain Python (callgrind: 1.94x the instructions).
//
// The enumeration SIDE and the function behind Enum._missing_ (set at import, never released).
inline PyObject* side_enum = nullptr;
inline PyObject* enum_missing_function = nullptr;

// cls(num).name, or num itself when no member has that value (cls(num) raises ValueError).
inline py::object side_revert_full(py::handle cls, py::handle num) {
    try {
        return pyglue::getattr(cls(num), PYGLUE_INTERN("name"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::reinterpret_borrow<py::object>(num);
    }
}

// True when cls(num) is Enum's plain value lookup: the module's SIDE, with Enum's _missing_.
inline bool plain_side_lookup(py::handle cls) {
    if (cls.ptr() != side_enum) return false;
    py::object missing = pyglue::getattr(cls, PYGLUE_INTERN("_missing_"));
    return PyMethod_Check(missing.ptr()) &&
           PyMethod_GET_FUNCTION(missing.ptr()) == enum_missing_function;
}

// What Enum's value lookup does, without raising ValueError for a value with no member.
inline py::object side_name_plain(py::handle cls, py::handle members, py::handle num) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(num.ptr())) == cls.ptr()) {
        return pyglue::getattr(num, PYGLUE_INTERN("_name_"));
    }
    PyObject* member = PyDict_GetItemWithError(members.ptr(), num.ptr());
    if (member) return pyglue::getattr(member, PYGLUE_INTERN("_name_"));
    if (!PyErr_Occurred()) return py::reinterpret_borrow<py::object>(num);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
    // Unhashable, or a __hash__/__eq__ that raises: Enum's own lookup decides (it scans the
    // members for a TypeError, treats a KeyError as no member, and a ValueError means `num`).
    PyErr_Clear();
    return side_revert_full(cls, num);
}

inline py::object side_revert(py::handle cls, py::handle num) {
    if (plain_side_lookup(cls)) {
        return side_name_plain(cls, pyglue::getattr(cls, PYGLUE_INTERN("_value2member_map_")), num);
    }
    return side_revert_full(cls, num);
}

// cls.SIDE.revert for a run of records, with the member table read once while it is ours.
class SideNames {
  public:
    explicit SideNames(py::handle side_cls)
        : revert_(pyglue::getattr(side_cls, PYGLUE_INTERN("revert"))) {
        if (PyMethod_Check(revert_.ptr()) &&
            PyMethod_GET_FUNCTION(revert_.ptr()) == side_revert_function &&
            plain_side_lookup(PyMethod_GET_SELF(revert_.ptr()))) {
            cls_ = py::reinterpret_borrow<py::object>(PyMethod_GET_SELF(revert_.ptr()));
            members_ = pyglue::getattr(cls_, PYGLUE_INTERN("_value2member_map_"));
        }
    }

    py::object operator()(py::handle num) const {
        if (members_) return side_name_plain(cls_, members_, num);
        return revert_(num);
    }

  private:
    py::object revert_;
    py::object cls_;
    py::object members_;
};

inline py::object make_side_mixin() {
    pyglue::ClassBuilder cb("SideMixin", kModuleName);
    cb.classmethod("revert", {"cls", "num"},
                   [](py::handle cls, py::handle num) { return side_revert(cls, num); });
    py::object mixin = cb.build();
    side_revert_function = classmethod_function(mixin, "revert");
    return mixin;
}

inline py::object make_side_enum(py::handle side_mixin) {
    static const std::pair<const char*, int> members[] = {{"BUY", 0},
                                                          {"SALE", 1},
                                                          {"PURCHASE", 4},
                                                          {"REDEEM", 5},
                                                          {"FINANCE_BUY", 6},
                                                          {"STOCK_SALE", 7},
                                                          {"SALE_REPAY", 8},
                                                          {"BUY_REPAY", 9},
                                                          {"DIRECT_REPAY", 10},
                                                          {"STOCK_REPAY", 11},
                                                          {"STOCK_REPAY_TRANSFER", 14},
                                                          {"STOCK_LEFT_TRANSFER", 15},
                                                          {"IPO", 16}};
    py::list pairs;
    for (const auto& member : members) pairs.append(py::make_tuple(member.first, member.second));
    py::object side = ns.get("Enum")("SIDE", pairs, py::arg("module") = kModuleName,
                                     py::arg("type") = side_mixin);
    side_enum = side.inc_ref().ptr();  // lives as long as the module
    enum_missing_function = classmethod_function(ns.get("Enum"), "_missing_");
    return side;
}

// MARKET, PRICETYPE, SideMixin and SIDE.
inline void define_conversions(py::module_& m) {
    py::object market = make_market_class();
    py::object pricetype = make_pricetype_class();
    py::object side_mixin = make_side_mixin();
    m.attr("MARKET") = market;
    m.attr("PRICETYPE") = pricetype;
    m.attr("SideMixin") = side_mixin;
    m.attr("SIDE") = make_side_enum(side_mixin);
    pyglue::document(market, dealdesk_docs::kMarketMembers);
    pyglue::document(pricetype, dealdesk_docs::kPriceTypeMembers);
    pyglue::document(side_mixin, dealdesk_docs::kSideMixinMembers);
}

}  // namespace dealdesk
