#include "render/operator_text.h"

#include <optional>
#include <utility>

#include "model/ops.h"

namespace karva {

namespace {

// What the placeholder at the start of `rest` stands for, and its length;
// nothing for a $ that starts none.
std::optional<std::pair<std::string, std::size_t>> placeholder(std::string_view rest,
                                                               const std::function<std::string(double)>& literal,
                                                               std::string_view a, std::string_view b) {
  if (rest.starts_with("$a")) return std::pair{std::string(a), 2};
  if (rest.starts_with("$b")) return std::pair{std::string(b), 2};
  for (const NamedConstant& constant : OPERATOR_CONSTANTS)
    if (rest.starts_with(constant.placeholder)) return std::pair{literal(constant.value), constant.placeholder.size()};
  return std::nullopt;
}

}  // namespace

std::string operator_text(std::string_view text, const std::function<std::string(double)>& literal,
                          std::string_view a, std::string_view b) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t dollar = text.find('$', at);
    out.append(text.substr(at, dollar - at));
    if (dollar == std::string_view::npos) break;
    const auto found = placeholder(text.substr(dollar), literal, a, b);
    out += found ? found->first : "$";
    at = dollar + (found ? found->second : 1);
  }
  return out;
}

}  // namespace karva
