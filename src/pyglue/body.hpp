// Function bodies that take their parameters by name.
//
// A body is a C++ callable whose own parameters are the Python function's, in the same order,
// written where the function is defined:
//
//     cls.method("tear_down", {"self", "success", {"exception", py::none()}},
//                [](py::handle self, py::handle success, py::handle exception) { ... });
//
// The list gives the names and defaults Python callers see; the body reads each argument through
// its own parameter, so adding a parameter is one edit at one place. The slot of each parameter
// is fixed when the function is made (no lookup per call); a body whose parameters do not match
// the list is refused then, when the module is imported.
//
// Parameter types a body may take:
//   py::handle, py::object  one declared parameter (borrowed for the call / owned)
//   pyglue::VarArgs          last but for VarKwargs: *args (the function then collects them)
//   pyglue::VarKwargs        last: **kwargs
// A body made with pyglue::capture(a, b, ...) receives the captured objects first. The function
// owns them and the garbage collector sees them, so a captured object that refers back to the
// function does not keep the pair alive. A body may return void (None to Python) or a py::object.
#pragma once

#include <pybind11/pybind11.h>

#include <array>

#include <cstddef>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "pyglue/function.hpp"

namespace pyglue {
namespace py = pybind11;

// *args of a body: the extra positional arguments.
struct VarArgs : py::tuple {
    using py::tuple::tuple;
};

// **kwargs of a body: the extra keyword arguments, a fresh dict owned by the call.
struct VarKwargs : py::dict {
    using py::dict::dict;
};

// Objects a function keeps for its body (as a closure would), owned by the function.
struct Captures {
    py::tuple objects;
};

template <typename... T>
Captures capture(T&&... objects) {
    return {py::make_tuple(std::forward<T>(objects)...)};
}

namespace detail {

template <typename T>
struct body_traits : body_traits<decltype(&T::operator())> {};
template <typename R, typename... A>
struct body_traits<R (*)(A...)> {
    using result = R;
    using params = std::tuple<std::decay_t<A>...>;
};
template <typename R, typename... A>
struct body_traits<R(A...)> : body_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct body_traits<R (C::*)(A...) const> : body_traits<R (*)(A...)> {};
template <typename C, typename R, typename... A>
struct body_traits<R (C::*)(A...)> : body_traits<R (*)(A...)> {};

template <typename T>
constexpr bool is_argument_type = std::is_same_v<T, py::handle> || std::is_same_v<T, py::object> ||
                                  std::is_same_v<T, VarArgs> || std::is_same_v<T, VarKwargs>;

// Whether the k-th parameter from the end of A... is T.
template <typename T, typename... A>
constexpr bool from_end_is(std::size_t k) {
    constexpr bool is_t[] = {std::is_same_v<A, T>..., false};
    return sizeof...(A) > k && is_t[sizeof...(A) - 1 - k];
}

// How the body's parameter list splits: captured and declared parameters, then *args, **kwargs.
template <typename Params>
struct body_shape;
template <typename... A>
struct body_shape<std::tuple<A...>> {
    static_assert((is_argument_type<A> && ...),
                  "a body's parameters are py::handle, py::object, VarArgs or VarKwargs");
    static constexpr std::size_t count = sizeof...(A);
    static constexpr bool varkw = from_end_is<VarKwargs, A...>(0);
    static constexpr bool varargs =
        from_end_is<VarArgs, A...>(0) || (varkw && from_end_is<VarArgs, A...>(1));
    static constexpr std::size_t named = count - varargs - varkw;
    static_assert((std::is_same_v<A, VarArgs> + ... + 0) == varargs &&
                      (std::is_same_v<A, VarKwargs> + ... + 0) == varkw,
                  "VarArgs and VarKwargs come last, in that order, once each");
};

// Argument I of the body: a captured object, a declared parameter, *args or **kwargs.
template <typename T>
T argument(const Args& a, std::size_t i, std::size_t ncaptured) {
    if constexpr (std::is_same_v<T, VarArgs>) {
        return py::reinterpret_borrow<VarArgs>(a.varargs());
    } else if constexpr (std::is_same_v<T, VarKwargs>) {
        return py::reinterpret_borrow<VarKwargs>(a.varkw());
    } else {
        py::handle h = i < ncaptured ? a.captured(i) : a.slot(i - ncaptured);
        if constexpr (std::is_same_v<T, py::handle>) {
            return h;
        } else {
            return py::reinterpret_borrow<py::object>(h);
        }
    }
}

template <typename Body, typename... A, std::size_t... I>
Impl adapt(Body body, std::size_t ncaptured, std::tuple<A...>*, std::index_sequence<I...>) {
    using Result = typename body_traits<Body>::result;
    return [body = std::move(body), ncaptured](const Args& a) -> py::object {
        static_cast<void>(ncaptured);  // unread by a body without parameters
        if constexpr (std::is_void_v<Result>) {
            body(argument<A>(a, I, ncaptured)...);
            return py::none();
        } else {
            static_assert(std::is_base_of_v<py::object, Result>,
                          "a body returns void or a py::object (never a borrowed py::handle)");
            return body(argument<A>(a, I, ncaptured)...);
        }
    };
}

}  // namespace detail

// The captured objects of a body that captured one tuple, by name:
// `auto [f, limit] = pyglue::unpack<2>(captured);`. Borrowed from the tuple the function owns.
template <std::size_t N>
std::array<py::handle, N> unpack(py::handle captured) {
    if (PyTuple_GET_SIZE(captured.ptr()) != static_cast<Py_ssize_t>(N)) {
        throw std::logic_error("pyglue: unpacking a captured tuple of another size");
    }
    std::array<py::handle, N> items;
    for (std::size_t i = 0; i < N; ++i) items[i] = PyTuple_GET_ITEM(captured.ptr(), i);
    return items;
}

namespace detail {

// "*name" and "**name" in a parameter list name *args and **kwargs as inspect.signature shows
// them; they leave the list, and the body must collect what they declare.
inline void take_starred(Signature& sig, bool body_varargs, bool body_varkw) {
    std::vector<Param> named;
    for (Param& p : sig.params) {
        if (p.name.rfind("**", 0) == 0) {
            sig.varkw_name = p.name.substr(2);
            if (!body_varkw)
                throw std::logic_error("pyglue: " + sig.name + "() declares **" + sig.varkw_name +
                                       " but its body takes none");
        } else if (p.name.rfind("*", 0) == 0) {
            sig.varargs_name = p.name.substr(1);
            if (!body_varargs)
                throw std::logic_error("pyglue: " + sig.name + "() declares *" + sig.varargs_name +
                                       " but its body takes none");
        } else {
            named.push_back(std::move(p));
        }
    }
    sig.params = std::move(named);
}

}  // namespace detail

// A function object from its signature and a body that takes the parameters by name (above).
// The signature's *args and **kwargs follow from the body's VarArgs and VarKwargs, named as
// "*name" and "**name" in the parameter list when not "args" and "kwargs".
template <typename Body>
py::object make_function(Signature sig, Captures captures, Body body) {
    using Params = typename detail::body_traits<Body>::params;
    using Shape = detail::body_shape<Params>;
    detail::take_starred(sig, Shape::varargs, Shape::varkw);
    const std::size_t ncaptured = captures.objects.size();
    if (Shape::named != ncaptured + sig.params.size()) {
        throw std::logic_error("pyglue: the body of " + sig.name + "() takes " +
                               std::to_string(Shape::named) + " arguments for " +
                               std::to_string(ncaptured) + " captured objects and " +
                               std::to_string(sig.params.size()) + " declared parameters");
    }
    sig.varargs = Shape::varargs;
    sig.varkw = Shape::varkw;
    Impl impl = detail::adapt(std::move(body), ncaptured, static_cast<Params*>(nullptr),
                              std::make_index_sequence<Shape::count>());
    return detail::new_function(std::move(sig), std::move(impl), std::move(captures.objects));
}

template <typename Body>
py::object make_function(Signature sig, Body body) {
    return make_function(std::move(sig), Captures{py::tuple()}, std::move(body));
}

}  // namespace pyglue
