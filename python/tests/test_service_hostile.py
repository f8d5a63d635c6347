"""karva --serve against hostile and careless clients: every request gets its status, the service keeps
serving, its memory and labels stay bounded, and the log never stops it."""
import json
import math
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import urllib.error
import urllib.request

import pytest

from service_kit import EXAMPLE, KARVA, TIMEOUT, call, exchange, one_input_key, peak_memory_kib, post, read_answer, served

KEY = os.path.join(EXAMPLE, "example.key")
V2 = "/v2/models/example/infer"
MLFLOW = "/invocations?model=example"


@pytest.fixture(scope="module")
def server():
    with served("--quiet", "--inputs", "x1,x2,x3", "--row-limit", "4", KEY) as (base, _):
        yield base


def tensor(name, shape, data, datatype="FP64"):
    return {"name": name, "shape": shape, "datatype": datatype, "data": data}


def by_name(shapes_and_data):
    return {"inputs": [tensor(n, s, d) for n, (s, d) in zip(["x1", "x2", "x3"], shapes_and_data)]}


def raw_call(base, path, body, content_type="application/json"):
    return call(base, path, body.encode() if isinstance(body, str) else body, content_type)


def test_bodies_get_their_answers(server):
    """JSON as RFC 8259 writes it plus Python's bare tokens; objects in any order; shapes filled exactly."""
    deep = "[" * 100_000 + "]" * 100_000
    rows = {"instances": [[1, 2, 3]]}
    cases = [
        # (path, body, status, what the answer holds)
        (MLFLOW, '{"instances": ' + deep + "}", 400, "deeper than 32"),
        (V2, '{"inputs": [{"name": "x", "shape": [1, 3], "datatype": "FP64", "data": ' + deep + "}]}", 400, "deeper"),
        (MLFLOW, '{"instances": [[01, 2, 3]]}', 400, "not valid JSON"),
        (MLFLOW, '{"instances": [[1., 2, 3]]}', 400, "not valid JSON"),
        (MLFLOW, '{"instances": [[0x10, 2, 3]]}', 400, "not valid JSON"),
        (MLFLOW, '{"instances": [[1, 2, 3]]} []', 400, "not valid JSON"),
        (MLFLOW, '{"other": 01, "instances": [[1, 2, 3]]}', 400, "not valid JSON"),
        (MLFLOW, "\ufeff" + json.dumps(rows), 200, [5.75]),
        (MLFLOW, '{"instances": [[1, 2, 3], [NaN, 2, 3], [-Infinity, 2, 3], [1, "-Infinity", 3]]}', 200,
         [5.75, None, "-Infinity", "-Infinity"]),
        (MLFLOW, '{"dataframe_split": {"data": [[3, 2, 1]], "columns": ["x3", "x2", "x1"]}}', 200, [5.75]),
        (MLFLOW, '{"instances": [[1, 2, 3]], "inputs": [[1, 2, 3]]}', 400, "both inputs and instances"),
        (MLFLOW, json.dumps({"instances": [[1, 2, 3]] * 5}), 413, "at most 4 rows"),
        (V2, json.dumps(by_name([([7, 9], [1, 2]), ([2], [1, 2]), ([2], [1, 2])])), 400, "[7, 9]"),
        (V2, json.dumps(by_name([([], [1, 2]), ([2], [1, 2]), ([2], [1, 2])])), 400, "does not fill"),
        (V2, json.dumps(by_name([([1], [1, 2]), ([1], [1, 2]), ([1], [1, 2])])), 400, "does not fill"),
        (V2, json.dumps({"inputs": [tensor("x", [2, 3], [1, 2, 3, 4, 5])]}), 400, "does not fill its shape [2, 3]"),
        (V2, json.dumps({"inputs": [tensor("x", [1, 3], [1, 2, 3, 4])]}), 400, "does not fill"),
        (V2, json.dumps({"inputs": [tensor("x", [2 ** 53, 3], [1])]}), 400, "does not fill"),
        (V2, json.dumps({"inputs": [tensor("x", [5, 3], [[1, 2, 3]] * 5)]}), 413, "at most 4 rows"),
        (V2, json.dumps({"inputs": [tensor(n, [1], [1]) for n in ["x1", "x2", "x3", "x4"]]}), 400, "reads 3 inputs"),
        (V2, json.dumps({"inputs": [tensor("x", [1, 3], [1, 2, 3])]}).replace('"FP64"', '"FP64", "x": 1'), 200, [5.75]),
    ]
    for path, body, status, holds in cases:
        got, answer = raw_call(server, path, body)
        shown = (path, body[:80])
        assert got == status, (shown, answer)
        if status == 200:
            assert (answer["outputs"][0]["data"] if "outputs" in answer else answer["predictions"]) == holds, shown
        else:
            assert set(answer) == {"error"} and holds in answer["error"] and not answer["error"].endswith("; "), shown
    assert call(server, MLFLOW, rows)[1] == {"predictions": [5.75]}  # and it still serves


