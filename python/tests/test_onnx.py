"""--emit onnx, checked by the ONNX library (full_check: shape inference too) and scored by onnxruntime's CPU
engine through its Node.js package: keys of the exact operators give the command's --round-trip doubles bit for
bit, zero's sign included; exp, log, sin and cos, which are the runtime's own approximations, stay within the
bounds the README states; a NaN input anywhere predicts NaN."""
import hashlib
import math
import os
import pty
import random
import subprocess

import onnx
import pytest

from key_kit import FUNCTIONS, KARVA, Case, key_bytes, make_cases

RUNNER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "render", "onnx", "run.mjs")
# The largest differences from this platform's libm, in units in the last place of the command's value, over
# the arguments below: exp and log are the runtime's; sin and cos the graph's own for |x| <= 2^33, the runtime's
# beyond. Every other operator is exact.
BOUNDS = {"E": 2, "L": 1, "S": 2, "C": 2}
FAR = 2.0 ** 33
FAR_BOUND = 3
EXACT = "".join(f for f in FUNCTIONS if f not in BOUNDS)


def emit(key, path, *options):
    with open(path, "wb") as f:
        subprocess.run([KARVA, "--emit", "onnx", *options, key], stdout=f, check=True)
    onnx.checker.check_model(onnx.load(path), full_check=True)
    return path


def scored(*jobs):
    """Each (model, csv, first input column) scored in one run of onnxruntime: a list of predictions each."""
    out = subprocess.run(["node", RUNNER, *(str(part) for job in jobs for part in job)], capture_output=True,
                         text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return [[float(v) for v in block.split()] for block in out.stdout.split("--\n")[:-1]]


def ulps(got, want):
    """How far `got` is from `want` in units of want's last place; NaN matches NaN, and zeros their sign."""
    if math.isnan(want) or math.isnan(got):
        return 0 if math.isnan(want) and math.isnan(got) else math.inf
    if got == want and math.copysign(1, got) == math.copysign(1, want):
        return 0
    return math.inf if math.isinf(want) or math.isinf(got) or got == want else abs(got - want) / math.ulp(want)


def worst(case, got, symbol=""):
    """Every row within its bound: that of `symbol` for rows of one input, none for others."""
    assert len(got) == len(case.rows), case.name
    bound = BOUNDS.get(symbol, 0)
    far = symbol in ("S", "C")
    errors = [ulps(g, math.nan if e is None else e) - (FAR_BOUND if far and abs(row[0]) > FAR else bound)
              for g, e, row in zip(got, case.expected, case.rows)]
    at = max(range(len(errors)), key=errors.__getitem__)
    assert errors[at] <= 0, (case.name, case.rows[at], got[at], case.expected[at])


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("onnx"))
    return folder, make_cases(folder, EXACT)


def test_every_operator_and_chained_keys_score_as_the_command(cases):
    folder, made = cases
    models = [emit(case.key, os.path.join(folder, case.name + ".onnx"), "--inputs", ",".join(case.columns))
              for case in made]
    for case, got in zip(made, scored(*[(model, case.csv, 1) for model, case in zip(models, made)])):
        worst(case, got, FUNCTIONS[int(case.name[2:])] if case.name.startswith("op") else "")


def test_the_runtimes_own_functions_stay_within_their_bounds(tmp_path):
    """Near the multiples of pi/2 (where sin and cos need their argument reduced exactly), across the whole
    range, and where exp leaves it."""
    rng = random.Random(5)
    xs = []
    for k in list(range(1, 1000)) + [rng.randint(1, 2 ** 33) for _ in range(2000)] + \
            [rng.randint(2 ** 33, 2 ** 50) for _ in range(500)]:
        x = k * math.pi / 2
        xs += [x, math.nextafter(x, 0), math.nextafter(x, math.inf)]
    xs += [rng.uniform(-10, 10) for _ in range(10000)] + [rng.uniform(-746, 710) for _ in range(10000)]
    xs += [rng.choice([-1, 1]) * 10 ** rng.uniform(-300, 300) for _ in range(10000)]
    xs += [rng.choice([-1, 1]) * 10 ** rng.uniform(0, 15) for _ in range(10000)]
    made = [Case(str(tmp_path), "f" + symbol, 1, [(0.0, 1.0, symbol + "a")], [[x] for x in xs]) for symbol in BOUNDS]
    got = scored(*[(emit(case.key, str(tmp_path / (case.name + ".onnx"))), case.csv, 1) for case in made])
    for case, values in zip(made, got):
        worst(case, values, case.name[1])


