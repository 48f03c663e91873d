#include "output/svg_plot.h"

#include <cmath>
#include <initializer_list>

namespace {

// Bytes that begin a well-formed UTF-8 sequence of this many bytes (no
// overlong forms, no surrogates, nothing past U+10FFFF), or 0.
int utf8_sequence_length(const unsigned char* text) {
  const unsigned char lead = text[0];
  int length;
  unsigned char second_low = 0x80;
  unsigned char second_high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) second_low = 0xa0;
    if (lead == 0xed) second_high = 0x9f;
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) second_low = 0x90;
    if (lead == 0xf4) second_high = 0x8f;
  } else {
    return 0;
  }
  if (text[1] < second_low || text[1] > second_high) return 0;
  for (int i = 2; i < length; ++i) {
    if ((text[i] & 0xc0) != 0x80) return 0;
  }
  return length;
}

// A tick label: on a log axis 1, 10, 100, 1k ... 100G; other values from 10,000 on as 12k, 2.5M.
void put_tick_label(FILE* file, double value, bool log) {
  static const char* const kPowers[] = {"1",  "10",  "100",  "1k", "10k", "100k",
                                        "1M", "10M", "100M", "1G", "10G", "100G"};
  const long rounded = log && value >= 1 ? std::lround(std::log10(value)) : -1;
  if (rounded >= 0 && rounded < 12 && std::fabs(std::log10(value) - static_cast<double>(rounded)) < 1e-9) {
    fputs(kPowers[rounded], file);
  } else if (value >= 1e6) {
    fprintf(file, "%gM", value / 1e6);  // ten-digit labels would run into the axis title
  } else if (value >= 1e4) {
    fprintf(file, "%gk", value / 1e3);
  } else {
    put_count(file, static_cast<uint64_t>(std::llround(value)));
  }
}

double axis_position(const PlotAxis& axis, double value) {
  if (value < axis.low) value = axis.low;
  if (value > axis.high) value = axis.high;
  if (axis.log) return (std::log10(value) - std::log10(axis.low)) / (std::log10(axis.high) - std::log10(axis.low));
  return (value - axis.low) / (axis.high - axis.low);
}

// The values at which an axis gets a tick: every decade of a log axis, or
// a round step giving four to ten ticks on a linear one. Returns the count.
int axis_ticks(const PlotAxis& axis, double* ticks, int capacity) {
  int count = 0;
  if (axis.log) {
    for (double value = std::pow(10.0, std::ceil(std::log10(axis.low) - 1e-9));
         value <= axis.high * (1 + 1e-9) && count < capacity; value *= 10)
      ticks[count++] = value;
    return count;
  }
  double step = std::pow(10.0, std::floor(std::log10(axis.high - axis.low)));
  if ((axis.high - axis.low) / step < 2)
    step /= 5;
  else if ((axis.high - axis.low) / step < 4)
    step /= 2;
  if (step < 1) step = 1;  // the linear axes count things
  for (double value = axis.low; value <= axis.high * (1 + 1e-9) && count < capacity; value += step)
    ticks[count++] = value;
  return count;
}

}  // namespace

void put_html_text(FILE* file, const char* text, size_t max_bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  const auto* start = p;
  while (*p != '\0') {
    if (static_cast<size_t>(p - start) >= max_bytes) {
      fputs("&#x2026;", file);
      return;
    }
    switch (*p) {
      case '<':
        fputs("&lt;", file);
        break;
      case '>':
        fputs("&gt;", file);
        break;
      case '&':
        fputs("&amp;", file);
        break;
      case '"':
        fputs("&quot;", file);
        break;
      case '\'':
        fputs("&#39;", file);
        break;
      default:
        if (*p < 0x20 || *p == 0x7f) {
          fputs("&#xFFFD;", file);
        } else if (*p < 0x80) {
          putc(*p, file);
        } else if (const int length = utf8_sequence_length(p); length != 0) {
          fwrite(p, 1, static_cast<size_t>(length), file);
          p += length;
          continue;
        } else {
          fputs("&#xFFFD;", file);
        }
    }
    ++p;
  }
}

