// generate_reads: synthetic barcoded reads for tarnwell benchmarks.
//
// Each read is   left flank + barcode + right flank + random tail
// written as two-line FASTA (">r<index>\n<SEQUENCE>\n"), or with --fastq as
// four-line FASTQ ("@r<index>\n<SEQUENCE>\n+\n<QUALITY>\n").
//
// By default reads are drawn from a fixed set of distinct "true" barcodes whose
// abundances follow a log-normal distribution; every freshly generated read then
// receives sequencing-like errors (barcode substitutions, flank mismatches,
// N calls, truncation), and a configurable fraction of reads are exact copies of
// the previous read of the same true barcode (PCR duplicates).
//
// With --unique every read gets an independent uniformly random barcode and,
// unless a rate is given explicitly, no errors at all.
//
// With --umi-length every read begins with a unique molecular identifier:
// each true barcode is captured as a number of molecules, each with a random
// UMI and amplified unevenly, and reads are drawn from the molecules.
//
// The output is a pure function of the options and the seed: the generator uses
// its own PRNG (xoshiro256**) and its own distribution code rather than the
// implementation-defined std:: distributions.
//
// Only the C++20 standard library is used.

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// ---------------------------------------------------------------------------
// Random numbers
// ---------------------------------------------------------------------------

class Rng {
public:
    explicit Rng(std::uint64_t seed) {
        std::uint64_t x = seed;
        for (auto& s : s_) s = splitmix64(x);
    }

    std::uint64_t next() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // Uniform in [0, 1).
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

    // Uniform in (0, 1], safe for log().
    double uniform_open0() { return static_cast<double>((next() >> 11) + 1) * 0x1.0p-53; }

    // Uniform integer in [0, n), n > 0 (Lemire's multiply-shift, rejection-free;
    // the bias is < n / 2^64 and irrelevant here).
    std::uint64_t below(std::uint64_t n) {
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
    }

    bool chance(double p) { return uniform() < p; }

    // Standard normal via Box-Muller (one value per call, the second is kept).
    double normal() {
        if (have_spare_) {
            have_spare_ = false;
            return spare_;
        }
        const double u1 = uniform_open0();
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double theta = 2.0 * 3.14159265358979323846 * u2;
        spare_ = r * std::sin(theta);
        have_spare_ = true;
        return r * std::cos(theta);
    }

private:
    static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t splitmix64(std::uint64_t& x) {
        std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    std::uint64_t s_[4]{};
    double spare_ = 0.0;
    bool have_spare_ = false;
};

constexpr char kBases[4] = {'A', 'C', 'G', 'T'};

// Fill out[0..n) with uniformly random A/C/G/T, 32 bases per 64-bit draw.
void random_bases(Rng& rng, char* out, std::size_t n) {
    std::size_t i = 0;
    while (i < n) {
        std::uint64_t r = rng.next();
        const std::size_t m = std::min<std::size_t>(32, n - i);
        for (std::size_t k = 0; k < m; ++k) {
            out[i++] = kBases[r & 3];
            r >>= 2;
        }
    }
}

// Replace base c by one of the three other bases, chosen uniformly.
char substitute(Rng& rng, char c) {
    int idx = 0;
    switch (c) {
        case 'A': idx = 0; break;
        case 'C': idx = 1; break;
        case 'G': idx = 2; break;
        case 'T': idx = 3; break;
        default: return kBases[rng.below(4)];
    }
    return kBases[(idx + 1 + static_cast<int>(rng.below(3))) & 3];
}

// Visits the positions of independent Bernoulli(p) events in [0, n) using
// geometric skips, so the cost is O(1 + number of events) rather than O(n).
class EventSampler {
public:
    explicit EventSampler(double p) : p_(p) {
        if (p_ > 0.0 && p_ < 1.0) inv_log_q_ = 1.0 / std::log1p(-p_);
    }

    template <class F>
    void for_each(Rng& rng, std::size_t n, F&& f) const {
        if (p_ <= 0.0 || n == 0) return;
        if (p_ >= 1.0) {
            for (std::size_t i = 0; i < n; ++i) f(i);
            return;
        }
        std::size_t pos = 0;
        for (;;) {
            const double skip = std::floor(std::log(rng.uniform_open0()) * inv_log_q_);
            if (skip >= static_cast<double>(n - pos)) return;
            pos += static_cast<std::size_t>(skip);
            f(pos);
            ++pos;
            if (pos >= n) return;
        }
    }

private:
    double p_;
    double inv_log_q_ = 0.0;
};

// Walker/Vose alias table: O(1) sampling proportional to weights.
class AliasTable {
public:
    explicit AliasTable(const std::vector<double>& weights) {
        const std::size_t n = weights.size();
        prob_.assign(n, 0.0);
        alias_.assign(n, 0);
        double total = 0.0;
        for (double w : weights) total += w;
        std::vector<double> scaled(n);
        std::vector<std::uint32_t> small, large;
        small.reserve(n);
        large.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            scaled[i] = weights[i] * static_cast<double>(n) / total;
            (scaled[i] < 1.0 ? small : large).push_back(static_cast<std::uint32_t>(i));
        }
        while (!small.empty() && !large.empty()) {
            const std::uint32_t s = small.back();
            small.pop_back();
            const std::uint32_t l = large.back();
            prob_[s] = scaled[s];
            alias_[s] = l;
            scaled[l] = (scaled[l] + scaled[s]) - 1.0;
            if (scaled[l] < 1.0) {
                large.pop_back();
                small.push_back(l);
            }
        }
        for (std::uint32_t i : large) prob_[i] = 1.0;
        for (std::uint32_t i : small) prob_[i] = 1.0;  // numerical leftovers
    }

    std::uint32_t sample(Rng& rng) const {
        const auto i = static_cast<std::uint32_t>(rng.below(prob_.size()));
        return rng.uniform() < prob_[i] ? i : alias_[i];
    }

private:
    std::vector<double> prob_;
    std::vector<std::uint32_t> alias_;
};

// ---------------------------------------------------------------------------
// Buffered output
// ---------------------------------------------------------------------------

