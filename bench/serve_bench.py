"""The scoring service under load, on loopback, with wrk: one-row requests on 16
keep-alive connections (requests per second, p50 and p99), 10 000-row CSV and
JSON requests (rows per second, against the command's -j 2 on the same rows
as a file), the same loads against what a Python user would write instead
(FastAPI and uvicorn with 2 workers, the key compiled once into a numpy
function over columns), a one-row request's p99 while 1M-row requests are
scored, and the server's memory at rest and at its peak. Medians of the runs.

Usage: python3 bench/serve_bench.py KARVA KEY ROWS_1M_CSV [runs] [seconds]

With KARVA_BEFORE=OTHER_KARVA in the environment it compares the two
binaries instead, in one run: each load on each server in turn, run after
run, each first in turn (so that both meet the same machine), one-row MLflow and V2 requests
and 10k-row CSV; medians, and after / before.
"""
import contextlib
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

karva, key, big_csv = sys.argv[1:4]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
seconds = int(sys.argv[5]) if len(sys.argv) > 5 else 3
ROWS = 10_000
work = tempfile.mkdtemp()

with open(big_csv) as f:
    header = f.readline().strip().split(",")
    lines = [next(f).strip() for _ in range(ROWS)]
inputs = header[1:]  # the first column is the target
values = [line.split(",")[1:] for line in lines]
bodies = {
    "one row": ("application/json", '{"instances": [[' + ",".join(values[0]) + "]]}"),
    "10k CSV": ("text/csv", ",".join(header) + "\n" + "\n".join(lines) + "\n"),
    "10k JSON": ("application/json", '{"instances": [' + ",".join("[" + ",".join(v) + "]" for v in values) + "]}"),
}

NUMPY_HELPERS = '''
import numpy as np
def karva_div(x, y):
    with np.errstate(all="ignore"):
        return np.where(y == 0.0, np.where(x > 0.0, 4294967295.0, np.where(x < 0.0, 1.0, 0.0)), x / y)
def karva_pow(x, y):
    with np.errstate(all="ignore"):
        return np.power(np.abs(x), y)
karva_abs = np.abs
def karva_cos(x):
    with np.errstate(all="ignore"):
        return np.cos(x)
def karva_sin(x):
    with np.errstate(all="ignore"):
        return np.sin(x)
def karva_cbrt(x):
    return np.cbrt(x)
def karva_exp(x):
    with np.errstate(all="ignore"):
        return np.exp(x)
def karva_log(x):
    with np.errstate(all="ignore"):
        return np.log(np.abs(x))
def karva_sqrt(x):
    return np.sqrt(np.abs(x))
def karva_round(x):
    return np.where(np.isfinite(x), np.copysign(np.floor(np.abs(x) + 0.5), x), x)
'''

APP = '''
import io, json, os
import numpy as np, pandas as pd
from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse
exec(open(os.environ["KARVA_NUMPY"]).read())
INPUTS = os.environ["KARVA_INPUTS"].split(",")
app = FastAPI()

def answer(columns):
    p = predict_columns([np.asarray(c, dtype=np.float64) for c in columns])
    return JSONResponse({"predictions": [None if v != v else float(v) for v in p.tolist()]})

@app.post("/invocations")
async def invocations(request: Request):
    body = await request.body()
    if request.headers.get("content-type", "").startswith("text/csv"):
        frame = pd.read_csv(io.BytesIO(body))
        return answer([frame[name].to_numpy(np.float64) for name in INPUTS])
    rows = np.asarray(json.loads(body)["instances"], dtype=np.float64)
    return answer(list(rows.T))
'''


def numpy_function():
    """The key as numpy over columns: the emitted Python's row function, its helpers made numpy's."""
    emitted = subprocess.run([karva, "--emit", "python", key], capture_output=True, text=True, check=True).stdout
    body = emitted[emitted.index("    s = [0.0]"):]
    path = os.path.join(work, "numpy_key.py")
    with open(path, "w") as f:
        f.write(NUMPY_HELPERS + "\n\ndef predict_columns(c):\n    c = list(c)\n" + body)
    return path


def wrk(url, content_type, body, connections, duration, latency=False, threads=None):
    script = os.path.join(work, "post.lua")
    with open(os.path.join(work, "body"), "w") as f:
        f.write(body)
    with open(script, "w") as f:
        f.write('wrk.method = "POST"\nlocal f = io.open("%s/body")\nwrk.body = f:read("*a")\nf:close()\n'
                'wrk.headers["Content-Type"] = "%s"\n' % (work, content_type))
    out = subprocess.run(["wrk", "-t", str(threads or min(2, connections)), "-c", str(connections), "-d", f"{duration}s", "--timeout", "30s",
                          "--latency", "-s", script, url], capture_output=True, text=True, check=True).stdout
    if "Non-2xx" in out or "Socket errors" in out:
        raise SystemExit("requests failed:\n" + out)
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    lat = {}
    for q in ("50%", "99%"):
        m = re.search(q + r"\s+([\d.]+)(us|ms|s)\b", out)
        lat[q] = float(m.group(1)) * {"us": 1e-3, "ms": 1.0, "s": 1e3}[m.group(2)] if m else float("nan")
    return rate, lat


def wait_ready(url):
    for _ in range(600):
        try:
            urllib.request.urlopen(url, timeout=1).read()
            return
        except OSError:
            time.sleep(0.05)  # a benchmark waiting for a server it started; no test does this
    raise SystemExit("no answer from " + url)


