"""karva --serve against real clients on loopback: both protocols, the command's doubles, its refusals."""
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import threading
import urllib.error
import urllib.request

import pytest

from service_kit import (EXAMPLE, TIMEOUT, bits, call, command_predictions, exchange, one_input_key, peak_memory_kib,
                         post, read_answer, served)


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
        "inputs, by column": ("/invocations?model=example", {"inputs": dict(zip(["x3", "x2", "x1", "unread"],
                                                                            [columns[2], columns[1], columns[0], rows]))}),
    }
    for name, (path, body) in forms.items():
        status, answer = call(server, path, body)
        assert status == 200, (name, answer)
        got = answer["outputs"][0]["data"] if "outputs" in answer else answer["predictions"]
        assert bits(got) == expected, name
    csv = "x1,x2,x3\n" + "".join(",".join(repr(v) for v in r) + "\n" for r in rows)
    status, answer = call(server, "/invocations?model=example", csv.encode(), "text/csv")
    assert status == 200 and bits(answer["predictions"]) == expected
    status, answer = call(server, "/v2/models/example/infer", {"id": "r\"7", **forms["V2, one tensor"][1]})
    assert status == 200 and answer["id"] == 'r"7' and answer["outputs"][0]["name"] == "predict"


def test_curl_in_both_protocols(server):
    """What the README shows, as curl sends it."""
    def curl(path, data, *headers):
        headers = headers or ("-H", "Content-Type: application/json")
        done = subprocess.run(["curl", "-s", "--max-time", str(TIMEOUT), "-X", "POST", *headers, "--data-binary", data,
                               server + path], capture_output=True, text=True, timeout=TIMEOUT)
        return json.loads(done.stdout)

    v2 = '{"inputs": [{"name": "x", "shape": [2, 3], "datatype": "FP64", "data": [[1, 2, 3], [4, null, 6]]}]}'
    assert curl("/v2/models/example/infer", v2)["outputs"][0]["data"] == [5.75, None]
    csv = "x3,x1,x2\n3,1,2\n"
    assert curl("/invocations", csv, "-H", "Content-Type: text/csv", "-H", "X-Karva-Model: example") == {"predictions": [5.75]}


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
        ("/v2/models/example/infer", {"inputs": [{"name": "x", "shape": [1, 3], "datatype": "BYTES", "data": ["a", "b", "c"]}]},
         "application/json", None, 400),
        ("/nowhere", None, "application/json", None, 404),
    ]
    for path, body, content_type, method, status in cases:
        got, answer = call(server, path, body, content_type, method)
        assert got == status and set(answer) == {"error"} and "\n" not in answer["error"], (path, answer)


def test_limits(tmp_path):
    """Past each limit its status, and nothing else grows: 413, 503 with Retry-After, 408."""
    with served("--quiet", "--body-limit", "300", "--row-limit", "3", "--connection-limit", "2", "--read-timeout", "2",
                os.path.join(EXAMPLE, "example.key")) as (base, _):
        host, port = base.split("//")[1].split(":")
        for body, content_type in [({"instances": [[1.5, 2.5, 3.5]] * 20}, "application/json"),  # the body
                                   ({"instances": [[1, 2, 3]] * 4}, "application/json"),  # the rows
                                   (b"1,2,3\n" * 4, "text/csv")]:
            assert call(base, "/invocations", body, content_type)[0] == 413, body
        # The connections of the calls above may still be counted a moment
        # after they close: each look waits until the server holds exactly
        # those the test has open.
        idle = []
        for open_now in (1, 2):
            idle.append(socket.create_connection((host, int(port)), timeout=TIMEOUT))
            for _ in range(10_000):
                idle[0].sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                if b"karva_connections_open %d\n" % open_now in read_answer(idle[0]):
                    break
        status, answer = call(base, "/ping")
        assert status == 503 and "error" in answer
        # A request that never arrives whole is answered 408 once its time is up.
        idle[0].sendall(b"POST /invocations HTTP/1.1\r\nHost: x\r\nContent-Length: 50\r\n\r\n{")
        assert idle[0].recv(4096).startswith(b"HTTP/1.1 408")


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
    with served("--token-file", token, os.path.join(EXAMPLE, "example.key"), log=log) as (base, _):
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
    log.close()
    assert "s3cret" not in (tmp_path / "log").read_text()


