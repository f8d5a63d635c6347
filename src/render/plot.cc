#include "render/plot.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <vector>

#include "text/escape.h"
#include "text/printf_text.h"

namespace karva {
namespace {

// The page and its two panels.
constexpr double WIDTH = 960;
constexpr double HEIGHT = 520;
constexpr double PANEL = 340;  // each panel's plotting square
constexpr double TOP = 70;
constexpr double LEFT_PANEL = 95;
constexpr double RIGHT_PANEL = 575;
constexpr double POINT_RADIUS = 1.8;
constexpr double CHAR_WIDTH = 7;  // of a tick label at font size 12, about
constexpr int TICKS = 5;            // about this many ticks an axis
constexpr int HISTOGRAM_BINS = 30;  // about this many bins
constexpr int MAX_BINS = 200;
// The axes span the central share of the points, so that a few wild
// predictions do not squash the rest into a corner.
constexpr double CENTRAL_SHARE = 0.999;  // where the fences cannot tell
constexpr int SHADE_STEPS = 5;  // boxes in the density's scale
// Every loop over ticks and bin widths ends by these, whatever the values.
constexpr int MAX_TICKS = 100;
constexpr int MAX_WIDENINGS = 64;
constexpr double MIN_RELATIVE_STEP = 0x1p-40;  // of the largest magnitude an axis spans

// Values may span more than the largest double: spans are taken of halves.
double half_span(double lo, double hi) { return hi / 2 - lo / 2; }
double clamped(double v) { return std::clamp(v, -DBL_MAX, DBL_MAX); }
// `v` as a whole number from `low` to `high`; NaN gives `low`.
int whole_in(double v, int low, int high) {
  return v >= low ? static_cast<int>(std::min(v, static_cast<double>(high))) : low;
}


// 1, 2 or 5 times a power of ten, at least `raw`.
double nice_step(double raw) {
  if (!(raw > 0) || !std::isfinite(raw)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (m * power >= raw) return m * power;
  // Among the subnormal doubles the powers of ten are not exact: the raw step does.
  return raw;
}

// An axis from round value to round value, widened around a single value.
struct Axis {
  double lo = 0.0;
  double hi = 1.0;
  double step = 0.2;
  double map(double v, double length) const { return half_span(lo, v) / half_span(lo, hi) * length; }
  bool holds(double v) const { return v >= lo && v <= hi; }
};

Axis make_axis(double lo, double hi) {
  if (!(lo <= hi) || !std::isfinite(lo) || !std::isfinite(hi)) {
    lo = 0.0;
    hi = 1.0;
  }
  if (lo == hi) {
    const double pad = std::max(1.0, std::fabs(lo) * 0.1);
    lo = clamped(lo - pad);
    hi = clamped(hi + pad);
  }
  Axis a;
  // A step too small to move the ends (values an ulp or two apart) would
  // leave the axis without a span: it is at least a small share of them,
  // and never subnormal, where a span could halve to nothing.
  const double least = std::max(std::max(std::fabs(lo), std::fabs(hi)) * MIN_RELATIVE_STEP, DBL_MIN);
  a.step = nice_step(std::max(half_span(lo, hi) / TICKS * 2, least));
  a.lo = clamped(std::floor(lo / a.step) * a.step);
  a.hi = clamped(std::ceil(hi / a.step) * a.step);
  if (!(a.hi > a.lo)) a.hi = clamped(a.lo + a.step);
  return a;
}

// The range the axes show of `v` (sorted in place): the values within
// Tukey's far fences, three interquartile ranges beyond the quartiles, so
// that a few wild values among any number of rows do not squash the rest
// into a corner; where half the values or more are one, the central share.
std::pair<double, double> shown_range(std::vector<double>& v) {
  if (v.empty()) return {0.0, 0.0};
  std::sort(v.begin(), v.end());
  const auto at = [&](double share) { return v[static_cast<std::size_t>(std::floor(share * static_cast<double>(v.size() - 1)))]; };
  // In long double, whose range holds any difference of doubles.
  const long double q1 = at(0.25), q3 = at(0.75), fence = 3 * (q3 - q1);
  if (fence == 0) return {at((1.0 - CENTRAL_SHARE) / 2), at((1.0 + CENTRAL_SHARE) / 2)};
  const auto low = std::find_if(v.begin(), v.end(), [&](double x) { return x >= q1 - fence; });
  const auto high = std::find_if(v.rbegin(), v.rend(), [&](double x) { return x <= q3 + fence; });
  return {*low, *high};
}

// A count as people read it: 1,234,567.
std::string count_text(std::size_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, ",");
  return digits;
}

// A figure of the fit; where it has none (a NaN or an infinite target or
// prediction, a constant target) that is said.
std::string figure_text(double v, bool defined) {
  if (std::isnan(v) || !defined) return "not defined";
  if (std::isinf(v)) return v > 0 ? "infinite" : "-infinite";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

// A tick's label; a count's with thousands separators.
std::string tick_text(double v, double step, bool count) {
  if (std::fabs(v) < step * 1e-9) v = 0.0;  // no "-0" or 1e-17 at the origin
  constexpr double MOST_COUNT = 1e15;
  if (count && v >= 0 && v < MOST_COUNT && v == std::floor(v)) return count_text(static_cast<std::size_t>(v));
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

template <typename F>
void for_each_tick(const Axis& a, F f) {
  // Stepped, not multiplied: i * step may overflow where lo + i * step does not.
  double v = a.lo;
  for (int i = 0; i < MAX_TICKS; ++i, v += a.step) {
    if (!std::isfinite(v) || v - a.hi > a.step * 1e-9) return;
    f(v);
  }
}

// Ticks and their labels along the bottom and the left of a panel (counts
// on the left when `y_counts`), the labels in groups named `id`-x and
// `id`-y; the names stand clear of the widest tick label.
void draw_axes(std::string& out, const char* id, double left, const Axis& x, const Axis& y, const std::string& x_name,
               const std::string& y_name, bool y_counts = false) {
  const double bottom = TOP + PANEL;
  append_printf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#444\"/>\n", left, TOP,
      PANEL, PANEL);
  append_printf(out, "<g id=\"%s-x\">\n", id);
  for_each_tick(x, [&](double v) {
    const double px = left + x.map(v, PANEL);
    append_printf(out, "<line x1=\"%.2f\" y1=\"%.1f\" x2=\"%.2f\" y2=\"%.1f\" stroke=\"#444\"/>\n", px, bottom, px, bottom + 5);
    append_printf(out, "<text x=\"%.2f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", px, bottom + 19, tick_text(v, x.step, false).c_str());
  });
  append_printf(out, "</g>\n<g id=\"%s-y\">\n", id);
  std::size_t widest = 0;
  for_each_tick(y, [&](double v) {
    const double py = bottom - y.map(v, PANEL);
    const std::string text = tick_text(v, y.step, y_counts);
    widest = std::max(widest, text.size());
    append_printf(out, "<line x1=\"%.1f\" y1=\"%.2f\" x2=\"%.1f\" y2=\"%.2f\" stroke=\"#444\"/>\n", left - 5, py, left, py);
    append_printf(out, "<text x=\"%.1f\" y=\"%.2f\" text-anchor=\"end\">%s</text>\n", left - 8, py + 4, text.c_str());
  });
  append_printf(out, "</g>\n");
  append_printf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", left + PANEL / 2, bottom + 40,
      xml_text(x_name).c_str());
  const double name_x = left - 8 - CHAR_WIDTH * static_cast<double>(widest) - 10;
  append_printf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" transform=\"rotate(-90 %.1f %.1f)\">%s</text>\n", name_x,
      TOP + PANEL / 2, name_x, TOP + PANEL / 2, xml_text(y_name).c_str());
}

// The rows the picture can draw, those it does (the same in both panels)
// and the axes that frame them.
struct Frame {
  std::vector<std::size_t> rows;   // finite target and prediction
  std::vector<std::size_t> shown;  // of those, the ones within the axes
  Axis values;                     // both axes of the first panel
  Axis errors;                     // prediction minus target
};

Frame frame_of(const FitData& fit) {
  Frame f;
  std::vector<double> values;
  for (std::size_t i = 0; i < fit.targets.size(); ++i) {
    const double t = fit.targets[i], p = fit.predictions[i];
    if (!std::isfinite(t) || !std::isfinite(p) || !std::isfinite(p - t)) continue;
    f.rows.push_back(i);
    values.push_back(t);
    values.push_back(p);
  }
  // Both axes of the first panel share one scale, so that y = x is the diagonal.
  const auto [lo, hi] = shown_range(values);
  f.values = make_axis(lo, hi);
  double error_lo = 0.0, error_hi = 0.0;
  for (std::size_t i : f.rows) {
    const double t = fit.targets[i], p = fit.predictions[i];
    if (!f.values.holds(t) || !f.values.holds(p)) continue;
    error_lo = f.shown.empty() ? p - t : std::min(error_lo, p - t);
    error_hi = f.shown.empty() ? p - t : std::max(error_hi, p - t);
    f.shown.push_back(i);
  }
  f.errors = make_axis(error_lo, error_hi);
  return f;
}

void draw_points(std::string& out, const FitData& fit, const Frame& f) {
  const double bottom = TOP + PANEL;
  append_printf(out, "<g id=\"points\" data-count=\"%zu\" fill=\"#1f5fa8\" fill-opacity=\"0.6\">\n", f.shown.size());
  for (std::size_t i : f.shown) {
    const double t = fit.targets[i], p = fit.predictions[i];
    append_printf(out, "<circle cx=\"%.2f\" cy=\"%.2f\" r=\"%.1f\"/>\n", LEFT_PANEL + f.values.map(t, PANEL),
        bottom - f.values.map(p, PANEL), POINT_RADIUS);
  }
  append_printf(out, "</g>\n");
}

// Cells shaded by the logarithm of their count, so that sparse cells still
// show; a scale of shades beside the panel, clear of the data, says what a
// shade counts.
void draw_density(std::string& out, const FitData& fit, const Frame& f) {
  const double bottom = TOP + PANEL;
  std::vector<std::size_t> cells(static_cast<std::size_t>(DENSITY_CELLS) * DENSITY_CELLS, 0);
  const auto cell_of = [&](double v) {
    return static_cast<std::size_t>(whole_in(f.values.map(v, DENSITY_CELLS), 0, DENSITY_CELLS - 1));
  };
  std::size_t most = 1;
  for (std::size_t i : f.shown) {
    const double t = fit.targets[i], p = fit.predictions[i];
    most = std::max(most, ++cells[cell_of(p) * DENSITY_CELLS + cell_of(t)]);
  }
  const auto shade = [&](double count) { return 0.15 + 0.85 * std::log1p(count) / std::log1p(static_cast<double>(most)); };
  const double side = PANEL / DENSITY_CELLS;
  append_printf(out, "<g id=\"cells\" data-count=\"%zu\" fill=\"#1f5fa8\">\n", f.shown.size());
  for (int row = 0; row < DENSITY_CELLS; ++row)
    for (int col = 0; col < DENSITY_CELLS; ++col) {
      const std::size_t c = cells[static_cast<std::size_t>(row * DENSITY_CELLS + col)];
      if (c == 0) continue;
      append_printf(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" fill-opacity=\"%.3f\" data-count=\"%zu\"/>\n",
          LEFT_PANEL + col * side, bottom - (row + 1) * side, side, side, shade(static_cast<double>(c)), c);
    }
  const double x = LEFT_PANEL + PANEL + 8;  // between the panels
  append_printf(out, "</g>\n<g id=\"scale\" fill=\"#1f5fa8\">\n<text x=\"%.1f\" y=\"%.1f\" fill=\"#222\">rows a cell</text>\n", x,
      TOP + 8);
  for (int s = 0; s < SHADE_STEPS; ++s) {
    // Counts from 1 to the most, evenly on the logarithmic shade.
    const double count = std::expm1(std::log1p(static_cast<double>(most)) * (s + 1) / SHADE_STEPS);
    const double y = TOP + 16 + 16.0 * s;
    append_printf(out, "<rect x=\"%.1f\" y=\"%.1f\" width=\"12\" height=\"12\" fill-opacity=\"%.3f\"/>\n", x, y, shade(count));
    append_printf(out, "<text x=\"%.1f\" y=\"%.1f\" fill=\"#222\">%s</text>\n", x + 16, y + 10,
        count_text(static_cast<std::size_t>(std::round(count))).c_str());
  }
  append_printf(out, "</g>\n");
}

void draw_histogram(std::string& out, const FitData& fit, const Frame& f, const FitStatistics& statistics, bool defined) {
  const double bottom = TOP + PANEL;
  const Axis& spread = f.errors;
  double width = nice_step(half_span(spread.lo, spread.hi) / HISTOGRAM_BINS * 2);
  for (int i = 0; i < MAX_WIDENINGS && 2 * (half_span(spread.lo, spread.hi) / width) > MAX_BINS; ++i)
    width = nice_step(width * 1.5);
  const int bins = whole_in(std::ceil(2 * (half_span(spread.lo, spread.hi) / width) - 1e-9), 1, MAX_BINS);
  std::vector<std::size_t> counts(static_cast<std::size_t>(bins), 0);
  for (std::size_t i : f.shown) {
    const double e = fit.predictions[i] - fit.targets[i];
    const int b = whole_in(std::floor(2 * (half_span(spread.lo, e) / width)), 0, bins - 1);
    ++counts[static_cast<std::size_t>(b)];
  }
  const std::size_t tallest = *std::max_element(counts.begin(), counts.end());
  // Head room above the tallest bin for the RMSE and MAE.
  constexpr double FEWEST_COUNTS = 5;  // so that a handful of rows has whole counts
  const Axis count_axis = make_axis(0.0, std::max(1.25 * static_cast<double>(tallest), FEWEST_COUNTS));
  Axis bin_axis = spread;
  bin_axis.hi = clamped(spread.lo + bins * width);
  draw_axes(out, "errors", RIGHT_PANEL, bin_axis, count_axis, "prediction - target", "rows", true);
  append_printf(out, "<g id=\"bins\" data-count=\"%d\" fill=\"#27865f\" fill-opacity=\"0.8\" stroke=\"white\">\n", bins);
  for (int b = 0; b < bins; ++b) {
    const std::size_t c = counts[static_cast<std::size_t>(b)];
    const double h = count_axis.map(static_cast<double>(c), PANEL);
    append_printf(out, "<rect x=\"%.2f\" y=\"%.2f\" width=\"%.2f\" height=\"%.2f\" data-count=\"%zu\"/>\n",
        RIGHT_PANEL + b * (PANEL / bins), bottom - h, PANEL / bins, h, c);
  }
  append_printf(out, "</g>\n");
  append_printf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\">errors</text>\n", RIGHT_PANEL + PANEL / 2,
      TOP - 10);
  append_printf(out, "<text id=\"rmse\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">RMSE = %s</text>\n", RIGHT_PANEL + PANEL - 8,
      TOP + 18, figure_text(statistics.rmse, defined).c_str());
  append_printf(out, "<text id=\"mae\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">MAE = %s</text>\n", RIGHT_PANEL + PANEL - 8,
      TOP + 34, figure_text(statistics.mae, defined).c_str());
}

