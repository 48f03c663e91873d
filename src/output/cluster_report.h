// The cluster report: per cluster a header ">n" and one "name<TAB>sequence"
// line per member, written to output_file; then "n clusters" on standard
// output. Exits with 1 when either stream cannot take what is written.
#pragma once

#include "base/run_state.h"

// Writes the clusters of the forest in ascending order of their first node,
// members in ring order from there.
void write_clusters();

// Writes every bucket entry as a cluster of its own (distance 0 with -p).
void write_buckets_as_clusters();

// The same two reports, formatted on all workers into large buffers that the
// calling thread writes out in order.
void write_clusters_fast();
void write_buckets_as_clusters_fast();

// With --known: one cluster per entry of the library in line order, its
// reads in input order (with -p, the first read of each barcode), an entry
// without reads as its header alone.
void write_known_clusters();
void write_known_clusters_fast();

// Writes one member line for the record.
void print_record(const SequenceRecord* record);