def test_inputs_named_per_model(tmp_path):
    """--inputs MODEL=a,b,c names one model's inputs; a plain --inputs names the others'."""
    for name, slope in [("m", 2.0), ("n", 3.0)]:
        (tmp_path / (name + ".key")).write_bytes(one_input_key(slope))
    with served("--quiet", "--inputs", "m=z", "--inputs", "x1,x2,x3", "--inputs", "n=w",
                os.path.join(EXAMPLE, "example.key"), tmp_path / "m.key", tmp_path / "n.key") as (base, _):
        names = {model: [i["name"] for i in call(base, "/v2/models/" + model)[1]["inputs"]] for model in ("example", "m", "n")}
        assert names == {"example": ["x1", "x2", "x3"], "m": ["z"], "n": ["w"]}
        tensor = {"inputs": [{"name": "z", "shape": [1], "datatype": "FP64", "data": [1.5]}]}
        assert call(base, "/v2/models/m/infer", tensor)[1]["outputs"][0]["data"] == [3.0]


def test_sighup_under_load_switches_keys_without_a_failed_request(tmp_path):
    """A key that reads replaces its model; a broken one keeps the old, and the model stays ready; the
    requests running meanwhile all succeed, each with the old key's answer or the new one's."""
    path = tmp_path / "m.key"
    path.write_bytes(one_input_key(1.0))
    with served("--quiet", path) as (base, process):
        host, port = base.split("//")[1].split(":")
        answers, failures, done = [], [], threading.Event()

        def load():
            connection = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
            while not done.is_set():
                try:
                    connection.request("POST", "/invocations", json.dumps({"instances": [[2.0]]}),
                                       {"Content-Type": "application/json"})
                    response = connection.getresponse()
                    answers.append((response.status, tuple(json.loads(response.read())["predictions"])))
                except (OSError, http.client.HTTPException, ValueError) as error:
                    failures.append(error)
                    return

        def reload(counter):
            process.send_signal(signal.SIGHUP)
            # Each look is a request answered: the wait is on the server, bounded.
            for _ in range(10_000):
                with urllib.request.urlopen(base + "/metrics", timeout=TIMEOUT) as response:
                    if f"{counter} 1\n" in response.read().decode():
                        return
            raise AssertionError(f"{counter} never counted the reload")

        threads = [threading.Thread(target=load) for _ in range(4)]
        for t in threads:
            t.start()
        try:
            path.write_bytes(one_input_key(2.0))
            reload("karva_reloads_total")
            assert call(base, "/invocations", {"instances": [[2.0]]})[1]["predictions"] == [4.0]
            path.write_bytes(b"not a key")
            reload("karva_reload_failures_total")
            assert call(base, "/invocations", {"instances": [[2.0]]})[1]["predictions"] == [4.0]
            assert call(base, "/v2/models/m/ready")[0] == 200
        finally:
            done.set()
            for t in threads:
                t.join(TIMEOUT)
        assert not failures and answers and set(answers) <= {(200, (2.0,)), (200, (4.0,))}


def test_sigterm_answers_the_request_in_flight(tmp_path):
    """A stop closes the door to new connections, answers the request half arrived, then exits 0."""
    with served("--quiet", os.path.join(EXAMPLE, "example.key")) as (base, process):
        host, port = base.split("//")[1].split(":")
        body = b'{"instances": [[1, 2, 3]]}'
        client = socket.create_connection((host, int(port)), timeout=TIMEOUT)
        client.sendall(b"POST /invocations HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
                       b"Content-Length: %d\r\n\r\n" % len(body) + body[:10])
        looks = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)  # one connection: the count is exact
        for _ in range(10_000):  # until the server has accepted the client: it and this one are open
            looks.request("GET", "/metrics")
            if "karva_connections_open 2\n" in looks.getresponse().read().decode():
                break
        process.send_signal(signal.SIGTERM)
        for _ in range(10_000):  # until the server has taken the signal: a new connection is refused
            try:
                socket.create_connection((host, int(port)), timeout=TIMEOUT).close()
            except (ConnectionRefusedError, ConnectionResetError):
                break
        else:
            raise AssertionError("the server still accepts connections after SIGTERM")
        client.sendall(body[10:])
        answer = b"".join(iter(lambda: client.recv(4096), b""))
        assert answer.startswith(b"HTTP/1.1 200") and answer.endswith(b'{"predictions": [5.75]}')
        assert b"Connection: close" in answer
        assert process.wait(timeout=TIMEOUT) == 0