class Writer {
public:
    explicit Writer(std::FILE* f) : f_(f), buf_(kSize) {}
    ~Writer() { flush(); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Guarantee at least n free bytes and return a pointer to them.
    char* reserve(std::size_t n) {
        if (buf_.size() - used_ < n) {
            flush();
            if (buf_.size() < n) buf_.resize(n);
        }
        return buf_.data() + used_;
    }
    void commit(std::size_t n) { used_ += n; }

    void flush() {
        if (used_ == 0) return;
        if (std::fwrite(buf_.data(), 1, used_, f_) != used_) {
            std::perror("generate_reads: write failed");
            std::exit(1);
        }
        used_ = 0;
    }

private:
    static constexpr std::size_t kSize = std::size_t{8} << 20;
    std::FILE* f_;
    std::vector<char> buf_;
    std::size_t used_ = 0;
};

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------

struct Options {
    std::uint64_t reads = 1000000;
    std::size_t barcode_length = 20;
    std::size_t true_barcodes = 20000;
    double sigma = 1.0;
    bool unique = false;
    double substitution_rate = 0.005;
    double n_rate = 0.0005;
    double flank_mismatch_rate = 0.001;
    double truncation_rate = 0.001;
    double pcr_duplicates = 0.3;
    std::string left_flank = "ACGTACGT";
    std::string right_flank = "TGCATGCA";
    std::size_t tail_length = 60;
    std::uint64_t seed = 1;
    std::string output;  // empty = stdout
    bool print_template = false;
    bool fastq = false;
    // Where the barcode sits (drawn from their own generator, so the reads are otherwise the same).
    std::size_t stagger = 0;          // up to this many random bases before the left flank
    double stagger_share = 1.0;       // share of reads that get 1..stagger of them
    double reverse_share = 0.0;       // share of reads written as their reverse complement
    double low_quality_rate = 0.0;    // per barcode base: quality '#' (Phred 2) in FASTQ
    std::string truth;                // file of each read's true barcode and placement
    std::size_t spacing = 0;          // true barcodes at least this far apart, drawn crowded; 0: at random
    std::string origins;              // file of each read's true barcode: its number and bases
    bool illumina_names = false;
    // A library of known barcodes and reads drawn from it (drawn from their own generator too).
    std::string library;              // file of the true barcodes as a library: id, barcode, gene
    double absent_share = 0.0;        // share of the library's barcodes that no read is drawn from
    double unknown_share = 0.0;       // share of reads whose barcode is in no library entry
    double between_share = 0.0;       // share of reads exactly between two library entries
    std::string sources;              // file of each read's source: library id, "unknown" or "between"
    // Molecules: a UMI before the left flank.
    std::size_t umi_length = 0;           // UMI bases; 0: no UMI
    double molecules = 50.0;              // mean molecules per true barcode
    double amplification_sigma = 1.0;     // log-normal sigma of each molecule's share of the reads
    double umi_error_rate = 0.11;         // share of reads with one UMI substitution
    std::string molecule_truth;           // file of the molecules seen per true barcode
    // Barcodes of low diversity in one stretch (drawn from their own generator).
    std::string start_shape;              // "constant" or "two-letters"; empty: none
    std::size_t start_length = 0;         // bases of the stretch; 0: 12 (constant) or 8 (two-letters)
    double start_share = 1.0;             // share of true barcodes that have it
    bool start_at_end = false;            // the stretch ends the barcode instead of beginning it
    double poly_g_share = 0.0;            // share of reads that turn to G from a random base before the tail
};

void usage(std::FILE* out) {
    std::fputs(
        "Usage: generate_reads [OPTIONS]\n"
        "\n"
        "Writes synthetic barcoded reads as two-line FASTA (\">r<index>\\n<SEQ>\\n\").\n"
        "Each read is: left flank + barcode + right flank + random tail.\n"
        "\n"
        "Read population:\n"
        "  --reads N                  number of reads (default 1000000)\n"
        "  --barcode-length L         barcode bases (default 20)\n"
        "  --true-barcodes K          number of distinct true barcodes (default 20000)\n"
        "  --sigma S                  log-normal sigma of true-barcode abundance\n"
        "                             (default 1.0); reads are drawn from true\n"
        "                             barcodes proportionally to abundance\n"
        "  --unique                   every read gets an independent uniformly random\n"
        "                             barcode; all error rates and PCR duplicates\n"
        "                             default to 0 in this mode (explicitly given\n"
        "                             rates are still honoured)\n"
        "\n"
        "Errors (applied to each freshly generated read):\n"
        "  --substitution-rate R      per-base substitution probability in the\n"
        "                             barcode (default 0.005)\n"
        "  --n-rate R                 per-base probability of an N call anywhere in\n"
        "                             the read (default 0.0005)\n"
        "  --flank-mismatch-rate R    per-base mismatch probability in the fixed\n"
        "                             flanks (default 0.001)\n"
        "  --truncation-rate R        fraction of reads truncated to a uniformly\n"
        "                             random shorter length >= 1 (default 0.001)\n"
        "  --pcr-duplicates F         probability that a read is an exact copy\n"
        "                             (errors included) of the previous read of the\n"
        "                             same true barcode (default 0.3)\n"
        "\n"
        "Read layout:\n"
        "  --left-flank SEQ           fixed bases before the barcode (default ACGTACGT)\n"
        "  --right-flank SEQ          fixed bases after the barcode (default TGCATGCA)\n"
        "  --tail-length T            random bases after the right flank (default 60)\n"
        "\n"
        "Other:\n"
        "  --seed S                   random seed (default 1); output is fully\n"
        "                             determined by the options and the seed\n"
        "  --output FILE              output file (default: standard output)\n"
        "  --fastq                    write four-line FASTQ with binned qualities as\n"
        "                             recent sequencers write them (the same reads\n"
        "                             as FASTA for the same seed)\n"
        "  --illumina-names           name reads as sequencers do, about 55 bytes\n"
        "                             (\"A00917:412:HVLKMDSX3:2:1101:1000:1000 1:N:0:...\")\n"
        "\n"
        "Barcode placement (for the barcode search options of tarnwell):\n"
        "  --stagger S                random bases (1 to S, uniform) before the left\n"
        "                             flank of a share of the reads (default 0)\n"
        "  --stagger-share F          share of reads that get them (default 1)\n"
        "  --reverse-share F          share of reads written reverse-complemented\n"
        "                             (default 0)\n"
        "  --low-quality-rate R       per barcode base: quality '#' (Phred 2) in\n"
        "                             FASTQ (default 0)\n"
        "  --spacing K                true barcodes at least K substitutions apart\n"
        "                             and crowded: each one after the first is an\n"
        "                             earlier one with K substitutions, drawn again\n"
        "                             while it lies within K - 1 of any other\n"
        "  --origins FILE             one line per read: name, the number of its\n"
        "                             true barcode (1, 2, ...; 0 with --unique) and\n"
        "                             that barcode's bases\n"
        "  --truth FILE               one line per read: name, barcode as read on\n"
        "                             its strand, offset, strand (+ or -), fixed\n"
        "                             letters differing, low-quality barcode bases,\n"
        "                             and 1 when the read is cut before the\n"
        "                             template's end\n"
        "\n"
        "Molecules (a UMI before the left flank):\n"
        "  --umi-length U             UMI bases, 1 to 32 (default 0: no UMI); each\n"
        "                             true barcode is captured as molecules with\n"
        "                             random UMIs, and reads are drawn from them\n"
        "  --molecules M              mean molecules per true barcode (default 50;\n"
        "                             each barcode's count follows its abundance)\n"
        "  --amplification-sigma S    log-normal sigma of each molecule's share of\n"
        "                             the reads, as PCR copies unevenly (default 1)\n"
        "  --umi-error-rate R         share of reads with one UMI substitution\n"
        "                             (default 0.11); --pcr-duplicates is not used\n"
        "  --molecule-truth FILE      one line per true barcode: the barcode, its\n"
        "                             molecules with reads that match the template\n"
        "                             (whole flanks, no N), and those reads\n"
        "\n"
        "Low-diversity barcodes (drawn from a generator of their own):\n"
        "  --start-shape S            the first bases of the true barcodes: 'constant'\n"
        "                             (one random k-mer) or 'two-letters' (G and T only)\n"
        "  --start-length N           bases of that stretch (default 12 constant, 8\n"
        "                             two-letters)\n"
        "  --start-share F            share of true barcodes that have it (default 1)\n"
        "  --start-at-end             the stretch ends the barcode instead: the same\n"
        "                             barcodes with their bases rotated\n"
        "  --poly-g-share F           share of reads that turn to G from a random base\n"
        "                             before the tail on, as dark cycles of a two-colour\n"
        "                             sequencer read (default 0)\n"
        "\n"
        "Known barcodes (for tarnwell --known):\n"
        "  --library FILE             write the true barcodes as a library: a header,\n"
        "                             then id (b1, b2, ...), barcode and gene (four\n"
        "                             barcodes a gene), tab-separated\n"
        "  --absent-share F           share of the library's barcodes that no read\n"
        "                             is drawn from (default 0)\n"
        "  --unknown-share F          share of reads drawn from barcodes that are in\n"
        "                             no entry (default 0)\n"
        "  --between-share F          share of reads exactly between two entries:\n"
        "                             every 50th entry is then its neighbour with two\n"
        "                             bases changed, and such a read carries one of\n"
        "                             the two changes and no substitution (default 0)\n"
        "  --sources FILE             one line per read: name and the id of the entry\n"
        "                             it was drawn from, or unknown, or between\n"
        "  --print-template           print the matching tarnwell template (left\n"
        "                             flank + L 'N's + right flank) and exit\n"
        "  --help                     show this help\n"
        "\n"
        "Example:\n"
        "  generate_reads --reads 1000000 --seed 7 --output reads.fa\n"
        "  tarnwell -i reads.fa -o clusters.txt -d 1 -t \"$(generate_reads --print-template)\"\n",
        out);
}

[[noreturn]] void die(const std::string& msg) {
    std::fprintf(stderr, "generate_reads: %s\n(try --help)\n", msg.c_str());
    std::exit(2);
}

std::uint64_t parse_u64(const char* name, const char* s) {
    std::uint64_t v = 0;
    const char* end = s + std::strlen(s);
    auto [p, ec] = std::from_chars(s, end, v);
    if (ec != std::errc() || p != end || p == s)
        die(std::string("invalid non-negative integer for --") + name + ": '" + s + "'");
    return v;
}

double parse_double(const char* name, const char* s) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(s, &end);
    if (end == s || *end != '\0' || errno != 0 || !std::isfinite(v))
        die(std::string("invalid number for --") + name + ": '" + s + "'");
    return v;
}

