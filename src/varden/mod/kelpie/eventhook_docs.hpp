// Docstrings of varden.mod.kelpie.eventhook.
#pragma once

#include "pyglue/docstring.hpp"

namespace eventhook_docs {

inline constexpr const char* kModule =
    R"doc(Strategy event hooks: a strategy's on_order and on_trade callbacks.

A strategy may define on_order(context, order) and on_trade(context, trade)
in its module; EventFunc connects them to the engine's order and trade
events when the strategy is loaded.)doc";

inline constexpr const char* kEventFunc =
    R"doc(Connects a strategy's on_order and on_trade callbacks to the engine's events.

on_order(context, order) is called for every order event (pending new,
creation passed or rejected, pending cancel, cancellation passed or
rejected, unsolicited update) and, with the fill's order, for every trade;
on_trade(context, trade) for every trade. `context` is the strategy's
current user context. A callback that is missing or None is not connected.

Parameters
----------
env : Environment
    The engine environment of the run.)doc";

inline constexpr const char* kRegister =
    R"doc(Decorator attaching a function to EventFunc as a static method.

Parameters
----------
name : str, default None
    Attribute name to attach it under; None uses the function's own name.

Returns
-------
callable
    The decorator; it returns the decorated function unchanged.

Examples
--------
>>> @EventFunc.register()
... def on_settlement(context): ...)doc";

inline constexpr const char* kRegisterEvent =
    R"doc(Have the strategy's callbacks connected when the strategy is loaded.

Listens for the engine's PRE_STRATEGY_RUN event, which runs load_strategy.

Returns
-------
None)doc";

inline constexpr const char* kLoadStrategy =
    R"doc(Connect the loaded strategy's on_order and on_trade to the engine's events.

Parameters
----------
event : Event
    The PRE_STRATEGY_RUN event; not read.

Returns
-------
None)doc";

inline constexpr pyglue::Doc kEventFuncMembers[] = {
    {"register", kRegister},
    {"register_event", kRegisterEvent},
    {"load_strategy", kLoadStrategy},
};

}  // namespace eventhook_docs
