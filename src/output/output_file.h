// Every output file of a run (the report, the tables, the stats and the page)
// is opened here. A regular target is written to a new file beside it, which
// replaces it only when the run succeeds; a failed or interrupted run removes
// the new files and leaves every target as it was. Sets output_file.
#pragma once

#include <cstdio>

// Refuses an output path (report or table) that is standard output, and a
// report path that names the input file, then opens the report with
// open_output. A closed standard stream is first given /dev/null, so the
// report cannot take its place.
void create_output_file();

// Opens the stream the run writes path through, at the moment the output would
// be created, so that a missing directory or a refused permission is reported
// before anything is read; exits with 1 ("Can't create output file") when it
// cannot. A path that names nothing yet or a regular file (through any
// symbolic links, which keep pointing where they did) is written to a new file
// in the target's directory, created as an ordinary new file would be (0666
// less the umask); any other target (a device, a FIFO) is written directly.
// SIDE EFFECTS: the first call sets the handlers that remove the new files on
// SIGINT, SIGTERM, SIGHUP, SIGPIPE and SIGXFSZ and exit with 128 + the signal.
[[nodiscard]] FILE* open_output(const char* path);

// Renames the new file of the output opened for path (the same pointer) over
// its target; nothing for a target written directly. Exits with 1 ("Can't
// write output file") when the rename fails.
void keep_output(const char* path);

// keep_output for every output still new: the run succeeded.
void keep_outputs();

// Removes every new file not yet kept. Safe in a signal handler; the teardown
// calls it, so every failure that ends the run leaves the targets as they were.
void discard_outputs();

// True when two output paths end in the same file: the same regular file
// through any names, or the same name in the same directory for files that
// do not exist yet. Both outputs would then overwrite each other.
[[nodiscard]] bool same_output_target(const char* a, const char* b);

// True when the path names the same regular file as the input (standard
// input for "-"), through any link.
[[nodiscard]] bool output_is_input(const char* input_path, const char* output_path);

// Exits with 1 when the path names the input file, or the file of any sample.
void refuse_output_that_is_input(const char* output_path);

// True when the path names the open file standard output writes to (a
// regular file, pipe or socket): the count line would land in that output.
// Devices such as a terminal or /dev/null share no bytes and pass.
[[nodiscard]] bool output_is_standard_output(const char* output_path);

// Flushes and closes *file and nulls it; a write the file did not take, a
// late one that only the close reports included, ends the run with 1.
void close_output(FILE** file, const char* path);
