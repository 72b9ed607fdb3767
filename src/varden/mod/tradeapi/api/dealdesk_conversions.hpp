// The broker's vocabulary and the kit's: market suffixes (MARKET), order sides (SideMixin and
// the enumeration SIDE) and price types (PRICETYPE). Class-level tables drive each conversion,
// read from the class at every call so that subclasses and edits of the tables take effect.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "dealdesk_common.hpp"

namespace dealdesk {

// re.match(pattern, text) as the module's `re.match` would do it. While `re` is the standard
// module, compiled patterns are kept here so that a match skips re's Python-level cache; a
// patched `re` or `re.match` is called as is.
class PatternMatcher {
public:
    void bind(py::handle re_module) {
        // Intentionally leaked, like the module namespace they belong to.
        re_module_ = re_module.inc_ref().ptr();
        re_match_ = py::object(re_module.attr("match")).release().ptr();
        re_compile_ = py::object(re_module.attr("compile")).release().ptr();
        compiled_ = PyDict_New();
        if (!compiled_) throw py::error_already_set();
    }

    bool matches(py::handle pattern, py::handle text) const {
        py::object re_module = ns.get("re");
        py::object match = attr_of(re_module, PYGLUE_INTERN("match"));
        if (re_module.ptr() != re_module_ || match.ptr() != re_match_) {
            return pyglue::truthy(match(pattern, text));
        }
        PyObject* args[] = {compiled(pattern).ptr(), text.ptr()};
        return pyglue::truthy(steal_or_throw(PyObject_VectorcallMethod(
            PYGLUE_INTERN("match"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)));
    }

private:
    py::object compiled(py::handle pattern) const {
        PyObject* hit = pyglue::dict_lookup(compiled_, pattern.ptr());
        if (hit) return py::reinterpret_borrow<py::object>(hit);
        // Tables are small; this only grows when they are rewritten over and over.
        if (PyDict_GET_SIZE(compiled_) >= kMaxPatterns) PyDict_Clear(compiled_);
        py::object p = steal_or_throw(PyObject_CallOneArg(re_compile_, pattern.ptr()));
        if (PyDict_SetItem(compiled_, pattern.ptr(), p.ptr()) < 0) throw py::error_already_set();
        return p;
    }

    static constexpr Py_ssize_t kMaxPatterns = 512;
    PyObject* re_module_ = nullptr;
    PyObject* re_match_ = nullptr;
    PyObject* re_compile_ = nullptr;
    PyObject* compiled_ = nullptr;
};

inline PatternMatcher pattern_matcher;

// The value of the first (pattern, value) pair of `table` whose pattern matches `text`, or None.
inline py::object first_match(py::handle table, py::handle text) {
    if (PyDict_CheckExact(table.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(table.ptr(), &pos, &key, &value)) {
            // Held across the match, which may run Python code.
            py::object pattern = py::reinterpret_borrow<py::object>(key);
            py::object result = py::reinterpret_borrow<py::object>(value);
            if (pattern_matcher.matches(pattern, text)) return result;
        }
        return py::none();
    }
    py::object items = steal_or_throw(PyObject_CallMethodNoArgs(table.ptr(),
                                                                PYGLUE_INTERN("items")));
    for (py::handle pair : items) {
        py::object pattern = pair[py::int_(0)];
        if (pattern_matcher.matches(pattern, text)) return pair[py::int_(1)];
    }
    return py::none();
}

// "{}{}".format(code, ".%s" % market if market else ""), market = cls.MARKET.revert(code).
inline py::object kit_symbol(py::handle market_cls, py::handle code) {
    py::object market = call_method(market_cls, PYGLUE_INTERN("revert"), code);
    py::object text = format_value(code);
    if (!pyglue::truthy(market)) return text;
    py::object suffix = steal_or_throw(PyUnicode_Format(PYGLUE_INTERN(".%s"), market.ptr()));
    return concat({text.ptr(), suffix.ptr()});
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
    cb.classmethod("convert", {"cls", "symbol"}, [](const pyglue::Args& a) {
        return first_match(attr_of(a[0], PYGLUE_INTERN("re_convert")), a[1]);
    });
    cb.classmethod("revert", {"cls", "symbol"}, [](const pyglue::Args& a) {
        return first_match(attr_of(a[0], PYGLUE_INTERN("re_revert")), a[1]);
    });
    return cb.build();
}

inline py::object make_pricetype_class() {
    pyglue::ClassBuilder cb("PRICETYPE", kModuleName);
    py::dict price_revert;
    price_revert[py::int_(0)] = "限价单";
    price_revert[py::int_(3)] = "市价单";
    cb.attr("price_revert", price_revert);
    cb.classmethod("revert", {"cls", "num"}, [](const pyglue::Args& a) {
        return item_get(attr_of(a[0], PYGLUE_INTERN("price_revert")), a[1].ptr());
    });
    return cb.build();
}

// The enumeration SIDE, kept for the fast member lookup of SideMixin.revert.
inline PyObject* side_enum = nullptr;

// cls(num).name, or num itself when no member has that value.
inline py::object side_revert(py::handle cls, py::handle num) {
    if (cls.ptr() == side_enum) {
        // What Enum's value lookup does first; anything unusual takes the full path below.
        py::object members = attr_of(cls, PYGLUE_INTERN("_value2member_map_"));
        PyObject* member = PyDict_GetItemWithError(members.ptr(), num.ptr());
        if (member) return attr_of(member, PYGLUE_INTERN("_name_"));
        PyErr_Clear();
    }
    try {
        return attr_of(cls(num), PYGLUE_INTERN("name"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::reinterpret_borrow<py::object>(num);
    }
}

inline py::object make_side_mixin() {
    pyglue::ClassBuilder cb("SideMixin", kModuleName);
    cb.classmethod("revert", {"cls", "num"},
                   [](const pyglue::Args& a) { return side_revert(a[0], a[1]); });
    return cb.build();
}

inline py::object make_side_enum(py::handle side_mixin) {
    static const std::pair<const char*, int> members[] = {
        {"BUY", 0},           {"SALE", 1},          {"PURCHASE", 4},
        {"REDEEM", 5},        {"FINANCE_BUY", 6},   {"STOCK_SALE", 7},
        {"SALE_REPAY", 8},    {"BUY_REPAY", 9},     {"DIRECT_REPAY", 10},
        {"STOCK_REPAY", 11},  {"STOCK_REPAY_TRANSFER", 14},
        {"STOCK_LEFT_TRANSFER", 15}, {"IPO", 16}};
    py::list pairs;
    for (const auto& member : members) pairs.append(py::make_tuple(member.first, member.second));
    py::object side = ns.get("Enum")("SIDE", pairs, py::arg("module") = kModuleName,
                                     py::arg("type") = side_mixin);
    side_enum = side.inc_ref().ptr();  // lives as long as the module
    return side;
}

}  // namespace dealdesk
