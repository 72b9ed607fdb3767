// Docstrings of varden.mod.kelpie.mod.
#pragma once

#include "pyglue/docstring.hpp"

namespace mod_docs {

inline constexpr const char* kModule = R"doc(The kit's engine mod, loaded by the strategy engine.

KelpieMod publishes the kit's research API to strategies and connects
their on_order and on_trade callbacks when a run starts, and turns a failed
run into UserError when it ends.)doc";

inline constexpr const char* kKelpieMod =
    R"doc(The kit's engine mod: publishes the research API and hooks strategy callbacks.

The engine creates it, calls start_up(env, mod_config) before the strategy
runs and tear_down(success, exception) at the end.)doc";

inline constexpr const char* kStartUp =
    R"doc(Prepare a run: publish the API to the strategy and hook its callbacks.

In this order: attach the Kafka output when enabled, publish the common
API, the research package and the research API (studybench) to the
strategy, set the persistence provider when one is configured, and connect
the strategy's on_order and on_trade callbacks.

Parameters
----------
env : Environment
    The engine environment of the run.
mod_config : config
    The mod's configuration: enable_kafka_output, daily_last_event,
    daily_collect_trade, style and persist_provider are read.

Returns
-------
None)doc";

inline constexpr const char* kTearDown = R"doc(End a run; a failed run raises UserError.

Parameters
----------
success : bool
    Whether the run succeeded; not read.
exception : Exception, default None
    The engine's exception of a failed run.

Returns
-------
None
    When the run ended without exception.

Raises
------
UserError
    With the error type "回测运行错误" and the engine's error text, when
    an exception is given.)doc";

inline constexpr pyglue::Doc kKelpieModMembers[] = {
    {"start_up", kStartUp},
    {"tear_down", kTearDown},
};

}  // namespace mod_docs
