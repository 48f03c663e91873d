#include "base/messages.h"

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/worker_pool.h"

namespace {

const char* failure_note = nullptr;

// A message is gathered here and written in as few writes as its length allows.
struct MessageText {
  char bytes[4096];
  size_t length;
};

void flush_text(MessageText& text) {
  fwrite(text.bytes, 1, text.length, stderr);
  text.length = 0;
}

void add_byte(MessageText& text, char byte) {
  if (text.length == sizeof text.bytes) flush_text(text);
  text.bytes[text.length++] = byte;
}

// A byte of a path, template or read name: control bytes as \xHH, so that a
// carriage return cannot hide the message nor an escape sequence drive the terminal.
void add_shown_byte(MessageText& text, unsigned char byte, bool keep_line_ends = false) {
  if ((byte >= 0x20 && byte != 0x7f) || (keep_line_ends && byte == '\n')) {
    add_byte(text, static_cast<char>(byte));
    return;
  }
  static const char kHex[] = "0123456789abcdef";
  for (char c : {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]}) add_byte(text, c);
}

// One conversion of the format with its argument, by the C library, into text.
template <typename Value>
void add_converted(MessageText& text, const char* directive, Value value) {
  char piece[512];
  const int length = snprintf(piece, sizeof piece, directive, value);
  for (int i = 0; i < length && i < static_cast<int>(sizeof piece) - 1; ++i) add_byte(text, piece[i]);
}

// Writes the message as vfprintf would, except that the bytes the %s and %c
// arguments bring are shown by add_shown_byte. The formats of this tool use
// the flags, widths, precisions (also *) and length modifiers of C99. A
// format of a lone "%s" is a message put together elsewhere: its line ends stay.
void write_message(const char* format, va_list args) {
  MessageText text;
  text.length = 0;
  const bool whole_message = strcmp(format, "%s") == 0;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      add_byte(text, *p);
      continue;
    }
    if (p[1] == '%') {
      add_byte(text, '%');
      ++p;
      continue;
    }
    // The conversion directive, with any * replaced by its number.
    char directive[64];
    size_t directive_length = 0;
    int precision = -1;
    directive[directive_length++] = '%';
    for (++p; *p != '\0' && strchr("-+ #0123456789.*hlzjtL", *p) != nullptr; ++p) {
      if (*p == '*') {
        directive_length += static_cast<size_t>(snprintf(directive + directive_length, sizeof directive - directive_length, "%d", va_arg(args, int)));
      } else {
        directive[directive_length++] = *p;
      }
      if (directive_length > sizeof directive - 16) break;
    }
    directive[directive_length] = '\0';
    if (const char* dot = strchr(directive, '.'); dot != nullptr) precision = atoi(dot + 1);
    const char conversion = *p;
    if (conversion == '\0') break;
    directive[directive_length++] = conversion;
    directive[directive_length] = '\0';
    const bool is_long_long = strstr(directive, "ll") != nullptr;
    const bool is_long = !is_long_long && strchr(directive, 'l') != nullptr;
    const bool is_size = strchr(directive, 'z') != nullptr || strchr(directive, 'j') != nullptr || strchr(directive, 't') != nullptr;
    switch (conversion) {
      case 's': {
        const char* argument = va_arg(args, const char*);
        if (argument == nullptr) argument = "(null)";
        for (int i = 0; argument[i] != '\0' && (precision < 0 || i < precision); ++i)
          add_shown_byte(text, static_cast<unsigned char>(argument[i]), whole_message);
        break;
      }
      case 'c':
        add_shown_byte(text, static_cast<unsigned char>(va_arg(args, int)));
        break;
      case 'd':
      case 'i':
        if (is_long_long) add_converted(text, directive, va_arg(args, long long));
        else if (is_long || is_size) add_converted(text, directive, va_arg(args, long));
        else add_converted(text, directive, va_arg(args, int));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (is_long_long) add_converted(text, directive, va_arg(args, unsigned long long));
        else if (is_long || is_size) add_converted(text, directive, va_arg(args, unsigned long));
        else add_converted(text, directive, va_arg(args, unsigned));
        break;
      case 'p':
        add_converted(text, directive, va_arg(args, void*));
        break;
      default:  // the floating-point conversions
        add_converted(text, directive, va_arg(args, double));
        break;
    }
  }
  flush_text(text);
}

}  // namespace

void set_failure_note(const char* note) { failure_note = note; }

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_message(format, args);
  va_end(args);
}

void fail(int status, const char* format, ...) {
  va_list args;
  va_start(args, format);
  write_message(format, args);
  va_end(args);
  if (failure_note != nullptr) fputs(failure_note, stderr);
  end_run(status);
}

void fail_out_of_memory() { fail(kExitMallocFailure, "Error: can't allocate memory\n"); }

void end_run(int status) {
  stop_workers();
#ifdef TARNWELL_FUZZING
  throw RunEnded{status};
#else
  exit(status);
#endif
}
