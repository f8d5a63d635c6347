#include "tool/plot.h"

#include "tool/escape.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace karva {
namespace {

// The page and its two panels.
constexpr double WIDTH = 960;
constexpr double HEIGHT = 500;
constexpr double PANEL = 340;  // each panel's plotting square
constexpr double TOP = 70;
constexpr double LEFT_PANEL = 80;
constexpr double RIGHT_PANEL = 560;
constexpr double POINT_RADIUS = 1.8;
constexpr int TICKS = 5;          // about this many ticks an axis
constexpr int HISTOGRAM_BINS = 30;  // about this many bins
constexpr int MAX_BINS = 200;

// Appends printf's text, however long: names and paths have no bound.
[[gnu::format(printf, 2, 3)]] void put(std::string& out, const char* fmt, ...) {
  std::va_list args;
  va_start(args, fmt);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(n) + 1);
  std::vsnprintf(out.data() + at, static_cast<std::size_t>(n) + 1, fmt, again);
  va_end(again);
  out.pop_back();  // vsnprintf's terminating zero
}

// 1, 2 or 5 times a power of ten, at least `raw`.
double nice_step(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * power >= raw) return m * power;
  return 10.0 * power;
}

// An axis from round value to round value, widened around a single value.
struct Axis {
  double lo = 0.0;
  double hi = 1.0;
  double step = 0.2;
  double map(double v, double length) const { return (v - lo) / (hi - lo) * length; }
};

Axis make_axis(double lo, double hi) {
  if (!(lo <= hi)) {
    lo = 0.0;
    hi = 1.0;
  }
  if (lo == hi) {
    const double pad = std::max(1.0, std::fabs(lo) * 0.1);
    lo -= pad;
    hi += pad;
  }
  Axis a;
  a.step = nice_step((hi - lo) / TICKS);
  a.lo = std::floor(lo / a.step) * a.step;
  a.hi = std::ceil(hi / a.step) * a.step;
  if (a.hi <= a.lo) a.hi = a.lo + a.step;
  return a;
}

std::string tick_text(double v, double step) {
  if (std::fabs(v) < step * 1e-9) v = 0.0;  // no "-0" or 1e-17 at the origin
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// Ticks and their labels along the bottom and the left of a panel.
void draw_axes(std::string& out, double left, const Axis& x, const Axis& y, const std::string& x_name,
               const std::string& y_name) {
  const double bottom = TOP + PANEL;
  put(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#444\"/>\n", left, TOP,
      PANEL, PANEL);
  for (int i = 0;; ++i) {
    const double v = x.lo + i * x.step;
    if (v > x.hi + x.step * 1e-9) break;
    const double px = left + x.map(v, PANEL);
    put(out, "<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"#444\"/>\n", px, bottom, px, bottom + 5);
    put(out, "<text x=\"%.2f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", px, bottom + 19,
        tick_text(v, x.step).c_str());
  }
  for (int i = 0;; ++i) {
    const double v = y.lo + i * y.step;
    if (v > y.hi + y.step * 1e-9) break;
    const double py = bottom - y.map(v, PANEL);
    put(out, "<line x1=\"%.1f\" y1=\"%.2f\" x2=\"%.1f\" y2=\"%.2f\" stroke=\"#444\"/>\n", left - 5, py, left, py);
    put(out, "<text x=\"%.1f\" y=\"%.2f\" text-anchor=\"end\">%s</text>\n", left - 8, py + 4,
        tick_text(v, y.step).c_str());
  }
  put(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", left + PANEL / 2, bottom + 40,
      xml_text(x_name).c_str());
  put(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 %.1f %.1f)\">%s</text>\n",
      left - 52, TOP + PANEL / 2, left - 52, TOP + PANEL / 2, xml_text(y_name).c_str());
}

}  // namespace

