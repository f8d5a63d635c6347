#include "render/emit_xlsx.h"

#include <unistd.h>
#include <xlsxwriter.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "render/sheet_formulas.h"

namespace karva {
namespace {

constexpr const char* DATA_SHEET = "Predictions";
constexpr const char* MODEL_SHEET = "Model";
constexpr const char* NUMBER_ERROR = "#NUM!";

// The text of `value` with `digits` significant digits, as the library
// and the spreadsheets read numbers.
std::string digits_of(double value, int digits) {
  char text[40];
  std::snprintf(text, sizeof text, "%.*G", digits, value);
  return text;
}

// The workbook's named constants: each in a cell of the model sheet.
class Constants {
 public:
  // How a formula writes `value`: a number a spreadsheet reads back as
  // itself, or the name of the cell that holds it.
  std::string reference(double value) {
    const std::string text = digits_of(value, 15);
    if (std::isfinite(value) && std::strtod(text.c_str(), nullptr) == value) return value < 0 ? "(" + text + ")" : text;
    return name("constant_" + std::to_string(by_value_.size() + 1), value, true);
  }
  std::string name(const std::string& name, double value, bool shared = false) {
    if (shared) {
      const auto [at, added] = by_value_.try_emplace(std::bit_cast<std::uint64_t>(value), name);
      if (!added) return at->second;
    }
    named_.push_back({name, value});
    return name;
  }
  std::vector<std::pair<std::string, double>> named_;

 private:
  std::map<std::uint64_t, std::string> by_value_;
};

// A formula's text for `value` exactly: the library writes 16 significant
// digits, and a spreadsheet reads 15 of a number typed into a formula, so a
// double that needs 17 is the sum of two that need 15 at most (halved
// first where 15 digits would round past the largest double).
std::string exact_text(double value) {
  const std::string high = digits_of(value, 15);
  const double read = std::strtod(high.c_str(), nullptr);
  if (!std::isfinite(read)) return "2*(" + exact_text(value / 2) + ")";
  return high + "+(" + digits_of(value - read, 15) + ")";
}

// Writes `value` into a cell exactly; a value outside the range is #NUM!.
lxw_error write_exact(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, double value) {
  if (!std::isfinite(value)) return worksheet_write_formula_str(sheet, row, column, "=SQRT(-1)", nullptr, NUMBER_ERROR);
  if (std::strtod(digits_of(value, 16).c_str(), nullptr) == value) return worksheet_write_number(sheet, row, column, value, nullptr);
  return worksheet_write_formula_num(sheet, row, column, ("=" + exact_text(value)).c_str(), nullptr, value);
}

// A formula with its cached result: a number, #NUM!, or "" where the row
// has no prediction.
lxw_error write_formula(lxw_worksheet* sheet, lxw_row_t row, lxw_col_t column, const std::string& formula,
                        bool missing, double value) {
  if (missing) return worksheet_write_formula_str(sheet, row, column, formula.c_str(), nullptr, "");
  if (!std::isfinite(value)) return worksheet_write_formula_str(sheet, row, column, formula.c_str(), nullptr, NUMBER_ERROR);
  return worksheet_write_formula_num(sheet, row, column, formula.c_str(), nullptr, value);
}

// `formula` for sheet row `row` (0 is the header).
std::string for_row(const std::string& formula, lxw_row_t row) {
  const std::string number = std::to_string(row + 1);
  std::string out;
  for (const char c : formula) c == SHEET_ROW ? out += number : out += c;
  return out;
}

}  // namespace

namespace {

// Fills a workbook: the data sheet, row by row (the library keeps only the
// row being written), then the model sheet and the constants' names.
class WorkbookWriter {
 public:
  WorkbookWriter(const Key& key, const WorkbookRequest& request, const WorkbookRows& rows)
      : request_(request), rows_(rows),
        formulas_(key, [this](double v) { return constants_.reference(v); },
                  [this, &key](int gene, bool slope) {
                    const KeyGene& g = key.genes[static_cast<std::size_t>(gene)];
                    return constants_.name((slope ? "slope_" : "intercept_") + std::to_string(gene + 1),
                                           slope ? g.slope : g.intercept);
                  }),
        inputs_(key.variable_count),
        prediction_(inputs_ + static_cast<int>(formulas_.columns().size())),
        prediction_formula_(
            formulas_.guarded(column_name(formulas_.gene_column(key.gene_count() - 1)) + SHEET_ROW)) {}

