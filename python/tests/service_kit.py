"""What the service's tests share: a server of a test's own, calls in both protocols, raw exchanges, the
command's answer for the same rows."""
import contextlib
import json
import os
import re
import signal
import socket
import struct
import subprocess
import urllib.error
import urllib.request

KARVA = os.environ.get("KARVA_BINARY", "karva")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
TIMEOUT = 30  # seconds any one request may take


@contextlib.contextmanager
def served(*arguments, log=subprocess.DEVNULL):
    """A server of the test's own on a free port, its address; stopped with SIGTERM, which must exit 0."""
    with served_grpc(*arguments, log=log, grpc=False) as (_, base, process):
        yield base, process


@contextlib.contextmanager
def served_grpc(*arguments, log=subprocess.DEVNULL, grpc=True):
    """The same with V2 over gRPC beside HTTP: its HOST:PORT, the HTTP address and the process."""
    also = ["--grpc-listen", "127.0.0.1:0"] if grpc else []
    process = subprocess.Popen([KARVA, "--serve", "--listen", "127.0.0.1:0", *also, *map(str, arguments)],
                               stdout=subprocess.PIPE, stderr=log, text=True)
    first = process.stdout.readline()
    second = process.stdout.readline() if grpc else ""
    try:
        assert first.startswith("Listening on http://"), first
        assert second.startswith("Listening for gRPC on ") or not grpc, second
        yield second.split()[-1] if grpc else None, first.split()[-1], process
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=TIMEOUT) == 0


def grpc_stubs(folder):
    """The V2 gRPC protocol's Python messages and stub, compiled from karva's own .proto into `folder`."""
    import importlib
    import sys
    proto = os.path.join(os.path.dirname(__file__), "..", "..", "src", "serve")
    subprocess.run([sys.executable, "-m", "grpc_tools.protoc", "-I", proto, "--python_out", str(folder),
                    "--grpc_python_out", str(folder), os.path.join(proto, "grpc_predict_v2.proto")], check=True)
    sys.path.insert(0, str(folder))
    try:
        return importlib.import_module("grpc_predict_v2_pb2"), importlib.import_module("grpc_predict_v2_pb2_grpc")
    finally:
        sys.path.remove(str(folder))


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


def one_input_key(slope):
    return struct.pack("<ii", 1, 1) + struct.pack("<ddi", 0.0, slope, 1) + b"a" + struct.pack("<d", 0.0)


def exchange(base, raw, close=False):
    """What the server sends back for raw bytes; `close` hangs up without reading."""
    host, port = base.split("//")[1].split(":")
    with socket.create_connection((host, int(port)), timeout=TIMEOUT) as client:
        client.sendall(raw)
        if close:
            client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # a reset
            return b""
        client.shutdown(socket.SHUT_WR)
        return b"".join(iter(lambda: client.recv(65536), b""))


def post(body, target=b"/invocations?model=example", headers=b"Content-Type: application/json\r\n"):
    return (b"POST " + target + b" HTTP/1.1\r\nHost: x\r\n" + headers +
            b"Content-Length: %d\r\n\r\n" % len(body) + body)


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))


def read_answer(connection):
    """One whole answer on a keep-alive socket: its head, then the body its Content-Length gives."""
    data = b""
    while b"\r\n\r\n" not in data:
        more = connection.recv(65536)
        assert more, "the server closed the connection"
        data += more
    head, _, body = data.partition(b"\r\n\r\n")
    length = int(re.search(rb"Content-Length: (\d+)", head, re.I).group(1))
    while len(body) < length:
        body += connection.recv(65536)
    return head + b"\r\n\r\n" + body
