// Writing pieces of an HTML page: escaped text, grouped numbers, and inline
// SVG plots with linear or logarithmic axes. Sets nothing in run_state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Writes text as HTML character data: markup bytes and quotes become
// references, and control bytes and bytes outside well-formed UTF-8 become
// U+FFFD, as a browser shows undecodable bytes. Past max_bytes of input the
// rest is cut and an ellipsis written.
void put_html_text(FILE* file, const char* text, size_t max_bytes = SIZE_MAX);

// Writes a count with thousands separators: 1,234,567.
void put_count(FILE* file, uint64_t value);

// Writes part / whole as a percentage with one decimal ("0.0" for an empty whole).
void put_percent(FILE* file, uint64_t part, uint64_t whole);

struct PlotAxis {
  double low, high;  // values at the two ends; for a log axis, both above 0
  bool log;          // logarithmic (base 10) instead of linear
};

// The drawing area of one plot inside its SVG, in SVG units, and what the
// axes span. y grows upwards: high is drawn at the top.
struct PlotFrame {
  FILE* file;
  double left, top, width, height;
  PlotAxis x, y;
};

// Where a value lands along an axis, in SVG units; values outside the range
// are clamped to it.
[[nodiscard]] double plot_x(const PlotFrame& frame, double value);
[[nodiscard]] double plot_y(const PlotFrame& frame, double value);

// A log axis from 10^a to 10^b covering the values low..high (low above 0).
[[nodiscard]] PlotAxis decades_around(double low, double high);

// A linear axis from 0 to a round number at or above high.
[[nodiscard]] PlotAxis zero_to_round(double high);

// Opens an SVG element of the given size with an id and an accessible name.
void open_svg(FILE* file, int width, int height, const char* id, const char* label);
void close_svg(FILE* file);

// Opens a section of the page: its id, heading and caption (all markup).
void put_section_start(FILE* file, const char* id, const char* heading, const char* caption);

// Draws the grid, ticks with their labels, and the axis titles; a null title
// leaves that axis without ticks (for bars labelled one by one).
void draw_axes(const PlotFrame& frame, const char* x_title, const char* y_title);

// Opens a data mark's rectangle: class "mark" plus css_class. The caller
// writes the <title> tooltip's text and then calls close_mark.
void open_mark(FILE* file, double x, double y, double width, double height, const char* css_class);
void close_mark(FILE* file);
