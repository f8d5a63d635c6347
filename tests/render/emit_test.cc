// The emitted C and Python compute karva's predictions bit for bit.
#include "render/emit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include "support/key_writer.h"
#include "support/process.h"

namespace karva {
namespace {

using testing::run_karva;
using testing::run_shell;
using testing::ScratchDir;

// Every key's source is compiled in one compiler run and imported in one
// interpreter: model_K.c defines karva_predict_K (through a wrapper that
// renames it), model_K.py is a module. Both read rows_K.txt, rows of hex
// floats, and print each prediction as a hex float.
std::string c_main(const std::vector<int>& variables) {
  std::string declarations;
  std::string table = "static double (*const predict[])(const double *) = {";
  std::string counts = "static const int inputs[] = {";
  for (std::size_t k = 0; k < variables.size(); ++k) {
    declarations += "double karva_predict_" + std::to_string(k) + "(const double *x);\n";
    table += "karva_predict_" + std::to_string(k) + ", ";
    counts += std::to_string(variables[k]) + ", ";
  }
  return "#include <stdio.h>\n#include <stdlib.h>\n" + declarations + table + "};\n" + counts + "};\n" +
         "int main(void) {\n"
         "  char name[32], word[64];\n  double x[256];\n  int k, i;\n"
         "  for (k = 0; k < (int)(sizeof inputs / sizeof inputs[0]); ++k) {\n"
         "    FILE *in;\n    sprintf(name, \"rows_%d.txt\", k);\n    in = fopen(name, \"r\");\n"
         "    for (;;) {\n"
         "      for (i = 0; i < inputs[k]; ++i) { if (fscanf(in, \"%63s\", word) != 1) break; x[i] = strtod(word, NULL); }\n"
         "      if (i < inputs[k]) break;\n"
         "      printf(\"%a\\n\", predict[k](x));\n"
         "    }\n    fclose(in);\n  }\n  return 0;\n}\n";
}

const char* const PYTHON_MAIN =
    "import importlib, sys\n"
    "for k in range(int(sys.argv[1])):\n"
    "    model = importlib.import_module('model_%d' % k)\n"
    "    rows = [[float.fromhex(w) for w in line.split()] for line in open('rows_%d.txt' % k)]\n"
    "    # Rows at once give what each row alone gives.\n"
    "    for row, together in zip(rows, model.predict(rows)):\n"
    "        alone = model.predict(row)\n"
    "        assert float.hex(alone) == float.hex(together), (row, alone, together)\n"
    "        print(float.hex(alone))\n";


// Loads each rows_K.txt into an SQLite table of REAL columns (NaN as NULL,
// a missing value) and prints what model_K.sql gives for every row.
const char* const SQL_MAIN =
    "import sqlite3, sys\n"
    "for k in range(int(sys.argv[1])):\n"
    "    rows = [[None if 'nan' in w else float.fromhex(w) for w in line.split()] for line in open('rows_%d.txt' % k)]\n"
    "    db = sqlite3.connect(':memory:')\n"
    "    names = ['x%d' % m for m in range(len(rows[0]))]\n"
    "    db.execute('CREATE TABLE data (%s)' % ', '.join(n + ' REAL' for n in names))\n"
    "    db.executemany('INSERT INTO data VALUES (%s)' % ', '.join('?' * len(names)), rows)\n"
    "    for rowid, p in sorted(db.execute(open('model_%d.sql' % k).read())):\n"
    "        print('nan' if p is None else float.hex(p))\n";

// The same bits, but that a REAL column holds -0.0 as 0.0.
bool same_bits_but_zero_sign(double got, double expected) {
  return testing::same_bits(got, expected) || (got == 0.0 && expected == 0.0);
}

TEST(Emit, CPythonAndSqlMatchKarvaBitForBit) {
  constexpr double infinity = std::numeric_limits<double>::infinity();
  const double nasty[] = {0.0,     -0.0, 1.0,   -1.0, 0.5,     -0.5, 2.5,  -2.5,   3.0, 0.49999999999999994,
                          1e300, -1e-300, 5e-324, 710.0, -745.5, infinity, -infinity, NAN};
  std::mt19937_64 rng(15);
  // Every function alone, on every pair of nasty values; then random
  // chained keys over every symbol, up to a few hundred symbols.
  std::vector<std::pair<int, std::vector<testing::GeneSpec>>> keys;
  // ^a-bb: a computed NaN (inf - inf) as the exponent of ±1, which no input
  // can give where a NaN input makes the row missing.
  for (const char* gene : {"+ab", "-ab", "*ab", "/ab", "^ab", "^a-bb", "Aa", "Ca", "Da", "Ea", "La", "Qa", "Ra", "Sa"})
    keys.push_back({2, {{0.25, -1.5, gene, 0.0}}});
  const std::string functions = testing::operator_symbols();
  // Constants of every kind: 17 digits, subnormal, huge, infinite.
  const double constants[] = {0.1, 1.0 / 3.0, -2.9999999999999996, 5e-320, 1.7976931348623157e308, infinity, 0.0};
  for (int variables : {1, 3, 5, 4})
    for (int max_head : {30, 150}) {
      auto genes = testing::random_genes(rng, variables, 1 + static_cast<int>(rng() % 4), max_head, functions + "?");
      // A gene whose root is a terminal is too plain to tell anything.
      for (auto& g : genes) {
        g.symbols[0] = functions[rng() % functions.size()];
        if (rng() % 3 == 0) g.slope = constants[rng() % std::size(constants)];
      }
      keys.push_back({variables, genes});
    }
  ScratchDir dir;
  std::vector<int> inputs;
  std::vector<std::vector<double>> expected;
  std::vector<std::vector<double>> expected_sql;  // NaN where a row misses an input
  std::string c_files;
  for (std::size_t k = 0; k < keys.size(); ++k) {
    const auto& [variables, genes] = keys[k];
    const std::string name = std::to_string(k);
    dir.write("k" + name + ".key", testing::key_bytes(variables, genes));
    const auto key = read_key(testing::key_bytes(variables, genes), "k.key");
    ASSERT_TRUE(key);
    const auto prepared = prepare_key(*key);
    ASSERT_TRUE(prepared);

    constexpr std::size_t PAIRS = std::size(nasty) * std::size(nasty);
    constexpr std::size_t ROWS = PAIRS + 100;
    DataTable table;
    table.reserve(ROWS, prepared->row_width());
    table.row_count = ROWS;
    std::string rows;
    char word[64];
    for (std::size_t i = 0; i < ROWS; ++i) {
      for (int m = 0; m < variables; ++m) {
        const std::size_t pick = m == 0 ? i % std::size(nasty) : i / std::size(nasty);
        const double v = i < PAIRS && m < 2 ? nasty[pick]
                         : rng() % 3 == 0   ? nasty[rng() % std::size(nasty)]
                                            : std::uniform_real_distribution<double>(-20, 20)(rng);
        table.column(m)[i] = v;
        std::snprintf(word, sizeof word, "%a ", v);
        rows += word;
      }
      rows += "\n";
    }
    dir.write("rows_" + name + ".txt", rows);
    const double* predictions = apply_key(*prepared, table);
    expected.emplace_back(predictions, predictions + ROWS);
    expected_sql.push_back(expected.back());
    for (std::size_t i = 0; i < ROWS; ++i)
      for (int m = 0; m < variables; ++m)
        if (std::isnan(table.column(m)[i])) expected_sql.back()[i] = NAN;
    inputs.push_back(variables);
    std::string names;
    for (int m = 0; m < variables; ++m) names += (m ? ",x" : "x") + std::to_string(m);
    for (const std::string language : {"c", "python", "sql"}) {
      const testing::Outcome emitted = run_karva(dir, {"--emit", language, "--inputs", names, "k" + name + ".key"});
      ASSERT_EQ(emitted.status, 0) << emitted.err;
      dir.write("model_" + name + (language == "c" ? ".c" : language == "sql" ? ".sql" : ".py"), emitted.out);
    }
    dir.write("w_" + name + ".c", "#define karva_predict karva_predict_" + name + "\n#include \"model_" + name + ".c\"\n");
    c_files += " w_" + name + ".c";
  }
  dir.write("main.c", c_main(inputs));
  dir.write("main.py", PYTHON_MAIN);
  dir.write("sql.py", SQL_MAIN);
  const std::string count = std::to_string(keys.size());
  for (const std::string language : {"c", "python", "sql"}) {
    const testing::Outcome ran =
        language == "c"        ? run_shell(dir, "cc -std=c99 -O2 -ffp-contract=off -Wall -Wextra -Werror -o p" +
                                                    c_files + " main.c -lm && ./p")
        : language == "python" ? run_shell(dir, "python3 main.py " + count)
                               : run_shell(dir, std::string(KARVA_TEST_PYTHON) + " sql.py " + count);
    ASSERT_EQ(ran.status, 0) << language << ran.err;
    std::istringstream out(ran.out);
    std::string text;
    for (std::size_t k = 0; k < keys.size(); ++k)
      for (std::size_t i = 0; i < expected[k].size(); ++i) {
        ASSERT_TRUE(out >> text) << language;
        const double got = std::strtod(text.c_str(), nullptr);
        // A NaN input is a missing value to every emitted language.
        const bool same = language == "sql" ? same_bits_but_zero_sign(got, expected_sql[k][i])
                                            : testing::same_bits(got, expected_sql[k][i]);
        ASSERT_TRUE(same) << language << " " << keys[k].second[0].symbols << " row " << i << ": " << text
                          << " against " << expected_sql[k][i];
      }
  }
}

// Runs each mK.sql, one statement, over a table and a column named as nK.txt
// says; prints the rows it gives.
const char* const SQL_NAMES =
    "import sqlite3, sys\n"
    "for k in sys.argv[1:]:\n"
    "    name = open('n%s.txt' % k, encoding='utf-8', newline='').read()\n"
    "    quoted = chr(34) + name.replace(chr(34), 2 * chr(34)) + chr(34)\n"
    "    db = sqlite3.connect(':memory:')\n"
    "    db.execute('CREATE TABLE %s (%s REAL, b REAL)' % (quoted, quoted))\n"
    "    db.execute('INSERT INTO %s VALUES (6, 3)' % quoted)\n"
    "    print(db.execute(open('m%s.sql' % k, encoding='utf-8', newline='').read()).fetchall())\n";

std::string key_bytes_file(const ScratchDir& dir, const std::string& key) { return dir.write("sql.key", key); }

// Names and paths from the input never become code: the Python defines only
// its own functions, the C compiles cleanly and defines karva_predict alone,
// the SQL is one statement that reads the columns so named.
TEST(Emit, HostileNamesStayInTheirComments) {
  const char* const names[] = {"x\rprint('PWNED')", "x\nimport os", "x\r\n#", "x\xe2\x80\xa8y", "x\xe2\x80\xa9y",
                               "*/ int evil; /*", "x*\\\r/ int evil;", "\"\"\"", "\\", "x\x0c\x0b\x1b[2J"};
  ScratchDir dir;
  const std::string key = testing::key_bytes(2, {{0.0, 1.0, "/ab", 0.0}});
  std::string c_files;
  std::string python_files;
  std::string sql_files;
  for (std::size_t i = 0; i < std::size(names); ++i) {
    const std::string name = names[i];
    // SQL: the name as a column of a table of that name, kept beside the prediction.
    const testing::Outcome sql =
        run_karva(dir, {"--emit", "sql", "--inputs", name + ",b", "--keep", name, "--sql-table", name, key_bytes_file(dir, key)});
    ASSERT_EQ(sql.status, 0) << sql.err;
    dir.write("m" + std::to_string(i) + ".sql", sql.out);
    dir.write("n" + std::to_string(i) + ".txt", name);
    sql_files += " " + std::to_string(i);
    const std::string k = std::to_string(i);
    // Through --inputs, a header name and the key's own file name.
    std::string file_name = name;
    std::replace(file_name.begin(), file_name.end(), '/', '_');
    const std::string key_file = "k" + k + (i % 2 ? file_name : "") + ".key";
    dir.write(key_file, key);
    dir.write("d" + k + ".csv", "y,\"" + (name.find('"') == std::string::npos ? name : "q") + "\",b\n1,2,3\n");
    for (const std::string language : {"c", "python"}) {
      for (const std::vector<std::string>& source : {std::vector<std::string>{"--inputs", name + ",b", key_file},
                                                     std::vector<std::string>{"--csv", "-y", key_file, "d" + k + ".csv"}}) {
        std::vector<std::string> args = {"--emit", language};
        args.insert(args.end(), source.begin(), source.end());
        const testing::Outcome o = run_karva(dir, args);
        ASSERT_EQ(o.status, 0) << o.err;
        const std::string file = "m" + k + "_" + std::to_string(source.size()) + (language == "c" ? ".c" : ".py");
        dir.write(file, o.out);
        (language == "c" ? c_files : python_files) += " " + file;
      }
    }
  }
  // One compiler run for every C file, one interpreter for every module.
  const testing::Outcome ran = run_shell(
      dir, "{ cc -std=c99 -Wall -Wextra -Werror -c" + c_files + " && nm --defined-only -g *.o | awk 'NF == 3 {print $3}' && "
           "python3 -c \"import ast, sys; [print(*[getattr(n, 'name', 'import') for n in "
           "ast.parse(open(f, encoding='utf-8').read()).body]) for f in sys.argv[1:]]\"" + python_files + " && " +
           KARVA_TEST_PYTHON + " -c \"" + SQL_NAMES + "\"" + sql_files + "; }");
  ASSERT_EQ(ran.status, 0) << ran.err;
  std::string expected;
  for (std::size_t i = 0; i < 2 * std::size(names); ++i) expected += "karva_predict\n";
  // The names also stand, as strings, in INPUTS (an assignment: "import" here).
  for (std::size_t i = 0; i < 2 * std::size(names); ++i) expected += "import karva_div import predict predict_row\n";
  for (std::size_t i = 0; i < std::size(names); ++i) expected += "[(6.0, 2.0)]\n";
  EXPECT_EQ(ran.out, expected);
}

TEST(Emit, InputsNameTheParameters) {
  ScratchDir dir;
  dir.write("k.key", testing::key_bytes(2, {{0.0, 1.0, "+ab", 0.0}}));
  const testing::Outcome o = run_karva(dir, {"--emit", "python", "--inputs", "age,height", "k.key"});
  EXPECT_NE(o.out.find("# Inputs, in this order: a = age, b = height\n"), std::string::npos) << o.out;
}

TEST(Emit, AKeyThatCannotBeBuiltIsRefused) {
  ScratchDir dir;
  dir.write("k.key", testing::key_bytes(1, {{0.0, 1.0, "+a", 0.0}}));
  const testing::Outcome o = run_karva(dir, {"--emit", "c", "k.key"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(o.err, "pos=2, len=2, count=1\nERROR!\n"
                   "Gene 1 of the key cannot be built: its symbols run out before the tree is complete.\n");
}

}  // namespace
}  // namespace karva