// What the picture leaves out, and why a panel may be empty.
std::string note_of(const FitData& fit, const Frame& f) {
  std::string note;
  const auto add = [&](const std::string& text) { note += (note.empty() ? "" : " ") + text; };
  const auto rows = [](std::size_t n) { return count_text(n) + (n == 1 ? " row" : " rows"); };
  const auto are = [](std::size_t n) { return n == 1 ? " is" : " are"; };
  if (fit.targets.empty()) add("No row has its values: there is nothing to draw.");
  if (fit.targets.size() == 1) add("One row: no fit can be seen in one point.");
  if (!fit.targets.empty() && f.rows.empty()) add("No row has a finite target and prediction.");
  if (fit.rows_left_out > 0)
    add(rows(static_cast<std::size_t>(fit.rows_left_out)) + " with a missing value" +
        are(static_cast<std::size_t>(fit.rows_left_out)) + " left out.");
  if (f.rows.size() < fit.targets.size() && !f.rows.empty())
    add(rows(fit.targets.size() - f.rows.size()) + " with a NaN or infinite target or prediction" +
        are(fit.targets.size() - f.rows.size()) + " left out.");
  const std::size_t outside = f.rows.size() - f.shown.size();
  if (outside > 0) add(rows(outside) + " outside the axes" + are(outside) + " drawn in neither panel.");
  return note;
}

