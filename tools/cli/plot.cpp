// korvel plot: a readable multi-channel plot of a scan file, as SVG (written
// directly) or PNG (through an SVG converter when one is installed).
#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <fmt/core.h>

#include "common.h"
#include "samples.h"

namespace cli {

namespace {

constexpr const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#17becf", "#7f7f7f", "#bcbd22"};
constexpr int kWidth = 1000, kHeight = 560;
constexpr int kLeft = 70, kRight = 150, kTop = 40, kBottom = 50;

// About five round steps across [lo, hi].
double tick_step(double lo, double hi) {
  const double span = hi - lo > 0 ? hi - lo : 1.0;
  const double raw = span / 5;
  const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * magnitude) return m * magnitude;
  return 10 * magnitude;
}

std::string escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else out += c;
  }
  return out;
}

std::string svg_of(const Table& t, const std::string& title) {
  const double t0 = t.time.front(), t1 = t.time.back() > t0 ? t.time.back() : t0 + 1;
  double lo = INFINITY, hi = -INFINITY;
  for (const auto& col : t.columns)
    for (float v : col)
      if (std::isfinite(v)) {
        lo = std::min<double>(lo, v);
        hi = std::max<double>(hi, v);
      }
  if (!std::isfinite(lo)) lo = -1, hi = 1;
  if (hi - lo < 1e-9) lo -= 0.5, hi += 0.5;
  const double pad = (hi - lo) * 0.05;
  lo -= pad;
  hi += pad;
  const int pw = kWidth - kLeft - kRight, ph = kHeight - kTop - kBottom;
  auto x_of = [&](double time) { return kLeft + (time - t0) / (t1 - t0) * pw; };
  auto y_of = [&](double v) { return kTop + (hi - v) / (hi - lo) * ph; };

  std::string s = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{}\" height=\"{}\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" "
      "fill=\"white\"/>\n<text x=\"{}\" y=\"24\" font-size=\"15\">{}</text>\n",
      kWidth, kHeight, kLeft, escape(title));
  // Grid and ticks.
  const double ys = tick_step(lo, hi), xs = tick_step(t0, t1);
  for (double v = std::ceil(lo / ys) * ys; v <= hi; v += ys) {
    const double y = y_of(v);
    s += fmt::format("<line x1=\"{}\" x2=\"{}\" y1=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"#ddd\"/>\n"
                     "<text x=\"{}\" y=\"{:.1f}\" text-anchor=\"end\">{:g}</text>\n",
                     kLeft, kLeft + pw, y, y, kLeft - 6, y + 4, std::abs(v) < ys / 1e6 ? 0.0 : v);
  }
  for (double v = std::ceil(t0 / xs) * xs; v <= t1; v += xs) {
    const double x = x_of(v);
    s += fmt::format("<line x1=\"{:.1f}\" x2=\"{:.1f}\" y1=\"{}\" y2=\"{}\" stroke=\"#ddd\"/>\n"
                     "<text x=\"{:.1f}\" y=\"{}\" text-anchor=\"middle\">{:g}</text>\n",
                     x, x, kTop, kTop + ph, x, kTop + ph + 16, std::abs(v) < xs / 1e6 ? 0.0 : v);
  }
  s += fmt::format("<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" "
                   "stroke=\"#444\"/>\n",
                   kLeft, kTop, pw, ph);
  s += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">time (s)</text>\n",
                   kLeft + pw / 2, kHeight - 12);
  s += fmt::format("<text transform=\"translate(18,{}) rotate(-90)\" "
                   "text-anchor=\"middle\">volts</text>\n",
                   kTop + ph / 2);
  // One polyline per channel; long series keep each pixel column's minimum
  // and maximum, so the plot shows the signal's envelope, not an alias.
  for (std::size_t c = 0; c < t.columns.size(); ++c) {
    const auto& col = t.columns[c];
    const char* colour = kColours[c % (sizeof kColours / sizeof *kColours)];
    std::string points;
    const std::size_t n = col.size();
    const std::size_t per_pixel = std::max<std::size_t>(1, n / static_cast<std::size_t>(pw));
    for (std::size_t i = 0; i < n; i += per_pixel) {
      const std::size_t end = std::min(n, i + per_pixel);
      if (per_pixel == 1) {
        if (std::isfinite(col[i]))
          fmt::format_to(std::back_inserter(points), "{:.1f},{:.1f} ", x_of(t.time[i]),
                         y_of(col[i]));
        continue;
      }
      float mn = INFINITY, mx = -INFINITY;
      for (std::size_t k = i; k < end; ++k)
        if (std::isfinite(col[k])) mn = std::min(mn, col[k]), mx = std::max(mx, col[k]);
      if (!std::isfinite(mn)) continue;
      const double x = x_of(t.time[i]);
      fmt::format_to(std::back_inserter(points), "{:.1f},{:.1f} {:.1f},{:.1f} ", x, y_of(mn), x,
                     y_of(mx));
    }
    s += fmt::format("<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"1.2\" points=\"{}\"/>\n",
                     colour, points);
    const int ly = kTop + 10 + static_cast<int>(c) * 18;
    s += fmt::format("<line x1=\"{}\" x2=\"{}\" y1=\"{}\" y2=\"{}\" stroke=\"{}\" "
                     "stroke-width=\"3\"/>\n<text x=\"{}\" y=\"{}\">{}</text>\n",
                     kWidth - kRight + 15, kWidth - kRight + 40, ly, ly, colour,
                     kWidth - kRight + 46, ly + 4, escape(t.names[c]));
  }
  s += "</svg>\n";
  return s;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool have_program(const char* name) {
  const std::string probe = fmt::format("command -v {} >/dev/null 2>&1", name);
  return std::system(probe.c_str()) == 0;
}

std::string quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

}  // namespace

int plot_file(const std::string& input, const std::string& output, double rate) {
  const bool png = ends_with(output, ".png");
  if (!png && !ends_with(output, ".svg"))
    return usage_error(fmt::format("-o {}: the plot must end in .svg or .png", output));
  Table table;
  std::string error;
  if (!read_table(input, rate, &table, &error)) {
    fmt::print(stderr, "korvel: {}\n", error);
    return kFailed;
  }
  if (table.time.empty()) {
    fmt::print(stderr, "korvel: {}: no scans to plot\n", input);
    return kFailed;
  }
  const std::string title =
      fmt::format("{}: {} channel(s), {} scans", input, table.columns.size(), table.time.size());
  const std::string svg = svg_of(table, title);
  const std::string svg_path = png ? output + ".svg" : output;
  {
    std::ofstream out(svg_path, std::ios::binary);
    out << svg;
    if (!out.flush()) {
      fmt::print(stderr, "korvel: cannot write {}\n", svg_path);
      return kFailed;
    }
  }
  if (png) {
    std::string command;
    if (have_program("rsvg-convert"))
      command = fmt::format("rsvg-convert -o {} {}", quoted(output), quoted(svg_path));
    else if (have_program("convert"))
      command = fmt::format("convert {} {}", quoted(svg_path), quoted(output));
    else {
      std::remove(svg_path.c_str());
      fmt::print(stderr,
                 "korvel: no SVG converter for PNG (install librsvg2-bin or imagemagick), or "
                 "plot to .svg\n");
      return kFailed;
    }
    const int rc = std::system(command.c_str());
    std::remove(svg_path.c_str());
    if (rc != 0) {
      fmt::print(stderr, "korvel: the converter failed: {}\n", command);
      return kFailed;
    }
  }
  fmt::print("plotted {} channel(s), {} scans into {}\n", table.columns.size(), table.time.size(),
             output);
  return kOk;
}

}  // namespace cli
