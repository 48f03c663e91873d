// The FASTA reading rules as plainly as possible, independent of the tool's
// parse: the records a well-formed input holds, or the one message a
// malformed one ends with. Header-only, for the fuzz targets too.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

struct ReferenceRecord {
  size_t name_at, sequence_at;  // offsets of the '>' and of the first sequence byte
  std::string name, sequence;   // the texts the tool keeps (each up to its first NUL)
};

struct ReferenceParse {
  std::string message;  // empty when the input is well formed
  std::vector<ReferenceRecord> records;
};

// Line by line: a name line beginning with '>', its line end and any blank
// lines, then sequence lines up to the next line beginning with '>' (blank
// lines and NUL bytes between them skipped), joined. A name line right after
// a name line is that record's only sequence line, which fails the run.
inline ReferenceParse reference_fasta(const std::string& bytes) {
  ReferenceParse parse;
  auto failed = [&](const std::string& message) {
    parse.message = message;
    return parse;
  };
  auto text = [](const std::string& line) { return std::string(line.c_str()); };
  const std::string line_ends = "\r\n", gap(std::string("\r\n\0", 3));
  if (bytes.find('>') == std::string::npos) return failed("Input has no sequences\n");
  if (bytes[0] != '>') return failed("Can't find sequence start ('>') in line 1\n");
  size_t lines = 0;
  bool name_as_sequence = false;
  for (size_t at = 0; at != std::string::npos;) {
    const size_t name_end = bytes.find_first_of(line_ends, at);
    if (name_end == std::string::npos) return failed("Can't find end of sequence name\n");
    const size_t sequence = bytes.find_first_not_of(line_ends, name_end);
    if (sequence == std::string::npos) {
      return failed("Can't find data for sequence \"" + text(bytes.substr(at, name_end - at)) + "\"\n");
    }
    ReferenceRecord record{at, sequence, text(bytes.substr(at + 1, name_end - at - 1)), ""};
    const bool takes_name = bytes[sequence] == '>';
    name_as_sequence |= takes_name;
    lines += 1;
    bool ended = false;  // the sequence text stops at its first NUL
    for (size_t line = sequence;;) {
      const size_t line_end = std::min(bytes.find_first_of(line_ends, line), bytes.size());
      const std::string piece = bytes.substr(line, line_end - line);
      if (!ended) record.sequence += text(piece);
      ended |= piece.find('\0') != std::string::npos;
      ++lines;
      line = bytes.find_first_not_of(gap, line_end);
      if (line == std::string::npos || bytes[line] == '>') {
        at = line;
        break;
      }
      if (takes_name) return failed("Can't find sequence start ('>') in line " + std::to_string(lines + 1) + "\n");
    }
    parse.records.push_back(record);
  }
  if (name_as_sequence) {
    return failed("Failed to parse " + std::to_string(std::count(bytes.begin(), bytes.end(), '>')) + " sequences\n");
  }
  return parse;
}