double parse_rate(const char* name, const char* s) {
    const double v = parse_double(name, s);
    if (v < 0.0 || v > 1.0) die(std::string("--") + name + " must be in [0, 1]");
    return v;
}

std::string parse_flank(const char* name, const char* s) {
    std::string f(s);
    for (char& c : f) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c != 'A' && c != 'C' && c != 'G' && c != 'T')
            die(std::string("--") + name + " may contain only A, C, G, T");
    }
    return f;
}

Options parse_options(int argc, char** argv) {
    enum : int {
        kReads = 1000,
        kBarcodeLength,
        kTrueBarcodes,
        kSigma,
        kUnique,
        kSubst,
        kNRate,
        kFlankMismatch,
        kTruncation,
        kPcr,
        kLeftFlank,
        kRightFlank,
        kTailLength,
        kSeed,
        kOutput,
        kPrintTemplate,
        kFastq,
        kStagger,
        kStaggerShare,
        kReverseShare,
        kLowQualityRate,
        kTruth,
        kSpacing,
        kOrigins,
        kIlluminaNames,
        kLibrary,
        kAbsentShare,
        kUnknownShare,
        kBetweenShare,
        kSources,
        kUmiLength,
        kMolecules,
        kAmplificationSigma,
        kUmiErrorRate,
        kMoleculeTruth,
        kStartShape,
        kStartLength,
        kStartShare,
        kStartAtEnd,
        kPolyGShare,
        kHelp,
    };
    static const option long_opts[] = {
        {"reads", required_argument, nullptr, kReads},
        {"barcode-length", required_argument, nullptr, kBarcodeLength},
        {"true-barcodes", required_argument, nullptr, kTrueBarcodes},
        {"sigma", required_argument, nullptr, kSigma},
        {"unique", no_argument, nullptr, kUnique},
        {"substitution-rate", required_argument, nullptr, kSubst},
        {"n-rate", required_argument, nullptr, kNRate},
        {"flank-mismatch-rate", required_argument, nullptr, kFlankMismatch},
        {"truncation-rate", required_argument, nullptr, kTruncation},
        {"pcr-duplicates", required_argument, nullptr, kPcr},
        {"left-flank", required_argument, nullptr, kLeftFlank},
        {"right-flank", required_argument, nullptr, kRightFlank},
        {"tail-length", required_argument, nullptr, kTailLength},
        {"seed", required_argument, nullptr, kSeed},
        {"output", required_argument, nullptr, kOutput},
        {"print-template", no_argument, nullptr, kPrintTemplate},
        {"fastq", no_argument, nullptr, kFastq},
        {"stagger", required_argument, nullptr, kStagger},
        {"stagger-share", required_argument, nullptr, kStaggerShare},
        {"reverse-share", required_argument, nullptr, kReverseShare},
        {"low-quality-rate", required_argument, nullptr, kLowQualityRate},
        {"truth", required_argument, nullptr, kTruth},
        {"spacing", required_argument, nullptr, kSpacing},
        {"origins", required_argument, nullptr, kOrigins},
        {"illumina-names", no_argument, nullptr, kIlluminaNames},
        {"library", required_argument, nullptr, kLibrary},
        {"absent-share", required_argument, nullptr, kAbsentShare},
        {"unknown-share", required_argument, nullptr, kUnknownShare},
        {"between-share", required_argument, nullptr, kBetweenShare},
        {"sources", required_argument, nullptr, kSources},
        {"umi-length", required_argument, nullptr, kUmiLength},
        {"molecules", required_argument, nullptr, kMolecules},
        {"amplification-sigma", required_argument, nullptr, kAmplificationSigma},
        {"umi-error-rate", required_argument, nullptr, kUmiErrorRate},
        {"molecule-truth", required_argument, nullptr, kMoleculeTruth},
        {"start-shape", required_argument, nullptr, kStartShape},
        {"start-length", required_argument, nullptr, kStartLength},
        {"start-share", required_argument, nullptr, kStartShare},
        {"start-at-end", no_argument, nullptr, kStartAtEnd},
        {"poly-g-share", required_argument, nullptr, kPolyGShare},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };

    Options o;
    bool set_subst = false, set_n = false, set_flank = false, set_trunc = false, set_pcr = false;
    int c;
    while ((c = getopt_long(argc, argv, "h", long_opts, nullptr)) != -1) {
        switch (c) {
            case kReads: o.reads = parse_u64("reads", optarg); break;
            case kBarcodeLength: o.barcode_length = parse_u64("barcode-length", optarg); break;
            case kTrueBarcodes: o.true_barcodes = parse_u64("true-barcodes", optarg); break;
            case kSigma:
                o.sigma = parse_double("sigma", optarg);
                if (o.sigma < 0.0) die("--sigma must be >= 0");
                break;
            case kUnique: o.unique = true; break;
            case kSubst: o.substitution_rate = parse_rate("substitution-rate", optarg); set_subst = true; break;
            case kNRate: o.n_rate = parse_rate("n-rate", optarg); set_n = true; break;
            case kFlankMismatch: o.flank_mismatch_rate = parse_rate("flank-mismatch-rate", optarg); set_flank = true; break;
            case kTruncation: o.truncation_rate = parse_rate("truncation-rate", optarg); set_trunc = true; break;
            case kPcr: o.pcr_duplicates = parse_rate("pcr-duplicates", optarg); set_pcr = true; break;
            case kLeftFlank: o.left_flank = parse_flank("left-flank", optarg); break;
            case kRightFlank: o.right_flank = parse_flank("right-flank", optarg); break;
            case kTailLength: o.tail_length = parse_u64("tail-length", optarg); break;
            case kSeed: o.seed = parse_u64("seed", optarg); break;
            case kOutput: o.output = optarg; break;
            case kPrintTemplate: o.print_template = true; break;
            case kFastq: o.fastq = true; break;
            case kStagger: o.stagger = parse_u64("stagger", optarg); break;
            case kStaggerShare: o.stagger_share = parse_rate("stagger-share", optarg); break;
            case kReverseShare: o.reverse_share = parse_rate("reverse-share", optarg); break;
            case kLowQualityRate: o.low_quality_rate = parse_rate("low-quality-rate", optarg); break;
            case kTruth: o.truth = optarg; break;
            case kSpacing: o.spacing = parse_u64("spacing", optarg); break;
            case kOrigins: o.origins = optarg; break;
            case kIlluminaNames: o.illumina_names = true; break;
            case kLibrary: o.library = optarg; break;
            case kAbsentShare: o.absent_share = parse_rate("absent-share", optarg); break;
            case kUnknownShare: o.unknown_share = parse_rate("unknown-share", optarg); break;
            case kBetweenShare: o.between_share = parse_rate("between-share", optarg); break;
            case kSources: o.sources = optarg; break;
            case kUmiLength: o.umi_length = parse_u64("umi-length", optarg); break;
            case kMolecules:
                o.molecules = parse_double("molecules", optarg);
                if (o.molecules < 1.0) die("--molecules must be >= 1");
                break;
            case kAmplificationSigma:
                o.amplification_sigma = parse_double("amplification-sigma", optarg);
                if (o.amplification_sigma < 0.0) die("--amplification-sigma must be >= 0");
                break;
            case kUmiErrorRate: o.umi_error_rate = parse_rate("umi-error-rate", optarg); break;
            case kMoleculeTruth: o.molecule_truth = optarg; break;
            case kStartShape:
                o.start_shape = optarg;
                if (o.start_shape != "constant" && o.start_shape != "two-letters")
                    die("--start-shape must be 'constant' or 'two-letters'");
                break;
            case kStartLength: o.start_length = parse_u64("start-length", optarg); break;
            case kStartShare: o.start_share = parse_rate("start-share", optarg); break;
            case kStartAtEnd: o.start_at_end = true; break;
            case kPolyGShare: o.poly_g_share = parse_rate("poly-g-share", optarg); break;
            case 'h':
            case kHelp: usage(stdout); std::exit(0);
            default: die("unknown or malformed option");
        }
    }
    if (optind < argc) die(std::string("unexpected argument '") + argv[optind] + "'");

    if (o.barcode_length == 0) die("--barcode-length must be >= 1");
    if (o.barcode_length > 4096) die("--barcode-length must be <= 4096");
    if (o.tail_length > 1u << 20) die("--tail-length must be <= 1048576");
    if (o.stagger > 1024) die("--stagger must be <= 1024");
    if (o.umi_length > 32) die("--umi-length must be <= 32");
    if (o.umi_length > 0 && o.unique) die("--umi-length needs true barcodes, not --unique");
    if (o.umi_length == 0 && !o.molecule_truth.empty()) die("--molecule-truth needs --umi-length");
    if (o.umi_length > 0 && !o.truth.empty()) die("--truth does not describe reads with a UMI");
    if (o.start_length == 0) o.start_length = o.start_shape == "constant" ? 12 : 8;
    if (!o.start_shape.empty() && (o.unique || o.umi_length > 0 || o.spacing > 0))
        die("--start-shape needs drawn true barcodes");
    if (!o.start_shape.empty() && o.start_length >= o.barcode_length)
        die("--start-length must leave some of the barcode to vary");
    if (o.poly_g_share > 0.0 && (o.unique || o.umi_length > 0)) die("--poly-g-share needs pooled true barcodes");

    if (o.umi_length > 0 && !o.sources.empty()) die("--sources does not describe reads with a UMI");
    if (o.unique && (!o.library.empty() || !o.sources.empty() || o.absent_share > 0.0 || o.unknown_share > 0.0 ||
                     o.between_share > 0.0))
        die("--unique reads are drawn from no library");
    if (o.unique) {
        if (!set_subst) o.substitution_rate = 0.0;
        if (!set_n) o.n_rate = 0.0;
        if (!set_flank) o.flank_mismatch_rate = 0.0;
        if (!set_trunc) o.truncation_rate = 0.0;
        if (!set_pcr) o.pcr_duplicates = 0.0;
    } else {
        if (o.true_barcodes == 0) die("--true-barcodes must be >= 1");
        if (o.true_barcodes > std::numeric_limits<std::uint32_t>::max())
            die("--true-barcodes is too large");
        // Distinct barcodes must exist: 4^L >= K.
        if (o.barcode_length < 32) {
            const std::uint64_t space = std::uint64_t{1} << (2 * o.barcode_length);
            if (o.true_barcodes > space)
                die("--true-barcodes exceeds the number of possible barcodes of that length");
            if (o.true_barcodes > space / 2)
                die("--true-barcodes is more than half of all possible barcodes; use a longer barcode");
        }
    }
    return o;
}

