// varden.mod.kelpie.mod: the engine mod that plugs the kit into a strategy run.
#include <pybind11/pybind11.h>

#include "mod_docs.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

constexpr const char* kModuleName = "varden.mod.kelpie.mod";
constexpr const char* kRunErrorType = "回测运行错误";

pyglue::Namespace ns;

// Calls `publish(name, attribute)` for every name of `module.__all__`, in order.
template <typename Publish>
void for_each_exported(const char* module_name, Publish publish) {
    py::object module = ns[module_name];
    for (py::handle name : module.attr("__all__")) {
        publish(name, py::getattr(module, name));
    }
}

void define_kelpie_mod(py::module_& m) {
    pyglue::ClassBuilder cls("KelpieMod", kModuleName, py::make_tuple(ns["AbstractMod"]));
    cls.attr("__doc__", py::str(mod_docs::kKelpieMod));

    cls.method("__init__", {"self"}, [](py::handle self) { self.attr("_env") = py::none(); });

    cls.method(
        "start_up", {"self", "env", "mod_config"},
        [](py::handle /*self*/, py::handle env, py::handle mod_config) {
            if (pyglue::truth(mod_config.attr("enable_kafka_output"))) {
                py::object kafka_output =
                    pyglue::import_name("varden.mod.kelpie.kafka_output", "KafkaOutput");
                kafka_output(env, mod_config.attr("daily_last_event"),
                             mod_config.attr("daily_collect_trade"), mod_config.attr("style"))
                    .attr("register_event")();
            }

            for_each_exported("api_comm",
                              [](py::handle, py::handle api) { ns["export_as_api"](api); });
            for_each_exported(
                "research", [](py::handle name, py::handle api) { ns["register_api"](name, api); });
            for_each_exported("studybench",
                              [](py::handle, py::handle api) { ns["export_as_api"](api); });

            if (pyglue::truth(mod_config.attr("persist_provider"))) {
                env.attr("set_persist_provider")(mod_config.attr("persist_provider"));
            }

            ns["EventFunc"](env).attr("register_event")();
        });

    cls.method("tear_down", {"self", "success", {"exception", py::none()}},
               [](py::handle /*self*/, py::handle /*success*/, py::handle exception) {
                   if (!pyglue::truth(exception)) return;
                   py::object message = ns["get_error_message"](exception.attr("error"));
                   pyglue::raise(ns["UserError"], "error_type"_a = kRunErrorType,
                                 "traceback_msg"_a = message);
               });

    m.attr("KelpieMod") = cls.build();
    pyglue::document(m.attr("KelpieMod"), mod_docs::kKelpieModMembers);
}

}  // namespace

PYBIND11_MODULE(mod, m) {
    ns.bind(m);
    m.doc() = mod_docs::kModule;
    ns.import_from("kpquant.interface", {"AbstractMod"});
    ns.import_from("kpquant", {"export_as_api"});
    ns.import_from("kpquant.api.api_base", {"register_api"});
    ns.set("api_comm", py::module_::import("varden.mod.kelpie.api.api_comm"));
    ns.set("research", py::module_::import("varden.mod.kelpie.research"));
    ns.set("studybench", py::module_::import("varden.mod.kelpie.research.studybench"));
    ns.import_from("varden.mod.kelpie.eventhook", {"EventFunc"});
    ns.import_from("varden.mod.kelpie.errors", {"UserError", "get_error_message"});

    define_kelpie_mod(m);
}
