"""--emit sql in each engine: the bench key over 1M rows already in SQLite, PostgreSQL 15 (a throwaway
server) and DuckDB, the time of the statement alone, warm (the median of the runs after a first), as rows
per second, against the command's -j 1 on the same rows as a CSV file; and each statement against the same
statement with its guards taken out (every operator its engine's bare function), which is what the
guards cost. A bare statement may stop where a guard would have caught an edge; then it says so.

Usage: python3 bench/sql_bench.py KARVA KEY ROWS_CSV [runs]

With KARVA_BEFORE=OTHER_KARVA in the environment it compares the two binaries' statements instead: in each
engine, both on the same loaded table, each first in turn; medians, and after / before.
"""
import os
import re
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python", "tests"))
from postgres_server import postgres_server  # noqa: E402

karva, key, rows_csv = sys.argv[1:4]
runs = int(sys.argv[4]) if len(sys.argv) > 4 else 5
root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
work = tempfile.mkdtemp()
with open(rows_csv) as f:
    header = f.readline().strip().split(",")
    count = sum(1 for _ in f)
inputs = header[1:]


def emitted(engine, binary=None):
    return subprocess.run([binary or karva, "--emit", "sql", "--sql-engine", engine, "--keep", "id", "--inputs", ",".join(inputs),
                           key], check=True, capture_output=True, text=True).stdout


# Each operator's guarded form, in the DuckDB and SQLite statements, and its bare function; § is an
# operand, a column name or a typed literal, so a form is matched whole without parsing.
O = r"(-?[A-Za-z_]\w*|'[^']*'::DOUBLE|\(?-?\d[\d.e+-]*(?: [*/] \d+)*\)?)"
# DuckDB's reading of a column, which asks whether text is a number.
DUCKDB_INPUT = r"CASE WHEN typeof\(([^)]*)\) <> 'VARCHAR' THEN TRY_CAST\(\1 AS DOUBLE\) WHEN .*? END"
BARE = [
    (r"CASE WHEN abs\(§\) = 'Infinity'::DOUBLE THEN 'NaN'::DOUBLE ELSE (sin|cos)\(\1\) END", r"\2(\1)"),
    (r"CASE WHEN § = 'NaN'::DOUBLE OR abs\(\1\) = 'Infinity'::DOUBLE THEN \1 WHEN abs\(\1 - trunc\(\1\)\) >= 0\.5 "
     r"THEN trunc\(\1\) \+ CASE WHEN \1 > 0 THEN 1 ELSE -1 END ELSE trunc\(\1\) END", r"round(\1)"),
    (r"CASE WHEN § = 0 THEN -'Infinity'::DOUBLE ELSE ln\(abs\(\1\)\) END", r"ln(abs(\1))"),
    (r"CASE WHEN § = 0 THEN CASE WHEN § = 'NaN'::DOUBLE THEN .*? END ELSE \(\2 / \1\) END", r"(\2 / \1)"),
    (r"CASE WHEN § = 0 OR abs\(§\) = 1 THEN 1 WHEN \2 = 0 AND \1 < 0 THEN 'Infinity'::DOUBLE ELSE pow\(abs\(\2\), \1\) END",
     r"pow(abs(\2), \1)"),
    (r"CASE WHEN § = 'NaN'::DOUBLE THEN \1 WHEN \1 > 0 THEN power\(\1, §\) WHEN \1 < 0 THEN -power\(-\1, \2\) "
     r"ELSE \1 \+ 0 END", r"cbrt(\1)"),
    # DuckDB and SQLite: a column read as a double without asking whether its text is a number.
    (DUCKDB_INPUT, r"CAST(\1 AS DOUBLE)"),
    (r"TRY_CAST\(", "CAST("),
    (r"CASE WHEN typeof\(([^)]*)\) IN \('integer', 'real'\) THEN CAST\(\1 AS REAL\) WHEN .*? 9e999 END END",
     r"CAST(\1 AS REAL)"),
]


def bare(statement):
    for pattern, replacement in BARE:
        statement = re.sub(pattern.replace("§", O), replacement, statement)
    return statement


def for_postgresql(duckdb_statement):
    # PostgreSQL's steps are materialized, as its own statement's are; DuckDB's are not.
    duckdb_statement = re.sub(r"(karva_step\d+) AS \(", r"\1 AS MATERIALIZED (", duckdb_statement)
    duckdb_statement = re.sub(DUCKDB_INPUT, r"CAST(\1 AS DOUBLE)", duckdb_statement)
    return (duckdb_statement.replace("::DOUBLE", "::float8").replace("AS DOUBLE", "AS double precision")
            .replace("TRY_CAST(", "CAST(").replace("pow(", "power("))


def counted(statement):
    """The statement's rows counted and summed, so that the time is the statement's and not the transfer's,
    and every prediction is computed (an engine that knows a prediction is never NULL could count without)."""
    body = statement[statement.index("WITH karva_source"):].rstrip().rstrip(";")
    return "SELECT count(\"predict\"), sum(\"predict\") FROM (" + body + ") AS scored;\n"


def median_after_first(seconds):
    return statistics.median(seconds[1:])


def sqlite_times(statements, csv):
    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE data (id INTEGER PRIMARY KEY, %s)" % ", ".join(c + " REAL" for c in header))
    with open(csv) as f:
        next(f)
        db.executemany("INSERT INTO data (%s) VALUES (%s)" % (", ".join(header), ", ".join("?" * len(header))),
                       ([float(v) for v in line.split(",")] for line in f))
    out = []
    for statement in statements:
        seconds = []
        for _ in range(runs + 1):
            began = time.perf_counter()
            db.execute(counted(statement)).fetchall()
            seconds.append(time.perf_counter() - began)
        out.append(median_after_first(seconds))
    return out


