#include "cli/driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <system_error>

#include "cli/formulas.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "serve/server.h"
#include "engine/fit.h"
#include "engine/plan.h"
#include "engine/run.h"
#include "render/messages.h"
#include "render/output.h"
#include "render/plot.h"

namespace karva {
namespace {

// Replies that are none of the four letters before the question gives up.
constexpr int MAX_QUESTIONS = 100;

// The reason the first message could not be written, for the last word.
int message_error = 0;

// Messages are flushed as they are said, so that whoever reads them sees
// each when the run reaches it.
void say(std::FILE* msg, const std::string& text) {
  std::fputs(text.c_str(), msg);
  if (std::fflush(msg) != 0 && message_error == 0) message_error = errno;
}

// Reads single characters until one of Y, y, N, n; anything else, the line
// end after an answer included, asks again, up to MAX_QUESTIONS times.
// Nothing when input ends first or no answer comes.
std::optional<bool> ask_target(std::FILE* in, std::FILE* msg, NoAnswer* err) {
  for (int asked = 0; asked < MAX_QUESTIONS; ++asked) {
    say(msg, QUESTION);
    const int c = std::getc(in);
    if (c == EOF) {
      *err = NoAnswer{0};
      return std::nullopt;
    }
    if (c == 'Y' || c == 'y') return true;
    if (c == 'N' || c == 'n') return false;
  }
  *err = NoAnswer{MAX_QUESTIONS};
  return std::nullopt;
}

// What a run is about and where its words go.
struct RunContext {
  const Options& options;
  const Console& console;
  std::FILE* msg;  // standard error when the predictions go to standard output
  bool to_standard_output;
};

// What the run writes: the predictions' stream (standard output, or the
// output file written beside its place) and the plot, opened together
// before any row is read and moved into place when whole.
struct Outputs {
  OutputFile file;
  std::FILE* stream = nullptr;
  OutputFile plot;
};

bool open_outputs(const RunContext& run, Outputs& out) {
  const auto open = [&](OutputFile& file, const std::string& path) {
    const std::optional<OutputOpenError> error = file.open(path);
    if (error) say(run.msg, output_open_error_message(*error));
    return !error;
  };
  if (!run.to_standard_output && !open(out.file, run.options.out_path)) return false;
  out.stream = run.to_standard_output ? run.console.out : out.file.stream();
  return run.options.plot_path.empty() || open(out.plot, run.options.plot_path);
}

// The bytes of text a run will read, where a file tells: a regular file
// that is not compressed; else 0.
std::uint64_t text_size(const DataSource& data) {
  struct stat file {};
  if (!data.compression.empty() || !data.stream || fstat(fileno(data.stream), &file) != 0 || !S_ISREG(file.st_mode))
    return 0;
  return static_cast<std::uint64_t>(file.st_size);
}

// The predictions' lines on their way to the output, with the progress.
class OutputSink : public LineSink {
 public:
  OutputSink(OutputFormat format, PredictionWriter& writer, OutputFile* file, Progress& progress,
             const DataReader& reader)
      : LineSink(std::move(format)), writer_(writer), file_(file), progress_(progress), reader_(reader) {}

  bool take(const Chunk& chunk) override {
    if (!writer_.write(chunk.out.data(), chunk.out_size)) return false;
    if (file_) file_->write_back_ahead();
    rows_ += static_cast<std::int64_t>(chunk.rows);
    progress_.update(rows_, reader_.bytes_read());
    return true;
  }

