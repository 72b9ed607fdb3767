// The fundamentals query builder: comparisons on table columns render at once as query text.
//
// The three classes are real Python classes (built with type()), so users and the research
// module can subclass, inspect and patch them like Python code. Collaborators (`numbers`,
// `collections`, `StrModelAttr`) and methods (`_encode`) are looked up at call time.
#include <pybind11/pybind11.h>

#include <initializer_list>

#include "pyglue/pyglue.hpp"
#include "tablespec_docs.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleName = "varden.mod.kelpie.research.normal_query.tablespec";

// The table objects, in the order they are created and exported.
constexpr const char* kTables[] = {
    "bonus",         "valuation",       "balance",    "cashflow",    "income",
    "profit_report", "profit_forecast", "operating",  "debtrepay",   "profit",
    "growth",        "cashflow_sq",     "income_sq",  "profit_sq",   "growth_sq",
    "asharevalue",   "ashareoperate",   "asharedebt", "ashareprofit"};

pyglue::Namespace ns;

void set_attr(py::handle obj, PyObject* name, py::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name, value.ptr()) < 0) throw py::error_already_set();
}

// self._encode(o) or self._encode(o, top): through the instance, so overrides are honoured.
py::object call_encode(py::handle self, py::handle o, PyObject* top = nullptr) {
    PyObject* args[] = {self.ptr(), o.ptr(), top};
    const size_t nargs = top ? 3 : 2;
    return pyglue::steal(PyObject_VectorcallMethod(PYGLUE_INTERN("_encode"), args, nargs, nullptr));
}

// Text values become Python literals at the top level (quotes and line breaks inside them can
// neither break the query nor inject code) and stay plain text inside lists, whose display
// already quotes them by repr.
py::object encode_text(py::handle text, py::handle top) {
    py::object s = pyglue::steal(PyObject_Str(text.ptr()));
    if (pyglue::truth(top)) return pyglue::steal(PyObject_Repr(s.ptr()));
    return s;
}

// The standard library's ABCs, kept to recognise them behind the module's names. Strong
// references that are never released: the classes live as long as the interpreter.
PyObject* stdlib_number = nullptr;
PyObject* stdlib_iterable = nullptr;

// isinstance(o, numbers.Number) with `numbers` read from the module. Exact int, float and
// complex are registered with the standard Number for good, so they skip its Python-level
// __instancecheck__.
bool is_number(py::handle o) {
    py::object number = pyglue::getattr(ns.get("numbers"), PYGLUE_INTERN("Number"));
    if (number.ptr() == stdlib_number &&
        (PyLong_CheckExact(o.ptr()) || PyFloat_CheckExact(o.ptr()) ||
         PyComplex_CheckExact(o.ptr()))) {
        return true;
    }
    return pyglue::isinstance(o, number);
}

// isinstance(o, collections.abc.Iterable) with `collections` read from the module; the
// built-in containers always define __iter__, which is all the standard Iterable asks.
bool is_iterable(py::handle o) {
    py::object abc = pyglue::getattr(ns.get("collections"), PYGLUE_INTERN("abc"));
    py::object iterable = pyglue::getattr(abc, PYGLUE_INTERN("Iterable"));
    PyObject* p = o.ptr();
    if (iterable.ptr() == stdlib_iterable &&
        (PyList_CheckExact(p) || PyTuple_CheckExact(p) || PyDict_CheckExact(p) ||
         PySet_CheckExact(p) || PyFrozenSet_CheckExact(p))) {
        return true;
    }
    return pyglue::isinstance(o, iterable);
}

py::object encode(py::handle self, py::handle o, py::handle top) {
    if (PyUnicode_Check(o.ptr())) return encode_text(o, top);
    if (o.is_none() || o.ptr() == Py_True || o.ptr() == Py_False || is_number(o)) {
        return py::reinterpret_borrow<py::object>(o);
    }
    if (is_iterable(o)) {
        // A level weighs what `[self._encode(x, 0) for x in o]` pushes in Python: the
        // method's frame, and before 3.12 the comprehension's.
        pyglue::RecursionGuard level(1 + pyglue::recursion::kComprehensionFrames);
        py::list out;
        py::object zero = py::int_(0);
        for (py::handle item : o) out.append(call_encode(self, item, zero.ptr()));
        return std::move(out);
    }
    return encode_text(o, top);
}

