// The plan: everything a surface needs before any row flows, made once
// from the options. The run, --explain, --emit and the Python module take
// it; none of them reads the key, the first record or the columns itself.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "input/columns.h"
#include "input/file.h"
#include "input/reader.h"
#include "model/apply.h"
#include "base/expected.h"
#include "model/key.h"
#include "text/dialect.h"

namespace karva {

// "-" as the data file reads standard input; as the output file, writes
// the predictions to standard output.
inline constexpr const char* STANDARD_STREAM = "-";

// Whether `path` names the file `file` describes (the same device and
// inode), whatever path or link it takes; "-" names none.
bool names_file(const struct stat& file, const std::string& path);

// A file karva would write, and what it is for.
struct PlannedOutput {
  std::string path;
  std::string role;  // "output", "plot"
};

// What a surface asks of the plan.
struct PlanRequest {
  std::string key_path;
  std::string data_path;  // empty: no data
  ColumnChoice columns;
  Dialect dialect;
  std::uint64_t decoder_memory = DEFAULT_DECODER_MEMORY;  // the most a decompressor may take
  const std::atomic<bool>* cancel = nullptr;  // once set, a read that waits gives up
  bool prepare = true;  // build and compile every gene
  // Options that need the target, by name (--plot, say): without one, a
  // usage error.
  std::vector<std::string> needs_target;
  std::vector<PlannedOutput> outputs;
  // The prediction column's name, when the columns are written out: the
  // output's names must then be distinct and not empty.
  std::optional<std::string> prediction_name;
};

// The key and what became of it.
struct LoadedKey {
  std::string path;
  std::string bytes;  // the file's, as read
  Key key;
  std::optional<PreparedKey> prepared;  // when asked for
};

// The data file, open and read up to its first record.
struct DataSource {
  std::string path;
  FilePtr owned;  // when the plan opened it (not standard input)
  std::FILE* stream = nullptr;  // what the reader reads: `owned`, or standard input
  std::unique_ptr<DataReader> reader;
  DataLayout layout;
  std::string compression;  // what the data is compressed with, or empty
};

// A key loaded and prepared once is shared by every plan made with it (the
// service's requests, the Python module's calls), never copied.
using SharedKey = std::shared_ptr<const LoadedKey>;

struct Plan {
  SharedKey key;
  std::optional<DataSource> data;
  std::optional<ColumnPlan> columns;
};

// The question got no answer: input ended, or `tries` replies were none of
// the four letters.
struct NoAnswer {
  int tries = 0;
};

// The data file does not open.
struct DataOpenError {
  std::string path;
  int system_error = 0;
};

// A file karva would write names a file it reads, or another it writes.
struct OutputError {
  std::string path;
  std::string role;        // of the output
  std::string read_role;   // "key", "data", or another output's role
  std::string read_path;
};

// Two columns of the output would have one name, or one none.
struct OutputNameError {
  std::string name;  // empty for a column without a name
};

// A column named by an option is needed, but there is no target.
struct NoTarget {
  std::string option;
};

// Why there is no plan: the first failure, told by the stage that met it.
using PlanError =
    std::variant<OutputError, KeyError, DataOpenError, NoAnswer, FirstLineError, ColumnError, NoTarget, PrepareError,
                 OutputNameError>;

// Asks whether the first column of the data is the target.
using TargetQuestion = std::function<std::optional<bool>(NoAnswer*)>;

// Whether the error is that standard output is a file karva reads: no
// message may go there.
bool spoils_standard_output(const PlanError& err);
// The same for standard error: the message goes to standard output.
bool spoils_standard_error(const PlanError& err);
// The role of standard error in an OutputError (its path is empty).
inline constexpr const char* STANDARD_ERROR_ROLE = "standard error";

// Whether the error is a complaint about the command line: a column named
// that is not there, or an option without the target it needs.
bool is_usage_error(const PlanError& err);

// Why formulas show the inputs' letters rather than names from the data.
struct NamesNote {
  enum class Kind { NO_HEADER, MISFIT };
  Kind kind = Kind::NO_HEADER;
  std::string file;
  std::int64_t columns = 0;  // the header's, with MISFIT
  int variable_count = 0;
};

// The inputs' names for formulas and generated code: --inputs as given when
// there is no data, else the header's names of the columns the run would
// read. Empty, with a note, when the data has no names that fit.
struct InputNames {
  std::vector<std::string> names;
  std::optional<NamesNote> note;
};
Expected<InputNames, PlanError> plan_input_names(const PlanRequest& request, int variable_count,
                                                 std::FILE* standard_input);

// The stages, in the order the run takes them.
std::optional<OutputError> check_outputs(const PlanRequest& request, std::FILE* standard_input);
// `regular_only`: a key that is not a regular file is refused rather than
// waited for (a FIFO with no writer would block).
Expected<LoadedKey, PlanError> plan_key(const std::string& path, bool prepare_genes, bool regular_only = false);
// The same from the bytes of a key file, named `path` in messages.
Expected<LoadedKey, PlanError> plan_key_from_bytes(const std::string& path, std::string bytes, bool prepare_genes);
Expected<DataSource, PlanError> open_data(const std::string& path, std::FILE* standard_input, const Dialect& dialect,
                                          std::uint64_t decoder_memory = DEFAULT_DECODER_MEMORY,
                                          const std::atomic<bool>* cancel = nullptr);

// The whole plan: the outputs checked, the key loaded, the data opened,
// the question asked when nobody answered it (`ask` may be empty when the
// answer is given), the first record and the columns planned, every gene
// built; or the first failure.
Expected<Plan, PlanError> make_plan(const PlanRequest& request, std::FILE* standard_input, const TargetQuestion& ask);
// The same for a key already loaded (and perhaps prepared): its file is not
// read again, and the outputs are not checked. A key not yet prepared is
// prepared in a copy of its own when the request asks for it.
Expected<Plan, PlanError> plan_with_key(SharedKey key, const PlanRequest& request, std::FILE* standard_input,
                                        const TargetQuestion& ask);
// The same for data already open (or none).
Expected<Plan, PlanError> plan_with_data(SharedKey key, std::optional<DataSource> data, const PlanRequest& request,
                                         const TargetQuestion& ask);
// Data read from `bytes` (a file, a request's body), decoded as a file is
// and named `name` in messages.
// `bounds` hold the decoded text within a size and a time.
DataSource data_source(ByteSource bytes, const std::string& name, const Dialect& dialect,
                       std::uint64_t decoder_memory = DEFAULT_DECODER_MEMORY,
                       const std::optional<TextBounds>& bounds = std::nullopt);

}  // namespace karva