// ---------------------------------------------------------------------------
// Generation
// ---------------------------------------------------------------------------

struct Layout {
    std::size_t lf, bl, rf, tail;
    std::size_t bc_begin() const { return lf; }
    std::size_t rf_begin() const { return lf + bl; }
    std::size_t tail_begin() const { return lf + bl + rf; }
    std::size_t length() const { return lf + bl + rf + tail; }
};

class Generator {
public:
    explicit Generator(const Options& o)
        : o_(o),
          rng_(o.seed),
          layout_{o.left_flank.size(), o.barcode_length, o.right_flank.size(), o.tail_length},
          subst_(o.substitution_rate),
          nrate_(o.n_rate),
          flank_(o.flank_mismatch_rate),
          read_(layout_.length()) {
        std::memcpy(read_.data(), o.left_flank.data(), layout_.lf);
        std::memcpy(read_.data() + layout_.rf_begin(), o.right_flank.data(), layout_.rf);
        if (!o.unique) make_true_barcodes();
        if (o.umi_length > 0) make_molecules();
    }

    // Per true barcode with reads that match the template: the barcode, its molecules with such reads, those reads.
    void write_molecule_truth(std::FILE* out) const {
        const std::size_t k = o_.true_barcodes, l = o_.barcode_length;
        std::vector<std::uint64_t> seen(k), reads(k);
        for (std::size_t m = 0; m < molecule_barcode_.size(); ++m) {
            seen[molecule_barcode_[m]] += molecule_reads_[m] > 0;
            reads[molecule_barcode_[m]] += molecule_reads_[m];
        }
        for (std::size_t b = 0; b < k; ++b) {
            if (reads[b] == 0) continue;
            std::fprintf(out, "%.*s\t%llu\t%llu\n", static_cast<int>(l), barcodes_.data() + b * l,
                         static_cast<unsigned long long>(seen[b]), static_cast<unsigned long long>(reads[b]));
        }
    }

