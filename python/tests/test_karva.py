"""The karva module against the karva command: the same doubles, bit for bit."""
import json
import math
import os
import pickle
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
FUNCTIONS = "+-*/^ACDELQRS"  # every symbol with an operation


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
        karva.Key(unbuildable)  # a path-like object
    key = karva.Key(os.path.join(EXAMPLE, "example.key"))
    with pytest.raises(ValueError, match="X has 2 columns, but the key reads 3 inputs"):
        key.predict(np.ones((4, 2)))
    for jobs in (0, 257):
        with pytest.raises(ValueError, match="jobs must be from 1 to 256"):
            key.predict(np.ones((4, 3)), jobs=jobs)
    with pytest.raises(AttributeError):
        karva.Key.__new__(karva.Key).predict(np.ones((4, 3)))


@pytest.mark.parametrize("x", [
    np.ones((2, 3), dtype=complex), np.zeros((2, 3), dtype="datetime64[s]"), np.zeros((2, 3), dtype="timedelta64[s]"),
    np.zeros((2, 3), dtype="S3"), [["a", "b", "c"]], np.array([[1, 2, object()]], dtype=object),
    pd.DataFrame({"a": [1.0], "b": ["x"], "c": [2.0]}), pd.DataFrame({"a": pd.to_datetime(["2024-01-01"]), "b": [1.0],
                                                                       "c": [2.0]})])
def test_what_is_not_a_real_number_is_a_type_error_naming_it(x):
    key = karva.Key(os.path.join(EXAMPLE, "example.key"))
    with pytest.raises(TypeError, match="X must hold real numbers, not"):
        key.predict(x)


def test_missing_values_in_every_form():
    key = karva.Key(os.path.join(EXAMPLE, "example.key"))
    values = np.array([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]])
    masked = np.ma.masked_array(values, mask=[[False, True, False], [False, False, False]])
    nullable = pd.DataFrame({"a": pd.array([1.0, 4.0], dtype="Float64"), "b": pd.array([None, 5], dtype="Int64"),
                             "c": [3.0, 6.0]})
    whole = key.predict(values)
    for x in (masked, nullable, [[1.0, np.nan, 3.0], [4.0, 5.0, 6.0]], [[1.0, 2.0, np.nan], [4.0, 5.0, 6.0]]):
        got = key.predict(x)
        assert np.isnan(got[0]) and got[1] == whole[1]


def test_columns_by_name_in_any_order():
    names = ["x1", "x2", "x3"]
    key = karva.Key(os.path.join(EXAMPLE, "example.key"), inputs=names)
    frame = pd.DataFrame(np.random.default_rng(4).uniform(-5, 5, (100, 3)), columns=names)
    expected = key.predict(frame)
    for order in (["x3", "x1", "x2"], ["x2", "x3", "x1"]):
        assert key.predict(frame[order + []].assign(extra="text")).tobytes() == expected.tobytes()
    with pytest.raises(ValueError, match="X has no column 'x2'"):
        key.predict(frame.drop(columns="x2"))
    assert repr(key).startswith("karva.Key(") and "x3" in repr(key) and "2 genes" in repr(key)
    assert karva.__version__ == subprocess.run([KARVA, "--version"], capture_output=True, text=True).stdout.split()[1]


def old_pickle(path, data):
    """A Key as the module before the package pickled it: karva.Key, then the state (path, bytes)."""
    name = path.encode()
    return (b"\x80\x04\x8c\x05karva\x94\x8c\x03Key\x94\x93\x94)\x81\x94\x8c" + bytes([len(name)]) + name +
            b"\x94B" + struct.pack("<I", len(data)) + data + b"\x94\x86\x94b.")


def test_keys_pickled_before_still_load():
    data = open(os.path.join(EXAMPLE, "example.key"), "rb").read()
    old = pickle.loads(old_pickle("example.key", data))
    new = pickle.loads(pickle.dumps(karva.Key(os.path.join(EXAMPLE, "example.key"), inputs=["p", "q", "r"])))
    x = np.ones((2, 3))
    assert old.path == "example.key" and old.predict(x).tobytes() == new.predict(x).tobytes()
    assert new.inputs == ["p", "q", "r"]


