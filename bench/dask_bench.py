#!/usr/bin/env python3
"""Times examples/dask_predict.py on a local cluster against the command's
-j 2 over the same rows: 1M rows of the bench set in 4 CSV files with an ID,
scored with the ID kept, cluster start-up apart from scoring.

Usage: PYTHONPATH=build/python python3 bench/dask_bench.py build/karva bench/data/bench.key bench/data/rows1m.csv
"""
import os
import re
import subprocess
import sys
import tempfile
import time

karva, key, data = sys.argv[1:4]
here = os.path.dirname(os.path.abspath(__file__))
with tempfile.TemporaryDirectory() as folder:
    lines = open(data).read().splitlines(keepends=True)
    header, rows = "id," + lines[0], lines[1:]
    files = []
    for part in range(4):
        path = os.path.join(folder, f"part{part}.csv")
        chunk = rows[part * len(rows) // 4:(part + 1) * len(rows) // 4]
        with open(path, "w") as f:
            f.write(header)
            f.writelines(f"r{part}-{i},{line}" for i, line in enumerate(chunk))
        files.append(path)
    names = lines[0].strip().split(",")
    inputs = ",".join(n for n in names if n != "y")
    together = os.path.join(folder, "all.csv")
    subprocess.run(f"cat {' '.join(files[:1])} > {together} && "
                   + " && ".join(f"tail -n +2 {f} >> {together}" for f in files[1:]), shell=True, check=True)
    started = time.perf_counter()
    subprocess.run([karva, "-j", "2", "--csv", "--inputs", inputs, "--target=y", "--keep", "id", key, together,
                    os.path.join(folder, "cli.csv")], check=True, capture_output=True)
    command = time.perf_counter() - started
    done = subprocess.run([sys.executable, os.path.join(here, "..", "examples", "dask_predict.py"), "--workers", "2",
                           "--inputs", inputs, "--target", "y", "--keep", "id", key, os.path.join(folder, "dask.csv")]
                          + files, check=True, capture_output=True, text=True)
    scoring = float(re.search(r"scored in ([0-9.]+) s", done.stderr).group(1))
    startup = float(re.search(r"started in ([0-9.]+) s", done.stderr).group(1))
    n = len(rows)
    print(f"command -j 2: {command:.2f} s, {n / command / 1e6:.2f} M rows/s")
    print(f"Dask, 2 local workers: scoring {scoring:.2f} s, {n / scoring / 1e6:.2f} M rows/s "
          f"({command / scoring:.2f} of the command's rate); cluster start-up {startup:.2f} s")
