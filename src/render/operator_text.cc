#include "render/operator_text.h"

#include <cstdlib>
#include <optional>
#include <utility>

#include "model/ops.h"

namespace karva {

namespace {

// What the placeholder at the start of `rest` stands for, and its length;
// nothing for a $ that starts none.
std::optional<std::pair<std::string, std::size_t>> placeholder(
    std::string_view rest, const std::function<std::string(double)>& literal, std::string_view a, std::string_view b,
    const std::function<std::string(std::string_view)>& helper) {
  if (rest.starts_with("$a")) return std::pair{std::string(a), 2};
  if (rest.starts_with("$b")) return std::pair{std::string(b), 2};
  if (const std::size_t close = rest.find(')'); rest.starts_with("$(") && close != std::string_view::npos)
    return std::pair{literal(std::strtod(std::string(rest.substr(2, close - 2)).c_str(), nullptr)), close + 1};
  if (rest.starts_with("$F_") && helper) {
    const std::size_t end = rest.find_first_not_of("abcdefghijklmnopqrstuvwxyz_", 3);
    return std::pair{helper(rest.substr(3, end - 3)), end};
  }
  for (const NamedConstant& constant : OPERATOR_CONSTANTS)
    if (rest.starts_with(constant.placeholder)) return std::pair{literal(constant.value), constant.placeholder.size()};
  return std::nullopt;
}

}  // namespace

std::string operator_text(std::string_view text, const std::function<std::string(double)>& literal,
                          std::string_view a, std::string_view b,
                          const std::function<std::string(std::string_view)>& helper) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t dollar = text.find('$', at);
    out.append(text.substr(at, dollar - at));
    if (dollar == std::string_view::npos) break;
    const auto found = placeholder(text.substr(dollar), literal, a, b, helper);
    out += found ? found->first : "$";
    at = dollar + (found ? found->second : 1);
  }
  return out;
}

}  // namespace karva