void put_count(FILE* file, uint64_t value) {
  char digits[32];
  int length = 0;
  do {
    if (length % 4 == 3) digits[length++] = ',';
    digits[length++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (length > 0) putc(digits[--length], file);
}

void put_percent(FILE* file, uint64_t part, uint64_t whole) {
  fprintf(file, "%.1f", whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

double plot_x(const PlotFrame& frame, double value) { return frame.left + frame.width * axis_position(frame.x, value); }

double plot_y(const PlotFrame& frame, double value) {
  return frame.top + frame.height * (1 - axis_position(frame.y, value));
}

PlotAxis decades_around(double low, double high) {
  const double first = std::floor(std::log10(low) + 1e-9);
  double last = std::ceil(std::log10(high) - 1e-9);
  if (last <= first) last = first + 1;
  return {std::pow(10.0, first), std::pow(10.0, last), true};
}

PlotAxis zero_to_round(double high) {
  if (high < 1) high = 1;
  const double unit = std::pow(10.0, std::floor(std::log10(high)));
  for (double multiple : {1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0}) {
    if (unit * multiple >= high) return {0, unit * multiple, false};
  }
  return {0, unit * 10, false};
}

void open_svg(FILE* file, int width, int height, const char* id, const char* label) {
  fprintf(file,
          "<svg id=\"%s\" class=\"plot\" viewBox=\"0 0 %d %d\" width=\"%d\" height=\"%d\" role=\"img\" "
          "aria-label=\"%s\" xmlns=\"http://www.w3.org/2000/svg\">\n",
          id, width, height, width, height, label);
}

void close_svg(FILE* file) { fputs("</svg>\n", file); }

void put_section_start(FILE* file, const char* id, const char* heading, const char* caption) {
  fprintf(file, "<section id=\"%s\">\n<h2>%s</h2>\n<p class=\"caption\">%s</p>\n", id, heading, caption);
}

void draw_axes(const PlotFrame& frame, const char* x_title, const char* y_title) {
  FILE* file = frame.file;
  const double bottom = frame.top + frame.height;
  const double right = frame.left + frame.width;
  double ticks[64];
  fputs("<g class=\"axis\">\n", file);
  if (y_title != nullptr) {
    const int count = axis_ticks(frame.y, ticks, 64);
    for (int i = 0; i < count; ++i) {
      const double y = plot_y(frame, ticks[i]);
      fprintf(file, "<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", frame.left, y, right, y);
      fprintf(file, "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">", frame.left - 6, y + 4);
      put_tick_label(file, ticks[i], frame.y.log);
      fputs("</text>\n", file);
    }
    fprintf(file,
            "<text class=\"title\" transform=\"translate(%.1f %.1f) rotate(-90)\" text-anchor=\"middle\">%s</text>\n",
            frame.left - 46, frame.top + frame.height / 2, y_title);
  }
  if (x_title != nullptr) {
    const int count = axis_ticks(frame.x, ticks, 64);
    for (int i = 0; i < count; ++i) {
      const double x = plot_x(frame, ticks[i]);
      fprintf(file, "<line class=\"tickmark\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", x, bottom, x,
              bottom + 5);
      fprintf(file, "<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">", x, bottom + 18);
      put_tick_label(file, ticks[i], frame.x.log);
      fputs("</text>\n", file);
    }
    fprintf(file, "<text class=\"title\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n",
            frame.left + frame.width / 2, bottom + 38, x_title);
  }
  fprintf(file, "<line class=\"baseline\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", frame.left, bottom,
          right, bottom);
  fputs("</g>\n", file);
}

void open_mark(FILE* file, double x, double y, double width, double height, const char* css_class) {
  fprintf(file, "<rect class=\"mark %s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\"><title>", css_class, x, y,
          width, height);
}

void close_mark(FILE* file) { fputs("</title></rect>\n", file); }
