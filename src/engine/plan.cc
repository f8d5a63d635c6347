#include "engine/plan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <utility>

namespace karva {
namespace {

// The bytes of the key file, as many as a key can use; the reason when it
// does not open or read.
Expected<std::string, KeyError> key_file_bytes(const std::string& path, bool regular_only) {
  // Opening a FIFO waits for a writer: where only a regular file will do,
  // nothing waits.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | (regular_only ? O_NONBLOCK : 0));
  if (fd < 0) return Unexpected(KeyError{KeyError::Kind::CANNOT_OPEN, path, 0, 0, errno, ""});
  struct stat st {};
  if (regular_only && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    ::close(fd);
    return Unexpected(KeyError{KeyError::Kind::NOT_REGULAR, path, 0, 0, 0, ""});
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
  if (failure != 0) return Unexpected(KeyError{KeyError::Kind::READ_FAILED, path, 0, 0, failure, ""});
  bytes.resize(size);
  return bytes;
}

// The error of a failed stage, as the plan's.
template <typename T, typename E>
Unexpected<PlanError> failure(Expected<T, E>&& failed) {
  return Unexpected(PlanError(std::move(failed).error()));
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::optional<PrepareError> prepare(LoadedKey& key) {
  Expected<PreparedKey, PrepareError> prepared = prepare_key(key.key);
  if (!prepared) return std::move(prepared).error();
  key.prepared = std::move(*prepared);
  return std::nullopt;
}

// The data's first record read and its columns planned.
Expected<ColumnPlan, PlanError> plan_data_columns(DataSource& data, const ColumnChoice& choice, const Dialect& dialect,
                                                  int variable_count) {
  Expected<DataLayout, FirstLineError> layout = scan_first_record(*data.reader, dialect.header);
  if (!layout) return failure(std::move(layout));
  data.layout = std::move(*layout);
  Expected<ColumnPlan, ColumnError> columns = plan_columns(data.layout, choice, dialect, variable_count, data.path);
  if (!columns) return failure(std::move(columns));
  return std::move(*columns);
}

// The output's columns: the kept ones, the target's, the prediction's; the
// first name that is empty or taken twice.
std::optional<OutputNameError> check_output_names(const ColumnPlan& columns, const std::string& prediction_name) {
  std::vector<std::string> names = columns.keep_names;
  if (columns.has_target) names.push_back(columns.target_name.empty() ? "target" : columns.target_name);
  names.push_back(prediction_name);
  for (auto at = names.begin(); at != names.end(); ++at)
    if (at->empty() || std::find(names.begin(), at, *at) != at) return OutputNameError{*at};
  return std::nullopt;
}

}  // namespace

bool names_file(const struct stat& file, const std::string& path) {
  struct stat named {};
  return path != STANDARD_STREAM && stat(path.c_str(), &named) == 0 && same_file(file, named);
}

bool spoils_standard_output(const PlanError& err) {
  const auto* output = std::get_if<OutputError>(&err);
  return output && output->path == STANDARD_STREAM;
}

bool spoils_standard_error(const PlanError& err) {
  const auto* output = std::get_if<OutputError>(&err);
  return output && output->role == STANDARD_ERROR_ROLE;
}

bool is_usage_error(const PlanError& err) {
  if (const auto* columns = std::get_if<ColumnError>(&err)) return columns->usage();
  return std::holds_alternative<NoTarget>(err) || std::holds_alternative<OutputNameError>(err);
}

Expected<InputNames, PlanError> plan_input_names(const PlanRequest& request, int variable_count,
                                                 std::FILE* standard_input) {
  const ColumnChoice& choice = request.columns;
  if (request.data_path.empty()) {
    if (choice.inputs.empty() || static_cast<int>(choice.inputs.size()) == variable_count)
      return InputNames{choice.inputs, std::nullopt};
    return Unexpected(
        PlanError(ColumnError::mismatch("", variable_count, static_cast<std::int64_t>(choice.inputs.size()), "--inputs")));
  }
  Expected<DataSource, PlanError> data =
      open_data(request.data_path, standard_input, request.dialect, request.decoder_memory, request.cancel);
  if (!data) return Unexpected(std::move(data).error());
  Expected<ColumnPlan, PlanError> columns = plan_data_columns(*data, choice, request.dialect, variable_count);
  const PlanError* error = columns ? nullptr : &columns.error();
  const auto* first_line = error ? std::get_if<FirstLineError>(error) : nullptr;
  if (first_line && first_line->kind == FirstLineError::Kind::NO_LINE) return InputNames{};
  // Without a header (or without a first record) there are no names to show.
  const bool header = !first_line && data->layout.has_header;
  if (!choice.named() && (first_line ? first_line->kind != FirstLineError::Kind::READ_FAILED : !header))
    return InputNames{{}, NamesNote{NamesNote::Kind::NO_HEADER, request.data_path, 0, variable_count}};
  if (columns) return InputNames{columns->input_names, std::nullopt};
  const auto* mismatch = std::get_if<ColumnError>(error);
  if (mismatch && mismatch->kind == ColumnError::Kind::MISMATCH && choice.inputs.empty())
    return InputNames{{}, NamesNote{NamesNote::Kind::MISFIT, request.data_path, data->layout.column_count, variable_count}};
  return Unexpected(std::move(columns).error());
}
namespace {

// What an output names: the file it is (standard output's, for "-"), when
// there is one, and its path with the links of its folders followed, for
// one that does not exist yet.
struct OutputIdentity {
  bool exists = false;
  struct stat file {};
  std::string path;
};

OutputIdentity identity_of(const std::string& path) {
  OutputIdentity id;
  if (path == STANDARD_STREAM) {
    id.exists = fstat(STDOUT_FILENO, &id.file) == 0;
    return id;
  }
  id.exists = stat(path.c_str(), &id.file) == 0;
  std::error_code error;
  const std::filesystem::path followed =
      std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
  id.path = error ? path : followed.string();
  return id;
}

bool same_output(const OutputIdentity& a, const OutputIdentity& b) {
  if (a.exists && b.exists) return same_file(a.file, b.file);
  return !a.exists && !b.exists && !a.path.empty() && a.path == b.path;
}

// The file standard input reads, when it is the data and a regular file.
std::optional<struct stat> standard_input_data(const PlanRequest& request, std::FILE* standard_input) {
  struct stat in {};
  if (request.data_path != STANDARD_STREAM || !standard_input || fstat(fileno(standard_input), &in) != 0 ||
      !S_ISREG(in.st_mode))
    return std::nullopt;
  return in;
}

// Whether `file` is the key or the data: the role and the path it has, or nothing.
std::optional<std::pair<std::string, std::string>> read_file_named(const struct stat& file, const PlanRequest& request,
                                                                   std::FILE* standard_input) {
  if (names_file(file, request.key_path)) return std::pair{std::string("key"), request.key_path};
  if (names_file(file, request.data_path)) return std::pair{std::string("data"), request.data_path};
  const std::optional<struct stat> in = standard_input_data(request, standard_input);
  if (in && same_file(*in, file)) return std::pair{std::string("data"), std::string(STANDARD_STREAM)};
  return std::nullopt;
}

}  // namespace

std::optional<OutputError> check_outputs(const PlanRequest& request, std::FILE* standard_input) {
  // Standard output a file that karva reads, as with "karva ... >> data":
  // it would read what it writes.
  const OutputIdentity out = identity_of(STANDARD_STREAM);
  if (out.exists && S_ISREG(out.file.st_mode))
    if (auto read = read_file_named(out.file, request, standard_input))
      return OutputError{STANDARD_STREAM, "standard output", read->first, read->second};
  // The same for standard error, as with "karva ... 2>> data".
  struct stat err {};
  if (fstat(STDERR_FILENO, &err) == 0 && S_ISREG(err.st_mode))
    if (auto read = read_file_named(err, request, standard_input))
      return OutputError{"", STANDARD_ERROR_ROLE, read->first, read->second};
  const auto& outputs = request.outputs;
  std::vector<OutputIdentity> ids;
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const PlannedOutput& output = outputs[i];
    ids.push_back(identity_of(output.path));
    if (ids.back().exists && output.path != STANDARD_STREAM)
      if (auto read = read_file_named(ids.back().file, request, standard_input))
        return OutputError{output.path, output.role, read->first, read->second};
    for (std::size_t j = 0; j < i; ++j)
      if (same_output(ids[i], ids[j])) return OutputError{output.path, output.role, outputs[j].role, outputs[j].path};
  }
  return std::nullopt;
}

Expected<LoadedKey, PlanError> plan_key(const std::string& path, bool prepare_genes, bool regular_only) {
  Expected<std::string, KeyError> bytes = key_file_bytes(path, regular_only);
  if (!bytes) return failure(std::move(bytes));
  return plan_key_from_bytes(path, std::move(*bytes), prepare_genes);
}

Expected<LoadedKey, PlanError> plan_key_from_bytes(const std::string& path, std::string bytes, bool prepare_genes) {
  // A compressed key reads as nonsense counts: it is named for what it is.
  if (const std::string_view format = compression_of(bytes); !format.empty())
    return Unexpected(PlanError(KeyError{KeyError::Kind::COMPRESSED, path, 0, 0, 0, std::string(format)}));
  Expected<Key, KeyError> key = read_key(bytes, path);
  if (!key) return failure(std::move(key));
  LoadedKey loaded{path, std::move(bytes), std::move(*key), std::nullopt};
  if (prepare_genes)
    if (std::optional<PrepareError> error = prepare(loaded)) return Unexpected(PlanError(std::move(*error)));
  return loaded;
}

Expected<DataSource, PlanError> open_data(const std::string& path, std::FILE* standard_input, const Dialect& dialect,
                                          std::uint64_t decoder_memory, const std::atomic<bool>* cancel) {
  FilePtr owned;
  std::FILE* in = standard_input;
  if (path != STANDARD_STREAM || !in) {
    owned.reset(std::fopen(path.c_str(), "rb"));
    if (!owned) return Unexpected(PlanError(DataOpenError{path, errno}));
    in = owned.get();
  }
  DataSource data = data_source(stream_source(in, cancel), path, dialect, decoder_memory);
  data.owned = std::move(owned);
  data.stream = in;
  return data;
}

Expected<Plan, PlanError> make_plan(const PlanRequest& request, std::FILE* standard_input, const TargetQuestion& ask) {
  if (std::optional<OutputError> same = check_outputs(request, standard_input)) return Unexpected(PlanError(*same));
  Expected<LoadedKey, PlanError> key = plan_key(request.key_path, false);
  if (!key) return Unexpected(std::move(key).error());
  return plan_with_key(std::make_shared<const LoadedKey>(std::move(*key)), request, standard_input, ask);
}

Expected<Plan, PlanError> plan_with_key(SharedKey key, const PlanRequest& request, std::FILE* standard_input,
                                        const TargetQuestion& ask) {
  if (request.data_path.empty()) return plan_with_data(std::move(key), std::nullopt, request, ask);
  Expected<DataSource, PlanError> data =
      open_data(request.data_path, standard_input, request.dialect, request.decoder_memory, request.cancel);
  if (!data) return Unexpected(std::move(data).error());
  return plan_with_data(std::move(key), std::move(*data), request, ask);
}

Expected<Plan, PlanError> plan_with_data(SharedKey key, std::optional<DataSource> data, const PlanRequest& request,
                                         const TargetQuestion& ask) {
  Plan plan{std::move(key), std::move(data), std::nullopt};
  if (plan.data) {
    ColumnChoice choice = request.columns;
    if (!choice.has_target && ask) {
      NoAnswer no_answer;
      choice.has_target = ask(&no_answer);
      if (!choice.has_target) return Unexpected(PlanError(no_answer));
    }
    Expected<ColumnPlan, PlanError> columns =
        plan_data_columns(*plan.data, choice, request.dialect, plan.key->key.variable_count);
    if (!columns) return Unexpected(std::move(columns).error());
    plan.columns = std::move(*columns);
    // The column plan keeps the names it needs; a long header is let go.
    std::string().swap(plan.data->layout.header);
    if (!plan.columns->has_target && !request.needs_target.empty())
      return Unexpected(PlanError(NoTarget{request.needs_target.front()}));
    if (request.prediction_name)
      if (std::optional<OutputNameError> clash = check_output_names(*plan.columns, *request.prediction_name))
        return Unexpected(PlanError(*clash));
  }
  // Every tree is built and checked before any output is opened, so a bad
  // key leaves an existing output file as it was.
  if (request.prepare && !plan.key->prepared) {
    auto prepared = std::make_shared<LoadedKey>(*plan.key);
    if (std::optional<PrepareError> error = prepare(*prepared)) return Unexpected(PlanError(std::move(*error)));
    plan.key = std::move(prepared);
  }
  return plan;
}

DataSource data_source(ByteSource bytes, const std::string& name, const Dialect& dialect,
                       std::uint64_t decoder_memory, const std::optional<TextBounds>& bounds) {
  DataSource data;
  data.path = name;
  ByteSource text = text_source(std::move(bytes), decoder_memory, &data.compression);
  if (bounds) text = bounded_source(std::move(text), *bounds);
  data.reader = std::make_unique<DataReader>(std::move(text), name, dialect);
  return data;
}

}  // namespace karva