def test_a_nan_anywhere_and_the_keys_own_nan_and_infinities(tmp_path):
    rows = [[1.0, 2.0, 3.0], [math.nan, 2.0, 3.0], [1.0, math.nan, 3.0], [1.0, 2.0, math.nan], [-0.0, 0.0, 5.0]]
    genes = [(math.nan, 1.0, "+ab"), (0.0, math.inf, "a"), (-math.inf, 0.5, "*ab"), (1.0, 2.0, "+ea")]
    for k, gene in enumerate(genes):
        # Each gene alone, reading a and b only: c stays a column no gene reads.
        case = Case(str(tmp_path), "g%d" % k, 3, [gene] if k < 3 else genes, rows)
        [got] = scored((emit(case.key, str(tmp_path / ("g%d.onnx" % k))), case.csv, 1))
        assert all(math.isnan(v) for v in got[1:4]), gene
        worst(case, got)


def test_the_models_names_types_shapes_and_metadata(tmp_path):
    key = tmp_path / "k.key"
    key.write_bytes(key_bytes(2, [(0.5, 2.0, "+ab")]))
    for options, inputs, output in [([], '["a", "b"]', "predict"),
                                    (["--inputs", 'x "1",y', "--prediction-name", "yield"], '["x \\"1\\"", "y"]',
                                     "yield")]:
        model = onnx.load(emit(str(key), str(tmp_path / "m.onnx"), *options))
        assert (model.ir_version, [(o.domain, o.version) for o in model.opset_import]) == (8, [("", 17)])
        assert model.producer_name == "karva"
        assert [(v.name, v.type.tensor_type.elem_type, [d.dim_param or d.dim_value for d in v.type.tensor_type.shape.dim])
                for v in (*model.graph.input, *model.graph.output)] == [("input", onnx.TensorProto.DOUBLE, ["N", 2]),
                                                                        (output, onnx.TensorProto.DOUBLE, ["N"])]
        metadata = {p.key: p.value for p in model.metadata_props}
        assert metadata["key_sha256"] == hashlib.sha256(key.read_bytes()).hexdigest()
        assert metadata["inputs"] == inputs and metadata["key_file"] == str(key)


def test_a_terminal_is_refused_and_a_bad_key_named_as_the_command_names_it(tmp_path):
    key = tmp_path / "k.key"
    key.write_bytes(key_bytes(1, [(0.0, 1.0, "a")]))
    for binary in ("onnx", "xlsx"):
        parent, child = pty.openpty()
        done = subprocess.run([KARVA, "--emit", binary, str(key)], stdout=child, stderr=subprocess.PIPE, text=True)
        os.close(child)
        os.close(parent)
        assert done.returncode == 1 and "not sent to a terminal" in done.stderr, binary
    key.write_bytes(key_bytes(1, [(0.0, 1.0, "a")])[:-3])
    said = [subprocess.run([KARVA, "--emit", language, str(key)], capture_output=True, text=True)
            for language in ("onnx", "c")]
    assert said[0].returncode == said[1].returncode == 1 and said[0].stdout == ""
    assert said[0].stderr == said[1].stderr != ""
    key.write_bytes(key_bytes(1, [(0.0, 1.0, "a")]))
    named = subprocess.run([KARVA, "--emit", "onnx", "--prediction-name", "input", str(key)], capture_output=True)
    assert named.returncode == 2 and named.stdout == b"" and b"--prediction-name" in named.stderr