  int column_count() const { return prediction_ + (request_.target_name.empty() ? 1 : 3); }

  lxw_error write(lxw_workbook* book) {
    lxw_worksheet* data = workbook_add_worksheet(book, DATA_SHEET);
    lxw_worksheet* model = workbook_add_worksheet(book, MODEL_SHEET);
    if (!data || !model) return LXW_ERROR_MEMORY_MALLOC_FAILED;
    bold_ = workbook_add_format(book);
    format_set_bold(bold_);
    worksheet_freeze_panes(data, 1, 0);
    worksheet_set_column(data, 0, static_cast<lxw_col_t>(column_count() - 1), 14, nullptr);
    lxw_error error = header(data);
    const std::size_t count = rows_.count ? rows_.count : request_.template_rows;
    for (std::size_t i = 0; i < count && error == LXW_NO_ERROR; ++i) error = row(data, i);
    if (error == LXW_NO_ERROR) error = model_sheet(model);
    for (std::size_t k = 0; k < constants_.named_.size() && error == LXW_NO_ERROR; ++k)
      error = workbook_define_name(book, constants_.named_[k].first.c_str(),
                                   ("=" + std::string(MODEL_SHEET) + "!$B$" + std::to_string(first_constant_ + k + 1)).c_str());
    return error;
  }

 private:
  lxw_error header(lxw_worksheet* sheet) {
    std::vector<std::string> names = request_.input_names;
    for (const SheetColumn& column : formulas_.columns()) names.push_back(column.header);
    names.push_back(request_.prediction_name);
    if (!request_.target_name.empty()) names.insert(names.end(), {request_.target_name, "R-square"});
    lxw_error error = LXW_NO_ERROR;
    for (std::size_t c = 0; c < names.size() && error == LXW_NO_ERROR; ++c)
      error = worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c), names[c].c_str(), bold_);
    return error;
  }

  lxw_error row(lxw_worksheet* sheet, std::size_t i) {
    const auto r = static_cast<lxw_row_t>(i + 1);
    const double* values = rows_.count ? rows_.values.data() + i * static_cast<std::size_t>(rows_.width) : nullptr;
    const bool missing = !values || rows_.missing[i];
    lxw_error error = LXW_NO_ERROR;
    for (int m = 0; m < inputs_ && values && error == LXW_NO_ERROR; ++m)
      if (!std::isnan(values[m])) error = worksheet_write_number(sheet, r, static_cast<lxw_col_t>(m), values[m], nullptr);
    int c = inputs_;
    for (const SheetColumn& column : formulas_.columns()) {
      if (error != LXW_NO_ERROR) return error;
      error = write_formula(sheet, r, static_cast<lxw_col_t>(c++), for_row(column.formula, r), missing,
                            missing ? 0.0 : formulas_.value(column, values));
    }
    if (error == LXW_NO_ERROR)
      error = write_formula(sheet, r, static_cast<lxw_col_t>(prediction_), for_row(prediction_formula_, r), missing,
                            missing ? 0.0 : rows_.predictions[i]);
    if (request_.target_name.empty() || error != LXW_NO_ERROR) return error;
    if (values && !std::isnan(rows_.targets[i]))
      error = worksheet_write_number(sheet, r, static_cast<lxw_col_t>(prediction_ + 1), rows_.targets[i], nullptr);
    return error == LXW_NO_ERROR && i == 0 ? r_square(sheet) : error;
  }

  // RSQ over the rows' targets and predictions: a spreadsheet leaves out
  // the rows where either is not a number, as the command does.
  lxw_error r_square(lxw_worksheet* sheet) {
    const std::size_t count = rows_.count ? rows_.count : request_.template_rows;
    const std::string end = std::to_string(count + 1);
    const std::string target = column_name(prediction_ + 1);
    const std::string prediction = column_name(prediction_);
    const std::string formula = "=IFERROR(RSQ(" + target + "2:" + target + end + "," + prediction + "2:" + prediction +
                                end + "),SQRT(-1))";
    return write_formula(sheet, 1, static_cast<lxw_col_t>(prediction_ + 2), formula, rows_.count == 0, rows_.r_square);
  }