def test_a_v2_id_is_echoed_whatever_its_place_and_escaped(server):
    for body in ['{"id": "a\\\\b\\"c", "inputs": [%s]}', '{"inputs": [%s], "id": "a\\\\b\\"c"}']:
        status, answer = raw_call(server, V2, body % json.dumps(tensor("x", [1, 3], [1, 2, 3])))
        assert status == 200 and answer["id"] == 'a\\b"c' and answer["outputs"][0]["data"] == [5.75]


def nan_key(path):
    """One input; the gene a * inf - inf: NaN for every finite input, a NaN the key makes."""
    path.write_bytes(struct.pack("<ii", 1, 1) + struct.pack("<ddi", -math.inf, math.inf, 1) + b"a" + struct.pack("<d", 0))
    return path


def test_a_nan_the_key_makes_is_the_string_nan(tmp_path):
    with served("--quiet", "--inputs", "x", nan_key(tmp_path / "n.key")) as (base, _):
        answer = call(base, "/invocations", {"instances": [[1.0], [None]]})[1]
        assert answer == {"predictions": ["NaN", None]}
        answer = call(base, "/v2/models/n/infer", {"inputs": [tensor("x", [1], [1.0])]})[1]
        assert answer["outputs"][0]["data"] == ["NaN"]


def metrics_of(base):
    with urllib.request.urlopen(base + "/metrics", timeout=TIMEOUT) as response:
        return response.read().decode("utf-8")  # strict: invalid UTF-8 fails here


def test_metrics_labels_come_only_from_the_service(tmp_path):
    token = tmp_path / "token"
    token.write_text("s3cret\n")
    with served("--quiet", "--token-file", token, KEY) as (base, _):
        for k in range(200):
            call(base, f"/v2/models/m{k}/infer", {})  # 401: no token
        authorized = {"Authorization": "Bearer s3cret"}
        for path in ["/v2/models/nope%d/ready" % k for k in range(50)] + ["/v2/models/example/x\xff", "/x\xff"]:
            raw = exchange(base, b"GET " + path.encode("latin-1") + b" HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer s3cret\r\n\r\n")
            body = raw.partition(b"\r\n\r\n")[2]
            assert b" 404 " in raw.split(b"\r\n")[0] and json.loads(body.decode("utf-8"))["error"]
        request = urllib.request.Request(base + "/metrics", headers=authorized)
        text = urllib.request.urlopen(request, timeout=TIMEOUT).read().decode("utf-8")
    labels = set(re.findall(r'model="([^"]*)",endpoint="([^"]*)"', text))
    assert {model for model, _ in labels} <= {"", "example"}
    assert {endpoint for _, endpoint in labels} <= {"health", "metrics", "v2", "invocations", "metadata", "ready",
                                                    "infer", "other"}
    assert 'model="",endpoint="infer",status="401"} 200' in text


def test_the_latency_histogram_is_cumulative(server):
    call(server, MLFLOW, {"instances": [[1, 2, 3]]})
    text = metrics_of(server)
    buckets = [int(n) for n in re.findall(r'karva_request_duration_seconds_bucket\{le="[^"]+"\} (\d+)', text)]
    count = int(re.search(r"karva_request_duration_seconds_count (\d+)", text).group(1))
    assert buckets == sorted(buckets) and buckets[-1] == count > 0


def test_refusals_before_a_request_is_read_are_logged_and_counted(tmp_path):
    log = open(tmp_path / "log", "w")
    with served("--body-limit", "100", "--header-limit", "200", "--read-timeout", "1", KEY, log=log) as (base, _):
        cases = [(b"NOT HTTP\r\n\r\n", 400), (b"GET /ping HTTP/1.1\r\nX: " + b"a" * 300 + b"\r\n\r\n", 431),
                 (post(b"{" * 200)[:-200], 413), (post(b'{"instances": [[1, 2, 3]]}')[:-3], 408)]
        host, port = base.split("//")[1].split(":")
        for raw, status in cases:
            with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
                client.sendall(raw)  # and waits, the connection open, for what the server says
                assert read_answer(client).startswith(b"HTTP/1.1 %d" % status), raw[:40]
        text = metrics_of(base)
    log.close()
    logged = open(tmp_path / "log").read()
    for _, status in cases:
        assert re.search(r'status="%d"\} 1' % status, text) and re.search(r" %d \d+ \d+\.\d+$" % status, logged, re.M)


