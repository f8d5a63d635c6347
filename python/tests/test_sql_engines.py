"""--emit sql --sql-engine postgresql|duckdb, run in the real engines: every operator at the edges of the
double range and random chained keys over nasty rows give the command's --round-trip doubles bit for bit
(zero's sign aside), NaN where the command writes nan, NULL where an input is missing, and no statement
aborts. PostgreSQL 15 runs as a throwaway server of the module's own (a database for each test), DuckDB
through its Node.js package."""
import concurrent.futures
import itertools
import math
import os
import sqlite3
import struct
import subprocess

import pytest

from key_kit import key_bytes, make_cases
from postgres_server import postgres_server

KARVA = os.environ.get("KARVA_BINARY", "karva")
HERE = os.path.dirname(os.path.abspath(__file__))
DUCKDB_RUNNER = os.path.join(HERE, "..", "..", "tests", "render", "duckdb", "run.mjs")
TIMEOUT = 120  # seconds for any one engine run


def statement(case, engine, folder):
    """The file of the statement --emit sql writes for `case` in `engine`."""
    path = os.path.join(folder, "%s.%s.sql" % (case.name, engine))
    with open(path, "w") as f:
        f.write(subprocess.run([KARVA, "--emit", "sql", "--sql-engine", engine, "--sql-table", case.name,
                                "--inputs", ",".join(case.columns), "--keep", "id", case.key],
                               check=True, capture_output=True, text=True).stdout)
    return path


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("engines"))
    return folder, make_cases(folder)


@pytest.fixture(scope="module")
def postgres():
    """One throwaway PostgreSQL server for the module; each call gives psql's options for a new database."""
    with postgres_server() as socket_folder:
        made = itertools.count()

        def database():
            name = "t%d" % next(made)
            subprocess.run(["createdb", "-h", socket_folder, "-U", "postgres", name], check=True, timeout=TIMEOUT)
            return ["-h", socket_folder, "-U", "postgres", "-d", name]
        yield database


