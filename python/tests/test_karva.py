"""The karva module against the karva command: the same doubles, bit for bit."""
import csv
import math
import os
import random
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import karva

KARVA = os.environ.get("KARVA_BINARY", "karva")
EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples")
FUNCTIONS = "+-*/^ACDELQRS"


def key_bytes(variables, genes):
    """A key file: the counts, then per gene intercept, slope, symbols, an unused double."""
    out = struct.pack("<ii", variables, len(genes))
    for intercept, slope, symbols in genes:
        out += struct.pack("<ddi", intercept, slope, len(symbols)) + symbols.encode("latin-1") + struct.pack("<d", 0.0)
    return out


def random_key(rng, variables, count):
    genes = []
    for j in range(count):
        letters = "".join(chr(97 + m) for m in range(variables + j))
        head = rng.randint(1, 40)
        symbols = rng.choice(FUNCTIONS) + "".join(
            rng.choice(FUNCTIONS) if rng.random() < 0.6 else rng.choice(letters) for _ in range(head - 1))
        symbols += "".join(rng.choice(letters) for _ in range(head + 1))
        genes.append((rng.uniform(-3, 3), rng.uniform(-3, 3), symbols))
    return key_bytes(variables, genes)


def random_rows(rng, rows, variables):
    special = [0.0, -0.0, 1.0, -1.0, 0.5, -2.5, 1e300, -1e-300, 5e-324, 710.0, math.inf, -math.inf]
    return np.array([[rng.choice(special) if rng.random() < 0.3 else rng.uniform(-20, 20)
                      for _ in range(variables)] for _ in range(rows)], dtype=np.float64)


def command_line_predictions(tmp_path, key_path, x):
    """What the command computes for the same doubles, read back exactly."""
    data = tmp_path / "x.csv"
    with open(data, "w") as f:
        for row in x:
            f.write(" ".join(repr(float(v)) for v in row) + "\n")
    out = tmp_path / "out.txt"
    subprocess.run([KARVA, "-n", "--round-trip", str(key_path), str(data), str(out)], check=True,
                   capture_output=True)
    return np.array([float(line) for line in open(out).read().split("\n")[1:] if line])


def same_bits(a, b):
    return all(x.tobytes() == y.tobytes() or (math.isnan(x) and math.isnan(y)) for x, y in zip(a, b))


def test_predict_matches_the_command_line(tmp_path):
    rng = random.Random(14)
    for variables, genes in [(1, 1), (2, 3), (3, 2), (5, 4), (4, 1)]:
        key_path = tmp_path / "k.key"
        key_path.write_bytes(random_key(rng, variables, genes))
        key = karva.Key(str(key_path))
        x = random_rows(rng, 500, variables)
        expected = command_line_predictions(tmp_path, key_path, x)
        assert len(expected) == len(x)
        for jobs in (1, 3):
            assert same_bits(key.predict(x, jobs=jobs), expected)


def test_orders_and_frames_give_the_same_doubles():
    key = karva.Key(os.path.join(EXAMPLE, "example.key"))
    x = np.random.default_rng(3).uniform(-5, 5, (1000, key.variable_count))
    c = key.predict(x)
    assert c.dtype == np.float64 and c.shape == (1000,)
    assert c.tobytes() == key.predict(np.asfortranarray(x)).tobytes()
    assert c.tobytes() == key.predict(pd.DataFrame(x, columns=["x1", "x2", "x3"])).tobytes()
    assert c.tobytes() == key.predict(x.tolist()).tobytes()
    assert key.gene_count == 2
    assert key.explain(["p", "q", "r"]).splitlines()[1] == "Inputs: a = p, b = q, c = r"


def test_errors(tmp_path):
    missing = str(tmp_path / "none.key")
    with pytest.raises(karva.KeyFileError) as e:
        karva.Key(missing)
    said = subprocess.run([KARVA, "-y", missing, "d", "o"], capture_output=True, text=True).stdout
    assert isinstance(e.value, ValueError) and str(e.value) + "\n" == said
    unbuildable = tmp_path / "bad.key"
    unbuildable.write_bytes(key_bytes(1, [(0.0, 1.0, "+a")]))
    with pytest.raises(karva.KeyFileError, match="Gene 1 of the key cannot be built"):
        karva.Key(str(unbuildable))
    key = karva.Key(os.path.join(EXAMPLE, "example.key"))
    with pytest.raises(ValueError, match="X has 2 columns, but the key reads 3 inputs"):
        key.predict(np.ones((4, 2)))
    with pytest.raises(TypeError):
        key.predict([["a", "b", "c"]])
    assert np.isnan(key.predict([[np.nan, 1.0, 2.0], [1.0, 2.0, 3.0]])).tolist() == [True, False]


def test_dask_on_two_workers_gives_the_command_lines_predictions(tmp_path):
    rng = np.random.default_rng(7)
    files, rows = [], 0
    for part in range(4):
        n = 50_000
        x = rng.uniform(-5, 5, (n, 3))
        path = tmp_path / f"part{part}.csv"
        pd.DataFrame({"id": [f"r{rows + i}" for i in range(n)], "x3": x[:, 2], "x1": x[:, 0], "x2": x[:, 1]}) \
            .to_csv(path, index=False, float_format="%.17g")
        files.append(str(path))
        rows += n
    key = os.path.join(EXAMPLE, "example.key")
    out = tmp_path / "scored.csv"
    script = os.path.join(EXAMPLE, "dask_predict.py")
    subprocess.run([sys.executable, script, "--workers", "2", "--inputs", "x1,x2,x3", "--keep", "id", key, str(out)]
                   + files, check=True, capture_output=True)
    expected = {}
    for path in files:
        cli = tmp_path / "cli.csv"
        subprocess.run([KARVA, "--csv", "--inputs", "x1,x2,x3", "--keep", "id", "--round-trip", key, path, str(cli)],
                       check=True, capture_output=True)
        expected.update((row["id"], float(row["predict"])) for row in csv.DictReader(open(cli)))
    scored = list(csv.DictReader(open(out)))
    assert len(scored) == rows == len(expected)
    assert all(float(row["predict"]) == expected[row["id"]] for row in scored)
