#include "tool/columns.h"

#include <algorithm>
#include <cstring>

#include "tool/number.h"

namespace karva {
namespace {

// The fields of a CSV record; a header's are kept as names.
void scan_csv_fields(std::string_view record, CsvSyntax syntax, DataLayout& layout) {
  const char* p = record.data();
  const char* e = p + record.size();
  std::string scratch;
  for (bool more = true; more;) {
    CsvField f;
    p = next_csv_field(p, e, syntax, f, scratch);
    if (layout.column_count++ == 0) layout.has_header = !looks_numeric(f.value);
    if (layout.has_header) layout.column_names.emplace_back(f.value);
    more = p != e;
    if (more) ++p;
  }
}

// The fields of a record of the default reading. They are counted, not
// kept, unless they are names: a data line may be very long.
void scan_plain_fields(const char* p, const char* e, DataLayout& layout) {
  const auto field = [&](const char* q) { return unquoted(std::string_view(p, static_cast<std::size_t>(q - p))); };
  layout.has_header = !looks_numeric(field(field_end(p, e)));
  while (p != e) {
    const char* q = field_end(p, e);
    ++layout.column_count;
    if (layout.has_header) layout.column_names.emplace_back(field(q));
    p = skip_delimiters(q, e);
  }
}

}  // namespace

std::optional<DataLayout> scan_first_record(DataReader& reader, FirstLineError* err) {
  const auto fail = [&](FirstLineError::Kind kind) {
    if (err) *err = FirstLineError{kind, reader.name(), reader.system_error()};
    return std::nullopt;
  };
  std::string_view record;
  if (!reader.first_record(record))
    return fail(reader.read_failed() ? FirstLineError::Kind::READ_FAILED : FirstLineError::Kind::NO_LINE);
  if (record.find('\0') != std::string_view::npos) return fail(FirstLineError::Kind::ZERO_BYTE);
  DataLayout layout;
  layout.header_lines = reader.first_record_lines();
  if (reader.syntax().csv) {
    if (record.empty()) return fail(FirstLineError::Kind::NOT_RIGHT);
    scan_csv_fields(record, reader.syntax().csv_syntax, layout);
  } else {
    const char* p = skip_delimiters(record.data(), record.data() + record.size());
    if (p == record.data() + record.size()) return fail(FirstLineError::Kind::NOT_RIGHT);
    scan_plain_fields(p, record.data() + record.size(), layout);
  }
  if (!layout.has_header) {
    reader.keep_first_record();
    layout.header_lines = 0;
  }
  return layout;
}

namespace {

class ColumnPlanner {
 public:
  ColumnPlanner(const DataLayout& layout, const std::string& file, ColumnError* err)
      : layout_(layout), file_(file), err_(err) {}

  // The column `name` names, for `option`; -1, with the error filled, when
  // the header has none.
  long long column_of(const std::string& name, const char* option) {
    const auto& names = layout_.column_names;
    const auto at = std::find(names.begin(), names.end(), name);
    if (at != names.end()) return at - names.begin();
    fail(ColumnError::Kind::UNKNOWN_NAME, option);
    err_->name = name;
    return -1;
  }

  void fail(ColumnError::Kind kind, const std::string& option) {
    if (!err_) return;
    err_->kind = kind;
    err_->file = file_;
    err_->option = option;
    err_->header = layout_.column_names;
  }

  ColumnError* error() { return err_; }

 private:
  const DataLayout& layout_;
  const std::string& file_;
  ColumnError* err_;
};

const char* first_naming_option(const ColumnChoice& choice) {
  return !choice.inputs.empty() ? "--inputs" : !choice.target_name.empty() ? "--target" : "--keep";
}

// Whether the first column is the target, when nobody said: when there is
// one column more than the key has inputs.
bool target_by_count(const DataLayout& layout, const ColumnChoice& choice, int variable_count) {
  if (choice.has_target) return *choice.has_target;
  if (!choice.target_name.empty()) return true;
  return choice.inputs.empty() && layout.column_count == variable_count + 1LL;
}

}  // namespace

std::optional<ColumnPlan> plan_columns(const DataLayout& layout, const ColumnChoice& choice, int variable_count,
                                       const std::string& file, ColumnError* err) {
  ColumnError ignored;
  ColumnPlanner planner(layout, file, err ? err : &ignored);
  if (choice.named() && !layout.has_header) {
    planner.fail(ColumnError::Kind::NO_HEADER, first_naming_option(choice));
    return std::nullopt;
  }
  long long target = -1;
  if (!choice.target_name.empty()) {
    if ((target = planner.column_of(choice.target_name, "--target")) < 0) return std::nullopt;
  } else if (target_by_count(layout, choice, variable_count)) {
    target = 0;
  }
  std::vector<long long> inputs;
  for (const std::string& name : choice.inputs)
    if (inputs.push_back(planner.column_of(name, "--inputs")); inputs.back() < 0) return std::nullopt;
  if (choice.inputs.empty())
    for (long long c = 0; c < layout.column_count; ++c)
      if (c != target) inputs.push_back(c);
  if (static_cast<long long>(inputs.size()) != variable_count) {
    ColumnError* e = planner.error();
    *e = ColumnError::mismatch(file, variable_count, static_cast<std::int64_t>(inputs.size()));
    return std::nullopt;
  }
  std::vector<long long> kept;
  for (const std::string& name : choice.keep)
    if (kept.push_back(planner.column_of(name, "--keep")); kept.back() < 0) return std::nullopt;

  ColumnPlan plan;
  plan.has_target = target >= 0;
  plan.has_header = layout.has_header;
  plan.variable_count = variable_count;
  plan.column_count = static_cast<std::size_t>(layout.column_count);
  plan.header_lines = layout.header_lines;
  long long last = target;
  for (long long c : inputs) last = std::max(last, c);
  for (long long c : kept) last = std::max(last, c);
  plan.fields.resize(static_cast<std::size_t>(last + 1));
  if (target >= 0) plan.fields[static_cast<std::size_t>(target)].feeds.push_back(-1);
  for (std::size_t m = 0; m < inputs.size(); ++m)
    plan.fields[static_cast<std::size_t>(inputs[m])].feeds.push_back(static_cast<int>(m));
  for (std::size_t k = 0; k < kept.size(); ++k)
    plan.fields[static_cast<std::size_t>(kept[k])].kept_as = static_cast<int>(k);
  plan.keep_count = kept.size();
  if (layout.has_header) {
    const auto name = [&](long long c) { return layout.column_names[static_cast<std::size_t>(c)]; };
    for (long long c : inputs) plan.input_names.push_back(name(c));
    for (long long c : kept) plan.keep_names.push_back(name(c));
    if (target >= 0) plan.target_name = name(target);
  }
  return plan;
}

}  // namespace karva
