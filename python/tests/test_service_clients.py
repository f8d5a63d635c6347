"""karva --serve as the V2 and MLflow clients send their requests: every numeric datatype, versions, outputs,
binary tensor data, and MLflow's bodies as pandas and json.dumps write them."""
import json
import urllib.error
import urllib.request

from service_kit import TIMEOUT, bits, call, command_predictions


def test_v2_datatypes_versions_and_outputs(server, tmp_path):
    """Every numeric datatype, converted as C++ converts it (FP32 and FP16 rounded, then widened);
    every model endpoint under /versions/1 too; an output the model does not have is refused."""
    import numpy
    values = [1.1, 2.2, -3.3]
    cases = {  # datatype: (data sent, the doubles the command must be fed)
        "FP64": (values, values),
        "FP32": (values, [float(numpy.float32(v)) for v in values]),
        "FP16": (values, [float(numpy.float16(v)) for v in values]),
        "INT8": ([-128, 127, 0], [-128, 127, 0]),
        "UINT64": ([2 ** 64 - 1, 2 ** 53 + 1, 0], [float(2 ** 64 - 1), float(2 ** 53 + 1), 0.0]),
        "INT64": ([-(2 ** 63), 2 ** 63 - 1, 5], [float(-(2 ** 63)), float(2 ** 63 - 1), 5.0]),
        "BOOL": ([True, False, True], [1.0, 0.0, 1.0]),
    }
    for datatype, (sent, fed) in cases.items():
        body = {"inputs": [{"name": "x", "shape": [1, 3], "datatype": datatype, "data": sent}]}
        status, answer = call(server, "/v2/models/example/versions/1/infer", body)
        assert status == 200 and answer["model_version"] == "1", (datatype, answer)
        assert bits(answer["outputs"][0]["data"]) == bits(command_predictions(tmp_path, [fed])), datatype
    refused = [
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "INT8", "data": [1, 2, 128]}]},
         400, "INT8"),
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "UINT8", "data": [1, 2, -1]}]},
         400, "UINT8"),
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "INT32", "data": [1, 2, 3.5]}]},
         400, "INT32"),
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "BYTES", "data": ["a"] * 3}]},
         400, "BYTES"),
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "FP64", "data": [1, 2, 3]}],
                                      "outputs": [{"name": "score"}]}, 400, '"score"'),
        ("/v2/models/example/versions/2/infer", {"inputs": []}, 404, 'version "2"'),
    ]
    for path, body, status, holds in refused:
        got, answer = call(server, path, body)
        assert got == status and holds in answer["error"], (path, answer)
    body = {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "FP64", "data": [1, 2, 3]}], "outputs": [{"name": "predict"}]}
    assert call(server, "/v2/models/example/infer", body)[1]["outputs"][0]["data"] == [5.75]
    for path in ["/v2/models/example/versions/1", "/v2/models/example/versions/1/ready"]:
        assert call(server, path)[0] == 200, path


def binary_request(server, tensors, parameters=None, outputs=None, declared=None):
    """A V2 request as Triton's client sends binary tensors: the JSON, its length in a header, then each
    input's bytes; the answer's status, its JSON and the binary data after it."""
    head = {"inputs": [{"name": n, "shape": s, "datatype": t, "parameters": {"binary_data_size": len(b)}}
                       for n, s, t, b in tensors]}
    if parameters:
        head["parameters"] = parameters
    if outputs:
        head["outputs"] = outputs
    json_part = json.dumps(head).encode()
    body = json_part + b"".join(b for *_, b in tensors)
    request = urllib.request.Request(server + "/v2/models/example/infer", data=body, headers={
        "Content-Type": "application/octet-stream",
        "Inference-Header-Content-Length": str(len(json_part) if declared is None else declared)})
    try:
        with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
            data = response.read()
            length = int(response.headers.get("Inference-Header-Content-Length", len(data)))
            return response.status, json.loads(data[:length]), data[length:]
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read()), b""


