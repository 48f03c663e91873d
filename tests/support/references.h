// The tool's rules as plainly as possible, independent of its code, for the
// tests and the fuzz targets (header-only): the FASTA and FASTQ readings, the
// screening of a read through a template, single linkage by brute force, and
// the clusters a report must hold.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

struct ReferenceRecord {
  std::string name, sequence;  // the texts the tool keeps (each up to its first NUL)
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
    ReferenceRecord record{text(bytes.substr(at + 1, name_end - at - 1)), ""};
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

// Four-line FASTQ from its first '@': "@name", the sequence, a line beginning
// with '+', a quality line as long as the sequence, the last line's end
// optional; line ends, CR LF pairs and NUL bytes between records skipped.
// Names and sequences are kept up to their first NUL; a malformed record gives
// the message of the first fault.
inline ReferenceParse reference_fastq(const std::string& text) {
  ReferenceParse result;
  const size_t size = text.size();
  const auto line_end = [&](size_t i) { return std::min(text.find_first_of("\r\n", i), size); };
  const auto after = [&](size_t i) { return text[i] == '\r' && i + 1 < size && text[i + 1] == '\n' ? i + 2 : i + 1; };
  const auto kept = [&](size_t from, size_t to) { return std::string(text.substr(from, to - from).c_str()); };
  const auto failed = [&](const std::string& message) {
    result.message = message;
    return result;
  };
  size_t i = 0, line = 1;
  for (;;) {
    const size_t name_line = line, name_end = line_end(i);
    const std::string name = "\"" + kept(i, name_end) + "\"";
    const std::string truncated = "Truncated sequence " + name + " at line " + std::to_string(name_line) + "\n";
    if (name_end == size || after(name_end) == size) return failed(truncated);
    const size_t sequence_at = after(name_end), sequence_end = line_end(sequence_at);
    if (sequence_end == size || after(sequence_end) == size) return failed(truncated);
    const size_t plus_at = after(sequence_end);
    if (text[plus_at] != '+') {
      return failed("Can't find '+' line of sequence " + name + " in line " + std::to_string(name_line + 2) + "\n");
    }
    const size_t plus_end = line_end(plus_at);
    if (plus_end == size || after(plus_end) == size) return failed(truncated);
    const size_t quality_at = after(plus_end), quality_end = line_end(quality_at);
    if (quality_end - quality_at != sequence_end - sequence_at) {
      return failed("Quality of sequence " + name + " in line " + std::to_string(name_line + 3) + " has " +
                    std::to_string(quality_end - quality_at) + " bytes, sequence has " +
                    std::to_string(sequence_end - sequence_at) + "\n");
    }
    result.records.push_back({kept(i + 1, name_end), kept(sequence_at, sequence_end)});
    line = name_line + 3;
    for (i = quality_end; i < size && (text[i] == '\n' || text[i] == '\r' || text[i] == '\0');) {
      line += text[i] != '\0';
      i = text[i] == '\0' ? i + 1 : after(i);
    }
    if (i == size) return result;
    if (text[i] != '@') return failed("Can't find sequence start ('@') in line " + std::to_string(line) + "\n");
  }
}

enum class Screening { accepted, template_mismatch, has_n, unknown_character };
struct ReferenceBarcode {
  Screening result;
  std::string bases;  // upper-case A/C/G/T, one per barcode position walked
};

inline bool is_barcode_position(char letter) { return std::strchr("Nn.", letter) != nullptr && letter != '\0'; }

// Read and template walked together up to the shorter of the two.
inline ReferenceBarcode reference_screening(const std::string& template_text, const char* read) {
  ReferenceBarcode result{Screening::accepted, ""};
  size_t positions = 0;
  for (char letter : template_text) positions += is_barcode_position(letter);
  for (size_t i = 0; i < template_text.size() && read[i] != '\0'; ++i) {
    const int base = std::toupper(static_cast<unsigned char>(read[i]));
    if (std::strchr("ACGT", base) == nullptr) {
      result.result = base == 'N' ? Screening::has_n : Screening::unknown_character;
      return result;
    }
    if (is_barcode_position(template_text[i])) {
      result.bases += static_cast<char>(base);
    } else if (base != std::toupper(static_cast<unsigned char>(template_text[i]))) {
      result.result = Screening::template_mismatch;
      return result;
    }
  }
  if (result.bases.size() != positions) result.result = Screening::template_mismatch;
  return result;
}

// A report member: the line the report writes for the read, and its barcode.
struct Member {
  std::string line, barcode;
};
// Each cluster's member lines: the first as written, the rest sorted (their order is that of the joins).
using Clusters = std::vector<std::vector<std::string>>;

// The accepted reads of a well-formed FASTA text as report members (with -p, the first read of each barcode).
inline std::vector<Member> reference_members(const std::string& fasta, const std::string& template_text,
                                             bool remove_duplicates) {
  std::vector<Member> members;
  std::map<std::string, bool> seen;
  for (const ReferenceRecord& record : reference_fasta(fasta).records) {
    const ReferenceBarcode screening = reference_screening(template_text, record.sequence.c_str());
    if (screening.result != Screening::accepted) continue;
    if (remove_duplicates && !seen.emplace(screening.bases, true).second) continue;
    members.push_back({record.name + "\t" + record.sequence, screening.bases});
  }
  return members;
}

// The report's clusters: the components of "Hamming distance <= D" among the
// members, each listed from its smallest (barcode, input order) member, in
// that order.
inline Clusters expected_clusters(std::vector<Member> members, uint32_t distance) {
  std::stable_sort(members.begin(), members.end(),
                   [](const Member& a, const Member& b) { return a.barcode < b.barcode; });
  // Single linkage over all pairs: each member's cluster as the smallest index in it.
  std::vector<size_t> root(members.size());
  std::iota(root.begin(), root.end(), 0);
  auto find = [&](size_t i) {
    while (root[i] != i) i = root[i] = root[root[i]];
    return i;
  };
  for (size_t i = 0; i < members.size(); ++i) {
    for (size_t j = i + 1; j < members.size(); ++j) {
      const std::string &a = members[i].barcode, &b = members[j].barcode;
      if (std::inner_product(a.begin(), a.end(), b.begin(), 0u, std::plus<>(), std::not_equal_to<>()) <= distance) {
        const size_t x = find(i), y = find(j);
        root[std::max(x, y)] = std::min(x, y);
      }
    }
  }
  std::map<size_t, std::vector<std::string>> components;
  for (size_t i = 0; i < members.size(); ++i) components[find(i)].push_back(members[i].line);
  Clusters clusters;
  for (auto& [first, lines] : components) {
    std::sort(lines.begin() + 1, lines.end());
    clusters.push_back(lines);
  }
  return clusters;
}

// The clusters a report holds, or nothing when it is not headers >1, >2, ...
// each followed by member lines with a tab, every line ended.
inline std::optional<Clusters> report_clusters(const std::string& report) {
  Clusters clusters;
  if (!report.empty() && report.back() != '\n') return std::nullopt;
  std::istringstream lines(report);
  for (std::string line; std::getline(lines, line);) {
    if (line == ">" + std::to_string(clusters.size() + 1)) {
      clusters.emplace_back();
    } else if (clusters.empty() || line.find('\t') == std::string::npos) {
      return std::nullopt;
    } else {
      clusters.back().push_back(line);
    }
  }
  for (auto& cluster : clusters) {
    if (cluster.empty()) return std::nullopt;
    std::sort(cluster.begin() + 1, cluster.end());
  }
  return clusters;
}

// The directional rule by brute force over all pairs: UMIs visited by
// descending reads (ties in letter order); each one not yet taken starts a
// molecule, which grows until no UMI outside any molecule lies at distance 1
// from one of its UMIs with reads(taker) >= 2 reads(taken) - 1. Returns the
// reads of each molecule in the order they were started.
inline std::vector<uint64_t> reference_molecules(const std::map<std::string, uint64_t>& umi_reads) {
  std::vector<std::pair<std::string, uint64_t>> umis(umi_reads.begin(), umi_reads.end());
  std::stable_sort(umis.begin(), umis.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  auto one_apart = [](const std::string& a, const std::string& b) {
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); ++i) differing += a[i] != b[i];
    return differing == 1;
  };
  std::vector<int> molecule_of(umis.size(), -1);
  std::vector<uint64_t> molecules;
  for (size_t start = 0; start < umis.size(); ++start) {
    if (molecule_of[start] >= 0) continue;
    const int molecule = static_cast<int>(molecules.size());
    molecule_of[start] = molecule;
    uint64_t reads = umis[start].second;
    for (bool grew = true; grew;) {
      grew = false;
      for (size_t taken = 0; taken < umis.size(); ++taken) {
        if (molecule_of[taken] >= 0) continue;
        for (size_t taker = 0; taker < umis.size(); ++taker) {
          if (molecule_of[taker] != molecule || !one_apart(umis[taker].first, umis[taken].first)) continue;
          if (umis[taker].second + 1 < 2 * umis[taken].second) continue;
          molecule_of[taken] = molecule;
          reads += umis[taken].second;
          grew = true;
          break;
        }
      }
    }
    molecules.push_back(reads);
  }
  return molecules;
}