def test_predict_file_reads_as_the_command_does(tmp_path):
    rng = random.Random(23)
    for trial, (variables, genes) in enumerate([(1, 2), (3, 2), (4, 3)]):
        key_path = tmp_path / "k.key"
        key_path.write_bytes(random_key(rng, variables, genes))
        key = karva.Key(key_path)
        x = random_rows(rng, 300, variables)
        frame = pd.DataFrame(x, columns=[f"x{m}" for m in range(variables)])
        frame.insert(0, "id", [f"r{i}" for i in range(len(frame))])
        frame.insert(1, "y", x[:, 0] * 2)
        frame.iloc[3, 2] = np.nan
        data = tmp_path / "d.csv"
        frame.to_csv(data, index=False, float_format="%.17g")
        if trial == 1:
            subprocess.run(["gzip", "-f", str(data)], check=True)
            data = tmp_path / "d.csv.gz"
        out = tmp_path / "o.csv"
        names = [f"x{m}" for m in range(variables)]
        said = subprocess.run([KARVA, "--csv", "--inputs", ",".join(names), "--target=y", "--keep", "id",
                               "--round-trip", "--stats=json", str(key_path), str(data), str(out)],
                              capture_output=True, text=True)
        assert said.returncode == 0, said.stdout
        got = key.predict_file(data, csv=True, inputs=names, target="y", keep=["id"], jobs=1 + trial)
        cli = pd.read_csv(out, float_precision="round_trip")
        assert list(got.columns) == ["id", "y", "predict"] and got["id"].tolist() == cli["id"].tolist()
        assert same_bits(got["predict"].to_numpy(), cli["predict"].to_numpy())
        stats = json.loads(said.stdout.splitlines()[-1])
        assert got.attrs["karva"]["stats"] == stats and got.attrs["karva"]["missing_values"] == 1
    with pytest.raises(karva.DataError, match="--target names the column \"nope\""):
        key.predict_file(data, csv=True, target="nope")