// "{}.{}<op>{}<close>".format(self.name, self.key, self._encode(obj))
py::object render(py::handle self, py::handle obj, PyObject* op, PyObject* close) {
    py::object name = pyglue::format_value(pyglue::getattr(self, PYGLUE_INTERN("name")));
    py::object key = pyglue::format_value(pyglue::getattr(self, PYGLUE_INTERN("key")));
    py::object value = pyglue::format_value(call_encode(self, obj));
    return pyglue::concat({name.ptr(), PYGLUE_INTERN("."), key.ptr(), op, value.ptr(), close});
}

struct Builder {
    const char* method;
    const char* op;
    const char* close;
};

constexpr Builder kBuilders[] = {
    {"__eq__", "==", ""},    {"__ne__", "!=", ""},   {"__lt__", "<", ""},   {"__gt__", ">", ""},
    {"__le__", "<=", ""},    {"__ge__", ">=", ""},   {"in_", ".in_(", ")"}, {"is_", ".is_(", ")"},
    {"any_", ".any_(", ")"}, {"all_", ".all_(", ")"}};

void define_column_class(py::module_& m) {
    pyglue::ClassBuilder cb("StrModelAttr", kModuleName);
    cb.method("__init__", {"self", "name", "key"},
              [](py::handle self, py::handle name, py::handle key) {
                  set_attr(self, PYGLUE_INTERN("name"), name);
                  set_attr(self, PYGLUE_INTERN("key"), key);
              });
    cb.method("_encode", {"self", "o", {"top", py::int_(1)}}, encode);
    cb.method("__str__", {"self"}, [](py::handle self) {
        py::object name = pyglue::format_value(pyglue::getattr(self, PYGLUE_INTERN("name")));
        py::object key = pyglue::format_value(pyglue::getattr(self, PYGLUE_INTERN("key")));
        return pyglue::concat({name.ptr(), PYGLUE_INTERN("."), key.ptr()});
    });
    for (const Builder& b : kBuilders) {
        cb.method(b.method, {"self", "obj"},
                  pyglue::capture(pyglue::steal(PyUnicode_InternFromString(b.op)),
                                  pyglue::steal(PyUnicode_InternFromString(b.close))),
                  [](py::handle op, py::handle close, py::handle self, py::handle obj) {
                      return render(self, obj, op.ptr(), close.ptr());
                  });
    }
    // Equality without a hash: columns are unhashable, as for a class statement.
    cb.attr("__hash__", py::none());
    m.attr("StrModelAttr") = cb.build();
    pyglue::document(m.attr("StrModelAttr"), tablespec_docs::kStrModelAttrMembers);
}

// A name that begins and ends with two underscores (a str, as attribute names are).
bool is_special_name(py::handle key) {
    if (!PyUnicode_Check(key.ptr())) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(key.ptr());
    PyObject* mark = PYGLUE_INTERN("__");
    return PyUnicode_Tailmatch(key.ptr(), mark, 0, n, -1) == 1 &&
           PyUnicode_Tailmatch(key.ptr(), mark, 0, n, 1) == 1;
}

// Attribute lookup on table objects without the AttributeError that CPython 3.10's generic
// __getattr__ hook raises and discards for every column name: the table's own attributes are
// found as usual, anything else goes to the class's __getattr__. Assigning or deleting
// StrModel.__getattr__ (or __getattribute__) resets this slot to CPython's own hook, and
// subclasses get that hook from the start, so the shortcut never outlives the class it
// was made for.
PyObject* table_getattro(PyObject* self, PyObject* name) {
    PyObject* found = _PyObject_GenericGetAttrWithDict(self, name, nullptr, /*suppress=*/1);
    if (found || PyErr_Occurred()) return found;
    PyObject* hook = _PyType_Lookup(Py_TYPE(self), PYGLUE_INTERN("__getattr__"));
    Py_INCREF(hook);  // held while it runs, as CPython's hook does
    PyObject* args[] = {self, name};
    PyObject* column = PyObject_Vectorcall(hook, args, 2, nullptr);
    Py_DECREF(hook);
    return column;
}

