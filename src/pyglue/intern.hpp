// Interned Python strings for names and keys used on hot paths.
#pragma once

#include <Python.h>

// A process-lifetime interned str for a literal; created on first use, never released.
#define PYGLUE_INTERN(text)                                            \
    ([]() -> PyObject* {                                               \
        static PyObject* interned_ = PyUnicode_InternFromString(text); \
        return interned_;                                              \
    }())