def test_the_command_and_predict_file_agree_on_how_a_reading_ends(tmp_path):
    import gzip
    key = os.path.join(EXAMPLE, "example.key")
    good = "y x1 x2 x3\n" + "".join(f"{i} {i % 7} 2 {i % 3}\n" for i in range(2000))
    packed = gzip.compress(good.encode(), mtime=0)
    damaged = bytearray(packed)
    damaged[len(damaged) // 2] ^= 0xFF
    cases = {
        "whole": (good.encode(), False),
        "blank lines at the end": (good.encode() + b"\n\n", False),
        "a short line, then more": (good.encode() + b"30 1\n40 1 2 3\n", False),
        "a zero byte": (good.encode() + b"1 2 \0 3\n", False),
        "missing values": (b"y,x1,x2,x3\n10,1,,3\n20,NA,2,1\n", True),
        "a quote never closed": (b"y,x1,x2,x3\n10,\"1,2,3\n20,2,2,1\n", True),
        "a damaged gzip stream": (bytes(damaged), False),
        "a gzip stream cut short": (packed[: len(packed) // 2], False),
    }
    for name, (data, csv_reading) in cases.items():
        path = tmp_path / "d.txt"
        path.write_bytes(data)
        said = subprocess.run([KARVA, "-y", *(["--csv"] if csv_reading else []), key, str(path), str(tmp_path / "o")],
                              capture_output=True, text=True)
        try:
            messages = karva.Key(key).predict_file(path, target=True, csv=csv_reading).attrs["karva"]["messages"]
            complete = True
        except karva.DataError as error:
            messages, complete = str(error), False
        assert complete == (said.returncode == 0), name
        assert all(line in said.stdout for line in messages.splitlines()), (name, messages, said.stdout)


def test_paths_and_output_names_that_cannot_work_are_refused(tmp_path):
    data = tmp_path / "d.csv"
    data.write_text("id,y,x1,x2,x3\nr1,1,2,3,4\n")
    key = karva.Key(os.path.join(EXAMPLE, "example.key"), inputs=["x1", "x2", "x3"])
    cases = [
        (lambda: key.predict_file(""), "a file name cannot be empty"),
        (lambda: karva.Key(os.path.join(EXAMPLE, "example.key") + "\0junk"), "a file name cannot hold a zero byte"),
        (lambda: key.predict_file(data, csv=True, target="y", keep=["y"]), 'two columns named "y"'),
        (lambda: key.predict_file(data, csv=True, keep=["id", "id"]), 'two columns named "id"'),
        (lambda: key.format_file(data, csv=True, keep=["id"], prediction_name="id"), 'two columns named "id"'),
    ]
    for call, words in cases:
        with pytest.raises(ValueError, match=words):
            call()


# A background job of a non-interactive shell starts its children with
# SIGINT ignored, and Python then installs no handler of its own: the child
# asks for Python's own, which turns SIGINT into KeyboardInterrupt.
CHILD = """
import signal, sys, karva
signal.signal(signal.SIGINT, signal.default_int_handler)
try:
    karva.Key(sys.argv[1]).predict_file(sys.argv[2], target=True, jobs=2)
    print("returned")
except KeyboardInterrupt:
    print("KeyboardInterrupt")
"""


@pytest.mark.parametrize("keep_writing", [False, True])
def test_predict_file_answers_ctrl_c(tmp_path, keep_writing):
    """On a FIFO whose writer stays open (blocked), and on an endless stream."""
    import signal
    import threading
    fifo = tmp_path / "rows"
    os.mkfifo(fifo)
    child = subprocess.Popen([sys.executable, "-c", CHILD, os.path.join(EXAMPLE, "example.key"), str(fifo)],
                             stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    rows = b"y x1 x2 x3\n" + b"1 2 3 4\n" * 200_000  # far more than a pipe holds: once written, the child reads

    def release_if_the_child_ends():
        # Opening the FIFO to write waits for a reader: a child that ends
        # before it opens one must not leave the test waiting for ever.
        child.wait()
        try:
            os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))
        except OSError:  # the test is over, its folder gone
            pass

    threading.Thread(target=release_if_the_child_ends, daemon=True).start()
    with open(fifo, "wb", buffering=0) as writer:
        writer.write(rows)
        stop = threading.Event()

        def feed():
            try:
                while not stop.is_set():
                    writer.write(b"1 2 3 4\n" * 1000)
            except OSError:  # the child is gone
                pass

        more = threading.Thread(target=feed)
        if keep_writing:
            more.start()
        child.send_signal(signal.SIGINT)
        try:
            said, _ = child.communicate(timeout=30)
        finally:
            stop.set()
            child.kill()
        if keep_writing:
            more.join(timeout=30)
    assert said.strip() == "KeyboardInterrupt"


def test_as_a_scikit_learn_estimator(tmp_path):
    from sklearn.compose import ColumnTransformer
    from sklearn.metrics import r2_score
    from sklearn.pipeline import make_pipeline

    from karva.sklearn import KeyRegressor

    path = os.path.join(EXAMPLE, "example.key")
    X = pd.DataFrame(np.random.default_rng(5).uniform(-5, 5, (200, 4)), columns=["x3", "junk", "x1", "x2"])
    regressor = KeyRegressor(path, inputs=["x1", "x2", "x3"])
    y = regressor.predict(X) + np.random.default_rng(6).normal(0, 0.3, 200)  # before fit
    assert regressor.fit(X, y) is regressor and list(regressor.feature_names_in_) == ["x1", "x2", "x3"]
    assert regressor.score(X, y) == r2_score(y, regressor.predict(X))
    pipeline = make_pipeline(ColumnTransformer([("inputs", "passthrough", ["x1", "x2", "x3"])]), KeyRegressor(path))
    assert pipeline.fit(X, y).predict(X).tobytes() == regressor.predict(X).tobytes()
    assert KeyRegressor(path).set_params(inputs=["x3", "x1", "x2"]).get_params()["inputs"] == ["x3", "x1", "x2"]
    # A fitted model carries its key: it predicts after the file is gone.
    moved = tmp_path / "moved.key"
    moved.write_bytes(open(path, "rb").read())
    travelled = pickle.dumps(KeyRegressor(str(moved), inputs=["x1", "x2", "x3"]).fit(X, y))
    moved.unlink()
    assert pickle.loads(travelled).predict(X).tobytes() == regressor.predict(X).tobytes()


@pytest.mark.skipif("KARVA_BUILD_DIR" not in os.environ, reason="needs the build folder")
def test_installs_under_the_prefix_it_is_given(tmp_path):
    subprocess.run(["cmake", "--install", os.environ["KARVA_BUILD_DIR"], "--prefix", str(tmp_path)], check=True,
                   capture_output=True)
    found = [root for root, _, files in os.walk(tmp_path) if "__init__.py" in files and root.endswith("karva")]
    assert len(found) == 1 and found[0].startswith(str(tmp_path / "lib"))
    done = subprocess.run([sys.executable, "-c", "import karva; print(karva.__file__)"], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.path.dirname(found[0])))
    assert done.stdout.startswith(found[0])


def test_the_estimator_guards_column_names_and_carries_its_key(tmp_path):
    """Fitted on named columns, it refuses them reordered or renamed; set_params(inputs=) takes effect;
    duplicate names are refused; an unpickled model's clones fit and predict without the key file, and
    pickles made before key_bytes was a parameter still load and clone."""
    from sklearn.base import clone
    from sklearn.model_selection import cross_val_score

    from karva.sklearn import KeyRegressor

    path = os.path.join(EXAMPLE, "example.key")
    X = pd.DataFrame(np.random.default_rng(9).uniform(-5, 5, (60, 3)), columns=["x1", "x2", "x3"])
    y = KeyRegressor(path).predict(X)
    fitted = KeyRegressor(path).fit(X, y)
    assert list(fitted.feature_names_in_) == ["x1", "x2", "x3"]
    assert fitted.predict(X).tobytes() == y.tobytes()
    for changed in [X[["x3", "x2", "x1"]], X.rename(columns={"x1": "a"})]:
        with pytest.raises(ValueError, match="feature names should match"):
            fitted.predict(changed)
    reordered = KeyRegressor(path).set_params(inputs=["x3", "x2", "x1"])
    assert reordered.predict(X).tobytes() == KeyRegressor(path).predict(X[["x3", "x2", "x1"]].to_numpy()).tobytes()
    with pytest.raises(ValueError):
        KeyRegressor(path, inputs=["x1", "x1", "x3"]).predict(X)
    moved = tmp_path / "moved.key"
    moved.write_bytes(open(path, "rb").read())
    travelled = pickle.loads(pickle.dumps(KeyRegressor(str(moved)).fit(X, y)))
    moved.unlink()
    assert clone(travelled).fit(X, y).predict(X).tobytes() == y.tobytes()
    assert cross_val_score(travelled, X, y, cv=3).tolist() == [1.0, 1.0, 1.0]
    old = KeyRegressor.__new__(KeyRegressor)  # the state a pickle of the earlier class holds
    old.__setstate__({"path": str(moved), "inputs": None, "_loaded": karva.Key(path), "_loaded_for": (str(moved), None)})
    assert clone(old).predict(X).tobytes() == y.tobytes()


def test_a_one_column_csv_whose_first_line_is_0_is_data(tmp_path):
    data = tmp_path / "one.csv"
    data.write_text("0\n1\n2\n")
    doubled = struct.pack("<ii", 1, 1) + struct.pack("<ddi", 0.0, 2.0, 1) + b"a" + struct.pack("<d", 0.0)
    frame = karva.Key.from_bytes(doubled, "double.key").predict_file(str(data), csv=True, target=False)
    assert frame["predict"].tolist() == [0.0, 2.0, 4.0]