void define_table_class(py::module_& m) {
    pyglue::ClassBuilder cb("StrModel", kModuleName);
    cb.method("__init__", {"self", "name"}, [](py::handle self, py::handle name) {
        set_attr(self, PYGLUE_INTERN("name"), name);
    });
    cb.method("__str__", {"self"},
              [](py::handle self) { return pyglue::getattr(self, PYGLUE_INTERN("name")); });
    // Only consulted for names the table does not have: every such name is a column, except
    // special names, which copy, pickle and other protocols probe and must find missing (no
    // column is named so). The table's name is read without coming back here, so an instance
    // made by __new__ alone reports the missing name instead of recursing.
    cb.method("__getattr__", {"self", "key"}, [](py::handle self, py::handle key) {
        if (is_special_name(key)) {
            PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                         Py_TYPE(self.ptr())->tp_name, key.ptr());
            throw py::error_already_set();
        }
        py::object name = pyglue::steal(PyObject_GenericGetAttr(self.ptr(), PYGLUE_INTERN("name")));
        return ns.get("StrModelAttr")(name, key);
    });
    py::object cls = cb.build();
    reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_getattro = table_getattro;
    m.attr("StrModel") = cls;
}

// ".limit(%s)" % value, or "" when the value is None.
py::object optional_clause(py::handle self, PyObject* attr, PyObject* templ) {
    py::object value = pyglue::getattr(self, attr);
    if (value.is_none()) return py::reinterpret_borrow<py::object>(PYGLUE_INTERN(""));
    return pyglue::steal(PyUnicode_Format(templ, value.ptr()));
}

py::object render_query(py::handle self) {
    py::list field_texts;
    for (py::handle field : pyglue::getattr(self, PYGLUE_INTERN("fields"))) {
        field_texts.append(pyglue::steal(PyObject_Str(field.ptr())));
    }
    py::object fields = pyglue::steal(PyUnicode_Join(PYGLUE_INTERN(", "), field_texts.ptr()));
    py::object filter_list = pyglue::getattr(self, PYGLUE_INTERN("filters"));
    py::object filters = pyglue::steal(PyUnicode_Join(PYGLUE_INTERN(", "), filter_list.ptr()));
    py::object limit = optional_clause(self, PYGLUE_INTERN("_limit"), PYGLUE_INTERN(".limit(%s)"));
    py::object offset =
        optional_clause(self, PYGLUE_INTERN("_offset"), PYGLUE_INTERN(".offset(%s)"));
    return pyglue::concat({PYGLUE_INTERN("query("), fields.ptr(), PYGLUE_INTERN(").filter("),
                           filters.ptr(), PYGLUE_INTERN(")"), limit.ptr(), offset.ptr()});
}

void define_query_class(py::module_& m) {
    pyglue::ClassBuilder cb("StrQuery", kModuleName);
    cb.method("__init__", {"self"}, [](py::handle self, pyglue::VarArgs fields) {
        set_attr(self, PYGLUE_INTERN("fields"), fields);
        set_attr(self, PYGLUE_INTERN("filters"), py::list());
        set_attr(self, PYGLUE_INTERN("_limit"), py::none());
        set_attr(self, PYGLUE_INTERN("_offset"), py::none());
    });
    cb.method("filter", {"self"}, [](py::object self, pyglue::VarArgs filters) {
        pyglue::getattr(self, PYGLUE_INTERN("filters")).attr("extend")(filters);
        return self;
    });
    cb.method("limit", {"self", "limit"}, [](py::object self, py::handle limit) {
        set_attr(self, PYGLUE_INTERN("_limit"), limit);
        return self;
    });
    cb.method("offset", {"self", "limit"}, [](py::object self, py::handle limit) {
        set_attr(self, PYGLUE_INTERN("_offset"), limit);
        return self;
    });
    cb.method("__str__", {"self"}, render_query);
    m.attr("StrQuery") = cb.build();
    pyglue::document(m.attr("StrQuery"), tablespec_docs::kStrQueryMembers);
}

void import_collaborators() {
    ns.import_module("numbers", "numbers");
    py::module_::import("collections.abc");  // `import collections.abc` binds `collections`
    ns.import_module("collections", "collections");
    stdlib_number = py::object(py::module_::import("numbers").attr("Number")).release().ptr();
    stdlib_iterable =
        py::object(py::module_::import("collections.abc").attr("Iterable")).release().ptr();
}

void define_tables(py::module_& m) {
    py::list all;
    for (const char* table : kTables) {
        m.attr(table) = ns.get("StrModel")(table);
        all.append(table);
    }
    m.attr("__all__") = all;
}

}  // namespace

PYBIND11_MODULE(tablespec, m) {
    ns.bind(m);
    m.doc() = tablespec_docs::kModule;
    import_collaborators();
    define_column_class(m);
    define_table_class(m);
    define_query_class(m);
    pyglue::document(m, tablespec_docs::kModuleMembers);
    define_tables(m);
}
