// The key as a workbook: live formulas for the rows of a data file, or a
// template to fill, and a sheet that says what the model is.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "model/key.h"

namespace karva {

// A sheet's rows below its header, at most.
inline constexpr std::size_t MOST_SHEET_ROWS = 1048575;
// Its columns.
inline constexpr int MOST_SHEET_COLUMNS = 16384;

// The rows the sheet shows, as the run read and scored them.
struct WorkbookRows {
  std::size_t count = 0;      // 0 for a template
  int width = 0;              // values a row: the inputs, then each gene's
  std::vector<double> values;  // row by row
  std::vector<unsigned char> missing;  // 1 where a row misses an input
  std::vector<double> predictions;
  std::vector<double> targets;  // when there is a target
  double r_square = 0;          // the command's, when there is a target
};

struct WorkbookRequest {
  std::string key_name;
  std::string sha256;
  std::vector<std::string> input_names;  // one a column
  std::string prediction_name;
  std::string target_name;   // empty: no target column
  std::size_t template_rows = 0;  // empty rows, without data
  std::string formulas;      // what --explain says of the genes, line by line
};

struct WorkbookError {
  enum class Kind { TOO_MANY_COLUMNS, NOT_WRITTEN };
  Kind kind = Kind::NOT_WRITTEN;
  int columns = 0;     // TOO_MANY_COLUMNS
  std::string reason;  // NOT_WRITTEN: the library's or the system's
};

// Takes a block of the file's bytes; false stops the copy.
using WorkbookWrite = std::function<bool(const char* bytes, std::size_t size)>;

// Writes the .xlsx file whole, then hands it to `write`; why it could not,
// when it could not.
std::optional<WorkbookError> emit_xlsx(const Key& key, const WorkbookRequest& request, const WorkbookRows& rows,
                                       const WorkbookWrite& write);

}  // namespace karva
