// The "Samples" section of the --page file (--experiment only): each sample's
// reads and what became of them as one stacked bar, the clusters each sample
// reaches, and how far the samples share clusters, as a heat map. Takes and
// gives back the grouping of output/sample_reads.h; sets nothing.
#pragma once

#include <cstdio>

// Writes the section; without --experiment, nothing. Needs the numbering.
void write_samples_section(FILE* file);
