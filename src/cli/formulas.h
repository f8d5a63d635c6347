// The commands that show the key rather than run it: its formulas
// (--explain) and the key as code or a model (--emit).
#pragma once

#include <cstdio>

#include "cli/options.h"

namespace karva {

// karva --explain keyfile [indata]: the exit status.
int explain(const Options& options, std::FILE* in, std::FILE* out, std::FILE* err);

// karva --emit LANG keyfile [indata]: the exit status.
int emit(const Options& options, std::FILE* in, std::FILE* out, std::FILE* msg);

}  // namespace karva
