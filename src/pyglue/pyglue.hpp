// The shared helper layer: everything a varden module needs to behave like Python code.
//
// Functions (function.hpp, body.hpp, classbuild.hpp)
//   def                   defines and binds a module-level function (optionally through a
//                         Decorator: the module attribute holds what it returns)
//   module_function       a function of a module (by module object or dotted name), unbound
//   local_function        a function defined inside another: qualname outer.<locals>.name
//   make_function         the one maker the three above call: a Signature and a body
//   Param, Signature      a parameter with its default; a function's name, qualname, module
//                         and parameters ("*name" / "**name" in a list name *args / **kwargs)
//   VarArgs, VarKwargs    a body's *args and **kwargs parameters
//   capture, Captures     objects a function owns for its body (seen by the collector)
//   unpack<N>             a captured tuple's items, for a structured binding by name
//   Decorator             a decorator that def applies before binding
//   ClassBuilder          real classes from type(name, bases, ns): methods, class and static
//                         methods, properties, __init__, __getattr__, dunder operators
// Module state (namespace.hpp)
//   Namespace             module-level names bound at import, looked up at call time
// Docstrings (docstring.hpp)
//   Doc, document         docstrings attached from tables kept beside a module's source
//   joined<Parts...>      docstring texts joined at compile time (a block shared by several)
// Errors (errors.hpp)
//   raise                 raising the kit's exception classes with their arguments
//   HandlingScope         `except` semantics while handling (__context__, format_exc)
//   is_exception          whether a caught error is an Exception (not KeyboardInterrupt, ...)
// Operations that may run Python code, and the epoch they advance (pyops.hpp, capi.hpp,
// dictget.hpp). Code that keeps borrowed values notes epoch() and reads them again once it
// moved; every helper below advances it whenever Python code may run.
//   epoch, may_run_python, runs_python
//                         the epoch; noting that Python code may run; running such code
//   truth, contains, compare, equals
//                         bool(x), x in y, a <op> b and a == b as an `if` tests them
//   is_inert, set_numpy_float64
//                         values whose comparisons and truth run no Python code
//   get, dict_lookup      mapping.get(key, default); a plain dict's borrowed value
//   getattr, item, call_method, format_value, isinstance, import_name
//                         C-API spellings of Python expressions, raising what Python raises
//   steal, concat         owning a C API result; "".join of texts
// Walks over user values (recursion.hpp)
//   RecursionGuard        a depth bound for compiled code that recurses on user data: the
//                         recursion limit as Python counts it, and the thread's stack
//   recursion::enter, leave, kMessage, kComprehensionFrames
//                         how each interpreter counts frames against the limit (pyversion.hpp)
// Numbers (pyround.hpp)
//   round_digits, round_integer, round_object, is_numpy_binary_float
//                         Python's round, half-to-even on the stored double
// Constants (intern.hpp)
//   PYGLUE_INTERN         interned str constants for hot paths
// Interpreter versions (pyversion.hpp)
//   set_float_value, get_exc_info, set_exc_info, exc_info_of, reported_call, hook_waiting
//                         the C API spots where CPython versions differ
#pragma once

#include "pyglue/body.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/classbuild.hpp"
#include "pyglue/dictget.hpp"
#include "pyglue/docstring.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/function.hpp"
#include "pyglue/intern.hpp"
#include "pyglue/namespace.hpp"
#include "pyglue/pyops.hpp"
#include "pyglue/pyround.hpp"
#include "pyglue/pyversion.hpp"
#include "pyglue/recursion.hpp"
