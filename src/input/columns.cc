#include "input/columns.h"

#include <algorithm>
#include <cstring>

#include "text/number.h"

namespace karva {
namespace {

// Calls f(text) for every field of `record`, decoded, until f gives false.
template <typename F>
void for_each_field(std::string_view record, bool csv, const CsvSyntax& syntax, F f) {
  const char* p = record.data();
  const char* e = p + record.size();
  if (csv) {
    std::string scratch;
    for (bool more = true; more;) {
      CsvField field;
      p = next_csv_field(p, e, syntax, field, scratch);
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

namespace {

// Each name of the header, in order; with --csv an empty one is named as
// pandas names it, "Unnamed: N" for column N from 0 (the index a frame's
// to_csv writes first), so that options can name it.
template <typename Take>
void for_each_name(const DataLayout& layout, Take take) {
  std::int64_t at = 0;
  for_each_field(layout.header, layout.csv, layout.syntax, [&](std::string_view field) {
    const std::string unnamed = layout.csv && field.empty() ? "Unnamed: " + std::to_string(at) : std::string();
    ++at;
    return take(unnamed.empty() ? field : std::string_view(unnamed));
  });
}

}  // namespace

std::vector<std::string> DataLayout::names(std::size_t most) const {
  std::vector<std::string> names;
  if (most == 0) return names;
  for_each_name(*this, [&](std::string_view name) {
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
  for_each_name(*this, [&](std::string_view field) {
    const auto found = columns.find(field);
    if (found != columns.end() && found->second.size() < 2) found->second.push_back(at);
    ++at;
    return true;
  });
  return columns;
}

Expected<DataLayout, FirstLineError> scan_first_record(DataReader& reader, std::optional<bool> header) {
  const auto fail = [&](FirstLineError::Kind kind) {
    return Unexpected(FirstLineError{kind, reader.name(), reader.system_error(), reader.damage()});
  };
  std::string_view record;
  if (!reader.first_record(record))
    return fail(reader.read_failed()        ? FirstLineError::Kind::READ_FAILED
                : !reader.damage().empty() ? FirstLineError::Kind::DAMAGED
                                           : FirstLineError::Kind::NO_LINE);
  if (record.find('\0') != std::string_view::npos) return fail(FirstLineError::Kind::ZERO_BYTE);
  DataLayout layout;
  layout.header_lines = reader.first_record_lines();
  layout.csv = reader.csv();
  layout.syntax = reader.syntax();
  const bool blank = layout.csv ? record.empty() : skip_delimiters(record.data(), record.data() + record.size()) ==
                                                              record.data() + record.size();
  if (blank) return fail(FirstLineError::Kind::NOT_RIGHT);
  // The fields are counted, not kept: a line may hold millions. A header
  // is kept whole, its names read from it when asked for.
  // pandas writes a frame made from an array with the header 0,1,...,n-1.
  bool numbered = layout.csv && !header;
  for_each_field(record, layout.csv, layout.syntax, [&](std::string_view field) {
    numbered = numbered && field == std::to_string(layout.column_count);
    if (layout.column_count++ == 0) layout.has_header = header.value_or(!looks_numeric(field));
    return true;
  });
  layout.numbered_header = numbered && layout.column_count > 1;
  layout.has_header = layout.has_header || layout.numbered_header;
  if (layout.has_header) layout.header.assign(record);
  layout.needs_csv = layout.has_header && !layout.csv && needs_csv(record);
  if (!layout.has_header) {
    reader.keep_first_record();
    layout.header_lines = 0;
  }
  return layout;
}

namespace {

// Finds the columns a choice names in the header, and words nothing: a
// failure is a ColumnError with the facts its message needs.
class ColumnPlanner {
 public:
  ColumnPlanner(const DataLayout& layout, const ColumnChoice& choice, const std::string& file)
      : layout_(layout), file_(file), named_(layout.columns_named(names_in(choice))) {}

  // The column `name` names, for `option`; the error when the header has
  // none, or two that it could mean.
  Expected<long long, ColumnError> column_of(const std::string& name, const char* option) const {
    const std::vector<std::int64_t>& columns = named_.find(name)->second;
    if (columns.size() == 1) return columns[0];
    ColumnError e = error(columns.empty() ? ColumnError::Kind::UNKNOWN_NAME : ColumnError::Kind::TWO_COLUMNS, option);
    e.name = name;
    if (columns.size() == 2) {
      e.first = columns[0] + 1;
      e.second = columns[1] + 1;
    }
    return Unexpected(std::move(e));
  }

  // The columns of `names`, for `option`, in order.
  Expected<std::vector<long long>, ColumnError> columns_of(const std::vector<std::string>& names,
                                                           const char* option) const {
    std::vector<long long> columns;
    for (const std::string& name : names) {
      Expected<long long, ColumnError> column = column_of(name, option);
      if (!column) return Unexpected(std::move(column).error());
      columns.push_back(*column);
    }
    return columns;
  }

  ColumnError error(ColumnError::Kind kind, const std::string& option) const {
    ColumnError e;
    e.kind = kind;
    e.file = file_;
    e.option = option;
    e.header = layout_.names(MAX_LISTED_NAMES);
    e.columns = layout_.column_count;
    return e;
  }

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

// The columns each role takes, from 0; -1 for no target.
struct ColumnRoles {
  long long target = -1;
  std::vector<long long> inputs;
  std::vector<long long> kept;
};

Expected<ColumnRoles, ColumnError> find_roles(const DataLayout& layout, const ColumnChoice& choice,
                                              int variable_count, const std::string& file) {
  const ColumnPlanner planner(layout, choice, file);
  if (choice.named() && (!layout.has_header || layout.needs_csv))
    return Unexpected(planner.error(layout.has_header ? ColumnError::Kind::NEEDS_CSV : ColumnError::Kind::NO_HEADER,
                                    first_naming_option(choice)));
  ColumnRoles roles;
  if (!choice.target_name.empty()) {
    Expected<long long, ColumnError> target = planner.column_of(choice.target_name, "--target");
    if (!target) return Unexpected(std::move(target).error());
    roles.target = *target;
  } else if (target_by_count(layout, choice, variable_count)) {
    roles.target = 0;
  }
  Expected<std::vector<long long>, ColumnError> inputs = planner.columns_of(choice.inputs, "--inputs");
  if (!inputs) return Unexpected(std::move(inputs).error());
  roles.inputs = std::move(*inputs);
  // Without names, every column but the target is an input: counted before
  // any is listed, since a line may hold millions.
  const long long inputs_count = !choice.inputs.empty() ? static_cast<long long>(roles.inputs.size())
                                                         : layout.column_count - (roles.target >= 0 ? 1 : 0);
  if (inputs_count != variable_count)
    return Unexpected(ColumnError::mismatch(file, variable_count, inputs_count, choice.inputs.empty() ? "" : "--inputs"));
  if (choice.inputs.empty())
    for (long long c = 0; c < layout.column_count; ++c)
      if (c != roles.target) roles.inputs.push_back(c);
  Expected<std::vector<long long>, ColumnError> kept = planner.columns_of(choice.keep, "--keep");
  if (!kept) return Unexpected(std::move(kept).error());
  roles.kept = std::move(*kept);
  return roles;
}

}  // namespace

Expected<ColumnPlan, ColumnError> plan_columns(const DataLayout& layout, const ColumnChoice& choice,
                                               const Dialect& dialect, int variable_count, const std::string& file) {
  Expected<ColumnRoles, ColumnError> found = find_roles(layout, choice, variable_count, file);
  if (!found) return Unexpected(std::move(found).error());
  const ColumnRoles& roles = *found;
  ColumnPlan plan;
  plan.has_target = roles.target >= 0;
  plan.has_header = layout.has_header;
  plan.variable_count = variable_count;
  plan.column_count = static_cast<std::size_t>(layout.column_count);
  plan.header_lines = layout.header_lines;
  plan.numbered_header = layout.numbered_header;
  plan.dialect = dialect;
  plan.syntax = layout.syntax;
  plan.guarded = choice.named() && !dialect.csv;
  long long last = roles.target;
  for (long long c : roles.inputs) last = std::max(last, c);
  for (long long c : roles.kept) last = std::max(last, c);
  plan.fields.resize(static_cast<std::size_t>(last + 1));
  if (roles.target >= 0) plan.fields[static_cast<std::size_t>(roles.target)].feeds.push_back(-1);
  for (std::size_t m = 0; m < roles.inputs.size(); ++m)
    plan.fields[static_cast<std::size_t>(roles.inputs[m])].feeds.push_back(static_cast<int>(m));
  for (std::size_t k = 0; k < roles.kept.size(); ++k)
    plan.fields[static_cast<std::size_t>(roles.kept[k])].kept_as = static_cast<int>(k);
  plan.keep_count = roles.kept.size();
  if (layout.has_header) {
    // The names up to the last column used: a key reads at most a few hundred.
    const std::vector<std::string> names = layout.names(static_cast<std::size_t>(last + 1));
    const auto name = [&](long long c) { return names[static_cast<std::size_t>(c)]; };
    for (long long c : roles.inputs) plan.input_names.push_back(name(c));
    for (long long c : roles.kept) plan.keep_names.push_back(name(c));
    if (roles.target >= 0) plan.target_name = name(roles.target);
  }
  return plan;
}

}  // namespace karva
