// The texts of the operator table, filled in for one language: its
// literals for the constants, and the operands of a SQL form.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace karva {

// `text` with each constant's placeholder, and each $(C literal), replaced
// by `literal` of its value; $a and $b by `a` and `b`; and $F_name by
// `helper` of the name.
std::string operator_text(std::string_view text, const std::function<std::string(double)>& literal,
                          std::string_view a = "", std::string_view b = "",
                          const std::function<std::string(std::string_view)>& helper = {});

}  // namespace karva
