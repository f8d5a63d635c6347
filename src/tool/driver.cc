#include "tool/driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "model/apply.h"
#include "model/file.h"
#include "model/key.h"
#include "tool/emit.h"
#include "tool/explain.h"
#include "tool/messages.h"
#include "tool/ordered_work.h"
#include "tool/output.h"
#include "tool/output_file.h"
#include "tool/plot.h"
#include "tool/progress.h"
#include "tool/reader.h"

namespace karva {
namespace {

// Replies that are none of the four letters before the question gives up.
constexpr int MAX_QUESTIONS = 100;

void say(std::FILE* msg, const std::string& text) { std::fputs(text.c_str(), msg); }

// A chunk of the data on its way: lines read, rows parsed, genes applied,
// prediction lines formatted. Chunks are used again once written.
struct Chunk {
  std::uint64_t number = 0;  // in file order
  LineBlock lines;
  bool parsed = false;
  ChunkRead read;
  DataTable table;
  RowExtras extras;
  const double* predictions = nullptr;
  std::vector<char> text;
  std::size_t text_size = 0;
};

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
// end after an answer included, asks again, up to MAX_QUESTIONS times.
// Nothing when input ends first or no answer comes.
std::optional<bool> ask_target(std::FILE* in, std::FILE* msg) {
  for (int asked = 0; asked < MAX_QUESTIONS; ++asked) {
    std::fputs(QUESTION, msg);
    std::fflush(msg);
    const int c = std::getc(in);
    if (c == EOF) {
      say(msg, no_answer_message());
      return std::nullopt;
    }
    if (c == 'Y' || c == 'y') return true;
    if (c == 'N' || c == 'n') return false;
  }
  say(msg, no_answer_message(MAX_QUESTIONS));
  return std::nullopt;
}

// The stream a name stands for; `owner` holds it when the run opened it.
std::FILE* open_stream(const std::string& name, const char* mode, std::FILE* standard, FilePtr& owner) {
  if (name == STANDARD_STREAM) return standard;
  owner.reset(std::fopen(name.c_str(), mode));
  return owner.get();
}

// Whether the output names the key or the data file, by any path or link.
std::string refuse_same_file(const Options& options) {
  struct stat out {};
  if (options.out_path == STANDARD_STREAM || stat(options.out_path.c_str(), &out) != 0) return "";
  if (names_file(out, options.key_path)) return same_file_message(options.out_path, "key", options.key_path);
  if (names_file(out, options.data_path)) return same_file_message(options.out_path, "data", options.data_path);
  return "";
}

int run_job(const Options& options, const Console& console) {
  const bool to_standard_output = options.out_path == STANDARD_STREAM;
  // Predictions on standard output leave it to them alone.
  std::FILE* msg = to_standard_output ? console.err : console.out;

  if (const std::string refusal = refuse_same_file(options); !refusal.empty()) {
    say(msg, refusal);
    return EXIT_FAILED;
  }
  KeyError key_error;
  const std::optional<Key> key = load_key(options.key_path, &key_error);
  if (!key) {
    say(msg, key_error_message(key_error) + solution_unreadable_message());
    return EXIT_FAILED;
  }
  FilePtr data_owner;
  std::FILE* data = open_stream(options.data_path, "rb", console.in, data_owner);
  if (!data) {
    say(msg, cannot_open_for_reading_message(options.data_path, errno));
    return EXIT_FAILED;
  }
  const std::optional<bool> has_target = options.has_target ? options.has_target : ask_target(console.in, msg);
  if (!has_target) return EXIT_FAILED;

  DataReader reader(data, options.data_path);
  reader.set_csv(options.csv, options.delimiter);
  FirstLineError first_line_error;
  std::optional<DataLayout> layout = scan_first_line(reader, &first_line_error);
  std::optional<RowShape> planned;
  if (layout) {
    const ColumnChoice choice{*has_target, options.target_name, options.inputs, options.keep};
    planned = plan_rows(*layout, choice, key->variable_count, options.data_path, &first_line_error);
  }
  if (!planned) {
    // A column named on the command line that is not there is a usage error.
    const bool usage = first_line_error.kind == FirstLineError::Kind::NO_HEADER ||
                       first_line_error.kind == FirstLineError::Kind::UNKNOWN_NAME;
    say(usage ? console.err : msg, first_line_error_message(first_line_error));
    return usage ? EXIT_USAGE : EXIT_FAILED;
  }
  RowShape shape = *planned;
  if (!options.plot_path.empty() && !shape.has_target) {
    say(console.err, plot_needs_target_message());
    return EXIT_USAGE;
  }
  shape.strict = options.strict;
  shape.csv = options.csv;
  shape.delimiter = options.delimiter;
  if (shape.csv) shape.positional = false;
  layout->has_target = shape.has_target;
  // Every tree is built and checked before the output is opened, so a bad
  // key leaves an existing output file as it was.
  PrepareError prepare_error;
  const std::optional<PreparedKey> prepared = prepare_key(*key, &prepare_error);
  if (!prepared) {
    say(msg, prepare_error_message(prepare_error));
    return EXIT_FAILED;
  }
  OutputFile out_file;
  int open_error = 0;
  if (!to_standard_output && !out_file.open(options.out_path, &open_error)) {
    say(msg, cannot_open_for_writing_message(options.out_path, open_error));
    return EXIT_FAILED;
  }
  std::FILE* out = to_standard_output ? console.out : out_file.stream();

  say(msg, reading_message(key->variable_count));
  PredictionWriter writer(out);
  FitData fit;
  if (*has_target) fit.reserve(most_rows(data, key->variable_count + 1));
  Progress progress(console.err, console.err_is_terminal);
  const auto cannot_write = [&] {
    progress.finish();
    // Writes to a closed standard output fail on a stand-in; say why they really do.
    say(msg, cannot_write_message(options.out_path,
                                  to_standard_output && console.out_closed ? EBADF : writer.system_error()));
    return EXIT_FAILED;
  };
  OutputFormat format;
  format.precision = options.precision;
  format.round_trip = options.round_trip;
  format.csv = options.csv;
  format.has_target = shape.has_target;
  format.keep_count = shape.keep_count;
  std::string target_name;
  if (shape.has_target && layout->has_header)
    target_name = options.target_name.empty() ? layout->column_names[0] : options.target_name;
  if (!writer.write_header(prediction_header(*layout, format, target_name, options.keep))) return cannot_write();

  // Chunks after one that stopped the reading are only counted, not parsed.
  std::atomic<std::uint64_t> first_stop{UINT64_MAX};
  const auto work = [&](Chunk& chunk) {
    chunk.parsed = chunk.number <= first_stop.load();
    if (!chunk.parsed) {
      chunk.read = ChunkRead{};
      return;
    }
    chunk.read = parse_block(chunk.lines, shape, chunk.table, &chunk.extras);
    if (chunk.read.end != ReadEnd::END) {
      std::uint64_t seen = first_stop.load();
      while (chunk.number < seen && !first_stop.compare_exchange_weak(seen, chunk.number)) {
      }
    }
    apply_key(*prepared, chunk.table);
    double* predictions = chunk.table.column(prepared->row_width() - 1);
    // A row with a missing value the key reads has no prediction.
    if (!shape.positional)
      for (std::size_t row = 0; row < chunk.table.row_count; ++row)
        if (chunk.extras.missing[row]) predictions[row] = std::numeric_limits<double>::quiet_NaN();
    chunk.predictions = predictions;
    chunk.text_size = format_predictions(chunk.table, chunk.predictions, format, &chunk.extras, chunk.text);
  };
  const int threads = options.jobs > 1 ? options.jobs : 0;
  // Enough chunks in flight to keep every worker busy while the oldest is written.
  const std::size_t most_in_flight = threads == 0 ? 1 : 2 * static_cast<std::size_t>(threads);
  OrderedWork<Chunk> pool(threads, work);
  std::vector<std::unique_ptr<Chunk>> spare;
  ReadTally tally(layout->has_header ? layout->header_lines : 0);
  std::uint64_t handed_in = 0;
  bool input_left = true;
  for (;;) {
    while (input_left && pool.in_flight() < most_in_flight) {
      std::unique_ptr<Chunk> chunk;
      if (spare.empty()) {
        chunk = std::make_unique<Chunk>();
        chunk->table.reserve(options.chunk_rows, prepared->row_width());
      } else {
        chunk = std::move(spare.back());
        spare.pop_back();
      }
      input_left = reader.next_lines(chunk->lines, options.chunk_rows);
      if (!input_left) break;
      chunk->number = handed_in++;
      pool.submit(std::move(chunk));
    }
    if (pool.in_flight() == 0) break;
    std::unique_ptr<Chunk> chunk = pool.next();
    if (!tally.stopped()) {
      if (!writer.write(chunk->text.data(), chunk->text_size)) return cannot_write();
      if (*has_target) fit.keep(chunk->table, chunk->predictions);
    }
    tally.add(chunk->lines, chunk->read, tally.stopped() ? 0 : chunk->table.row_count);
    progress.update(tally.rows_read(), reader.bytes_read());
    spare.push_back(std::move(chunk));
  }
  // Stops that say what stopped them in words of their own.
  const bool strict_stop = tally.end() == ReadEnd::NOT_A_NUMBER || tally.end() == ReadEnd::EXTRA_FIELDS ||
                           tally.end() == ReadEnd::MISSING_VALUE || tally.end() == ReadEnd::UNCLOSED_QUOTE;
  const bool stopped = tally.stopped() && tally.stop_matters();
  progress.finish();
  if (reader.read_failed()) {
    say(msg, cannot_read_message(options.data_path, reader.system_error()));
    return EXIT_FAILED;
  }
  if (strict_stop)
    say(msg, strict_stop_message(tally, options.data_path));
  else if (stopped)
    say(msg, stop_message(tally.stop_line(), options.data_path, tally.end() == ReadEnd::NUL_BYTE,
                          tally.lines_after_stop()));
  say(msg, rows_read_message(tally.rows_read(), options.data_path));
  if (!writer.finish()) return cannot_write();
  if (int commit_error = 0; !to_standard_output && !out_file.commit(&commit_error)) {
    say(msg, cannot_write_message(options.out_path, commit_error));
    return EXIT_FAILED;
  }
  say(msg, predictions_written_message(options.out_path));
  const double fit_r_square = shape.has_target ? r_square(fit) : 0.0;
  if (shape.has_target) say(msg, r_square_message(fit_r_square));
  if (shape.has_target && (options.stats || !options.plot_path.empty())) {
    const FitStatistics statistics = fit_statistics(fit);
    if (options.stats) say(msg, fit_statistics_message(statistics));
    if (!options.plot_path.empty()) {
      const std::string svg = plot_svg(
          fit, statistics, {options.key_path, target_name.empty() ? "target" : target_name, r_square_text(fit_r_square)});
      OutputFile plot;
      int error = 0;
      if (!plot.open(options.plot_path, &error) || std::fwrite(svg.data(), 1, svg.size(), plot.stream()) != svg.size() ||
          !plot.commit(&error)) {
        say(msg, cannot_write_message(options.plot_path, error ? error : errno));
        return EXIT_FAILED;
      }
    }
  }
  if (!options.strict) say(msg, doubts_message(tally));
  return stopped ? EXIT_FAILED : EXIT_OK;
}

}  // namespace

int run(const Options& options, const Console& console) {
  if (options.mode == Options::Mode::EXPLAIN) return explain(options, console.in, console.out);
  if (options.mode == Options::Mode::EMIT) return emit(options, console.in, console.out, console.err);
  return run_job(options, console);
}

}  // namespace karva
