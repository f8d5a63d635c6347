// The one place that knows the order of the stages of a run.
#pragma once

#include <cstdio>

#include "cli/options.h"

namespace karva {

// The console of a run: where the answer, predictions on "-" and messages go.
struct Console {
  std::FILE* in = stdin;
  std::FILE* out = stdout;
  std::FILE* err = stderr;
  bool err_is_terminal = false;  // progress is shown only on a terminal
  bool out_closed = false;       // standard output was closed when the run began
};

// Runs the whole job; returns the exit status.
int run(const Options& options, const Console& console);

// Why a message could not be written (errno), or 0: the stream's own error
// flag outlives the reason.
int message_write_error();

}  // namespace karva