def test_v2_binary_tensor_data(server, tmp_path):
    import numpy
    rows = numpy.array([[1.5, 2.5, 3.5], [0.0, -0.0, 1e308], [numpy.nan, 2.0, 3.0]])
    expected = bits(command_predictions(tmp_path, [[v if v == v else "" for v in r] for r in rows.tolist()]))
    status, answer, _ = binary_request(server, [("x", [3, 3], "FP64", rows.astype("<f8").tobytes())])
    assert status == 200 and bits(answer["outputs"][0]["data"]) == expected
    columns = [("x1", [3], "FP64", rows[:, 0].astype("<f8").tobytes()), ("x2", [3, 1], "FP64", rows[:, 1].tobytes()),
               ("x3", [3], "FP64", rows[:, 2].tobytes())]
    for parameters, outputs in [({"binary_data_output": True}, None), (None, [{"name": "predict", "parameters": {"binary_data": True}}])]:
        status, answer, data = binary_request(server, columns, parameters, outputs)
        assert status == 200 and answer["outputs"][0]["parameters"]["binary_data_size"] == 24 and "data" not in answer["outputs"][0]
        got = numpy.frombuffer(data, "<f8").tolist()
        assert bits([None if v != v else v for v in got]) == expected  # a missing row is NaN in binary
    small = numpy.array([[1.1, 2.2, 3.3]])
    status, answer, _ = binary_request(server, [("x", [1, 3], "FP32", small.astype("<f4").tobytes())])
    widened = [[float(v) for v in small.astype("<f4")[0]]]
    assert status == 200 and bits(answer["outputs"][0]["data"]) == bits(command_predictions(tmp_path, widened))
    halves = numpy.array([[1.1, -2.2, 6.5e-8]], dtype="<f2")  # the last a subnormal half
    status, answer, _ = binary_request(server, [("x", [1, 3], "FP16", halves.tobytes())])
    widened = [[float(v) for v in halves[0]]]
    assert status == 200 and bits(answer["outputs"][0]["data"]) == bits(command_predictions(tmp_path, widened))
    ints = numpy.array([[-1, 2, 3]], dtype="<i2")
    status, answer, _ = binary_request(server, [("x", [1, 3], "INT16", ints.tobytes())])
    assert status == 200 and bits(answer["outputs"][0]["data"]) == bits(command_predictions(tmp_path, [[-1.0, 2.0, 3.0]]))
    for tensors, declared, holds in [
        ([("x", [1, 3], "FP64", rows[0].tobytes()[:16])], None, "not the 24"),
        ([("x", [1, 3], "BOOL", bytes([1, 0, 2]))], None, "BOOL"),
        ([("x", [1, 3], "FP64", rows[0].tobytes())], 10 ** 6, "Inference-Header-Content-Length"),
    ]:
        status, answer, _ = binary_request(server, tensors, declared=declared)
        assert status == 400 and holds in answer["error"], answer
    assert call(server, "/v2")[1]["extensions"] == ["binary_tensor_data"]


def test_mlflow_bodies_as_pandas_and_json_write_them(server, tmp_path):
    """pandas' to_dict through json.dumps, as MLflow's client sends a frame: bare NaN, None, an id column of
    text, other columns of any type; every form gives the command's doubles."""
    import pandas
    frame = pandas.DataFrame({"id": ["a-1", "b-2", "c-3"], "x3": [3.0, float("nan"), 1e-310],
                              "flag": [True, False, True], "x1": [1.0, 2.0, 1e308], "x2": [2.0, None, -0.0],
                              "when": ["2026-01-01", None, "x"], "nested": [[1, {"a": 2}], {}, None]})
    fed = [[r["x1"], r["x2"] if r["x2"] == r["x2"] else "", r["x3"] if r["x3"] == r["x3"] else ""]
           for r in frame.to_dict(orient="records")]
    expected = bits(command_predictions(tmp_path, fed))
    bodies = {
        "dataframe_split": {"dataframe_split": frame.to_dict(orient="split")},
        "dataframe_records": {"dataframe_records": frame.to_dict(orient="records")},
        "instances": {"instances": frame.to_dict(orient="records")},
        "inputs, columns": {"inputs": frame.to_dict(orient="list"), "params": {"k": 1}},
    }
    for name, body in bodies.items():
        text = json.dumps(body)  # NaN as Python writes it
        assert "NaN" in text
        status, answer = call(server, "/invocations?model=example", text.encode())
        assert status == 200 and bits(answer["predictions"]) == expected, (name, answer)