// A file as the title names it: its base name, cut short so that the title
// keeps R-square in view.
constexpr std::size_t MAX_TITLE_NAME_CHARS = 32;
std::string title_name(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);  // all of it without a slash
  if (name.empty()) name = path;
  if (name.size() > MAX_TITLE_NAME_CHARS) name = name.substr(0, MAX_TITLE_NAME_CHARS - 3) + "...";
  return name;
}

}  // namespace

std::string plot_svg(const FitData& fit, const FitStatistics& statistics, const PlotLabels& labels) {
  const Frame f = frame_of(fit);
  // The figures over every row: none where a row's values are not finite.
  const bool defined = f.rows.size() == fit.targets.size();
  std::string out;
  append_printf(out, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n");
  append_printf(out,
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n",
      WIDTH, HEIGHT, WIDTH, HEIGHT);
  append_printf(out, "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n");
  append_printf(out,
      "<text id=\"title\" x=\"%.1f\" y=\"30\" text-anchor=\"middle\" font-size=\"16\">%s on %s: %s rows, R-square = "
      "%s</text>\n",
      WIDTH / 2, xml_text(title_name(labels.key_name)).c_str(), xml_text(title_name(labels.data_name)).c_str(),
      count_text(fit.targets.size()).c_str(),
      labels.r_square.find("nan") == std::string::npos ? xml_text(labels.r_square).c_str() : "not defined");
  append_printf(out, "<text x=\"%.1f\" y=\"48\" text-anchor=\"middle\" fill=\"#555\">R-square is the squared correlation of "
      "target and prediction</text>\n", WIDTH / 2);
  append_printf(out,
      "<text id=\"figures\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">coefficient of determination (1 - SSres/SStot) = "
      "%s; mean signed error (prediction - target) = %s</text>\n",
      WIDTH / 2, HEIGHT - 34, figure_text(statistics.determination, defined).c_str(),
      figure_text(statistics.mean_error, defined).c_str());

  // Predicted against actual.
  draw_axes(out, "values", LEFT_PANEL, f.values, f.values, labels.target_name, labels.prediction_name);
  if (f.rows.size() <= MAX_PLOT_POINTS)
    draw_points(out, fit, f);
  else
    draw_density(out, fit, f);
  append_printf(out,
      "<line id=\"identity\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#c0392b\" "
      "stroke-dasharray=\"6 4\"/>\n",
      LEFT_PANEL, TOP + PANEL, LEFT_PANEL + PANEL, TOP);
  append_printf(out, "<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\" font-size=\"13\">predicted against actual</text>\n",
      LEFT_PANEL + PANEL / 2, TOP - 10);
  draw_histogram(out, fit, f, statistics, defined);
  if (const std::string note = note_of(fit, f); !note.empty())
    append_printf(out, "<text id=\"note\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", WIDTH / 2, HEIGHT - 12,
        xml_text(note).c_str());
  append_printf(out, "</svg>\n");
  return out;
}

}  // namespace karva
