// A depth bound for compiled code that recurses on user data (nested lists, a list that holds
// itself).
//
// Py_EnterRecursiveCall alone is no bound: before 3.14 it counts C levels against a fixed limit
// (10,000 on 3.13), more stack than a worker thread has. Each level here counts
// against the interpreter's recursion limit as the same walk in Python would, and also stops
// when this thread's stack runs low, which protects a thread whose recursion limit was raised
// beyond what its stack holds.
#pragma once

#include <pthread.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

#include "pyglue/pyversion.hpp"

namespace pyglue {
namespace py = pybind11;

namespace detail {

// Stack kept free below the deepest level: the rest of that level, raising and unwinding, and
// the interpreter's own C code called from there (a level takes about 1 KiB).
constexpr std::uintptr_t kStackMargin = 128 * 1024;

// The lowest address this thread's walks may reach, or 0 when the stack's bounds are unknown.
// Read once per thread: pthread_getattr_np reads /proc/self/maps for the main thread.
inline std::uintptr_t stack_floor() {
    thread_local const std::uintptr_t floor = [] {
        pthread_attr_t attr;
        if (pthread_getattr_np(pthread_self(), &attr) != 0) return std::uintptr_t{0};
        void* low = nullptr;
        std::size_t size = 0;
        const bool known = pthread_attr_getstack(&attr, &low, &size) == 0;
        pthread_attr_destroy(&attr);
        return known ? reinterpret_cast<std::uintptr_t>(low) + kStackMargin : 0;
    }();
    return floor;
}

}  // namespace detail

// One level of a walk that weighs `frames` Python frames; raises RecursionError instead of
// entering when the recursion limit or the stack is reached.
class RecursionGuard {
  public:
    explicit RecursionGuard(int frames) : frames_(frames) {
        if (reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < detail::stack_floor()) {
            PyErr_SetString(PyExc_RecursionError, recursion::kMessage);
            throw py::error_already_set();
        }
        if (!recursion::enter(frames)) throw py::error_already_set();
    }
    ~RecursionGuard() { recursion::leave(frames_); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

  private:
    int frames_;
};

}  // namespace pyglue
