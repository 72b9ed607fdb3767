// varden.mod.kelpie.eventhook: connects a strategy's on_order/on_trade callbacks to the
// engine's order and trade events.
#include <pybind11/pybind11.h>

#include "eventhook_docs.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;
using pyglue::Args;

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
// The handler is a method bound to the tuple (strategy, callback) rather than a C++ closure, so
// the garbage collector sees those references (a strategy that reaches its own event bus forms
// a cycle that must stay collectable).
py::object make_handler(const char* name, py::object strategy, py::object callback,
                        const char* field) {
    pyglue::Signature sig;
    sig.name = name;
    sig.qualname = std::string("EventFunc.load_strategy.<locals>.") + name;
    sig.params = {"bound", "event"};
    sig.module = kModuleName;
    py::object function = pyglue::make_function(std::move(sig), [field](const Args& a) {
        py::handle strategy = PyTuple_GET_ITEM(a[0].ptr(), 0);
        py::handle callback = PyTuple_GET_ITEM(a[0].ptr(), 1);
        return callback(strategy.attr("user_context"), a[1].attr(field));
    });
    py::tuple bound = py::make_tuple(strategy, callback);
    PyObject* handler = PyMethod_New(function.ptr(), bound.ptr());
    if (!handler) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(handler);
}

void add_listener(py::handle self, py::handle event_type, py::handle listener) {
    self.attr("_env").attr("event_bus").attr("add_listener")(event_type, listener);
}

py::object init(const Args& a) {
    a[0].attr("_env") = a[1];
    return py::none();
}

// EventFunc.register(name=None): a decorator that attaches a function to the class as a
// static method, under `name` or the function's own name, and returns the function unchanged.
py::object register_(const Args& a) {
    py::object cls = py::reinterpret_borrow<py::object>(a[0]);
    py::object name = py::reinterpret_borrow<py::object>(a[1]);
    pyglue::Signature sig;
    sig.name = "decorator";
    sig.qualname = "EventFunc.register.<locals>.decorator";
    sig.params = {"func"};
    sig.module = kModuleName;
    return pyglue::make_function(std::move(sig), [cls, name](const Args& d) {
        py::object func = py::reinterpret_borrow<py::object>(d[0]);
        py::object attr_name = pyglue::truthy(name) ? name : func.attr("__name__");
        py::object wrapped = py::reinterpret_steal<py::object>(PyStaticMethod_New(func.ptr()));
        if (!wrapped) throw py::error_already_set();
        py::setattr(cls, attr_name, wrapped);
        return func;
    });
}

py::object register_event(const Args& a) {
    py::object event = ns["EVENT"];
    add_listener(a[0], event.attr("PRE_STRATEGY_RUN"), a[0].attr("load_strategy"));
    return py::none();
}

py::object load_strategy(const Args& a) {
    py::handle self = a[0];
    py::object strategy = self.attr("_env").attr("get_user_strategy")();

    // scope.get(name) with the name alone: the engine promises no more of its scope mapping.
    py::object on_order = strategy.attr("scope").attr("get")("on_order");
    if (pyglue::truthy(on_order)) {
        py::object handler = make_handler("order_handler", strategy, on_order, "order");
        for (const char* event_name : kOrderEvents) {
            add_listener(self, ns["EVENT"].attr(event_name), handler);
        }
    }

    py::object on_trade = strategy.attr("scope").attr("get")("on_trade");
    if (pyglue::truthy(on_trade)) {
        add_listener(self, ns["EVENT"].attr("TRADE"),
                     make_handler("trade_handler", strategy, on_trade, "trade"));
    }
    return py::none();
}

}  // namespace

PYBIND11_MODULE(eventhook, m) {
    ns.bind(m);
    m.doc() = eventhook_docs::kModule;
    ns.import_from("kpquant.events", {"EVENT"});

    pyglue::ClassBuilder cls("EventFunc", kModuleName);
    cls.attr("__doc__", py::str(eventhook_docs::kEventFunc))
        .method("__init__", {"self", "env"}, init)
        .classmethod("register", {"cls", {"name", py::none()}}, register_)
        .method("register_event", {"self"}, register_event)
        .method("load_strategy", {"self", "event"}, load_strategy);
    m.attr("EventFunc") = cls.build();
    pyglue::document(m.attr("EventFunc"), eventhook_docs::kEventFuncMembers);
}
