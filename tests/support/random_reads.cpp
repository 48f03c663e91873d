#include "support/random_reads.h"

#include <sstream>

uint64_t CaseRandom::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

namespace {

const char kBases[] = "ACGT";

std::string random_barcode(CaseRandom& random, uint32_t length, uint32_t alphabet) {
  std::string barcode(length, 'A');
  for (char& base : barcode) base = kBases[random.below(alphabet)];
  return barcode;
}

// Substitutes `count` positions, mostly inside a window (the prefix, the end,
// or anywhere), so that both prefix and suffix differences are common.
std::string mutate(CaseRandom& random, std::string barcode, uint32_t count) {
  const uint32_t length = static_cast<uint32_t>(barcode.size());
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t window = random.below(3);
    const uint32_t position = window == 0   ? random.below(length < 8 ? length : 8)
                              : window == 1 ? length - 1 - random.below(length < 4 ? length : 4)
                                            : random.below(length);
    char base;
    do base = kBases[random.below(4)];
    while (base == barcode[position]);
    barcode[position] = base;
  }
  return barcode;
}

char random_case(CaseRandom& random, char letter) {
  return random.chance(20) ? static_cast<char>(letter - 'A' + 'a') : letter;
}

}  // namespace

ReadSet random_read_set(CaseRandom& random, uint32_t length_class, uint32_t max_reads) {
  return shaped_read_set(random, BarcodeStart::as_drawn, length_class, max_reads);
}

namespace {

// Rewrites the start of a barcode as the shape asks; start_text is the set's
// constant stretch or 8-base start.
void shape_start(CaseRandom& random, BarcodeStart start, const std::string& start_text, std::string& barcode) {
  switch (start) {
    case BarcodeStart::as_drawn:
      return;
    case BarcodeStart::constant:
      barcode.replace(0, start_text.size(), start_text);
      return;
    case BarcodeStart::two_letters:
      for (size_t i = 0; i < 8 && i < barcode.size(); ++i)
        barcode[i] = barcode[i] == 'A' || barcode[i] == 'G' ? 'G' : 'T';
      return;
    case BarcodeStart::mostly_one_key:
      if (random.chance(90)) barcode.replace(0, start_text.size(), start_text);
      return;
    case BarcodeStart::g_run_end:
      if (random.chance(50)) {
        const uint32_t length = static_cast<uint32_t>(barcode.size());
        for (uint32_t i = random.below(length < 10 ? length : 10); i < length; ++i) barcode[i] = 'G';
      }
      return;
  }
}

}  // namespace

ReadSet shaped_read_set(CaseRandom& random, BarcodeStart start, uint32_t length_class, uint32_t max_reads) {
  static const uint32_t kLow[] = {1, 8, 9, 33};
  static const uint32_t kHigh[] = {7, 8, 32, 70};
  const uint32_t length = kLow[length_class] + random.below(kHigh[length_class] - kLow[length_class] + 1);

  // The template: fixed letters around and now and then between barcode positions.
  ReadSet set;
  std::string fixed_after(length + 1, '\0');  // a fixed letter after barcode position i (index i + 1)
  for (uint32_t i = 0; i <= length; ++i) {
    if (random.chance(i == 0 || i == length ? 40 : 3)) fixed_after[i] = kBases[random.below(4)];
  }
  const char* kPositionMarks = "NNn.";
  for (uint32_t i = 0; i <= length; ++i) {
    if (fixed_after[i] != '\0') set.template_text += random_case(random, fixed_after[i]);
    if (i < length) set.template_text += kPositionMarks[random.below(4)];
  }

  // Barcodes: a few seeds over a possibly narrow alphabet, then reads that
  // copy a seed or the read before, with up to four substitutions.
  const uint32_t alphabet = 2 + random.below(3);
  std::vector<std::string> seeds(1 + random.below(6));
  for (std::string& seed : seeds) seed = random_barcode(random, length, alphabet);
  const uint32_t reads = 1 + random.below(max_reads);
  const bool crlf = random.chance(10);
  // Up to 12 constant bases, leaving at least one to vary; sets as drawn take no draws here.
  std::string start_text;
  if (start == BarcodeStart::constant && length > 1) {
    start_text = random_barcode(random, 1 + random.below(length < 13 ? length - 1 : 12), 4);
  } else if (start == BarcodeStart::mostly_one_key) {
    start_text = random_barcode(random, length < 8 ? length : 8, 4);
  }
  std::vector<std::string> barcodes;
  for (uint32_t r = 0; r < reads; ++r) {
    std::string barcode;
    const uint32_t how = random.below(100);
    if (how < 25 && !barcodes.empty()) {
      barcode = barcodes[random.below(static_cast<uint32_t>(barcodes.size()))];  // exact duplicate
    } else if (how < 50 && !barcodes.empty()) {
      barcode = mutate(random, barcodes.back(), 1 + random.below(3));  // chain
    } else if (how < 92) {
      barcode = mutate(random, seeds[random.below(static_cast<uint32_t>(seeds.size()))], random.below(5));
    } else {
      barcode = random_barcode(random, length, 4);
    }
    shape_start(random, start, start_text, barcode);
    barcodes.push_back(barcode);

    std::string read;
    for (uint32_t i = 0; i <= length; ++i) {
      if (fixed_after[i] != '\0') read += random.chance(r > 0 ? 3 : 0) ? 'A' + (fixed_after[i] == 'A') : fixed_after[i];
      if (i < length) read += random_case(random, barcode[i]);
    }
    if (r > 0 && random.chance(4))
      read[random.below(static_cast<uint32_t>(read.size()))] = random.chance(50) ? 'N' : 'x';
    // Never empty: a blank sequence line is a malformed file, not a rejected read.
    if (r > 0 && read.size() > 1 && random.chance(3))
      read.resize(1 + random.below(static_cast<uint32_t>(read.size() - 1)));
    if (random.chance(30)) read += random_barcode(random, random.below(12), 4);
    set.fasta += ">r" + std::to_string(r + 1) + (random.chance(10) ? " extra words" : "") + (crlf ? "\r\n" : "\n");
    set.fasta += read + (crlf ? "\r\n" : "\n");
  }
  return set;
}

