// A picture of the fit: predictions against the truth, and how the errors
// spread, as one self-contained SVG file.
#pragma once

#include <string>

#include "engine/fit.h"

namespace karva {

struct PlotLabels {
  std::string key_name;     // for the title
  std::string data_name;
  std::string target_name;  // the x axis
  std::string r_square;     // as the run prints it
  std::string prediction_name = "predict";  // the y axis
};

// At most this many rows are drawn as points; more are a density of cells.
inline constexpr std::size_t MAX_PLOT_POINTS = 5000;
inline constexpr int DENSITY_CELLS = 80;  // per side of the grid

// The SVG text, built from the rows of the fit alone. The axes span the
// values within Tukey's far fences; what is not drawn is counted on the
// picture.
std::string plot_svg(const FitData& fit, const FitStatistics& statistics, const PlotLabels& labels);

}  // namespace karva