def test_the_wire(server):
    """Chunked bodies, pipelining, oversized headers, NUL bytes and deep nesting: each its answer;
    clients that hang up mid-request or mid-response leave the server answering the next."""
    one = b'{"instances": [[1, 2, 3]]}'
    chunked = (b"POST /invocations?model=example HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
               b"Transfer-Encoding: chunked\r\n\r\n5\r\n" + one[:5] + b"\r\n%x\r\n" % (len(one) - 5) + one[5:] +
               b"\r\n0\r\n\r\n")
    cases = [
        ("chunked", chunked, [b"200"]),
        ("pipelined", post(one) + post(b'{"instances": [[2, 2, 3]]}'), [b"200", b"200"]),
        ("headers too large", b"GET /ping HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", [b"431"]),
        ("NUL bytes", post(b'{"instances": [[1, 2,\x00 3]]}'), [b"400"]),
        ("deep nesting", post(b'{"instances": ' + b"[" * 5000 + b"]" * 5000 + b"}"), [b"400"]),
        ("cut body", post(one)[:-5], [b"400"]),
        ("not HTTP", b"\x00\x01\x02 hello\r\n\r\n", [b"400"]),
    ]
    for name, raw, statuses in cases:
        answer = exchange(server, raw)
        assert re.findall(rb"HTTP/1\.1 (\d{3}) ", answer) == statuses, name
    assert b'"predictions": [5.75]' in exchange(server, chunked)
    assert exchange(server, post(one) + post(b'{"instances": [[2, 2, 3]]}')).count(b'"predictions"') == 2
    big = json.dumps({"instances": [[1.5, 2.5, 3.5]] * 200_000}).encode()
    exchange(server, post(big)[: len(big) // 2], close=True)  # mid-request
    exchange(server, post(big), close=True)  # before or while the answer is written
    assert call(server, "/invocations?model=example", one)[1] == {"predictions": [5.75]}


def test_a_full_queue_answers_503(tmp_path):
    """With room for one request being scored, a second meanwhile is told to come back later."""
    rows = b"x1,x2,x3\n" + b"1.5,2.5,3.5\n" * 2_000_000
    with served("--quiet", "--queue-limit", "1", "--inputs", "x1,x2,x3", os.path.join(EXAMPLE, "example.key")) as (base, _):
        for _ in range(10):  # until a small request comes while the large one is scored
            large = {}
            worker = threading.Thread(target=lambda: large.update(answer=call(base, "/invocations", rows, "text/csv")))
            worker.start()
            statuses, retry = set(), None
            while worker.is_alive() and 503 not in statuses:
                request = urllib.request.Request(base + "/invocations", data=b'{"instances": [[1, 2, 3]]}',
                                                 headers={"Content-Type": "application/json"})
                try:
                    statuses.add(urllib.request.urlopen(request, timeout=TIMEOUT).status)
                except urllib.error.HTTPError as error:
                    statuses.add(error.code)
                    retry = error.headers["Retry-After"]
            worker.join(TIMEOUT)
            assert statuses <= {200, 503}
            if large["answer"][0] == 503:  # a small one came first and held the one place: again
                continue
            assert large["answer"][0] == 200 and len(large["answer"][1]["predictions"]) == 2_000_000
            if 503 in statuses:
                assert retry == "1"
                break
        else:
            raise AssertionError("no request came while the large one was scored")


@pytest.mark.skipif(shutil.which("wrk") is None, reason="wrk is not installed")
def test_load_from_wrk_fails_no_request_and_stays_small(tmp_path):
    """Two seconds of wrk on 16 keep-alive connections: no socket error, no status but 200, and a
    peak memory far inside the limits."""
    script = tmp_path / "post.lua"
    script.write_text('wrk.method = "POST"\nwrk.body = \'{"instances": [[1, 2, 3]]}\'\n'
                      'wrk.headers["Content-Type"] = "application/json"\n')
    with served("--quiet", os.path.join(EXAMPLE, "example.key")) as (base, process):
        out = subprocess.run(["wrk", "-t", "2", "-c", "16", "-d", "2s", "--timeout", "5s", "-s", str(script),
                              base + "/invocations"], capture_output=True, text=True, timeout=60).stdout
        assert "requests in" in out and "Socket errors" not in out and "Non-2xx" not in out, out
        assert int(out.split(" requests in")[0].split()[-1]) > 0
        assert peak_memory_kib(process.pid) < 256 * 1024