def test_expect_100_continue(server):
    """The body is asked for once the head is taken; a head that refuses is answered at once."""
    host, port = server.split("//")[1].split(":")
    body = json.dumps({"instances": [[1, 2, 3]] * 3}).encode()
    head = (b"POST %s HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nExpect: 100-continue\r\n"
            b"Content-Length: %d\r\n\r\n")
    with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
        client.sendall(head % (MLFLOW.encode(), len(body)))
        assert client.recv(64) == b"HTTP/1.1 100 Continue\r\n\r\n"
        client.sendall(body)
        assert read_answer(client).startswith(b"HTTP/1.1 200")
    for target, length, status in [(b"/nowhere", 10, b"404"), (MLFLOW.encode(), 1 << 40, b"413")]:
        with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
            client.sendall(head % (target, length))
            assert read_answer(client).startswith(b"HTTP/1.1 " + status)


def test_http_as_clients_expect_it(server):
    cases = [
        (b"GET " + MLFLOW.encode() + b" HTTP/1.1\r\nHost: x\r\n\r\n", b"405", b"Allow: POST"),
        (b"POST /v2/health/live HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", b"405", b"Allow: GET, HEAD"),
        (b"HEAD /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", b"200", b"Content-Length: 14\r\n"),
        (b"GET http://127.0.0.1/v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n", b"200", b'{"live": true}'),
        (post(b'{"instances": [[1, 2, 3]]}', headers=b"Content-Type: Application/JSON; charset=utf-8\r\n"), b"200", b"5.75"),
        (post(b"x1,x2,x3\n1,2,3\n", headers=b"Content-Type: text/csvfoo\r\n"), b"415", b"error"),
        (post(b'{"inputs": []}', V2.encode(), b"Content-Type: text/plain\r\n"), b"415", b"error"),
    ]
    for raw, status, holds in cases:
        answer = exchange(server, raw)
        assert answer.startswith(b"HTTP/1.1 " + status) and holds in answer, raw[:50]
    head = exchange(server, b"HEAD /v2/health/live HTTP/1.1\r\nHost: x\r\n\r\n")
    assert head.endswith(b"\r\n\r\n")  # no body


def test_a_compressed_csv_body_is_held_to_the_body_limit(tmp_path):
    bomb = subprocess.run(["bzip2", "-9"], input=b"x1,x2,x3\n1,2,3\n" + b"\n" * (200 << 20), capture_output=True,
                          check=True).stdout
    with served("--quiet", "--inputs", "x1,x2,x3", "--body-limit", str(1 << 20), KEY) as (base, _):
        status, answer = raw_call(base, "/invocations", bomb, "text/csv")
        assert len(bomb) < 1 << 20 and status == 413 and "limit" in answer["error"]


def test_memory_stays_within_the_budget(tmp_path):
    """Large V2 requests four at a time against a budget of 128 MiB: each is answered 200 or 503 with
    Retry-After, one that could never fit 413, and the peak stays within the budget and 64 MiB."""
    rows = [[1.5, 2.5, 3.5]] * 200_000
    body = json.dumps({"inputs": [tensor("x", [len(rows), 3], rows)]}).encode()
    with served("--quiet", "--inputs", "x1,x2,x3", "--memory-limit", "128", KEY) as (base, process):
        answers = []

        def send():
            answer = exchange(base, post(body, V2.encode()))
            answers.append((answer.split(b" ")[1], b"Retry-After: 1" in answer))

        for _ in range(3):
            threads = [threading.Thread(target=send) for _ in range(4)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(TIMEOUT)
        host, port = base.split("//")[1].split(":")
        with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
            client.sendall(post(b"", V2.encode()).replace(b"Content-Length: 0", b"Content-Length: %d" % (60 << 20)))
            assert read_answer(client).startswith(b"HTTP/1.1 413")
        assert (b"200", False) in answers and set(answers) <= {(b"200", False), (b"503", True)}
        assert peak_memory_kib(process.pid) < (128 + 64) * 1024


def test_the_log_never_stops_the_service():
    """Standard error a pipe nobody reads: requests are answered after the pipe is full, the lines past
    it are dropped and counted, and SIGTERM ends the service."""
    reader, writer = os.pipe()
    try:
        process = subprocess.Popen([KARVA, "--serve", "--listen", "127.0.0.1:0", KEY], stdout=subprocess.PIPE,
                                   stderr=writer, text=True)
        base = process.stdout.readline().split()[-1]
        host, port = base.split("//")[1].split(":")
        with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
            for _ in range(3000):  # about 200 KB of log: three times what the pipe holds
                client.sendall(b"GET /ping HTTP/1.1\r\nHost: x\r\n\r\n")
                assert read_answer(client).startswith(b"HTTP/1.1 200")
            dropped = 0
            for _ in range(10_000):  # until the backlog is full and lines are dropped
                client.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
                dropped = int(re.search(rb"karva_log_lines_dropped_total (\d+)", read_answer(client)).group(1))
                if dropped:
                    break
            assert dropped > 0
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=TIMEOUT) == 0
    finally:
        os.close(reader)
        os.close(writer)


