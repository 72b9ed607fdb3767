// Docstrings attached once a module's objects exist, from tables kept beside its source.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>

namespace pyglue {
namespace py = pybind11;

// One docstring: the attribute it documents and its text.
struct Doc {
    const char* name;
    const char* text;
};

// Sets the docstring of the attribute `doc.name` found in `owner.__dict__` (owner: a module or
// a class): a function, a class, a property, or a class or static method, whose function gets
// the text too because help() shows the function. A decorated function hands the text down
// its __wrapped__ chain, as functools.wraps would have copied it up.
inline void document(py::handle owner, const Doc& doc) {
    py::object target = py::getattr(owner, "__dict__")[doc.name];
    py::str text(doc.text);
    if (PyObject_TypeCheck(target.ptr(), &PyClassMethod_Type) ||
        PyObject_TypeCheck(target.ptr(), &PyStaticMethod_Type)) {
        py::setattr(target.attr("__func__"), "__doc__", text);
    }
    for (py::object f = target; !f.is_none(); f = py::getattr(f, "__wrapped__", py::none())) {
        py::setattr(f, "__doc__", text);
    }
}

// Texts joined at compile time: one block shared by several docstrings is written once.
template <const char*... Parts>
constexpr auto join_texts() {
    constexpr std::size_t length = (std::char_traits<char>::length(Parts) + ... + 0);
    std::array<char, length + 1> joined{};
    std::size_t at = 0;
    for (const char* part : {Parts...}) {
        for (; *part != '\0'; ++part) joined[at++] = *part;
    }
    return joined;
}
template <const char*... Parts>
inline constexpr auto joined = join_texts<Parts...>();

template <std::size_t N>
void document(py::handle owner, const Doc (&docs)[N]) {
    for (const Doc& doc : docs) document(owner, doc);
}

}  // namespace pyglue
