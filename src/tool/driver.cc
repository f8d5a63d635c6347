#include "tool/driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>

#include "model/apply.h"
#include "model/file.h"
#include "model/key.h"
#include "tool/explain.h"
#include "tool/output.h"
#include "tool/progress.h"
#include "tool/reader.h"

namespace karva {
namespace {

// The most rows a regular file can hold: every value takes at least one
// character and one delimiter or line end. Reserved room for that many rows
// costs address space only; past this cap the vectors grow as they go.
constexpr std::uint64_t MAX_RESERVED_ROWS = std::uint64_t{1} << 26;

std::size_t most_rows(std::FILE* data, int values_per_row) {
  struct stat st {};
  if (fstat(fileno(data), &st) != 0 || !S_ISREG(st.st_mode) || values_per_row <= 0) return 0;
  const std::uint64_t bound = static_cast<std::uint64_t>(st.st_size) / (2 * static_cast<std::uint64_t>(values_per_row));
  return static_cast<std::size_t>(std::min(bound + 1, MAX_RESERVED_ROWS));
}

// Reads single characters until one of Y, y, N, n; anything else, the line
// end after an answer included, asks again. Nothing when input ends first.
std::optional<bool> ask_target(std::FILE* in, std::FILE* msg) {
  for (;;) {
    std::fputs(QUESTION, msg);
    std::fflush(msg);
    const int c = std::getc(in);
    if (c == EOF) {
      std::fprintf(msg, "\nThe question got no answer: standard input ended.\n");
      return std::nullopt;
    }
    if (c == 'Y' || c == 'y') return true;
    if (c == 'N' || c == 'n') return false;
  }
}

// The stream a name stands for; `owner` holds it when the run opened it.
std::FILE* open_stream(const std::string& name, const char* mode, std::FILE* standard, FilePtr& owner) {
  if (name == STANDARD_STREAM) return standard;
  owner.reset(std::fopen(name.c_str(), mode));
  return owner.get();
}

void report_stop(const DataReader& reader, ReadEnd end, std::FILE* msg) {
  const char* why = end == ReadEnd::NUL_BYTE ? "it holds a zero byte" : "it holds too few values";
  std::fprintf(msg, "Reading stopped at line %lld of %s, as %s; %lld lines after it were not read.\n",
               static_cast<long long>(reader.stop_line()), reader.name().c_str(), why,
               static_cast<long long>(reader.lines_after_stop()));
}

int run_job(const Options& options, const Console& console) {
  const bool to_standard_output = options.out_path == STANDARD_STREAM;
  // Predictions on standard output leave it to them alone.
  std::FILE* msg = to_standard_output ? console.err : console.out;

  const std::optional<Key> key = load_key(options.key_path, msg);
  if (!key) {
    std::fprintf(msg, "Error reading solution file.\n");
    return EXIT_FAILED;
  }
  FilePtr data_owner;
  std::FILE* data = open_stream(options.data_path, "rb", console.in, data_owner);
  if (!data) {
    std::fprintf(msg, "Cannot open file %s for reading.\n", options.data_path.c_str());
    return EXIT_FAILED;
  }
  FilePtr out_owner;
  std::FILE* out = open_stream(options.out_path, "wb", console.out, out_owner);
  if (!out) {
    std::fprintf(msg, "Cannot open file %s for writing.\n", options.out_path.c_str());
    return EXIT_FAILED;
  }
  const std::optional<bool> has_target = options.has_target ? options.has_target : ask_target(console.in, msg);
  if (!has_target) return EXIT_FAILED;

  DataReader reader(data, options.data_path, *has_target, key->variable_count);
  DataTable table;
  if (read_data(reader, table, *has_target, key->variable_count, msg) != FirstLine::OK) return EXIT_FAILED;
  // Every tree is built and checked before the first row is read, so a bad
  // key leaves the output file empty.
  const std::optional<PreparedKey> prepared = prepare_key(*key, msg);
  if (!prepared) return EXIT_FAILED;

  std::fprintf(msg, "Reading %d input variables per row.\n", key->variable_count);
  table.reserve(ROWS_PER_CHUNK, prepared->row_width());
  PredictionWriter writer(out, options.precision);
  FitData fit;
  if (*has_target) fit.reserve(most_rows(data, key->variable_count + 1));
  Progress progress(console.err, console.err_is_terminal);
  const auto cannot_write = [&] {
    progress.finish();
    std::fprintf(msg, "Cannot write file %s.\n", options.out_path.c_str());
    return EXIT_FAILED;
  };
  if (!writer.write_header(table)) return cannot_write();
  ReadEnd end = ReadEnd::MORE;
  while (end == ReadEnd::MORE) {
    end = reader.read_chunk(table);
    apply_key(*prepared, table);
    if (!writer.write_predictions(table)) return cannot_write();
    if (*has_target) fit.keep(table);
    progress.update(reader.rows_read(), reader.bytes_read());
  }
  bool stopped = false;
  if (end == ReadEnd::SHORT_LINE || end == ReadEnd::NUL_BYTE) stopped = reader.stop_matters();
  progress.finish();
  if (end == ReadEnd::READ_ERROR || reader.read_failed()) {
    std::fprintf(msg, "Cannot read file %s.\n", options.data_path.c_str());
    return EXIT_FAILED;
  }
  if (stopped) report_stop(reader, end, msg);
  std::fprintf(msg, "%lld rows are read from %s. \n", static_cast<long long>(reader.rows_read()),
               options.data_path.c_str());
  if (!writer.finish()) return cannot_write();
  if (out_owner && std::fclose(out_owner.release()) != 0) return cannot_write();
  std::fprintf(msg, "Predictions are written to %s. \n", options.out_path.c_str());
  if (*has_target) report_fit(fit, msg);
  return stopped ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

int run(const Options& options, const Console& console) {
  if (options.mode == Options::Mode::EXPLAIN) return explain(options, console.out);
  return run_job(options, console);
}

}  // namespace karva