def test_token_files(tmp_path):
    """The first line without its line end; what a header cannot carry is refused at start, saying why."""
    cases = [(b"s3cret\r\n", "s3cret"), (b"s3cret", "s3cret"), (b"s3cret \n", "0x20"), (b"s3\x00cret\n", "0x00"),
             (b"a" * 5000 + b"\n", "longer than 4096"), (b"", "no token"), (b"\n", "no token"), (None, "a folder")]
    for content, expected in cases:
        path = tmp_path / "token"
        if path.is_dir():
            path.rmdir()
        elif path.exists():
            path.unlink()
        if content is None:
            path.mkdir()
        else:
            path.write_bytes(content)
        done = subprocess.run([KARVA, "--serve", "--listen", "127.0.0.1:0", "--token-file", path, KEY],
                              capture_output=True, text=True, timeout=TIMEOUT) if expected != "s3cret" else None
        if done:
            assert done.returncode == 1 and expected in done.stderr, (content, done.stderr)
            continue
        with served("--quiet", "--token-file", path, KEY) as (base, _):
            for given, status in [("Bearer s3cret", 200), ("Bearer s3creT", 401), ("Bearer s3cre", 401)]:
                request = urllib.request.Request(base + "/metrics", headers={"Authorization": given})
                try:
                    assert urllib.request.urlopen(request, timeout=TIMEOUT).status == status
                except urllib.error.HTTPError as error:
                    assert error.code == status, (content, given)


def test_options_out_of_range_or_naming_no_model():
    for arguments in [["--read-timeout", "4294968"], ["--memory-limit", "0"], ["--queue-limit", "0"],
                      ["--connection-limit", "9999999"], ["--inputs", "hous=x1,x2,x3"]]:
        done = subprocess.run([KARVA, "--serve", *arguments, KEY], capture_output=True, text=True, timeout=TIMEOUT)
        assert done.returncode == 2 and arguments[0] in done.stderr, (arguments, done.stderr)


@pytest.mark.parametrize("listen, url", [("localhost:0", r"http://127\.0\.0\.1:\d+"), ("[::1]:0", r"http://\[::1\]:\d+")])
def test_listen_addresses(listen, url):
    process = subprocess.Popen([KARVA, "--serve", "--quiet", "--listen", listen, KEY], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    first = process.stdout.readline()
    try:
        if first:
            assert re.fullmatch("Listening on " + url + "\n", first), first
            assert call(first.split()[-1], "/ping")[0] == 200
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=TIMEOUT)
    if not first:
        assert "Cannot listen" in process.stderr.read()
        pytest.skip("no IPv6 loopback here")


def test_reload_keeps_names_and_never_waits_for_a_fifo(tmp_path):
    path = tmp_path / "m.key"
    path.write_bytes(one_input_key(1.0))
    with served("--quiet", "--inputs", "z", path) as (base, process):
        def reload(counter, value):
            process.send_signal(signal.SIGHUP)
            for _ in range(10_000):  # each look is a request answered: the wait is on the server
                if f"{counter} {value}\n" in metrics_of(base):
                    return
            raise AssertionError(f"{counter} never reached {value}")

        path.write_bytes(one_input_key(2.0))
        reload("karva_reloads_total", 1)
        answer = call(base, "/v2/models/m/infer", {"inputs": [tensor("z", [1], [1.5])]})
        assert answer == (200, {"model_name": "m", "model_version": "1", "outputs": [
            {"name": "predict", "datatype": "FP64", "shape": [1], "data": [3.0]}]})
        path.unlink()
        os.mkfifo(path)  # nobody will write it
        reload("karva_reload_failures_total", 1)
        assert call(base, "/invocations", {"instances": [[1.5]]})[1] == {"predictions": [3.0]}
