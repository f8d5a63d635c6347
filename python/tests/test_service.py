"""karva --serve against real clients on loopback: both protocols, the command's doubles, its refusals."""
import json
import os
import random
import signal
import struct
import subprocess
import urllib.error
import urllib.request

import pytest

KARVA = os.environ.get("KARVA_BINARY", "karva")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
TIMEOUT = 30  # seconds any one request may take


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    """The example key as "example" (its inputs x1, x2, x3) and a copy as "other", on a free port."""
    folder = tmp_path_factory.mktemp("served")
    other = folder / "other.key"
    other.write_bytes(open(os.path.join(EXAMPLE, "example.key"), "rb").read())
    log = open(folder / "access.log", "w")  # a file: a pipe nobody reads would fill and stop the server
    process = subprocess.Popen([KARVA, "--serve", "--listen", "127.0.0.1:0", "--inputs", "x1,x2,x3", "-j", "2",
                                os.path.join(EXAMPLE, "example.key"), str(other)],
                               stdout=subprocess.PIPE, stderr=log, text=True)
    first = process.stdout.readline()  # the address, or nothing when it failed
    assert first.startswith("Listening on http://127.0.0.1:"), (folder / "access.log").read_text()
    yield first.split()[-1]
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=TIMEOUT) == 0
    log.close()
    assert "POST /invocations?model=example 200" in (folder / "access.log").read_text()


def call(base, path, body=None, content_type="application/json", method=None):
    data = body if body is None or isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(base + path, data=data, method=method)
    if data is not None:
        request.add_header("Content-Type", content_type)
    try:
        with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def command_predictions(tmp_path, rows):
    """The command's --round-trip output for the same rows: the reference."""
    data = tmp_path / "d.csv"
    data.write_text("x1,x2,x3\n" + "".join(",".join(repr(v) for v in row) + "\n" for row in rows))
    out = tmp_path / "o.csv"
    subprocess.run([KARVA, "--csv", "-n", "--round-trip", os.path.join(EXAMPLE, "example.key"), str(data), str(out)],
                   check=True, capture_output=True)
    return [float(line) if line not in ("", '""') else None for line in out.read_text().splitlines()[1:]]


def bits(values):
    return [None if v is None else struct.pack("<d", float(v)).hex() for v in values]


def test_health_and_metadata(server):
    for path, body in [("/v2/health/live", {"live": True}), ("/v2/health/ready", {"ready": True}),
                       ("/v2/models/example/ready", {"name": "example", "ready": True})]:
        assert call(server, path) == (200, body)
    status, metadata = call(server, "/v2/models/example")
    assert status == 200 and [i["name"] for i in metadata["inputs"]] == ["x1", "x2", "x3"]
    assert call(server, "/ping")[0] == 200 and call(server, "/v2")[1]["name"] == "karva"


def test_every_form_gives_the_commands_doubles(server, tmp_path):
    rng = random.Random(32)
    rows = [[rng.choice([rng.uniform(-9, 9), 0.0, -0.0, 1e308, 5e-324]) for _ in range(3)] for _ in range(500)]
    expected = bits(command_predictions(tmp_path, rows))
    columns = list(zip(*rows))
    forms = {
        "V2, one tensor": ("/v2/models/example/infer",
                           {"inputs": [{"name": "x", "shape": [len(rows), 3], "datatype": "FP64", "data": rows}]}),
        "V2, by name": ("/v2/models/example/infer",
                        {"inputs": [{"name": n, "shape": [len(rows)], "datatype": "FP64", "data": list(c)}
                                    for n, c in zip(["x3", "x1", "x2"], [columns[2], columns[0], columns[1]])]}),
        "dataframe_split": ("/invocations?model=example",
                            {"dataframe_split": {"columns": ["x2", "x1", "x3"],
                                                 "data": [[r[1], r[0], r[2]] for r in rows]}}),
        "dataframe_records": ("/invocations?model=example",
                              {"dataframe_records": [dict(zip(["x1", "x2", "x3"], r)) for r in rows]}),
        "instances": ("/invocations?model=other", {"instances": rows}),
    }
    for name, (path, body) in forms.items():
        status, answer = call(server, path, body)
        assert status == 200, (name, answer)
        got = answer["outputs"][0]["data"] if "outputs" in answer else answer["predictions"]
        assert bits(got) == expected, name
    csv = "x1,x2,x3\n" + "".join(",".join(repr(v) for v in r) + "\n" for r in rows)
    status, answer = call(server, "/invocations?model=example", csv.encode(), "text/csv")
    assert status == 200 and bits(answer["predictions"]) == expected


def test_missing_values_and_what_json_has_no_number_for(server):
    body = {"instances": [[1, None, 3], [1, "NaN", 3], ["Infinity", 2, 3], [1, 2, 3]]}
    status, answer = call(server, "/invocations?model=example", body)
    assert status == 200 and answer["predictions"][:2] == [None, None] and answer["predictions"][3] == 5.75
    status, answer = call(server, "/invocations?model=example", b"x1,x2,x3\n1,,3\n1,2,3\n", "text/csv")
    assert status == 200 and answer["predictions"] == [None, 5.75]


