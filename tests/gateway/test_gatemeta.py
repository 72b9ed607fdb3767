import os
import subprocess
import sys

import pytest
from google.protobuf import descriptor_pb2, message_factory, reflection, symbol_database
from google.protobuf.descriptor import FieldDescriptor as FD

from varden.mod.tradeapi.sdk.protogen import gatemeta
from varden.mod.tradeapi.sdk.protogen.gatemeta import PushMeta, RequestMeta, ResponseMeta

S, I32, B, Y = FD.TYPE_STRING, FD.TYPE_INT32, FD.TYPE_BOOL, FD.TYPE_BYTES
SCHEMA = {
    "RequestMeta": [
        ("service_name", S), ("method_name", S), ("tracing_key", S), ("method_type", I32),
        ("context_id", S), ("channel_key", S), ("service_type", I32),
    ],
    "ResponseMeta": [
        ("error_code", I32), ("error_text", Y), ("is_last", B), ("method_type", I32),
        ("context_id", S), ("tracing_key", S), ("service_name", S), ("method_name", S),
    ],
    "PushMeta": [("method_type", I32), ("method_name", S), ("service_name", S)],
}
DEFAULTS = {S: "", I32: 0, B: False, Y: b""}
RANGES = {"RequestMeta": (24, 185), "ResponseMeta": (188, 364), "PushMeta": (366, 440)}


@pytest.mark.parametrize("name", list(SCHEMA))
def test_message_schema(name):
    cls = getattr(gatemeta, name)
    descriptor = getattr(gatemeta, "_" + name.upper())
    assert cls.DESCRIPTOR is descriptor
    assert descriptor.full_name == f"gateway.{name}"
    assert gatemeta.DESCRIPTOR.message_types_by_name[name] is descriptor
    fields = [(f.name, f.number, f.type, f.index, f.full_name) for f in descriptor.fields]
    assert fields == [
        (field, number, kind, number - 1, f"gateway.{name}.{field}")
        for number, (field, kind) in enumerate(SCHEMA[name], 1)
    ]
    defaults = [(f.default_value, f.has_default_value) for f in descriptor.fields]
    assert defaults == [(DEFAULTS[kind], False) for _, kind in SCHEMA[name]]
    assert cls.__module__ == "gatemeta"
    # The metaclass that reflection.GeneratedProtocolMessageType yields on this backend, as for
    # protoc's own generated classes.
    assert type(cls) is type(descriptor_pb2.DescriptorProto)
    assert issubclass(reflection.GeneratedProtocolMessageType, type(cls))
    assert message_factory.GetMessageClass(descriptor) is cls
    assert symbol_database.Default().GetSymbol(f"gateway.{name}") is cls


def test_file_descriptor_and_embedded_bytes():
    file_descriptor = gatemeta.DESCRIPTOR
    assert (file_descriptor.name, file_descriptor.package) == ("meta.proto", "gateway")
    serialized = file_descriptor.serialized_pb
    assert len(serialized) == 448
    proto = descriptor_pb2.FileDescriptorProto.FromString(serialized)
    assert proto.syntax == "proto3" and not proto.dependency and not proto.enum_type
    for name, (start, end) in RANGES.items():
        message = descriptor_pb2.DescriptorProto.FromString(serialized[start:end])
        assert message.name == name
        assert message == next(m for m in proto.message_type if m.name == name)
    assert gatemeta._sym_db is symbol_database.Default()
    assert gatemeta._b("\x0a\xa1\xff") == b"\x0a\xa1\xff"
    assert symbol_database.Default().pool.FindFileByName("meta.proto") is file_descriptor


@pytest.mark.parametrize(
    "message, encoded",
    [
        (RequestMeta(), b""),
        (ResponseMeta(is_last=True), b"\x18\x01"),
        (PushMeta(method_type=2, method_name="m"), b"\x08\x02\x12\x01m"),
        (RequestMeta(service_name="s", method_type=300), b"\x0a\x01s\x20\xac\x02"),
        # A negative int32 takes ten varint bytes.
        (
            ResponseMeta(error_code=-1, error_text=b"\xff"),
            b"\x08" + b"\xff" * 9 + b"\x01" + b"\x12\x01\xff",
        ),
    ],
)
def test_wire_encoding_and_round_trip(message, encoded):
    assert message.SerializeToString() == encoded
    assert type(message).FromString(encoded) == message


def test_wrong_class_misreads_fields():
    request = RequestMeta(service_name="orders", method_name="place", tracing_key="t1")
    misread = ResponseMeta.FromString(request.SerializeToString())
    assert misread.error_text == b"place"  # field 2
    assert misread.service_name == "" and misread.tracing_key == ""
    assert ResponseMeta.FromString(RequestMeta(method_type=4).SerializeToString()).method_type == 4


def test_pure_python_backend_builds_the_same_module():
    code = (
        "from varden.mod.tradeapi.sdk.protogen import gatemeta as g\n"
        "from google.protobuf.internal import api_implementation\n"
        "print(api_implementation.Type(), [(d._serialized_start, d._serialized_end) for d in\n"
        "      (g._REQUESTMETA, g._RESPONSEMETA, g._PUSHMETA)],\n"
        "      g.ResponseMeta(is_last=True).SerializeToString())\n"
    )
    env = dict(
        os.environ,
        PYTHONPATH=os.pathsep.join(sys.path),
        PROTOCOL_BUFFERS_PYTHON_IMPLEMENTATION="python",
    )
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "python [(24, 185), (188, 364), (366, 440)] b'\\x18\\x01'\n"
