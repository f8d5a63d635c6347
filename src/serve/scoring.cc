#include "serve/scoring.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/collect.h"
#include "engine/run.h"
#include "render/explain.h"
#include "serve/json.h"

namespace karva {
namespace {

// Rows scored on their connection's thread, where requests side by side
// keep the processors busy without waiting for each other; more are split
// across the pool like a file.
constexpr std::size_t ROWS_FOR_ONE_THREAD = 16 * DEFAULT_TABLE_ROWS;
// The same for a CSV body, by its size.
constexpr std::size_t CSV_BYTES_FOR_ONE_THREAD = 16 * DEFAULT_CHUNK_BYTES;
// What a CSV body is called in messages.
constexpr const char* CSV_BODY_NAME = "the request";

// What reading a JSON body takes beside the body: simdjson's index of it
// (four bytes a byte) and its buffer for strings (five thirds), rounded up.
constexpr std::size_t JSON_READING_BYTES_PER_BYTE = 6;
constexpr std::size_t JSON_READING_FIXED_BYTES = std::size_t{64} << 10;
// What a row's answer takes besides its inputs: the prediction, whether it
// misses an input, and its text in the answer.
constexpr std::size_t ANSWER_BYTES_PER_ROW = sizeof(double) + 1 + MOST_JSON_PREDICTION_BYTES;
// What the run core holds for a CSV body, per thread: chunks in flight,
// their tables and their text.
constexpr std::size_t CSV_RUN_BYTES_PER_THREAD = 8 * DEFAULT_CHUNK_BYTES;

ByteSource bytes_of(const std::string& body) {
  auto at = std::make_shared<std::size_t>(0);
  return [&body, at](char* dst, std::size_t room, SourceProblem*) -> std::int64_t {
    const std::size_t n = std::min(room, body.size() - *at);
    std::memcpy(dst, body.data() + *at, n);
    *at += n;
    return static_cast<std::int64_t>(n);
  };
}

// Why a CSV body's run did not end whole, as the request's fault.
std::optional<RequestFault> csv_fault(const RunOutcome& outcome, const CollectSink& sink, const ServeSettings& s) {
  if (sink.too_many) return RequestFault{RequestFault::Kind::TOO_MANY_ROWS, "", "", s.row_limit};
  if (sink.no_room) return RequestFault{RequestFault::Kind::NO_MEMORY};
  if (outcome.read_failed && outcome.system_error == EFBIG)
    return RequestFault{RequestFault::Kind::BODY_TOO_LARGE, "", "", s.body_limit};
  if (outcome.read_failed && outcome.system_error == ETIMEDOUT)
    return RequestFault{RequestFault::Kind::TOO_SLOW, "", "", static_cast<std::uint64_t>(s.read_timeout.count())};
  if (!outcome.complete()) return RequestFault{RequestFault::Kind::CSV, read_end_message(outcome, CSV_BODY_NAME)};
  return std::nullopt;
}

}  // namespace

std::string model_name(const std::string& path) {
  const std::string file = path.substr(path.rfind('/') + 1);
  const std::size_t dot = file.rfind('.');
  return dot == 0 || dot == std::string::npos ? file : file.substr(0, dot);
}

Expected<ServedModel, std::string> load_model(const std::string& path, const std::vector<std::string>& inputs) {
  Expected<LoadedKey, PlanError> key = plan_key(path, true, true);
  if (!key) return Unexpected(plan_error_message(key.error()));
  const int n = key->key.variable_count;
  ServedModel model{path, model_name(path), std::make_shared<const LoadedKey>(std::move(*key)), inputs, !inputs.empty()};
  if (model.named && static_cast<int>(inputs.size()) != n)
    return Unexpected(
        plan_error_message(PlanError(ColumnError::mismatch("", n, static_cast<std::int64_t>(inputs.size()), "--inputs"))));
  if (!model.named) model.inputs = input_names_or_letters({}, n);
  return model;
}

const ServedModel* find_model(const Models& models, std::string_view name) {
  const auto found = std::find_if(models.begin(), models.end(), [&](const ServedModel& m) { return m.name == name; });
  return found == models.end() ? nullptr : &*found;
}

std::vector<std::optional<std::string>> ModelStore::reload() {
  auto models = std::make_shared<Models>(*models_.load());
  std::vector<std::optional<std::string>> failures;
  for (ServedModel& model : *models) {
    Expected<ServedModel, std::string> fresh = load_model(model.path, model.named ? model.inputs : std::vector<std::string>{});
    failures.push_back(fresh ? std::nullopt : std::optional(fresh.error()));
    if (fresh) model = std::move(*fresh);
  }
  models_.store(std::move(models));
  return failures;
}

std::optional<Scoring::Place> Scoring::admit() {
  if (taken_.fetch_add(1) >= settings_.queue_limit) {
    taken_.fetch_sub(1);
    return std::nullopt;
  }
  return std::optional<Place>(std::in_place, taken_);
}

ReadLimits Scoring::limits(const ServedModel& model, MemoryBudget::Charge& charge) const {
  const std::size_t per_row = model.inputs.size() * sizeof(double) + ANSWER_BYTES_PER_ROW;
  return {settings_.row_limit, [&charge, per_row](std::size_t rows) {
            return rows <= SIZE_MAX / per_row && charge.grow(rows * per_row);
          }};
}

std::size_t Scoring::reading_bytes(std::size_t bytes, bool json) {
  constexpr std::size_t MOST = SIZE_MAX / (JSON_READING_BYTES_PER_BYTE + 2);
  if (bytes > MOST) return SIZE_MAX;
  return bytes + JSON_PADDING + (json ? bytes * JSON_READING_BYTES_PER_BYTE + JSON_READING_FIXED_BYTES : 0);
}

bool Scoring::charge_reading(MemoryBudget::Charge& charge, std::size_t bytes, bool json) {
  const std::size_t wanted = reading_bytes(bytes, json);
  return wanted <= charge.held() || charge.grow(wanted - charge.held());
}

Scored Scoring::rows(const ServedModel& model, const Matrix& m) {
  Scored s;
  s.predictions.resize(m.rows);
  s.missing.resize(m.rows);
  const auto width = static_cast<std::ptrdiff_t>(m.columns * sizeof(double));
  const MatrixView view{reinterpret_cast<const char*>(m.values.data()), m.rows, width, sizeof(double)};
  const std::unique_lock<std::mutex> pool = pool_for(m.rows >= ROWS_FOR_ONE_THREAD);
  score_matrix(*model.key->prepared, view, s.predictions.data(), threads(pool), s.missing.data());
  return s;
}

Expected<Scored, RequestFault> Scoring::csv(const ServedModel& model, const std::string& body,
                                            MemoryBudget::Charge& charge) {
  PlanRequest request;
  request.data_path = CSV_BODY_NAME;
  request.dialect.csv = true;
  request.columns.has_target = false;
  if (model.named) request.columns.inputs = model.inputs;
  const TextBounds bounds{settings_.body_limit, std::chrono::steady_clock::now() + settings_.read_timeout};
  Expected<Plan, PlanError> plan = plan_with_data(
      model.key, data_source(bytes_of(body), CSV_BODY_NAME, request.dialect, settings_.decoder_memory, bounds), request,
      {});
  if (!plan) return Unexpected(RequestFault{RequestFault::Kind::CSV, plan_error_message(plan.error())});
  const std::unique_lock<std::mutex> pool = pool_for(body.size() >= CSV_BYTES_FOR_ONE_THREAD);
  if (!charge.grow(CSV_RUN_BYTES_PER_THREAD * static_cast<std::size_t>(threads(pool))))
    return Unexpected(RequestFault{RequestFault::Kind::NO_MEMORY});
  CollectSink sink({false, settings_.row_limit, [&charge](std::size_t rows) {
                      return charge.grow(rows * ANSWER_BYTES_PER_ROW);
                    }});
  const RunOutcome outcome = run_rows(*plan, {threads(pool), DEFAULT_CHUNK_BYTES, DEFAULT_TABLE_ROWS, nullptr}, sink);
  if (std::optional<RequestFault> fault = csv_fault(outcome, sink, settings_)) return Unexpected(std::move(*fault));
  return Scored{std::move(sink.predictions), std::move(sink.missing)};
}

std::unique_lock<std::mutex> Scoring::pool_for(bool large) {
  return large ? std::unique_lock<std::mutex>(pool_) : std::unique_lock<std::mutex>(pool_, std::defer_lock);
}

}  // namespace karva
