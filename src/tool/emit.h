// The key as source code that computes, bit for bit, what karva computes.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "model/apply.h"
#include "model/key.h"
#include "tool/options.h"

namespace karva {

// The languages --emit writes.
inline constexpr std::array<std::string_view, 2> EMIT_LANGUAGES = {"c", "python"};

// One self-contained source file for `language` ("c": C99 with <math.h>,
// a function karva_predict; "python": a module with predict(x)). `names`
// are the inputs' names for the comments, or empty.
std::string emit_source(std::string_view language, const std::string& key_name, const Key& key,
                        const PreparedKey& prepared, const std::vector<std::string>& names);

// karva --emit LANG keyfile [indata]: the source on `out`, messages on
// `msg`. Returns the exit status.
int emit(const Options& options, std::FILE* in, std::FILE* out, std::FILE* msg);

}  // namespace karva
