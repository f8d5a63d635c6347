"""One table, one answer: every surface gives the command's doubles for the same rows.

Each case is a small data file; every surface scores it with one key whose
genes read two of its three inputs, and each must give the predictions of
`karva --csv --round-trip` bit for bit (SQLite aside in the sign of zero, which
it does not keep), with one rule for missing values: an empty field, an NA
spelling or a NaN in any input, even one no gene reads, leaves the row
without a prediction.
"""
import gzip
import importlib.util
import math
import os
import sqlite3
import struct
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import karva
import karva.dask
from karva.sklearn import KeyRegressor

KARVA = os.environ.get("KARVA_BINARY", "karva")
ONNX_RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "render", "onnx", "run.mjs")
NAMES = ["x1", "x2", "x3"]
# (a + b) / (a - b), protected; then d + d: -0, infinities and NaN of the key's own.
GENES = [(0.5, 2.0, "/+ab-ab"), (-1.0, 0.25, "+dd")]

# name: (file bytes, pandas.read_csv keywords, command options, the inputs' names)
CASES = {
    "plain numbers": (b"x1,x2,x3\n1,2,3\n4.5,-1,0\n-0,0,7\n1e308,1e308,1\n0.1,0.2,0.3\n", {}, [], NAMES),
    "an empty field the key reads": (b"x1,x2,x3\n1,,3\n2,3,4\n", {}, [], NAMES),
    "NA in a column no gene reads": (b"x1,x2,x3\n1,2,NA\n2,3,4\n", {}, [], NAMES),
    "nan where the key reads": (b"x1,x2,x3\nnan,2,3\n1,2,3\n", {}, [], NAMES),
    "blank lines in the middle and at the end": (b"x1,x2,x3\n1,2,3\n\n4,5,6\n\n\n", {}, [], NAMES),
    "a short row": (b"x1,x2,x3\n1,2\n3,4,5\n", {}, [], NAMES),
    "infinities as text": (b"x1,x2,x3\ninf,1,2\n-Infinity,2,3\n1,INF,3\n", {}, [], NAMES),
    "a header of column numbers": (b"0,1,2\n1,2,3\n4,5,6\n", {}, [], ["0", "1", "2"]),
    "decimal commas": (b"x1;x2;x3\n0,5;1,25;3\n2;0,1;1\n", {"sep": ";", "decimal": ","}, ["--decimal", ","], NAMES),
    "quoted fields": (b'x1,x2,x3\n"1","2","3"\n"4.5",5,6\n', {}, [], NAMES),
    "CRLF line ends": (b"x1,x2,x3\r\n1,2,3\r\n4,5,6\r\n", {}, [], NAMES),
    "a compressed file": (gzip.compress(b"x1,x2,x3\n1,2,3\n,5,6\n7,8,9\n", mtime=0), {}, [], NAMES),
}

C_MAIN = r"""
#include <stdio.h>
#include <stdlib.h>
double karva_predict(const double *x);
int main(void) {
  double x[3];
  char a[64], b[64], c[64];
  while (scanf("%63s %63s %63s", a, b, c) == 3) {
    x[0] = strtod(a, NULL); x[1] = strtod(b, NULL); x[2] = strtod(c, NULL);
    printf("%a\n", karva_predict(x));
  }
  return 0;
}
"""


def key_bytes():
    out = struct.pack("<ii", 3, len(GENES))
    for intercept, slope, symbols in GENES:
        out += struct.pack("<ddi", intercept, slope, len(symbols)) + symbols.encode() + struct.pack("<d", 0.0)
    return out


def bits(values):
    """Values as comparable words: one NaN, and zero without its sign."""
    return [("nan" if math.isnan(v) else float.hex(v + 0.0)) for v in np.asarray(values, dtype=float)]


def exact_bits(values):
    return [("nan" if math.isnan(v) else float.hex(v)) for v in np.asarray(values, dtype=float)]


