// The one process-wide state of a run: every phase reads what the earlier
// phases left here and adds its own results. All members start zero or null;
// each group names the phase that sets it.
#pragma once

#include <cstdint>
#include <cstdio>

struct MergeRatio;  // the abundance rule's settings and results: cluster/merge_ratio.h

// One FASTA record inside the input buffer, followed in the record table by
// its packed barcode words (see record_barcode).
struct SequenceRecord {
  char* name;      // at the record's '>' (accepted) or '#' (rejected) byte; parse, screening
  char* sequence;  // first byte of the sequence line, NUL-terminated in place; parse
};

// A record of the forest: one per bucket entry, linked into its cluster's ring.
struct ClusterNode {
  SequenceRecord* record;  // the record this node stands for; never changes
  ClusterNode* next;       // next node of the same cluster's ring
  int64_t cluster_id;      // smallest node index of the cluster
};
static_assert(sizeof(ClusterNode) == 24, "the node array is sized at 24 bytes a node");

// One row of the cluster table, gathered after the report.
struct ClusterTotals {
  uint64_t members;                      // member lines in the report
  uint64_t reads;                        // accepted reads mapped to it, -p duplicates included
  uint64_t barcodes;                     // distinct barcodes
  uint64_t representative_reads;         // reads of the most frequent barcode so far
  const SequenceRecord* representative;  // a record carrying that barcode
  uint64_t umis;                         // with --umi: distinct UMIs over its reads
  uint64_t molecules;                    // with --umi: molecules after the directional correction
};

constexpr uint32_t kBucketCount = 65536;           // one bucket per 8-base prefix
constexpr uint64_t kBucketTableBytes = 65536 * 8;  // each bucket table and bucket_start

// A block of the fast engine's working memory and the size it was counted with.
struct WorkBlock {
  void* data;      // null while the block is not held
  uint64_t bytes;  // the size handed to tracked_malloc
};