@contextlib.contextmanager
def karva_server(binary=karva):
    p = subprocess.Popen([binary, "--serve", "--quiet", "-j", "2", "--listen", "127.0.0.1:0", "--inputs",
                          ",".join(inputs), "--body-limit", str(512 << 20), key], stdout=subprocess.PIPE, text=True)
    base = p.stdout.readline().split()[-1]
    try:
        yield base, p
    finally:
        p.send_signal(signal.SIGTERM)
        p.wait(60)


@contextlib.contextmanager
def fastapi_server():
    env = dict(os.environ, KARVA_NUMPY=numpy_function(), KARVA_INPUTS=",".join(inputs))
    with open(os.path.join(work, "app.py"), "w") as f:
        f.write(APP)
    port = "18931"
    p = subprocess.Popen(["/usr/bin/python3", "-m", "uvicorn", "--app-dir", work, "--workers", "2", "--port", port,
                          "--log-level", "warning", "app:app"], env=env)
    base = "http://127.0.0.1:" + port
    try:
        wait_ready(base + "/docs")
        yield base
    finally:
        p.send_signal(signal.SIGTERM)
        p.wait(60)


def memory(pid, field):
    with open(f"/proc/{pid}/status") as f:
        return next(int(line.split()[1]) / 1024 for line in f if line.startswith(field + ":"))


def loads(base):
    """Each load's median over the runs: one-row requests/s and latencies, 10k-row rows/s."""
    out = {}
    for name, (kind, body) in bodies.items():
        connections = 16 if name == "one row" else 4
        results = [wrk(base + "/invocations", kind, body, connections, seconds) for _ in range(runs)]
        rate = statistics.median(r[0] for r in results)
        out[name] = (rate if name == "one row" else rate * ROWS,
                     statistics.median(r[1]["50%"] for r in results), statistics.median(r[1]["99%"] for r in results))
    return out


def command_rate():
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        subprocess.run([karva, "-j", "2", "-n", "--csv", "--inputs", ",".join(inputs), key, big_csv, os.devnull],
                       check=True, capture_output=True)
        times.append(time.perf_counter() - began)
    with open(big_csv) as f:
        rows = sum(1 for _ in f) - 1
    return rows / statistics.median(times)


def p99_beside_large(base):
    stop = threading.Event()
    with open(big_csv, "rb") as f:
        large = f.read()

    def score_large():
        while not stop.is_set():
            request = urllib.request.Request(base + "/invocations", data=large, headers={"Content-Type": "text/csv"})
            urllib.request.urlopen(request, timeout=120).read()

    worker = threading.Thread(target=score_large)
    worker.start()
    try:
        return wrk(base + "/invocations", *bodies["one row"], 1, max(seconds, 5))[1]["99%"]
    finally:
        stop.set()
        worker.join()


def compare(before):
    v2 = '{"inputs": [{"name": "x", "shape": [1, %d], "datatype": "FP64", "data": [%s]}]}' % (
        len(inputs), ",".join(values[0]))
    cases = {"one row, MLflow, 16 connections": ("/invocations", *bodies["one row"], 16, 1, 2),
             "one row, V2, 16 connections, 1 wrk thread": (
                 "/v2/models/" + os.path.basename(key).rsplit(".", 1)[0] + "/infer", "application/json", v2, 16, 1, 1),
             "10k CSV, 4 connections": ("/invocations", *bodies["10k CSV"], 4, ROWS, 2)}
    with karva_server(before) as (old, _), karva_server() as (new, _):
        for name, (path, kind, body, connections, per, threads) in cases.items():
            rates = {old: [], new: []}
            for run in range(runs):
                for base in ((old, new) if run % 2 == 0 else (new, old)):  # each first in turn
                    rates[base].append(wrk(base + path, kind, body, connections, seconds, threads=threads)[0] * per)
            a, b = statistics.median(rates[old]), statistics.median(rates[new])
            unit = "req/s" if per == 1 else "rows/s"
            print(f"{name}: before {a:,.0f} {unit}, after {b:,.0f} {unit}, after / before {b / a:.3f}")


if os.environ.get("KARVA_BEFORE"):
    compare(os.environ["KARVA_BEFORE"])
    raise SystemExit(0)

with karva_server() as (base, process):
    rest = memory(process.pid, "VmRSS")
    ours = loads(base)
    during_large = p99_beside_large(base)
    peak = memory(process.pid, "VmHWM")
command = command_rate()
with fastapi_server() as fast_base:
    theirs = loads(fast_base)

print(f"one-row requests, 16 connections: {ours['one row'][0]:,.0f} req/s, p50 {ours['one row'][1]:.3f} ms, "
      f"p99 {ours['one row'][2]:.3f} ms; FastAPI {theirs['one row'][0]:,.0f} req/s "
      f"(x{ours['one row'][0] / theirs['one row'][0]:.1f})")
for name in ("10k CSV", "10k JSON"):
    print(f"{name} requests, 4 connections: {ours[name][0] / 1e6:.2f} M rows/s = {ours[name][0] / command:.2f} of "
          f"the command's -j 2 ({command / 1e6:.2f} M rows/s); FastAPI {theirs[name][0] / 1e6:.3f} M rows/s "
          f"(x{ours[name][0] / theirs[name][0]:.1f})")
print(f"one-row p99 while 1M-row CSV requests are scored: {during_large:.3f} ms")
print(f"memory: {rest:.1f} MiB at rest, peak {peak:.1f} MiB (with the 1M-row requests, 113 MB bodies)")
