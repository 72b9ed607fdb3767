// varden.mod.kelpie.eventhook: connects a strategy's on_order/on_trade callbacks to the
// engine's order and trade events.
#include <pybind11/pybind11.h>

#include "eventhook_docs.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kModuleName = "varden.mod.kelpie.eventhook";

// The engine events that carry an order, in the order their listeners are added; TRADE last.
constexpr const char* kOrderEvents[] = {
    "ORDER_PENDING_NEW",        "ORDER_CREATION_PASS",
    "ORDER_CREATION_REJECT",    "ORDER_PENDING_CANCEL",
    "ORDER_CANCELLATION_PASS",  "ORDER_CANCELLATION_REJECT",
    "ORDER_UNSOLICITED_UPDATE", "TRADE",
};

pyglue::Namespace ns;

// A listener `handler(event)` that calls `callback(strategy.user_context, event.<field>)` and
// returns its result. The context is read when the listener runs, so a replaced one is seen.
py::object make_handler(const char* name, py::object strategy, py::object callback,
                        const char* field) {
    return pyglue::local_function(
        kModuleName, "EventFunc.load_strategy", name, {"event"},
        pyglue::capture(strategy, callback),
        [field](py::handle strategy, py::handle callback, py::handle event) {
            return callback(strategy.attr("user_context"), event.attr(field));
        });
}

void add_listener(py::handle self, py::handle event_type, py::handle listener) {
    self.attr("_env").attr("event_bus").attr("add_listener")(event_type, listener);
}

void define_event_func(py::module_& m) {
    pyglue::ClassBuilder cls("EventFunc", kModuleName);
    cls.attr("__doc__", py::str(eventhook_docs::kEventFunc));

    cls.method("__init__", {"self", "env"},
               [](py::handle self, py::handle env) { self.attr("_env") = env; });

    // A decorator that attaches a function to the class as a static method, under `name` or the
    // function's own name, and returns the function unchanged.
    cls.classmethod("register", {"cls", {"name", py::none()}}, [](py::object cls, py::object name) {
        return pyglue::local_function(
            kModuleName, "EventFunc.register", "decorator", {"func"}, pyglue::capture(cls, name),
            [](py::handle cls, py::handle name, py::object func) {
                py::object attr_name = pyglue::truth(name)
                                           ? py::reinterpret_borrow<py::object>(name)
                                           : func.attr("__name__");
                py::setattr(cls, attr_name, pyglue::steal(PyStaticMethod_New(func.ptr())));
                return func;
            });
    });

    cls.method("register_event", {"self"}, [](py::handle self) {
        add_listener(self, ns["EVENT"].attr("PRE_STRATEGY_RUN"), self.attr("load_strategy"));
    });

    cls.method("load_strategy", {"self", "event"}, [](py::handle self, py::handle /*event*/) {
        py::object strategy = self.attr("_env").attr("get_user_strategy")();

        // scope.get(name) with the name alone: the engine promises no more of its scope mapping.
        py::object on_order = strategy.attr("scope").attr("get")("on_order");
        if (pyglue::truth(on_order)) {
            py::object handler = make_handler("order_handler", strategy, on_order, "order");
            for (const char* event_name : kOrderEvents) {
                add_listener(self, ns["EVENT"].attr(event_name), handler);
            }
        }

        py::object on_trade = strategy.attr("scope").attr("get")("on_trade");
        if (pyglue::truth(on_trade)) {
            add_listener(self, ns["EVENT"].attr("TRADE"),
                         make_handler("trade_handler", strategy, on_trade, "trade"));
        }
    });

    m.attr("EventFunc") = cls.build();
    pyglue::document(m.attr("EventFunc"), eventhook_docs::kEventFuncMembers);
}

}  // namespace

PYBIND11_MODULE(eventhook, m) {
    ns.bind(m);
    m.doc() = eventhook_docs::kModule;
    ns.import_from("kpquant.events", {"EVENT"});
    define_event_func(m);
}
