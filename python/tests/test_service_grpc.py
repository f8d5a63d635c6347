"""V2 over gRPC (--grpc-listen) with Python's grpcio and stubs compiled from karva's .proto: every method,
both input forms, the token, the limits, reload and drain, and the command's doubles."""
import os
import signal
import struct
import urllib.request

import numpy as np
import pytest

from service_kit import EXAMPLE, TIMEOUT, bits, command_predictions, grpc_stubs, one_input_key, served_grpc

grpc = pytest.importorskip("grpc")
KEY = os.path.join(EXAMPLE, "example.key")


@pytest.fixture(scope="module")
def v2(tmp_path_factory):
    return grpc_stubs(tmp_path_factory.mktemp("stubs"))


@pytest.fixture(scope="module")
def stub(v2):
    with served_grpc("--quiet", "--inputs", "x1,x2,x3", KEY) as (address, _, _):
        with grpc.insecure_channel(address) as channel:
            yield v2[1].GRPCInferenceServiceStub(channel)


def infer_request(pb, datatype, shape, values=None, raw=None, name="input", **fields):
    request = pb.ModelInferRequest(model_name=fields.pop("model", "example"), **fields)
    tensor = request.inputs.add(name=name, datatype=datatype, shape=shape)
    if raw is not None:
        request.raw_input_contents.append(raw)
    elif values is not None:
        getattr(tensor.contents, values[0]).extend(values[1])
    return request


def predictions(answer):
    if answer.raw_output_contents:
        return list(struct.unpack("<%dd" % answer.outputs[0].shape[0], answer.raw_output_contents[0]))
    return list(answer.outputs[0].contents.fp64_contents)


def test_every_method(v2, stub):
    pb = v2[0]
    assert stub.ServerLive(pb.ServerLiveRequest()).live and stub.ServerReady(pb.ServerReadyRequest()).ready
    server = stub.ServerMetadata(pb.ServerMetadataRequest())
    assert server.name == "karva" and "binary_tensor_data" in server.extensions
    assert stub.ModelReady(pb.ModelReadyRequest(name="example", version="1")).ready
    model = stub.ModelMetadata(pb.ModelMetadataRequest(name="example"))
    assert [t.name for t in model.inputs] == ["x1", "x2", "x3"] and model.outputs[0].name == "predict"
    assert list(model.versions) == ["1"] and model.inputs[0].datatype == "FP64"


def test_both_input_forms_and_every_datatype_give_the_commands_doubles(v2, stub, tmp_path):
    pb = v2[0]
    rows = [[0.0, -0.0, 5e-324], [1e308, -1e308, 1.5], [float("nan"), 2.0, 3.0], [1.0, 2.0, 3.0], [-2.0, 0.0, 1.0]]
    expected = bits(command_predictions(tmp_path, rows))
    flat = [v for row in rows for v in row]
    answer = stub.ModelInfer(infer_request(pb, "FP64", [5, 3], ("fp64_contents", flat), id="r1"))
    assert (answer.id, answer.model_version, answer.outputs[0].datatype) == ("r1", "1", "FP64")
    # A missing row is NaN: protobuf's doubles have no null.
    assert bits(None if v != v else v for v in predictions(answer)) == expected
    raw = stub.ModelInfer(infer_request(pb, "FP64", [5, 3], raw=struct.pack("<15d", *flat)))
    assert raw.raw_output_contents and bits(None if v != v else v for v in predictions(raw)) == expected
    # Every datatype, in its field of contents and raw, one tensor per input: values all types hold.
    small = [[1, 0, 1], [0, 1, 1], [1, 1, 0]]
    expected = predictions(stub.ModelInfer(infer_request(pb, "FP64", [3, 3], ("fp64_contents", sum(small, [])))))
    for datatype, form in [("INT8", "int_contents"), ("INT64", "int64_contents"), ("UINT16", "uint_contents"),
                           ("UINT64", "uint64_contents"), ("FP32", "fp32_contents"), ("BOOL", "bool_contents"),
                           ("INT8", "<3b"), ("UINT32", "<3I"), ("FP16", "<3e"), ("FP32", "<3f"), ("BOOL", "<3?")]:
        request = pb.ModelInferRequest(model_name="example")
        for name, column in zip(["x1", "x2", "x3"], zip(*small)):
            tensor = request.inputs.add(name=name, datatype=datatype, shape=[3, 1])
            if form.startswith("<"):
                request.raw_input_contents.append(struct.pack(form, *column))
            else:
                getattr(tensor.contents, form).extend(column)
        assert predictions(stub.ModelInfer(request)) == expected, (datatype, form)