    void run(Writer& w, std::FILE* truth, std::FILE* origins, std::FILE* sources) {
        const std::size_t max_line = 2 * (layout_.length() + o_.stagger + o_.umi_length) + 160;
        for (std::uint64_t i = 1; i <= o_.reads; ++i) {
            char* p = w.reserve(max_line);
            char* const start = p;
            *p++ = o_.fastq ? '@' : '>';
            p = o_.illumina_names ? write_illumina_name(p, i) : write_short_name(p, i);
            *p++ = '\n';
            std::string_view seq = o_.unique ? unique_read() : o_.umi_length > 0 ? molecule_read() : pooled_read();
            if (o_.poly_g_share > 0.0 && shape_rng_.chance(o_.poly_g_share)) seq = turn_to_g(seq);
            if (truth != nullptr) write_truth(truth, i, seq);
            if (origins != nullptr) {
                const std::size_t l = layout_.bl;
                std::fprintf(origins, "r%llu\t%u\t%.*s\n", static_cast<unsigned long long>(i),
                             o_.unique ? 0u : origin_ + 1, o_.unique ? 0 : static_cast<int>(l),
                             o_.unique ? "" : barcodes_.data() + static_cast<std::size_t>(origin_) * l);
            }
            if (sources != nullptr) write_source(sources, i);
            if (places_barcodes()) seq = place(seq);
            std::memcpy(p, seq.data(), seq.size());
            p += seq.size();
            *p++ = '\n';
            if (o_.fastq) p = write_quality(p, seq);
            w.commit(static_cast<std::size_t>(p - start));
        }
    }

private:
    bool places_barcodes() const {
        return o_.stagger > 0 || o_.reverse_share > 0.0 || o_.low_quality_rate > 0.0 || !o_.truth.empty();
    }

    // Draws where the barcode of the next read sits; the truth file and place() use the same draw.
    void draw_placement() {
        shift_ = o_.stagger > 0 && place_rng_.chance(o_.stagger_share) ? 1 + place_rng_.below(o_.stagger) : 0;
        reverse_ = o_.reverse_share > 0.0 && place_rng_.chance(o_.reverse_share);
        low_bases_.clear();
        if (o_.low_quality_rate > 0.0) {
            for (std::size_t j = 0; j < layout_.bl; ++j) {
                if (place_rng_.chance(o_.low_quality_rate)) low_bases_.push_back(shift_ + layout_.lf + j);
            }
        }
        placement_drawn_ = true;
    }

    // The read with its stagger, on the strand it is written, into placed_.
    std::string_view place(std::string_view seq) {
        if (!placement_drawn_) draw_placement();
        placement_drawn_ = false;
        placed_.resize(shift_);
        random_bases(place_rng_, placed_.data(), shift_);
        placed_.append(seq);
        if (reverse_) {
            std::reverse(placed_.begin(), placed_.end());
            for (char& c : placed_) c = c == 'A' ? 'T' : c == 'T' ? 'A' : c == 'C' ? 'G' : c == 'G' ? 'C' : c;
        }
        return placed_;
    }

