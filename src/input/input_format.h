// What kind of reads an input holds, told before the run creates any file:
// only --quality needs it that early, since FASTA carries no base qualities.
#pragma once

// With --quality, refuses an input that is plainly FASTA (a regular file,
// plain or gzip, whose first record begins with '>') with a message and
// status 1. Inputs that cannot be looked at twice (standard input, pipes)
// are left to refuse_quality_after_parse.
void refuse_quality_without_fastq(const char* path);

// The same check once the input is parsed, for the inputs the first one
// could not look at: the output files exist by then, empty.
void refuse_quality_after_parse();
