"""--emit onnx in onnxruntime: the bench key's model scoring the 1M rows of bench/ in one run (one Float64Array,
the model loaded once; the median of the runs after a first), as rows per second, beside the command's -j 1 and
-j 2 on the same rows in the same run (information only: the command also reads and writes text, the runtime
does not). The runtime's threads are its own defaults.

Usage: python3 bench/onnx_bench.py KARVA KEY ROWS_CSV [runs]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

karva, key, rows_csv = sys.argv[1:4]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
runner = os.path.join(root, "tests", "render", "onnx", "run.mjs")
work = tempfile.mkdtemp()
with open(rows_csv) as f:
    count = sum(1 for _ in f) - 1

model = os.path.join(work, "bench.onnx")
with open(model, "wb") as f:
    subprocess.run([karva, "--emit", "onnx", key], stdout=f, check=True)
timed = subprocess.run(["node", runner, "--time", str(runs + 1), model, rows_csv, "1"], capture_output=True, text=True,
                       check=True)
runtime = statistics.median(float(t) for t in timed.stderr.split()[1:])


def command(jobs):
    times = []
    for _ in range(runs):
        began = time.perf_counter()
        subprocess.run([karva, "-y", "-j", str(jobs), key, rows_csv, os.path.join(work, "out.txt")], check=True,
                       capture_output=True)
        times.append(time.perf_counter() - began)
    return statistics.median(times)


print("rows: %d" % count)
print("onnxruntime, one run:  %.3f s  %.2f M rows/s" % (runtime, count / runtime / 1e6))
for jobs in (1, 2):
    seconds = command(jobs)
    print("karva -j %d (text in and out): %.3f s  %.2f M rows/s" % (jobs, seconds, count / seconds / 1e6))
