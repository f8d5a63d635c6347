// The plot on arbitrary rows: every 16 bytes are a target and a prediction,
// bit for bit, so that infinities, NaN, subnormals and values that span more
// than the largest double all come. The picture must end, and hold no
// coordinate that is not a number.
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/fit.h"
#include "render/plot.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karva::FitData fit;
  constexpr std::size_t ROW_BYTES = 2 * sizeof(double);
  for (std::size_t at = 0; at + ROW_BYTES <= size; at += ROW_BYTES) {
    double values[2];
    std::memcpy(values, data + at, ROW_BYTES);
    fit.targets.push_back(values[0]);
    fit.predictions.push_back(values[1]);
  }
  fit.rows_left_out = size % ROW_BYTES;
  const std::string svg = karva::plot_svg(fit, karva::fit_statistics(fit), {"k.key", "d.txt", "y", "0.5", "p"});
  for (const char* bad : {"=\"nan", "=\"-nan", "=\"inf", "=\"-inf"})
    if (svg.find(bad) != std::string::npos) __builtin_trap();
  return 0;
}
