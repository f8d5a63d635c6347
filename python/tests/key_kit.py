"""Keys and tables for checking a surface against the command: nasty values, random chained keys, and what
the command writes for them."""
import math
import os
import random
import struct
import subprocess
import sys

KARVA = os.environ.get("KARVA_BINARY", "karva")

MAX = sys.float_info.max
TINY = 5e-324
INF = math.inf
# Zeros, ones, halfway cases of round, subnormals, and operands whose sum, product, quotient, exp or
# pow lands on either side of the range's edges, some exactly on the rounding boundary.
NASTY = [0.0, -0.0, 1.0, -1.0, 0.5, -0.5, 2.5, -2.5, 3.0, 0.49999999999999994, -1.5, 2.0,
         MAX, -MAX, TINY, -TINY, 3 * TINY, 2.2250738585072014e-308, 1e308, -1e300, 1e-300, -1e-200,
         2.0 ** 512, 2.0 ** -512, 2.0 ** -537, 2.0 ** -538, 2.0 ** -537 * (1 + 2.0 ** -52), 2.0 ** 1023,
         1.5 * 2.0 ** 1023, 2.0 ** 970, 2.0 ** 969, 709.782712893384, 709.7827128933841, -745.1332191019412,
         -745.1332191019411, -708.4, 710.0, -746.0, 1024.0, 1023.9999999999999, -1074.0, -1074.5, -1075.0,
         0.3333333333333333, 1e-10, 7.1e9, 1.0000001, INF, -INF, math.nan]
FUNCTIONS = "+-*/^ACDELQRS"
CONSTANTS = [0.1, 1 / 3, -2.9999999999999996, 5e-320, MAX, 0.0, 1.0, -0.5]


def gene_bytes(intercept, slope, symbols):
    return struct.pack("<ddi", intercept, slope, len(symbols)) + symbols.encode() + struct.pack("<d", 0.0)


def key_bytes(inputs, genes):
    return struct.pack("<ii", inputs, len(genes)) + b"".join(gene_bytes(*g) for g in genes)


def random_genes(rng, inputs, functions=FUNCTIONS):
    """Chained genes in Karva notation: a head of functions and terminals, then a tail of terminals."""
    genes = []
    for j in range(rng.randint(1, 4)):
        terminals = "".join(chr(ord("a") + m) for m in range(inputs + j))
        head = rng.randint(3, 24)
        symbols = rng.choice(functions) + "".join(rng.choice(functions + terminals) for _ in range(head - 1))
        symbols += "".join(rng.choice(terminals) for _ in range(head + 1))
        scale = [rng.uniform(-3, 3), rng.uniform(-3, 3)] if rng.random() < 0.7 else rng.sample(CONSTANTS, 2)
        genes.append((scale[0], scale[1], symbols))
    return genes


def random_value(rng):
    draw = rng.random()
    if draw < 0.02:
        return None  # NULL: missing
    if draw < 0.55:
        return rng.choice(NASTY)
    if draw < 0.8:
        return rng.uniform(-10, 10)
    return rng.choice([-1, 1]) * 10 ** rng.uniform(-320, 308)


class Case:
    """A key, its table's rows and what the command gives for each row (None: no prediction)."""

    def __init__(self, folder, name, inputs, genes, rows):
        self.name, self.inputs, self.rows = name, inputs, rows
        self.columns = ["x%d" % (m + 1) for m in range(inputs)]
        self.key = os.path.join(folder, name + ".key")
        with open(self.key, "wb") as f:
            f.write(key_bytes(inputs, genes))
        self.csv = os.path.join(folder, name + ".csv")
        with open(self.csv, "w") as f:
            f.write("id," + ",".join(self.columns) + "\n")
            for i, row in enumerate(rows):
                f.write("%d,%s\n" % (i, ",".join("" if v is None else repr(v) for v in row)))
        out = os.path.join(folder, name + ".out")
        subprocess.run([KARVA, "--csv", "-n", "--round-trip", "--inputs", ",".join(self.columns), "--keep", "id",
                        self.key, self.csv, out], check=True, capture_output=True)
        # The CSV output leaves a row empty both where an input is missing and where the key makes NaN:
        # the inputs tell the two apart.
        with open(out) as f:
            written = [line.split(",")[1] for line in f.read().splitlines()[1:]]
        self.expected = [None if any(v is None or math.isnan(v) for v in row) else
                         math.nan if text in ("", '""') else float(text) for row, text in zip(rows, written)]

    def check(self, engine, lines):
        got = {}
        for line in lines:
            assert not line.startswith("ERROR"), (self.name, engine, line)
            i, value = line.split(",")
            got[int(i)] = None if value == "" else float(value)
        assert sorted(got) == list(range(len(self.rows))), (self.name, engine)
        for i, expected in enumerate(self.expected):
            value = got[i]
            same = (value is None and expected is None) or (
                value is not None and expected is not None and
                (math.isnan(value) and math.isnan(expected) or struct.pack("<d", value + 0.0) == struct.pack("<d", expected + 0.0)))
            assert same, (self.name, engine, "row", i, self.rows[i], "gives", value, "not", expected)


def make_cases(folder, chain_functions=FUNCTIONS):
    """Every operator alone on all pairs of NASTY values, each fed a NaN the key makes, and 8 random chained
    keys of `chain_functions` over 3000 rows of nasty values, a few missing."""
    rng = random.Random(33)
    made = []
    pairs = [[a, b] for a in NASTY for b in NASTY]
    for k, op in enumerate(FUNCTIONS):
        symbols = op + "ab" if op in "+-*/^" else op + "a"
        made.append(Case(folder, "op%d" % k, 2, [(0.0, 1.0, symbols)], pairs))
    # NaN that the key makes (inf - inf), which no input can bring, as each operand of each operator.
    computed = [[a, b] for a in (INF, -INF, 2.5) for b in NASTY]
    for k, op in enumerate(FUNCTIONS):
        for side, symbols in enumerate([op + "-baa", op + "b-aa"] if op in "+-*/^" else [op + "-aa"]):
            made.append(Case(folder, "nan%d_%d" % (k, side), 2, [(0.0, 1.0, symbols)], computed))
    for k in range(8):
        inputs = rng.randint(1, 5)
        rows = [[random_value(rng) for _ in range(inputs)] for _ in range(3000)]
        made.append(Case(folder, "chain%d" % k, inputs, random_genes(rng, inputs, chain_functions), rows))
    return made
