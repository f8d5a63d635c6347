#include "input/columns.h"

#include <algorithm>
#include <cstring>

#include "text/number.h"

namespace karva {
namespace {

// Calls f(text) for every field of `record`, decoded, until f gives false.
template <typename F>
void for_each_field(std::string_view record, const RecordSyntax& syntax, F f) {
  const char* p = record.data();
  const char* e = p + record.size();
  if (syntax.csv) {
    std::string scratch;
    for (bool more = true; more;) {
      CsvField field;
      p = next_csv_field(p, e, syntax.csv_syntax, field, scratch);
      more = p != e;
      if (!f(field.value)) return;
      if (more) ++p;
    }
    return;
  }
  for (p = skip_delimiters(p, e); p != e; p = skip_delimiters(p, e)) {
    const char* q = field_end(p, e);
    if (!f(unquoted(std::string_view(p, static_cast<std::size_t>(q - p))))) return;
    p = q;
  }
}

}  // namespace

bool needs_csv(std::string_view line) {
  if (line.find('"') != std::string_view::npos) return true;
  bool after_hard = true;  // the start counts as a delimiter
  for (char c : line) {
    if (c == ' ') continue;
    const bool hard = c == ',' || c == ';' || c == '\t';
    if (hard && after_hard) return true;
    after_hard = hard;
  }
  return after_hard;
}

std::vector<std::string> DataLayout::names(std::size_t most) const {
  std::vector<std::string> names;
  if (most == 0) return names;
  for_each_field(header, syntax, [&](std::string_view name) {
    names.emplace_back(name);
    return names.size() < most;
  });
  return names;
}

std::map<std::string, std::vector<std::int64_t>, std::less<>> DataLayout::columns_named(
    const std::vector<std::string>& names) const {
  std::map<std::string, std::vector<std::int64_t>, std::less<>> columns;
  if (names.empty()) return columns;
  for (const std::string& name : names) columns[name];
  std::int64_t at = 0;
  for_each_field(header, syntax, [&](std::string_view field) {
    const auto found = columns.find(field);
    if (found != columns.end() && found->second.size() < 2) found->second.push_back(at);
    ++at;
    return true;
  });
  return columns;
}

std::optional<DataLayout> scan_first_record(DataReader& reader, std::optional<bool> header, FirstLineError* err) {
  const auto fail = [&](FirstLineError::Kind kind) {
    if (err) *err = FirstLineError{kind, reader.name(), reader.system_error(), reader.damage()};
    return std::nullopt;
  };
  std::string_view record;
  if (!reader.first_record(record))
    return fail(reader.read_failed()        ? FirstLineError::Kind::READ_FAILED
                : !reader.damage().empty() ? FirstLineError::Kind::DAMAGED
                                           : FirstLineError::Kind::NO_LINE);
  if (record.find('\0') != std::string_view::npos) return fail(FirstLineError::Kind::ZERO_BYTE);
  DataLayout layout;
  layout.header_lines = reader.first_record_lines();
  layout.syntax = reader.syntax();
  const bool blank = layout.syntax.csv ? record.empty() : skip_delimiters(record.data(), record.data() + record.size()) ==
                                                              record.data() + record.size();
  if (blank) return fail(FirstLineError::Kind::NOT_RIGHT);
  // The fields are counted, not kept: a line may hold millions. A header
  // is kept whole, its names read from it when asked for.
  for_each_field(record, layout.syntax, [&](std::string_view field) {
    if (layout.column_count++ == 0) layout.has_header = header.value_or(!looks_numeric(field));
    return true;
  });
  if (layout.has_header) layout.header.assign(record);
  layout.needs_csv = layout.has_header && !layout.syntax.csv && needs_csv(record);
  if (!layout.has_header) {
    reader.keep_first_record();
    layout.header_lines = 0;
  }
  return layout;
}

namespace {

class ColumnPlanner {
 public:
  ColumnPlanner(const DataLayout& layout, const ColumnChoice& choice, const std::string& file, ColumnError* err)
      : layout_(layout), file_(file), err_(err), named_(layout.columns_named(names_in(choice))) {}

  // The column `name` names, for `option`; -1, with the error filled, when
  // the header has none, or two that it could mean.
  long long column_of(const std::string& name, const char* option) {
    const std::vector<std::int64_t>& columns = named_.find(name)->second;
    if (columns.size() == 1) return columns[0];
    fail(columns.empty() ? ColumnError::Kind::UNKNOWN_NAME : ColumnError::Kind::TWO_COLUMNS, option);
    err_->name = name;
    if (columns.size() == 2) {
      err_->first = columns[0] + 1;
      err_->second = columns[1] + 1;
    }
    return -1;
  }

  void fail(ColumnError::Kind kind, const std::string& option) {
    if (!err_) return;
    err_->kind = kind;
    err_->file = file_;
    err_->option = option;
    err_->header = layout_.names(MAX_LISTED_NAMES);
    err_->columns = layout_.column_count;
  }

  ColumnError* error() { return err_; }

 private:
  static std::vector<std::string> names_in(const ColumnChoice& choice) {
    if (!choice.named()) return {};
    std::vector<std::string> names = choice.inputs;
    names.insert(names.end(), choice.keep.begin(), choice.keep.end());
    if (!choice.target_name.empty()) names.push_back(choice.target_name);
    return names;
  }

  const DataLayout& layout_;
  const std::string& file_;
  ColumnError* err_;
  std::map<std::string, std::vector<std::int64_t>, std::less<>> named_;  // the columns of every name asked for
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
  ColumnPlanner planner(layout, choice, file, err ? err : &ignored);
  if (choice.named() && (!layout.has_header || layout.needs_csv)) {
    planner.fail(layout.has_header ? ColumnError::Kind::NEEDS_CSV : ColumnError::Kind::NO_HEADER,
                 first_naming_option(choice));
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
  // Without names, every column but the target is an input: counted before
  // any is listed, since a line may hold millions.
  const long long inputs_count = !choice.inputs.empty() ? static_cast<long long>(inputs.size())
                                                         : layout.column_count - (target >= 0 ? 1 : 0);
  if (inputs_count != variable_count) {
    *planner.error() = ColumnError::mismatch(file, variable_count, inputs_count);
    return std::nullopt;
  }
  if (choice.inputs.empty())
    for (long long c = 0; c < layout.column_count; ++c)
      if (c != target) inputs.push_back(c);
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
    // The names up to the last column used: a key reads at most a few hundred.
    const std::vector<std::string> names = layout.names(static_cast<std::size_t>(last + 1));
    const auto name = [&](long long c) { return names[static_cast<std::size_t>(c)]; };
    for (long long c : inputs) plan.input_names.push_back(name(c));
    for (long long c : kept) plan.keep_names.push_back(name(c));
    if (target >= 0) plan.target_name = name(target);
  }
  return plan;
}

}  // namespace karva