  lxw_error model_sheet(lxw_worksheet* sheet) {
    worksheet_set_column(sheet, 0, 0, 18, nullptr);
    worksheet_set_column(sheet, 1, 1, 70, nullptr);
    std::vector<std::pair<std::string, std::string>> lines = {
        {"Key", request_.key_name}, {"SHA-256", request_.sha256}, {"", ""}};
    for (std::size_t at = 0; at < request_.formulas.size();) {
      const std::size_t end = request_.formulas.find('\n', at);
      lines.push_back({"", request_.formulas.substr(at, end - at)});
      at = end == std::string::npos ? end : end + 1;
    }
    lines.insert(lines.end(), {{"", ""}, {"Constant", "Value"}});
    lxw_error error = LXW_NO_ERROR;
    lxw_row_t r = 0;
    for (const auto& [label, text] : lines) {
      if (error == LXW_NO_ERROR && !label.empty()) error = worksheet_write_string(sheet, r, 0, label.c_str(), bold_);
      if (error == LXW_NO_ERROR && !text.empty()) error = worksheet_write_string(sheet, r, 1, text.c_str(), nullptr);
      ++r;
    }
    first_constant_ = r;
    for (const auto& [name, value] : constants_.named_) {
      if (error == LXW_NO_ERROR) error = worksheet_write_string(sheet, r, 0, name.c_str(), nullptr);
      if (error == LXW_NO_ERROR) error = write_exact(sheet, r, 1, value);
      ++r;
    }
    return error;
  }

  const WorkbookRequest& request_;
  const WorkbookRows& rows_;
  Constants constants_;
  SheetFormulas formulas_;
  int inputs_;
  int prediction_;  // the prediction's column; the target's and R-square's after it
  std::string prediction_formula_;
  lxw_format* bold_ = nullptr;
  std::size_t first_constant_ = 0;
};

// The bytes of a file karva made and no one else can see: created and
// unlinked at once, written through its /proc name, read back whole.
class HiddenFile {
 public:
  HiddenFile() {
    const char* folder = std::getenv("TMPDIR");
    std::string name = std::string(folder && *folder ? folder : "/tmp") + "/karva-xlsx-XXXXXX";
    fd_ = mkstemp(name.data());
    if (fd_ >= 0) unlink(name.c_str());
  }
  ~HiddenFile() {
    if (fd_ >= 0) close(fd_);
  }
  HiddenFile(const HiddenFile&) = delete;
  HiddenFile& operator=(const HiddenFile&) = delete;

  bool open() const { return fd_ >= 0; }
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
  // Hands the file to `write` a block at a time: false when a read or
  // `write` fails.
  bool copy(const WorkbookWrite& write) const {
    std::vector<char> block(1 << 20);
    for (off_t at = 0;;) {
      const ssize_t got = pread(fd_, block.data(), block.size(), at);
      if (got < 0) return false;
      if (got == 0) return true;
      if (!write(block.data(), static_cast<std::size_t>(got))) return false;
      at += got;
    }
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::optional<WorkbookError> emit_xlsx(const Key& key, const WorkbookRequest& request, const WorkbookRows& rows,
                                       const WorkbookWrite& write) {
  WorkbookWriter writer(key, request, rows);
  if (writer.column_count() > MOST_SHEET_COLUMNS)
    return WorkbookError{WorkbookError::Kind::TOO_MANY_COLUMNS, writer.column_count(), ""};
  const HiddenFile file;
  if (!file.open()) return WorkbookError{WorkbookError::Kind::NOT_WRITTEN, 0, std::strerror(errno)};
  lxw_workbook_options options = {LXW_TRUE, nullptr, LXW_FALSE};
  lxw_workbook* book = workbook_new_opt(file.path().c_str(), &options);
  if (!book) return WorkbookError{WorkbookError::Kind::NOT_WRITTEN, 0, "the workbook could not be made"};
  const lxw_error written = writer.write(book);
  const lxw_error closed = workbook_close(book);
  const lxw_error error = written != LXW_NO_ERROR ? written : closed;
  if (error != LXW_NO_ERROR) return WorkbookError{WorkbookError::Kind::NOT_WRITTEN, 0, lxw_strerror(error)};
  // A failed write of the output is the caller's to report.
  if (!file.copy(write)) return WorkbookError{WorkbookError::Kind::NOT_WRITTEN, 0, std::strerror(errno)};
  return std::nullopt;
}

}  // namespace karva