def psql(where, script):
    done = subprocess.run(["psql", *where, "-X", "-q", "-A", "-t", "-F", ",",
                           "-v", "ON_ERROR_STOP=1", "-f", script], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    return done.stdout


def runs(output):
    """The rows of each query, in order, from output whose queries end with "--"."""
    return [[line for line in chunk.splitlines() if line] for chunk in ("\n" + output).split("\n--\n")[:-1]]


def test_postgresql_gives_the_commands_doubles(cases, postgres):
    folder, made = cases
    where = postgres()
    script = os.path.join(folder, "pg.sql")
    with open(script, "w") as f:
        for case in made:
            f.write("CREATE TABLE %s (id integer, %s);\n" % (
                case.name, ", ".join(c + " double precision" for c in case.columns)))
            f.write("\\copy %s FROM '%s' CSV HEADER\n" % (case.name, case.csv))
        for case in made:
            f.write("\\i %s\n\\echo --\n" % statement(case, "postgresql", folder))
    for case, lines in zip(made, runs(psql(where, script)), strict=True):
        case.check("postgresql", lines)


def duckdb(setup, queries, failing=False):
    done = subprocess.run(["node", DUCKDB_RUNNER, setup, *queries], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.stderr == "" and (done.returncode != 0) == failing, done.stdout + done.stderr
    return done.stdout


def sql_text(v):
    if v is None:
        return "NULL"
    text = repr(v) if math.isfinite(v) else "NaN" if math.isnan(v) else "Infinity" if v > 0 else "-Infinity"
    return "'%s'::DOUBLE" % text


@pytest.mark.parametrize("ieee_division", ["true", "false"])
def test_duckdb_gives_the_commands_doubles(cases, ieee_division):
    """Whatever ieee_floating_point_ops says: no division the statement makes depends on it."""
    folder, made = cases
    setup = os.path.join(folder, "duck_setup_%s.sql" % ieee_division)
    with open(setup, "w") as f:
        f.write("SET ieee_floating_point_ops = %s;\n" % ieee_division)
        for case in made:
            f.write("CREATE TABLE %s (id INTEGER, %s);\n" % (case.name, ", ".join(c + " DOUBLE" for c in case.columns)))
            f.write("INSERT INTO %s VALUES %s;\n" % (case.name, ", ".join(
                "(%d, %s)" % (i, ", ".join(sql_text(v) for v in row)) for i, row in enumerate(case.rows))))
    output = duckdb(setup, [statement(case, "duckdb", folder) for case in made])
    for case, lines in zip(made, runs(output), strict=True):
        case.check("duckdb", lines)


def test_a_missing_column_is_an_error_and_text_is_a_missing_value(cases, tmp_path, postgres):
    """A column the table does not have stops the statement in every engine, never reads as a constant;
    DuckDB reads text that is no number (an empty field or NA loaded as text) as a missing value, as the
    command does."""
    key = cases[1][0].key  # a + b

    def emitted(engine, table):
        done = subprocess.run([KARVA, "--emit", "sql", "--sql-engine", engine, "--sql-table", table, "--inputs", "x1,x3",
                               "--keep", "id", key], check=True, capture_output=True, text=True)
        path = tmp_path / ("%s_%s.sql" % (engine, table))
        path.write_text(done.stdout)
        return str(path)

    where = postgres()
    script = tmp_path / "pg.sql"
    script.write_text("CREATE TABLE bad (id integer, x1 float8, x2 float8);\n\\i %s\n" % emitted("postgresql", "bad"))
    done = subprocess.run(["psql", *where, "-X", "-q", "-v", "ON_ERROR_STOP=1",
                           "-f", str(script)], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode != 0 and "column karva_input.x3 does not exist" in done.stderr, done.stderr
    setup = tmp_path / "duck.sql"
    setup.write_text("CREATE TABLE bad (id INTEGER, x1 DOUBLE, x2 DOUBLE);\n"
                     "CREATE TABLE data (id INTEGER, x1 VARCHAR, x3 VARCHAR);\n"
                     "INSERT INTO data VALUES (0, '1.5', '2'), (1, 'NA', '1'), (2, '', '2.25'), (3, ' 1e0', '-Infinity');\n")
    bad, text = runs(duckdb(str(setup), [emitted("duckdb", "bad"), emitted("duckdb", "data")], failing=True))
    assert len(bad) == 1 and bad[0].startswith("ERROR") and "x3" in bad[0]
    assert sorted(text) == ["0,3.5", "1,", "2,", "3,-Infinity"]


def test_options_and_names_each_engine_refuses(cases):
    folder, made = cases
    key = made[0].key
    table = [
        (["--sql-engine", "postgresql"], 2, "--sql-engine postgresql needs --keep"),
        (["--sql-engine", "duckdb"], 2, "--sql-engine duckdb needs --keep"),
        (["--sql-engine", "oracle", "--keep", "id"], 2, "--sql-engine takes sqlite, postgresql or duckdb"),
        (["--sql-engine", "postgresql", "--keep", "id", "--prediction-name", "p" * 64], 1, "longer than the 63 bytes"),
        (["--sql-engine", "postgresql", "--keep", "id", "--sql-table", "s." + "t" * 64], 1, "longer than the 63 bytes"),
        (["--sql-engine", "postgresql", "--keep", "id", "--sql-table", "s." + "t" * 63], 0, '"s"."%s" AS' % ("t" * 63)),
        (["--sql-engine", "postgresql", "--keep", "id", "--sql-view", "v" * 55], 1, "longer than the 63 bytes"),
    ]
    for options, status, words in table:
        done = subprocess.run([KARVA, "--emit", "sql", *options, key], capture_output=True, text=True)
        assert done.returncode == status and words in done.stdout + done.stderr, (options, done.stdout, done.stderr)
    done = subprocess.run([KARVA, "--sql-engine", "duckdb", key, made[0].csv, "-"], capture_output=True, text=True)
    assert done.returncode == 2 and "--sql-engine needs --emit sql" in done.stderr


def test_the_statement_grows_linearly_with_the_key(tmp_path):
    """Each operation reads its operands by name, so a tree twice as deep makes a statement about twice
    as long, not one exponentially longer."""
    sizes = []
    for depth in (40, 80):
        key = tmp_path / ("d%d.key" % depth)
        key.write_bytes(key_bytes(1, [(0.0, 1.0, "*" * depth + "a" * (depth + 1))]))
        sizes.append(len(subprocess.run([KARVA, "--emit", "sql", "--sql-engine", "postgresql", "--keep", "id", str(key)],
                                        check=True, capture_output=True, text=True).stdout))
    assert sizes[1] < 2.2 * sizes[0]


def test_the_statements_own_names_never_clash_with_the_table(tmp_path):
    """A table named as one of the statement's steps is scored, in any case of its name (SQLite)."""
    key = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "example.key")
    for table in ["karva_source", "karva_step1", "KARVA_STEP2", "karva1_source", "karva_input"]:
        sql = subprocess.run([KARVA, "--emit", "sql", "--sql-table", table, "--inputs", "x1,x2,x3", key], check=True,
                             capture_output=True, text=True).stdout
        db = sqlite3.connect(":memory:")
        db.execute('CREATE TABLE "%s" (x1 REAL, x2 REAL, x3 REAL)' % table)
        db.execute('INSERT INTO "%s" VALUES (1, 2, 3)' % table)
        assert db.execute(sql).fetchall() == [(1, 5.75)], table



def test_text_and_numerics_read_as_the_command_reads_them(tmp_path, postgres):
    """Text is a number only by the command's --csv grammar (SQLite and DuckDB would read more); a
    PostgreSQL numeric beyond the double range scores as the command reads its digits, aborting nothing."""
    key = tmp_path / "identity.key"
    key.write_bytes(key_bytes(1, [(0.0, 1.0, "a")]))
    texts = ["10-20", "5-", "1.2.3", "1e5e5", "--5", "1e", "2e-", "e5", "1_000", ".e5", "1e+-5", "0x10", "NA", "nan", "",
             " 1.5 ", "+2", ".5", "5.", "1.e5", "-1E-3", "+.25e+2", "\t7\t", "-inf", "Infinity", "1e400"]
    half_tiny = "0." + "0" * 324 + str(5 ** 1075)  # 2^-1075, exactly
    numerics = ["1e400", "-1e400", "1e-400", "-1e-400", "1e-310", half_tiny, half_tiny + "1", str(2 ** 1024 - 2 ** 970),
                str(2 ** 1024 - 2 ** 970 - 1), "-" + str(2 ** 1024), "12345.678", "NaN"]

    def command(values):  # None for a missing row or NaN
        (tmp_path / "d.csv").write_text("a\n" + "".join('"%s"\n' % v for v in values))
        subprocess.run([KARVA, "--csv", "-n", "--round-trip", "--inputs", "a", str(key), str(tmp_path / "d.csv"),
                        str(tmp_path / "o.csv")], check=True, capture_output=True)
        return [None if line in ("", '""') else float(line) for line in (tmp_path / "o.csv").read_text().splitlines()[1:]]

    def run(engine, setup, values):  # the statement after `setup`, in a file, as (id, value) lines
        (tmp_path / engine).write_text(subprocess.run([KARVA, "--emit", "sql", "--sql-engine", engine, "--keep", "id", "--inputs",
                                                       "a", str(key)], check=True, capture_output=True, text=True).stdout)
        (tmp_path / "setup").write_text(setup % ", ".join("(%d, '%s')" % (i, v) for i, v in enumerate(values)) +
                                        ("\\i %s\n" % (tmp_path / engine) if engine == "postgresql" else ""))
        lines = runs(duckdb(str(tmp_path / "setup"), [str(tmp_path / engine)]))[0] if engine == "duckdb" else \
            psql(where, str(tmp_path / "setup")).split()
        return [None if v in ("", "NaN") else float(v) for _, v in sorted((int(i), v) for i, v in (x.split(",") for x in lines))]

    db = sqlite3.connect(":memory:")
    db.execute("CREATE TABLE data (id INTEGER, a TEXT)")
    db.executemany("INSERT INTO data VALUES (?, ?)", enumerate(texts))
    expected = bits(command(texts))
    statement = subprocess.run([KARVA, "--emit", "sql", "--inputs", "a", "--keep", "id", str(key)], check=True,
                               capture_output=True, text=True).stdout
    assert bits(p for _, p in sorted(db.execute(statement).fetchall())) == expected
    assert bits(run("duckdb", "CREATE TABLE data (id INTEGER, a VARCHAR);\nINSERT INTO data VALUES %s;\n", texts)) == expected
    where = postgres()
    got = run("postgresql", "CREATE TABLE data (id integer, a numeric);\nINSERT INTO data VALUES %s;\n", numerics)
    assert bits(got) == bits(command(numerics))


def test_a_view_outlives_its_session_in_every_engine(tmp_path, postgres):
    """--sql-view: the statement as a view, its rows in the order of the kept column, that a later session
    (in PostgreSQL a new connection, its helpers in the view's schema) reads as the statement's rows."""
    key = os.path.join(HERE, "..", "..", "examples", "example.key")
    rows = [(3, 1.0, 2.0, 3.0), (1, -0.5, None, 2.0), (2, 1e300, 1e300, 4.0)]

    def emitted(engine, *view):
        return subprocess.run([KARVA, "--emit", "sql", "--sql-engine", engine, "--keep", "id", "--inputs", "x1,x2,x3", *view,
                               key], check=True, capture_output=True, text=True).stdout

    values = ", ".join("(%d, %s)" % (r[0], ", ".join("NULL" if v is None else repr(v) for v in r[1:])) for r in rows)
    db = sqlite3.connect(":memory:")
    db.executescript("CREATE TABLE data (id INTEGER, x1 REAL, x2 REAL, x3 REAL); INSERT INTO data VALUES %s;" % values +
                     emitted("sqlite", "--sql-view", "v"))
    sqlite = db.execute("SELECT * FROM v").fetchall()
    assert [i for i, _ in sqlite] == [1, 2, 3] and sqlite == sorted(db.execute(emitted("sqlite")).fetchall())
    (tmp_path / "setup").write_text("CREATE TABLE data (id INTEGER, x1 DOUBLE, x2 DOUBLE, x3 DOUBLE);\nINSERT INTO data VALUES "
                                    "%s;\n%s" % (values, emitted("duckdb", "--sql-view", "v")))
    (tmp_path / "q").write_text("SELECT * FROM v;")
    (tmp_path / "statement").write_text(emitted("duckdb"))
    duck = runs(duckdb(str(tmp_path / "setup"), [str(tmp_path / "q"), str(tmp_path / "statement")]))
    assert duck[0] == sorted(duck[1]) and len(duck[0]) == 3
    where = postgres()
    (tmp_path / "view.sql").write_text("CREATE SCHEMA an; CREATE TABLE data (id integer, x1 float8, x2 float8, x3 float8);\n"
                                       "INSERT INTO data VALUES %s;\n%s" % (values, emitted("postgresql", "--sql-view", "an.v")))
    psql(where, str(tmp_path / "view.sql"))
    (tmp_path / "q.sql").write_text("SELECT * FROM an.v;")
    (tmp_path / "statement.sql").write_text(emitted("postgresql"))
    assert psql(where, str(tmp_path / "q.sql")).split() == sorted(psql(where, str(tmp_path / "statement.sql")).split())


def test_keys_of_any_depth_score_in_every_engine(tmp_path, postgres):
    """100 genes of 1 023 symbols, in left- and right-leaning chains, each gene read at the deepest leaf of
    the next: 51 300 steps, run as statements of a bounded depth through temporary tables, in SQLite's
    shell, DuckDB and PostgreSQL; the statement grows linearly with the key; a view of it is refused."""
    def chained(genes):
        symbols = [("+" + ("+a" if j % 2 else "a+") * 510 + "a" + chr(ord("a") + j)).encode("latin-1") for j in range(genes)]
        return struct.pack("<ii", 1, genes) + b"".join(
            struct.pack("<ddi", 0.0, 1.0, len(s)) + s + struct.pack("<d", 0.0) for s in symbols)

    def emitted(key, engine, *view):
        return subprocess.run([KARVA, "--emit", "sql", "--sql-engine", engine, "--keep", "id", "--inputs", "a", *view,
                               str(key)], capture_output=True, text=True)

    for genes in (50, 100):
        (tmp_path / ("k%d.key" % genes)).write_bytes(chained(genes))
    key = tmp_path / "k100.key"
    assert 1.9 < len(emitted(key, "sqlite").stdout) / len(emitted(tmp_path / "k50.key", "sqlite").stdout) < 2.1
    refused = emitted(key, "sqlite", "--sql-view", "v")
    assert refused.returncode == 1 and "too deep for one view: its SQL takes 201 statements" in refused.stderr
    (tmp_path / "d.csv").write_text("id,a\n1,0.5\n2,-0.25\n")
    subprocess.run([KARVA, "--csv", "-n", "--round-trip", "--keep", "id", "--inputs", "a", str(key), str(tmp_path / "d.csv"),
                    str(tmp_path / "o.csv")], check=True, capture_output=True)
    expected = (tmp_path / "o.csv").read_text().split()[1:]
    rows = "CREATE TABLE data (id INTEGER, a DOUBLE PRECISION); INSERT INTO data VALUES (1, 0.5), (2, -0.25);\n"
    (tmp_path / "empty").write_text("")
    where = postgres()

    def scored(engine):  # the three engines side by side: each plans 201 statements on a core of its own
        (tmp_path / engine).write_text(rows + emitted(key, engine).stdout)
        if engine == "sqlite":
            return subprocess.run(["sqlite3", "-csv", ":memory:"], stdin=open(tmp_path / engine), capture_output=True,
                                  text=True, timeout=TIMEOUT).stdout.split()
        if engine == "duckdb":
            return runs(duckdb(str(tmp_path / "empty"), [str(tmp_path / engine)]))[0]
        return psql(where, str(tmp_path / engine)).split()

    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        for engine, got in zip(("sqlite", "duckdb", "postgresql"), pool.map(scored, ("sqlite", "duckdb", "postgresql"))):
            assert got == expected, engine

def bits(values):
    return [None if v is None or v != v else float.hex(v) for v in values]
