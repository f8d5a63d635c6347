// The texts of the operator table, filled in for one language: its
// literals for the constants, and the operands of a SQL form.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace karva {

// `text` with each constant's placeholder replaced by `literal` of its
// value, and $a and $b by `a` and `b`.
std::string operator_text(std::string_view text, const std::function<std::string(double)>& literal,
                          std::string_view a = "", std::string_view b = "");

}  // namespace karva
