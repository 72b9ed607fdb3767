// The shared helper layer: everything a varden module needs to behave like Python code.
//
//   pyglue::Namespace   module-level names bound at import, looked up at call time (mock.patch)
//   pyglue::make_function / def / module_function, capture
//                       Python-exact functions: signatures, defaults, *args/**kwargs, errors;
//                       bodies take their parameters by name (body.hpp) and own what they capture
//   pyglue::ClassBuilder
//                       real classes from type(name, bases, ns): methods, class/static methods,
//                       properties, __init__, __getattr__, dunder operators
//   pyglue::raise, HandlingScope, is_exception
//                       raising kit exceptions; `except` semantics (__context__, format_exc)
//   pyglue::get         mapping.get(key, default)
//   pyglue::contains, equals, compare, truth, runs_python, epoch
//                       operations that may run Python code; they advance the epoch that code
//                       keeping borrowed values checks (pyops.hpp)
//   pyglue::steal, getattr, item, format_value, concat, call_method, isinstance, import_name
//                       C-API spellings of Python expressions, raising what Python raises
//   pyglue::RecursionGuard
//                       a depth bound for compiled code that recurses on user data
//   pyglue::round_digits / round_integer / round_object
//                       Python's round, half-to-even on the stored double
//   PYGLUE_INTERN       interned str constants for hot paths
//   pyglue::set_float_value, get_exc_info / set_exc_info
//                       the C API spots where CPython versions differ (pyversion.hpp)
#pragma once

#include "pyglue/body.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/classbuild.hpp"
#include "pyglue/dictget.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/intern.hpp"
#include "pyglue/namespace.hpp"
#include "pyglue/pyops.hpp"
#include "pyglue/pyround.hpp"
#include "pyglue/pyversion.hpp"
#include "pyglue/recursion.hpp"
