// The --stats file: one JSON object with the run's settings, the screening
// counts by cause, entries, clusters, the joins of every distance pass, the
// cluster-size histogram and the seconds of every phase. Only the timing
// fields differ between two runs on the same input.
#pragma once

#include <cstdio>

// Writes the object to file. Needs number_clusters.
void write_stats(FILE* file);
