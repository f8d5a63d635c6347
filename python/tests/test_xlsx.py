"""--emit xlsx, opened in LibreOffice Calc (headless, a throwaway profile that recalculates every formula on
load, the cells read back at full precision by a macro of its own) and in openpyxl: the recalculated predictions
are the command's --round-trip values within a relative 1e-12, missing rows stay empty, a NaN or infinity is
#NUM!, and the stored results are the command's values as the library writes numbers (16 digits)."""
import json
import math
import os
import random
import shutil
import subprocess

import openpyxl

from key_kit import KARVA, Case, key_bytes, random_genes

HERE = os.path.dirname(os.path.abspath(__file__))
CALC = os.path.join(HERE, "..", "..", "tests", "render", "xlsx")
NUMBER_ERROR = 502  # LibreOffice's code of #NUM!
CLOSE = 1e-12


def calc(folder, books):
    """Every workbook recalculated by LibreOffice: its first sheet's cells."""
    profile = os.path.join(folder, "profile")
    os.makedirs(os.path.join(profile, "user", "Scripts", "python"), exist_ok=True)
    shutil.copy(os.path.join(CALC, "registrymodifications.xcu"), os.path.join(profile, "user"))
    shutil.copy(os.path.join(CALC, "karva_read.py"), os.path.join(profile, "user", "Scripts", "python"))
    out = os.path.join(folder, "calc.json")
    env = dict(os.environ, KARVA_CALC_FILES=os.pathsep.join(books), KARVA_CALC_OUT=out)
    subprocess.run(["soffice", "-env:UserInstallation=file://" + profile, "--headless", "--invisible", "--norestore",
                    "vnd.sun.star.script:karva_read.py$read_back?language=Python&location=user"], env=env,
                   capture_output=True, timeout=300, check=True)
    with open(out) as f:
        return json.load(f)


def emit(key, data, book, *options):
    with open(book, "wb") as f:
        subprocess.run([KARVA, "--emit", "xlsx", *options, key, *([data] if data else [])], stdout=f, check=True)
    return book


def agrees(got, expected):
    if expected is None:
        return got is None
    if not math.isfinite(expected):
        return got == ["error", NUMBER_ERROR]
    return isinstance(got, float) and abs(got - expected) <= CLOSE * max(abs(expected), 1e-300)


def test_live_formulas_recalculate_to_the_commands_values(tmp_path):
    """Chained keys of the operators that never leave the double range on these rows; sin, cos, exp, log and ^
    alone. A spreadsheet has no infinities: a value the key takes through one (log of 0, exp beyond the range)
    and back is #NUM! there; and its SIN and COS refuse a large argument."""
    rng = random.Random(7)
    cases, books = [], []
    keys = [random_genes(rng, 3, "+-*/ADQR") for _ in range(6)] + [[(0.5, 2.0, f + "ab")] for f in "SCEL^"]
    for k, genes in enumerate(keys):
        rows = [[None if rng.random() < 0.03 else round(rng.uniform(-9, 9), rng.randint(0, 6)) for _ in range(3)]
                for _ in range(150)]
        case = Case(str(tmp_path), "k%d" % k, 3, genes, rows)
        cases.append(case)
        books.append(emit(case.key, case.csv, str(tmp_path / ("k%d.xlsx" % k)), "--csv", "--inputs",
                          ",".join(case.columns)))
    sheets = calc(str(tmp_path), books)
    for case, book in zip(cases, books):
        cells = sheets[book]
        column = cells[0].index("predict")
        assert len(cells) == len(case.rows) + 1
        for row, line, expected in zip(case.rows, cells[1:], case.expected):
            assert agrees(line[column], expected), (case.key, row, line[column], expected)
        stored = openpyxl.load_workbook(book, data_only=True)["Predictions"]
        for line, expected in zip(stored.iter_rows(min_row=2, values_only=True), case.expected):
            cached = line[column]
            assert (cached == "" or cached is None) if expected is None else \
                cached == "#NUM!" if not math.isfinite(expected) else cached == float("%.16g" % expected)


def nesting(formula):
    depth = most = 0
    for c in formula:
        depth += (c == "(") - (c == ")")
        most = max(most, depth)
    return most


def test_constants_cells_split_genes_targets_and_templates(tmp_path):
    """Constants that need 17 digits are exact in their cells; a gene too long for a cell is split over more
    columns; R-square is the sheet's RSQ; a template has the formulas and no values."""
    genes = [(1 / 3, 0.1 + 0.2, "*ab"), (0.0, 1.0, "/" * 300 + "c" * 301)]
    key = tmp_path / "k.key"
    key.write_bytes(key_bytes(2, genes))
    rows = [[a, 2.0 - a] for a in (0.5, 1.25, 3.0, -4.5, 7.0)]
    case = Case(str(tmp_path), "c", 2, genes, rows)
    book = emit(case.key, str(tmp_path / "c.csv"), str(tmp_path / "c.xlsx"), "--csv", "--inputs", "x1,x2")
    # A target: the first column, named by --target.
    (tmp_path / "t.csv").write_text("y,x1,x2\n" + "".join("%r,%r,%r\n" % (i * 0.5, *row) for i, row in enumerate(rows)))
    targeted = emit(str(key), str(tmp_path / "t.csv"), str(tmp_path / "t.xlsx"), "--csv", "--target=y")
    template = emit(str(key), None, str(tmp_path / "e.xlsx"), "--sheet-rows", "4")
    sheets = calc(str(tmp_path), [book, targeted, template])
    header = sheets[book][0]
    assert any("part" in name for name in header)
    workbook = openpyxl.load_workbook(book)
    formulas = [c.value for line in workbook["Predictions"].iter_rows(min_row=2) for c in line if c.data_type == "f"]
    assert max(len(f) for f in formulas) <= 8192 and max(nesting(f) for f in formulas) <= 64
    for line, expected in zip(sheets[book][1:], case.expected):
        assert line[header.index("predict")] == expected
    r_square = subprocess.run([KARVA, "--csv", "--target=y", "--stats=json", str(key), str(tmp_path / "t.csv"),
                               str(tmp_path / "t.out")], capture_output=True, text=True, check=True)
    figure = json.loads(r_square.stdout.splitlines()[-1])["r_square"]
    assert abs(sheets[targeted][1][sheets[targeted][0].index("R-square")] - figure) <= CLOSE * abs(figure)
    assert len(sheets[template]) == 5 and all(v is None for line in sheets[template][1:] for v in line)


def test_a_sheet_holds_at_most_its_rows(tmp_path):
    key = tmp_path / "k.key"
    key.write_bytes(key_bytes(1, [(0.0, 1.0, "a")]))
    data = tmp_path / "d.csv"
    data.write_text("x\n" + "1\n" * 1048576)
    done = subprocess.run([KARVA, "--emit", "xlsx", str(key), str(data)], capture_output=True)
    assert done.returncode == 1 and done.stdout == b"" and b"at most 1048575 rows" in done.stderr