// The fast engine's working memory, one block per use. Every block is released
// by the phase that took it, or by the teardown when the run ends early.
enum WorkBlockId : int {
  kPackPlan,                // screening: the template laid out for checking reads 16 bytes at a time
  kBucketCountsByThread,    // sort: per-thread bucket counts while filling in parallel
  kBucketOffsets,           // sort: where each bucket's entries begin among all entries
  kFillOrder,               // sort: record indices grouped by their first four bases, while filling
  kEntryWords,              // sort: the first barcode word of every bucket entry, in bucket order
  kSortScratch,             // sort: per-thread (word, record) keys of one bucket
  kRepresentativeNode,      // passes: node index of each representative, then the node count
  kRepresentativeBarcodes,  // passes: the representatives' barcodes, back to back
  kRepresentativeParent,    // passes: union-find parent of each representative
  kSubpassRoot,             // passes: each representative's root when the subpass began
  kBucketRoots,             // passes: per bucket, the root its representatives share when the subpass began
  kRepresentativeBuckets,   // passes: first representative of each bucket, and the count
  kSuffixOrder,             // passes: representatives ordered by barcode suffix
  kSuffixPosition,          // passes: each representative's place in that order
  kSuffixGroupEnd,          // passes: per place, the end of its run of equal suffixes
  kLongSuffixRuns,          // passes: the keys of each long run of equal suffixes, to look partners up
  kPairSlots,               // passes: one candidate pair buffer per job slot
  kInlinePairs,             // passes: the calling thread's buffer for a job that overflowed
  kBlankedEntries,          // passes: per worker, all representatives twice, for the blanked-suffix search
  kSubpassPairs,            // passes: all candidate pairs of a subpass searched by blanked suffix
  kSearchBarcodes,          // passes: with the search keyed by other positions, the barcodes so rearranged
  kSearchOrigin,            // passes: the representative at each place of the search order
  kSearchBuckets,           // passes: first place of each search bucket, and the count
  kSearchLabels,            // passes: the cluster or label of each place of the search order, while a pass searches
  kPassPairs,               // passes: with the search keyed by other positions, the candidate pairs of a pass
  kReportSlots,             // report: one text buffer per job slot
  kLowQualityBases,         // parse to screening: per read, which bases near either end fall below --quality
  kSearchPlan,              // screening: the template and its reverse complement laid out for the barcode search
  kReadPlacements,          // screening to tables: per read, where its barcode was found, or why not
  kNumberingSlots,          // tables: per job slot, the distinct barcodes a worker found for the cluster rows
  kDuplicateSearch,         // tables: the kept entries' first words and cluster numbers, to number duplicates
  kClusterSizeCounts,       // tables: clusters per size in reads, for the stats and the page
  kPageCounts,              // sort: per worker, for the page, the accepted reads' barcode bytes at each byte place
  kClusterTally,            // report to page: the reads of every cluster in report order
  kTopClusterNodes,         // page: the node indices of the largest clusters, sorted
  kSampleData,              // loading: the samples' data gathered so far, while the next file is loaded
  kSampleClusterReads,      // tables: per cluster, where its reads' samples begin in kSampleOfRead
  kSampleOfRead,            // tables: the sample of every clustered read, grouped by cluster
  kKeptEntryReads,          // sort to page: with -p, the reads each kept entry stands for, in bucket order
  kUmiLayout,               // command line to the end: where --umi's bases lie among the walked bases
  kClusterUmiStart,         // tables: per cluster, where its reads' UMIs begin among kClusterUmis
  kClusterUmis,             // tables: the accepted reads' UMIs grouped by cluster, then its distinct UMIs
  kUmiReads,                // tables: the reads of each distinct UMI, at its place in kClusterUmis
  kUmiOrder,                // tables: per cluster, its distinct UMIs by descending reads
  kUmiQueue,                // tables: per cluster, its distinct UMIs as the molecules took them
  kUmiTaken,                // tables: per distinct UMI, whether a molecule has taken it
  kMoleculeReads,           // tables: the reads of each molecule, from its cluster's place in kClusterUmis
  kMoleculeTally,           // tables: molecules per count of reads below 65536
  kMoleculeSizes,           // tables to page: molecules per count of reads, ascending
  kUmiSteps,                // tables: per grouped UMI, the tenth of the reads its read falls in
  kUmiSample,               // tables: the UMIs of a subsample, at their cluster's place
  kMoleculeSaturation,      // tables to page: molecules found in each subsample
  kUmiSampleOf,             // tables: with --experiment, per grouped UMI, the sample of its read
  kSampleMolecules,         // tables: with --experiment, per sample's stretch of a cluster, its molecules' reads, then 0s
  kSampleMoleculeSizes,     // stats: with --experiment, the reads of every sample's molecules, grouped by sample
  kKnownLibraryLines,       // --known, reading the library: each entry's line and a sort order, to name repeats
  kKnownIndex,              // --known, assignment: the entries' exact table and segment tables
  kKnownIndexKeys,          // --known, assignment: (segment key, entry) pairs while a segment table is built
  kKnownGroupCursors,       // --known, grouping: where each group's next read goes
  kKnownReadCounts,         // --known, stats and page: the entries' reads, sorted for the Gini index
  kKnownGroupCopy,          // --known, after the assignment: per worker, a group sorted by barcode; and the unknown reads so
  kMergeReads,              // merge: the reads of each distinct barcode, by representative
  kMergeClassFloors,        // merge: the smallest read count of each class of counts too close to merge
  kMergeLabels,             // merge: each representative's class, which the pair search compares
  kMergeEdges,              // merge: (taker, taken) pairs the ratio allows, as the search hands them over
  kMergeEdgeStart,          // merge: per representative, where its barcodes to take begin among the targets
  kMergeTargets,            // merge: the barcodes each representative may take, grouped by taker
  kMergeOrder,              // merge: the representatives that may take another, in visiting order
  kMergeCluster,            // merge: the representative that started each one's cluster
  kMergeQueue,              // merge: the breadth-first queue of the cluster growing
  kMergeRingTails,          // merge: per cluster, the last node linked into its ring so far
  kWorkBlockCount,
};

// What the barcode search found, counted over all reads; see barcode_packing.h.
struct PlacementCounts {
  uint64_t at_start_forward;     // accepted at offset 0 on the read as given
  uint64_t shifted;              // accepted at an offset above 0, either strand
  uint64_t reverse_strand;       // accepted on the reverse complement
  uint64_t flank_mismatches[9];  // accepted with this many fixed letters differing (0 to 8)
  uint64_t low_quality;          // left out for a barcode base below --quality
};

struct RunState {
  // Command line (options)
  const char* input_path;     // -i, as typed
  const char* output_path;    // -o, as typed
  const char* distance_text;  // -d, as typed
  uint32_t distance;          // parsed -d, at most 3 once the command line is accepted
  const char* template_text;  // -t, as typed
  int remove_duplicates;      // -p
  int show_version;           // -v
  int show_help;              // -h
  const char* assignments_path;    // --assignments, or null
  const char* cluster_table_path;  // --cluster-table, or null
  const char* stats_path;          // --stats, or null
  const char* page_path;           // --page, or null
  uint32_t jobs;              // --jobs, or the cores the process may use; at least 1 once accepted
  uint32_t fixed_mismatches;  // --fixed-mismatches, 0 to 8
  uint32_t window;            // --window, 0 to 4096
  int both_strands;           // --both-strands
  uint32_t quality_floor;     // --quality, 0 to 93; meaningful when quality_given
  int quality_given;          // --quality was given
  int finding_barcode;        // any of the four above was given: the tables show the placements
  const char* umi_ranges;     // --umi, as typed, or null
  const char* known_path;     // --known, or null
  MergeRatio* merge_ratio;    // --merge-ratio, or null for single linkage