def test_refusals(v2, stub):
    pb = v2[0]
    cases = [
        (pb.ModelInferRequest(model_name="nope"), grpc.StatusCode.NOT_FOUND, 'no model is named "nope"'),
        (infer_request(pb, "FP64", [1, 3], ("fp64_contents", [1, 2, 3]), model_version="2"), grpc.StatusCode.NOT_FOUND,
         'has no version "2"'),
        (infer_request(pb, "FP64", [1, 3], ("fp64_contents", [1, 2, 3]), outputs=[{"name": "other"}]),
         grpc.StatusCode.INVALID_ARGUMENT, 'no output named "other"'),
        (infer_request(pb, "INT8", [1, 3], ("int_contents", [1, 300, 3])), grpc.StatusCode.INVALID_ARGUMENT,
         "is INT8, and holds a value that is not one"),
        (infer_request(pb, "FP16", [1, 3], ("fp64_contents", [1, 2, 3])), grpc.StatusCode.INVALID_ARGUMENT,
         "only in raw_input_contents"),
        (infer_request(pb, "FP64", [1, 3], raw=b"\0" * 23), grpc.StatusCode.INVALID_ARGUMENT, "holds 23 bytes, not the 24"),
        (infer_request(pb, "BYTES", [1, 3]), grpc.StatusCode.INVALID_ARGUMENT, "karva takes numbers"),
        (infer_request(pb, "FP64", [2, 3], ("fp64_contents", [1, 2, 3])), grpc.StatusCode.INVALID_ARGUMENT,
         "does not fill its shape [2, 3]"),
        (infer_request(pb, "FP64", [-1, 3]), grpc.StatusCode.INVALID_ARGUMENT, "not a list of whole numbers"),
        (infer_request(pb, "FP64", [1 << 40, 3]), grpc.StatusCode.INVALID_ARGUMENT, "does not fill its shape"),
    ]
    both = infer_request(pb, "FP64", [1, 3], ("fp64_contents", [1, 2, 3]), raw=b"\0" * 24)
    both.inputs[0].contents.fp64_contents.append(1)
    cases.append((both, grpc.StatusCode.INVALID_ARGUMENT, "beside raw_input_contents"))
    for request, code, words in cases:
        with pytest.raises(grpc.RpcError) as refused:
            stub.ModelInfer(request, timeout=TIMEOUT)
        assert (refused.value.code(), words in refused.value.details()) == (code, True), refused.value.details()


def test_the_token_and_the_limits(v2, tmp_path):
    pb, stubs = v2
    (tmp_path / "token").write_text("s3cret\n")
    ok = infer_request(pb, "FP64", [1, 3], ("fp64_contents", [1, 2, 3]))
    large = infer_request(pb, "FP64", [200, 3], raw=bytes(4800))
    with served_grpc("--quiet", "--token-file", tmp_path / "token", "--body-limit", "2000", "--row-limit", "100",
                     KEY) as (address, _, _), grpc.insecure_channel(address) as channel:
        stub = stubs.GRPCInferenceServiceStub(channel)
        assert stub.ServerLive(pb.ServerLiveRequest()).live
        for metadata, code in [((), grpc.StatusCode.UNAUTHENTICATED), ((("authorization", "Bearer s3cre"),),
                                                                           grpc.StatusCode.UNAUTHENTICATED)]:
            with pytest.raises(grpc.RpcError) as refused:
                stub.ModelInfer(ok, metadata=metadata, timeout=TIMEOUT)
            assert refused.value.code() == code
        token = (("authorization", "Bearer s3cret"),)
        assert predictions(stub.ModelInfer(ok, metadata=token, timeout=TIMEOUT)) == [5.75]
        for request in [large, infer_request(pb, "UINT8", [101, 3], raw=bytes(303))]:
            with pytest.raises(grpc.RpcError) as refused:
                stub.ModelInfer(request, metadata=token, timeout=TIMEOUT)
            assert refused.value.code() == grpc.StatusCode.RESOURCE_EXHAUSTED, refused.value.details()


def test_reload_and_drain(v2, tmp_path):
    """SIGHUP gives the next call the new key; SIGTERM answers the call in flight, then exits 0."""
    pb, stubs = v2
    key = tmp_path / "one.key"
    key.write_bytes(one_input_key(2.0))
    unbounded = [("grpc.max_receive_message_length", -1)]
    with served_grpc("--quiet", key) as (address, base, process), grpc.insecure_channel(address, unbounded) as channel:
        stub = stubs.GRPCInferenceServiceStub(channel)
        one = infer_request(pb, "FP64", [1, 1], ("fp64_contents", [1.5]), model="one")
        assert predictions(stub.ModelInfer(one)) == [3.0]
        key.write_bytes(one_input_key(3.0))
        process.send_signal(signal.SIGHUP)
        for _ in range(10_000):  # until the reload is done
            if predictions(stub.ModelInfer(one, timeout=TIMEOUT)) == [4.5]:
                break
        else:
            raise AssertionError("the key was not read again")
        rows = 2_000_000
        large = infer_request(pb, "FP64", [rows, 1], raw=np.arange(rows, dtype="<f8").tobytes(), model="one")
        for _ in range(100):  # until a call is seen in flight beside the metrics' own request
            call = stub.ModelInfer.future(large, timeout=TIMEOUT)
            while not call.done():
                with urllib.request.urlopen(base + "/metrics", timeout=TIMEOUT) as response:
                    if b"karva_requests_in_flight 2\n" in response.read():
                        break
            if not call.done():
                break
        process.send_signal(signal.SIGTERM)
        assert len(predictions(call.result())) == rows
        assert process.wait(timeout=TIMEOUT) == 0