    void write_truth(std::FILE* truth, std::uint64_t index, std::string_view seq) {
        draw_placement();
        const Layout& L = layout_;
        std::size_t differing = 0;
        for (std::size_t i = 0; i < L.lf + L.rf; ++i) {
            const std::size_t pos = i < L.lf ? i : L.rf_begin() + (i - L.lf);
            const char want = i < L.lf ? o_.left_flank[i] : o_.right_flank[i - L.lf];
            if (pos < seq.size() && seq[pos] != want) ++differing;
        }
        const std::string barcode(seq.substr(std::min(seq.size(), L.bc_begin()), L.bl));
        std::fprintf(truth, "r%llu\t%s\t%zu\t%c\t%zu\t%zu\t%d\n", static_cast<unsigned long long>(index),
                     barcode.c_str(), shift_, reverse_ ? '-' : '+', differing, low_bases_.size(),
                     seq.size() < L.tail_begin() ? 1 : 0);
    }

    void write_source(std::FILE* sources, std::uint64_t index) const {
        if (source_ == kUnknownSource) {
            std::fprintf(sources, "r%llu\tunknown\n", static_cast<unsigned long long>(index));
        } else if (source_ == kBetweenSource) {
            std::fprintf(sources, "r%llu\tbetween\n", static_cast<unsigned long long>(index));
        } else {
            std::fprintf(sources, "r%llu\tb%llu\n", static_cast<unsigned long long>(index),
                         static_cast<unsigned long long>(source_) + 1);
        }
    }

public:
    // The true barcodes as a library file: four barcodes a gene.
    void write_library(std::FILE* library) const {
        std::fputs("id\tbarcode\tgene\n", library);
        const std::size_t l = o_.barcode_length;
        for (std::size_t b = 0; b < o_.true_barcodes; ++b) {
            std::fprintf(library, "b%zu\t%.*s\tgene%zu\n", b + 1, static_cast<int>(l), barcodes_.data() + b * l,
                         b / 4 + 1);
        }
    }

private:
    static char* write_short_name(char* p, std::uint64_t i) {
        *p++ = 'r';
        return std::to_chars(p, p + 24, i).ptr;
    }

    // Instrument, run, flow cell, lane, tile and the cluster's x and y: a
    // million reads per tile, each at its own place; then read, filter flag,
    // control bits and the sample's index pair.
    static char* write_illumina_name(char* p, std::uint64_t i) {
        static constexpr std::string_view kRun = "A00917:412:HVLKMDSX3:";
        static constexpr std::string_view kIndex = " 1:N:0:GATCAGAT+ATCTGACT";
        const std::uint64_t tile = i / 1000000, place = i % 1000000;
        std::memcpy(p, kRun.data(), kRun.size());
        p += kRun.size();
        p = std::to_chars(p, p + 24, 1 + tile / 624 % 4).ptr;
        *p++ = ':';
        p = std::to_chars(p, p + 24, 1101 + tile % 624 / 78 * 100 + tile % 78).ptr;
        *p++ = ':';
        p = std::to_chars(p, p + 24, 1000 + place % 1000 * 31).ptr;
        *p++ = ':';
        p = std::to_chars(p, p + 24, 1000 + place / 1000 * 29).ptr;
        std::memcpy(p, kIndex.data(), kIndex.size());
        return p + kIndex.size();
    }

    // "+" line and a quality line binned to four values as recent sequencers
    // write them: mostly 'F' (37), some ':' (25) and ',' (11), '#' at N.
    // Qualities come from their own generator so the reads match FASTA mode.
    char* write_quality(char* p, std::string_view seq) {
        static constexpr char kScores[] = "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF::::::::::,,,,";
        *p++ = '+';
        *p++ = '\n';
        std::uint64_t bits = 0;
        int left = 0;
        for (char base : seq) {
            if (left == 0) {
                bits = quality_rng_.next();
                left = 10;
            }
            *p++ = base == 'N' ? '#' : kScores[bits & 63];
            bits >>= 6;
            --left;
        }
        // Low-quality barcode bases, counted on the forward strand and mirrored with the read.
        for (std::size_t at : low_bases_) {
            if (at < seq.size()) p[-1 - static_cast<std::ptrdiff_t>(reverse_ ? at : seq.size() - 1 - at)] = '#';
        }
        *p++ = '\n';
        return p;
    }

    void make_true_barcodes() {
        const std::size_t k = o_.true_barcodes, l = o_.barcode_length;
        barcodes_.resize(k * l);
        // Every barcode drawn so far, so that the library's extra barcodes differ from them.
        std::unordered_set<std::string_view> seen;
        seen.reserve(k * 2);
        if (o_.spacing > 0) {
            make_crowded_barcodes();
            for (std::size_t b = 0; b < k; ++b) seen.insert(std::string_view(barcodes_.data() + b * l, l));
        } else {
            std::string stretch(o_.start_length, 'A');
            random_bases(shape_rng_, stretch.data(), stretch.size());
            for (std::size_t b = 0; b < k; ++b) {
                char* bc = barcodes_.data() + b * l;
                do {
                    random_bases(rng_, bc, l);
                    if (!o_.start_shape.empty() && shape_rng_.chance(o_.start_share)) shape_start(bc, stretch);
                } while (!seen.insert(std::string_view(bc, l)).second);
            }
        }
        std::vector<double> abundance(k);
        for (auto& a : abundance) a = std::exp(o_.sigma * rng_.normal());
        if (o_.between_share > 0.0) make_between_pairs(seen);
        // Absent entries keep their place in the library but draw no read.
        if (o_.absent_share > 0.0) {
            bool any_present = false;
            for (auto& a : abundance) {
                if (known_rng_.chance(o_.absent_share)) {
                    a = 0.0;
                } else {
                    any_present = true;
                }
            }
            if (!any_present) abundance[0] = 1.0;
        }
        alias_ = std::make_unique<AliasTable>(abundance);
        if (o_.unknown_share > 0.0) {
            // Barcodes in no entry, with abundances of their own.
            unknown_barcodes_.resize(std::max<std::size_t>(k / 10, 1) * l);
            std::vector<double> weights(unknown_barcodes_.size() / l);
            for (std::size_t u = 0; u < weights.size(); ++u) {
                char* bc = unknown_barcodes_.data() + u * l;
                do {
                    random_bases(known_rng_, bc, l);
                } while (!seen.insert(std::string_view(bc, l)).second);
                weights[u] = std::exp(o_.sigma * known_rng_.normal());
            }
            unknown_alias_ = std::make_unique<AliasTable>(weights);
        }
        if (o_.pcr_duplicates > 0.0) last_.resize(k);
    }