def command(tmp_path, key, data, options, names, *extra):
    out = tmp_path / "out.csv"
    done = subprocess.run([KARVA, "--csv", "-n", "--round-trip", "--inputs", ",".join(names), *options, *extra,
                           str(key), str(data), str(out)], capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    return out.read_bytes()


def predictions_of(output):
    """The command's CSV output as doubles, read exactly: an empty field is a missing row."""
    lines = output.decode().splitlines()[1:]
    return [math.nan if line in ("", '""') else float(line.replace(",", ".")) for line in lines]


@pytest.fixture(scope="module")
def emitted(tmp_path_factory):
    """The key, and the key as C (compiled once), Python and SQL."""
    folder = tmp_path_factory.mktemp("emitted")
    key = folder / "k.key"
    key.write_bytes(key_bytes())
    sources = {}
    for language in ("c", "python", "sql"):
        done = subprocess.run([KARVA, "--emit", language, "--inputs", ",".join(NAMES), str(key)], capture_output=True,
                              text=True, check=True)
        sources[language] = done.stdout
    (folder / "model.c").write_text(sources["c"])
    (folder / "main.c").write_text(C_MAIN)
    subprocess.run(["cc", "-std=c99", "-O2", "-ffp-contract=off", "-o", str(folder / "model"), str(folder / "model.c"),
                    str(folder / "main.c"), "-lm"], check=True)
    (folder / "model.py").write_text(sources["python"])
    found = importlib.util.spec_from_file_location("emitted_model", folder / "model.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    with open(folder / "model.onnx", "wb") as f:
        subprocess.run([KARVA, "--emit", "onnx", "--inputs", ",".join(NAMES), str(key)], stdout=f, check=True)
    return {"key": key, "c": folder / "model", "python": module, "sql": sources["sql"], "onnx": folder / "model.onnx"}


@pytest.fixture(scope="module")
def service(emitted):
    """The key behind karva --serve, its inputs named as the files name them: the MLflow endpoint's URL, and
    V2 over gRPC's HOST:PORT."""
    process = subprocess.Popen([KARVA, "--serve", "--quiet", "--listen", "127.0.0.1:0", "--grpc-listen", "127.0.0.1:0",
                                "--inputs", ",".join(NAMES), str(emitted["key"])], stdout=subprocess.PIPE, text=True)
    yield {"url": process.stdout.readline().split()[-1] + "/invocations", "grpc": process.stdout.readline().split()[-1]}
    process.terminate()
    assert process.wait(timeout=30) == 0


def served_predictions(url, body, content_type):
    import json
    import urllib.request
    request = urllib.request.Request(url, data=body, headers={"Content-Type": content_type})
    with urllib.request.urlopen(request, timeout=30) as response:
        return [math.nan if p is None else float(p) for p in json.loads(response.read())["predictions"]]


def sqlite_predictions(db, statement):
    rows = db.execute(statement).fetchall()
    return [math.nan if p is None else p for _, p in sorted(rows)]


@pytest.mark.parametrize("case", list(CASES))
def test_every_surface_gives_the_commands_doubles(tmp_path, emitted, service, case):
    data_bytes, read_options, options, names = CASES[case]
    data = tmp_path / ("d.csv.gz" if data_bytes[:2] == b"\x1f\x8b" else "d.csv")
    data.write_bytes(data_bytes)
    key = emitted["key"]
    reference = command(tmp_path, key, data, options, names)
    expected = predictions_of(reference)
    # The command on two threads in tiny chunks writes the same bytes, and
    # pandas reads back as many rows, with the same values.
    assert command(tmp_path, key, data, options, names, "-j", "2", "--chunk-bytes", "7") == reference
    back = pd.read_csv(tmp_path / "out.csv", float_precision="round_trip", **read_options)
    assert len(back) == len(expected) and exact_bits(back["predict"]) == exact_bits(expected)

    frame = pd.read_csv(data, float_precision="round_trip", **read_options)
    frame.columns = [str(c) for c in frame.columns]
    x = frame[names].astype(float)
    named = karva.Key(key, inputs=names)
    surfaces = {
        "Key.predict": named.predict(frame),
        "Key.predict_file": named.predict_file(data, csv=True, inputs=names,
                                               decimal="," if "--decimal" in options else None)["predict"],
        "KeyRegressor": KeyRegressor(str(key), inputs=names).predict(frame),
        "Dask": karva.dask.predictions(__import__("dask.dataframe").dataframe.from_pandas(frame, npartitions=2),
                                       named).compute(),
        "emitted Python": emitted["python"].predict(x.to_numpy()) if len(x) else [],
    }
    import json
    # JSON has no NaN and no infinity: null, and the strings the service takes.
    as_json = {math.inf: "Infinity", -math.inf: "-Infinity"}
    instances = [[None if math.isnan(v) else as_json.get(v, v) for v in row] for row in x.to_numpy().tolist()]
    surfaces["the service, JSON"] = served_predictions(service["url"], json.dumps({"instances": instances}).encode(),
                                                       "application/json")
    if not read_options and names == NAMES and data.suffix == ".csv":
        surfaces["the service, CSV"] = served_predictions(service["url"], data_bytes, "text/csv")
    rows = "".join(" ".join(float.hex(v) for v in row) + "\n" for row in x.to_numpy())
    ran = subprocess.run([str(emitted["c"])], input=rows, capture_output=True, text=True, check=True)
    surfaces["emitted C"] = [float.fromhex(v) for v in ran.stdout.split()]
    # onnxruntime, from a CSV of the rows as pandas read them (NaN for a missing value).
    lines = "".join(",".join(map(repr, row)) + "\n" for row in x.to_numpy().tolist())
    (tmp_path / "x.csv").write_text(",".join(names) + "\n" + lines)
    ran = subprocess.run(["node", ONNX_RUNNER, str(emitted["onnx"]), str(tmp_path / "x.csv"), "0"], capture_output=True,
                         text=True, check=True)
    surfaces["onnxruntime"] = [float(v) for v in ran.stdout.split()[:-1]]  # then "--"
    for name, got in surfaces.items():
        assert exact_bits(got) == exact_bits(expected), name

    # SQLite holds no NaN and no -0: NULL and 0 there.
    statement = emitted["sql"]
    db = sqlite3.connect(":memory:")
    x.rename(columns=dict(zip(names, NAMES))).to_sql("data", db, index=False)
    assert bits(sqlite_predictions(db, statement)) == bits(expected), "SQLite from pandas"
    if not read_options and names == NAMES and data.suffix == ".csv" and b"\n\n" not in data_bytes:
        # As the sqlite3 shell's .import --csv stores it: every field as text
        # (a blank line would be a row of its own there).
        subprocess.run(["sqlite3", str(tmp_path / "db"), ".import --csv " + str(data) + " data"], check=True)
        imported = sqlite3.connect(tmp_path / "db")
        assert bits(sqlite_predictions(imported, statement)) == bits(expected), "SQLite from .import --csv"


def test_sql_names_a_column_the_table_lacks_as_an_error(emitted):
    """A misspelt input is "no such column", never a constant that scores every row."""
    misspelt = subprocess.run([KARVA, "--emit", "sql", "--inputs", "x1,x2,x3_typo", str(emitted["key"])],
                              capture_output=True, text=True, check=True).stdout
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE data (x1 REAL, x2 REAL, x3 REAL)")
    with pytest.raises(sqlite3.OperationalError, match="no such column"):
        db.execute(misspelt)


def test_two_emitted_models_in_one_program_and_python_by_name(tmp_path):
    """--emit-name names the C function and the Python one, so that two keys link into one program; the
    emitted Python takes a mapping of the inputs' names (or the key's letters) to values."""
    keys = {"double": (2.0, 1.0), "triple": (3.0, -1.0)}
    for name, (slope, intercept) in keys.items():
        (tmp_path / f"{name}.key").write_bytes(struct.pack("<ii", 1, 1) + struct.pack("<ddi", intercept, slope, 1) + b"a" +
                                               struct.pack("<d", 0.0))
        source = subprocess.run([KARVA, "--emit", "c", "--emit-name", f"{name}_model", str(tmp_path / f"{name}.key")],
                                capture_output=True, text=True, check=True).stdout
        (tmp_path / f"{name}.c").write_text(source)
    (tmp_path / "main.c").write_text('#include <stdio.h>\ndouble double_model(const double *); double triple_model(const '
                                     'double *);\nint main(void) { double x = 1.5; printf("%a %a\\n", double_model(&x), '
                                     'triple_model(&x)); return 0; }\n')
    subprocess.run(["cc", "-std=c99", "-ffp-contract=off", "-o", str(tmp_path / "both"), str(tmp_path / "main.c"),
                    str(tmp_path / "double.c"), str(tmp_path / "triple.c"), "-lm"], check=True)
    ran = subprocess.run([str(tmp_path / "both")], capture_output=True, text=True, check=True).stdout.split()
    assert [float.fromhex(v) for v in ran] == [4.0, 3.5]
    key = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "example.key")
    for inputs, mapping in [(["--inputs", "x1,x2,x3"], {"x3": 3.0, "x1": 1.0, "x2": 2.0}), ([], {"a": 1.0, "b": 2.0, "c": 3.0})]:
        source = subprocess.run([KARVA, "--emit", "python", "--emit-name", "score", *inputs, key], capture_output=True,
                                text=True, check=True).stdout
        module = {}
        exec(compile(source, "emitted", "exec"), module)
        assert module["score"](mapping) == module["score"]([1.0, 2.0, 3.0]) == 5.75
        assert module["score"]([mapping, mapping]) == [5.75, 5.75]
    refused = subprocess.run([KARVA, "--emit", "c", "--emit-name", "1x", key], capture_output=True, text=True)
    assert refused.returncode == 2 and "--emit-name" in refused.stderr


def test_the_service_as_its_clients_send(tmp_path, emitted, service):
    """MLflow as pandas and json.dumps write it, V2 in FP32 (the command fed the same values widened), in
    binary and over gRPC: the command's --round-trip doubles."""
    import json
    import urllib.request
    rng = np.random.default_rng(37)
    rows = rng.choice([0.0, -0.0, 5e-324, 1e308, -1e308, 1.5, -2.25, np.nan], size=(200, 3))
    frame = pd.DataFrame(rows, columns=NAMES)
    frame.insert(0, "id", [f"r{k}" for k in range(len(frame))])

    def command(values):
        data = tmp_path / "rows.csv"
        pd.DataFrame(values, columns=NAMES).to_csv(data, index=False, float_format="%r")
        out = tmp_path / "out.csv"
        subprocess.run([KARVA, "--csv", "-n", "--round-trip", "--inputs", ",".join(NAMES), str(emitted["key"]), str(data),
                        str(out)], check=True, capture_output=True)
        return [None if line in ("", '""') else float(line) for line in out.read_text().splitlines()[1:]]

    base = service["url"].rsplit("/invocations", 1)[0]
    v2 = "/v2/models/" + os.path.splitext(os.path.basename(str(emitted["key"])))[0] + "/infer"

    def post(path, body, headers):
        request = urllib.request.Request(base + path, data=body, headers=headers)
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.read(), response.headers

    def bits(values):
        # The command's --csv writes a missing row and a NaN the key makes alike, as an empty field.
        values = [float(v) if isinstance(v, str) else v for v in values]  # "NaN", "Infinity", "-Infinity"
        return [None if v is None or v != v else struct.pack("<d", v).hex() for v in values]

    got, _ = post("/invocations", json.dumps({"dataframe_split": frame.to_dict(orient="split")}).encode(),
                  {"Content-Type": "application/json"})
    assert bits(json.loads(got)["predictions"]) == bits(command(rows))
    with np.errstate(over="ignore"):  # 1e308 is infinite as FP32, and the command is fed it so
        single = rows.astype("<f4")
    body = {"inputs": [{"name": "x", "shape": list(single.shape), "datatype": "FP32",
                        "data": [None if v != v else float(v) for v in single.ravel()]}]}
    got, _ = post(v2, json.dumps(body).encode(), {"Content-Type": "application/json"})
    assert bits(json.loads(got)["outputs"][0]["data"]) == bits(command(single.astype(float)))
    head = json.dumps({"inputs": [{"name": "x", "shape": list(rows.shape), "datatype": "FP64",
                                   "parameters": {"binary_data_size": rows.size * 8}}],
                       "parameters": {"binary_data_output": True}}).encode()
    got, headers = post(v2, head + rows.astype("<f8").tobytes(),
                        {"Content-Type": "application/octet-stream", "Inference-Header-Content-Length": str(len(head))})
    predictions = np.frombuffer(got[int(headers["Inference-Header-Content-Length"]):], "<f8").tolist()
    assert bits(predictions) == bits(command(rows))
    import grpc
    from service_kit import grpc_stubs
    pb, stubs = grpc_stubs(tmp_path)
    request = pb.ModelInferRequest(model_name=os.path.splitext(os.path.basename(str(emitted["key"])))[0])
    request.inputs.add(name="x", datatype="FP64", shape=list(rows.shape)).contents.fp64_contents.extend(rows.ravel())
    with grpc.insecure_channel(service["grpc"]) as channel:
        answer = stubs.GRPCInferenceServiceStub(channel).ModelInfer(request, timeout=60)
    assert bits(answer.outputs[0].contents.fp64_contents) == bits(command(rows))