std::string plot_svg(const FitData& fit, const FitStatistics& statistics, const PlotLabels& labels) {
  // Only rows whose target and prediction are both finite are drawn.
  double lo = INFINITY;
  double hi = -INFINITY;
  double error_lo = INFINITY;
  double error_hi = -INFINITY;
  std::size_t drawn = 0;
  const std::size_t rows = fit.targets.size();
  const auto finite = [&](std::size_t i) { return std::isfinite(fit.targets[i]) && std::isfinite(fit.predictions[i]); };
  for (std::size_t i = 0; i < rows; ++i) {
    if (!finite(i)) continue;
    ++drawn;
    lo = std::min({lo, fit.targets[i], fit.predictions[i]});
    hi = std::max({hi, fit.targets[i], fit.predictions[i]});
    const double error = fit.predictions[i] - fit.targets[i];
    error_lo = std::min(error_lo, error);
    error_hi = std::max(error_hi, error);
  }
  // Both axes of the first panel share one scale, so that y = x is the diagonal.
  const Axis axis = make_axis(lo, hi);

  std::string out;
  put(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  put(out,
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n",
      WIDTH, HEIGHT, WIDTH, HEIGHT);
  put(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
  put(out, "<text id=\"title\" x=\"%.1f\" y=\"30\" text-anchor=\"middle\" font-size=\"16\">%s: %zu rows, R-square = %s</text>\n",
      WIDTH / 2, xml_text(labels.key_name).c_str(), rows, xml_text(labels.r_square).c_str());

  // Predicted against actual.
  draw_axes(out, LEFT_PANEL, axis, axis, labels.target_name, "predict");
  const double bottom = TOP + PANEL;
  if (drawn <= MAX_PLOT_POINTS) {
    put(out, "<g id=\"points\" data-count=\"%zu\" fill=\"#1f5fa8\" fill-opacity=\"0.6\">\n", drawn);
    for (std::size_t i = 0; i < rows; ++i) {
      if (!finite(i)) continue;
      put(out, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.1f\"/>\n", LEFT_PANEL + axis.map(fit.targets[i], PANEL),
          bottom - axis.map(fit.predictions[i], PANEL), POINT_RADIUS);
    }
    put(out, "</g>\n");
  } else {
    std::vector<std::size_t> cells(static_cast<std::size_t>(DENSITY_CELLS) * DENSITY_CELLS, 0);
    const auto cell_of = [&](double v) {
      const int c = static_cast<int>(axis.map(v, DENSITY_CELLS));
      return static_cast<std::size_t>(std::clamp(c, 0, DENSITY_CELLS - 1));
    };
    std::size_t most = 0;
    for (std::size_t i = 0; i < rows; ++i) {
      if (!finite(i)) continue;
      std::size_t& c = cells[cell_of(fit.predictions[i]) * DENSITY_CELLS + cell_of(fit.targets[i])];
      most = std::max(most, ++c);
    }
    const double side = PANEL / DENSITY_CELLS;
    put(out, "<g id=\"cells\" data-count=\"%zu\" fill=\"#1f5fa8\">\n", drawn);
    for (int row = 0; row < DENSITY_CELLS; ++row)
      for (int col = 0; col < DENSITY_CELLS; ++col) {
        const std::size_t c = cells[static_cast<std::size_t>(row * DENSITY_CELLS + col)];
        if (c == 0) continue;
        // Shaded by the logarithm of the count, so that sparse cells still show.
        const double shade = 0.15 + 0.85 * std::log1p(static_cast<double>(c)) / std::log1p(static_cast<double>(most));
        put(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill-opacity=\"%.3f\" data-count=\"%zu\"/>\n",
            LEFT_PANEL + col * side, bottom - (row + 1) * side, side, side, shade, c);
      }
    put(out, "</g>\n");
  }
  put(out,
      "<line id=\"identity\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#c0392b\" "
      "stroke-dasharray=\"6 4\"/>\n",
      LEFT_PANEL, bottom, LEFT_PANEL + PANEL, TOP);
  put(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\">predicted against actual</text>\n",
      LEFT_PANEL + PANEL / 2, TOP - 10);

  // The errors, in bins with round edges.
  const Axis spread = make_axis(drawn ? error_lo : 0.0, drawn ? error_hi : 0.0);
  double width = nice_step((spread.hi - spread.lo) / HISTOGRAM_BINS);
  while ((spread.hi - spread.lo) / width > MAX_BINS) width = nice_step(width * 1.5);
  const int bins = std::max(1, static_cast<int>(std::ceil((spread.hi - spread.lo) / width - 1e-9)));
  std::vector<std::size_t> counts(static_cast<std::size_t>(bins), 0);
  for (std::size_t i = 0; i < rows; ++i) {
    if (!finite(i)) continue;
    const int b = static_cast<int>(std::floor((fit.predictions[i] - fit.targets[i] - spread.lo) / width));
    ++counts[static_cast<std::size_t>(std::clamp(b, 0, bins - 1))];
  }
  const std::size_t tallest = counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
  // Head room above the tallest bin for the RMSE and MAE.
  const Axis count_axis = make_axis(0.0, 1.25 * static_cast<double>(std::max<std::size_t>(tallest, 1)));
  Axis bin_axis = spread;
  bin_axis.hi = spread.lo + bins * width;
  draw_axes(out, RIGHT_PANEL, bin_axis, count_axis, "prediction - target", "rows");
  put(out, "<g id=\"bins\" data-count=\"%d\" fill=\"#27865f\" fill-opacity=\"0.8\" stroke=\"white\">\n", bins);
  for (int b = 0; b < bins; ++b) {
    const std::size_t c = counts[static_cast<std::size_t>(b)];
    const double h = count_axis.map(static_cast<double>(c), PANEL);
    put(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" data-count=\"%zu\"/>\n",
        RIGHT_PANEL + bin_axis.map(spread.lo + b * width, PANEL), bottom - h, PANEL / bins, h, c);
  }
  put(out, "</g>\n");
  put(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\">errors</text>\n",
      RIGHT_PANEL + PANEL / 2, TOP - 10);
  put(out, "<text id=\"rmse\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">RMSE = %.6g</text>\n",
      RIGHT_PANEL + PANEL - 8, TOP + 18, statistics.rmse);
  put(out, "<text id=\"mae\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">MAE = %.6g</text>\n",
      RIGHT_PANEL + PANEL - 8, TOP + 34, statistics.mae);
  if (drawn < rows)
    put(out, "<text id=\"note\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%zu rows with a NaN or infinite target or "
             "prediction are left out of the picture.</text>\n",
        WIDTH / 2, HEIGHT - 12, rows - drawn);
  put(out, "</svg>\n");
  return out;
}

}  // namespace karva