    // Every 50th true barcode becomes its neighbour with two bases changed:
    // a read with one of the two changes lies exactly between them.
    void make_between_pairs(std::unordered_set<std::string_view>& seen) {
        const std::size_t l = o_.barcode_length;
        if (l < 2) return;
        for (std::size_t b = 1; b < o_.true_barcodes; b += 50) {
            const char* first = barcodes_.data() + (b - 1) * l;
            char* second = barcodes_.data() + b * l;
            seen.erase(std::string_view(second, l));
            for (;;) {
                const std::size_t i = known_rng_.below(l);
                const std::size_t j = (i + 1 + known_rng_.below(l - 1)) % l;
                std::memcpy(second, first, l);
                second[i] = substitute(known_rng_, first[i]);
                second[j] = substitute(known_rng_, first[j]);
                if (seen.insert(std::string_view(second, l)).second) {
                    between_.push_back({b - 1, i, second[i]});
                    break;
                }
            }
        }
    }

    // True barcodes spacing apart, each after the first drawn from an earlier
    // one by that many substitutions: a library where true barcodes crowd each
    // other as closely as the spacing allows. Barcodes are kept two bits a base
    // to compare them against all others quickly.
    void make_crowded_barcodes() {
        const std::size_t k = o_.true_barcodes, l = o_.barcode_length, s = o_.spacing;
        if (l > 32 || s > l) die("--spacing needs barcodes of at most 32 bases and a spacing up to their length");
        std::vector<std::uint64_t> packed;
        packed.reserve(k);
        const auto pack = [&](const char* bc) {
            std::uint64_t word = 0;
            for (std::size_t i = 0; i < l; ++i) word = word << 2 | static_cast<std::uint64_t>(std::string_view("ACGT").find(bc[i]));
            return word;
        };
        const auto far_enough = [&](std::uint64_t word) {
            for (const std::uint64_t other : packed) {
                std::uint64_t diff = word ^ other;
                diff = (diff | diff >> 1) & 0x5555555555555555ull;
                if (static_cast<std::size_t>(__builtin_popcountll(diff)) < s) return false;
            }
            return true;
        };
        random_bases(rng_, barcodes_.data(), l);
        packed.push_back(pack(barcodes_.data()));
        for (std::size_t b = 1; b < k; ++b) {
            char* bc = barcodes_.data() + b * l;
            for (std::size_t tries = 0;; ++tries) {
                if (tries == 100000) die("--spacing: no room for that many true barcodes");
                std::memcpy(bc, barcodes_.data() + rng_.below(b) * l, l);
                std::vector<std::size_t> positions(l);
                for (std::size_t i = 0; i < l; ++i) positions[i] = i;
                for (std::size_t i = 0; i < s; ++i) {
                    std::swap(positions[i], positions[i + rng_.below(l - i)]);
                    bc[positions[i]] = substitute(rng_, bc[positions[i]]);
                }
                if (far_enough(pack(bc))) break;
            }
            packed.push_back(pack(bc));
        }
    }

    // Gives the barcode its low-diversity stretch: at its start, or, rotated,
    // at its end, the bases before the stretch moving up front.
    void shape_start(char* bc, const std::string& stretch) const {
        const std::size_t n = stretch.size(), l = o_.barcode_length;
        if (o_.start_shape == "constant") {
            std::memcpy(bc, stretch.data(), n);
        } else {
            for (std::size_t i = 0; i < n; ++i) bc[i] = bc[i] == 'A' || bc[i] == 'G' ? 'G' : 'T';
        }
        if (o_.start_at_end) std::rotate(bc, bc + n, bc + l);
    }

    // Apply errors to read_ (whose barcode region is already filled) and
    // return the resulting sequence.
    std::string_view finish_read(bool barcode_errors = true) {
        char* r = read_.data();
        const Layout& L = layout_;
        std::size_t len = L.length();
        // Barcode substitutions.
        if (barcode_errors) subst_.for_each(rng_, L.bl, [&](std::size_t i) {
            char& c = r[L.bc_begin() + i];
            c = substitute(rng_, c);
        });
        // Flank mismatches; the two flanks are one index space of lf + rf.
        // Damaged flank positions are recorded so restore_flanks() can repair
        // them before the next fresh read (read_ keeps the flanks between reads).
        flank_.for_each(rng_, L.lf + L.rf, [&](std::size_t i) {
            const std::size_t pos = i < L.lf ? i : L.rf_begin() + (i - L.lf);
            flank_hits_.push_back(pos);
            r[pos] = substitute(rng_, r[pos]);
        });
        // Random tail.
        random_bases(rng_, r + L.tail_begin(), L.tail);
        // N calls anywhere.
        nrate_.for_each(rng_, len, [&](std::size_t i) {
            if (i < L.lf || (i >= L.rf_begin() && i < L.tail_begin())) flank_hits_.push_back(i);
            r[i] = 'N';
        });
        // Truncation to a uniformly random shorter length (at least 1 base).
        if (len > 1 && o_.truncation_rate > 0.0 && rng_.chance(o_.truncation_rate))
            len = 1 + rng_.below(len - 1);
        return std::string_view(r, len);
    }

    // Each true barcode's molecules, as many as its abundance says around the
    // mean, each with a random UMI and a log-normal share of the reads.
    void make_molecules() {
        const std::size_t k = o_.true_barcodes, u = o_.umi_length;
        Rng rng(o_.seed ^ 0x4d4f4c4543554c45ULL);
        std::vector<double> abundance(k);
        double total = 0.0;
        for (auto& a : abundance) total += a = std::exp(o_.sigma * rng.normal());
        std::vector<double> weights;
        for (std::size_t b = 0; b < k; ++b) {
            const double wanted = o_.molecules * abundance[b] * static_cast<double>(k) / total;
            const auto count = static_cast<std::size_t>(std::max(1.0, std::floor(wanted + rng.uniform())));
            for (std::size_t m = 0; m < count; ++m) {
                molecule_barcode_.push_back(static_cast<std::uint32_t>(b));
                umis_.resize(umis_.size() + u);
                random_bases(rng, umis_.data() + umis_.size() - u, u);
                weights.push_back(std::exp(o_.amplification_sigma * rng.normal()));
            }
        }
        molecule_reads_.assign(weights.size(), 0);
        molecule_alias_ = std::make_unique<AliasTable>(weights);
    }

    // A read of a molecule: its UMI (now and then with one substitution), then the barcode's read.
    std::string_view molecule_read() {
        const std::uint32_t m = molecule_alias_->sample(rng_);
        origin_ = molecule_barcode_[m];
        restore_flanks();
        std::memcpy(read_.data() + layout_.bc_begin(),
                    barcodes_.data() + static_cast<std::size_t>(molecule_barcode_[m]) * layout_.bl, layout_.bl);
        umi_read_.assign(umis_.data() + static_cast<std::size_t>(m) * o_.umi_length, o_.umi_length);
        if (rng_.chance(o_.umi_error_rate)) {
            char& c = umi_read_[rng_.below(o_.umi_length)];
            c = substitute(rng_, c);
        }
        const std::string_view rest = finish_read();
        umi_read_.append(rest);
        // The truth counts the reads that the template takes: whole flanks, no N up to the template's end.
        const Layout& L = layout_;
        bool matches = rest.size() >= L.tail_begin() && rest.substr(0, L.tail_begin()).find('N') == std::string_view::npos &&
                       rest.substr(0, L.lf) == o_.left_flank && rest.substr(L.rf_begin(), L.rf) == o_.right_flank;
        molecule_reads_[m] += matches ? 1 : 0;
        return umi_read_;
    }

