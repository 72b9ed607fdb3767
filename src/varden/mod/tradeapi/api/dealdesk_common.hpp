// Shared pieces of the live trading module: its namespace and the record-reading helpers that
// behave like the Python expressions they stand for (`item["Key"]`, `item.get("Key")`,
// `"{}{}{}".format(...)`).
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <utility>

#include "pyglue/pyglue.hpp"

namespace dealdesk {
namespace py = pybind11;

constexpr const char* kModuleName = "varden.mod.tradeapi.api.dealdesk";

// The module's own namespace: collaborators are read from it at call time.
inline pyglue::Namespace ns;

// The trading client's request catalogue: each request's kind (ReqType) and, for the broker's
// "stocknx" service, its function number (FunID).
struct StocknxRequest {
    int req_type;
    int fun_id;
};
inline constexpr int kOnlineAccountsRequest = 594177;
inline constexpr StocknxRequest kBalancesRequest{1201, 500016};
inline constexpr StocknxRequest kPositionsRequest{1202, 500015};
inline constexpr StocknxRequest kFillsRequest{1203, 500014};
inline constexpr StocknxRequest kOrdersRequest{1204, 500013};
inline constexpr int kOrderInstructionsRequest = 151553;
inline constexpr int kPushSubscriptionRequest = 1601;

// item.get(key, dflt)
inline py::object item_get(py::handle item, PyObject* key, py::handle dflt = py::none()) {
    return pyglue::get(item, py::handle(key), dflt);
}

// The record type (NameDict) as the module currently binds it, called with one dict of fields.
// A dict subclass that keeps dict's own construction is filled in place, which is what calling
// it with the dict would give, without building the dict twice.
class RecordType {
  public:
    explicit RecordType(py::object cls) : cls_(std::move(cls)) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
        direct_ = PyType_Check(cls_.ptr()) && Py_IS_TYPE(cls_.ptr(), &PyType_Type) &&
                  PyType_IsSubtype(type, &PyDict_Type) && type->tp_new == PyDict_Type.tp_new &&
                  type->tp_init == PyDict_Type.tp_init;
    }

    py::object make(std::initializer_list<std::pair<PyObject*, py::handle>> fields) const {
        py::object record;
        if (direct_) {
            auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
            py::tuple no_args;
            record = pyglue::steal(type->tp_new(type, no_args.ptr(), nullptr));
        } else {
            record = py::dict();
        }
        for (const auto& field : fields) {
            if (PyDict_SetItem(record.ptr(), field.first, field.second.ptr()) < 0) {
                throw py::error_already_set();
            }
        }
        if (direct_) return record;
        return pyglue::steal(PyObject_CallOneArg(cls_.ptr(), record.ptr()));
    }

  private:
    py::object cls_;
    bool direct_ = false;
};

}  // namespace dealdesk
