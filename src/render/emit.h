// The key as source code that computes, bit for bit, what karva computes.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "model/apply.h"
#include "model/key.h"

namespace karva {

// The languages --emit writes.
inline constexpr std::array<std::string_view, 6> EMIT_LANGUAGES = {"c", "python", "sql", "onnx", "xlsx", "latex"};

// Whether what --emit writes for `language` is binary data, which is never
// sent to a terminal.
constexpr bool emit_is_binary(std::string_view language) { return language == "onnx" || language == "xlsx"; }

// One self-contained source file for `language` ("c": C99 with <math.h>,
// a function karva_predict; "python": a module with predict(x)), the
// function named `function` instead when it is not empty (an identifier:
// is_identifier). `names` are the inputs' names for the comments and for
// the Python function's mapping of names to values, or empty.
std::string emit_source(std::string_view language, const std::string& key_name, const Key& key,
                        const PreparedKey& prepared, const std::vector<std::string>& names,
                        const std::string& function = "");

// What a generated file says of the key it came from, a line each: the
// key, its inputs (named by `names` when there are any), each gene's
// formula.
std::vector<std::string> key_description(const std::string& key_name, const Key& key,
                                         const std::vector<std::string>& names);

// Whether `name` can name a function in C and in Python: a letter or _,
// then letters, digits and _.
bool is_identifier(std::string_view name);

}  // namespace karva
