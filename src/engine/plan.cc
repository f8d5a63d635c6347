#include "engine/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace karva {
namespace {

// The bytes of the key file, as many as a key can use. Nothing, with the
// reason, when it does not open or read.
std::optional<std::string> key_file_bytes(const std::string& path, KeyError* err) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *err = KeyError{KeyError::Kind::CANNOT_OPEN, path, 0, 0, errno};
    return std::nullopt;
  }
  std::string bytes(MAX_KEY_BYTES, '\0');
  std::size_t size = 0;
  int failure = 0;
  while (size < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + size, bytes.size() - size);
    if (n > 0) {
      size += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      failure = n < 0 ? errno : 0;
      break;
    }
  }
  ::close(fd);
  if (failure != 0) {
    *err = KeyError{KeyError::Kind::READ_FAILED, path, 0, 0, failure};
    return std::nullopt;
  }
  bytes.resize(size);
  return bytes;
}

template <typename E>
bool fail(PlanError* err, E error) {
  if (err) *err = std::move(error);
  return false;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool prepare(LoadedKey& key, PlanError* err) {
  PrepareError prepare_error;
  key.prepared = prepare_key(key.key, &prepare_error);
  return key.prepared || fail(err, prepare_error);
}

}  // namespace

bool names_file(const struct stat& file, const std::string& path) {
  struct stat named {};
  return path != STANDARD_STREAM && stat(path.c_str(), &named) == 0 && same_file(file, named);
}

std::string settle_dialect(DialectChoice& choice) {
  const char d = choice.delimiter;
  if (choice.said_delimiter && (d == '\0' || d == '"' || d == '\n' || d == '\r'))
    return "--delimiter takes one character or \"tab\"";
  // A delimiter that can be part of a number would cut numbers apart.
  if (std::string_view("0123456789.+-eE").find(d) != std::string_view::npos)
    return std::string("--delimiter cannot be \"") + d + "\", which can be part of a number";
  if (choice.decimal != '.' && choice.decimal != ',') return "--decimal takes \",\" or \".\"";
  if (choice.decimal == ',') {
    choice.csv = true;
    if (!choice.said_delimiter) choice.delimiter = ';';
    if (choice.delimiter == ',') return "--decimal , needs a delimiter other than \",\"";
  }
  if (choice.said_delimiter && !choice.csv) return "--delimiter needs --csv";
  return "";
}

bool is_usage_error(const PlanError& err) {
  if (const auto* columns = std::get_if<ColumnError>(&err)) return columns->usage();
  return std::holds_alternative<NoTarget>(err);
}

std::optional<std::vector<std::string>> plan_input_names(const PlanRequest& request, int variable_count,
                                                         std::FILE* standard_input, std::optional<NamesNote>* note,
                                                         PlanError* err) {
  const ColumnChoice& choice = request.columns;
  if (request.data_path.empty()) {
    if (choice.inputs.empty() || static_cast<int>(choice.inputs.size()) == variable_count) return choice.inputs;
    return fail(err, ColumnError::mismatch("", variable_count, static_cast<std::int64_t>(choice.inputs.size()))),
           std::nullopt;
  }
  std::optional<DataSource> data = open_data(request.data_path, standard_input, request.dialect, err);
  if (!data) return std::nullopt;
  FirstLineError first_line_error;
  std::optional<DataLayout> layout = scan_first_record(*data->reader, request.header, &first_line_error);
  if (!layout && first_line_error.kind == FirstLineError::Kind::READ_FAILED)
    return fail(err, first_line_error), std::nullopt;
  if (!layout && first_line_error.kind == FirstLineError::Kind::NO_LINE) return std::vector<std::string>{};
  if (!choice.named() && (!layout || !layout->has_header)) {
    *note = NamesNote{NamesNote::Kind::NO_HEADER, request.data_path, 0, variable_count};
    return std::vector<std::string>{};
  }
  if (!layout) return fail(err, first_line_error), std::nullopt;
  data->layout = std::move(*layout);
  PlanError column_error;
  std::optional<ColumnPlan> columns =
      plan_data_columns(*data, choice, request.dialect, variable_count, &column_error);
  if (columns) return columns->input_names;
  const auto* mismatch = std::get_if<ColumnError>(&column_error);
  if (mismatch && mismatch->kind == ColumnError::Kind::MISMATCH && choice.inputs.empty()) {
    *note = NamesNote{NamesNote::Kind::MISFIT, request.data_path, data->layout.column_count, variable_count};
    return std::vector<std::string>{};
  }
  return fail(err, column_error), std::nullopt;
}

