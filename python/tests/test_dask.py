"""The Dask helper and the Dask example against the karva command: the same bytes and figures, bit for bit."""
import json
import os
import subprocess
import sys

import numpy as np
import pandas as pd

KARVA = os.environ.get("KARVA_BINARY", "karva")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples")


def test_a_dask_dataframe_by_names():
    import dask.dataframe as dd

    import karva.dask

    key = karva.Key(os.path.join(EXAMPLE, "example.key"), inputs=["x1", "x2", "x3"])
    frame = pd.DataFrame(np.random.default_rng(8).uniform(-5, 5, (1000, 3)), columns=["x2", "x3", "x1"])
    scored = karva.dask.predictions(dd.from_pandas(frame, npartitions=4), key).compute()
    assert scored.to_numpy().tobytes() == key.predict(frame).tobytes()


def test_dask_on_two_workers_writes_the_commands_bytes(tmp_path):
    rng = np.random.default_rng(7)
    files = []
    for part in range(3):
        n = 20_000
        x = rng.uniform(-5, 5, (n, 3))
        path = tmp_path / f"part{part}.csv"
        frame = pd.DataFrame({"id": [f"r{part}-{i}" for i in range(n)], "x3": x[:, 2], "x1": x[:, 0], "x2": x[:, 1],
                              "y": x[:, 1] * 3})
        frame.loc[part, "x1"] = np.nan
        frame.to_csv(path, index=False, float_format="%.17g")
        files.append(str(path))
    key = os.path.join(EXAMPLE, "example.key")
    out = tmp_path / "scored.csv"
    options = ["--inputs", "x1,x2,x3", "--keep", "id", "--target=y", "--round-trip"]
    done = subprocess.run([sys.executable, os.path.join(EXAMPLE, "dask_predict.py"), "--workers", "2", *options, key,
                           str(out)] + files, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    expected = b""
    for path in files:
        cli = tmp_path / "cli.csv"
        subprocess.run([KARVA, "--csv", "--inputs", "x1,x2,x3", "--keep", "id", "--target=y", "--round-trip", key,
                        path, str(cli)], check=True, capture_output=True)
        text = cli.read_bytes()
        expected += text if not expected else text[text.index(b"\n") + 1:]
    assert out.read_bytes() == expected
    cat = tmp_path / "all.csv"
    cat.write_bytes(b"".join(open(f, "rb").read()[(0 if i == 0 else open(f, "rb").read().index(b"\n") + 1):]
                             for i, f in enumerate(files)))
    said = subprocess.run([KARVA, "--csv", "--inputs", "x1,x2,x3", "--target=y", "--stats=json", key, str(cat),
                           str(tmp_path / "o.csv")], capture_output=True, text=True)
    assert json.loads(done.stdout) == json.loads(said.stdout.splitlines()[-1])
    # Promises of the command: no output over an input, one line for a wrong name.
    # Usage errors and an unreachable scheduler, each in one line and bounded in time.
    for wrong in ([*options, key, files[0]] + files, ["--inputs", "x1,x2,nope", key, str(out)] + files,
                  ["--workers", "0", key, str(out)] + files, ["--workers", "-1", key, str(out)] + files,
                  ["--scheduler", "tcp://127.0.0.1:9", "--timeout", "2", key, str(out)] + files):
        refused = subprocess.run([sys.executable, os.path.join(EXAMPLE, "dask_predict.py"), "--workers", "1", *wrong],
                                 capture_output=True, text=True, timeout=60)
        assert refused.returncode != 0 and "Traceback" not in refused.stderr and len(refused.stderr.splitlines()) == 1