  // Driver
  FILE* output_file;         // the report stream, closed by release_all
  FILE* assignments_file;    // created with the report when asked for; tables
  FILE* cluster_table_file;  // likewise
  FILE* stats_file;          // likewise
  FILE* page_file;           // likewise

  // Tracked memory
  int64_t bytes_allocated;  // bytes held through the tracked operations

  // Input (loading and parse)
  char* input_buffer;          // the whole input and a closing NUL
  uint64_t input_size;         // bytes of input data, without the closing NUL
  uint64_t input_buffer_bytes; // size input_buffer was allocated with
  uint64_t record_count;       // records in the table (for FASTA, the lines that begin with '>')
  char* record_table;          // record_count records of record_size bytes
  int input_compressed;        // 1 when the input was gzip data; loading
  int input_is_fastq;          // 1 when the input was FASTQ, held compactly; loading
  uint64_t input_data_bytes;   // bytes of input data as read (inflated), before FASTQ is compacted; loading
  uint64_t fastq_records;      // FASTQ records the loading kept; loading
  uint64_t quality_row_bits;   // --quality: bits a strand in each read's row of kLowQualityBases, a multiple of 8; parse

  // Template
  uint32_t nucleotide_codes[256];  // A/a 1, C/c 2, G/g 3, T/t 4, else 0
  uint32_t template_length;        // bytes of template_text
  char* template_upper;            // template_length + 1 bytes, upper-cased, NUL-closed
  unsigned char* template_mask;    // template_length bytes, 1 at barcode positions
  uint32_t walk_length;            // barcode positions of the template: the bases each walk packs
  uint32_t barcode_length;         // bases per clustered barcode: walk_length less the UMI's, at least 1
  uint32_t barcode_words;          // 64-bit words per packed barcode
  uint64_t record_size;            // 16 + 8 * barcode_words; with --umi room for the walk and the UMI's word

  // Prefix buckets
  uint64_t* bucket_bytes;            // per bucket: entry array size in bytes, fixed at allocation
  uint64_t* bucket_counts;           // per bucket: entries (fill position while filling)
  SequenceRecord*** bucket_entries;  // per bucket: its entry array, or null when empty
  uint64_t entry_count;              // records that enter clustering

  // Cluster forest
  ClusterNode* nodes;          // entry_count nodes in bucket order
  ClusterNode** bucket_start;  // first node of each bucket

  // Tables (after the report; released when they are written)
  uint64_t* record_cluster;        // record_count: cluster number, duplicate flag; 0 when rejected
  uint64_t* entry_reads;           // entry_count with -p on the forest path: reads per node
  uint64_t cluster_count;          // clusters in the report
  ClusterTotals* cluster_totals;   // cluster_count rows, in report order

  // Fast engine working memory (see WorkBlockId)
  WorkBlock work_blocks[kWorkBlockCount];
  uint64_t representative_count;  // distinct barcodes in the forest; passes from distance 1 on

  // Samples (--experiment): the sheet and each sample's share of the input; see input/experiment.h
  const char* experiment_path;    // --experiment, or null
  struct Experiment* experiment;  // null without --experiment

  // Known barcodes (--known): the library, each read's assignment and the groups; see cluster/known_assignment.h
  struct KnownBarcodes* known;  // null without --known

  // Screening
  uint64_t screened[4];  // reads per PackResult, accepted first

  // Screening with the barcode search (finding_barcode)
  PlacementCounts placement_counts;
};

extern RunState run_state;

// The packed barcode words stored right behind a record in the record table.
inline uint64_t* record_barcode(SequenceRecord* record) { return reinterpret_cast<uint64_t*>(record + 1); }
inline const uint64_t* record_barcode(const SequenceRecord* record) {
  return reinterpret_cast<const uint64_t*>(record + 1);
}

// Record i of the record table.
inline SequenceRecord* record_at(uint64_t index) {
  return reinterpret_cast<SequenceRecord*>(run_state.record_table + index * run_state.record_size);
}
