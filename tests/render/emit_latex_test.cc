// Numbers and names as LaTeX: what the formulas are made of. That the whole
// document parses, compiles and reads back as the command's values is
// tested by python/tests/test_latex.py.
#include "render/emit_latex.h"

#include <gtest/gtest.h>

#include <limits>

#include "text/escape.h"

namespace karva {
namespace {

TEST(EmitLatex, NumbersReadBackAndNamesCannotEscapeTheirText) {
  const std::pair<double, const char*> numbers[] = {
      {0.5, "0.5"},        {-1e-05, "-1 \\cdot 10^{-5}"}, {1.7976931348623157e308, "1.7976931348623157 \\cdot 10^{308}"},
      {4294967295, "4294967295"}, {-std::numeric_limits<double>::infinity(), "-\\infty"}};
  for (const auto& [value, text] : numbers) EXPECT_EQ(latex_number(value), text);
  const std::pair<const char*, const char*> names[] = {
      {"x_1", "x\\_1"}, {"a}b{", "a\\}b\\{"}, {"\\end{document}", "$\\backslash$end\\{document\\}"},
      {"5$ & 10% #1", "5$\\$$ \\& 10\\% \\#1"}, {"~^", "\\~{}\\^{}"}, {"line\nend", "line[U+000A]end"},
      {"\xc3\xa9", "[U+00E9]"}};
  for (const auto& [name, text] : names) EXPECT_EQ(latex_text(name), text);
}

}  // namespace
}  // namespace karva
