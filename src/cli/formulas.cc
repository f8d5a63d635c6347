#include "cli/formulas.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "engine/collect.h"
#include "engine/plan.h"
#include "engine/run.h"
#include "render/emit.h"
#include "render/emit_latex.h"
#include "render/emit_xlsx.h"
#include "render/emit_onnx.h"
#include "render/emit_sql.h"
#include "render/explain.h"
#include "render/messages.h"
#include "text/digest.h"

namespace karva {
namespace {

// The inputs' names for formulas, as the plan gives them; a note on `msg`
// when the data has none that fit. Nothing, with the message on `msg` (or
// `err` for a usage error) and the exit status in `*status`, when the
// data cannot be read or a named column is not there.
std::optional<std::vector<std::string>> formula_names(const Options& options, int variable_count, std::FILE* in,
                                                      std::FILE* msg, std::FILE* err, int* status) {
  Expected<InputNames, PlanError> names = plan_input_names(plan_request(options), variable_count, in);
  if (!names) {
    const bool usage = is_usage_error(names.error());
    std::fputs(plan_error_message(names.error()).c_str(), usage ? err : msg);
    *status = usage ? EXIT_USAGE : EXIT_FAILED;
    return std::nullopt;
  }
  if (names->note) std::fputs(names_note_message(*names->note).c_str(), msg);
  return std::move(names->names);
}

// The key for formulas or code; nothing, with its message on `msg`, when
// it cannot be read (or, with `prepare`, built).
std::optional<LoadedKey> formula_key(const Options& options, bool prepare, std::FILE* msg) {
  Expected<LoadedKey, PlanError> loaded = plan_key(options.key_path, prepare);
  if (!loaded) {
    std::fputs(plan_error_message(loaded.error()).c_str(), msg);
    return std::nullopt;
  }
  return std::move(*loaded);
}

// karva --emit onnx: the model, built whole before a byte is written.
int emit_model(const Options& options, const LoadedKey& loaded, const std::vector<std::string>& names,
               std::FILE* out, std::FILE* msg) {
  const Expected<std::string, OnnxError> model =
      emit_onnx(loaded.key, *loaded.prepared,
                {options.key_path, sha256_hex(loaded.bytes), names, options.style.prediction_name, KARVA_VERSION});
  if (!model) {
    std::fputs(onnx_error_message(model.error()).c_str(), msg);
    return EXIT_USAGE;
  }
  // A failed write is reported when standard output is closed.
  std::fwrite(model->data(), 1, model->size(), out);
  return EXIT_OK;
}

// The rows of the data file, read and scored as the run does, for a
// workbook; a target only when -y or --target names one (no question is
// asked). EXIT_OK, or the status after the message.
int workbook_rows(const Options& options, std::FILE* in, std::FILE* msg, WorkbookRows& rows, WorkbookRequest& request) {
  PlanRequest plan_asked = plan_request(options);
  plan_asked.outputs.clear();
  plan_asked.needs_target.clear();
  const Expected<Plan, PlanError> plan = make_plan(plan_asked, in, [](NoAnswer*) { return std::optional<bool>(false); });
  if (!plan) {
    std::fputs(plan_error_message(plan.error()).c_str(), msg);
    return is_usage_error(plan.error()) ? EXIT_USAGE : EXIT_FAILED;
  }
  const ColumnPlan& columns = *plan->columns;
  rows.width = plan->key->prepared->row_width();
  RowValuesSink sink(rows.width, {columns.has_target, MOST_SHEET_ROWS, {}});
  const RunOutcome outcome = run_rows(*plan, options.stream, sink);
  if (sink.too_many) {
    std::fputs(too_many_sheet_rows_message(MOST_SHEET_ROWS).c_str(), msg);
    return EXIT_FAILED;
  }
  if (outcome.read_failed || outcome.stopped() || outcome.sink_failed) {
    std::fputs(read_end_message(outcome, options.data_path).c_str(), msg);
    return EXIT_FAILED;
  }
  rows.count = sink.predictions.size();
  rows.values = std::move(sink.values);
  rows.missing = std::move(sink.missing);
  rows.predictions = std::move(sink.predictions);
  rows.targets = std::move(sink.targets);
  if (columns.has_target) {
    request.target_name = columns.target_name.empty() ? "target" : columns.target_name;
    rows.r_square = r_square(outcome.fit).value;
  }
  return EXIT_OK;
}

// karva --emit xlsx: the workbook, built whole before a byte is written.
int emit_workbook(const Options& options, const LoadedKey& loaded, const std::vector<std::string>& names,
                  std::FILE* in, std::FILE* out, std::FILE* msg) {
  const Key& key = loaded.key;
  WorkbookRequest request{options.key_path, sha256_hex(loaded.bytes), input_names_or_letters(names, key.variable_count),
                          options.style.prediction_name, "", options.sheet_rows, explain_formulas(key, names, nullptr)};
  WorkbookRows rows;
  if (!options.data_path.empty())
    if (const int status = workbook_rows(options, in, msg, rows, request); status != EXIT_OK) return status;
  // A failed write is reported when standard output is closed.
  const auto write = [out](const char* bytes, std::size_t size) { return std::fwrite(bytes, 1, size, out) == size; };
  if (const std::optional<WorkbookError> error = emit_xlsx(key, request, rows, write)) {
    std::fputs(workbook_error_message(*error).c_str(), msg);
    return EXIT_FAILED;
  }
  return EXIT_OK;
}

}  // namespace

int explain(const Options& options, std::FILE* in, std::FILE* out, std::FILE* err) {
  const std::optional<LoadedKey> loaded = formula_key(options, false, out);
  if (!loaded) return EXIT_FAILED;
  const Key& key = loaded->key;
  const int n = key.variable_count;
  std::fputs(explain_heading_message(options.key_path, key).c_str(), out);
  if (n < 0 || n > MAX_TERMINAL_LETTERS) {
    std::fputs(too_many_inputs_message().c_str(), out);
    return EXIT_FAILED;
  }
  int status = EXIT_OK;
  const std::optional<std::vector<std::string>> names = formula_names(options, n, in, out, err, &status);
  if (status == EXIT_USAGE) return status;
  bool all_built = true;
  std::fputs(explain_formulas(key, names.value_or(std::vector<std::string>{}), &all_built).c_str(), out);
  // Last, so that the lines before stay where scripts find them.
  std::fputs(key_digest_message(sha256_hex(loaded->bytes)).c_str(), out);
  return all_built ? status : EXIT_FAILED;
}

// karva --emit LANG keyfile [indata]: the key as source code or a model.
int emit(const Options& options, std::FILE* in, std::FILE* out, std::FILE* msg) {
  if (emit_is_binary(options.emit_language) && isatty(fileno(out)) == 1) {
    std::fputs(binary_on_terminal_message(options.emit_language).c_str(), msg);
    return EXIT_FAILED;
  }
  const std::optional<LoadedKey> loaded = formula_key(options, true, msg);
  if (!loaded) return EXIT_FAILED;
  int status = EXIT_OK;
  const std::optional<std::vector<std::string>> names =
      formula_names(options, loaded->key.variable_count, in, msg, msg, &status);
  if (!names) return status;
  if (options.emit_language == "onnx") return emit_model(options, *loaded, *names, out, msg);
  if (options.emit_language == "xlsx") return emit_workbook(options, *loaded, *names, in, out, msg);
  if (options.emit_language == "latex") {
    std::fputs(emit_latex(options.key_path, sha256_hex(loaded->bytes), loaded->key, *names).c_str(), out);
    return EXIT_OK;
  }
  if (options.emit_language != "sql") {
    std::fputs(emit_source(options.emit_language, options.key_path, loaded->key, *loaded->prepared, *names,
                           options.emit_name)
                   .c_str(),
               out);
    return EXIT_OK;
  }
  const Expected<std::string, SqlError> sql =
      emit_sql(options.key_path, loaded->key, *loaded->prepared,
               {options.sql_table, *names, options.keep, options.style.prediction_name, options.sql_engine,
                options.sql_view});
  if (!sql) {
    std::fputs(sql_error_message(sql.error()).c_str(), msg);
    return EXIT_FAILED;
  }
  std::fputs(sql->c_str(), out);
  return EXIT_OK;
}

}  // namespace karva
