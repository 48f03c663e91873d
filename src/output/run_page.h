// The --page file: one self-contained HTML document (inline CSS and SVG, no
// script, nothing fetched) that summarises the run in seven sections: the
// run, the read funnel, cluster sizes, rank and abundance, joins per
// distance pass, base composition per barcode position, the largest
// clusters. Only the time and memory figures differ between two runs on the
// same input; every plot is binned, so the page stays small for any input.
#pragma once

#include <cstdio>

// Writes the document to file. Needs number_clusters; takes and gives back
// the page figures' working memory.
void write_page(FILE* file);