    void restore_flanks() {
        for (std::size_t pos : flank_hits_) {
            read_[pos] = pos < layout_.lf ? o_.left_flank[pos]
                                          : o_.right_flank[pos - layout_.rf_begin()];
        }
        flank_hits_.clear();
    }

    std::string_view unique_read() {
        restore_flanks();
        random_bases(rng_, read_.data() + layout_.bc_begin(), layout_.bl);
        return finish_read();
    }

    std::string_view pooled_read() {
        if (o_.unknown_share > 0.0 && known_rng_.chance(o_.unknown_share)) {
            source_ = kUnknownSource;
            restore_flanks();
            const std::size_t u = unknown_alias_->sample(known_rng_);
            std::memcpy(read_.data() + layout_.bc_begin(), unknown_barcodes_.data() + u * layout_.bl, layout_.bl);
            return finish_read();
        }
        if (!between_.empty() && known_rng_.chance(o_.between_share)) {
            source_ = kBetweenSource;
            restore_flanks();
            const Between& pair = between_[known_rng_.below(between_.size())];
            char* bc = read_.data() + layout_.bc_begin();
            std::memcpy(bc, barcodes_.data() + pair.first * layout_.bl, layout_.bl);
            bc[pair.position] = pair.base;
            return finish_read(false);
        }
        const std::uint32_t b = alias_->sample(rng_);
        source_ = b;
        origin_ = b;
        if (!last_.empty()) {
            std::string& prev = last_[b];
            if (!prev.empty() && rng_.chance(o_.pcr_duplicates)) return prev;
        }
        restore_flanks();
        std::memcpy(read_.data() + layout_.bc_begin(),
                    barcodes_.data() + static_cast<std::size_t>(b) * layout_.bl, layout_.bl);
        const std::string_view seq = finish_read();
        if (!last_.empty()) {
            last_[b].assign(seq.data(), seq.size());
            return last_[b];
        }
        return seq;
    }

    // The read from a random base before its tail on all G, into poly_g_.
    std::string_view turn_to_g(std::string_view seq) {
        poly_g_.assign(seq);
        const std::size_t from = shape_rng_.below(layout_.tail_begin());
        if (from < poly_g_.size()) std::fill(poly_g_.begin() + static_cast<std::ptrdiff_t>(from), poly_g_.end(), 'G');
        return poly_g_;
    }

    // A read's source: a true barcode's index, or one of these.
    static constexpr std::uint64_t kUnknownSource = ~std::uint64_t{0};
    static constexpr std::uint64_t kBetweenSource = kUnknownSource - 1;
    struct Between {
        std::size_t first;     // the pair's first barcode; the second follows it
        std::size_t position;  // one of the two positions where they differ
        char base;             // the second barcode's base there
    };

    const Options& o_;
    Rng rng_;
    Rng shape_rng_{o_.seed ^ 0x5348415045535452ULL};
    std::string poly_g_;
    Rng known_rng_{o_.seed ^ 0x4b4e4f574e4c4942ULL};
    std::uint64_t source_ = 0;
    std::vector<Between> between_;
    std::vector<char> unknown_barcodes_;
    std::unique_ptr<AliasTable> unknown_alias_;
    Rng quality_rng_{o_.seed ^ 0x5155414c49545953ULL};
    Rng place_rng_{o_.seed ^ 0x504c414345424353ULL};
    std::size_t shift_ = 0;
    std::uint32_t origin_ = 0;  // the true barcode of the last pooled read
    bool reverse_ = false;
    bool placement_drawn_ = false;
    std::vector<std::size_t> low_bases_;  // forward-strand positions, stagger included
    std::string placed_;
    Layout layout_;
    EventSampler subst_, nrate_, flank_;
    std::vector<char> read_;
    std::vector<std::size_t> flank_hits_;
    std::vector<char> barcodes_;  // true barcodes, concatenated
    std::unique_ptr<AliasTable> alias_;
    std::vector<std::string> last_;  // previous read per true barcode
    std::vector<std::uint32_t> molecule_barcode_;  // per molecule: its true barcode
    std::vector<char> umis_;                       // per molecule: its UMI, concatenated
    std::vector<std::uint64_t> molecule_reads_;    // per molecule: reads drawn so far
    std::unique_ptr<AliasTable> molecule_alias_;
    std::string umi_read_;
};

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse_options(argc, argv);

    if (o.print_template) {
        std::string t = std::string(o.umi_length, 'N') + o.left_flank + std::string(o.barcode_length, 'N') + o.right_flank;
        std::printf("%s\n", t.c_str());
        return 0;
    }

    // A file named by an option, or null when the option was not given; exits when it cannot be created.
    const auto create = [](const std::string& path) -> std::FILE* {
        if (path.empty()) return nullptr;
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) {
            std::perror(("generate_reads: cannot open " + path).c_str());
            std::exit(1);
        }
        return file;
    };
    std::FILE* out = !o.output.empty() && o.output != "-" ? create(o.output) : stdout;
    std::FILE* origins = create(o.origins);
    std::FILE* truth = create(o.truth);
    std::FILE* sources = create(o.sources);
    {
        Writer w(out);
        Generator g(o);
        if (std::FILE* library = create(o.library)) {
            g.write_library(library);
            if (std::fclose(library) != 0) {
                std::perror("generate_reads: write failed");
                return 1;
            }
        }
        g.run(w, truth, origins, sources);
        if (std::FILE* molecules = create(o.molecule_truth)) {
            g.write_molecule_truth(molecules);
            if (std::fclose(molecules) != 0) {
                std::perror("generate_reads: write failed");
                return 1;
            }
        }
    }
    for (std::FILE* side : {origins, truth, sources}) {
        if (side != nullptr && std::fclose(side) != 0) {
            std::perror("generate_reads: write failed");
            return 1;
        }
    }
    if (std::fflush(out) != 0 || (out != stdout && std::fclose(out) != 0)) {
        std::perror("generate_reads: write failed");
        return 1;
    }
    return 0;
}
