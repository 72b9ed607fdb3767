// Header messages of the trading gateway ("meta.proto", package "gateway").
//
// The message classes are made by protobuf's own reflection from the serialized file
// descriptor below, the way protoc's Python output does, so they encode and decode exactly
// like generated classes on every protobuf backend.

#include <pybind11/pybind11.h>

#include <cstddef>

#include "gatemeta_docs.hpp"
#include "pyglue/pyglue.hpp"

namespace py = pybind11;

namespace {

// Serialized FileDescriptorProto of meta.proto (no json_name, no explicit defaults, as protoc
// embeds it). Held as latin1 text: one character per byte.
constexpr char kSerializedMeta[] =
    "\012\012meta.proto\022\007gateway\042\241\001\012\013RequestMeta\022\024\012\014serv"
    "ice_name\030\001 \001(\011\022\023\012\013method_name\030\002 \001(\011\022\023\012"
    "\013tracing_key\030\003 \001(\011\022\023\012\013method_type\030\004 \001(\005\022"
    "\022\012\012context_id\030\005 \001(\011\022\023\012\013channel_key\030\006 \001("
    "\011\022\024\012\014service_type\030\007 \001(\005\042\260\001\012\014ResponseMeta"
    "\022\022\012\012error_code\030\001 \001(\005\022\022\012\012error_text\030\002 \001("
    "\014\022\017\012\007is_last\030\003 \001(\010\022\023\012\013method_type\030\004 "
    "\001(\005\022\022\012\012context_id\030\005 \001(\011\022\023\012\013tracing_key\030"
    "\006 \001(\011\022\024\012\014service_name\030\007 \001(\011\022\023\012\013method_n"
    "ame\030\010 \001(\011\042J\012\010PushMeta\022\023\012\013method_type\030\001 \001("
    "\005\022\023\012\013method_name\030\002 \001(\011\022\024\012\014service_name\030"
    "\003 \001(\011b\006proto3";
constexpr std::size_t kSerializedMetaSize = sizeof(kSerializedMeta) - 1;
static_assert(kSerializedMetaSize == 448, "meta.proto descriptor changed size");

struct MessageEntry {
    const char* descriptor_attr;
    const char* name;
    int serialized_start;
    int serialized_end;
    const char* doc;
};

// Where each message's DescriptorProto lies inside kSerializedMeta.
constexpr MessageEntry kMessages[] = {
    {"_REQUESTMETA", "RequestMeta", 24, 185, gatemeta_docs::kRequestMeta},
    {"_RESPONSEMETA", "ResponseMeta", 188, 364, gatemeta_docs::kResponseMeta},
    {"_PUSHMETA", "PushMeta", 366, 440, gatemeta_docs::kPushMeta},
};

py::object latin1_text(const char* data, std::size_t size) {
    PyObject* text = PyUnicode_DecodeLatin1(data, static_cast<Py_ssize_t>(size), nullptr);
    if (text == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(text);
}

}  // namespace

PYBIND11_MODULE(gatemeta, m) {
    m.doc() = gatemeta_docs::kModule;

    pyglue::def(m, "_b", {"x"},
                [](py::handle x) -> py::object { return x.attr("encode")("latin1"); });
    py::module_ descriptor = py::module_::import("google.protobuf.descriptor");
    py::module_ descriptor_pool = py::module_::import("google.protobuf.descriptor_pool");
    py::module_ message = py::module_::import("google.protobuf.message");
    py::module_ reflection = py::module_::import("google.protobuf.reflection");
    py::module_ symbol_database = py::module_::import("google.protobuf.symbol_database");
    py::module_::import("google.protobuf.descriptor_pb2");
    py::object sym_db = symbol_database.attr("Default")();
    m.attr("_sym_db") = sym_db;

    // The C backends only accept whole serialized files; the pool parses and links them.
    py::object serialized = m.attr("_b")(latin1_text(kSerializedMeta, kSerializedMetaSize));
    py::object pool = descriptor_pool.attr("Default")();
    py::object file_descriptor = pool.attr("AddSerializedFile")(serialized);
    m.attr("DESCRIPTOR") = file_descriptor;
    sym_db.attr("RegisterFileDescriptor")(file_descriptor);

    // The pool has entered the messages into message_types_by_name; only the pure-Python
    // backend keeps the byte ranges on its descriptors.
    const bool python_descriptors = !descriptor.attr("_USE_C_DESCRIPTORS").cast<bool>();
    py::object by_name = file_descriptor.attr("message_types_by_name");
    for (const MessageEntry& entry : kMessages) {
        py::object message_descriptor = by_name[entry.name];
        if (python_descriptors) {
            message_descriptor.attr("_serialized_start") = entry.serialized_start;
            message_descriptor.attr("_serialized_end") = entry.serialized_end;
        }
        m.attr(entry.descriptor_attr) = message_descriptor;
    }

    py::object message_type = reflection.attr("GeneratedProtocolMessageType");
    py::tuple bases = py::make_tuple(message.attr("Message"));
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    for (const MessageEntry& entry : kMessages) {
        py::dict class_namespace;
        class_namespace["DESCRIPTOR"] = m.attr(entry.descriptor_attr);
        class_namespace["__module__"] = "gatemeta";
        class_namespace["__doc__"] = entry.doc;
        // inspect finds no signature on protobuf's message classes: the constructor takes each
        // field by keyword.
        py::list fields;
        for (py::handle field : m.attr(entry.descriptor_attr).attr("fields")) {
            fields.append(parameter(field.attr("name"), parameter.attr("KEYWORD_ONLY"),
                                    py::arg("default") = py::none()));
        }
        class_namespace["__signature__"] = inspect.attr("Signature")(fields);
        py::object cls = message_type(entry.name, bases, class_namespace);
        sym_db.attr("RegisterMessage")(cls);
        m.attr(entry.name) = cls;
    }
}