def test_refusals(server):
    cases = [
        ("/invocations?model=example", b"{not json", "application/json", None, 400),
        ("/invocations", {"instances": [[1, 2, 3]]}, "application/json", None, 400),  # two models: which?
        ("/invocations?model=nope", {"instances": [[1, 2, 3]]}, "application/json", None, 404),
        ("/v2/models/nope/infer", {"inputs": []}, "application/json", None, 404),
        ("/v2/models/example/infer", None, "application/json", "GET", 405),
        ("/invocations?model=example", b"1,2,3", "text/plain", None, 415),
        ("/invocations?model=example", {"instances": [[1, 2]]}, "application/json", None, 400),
        ("/invocations?model=example", b'x1,x2,x3\n1,"2,3\n', "text/csv", None, 400),
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "INT8", "data": [1, 2, 3]}]},
         "application/json", None, 400),
        ("/nowhere", None, "application/json", None, 404),
    ]
    for path, body, content_type, method, status in cases:
        got, answer = call(server, path, body, content_type, method)
        assert got == status and set(answer) == {"error"} and "\n" not in answer["error"], (path, answer)


def test_limits(tmp_path):
    """Past each limit its status, and nothing else grows: 413, 503 with Retry-After, 408."""
    import socket
    process = subprocess.Popen([KARVA, "--serve", "--quiet", "--listen", "127.0.0.1:0", "--body-limit", "300",
                                "--connection-limit", "2", "--read-timeout", "2", os.path.join(EXAMPLE, "example.key")],
                               stdout=subprocess.PIPE, text=True)
    base = process.stdout.readline().split()[-1]
    host, port = base.split("//")[1].split(":")
    try:
        assert call(base, "/invocations", {"instances": [[1.5, 2.5, 3.5]] * 20})[0] == 413
        idle = [socket.create_connection((host, int(port)), timeout=TIMEOUT) for _ in range(2)]
        # The server counts a connection once it accepts it: a request on each
        # makes sure both are counted before the third comes.
        for s in idle:
            s.sendall(b"GET /ping HTTP/1.1\r\nHost: x\r\n\r\n")
            assert s.recv(4096).startswith(b"HTTP/1.1 200")
        status, answer = call(base, "/ping")
        assert status == 503 and "error" in answer
        # A request that never arrives whole is answered 408 once its time is up.
        idle[0].sendall(b"POST /invocations HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n{")
        assert idle[0].recv(4096).startswith(b"HTTP/1.1 408")
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=TIMEOUT) == 0


def test_metrics(server):
    call(server, "/v2/models/example/infer",
         {"inputs": [{"name": "x", "shape": [2, 3], "datatype": "FP64", "data": [1, 2, 3, 4, 5, 6]}]})
    with urllib.request.urlopen(server + "/metrics", timeout=TIMEOUT) as response:
        text = response.read().decode()
    assert response.headers["Content-Type"].startswith("text/plain")
    assert 'karva_requests_total{model="example",endpoint="infer",status="200"}' in text
    assert 'karva_rows_scored_total{model="example"}' in text and 'karva_request_duration_seconds_bucket{le="+Inf"}' in text


def test_a_token_guards_all_but_the_health_checks(tmp_path):
    token = tmp_path / "token"
    token.write_text("s3cret\n")
    log = open(tmp_path / "log", "w")
    process = subprocess.Popen([KARVA, "--serve", "--listen", "127.0.0.1:0", "--token-file", str(token),
                                os.path.join(EXAMPLE, "example.key")], stdout=subprocess.PIPE, stderr=log, text=True)
    base = process.stdout.readline().split()[-1]
    try:
        body = json.dumps({"instances": [[1, 2, 3]]}).encode()
        assert call(base, "/v2/health/ready")[0] == 200
        assert call(base, "/invocations", body)[0] == 401 and call(base, "/metrics")[0] == 401
        for given, status in [("Bearer s3cret", 200), ("Bearer s3cre", 401), ("Bearer s3cretx", 401)]:
            request = urllib.request.Request(base + "/invocations", data=body, headers={
                "Content-Type": "application/json", "Authorization": given})
            try:
                with urllib.request.urlopen(request, timeout=TIMEOUT) as response:
                    assert (response.status, json.loads(response.read())) == (status, {"predictions": [5.75]})
            except urllib.error.HTTPError as error:
                assert error.code == status
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=TIMEOUT) == 0
    log.close()
    assert "s3cret" not in (tmp_path / "log").read_text()


def one_input_key(slope):
    return struct.pack("<ii", 1, 1) + struct.pack("<ddi", 0.0, slope, 1) + b"a" + struct.pack("<d", 0.0)


def test_sighup_reloads_the_keys(tmp_path):
    """A key that reads replaces its model; a broken one keeps the old, and the model stays ready."""
    path = tmp_path / "m.key"
    path.write_bytes(one_input_key(1.0))
    process = subprocess.Popen([KARVA, "--serve", "--quiet", "--listen", "127.0.0.1:0", str(path)],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    base = process.stdout.readline().split()[-1]

    def predict():
        return call(base, "/invocations", {"instances": [[2.0]]})[1]["predictions"]

    def reload(counter):
        process.send_signal(signal.SIGHUP)
        # Each look is a request answered: the wait is on the server, bounded.
        for _ in range(10_000):
            with urllib.request.urlopen(base + "/metrics", timeout=TIMEOUT) as response:
                if f"{counter} 1\n" in response.read().decode():
                    return
        raise AssertionError(f"{counter} never counted the reload")

    try:
        assert predict() == [2.0]
        path.write_bytes(one_input_key(2.0))
        reload("karva_reloads_total")
        assert predict() == [4.0]
        path.write_bytes(b"not a key")
        reload("karva_reload_failures_total")
        assert predict() == [4.0] and call(base, "/v2/models/m/ready")[0] == 200
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=TIMEOUT) == 0