std::optional<OutputError> check_outputs(const PlanRequest& request, std::FILE* standard_input) {
  const auto& outputs = request.outputs;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const OutputTarget& out = outputs[i];
    struct stat st {};
    if (out.path == STANDARD_STREAM || stat(out.path.c_str(), &st) != 0) continue;
    if (names_file(st, request.key_path)) return OutputError{out.path, out.role, "key", request.key_path};
    if (names_file(st, request.data_path)) return OutputError{out.path, out.role, "data", request.data_path};
    // Standard input as the data: the file it reads, by whatever name.
    struct stat in {};
    if (request.data_path == STANDARD_STREAM && standard_input && fstat(fileno(standard_input), &in) == 0 &&
        S_ISREG(in.st_mode) && same_file(in, st))
      return OutputError{out.path, out.role, "data", STANDARD_STREAM};
    for (std::size_t j = 0; j < i; ++j)
      if (names_file(st, outputs[j].path)) return OutputError{out.path, out.role, outputs[j].role, outputs[j].path};
  }
  return std::nullopt;
}

std::optional<LoadedKey> plan_key(const std::string& path, bool prepare_genes, PlanError* err) {
  KeyError key_error;
  std::optional<std::string> bytes = key_file_bytes(path, &key_error);
  if (!bytes) return fail(err, key_error), std::nullopt;
  return plan_key_from_bytes(path, std::move(*bytes), prepare_genes, err);
}

std::optional<LoadedKey> plan_key_from_bytes(const std::string& path, std::string bytes, bool prepare_genes,
                                             PlanError* err) {
  KeyError key_error;
  std::optional<Key> key = read_key(bytes, path, &key_error);
  if (!key) return fail(err, key_error), std::nullopt;
  LoadedKey loaded{path, std::move(bytes), std::move(*key), std::nullopt};
  if (prepare_genes && !prepare(loaded, err)) return std::nullopt;
  return loaded;
}

std::optional<DataSource> open_data(const std::string& path, std::FILE* standard_input, const TableDialect& dialect,
                                    PlanError* err) {
  DataSource data;
  data.path = path;
  std::FILE* in = standard_input;
  if (path != STANDARD_STREAM || !in) {
    data.owned.reset(std::fopen(path.c_str(), "rb"));
    if (!data.owned) return fail(err, DataOpenError{path, errno}), std::nullopt;
    in = data.owned.get();
  }
  data.stream = in;
  data.reader = std::make_unique<DataReader>(text_source(stream_source(in)), path, dialect.csv, dialect.syntax.delimiter);
  return data;
}

std::optional<ColumnPlan> plan_data_columns(const DataSource& data, const ColumnChoice& choice,
                                            const TableDialect& dialect, int variable_count, PlanError* err) {
  ColumnError column_error;
  std::optional<ColumnPlan> columns = plan_columns(data.layout, choice, variable_count, data.path, &column_error);
  if (!columns) return fail(err, column_error), std::nullopt;
  columns->dialect = dialect;
  columns->dialect.syntax = data.reader->syntax().csv_syntax;
  columns->dialect.guarded = choice.named() && !dialect.csv;
  return columns;
}

std::optional<Plan> make_plan(const PlanRequest& request, std::FILE* standard_input, const TargetQuestion& ask,
                              PlanError* err) {
  if (std::optional<OutputError> same = check_outputs(request, standard_input)) return fail(err, *same), std::nullopt;
  std::optional<LoadedKey> key = plan_key(request.key_path, false, err);
  if (!key) return std::nullopt;
  Plan plan{std::move(*key), std::nullopt, std::nullopt};
  if (request.data_path.empty()) {
    if (request.prepare && !prepare(plan.key, err)) return std::nullopt;
    return plan;
  }
  plan.data = open_data(request.data_path, standard_input, request.dialect, err);
  if (!plan.data) return std::nullopt;
  ColumnChoice choice = request.columns;
  if (!choice.has_target && ask) {
    NoAnswer no_answer;
    choice.has_target = ask(&no_answer);
    if (!choice.has_target) return fail(err, no_answer), std::nullopt;
  }
  FirstLineError first_line_error;
  std::optional<DataLayout> layout = scan_first_record(*plan.data->reader, request.header, &first_line_error);
  if (!layout) return fail(err, first_line_error), std::nullopt;
  plan.data->layout = std::move(*layout);
  plan.columns = plan_data_columns(*plan.data, choice, request.dialect, plan.key.key.variable_count, err);
  if (!plan.columns) return std::nullopt;
  // The column plan keeps the names it needs; a long header is let go.
  std::string().swap(plan.data->layout.header);
  if (!plan.columns->has_target && !request.needs_target.empty())
    return fail(err, NoTarget{request.needs_target.front()}), std::nullopt;
  // Every tree is built and checked before any output is opened, so a bad
  // key leaves an existing output file as it was.
  if (request.prepare && !prepare(plan.key, err)) return std::nullopt;
  return plan;
}

}  // namespace karva