 private:
  PredictionWriter& writer_;
  OutputFile* file_;
  Progress& progress_;
  const DataReader& reader_;
  std::int64_t rows_ = 0;
};

// Reads, scores and writes every row.
RunOutcome stream(const RunContext& run, const Plan& plan, PredictionWriter& writer, OutputFile* file) {
  Progress progress(run.console.err, run.console.err_is_terminal,
                    std::chrono::milliseconds(run.options.progress_delay_ms), text_size(*plan.data));
  OutputSink sink(output_format(*plan.columns, run.options.style), writer, file, progress, *plan.data->reader);
  RunOutcome outcome = run_rows(plan, run.options.stream, sink);
  progress.finish();
  return outcome;
}

// Why writing the predictions failed: writes to a closed standard output
// fail on a stand-in, so that is the reason then.
int write_error(const RunContext& run, const PredictionWriter& writer) {
  return run.to_standard_output && run.console.out_closed ? EBADF : writer.system_error();
}

int cannot_write(const RunContext& run, const std::string& path, int system_error) {
  say(run.msg, cannot_write_message(path, system_error));
  return EXIT_FAILED;
}

bool write_plot(const RunContext& run, const FitData& fit, const FitStatistics& statistics, const Plan& plan,
                const std::string& r_square, OutputFile& plot) {
  const std::string& target = plan.columns->target_name;
  const std::string& data = run.options.data_path;
  const std::string svg =
      plot_svg(fit, statistics,
               {run.options.key_path, data == STANDARD_STREAM ? "standard input" : data,
                target.empty() ? "target" : target, r_square, run.options.style.prediction_name});
  int error = 0;
  if (std::fwrite(svg.data(), 1, svg.size(), plot.stream()) == svg.size() && plot.commit(&error)) {
    say(run.msg, plot_written_message(run.options.plot_path));
    return true;
  }
  cannot_write(run, run.options.plot_path, error ? error : errno);
  return false;
}

// R-square and the figures of --stats and --plot, when asked for.
struct Figures {
  RSquare r_square;
  FitStatistics statistics;
};

Figures figures_of(const FitData& fit, bool has_target, bool statistics) {
  Figures f;
  if (has_target) f.r_square = r_square(fit);
  if (statistics) f.statistics = fit_statistics(fit);
  return f;
}

// The closing messages, the output moved into place, the fit and its
// figures, and the doubts; gives the exit status.
int report(const RunContext& run, const Plan& plan, RunOutcome& outcome, PredictionWriter& writer, Outputs& out) {
  const ReadTally& tally = outcome.tally;
  const std::string& data_path = run.options.data_path;
  say(run.msg, read_end_message(outcome, data_path));
  if (outcome.read_failed) return EXIT_FAILED;
  // The output file is not moved into place: the earlier one stays.
  if (!outcome.damage.empty()) {
    say(run.msg, damaged_output_message(run.options.out_path));
    return EXIT_FAILED;
  }
  say(run.msg, rows_read_message(tally.rows_read(), data_path));
  // The fit is worked out while the output reaches the disk.
  std::future<Figures> figures = std::async(std::launch::async | std::launch::deferred, [&] {
    return figures_of(outcome.fit, plan.columns->has_target, run.options.stats || !run.options.plot_path.empty());
  });
  if (outcome.sink_failed || !writer.finish()) return cannot_write(run, run.options.out_path, write_error(run, writer));
  if (int error = 0; !run.to_standard_output && !out.file.commit(&error))
    return cannot_write(run, run.options.out_path, error);
  say(run.msg, predictions_written_message(run.options.out_path));
  const Figures fit = figures.get();
  if (plan.columns->has_target) {
    say(run.msg, r_square_message(fit.r_square.value) + r_square_notes(fit.r_square, outcome.fit.rows_left_out));
    if (!run.options.plot_path.empty() &&
        !write_plot(run, outcome.fit, fit.statistics, plan, r_square_text(fit.r_square.value), out.plot))
      return EXIT_FAILED;
    if (run.options.stats && !run.options.stats_json) say(run.msg, fit_statistics_message(fit.statistics));
  }
  if (plan.columns->numbered_header) say(run.msg, numbered_header_message(data_path));
  if (!run.options.dialect.strict) say(run.msg, doubts_message(tally, plan.columns->dialect.csv));
  // The figures for scripts come last, where a pipeline finds them.
  if (run.options.stats_json) say(run.msg, fit_statistics_json(fit.statistics));
  return outcome.exit_status();
}

int run_job(const Options& options, const Console& console) {
  const bool to_standard_output = options.out_path == STANDARD_STREAM;
  const RunContext run{options, console, to_standard_output ? console.err : console.out, to_standard_output};
  const auto ask = [&](NoAnswer* no_answer) { return ask_target(console.in, run.msg, no_answer); };
  Expected<Plan, PlanError> plan = make_plan(plan_request(options), console.in, ask);
  if (!plan) {
    const bool usage = is_usage_error(plan.error());
    std::FILE* to = usage || spoils_standard_output(plan.error()) ? console.err : run.msg;
    say(spoils_standard_error(plan.error()) ? console.out : to, plan_error_message(plan.error()));
    return usage ? EXIT_USAGE : EXIT_FAILED;
  }
  Outputs out;
  if (!open_outputs(run, out)) return EXIT_FAILED;
  say(run.msg, reading_message(plan->key->key.variable_count));
  PredictionWriter writer(out.stream);
  if (!writer.write_header(prediction_header(*plan->columns, output_format(*plan->columns, options.style))))
    return cannot_write(run, options.out_path, write_error(run, writer));
  RunOutcome outcome = stream(run, *plan, writer, run.to_standard_output ? nullptr : &out.file);
  return report(run, *plan, outcome, writer, out);
}

}  // namespace

int message_write_error() { return message_error; }

namespace {

// The names of a served key's inputs: those of --inputs MODEL=a,b,c for
// its model, else those of the last plain --inputs, else none (its letters).
std::vector<std::string> served_inputs(const Options& options, const std::string& model) {
  std::vector<std::string> every;
  for (const std::string& given : options.inputs_given) {
    const std::size_t eq = given.find('=');
    if (eq == std::string::npos) every = split_names(given);
    else if (given.substr(0, eq) == model) return split_names(given.substr(eq + 1));
  }
  return every;
}

Expected<std::vector<ServedModel>, std::string> served_models(const Options& options) {
  std::vector<ServedModel> models;
  for (const std::string& path : options.key_paths) {
    Expected<ServedModel, std::string> model = load_model(path, served_inputs(options, model_name(path)));
    if (!model) return Unexpected(std::move(model).error());
    models.push_back(std::move(*model));
  }
  return models;
}

// The token in `path`: its first line without its line end (LF or CR LF),
// every byte printable ASCII (a header carries nothing else, and HTTP
// strips trailing white space); nothing, with the message on `err`, when
// it cannot be used.
std::optional<std::string> read_token(const std::string& path, std::FILE* err) {
  constexpr std::size_t MOST_TOKEN_BYTES = 4096;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  struct stat st {};
  if (!file || ::fstat(::fileno(file.get()), &st) != 0) {
    std::fputs(cannot_open_for_reading_message(path, errno).c_str(), err);
    return std::nullopt;
  }
  std::string token;
  for (int c; !S_ISDIR(st.st_mode) && (c = std::fgetc(file.get())) != EOF && c != '\n' && token.size() <= MOST_TOKEN_BYTES;)
    token += static_cast<char>(c);
  if (token.ends_with('\r')) token.pop_back();
  TokenError e{TokenError::Kind::EMPTY, path, 0, MOST_TOKEN_BYTES};
  const auto bad = std::find_if(token.begin(), token.end(), [](char c) { return c <= ' ' || c >= 0x7F; });
  if (S_ISDIR(st.st_mode)) e.kind = TokenError::Kind::FOLDER;
  else if (token.size() > MOST_TOKEN_BYTES) e.kind = TokenError::Kind::TOO_LONG;
  else if (bad != token.end()) e.kind = TokenError::Kind::BAD_BYTE, e.byte = static_cast<unsigned char>(*bad);
  else if (!token.empty()) return token;
  std::fputs(token_error_message(e).c_str(), err);
  return std::nullopt;
}

// karva --serve keyfile...: the keys as models behind HTTP.
int serve_keys(const Options& options, const Console& console) {
  ServeSettings settings = options.serve;
  settings.jobs = options.stream.jobs;
  settings.quiet = options.quiet;
  settings.decoder_memory = options.decoder_memory;
  if (!options.token_file.empty()) {
    const std::optional<std::string> token = read_token(options.token_file, console.err);
    if (!token) return EXIT_FAILED;
    settings.token = *token;
  }
  Expected<std::vector<ServedModel>, std::string> models = served_models(options);
  if (!models) {
    std::fputs(models.error().c_str(), console.err);
    return EXIT_FAILED;
  }
  return serve(*models, settings, console.out, console.err);
}

}  // namespace

int run(const Options& options, const Console& console) {
  try {
    if (options.mode == Options::Mode::SERVE) return serve_keys(options, console);
    if (options.mode == Options::Mode::EXPLAIN) return explain(options, console.in, console.out, console.err);
    if (options.mode == Options::Mode::EMIT) return emit(options, console.in, console.out, console.err);
    return run_job(options, console);
  } catch (const std::system_error& e) {
    if (e.code() != std::errc::resource_unavailable_try_again) throw;
    const bool to_standard_output = options.out_path == STANDARD_STREAM;
    say(to_standard_output ? console.err : console.out, thread_start_message(e.code().message()));
    return EXIT_FAILED;
  }
}

}  // namespace karva