std::vector<TestRead> make_test_reads(int count, uint32_t seed) {
  CaseRandom random(seed);
  std::vector<std::string> pool(12);
  for (std::string& barcode : pool) barcode = random_barcode(random, 6, 4);
  std::vector<TestRead> reads;
  for (int i = 0; i < count; ++i) {
    std::string barcode = pool[random.below(12)];
    for (uint32_t substitutions = random.below(3); substitutions > 0; --substitutions)
      barcode[random.below(6)] = kBases[random.below(4)];
    std::string sequence = "AC" + barcode + "GT" + (i % 3 == 0 ? "acgt" : "");
    if (random.below(40) == 0) sequence[2 + random.below(6)] = 'N';
    if (random.below(40) == 0) sequence[0] = 'G';
    reads.push_back({"read" + std::to_string(i + 1) + " lane:" + std::to_string(i % 4), sequence});
  }
  return reads;
}

std::string as_fasta(const std::vector<TestRead>& reads) {
  std::string text;
  for (const TestRead& read : reads) text += ">" + read.name + "\n" + read.sequence + "\n";
  return text;
}

std::string as_fastq(const std::vector<TestRead>& reads, const std::string& line_end) {
  std::string text;
  for (size_t i = 0; i < reads.size(); ++i) {
    text += "@" + reads[i].name + line_end + reads[i].sequence + line_end + "+" + line_end +
            std::string(reads[i].sequence.size(), i % 2 == 0 ? '@' : '>') + line_end;
  }
  return text;
}

std::string reshape(CaseRandom& random, const std::string& fasta) {
  static const char* kLineEnds[] = {"\n", "\r\n", "\r"};
  const std::string line_end = kLineEnds[random.below(3)];
  const uint32_t width = 1 + random.below(random.chance(50) ? 80 : 8);
  std::string text;
  size_t at = 0;
  for (bool name = true; at < fasta.size(); name = !name) {
    const size_t end = fasta.find_first_of("\r\n", at);
    std::string line = fasta.substr(at, end - at);
    at = fasta.find_first_not_of("\r\n", end);
    if (name) {
      if (random.chance(20)) line += " x>" + std::to_string(random.below(9)) + ">";
      text += line + line_end;
      if (random.chance(10)) text += line_end;
      continue;
    }
    for (size_t piece = 0; piece < line.size(); piece += width) {
      text += line.substr(piece, width) + line_end;
      if (random.chance(5)) text += random.chance(50) ? line_end : std::string(1, '\0') + line_end;
    }
  }
  if (random.chance(30)) text.resize(text.size() - line_end.size());  // the last line without its end
  return text;
}

std::string skew_abundance(CaseRandom& random, const std::string& fasta) {
  std::istringstream lines(fasta);
  std::string skewed;
  std::string name;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '>') {
      name = line;
      continue;
    }
    const uint32_t copies = random.chance(15) ? 2 + random.below(random.chance(50) ? 4 : 30) : 1;
    for (uint32_t i = 0; i < copies; ++i) skewed += name + "_" + std::to_string(i) + "\n" + line + "\n";
  }
  return skewed;
}