def postgresql_times(statements, csv):
    """Seconds of each statement, or None where it stops, and the first error."""
    out, stopped = [], []
    with postgres_server() as socket_folder:
        def psql(lines):
            script = os.path.join(work, "pg.sql")
            with open(script, "w") as f:
                f.write(lines)
            return subprocess.run(["psql", "-h", socket_folder, "-U", "postgres", "-X", "-q", "-f", script],
                                  capture_output=True, text=True)

        psql("CREATE TABLE data (id bigint GENERATED ALWAYS AS IDENTITY, %s);\n\\copy data (%s) FROM '%s' CSV HEADER\n"
             "VACUUM ANALYZE data;\n" % (", ".join(c + " double precision" for c in header), ", ".join(header), csv))
        for statement in statements:
            # What comes before the statement: the edge functions, and JIT off (for the bare one too).
            before = "SET jit = off;\n" + statement[:statement.index("WITH karva_source")]
            done = psql(before + "\\timing on\n" + counted(statement) * (runs + 1))
            times = [float(t) / 1000 for t in re.findall(r"Time: ([\d.]+) ms", done.stdout)]
            out.append(None if "ERROR" in done.stderr else median_after_first(times))
            stopped += [line for line in done.stderr.splitlines() if "ERROR" in line][:1]
    return out, stopped


def duckdb_times(statements, csv):
    setup = os.path.join(work, "duck_setup.sql")
    with open(setup, "w") as f:
        f.write("CREATE TABLE data AS SELECT row_number() OVER () AS id, * FROM read_csv('%s', header = true, "
                "columns = {%s});\n" % (csv, ", ".join("'%s': 'DOUBLE'" % c for c in header)))
    files = []
    for k, statement in enumerate(statements):
        files.append(os.path.join(work, "duck%d.sql" % k))
        with open(files[-1], "w") as f:
            f.write(counted(statement))
    done = subprocess.run(["node", os.path.join(root, "tests", "render", "duckdb", "run.mjs"), "--time", setup,
                           *[f for f in files for _ in range(runs + 1)]], capture_output=True, text=True)
    times = [float(t) for t in re.findall(r"^-- ([\d.]+)$", done.stdout, re.M)]
    return [median_after_first(times[k * (runs + 1):(k + 1) * (runs + 1)]) for k in range(len(statements))]


def command_time():
    seconds = []
    for _ in range(runs + 1):
        began = time.perf_counter()
        subprocess.run([karva, "-j", "1", "-n", "--csv", "--inputs", ",".join(inputs), key, rows_csv, os.devnull],
                       check=True, capture_output=True)
        seconds.append(time.perf_counter() - began)
    return median_after_first(seconds)


# The bare statement stops on the bench rows in PostgreSQL (a product beyond the range), so the guards'
# cost is also taken on tamed rows, the same rows with every input divided by 1000, where nothing leaves it.
def compare(before):
    measure = {"SQLite": lambda s: sqlite_times(s, rows_csv), "PostgreSQL 15": lambda s: postgresql_times(s, rows_csv)[0],
               "DuckDB": lambda s: duckdb_times(s, rows_csv)}
    for engine, name in (("sqlite", "SQLite"), ("postgresql", "PostgreSQL 15"), ("duckdb", "DuckDB")):
        old, new = emitted(engine, before), emitted(engine)
        # Twice, each first once, on one loaded table per pass.
        first = measure[name]([old, new])
        second = measure[name]([new, old])
        a, b = statistics.median([first[0], second[1]]), statistics.median([first[1], second[0]])
        print(f"{name}: before {a:.3f} s, after {b:.3f} s, after / before {b / a:.3f}")


if os.environ.get("KARVA_BEFORE"):
    compare(os.environ["KARVA_BEFORE"])
    raise SystemExit(0)

tamed = os.path.join(work, "tamed.csv")
with open(rows_csv) as f, open(tamed, "w") as out:
    out.write(f.readline())
    for line in f:
        values = line.strip().split(",")
        out.write(",".join([values[0]] + [repr(float(v) / 1000) for v in values[1:]]) + "\n")
duck = emitted("duckdb")
pg = emitted("postgresql")
lite = emitted("sqlite")
engines = {
    "SQLite": lambda csv: (sqlite_times([lite, bare(lite)], csv), []),
    # PostgreSQL raises errors at ln(0) and sin(inf) too: its bare statement keeps those forms, DuckDB's.
    "PostgreSQL 15": lambda csv: postgresql_times([pg, for_postgresql(duck)], csv),
    "DuckDB": lambda csv: (duckdb_times([duck, bare(duck)], csv), []),
}
command = command_time()
print(f"{count:,} rows; the command's -j 1: {command:.3f} s, {count / command / 1e6:.2f} M rows/s")
for engine, measure in engines.items():
    (guarded, unguarded), stopped = measure(rows_csv)
    (tamed_guarded, tamed_bare), _ = measure(tamed)
    line = f"{engine}: {guarded:.3f} s, {count / guarded / 1e6:.2f} M rows/s ({guarded / command:.1f} x the command's time)"
    if unguarded is None:
        line += "; without guards it stops (" + " ".join(stopped) + ")"
    else:
        line += f"; without guards {unguarded:.3f} s ({guarded / unguarded:.2f} x)"
    if tamed_bare is None:
        print(line + f"; on tamed rows {tamed_guarded:.3f} s guarded, and the bare one stops there too")
    else:
        print(line + f"; on tamed rows {tamed_guarded:.3f} s guarded, {tamed_bare:.3f} s bare: the guards cost "
              f"{tamed_guarded / tamed_bare:.2f} x")
