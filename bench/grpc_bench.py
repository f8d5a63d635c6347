"""V2 over gRPC under load on loopback, beside V2 over HTTP in the same run: one-row ModelInfer calls on 16
concurrent streams (h2load, from Debian's nghttp2-client: one connection of 16 streams, and four of four),
and one-row V2 JSON requests on 16 keep-alive connections (wrk). Requests per second, p50 and p99 (from
h2load's log of every request, and wrk's --latency); medians of the runs, each load first in turn.

Usage: python3 bench/grpc_bench.py KARVA KEY ROWS_CSV [runs] [seconds]

Every call must succeed: the server's own count of gRPC calls answered with anything but 200 must stay 0.
"""
import json
import os
import re
import signal
import statistics
import struct
import subprocess
import sys
import tempfile

karva, key, csv = sys.argv[1:4]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
seconds = int(sys.argv[5]) if len(sys.argv) > 5 else 3
work = tempfile.mkdtemp()
model = os.path.basename(key).rsplit(".", 1)[0]

with open(csv) as f:
    inputs = f.readline().strip().split(",")[1:]  # the first column is the target
    row = [float(v) for v in f.readline().strip().split(",")[1:]]

# The call's message, from the same .proto the service is built from.
proto = os.path.join(os.path.dirname(__file__), "..", "src", "serve")
subprocess.run([sys.executable, "-m", "grpc_tools.protoc", "-I", proto, "--python_out", work,
                os.path.join(proto, "grpc_predict_v2.proto")], check=True)
sys.path.insert(0, work)
import grpc_predict_v2_pb2 as pb  # noqa: E402

request = pb.ModelInferRequest(model_name=model)
request.inputs.add(name="x", datatype="FP64", shape=[1, len(row)]).contents.fp64_contents.extend(row)
message = request.SerializeToString()
with open(os.path.join(work, "call"), "wb") as f:
    f.write(b"\0" + struct.pack(">I", len(message)) + message)  # gRPC's frame: not compressed, its length
with open(os.path.join(work, "v2.json"), "w") as f:
    json.dump({"inputs": [{"name": "x", "shape": [1, len(row)], "datatype": "FP64", "data": row}]}, f)
with open(os.path.join(work, "post.lua"), "w") as f:
    f.write('wrk.method = "POST"\nlocal f = io.open("%s/v2.json")\nwrk.body = f:read("*a")\nf:close()\n'
            'wrk.headers["Content-Type"] = "application/json"\n' % work)


def h2load(address, connections, streams):
    log = os.path.join(work, "h2load.log")
    if os.path.exists(log):
        os.remove(log)  # h2load appends
    out = subprocess.run(["h2load", "-D", str(seconds), "-c", str(connections), "-m", str(streams), "-t", "1",
                          "--log-file", log, "-d", os.path.join(work, "call"), "-H", "content-type: application/grpc",
                          "-H", "te: trailers", f"http://{address}/inference.GRPCInferenceService/ModelInfer"],
                         capture_output=True, text=True, check=True).stdout
    if not re.search(r" 0 failed, 0 errored, 0 timeout", out):
        raise SystemExit("calls failed:\n" + out)
    with open(log) as f:
        took = sorted(int(line.split("\t")[2]) / 1000 for line in f)
    rate = float(re.search(r"finished in [\d.]+s, ([\d.]+) req/s", out).group(1))
    return rate, took[len(took) // 2], took[int(len(took) * 0.99)]


def wrk(base):
    out = subprocess.run(["wrk", "-t", "1", "-c", "16", "-d", f"{seconds}s", "--latency", "-s",
                          os.path.join(work, "post.lua"), f"{base}/v2/models/{model}/infer"],
                         capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise SystemExit("requests failed:\n" + out)
    ms = {"us": 1e-3, "ms": 1.0, "s": 1e3}
    lat = [float(m[0]) * ms[m[1]] for m in (re.search(q + r"\s+([\d.]+)(us|ms|s)\b", out).groups() for q in ("50%", "99%"))]
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)), lat[0], lat[1]


server = subprocess.Popen([karva, "--serve", "--quiet", "-j", "2", "--listen", "127.0.0.1:0", "--grpc-listen",
                           "127.0.0.1:0", "--inputs", ",".join(inputs), key], stdout=subprocess.PIPE, text=True)
base = server.stdout.readline().split()[-1]
address = server.stdout.readline().split()[-1]
loads = {"gRPC, 1 connection x 16 streams": lambda: h2load(address, 1, 16),
         "gRPC, 4 connections x 4 streams": lambda: h2load(address, 4, 4),
         "HTTP V2 JSON, 16 connections": lambda: wrk(base)}
results = {name: [] for name in loads}
try:
    for run in range(runs):
        names = list(loads)
        for name in names[run % len(names):] + names[:run % len(names)]:  # each first in turn
            results[name].append(loads[name]())
    with subprocess.Popen(["curl", "-s", base + "/metrics"], stdout=subprocess.PIPE, text=True) as curl:
        metrics = curl.stdout.read()
finally:
    server.send_signal(signal.SIGTERM)
    server.wait(60)
failed = [line for line in metrics.splitlines() if 'endpoint="infer"' in line and 'status="200"' not in line
          and line.startswith("karva_requests_total")]
if failed:
    raise SystemExit("calls answered with an error:\n" + "\n".join(failed))
for name, got in results.items():
    rate, p50, p99 = (statistics.median(r[k] for r in got) for k in range(3))
    print(f"one-row {name}: {rate:,.0f} req/s, p50 {p50:.3f} ms, p99 {p99:.3f} ms")
