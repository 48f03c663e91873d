// The optional tables of a run: --assignments (one row per record),
// --cluster-table (one row per cluster), --stats (a JSON summary) and --page
// (an HTML summary with plots). Their files are created with the report, so a
// failed run leaves them empty, and written after it. Sets assignments_file,
// cluster_table_file, stats_file and page_file.
#pragma once

// Refuses a table path that names the input file or the report, then
// creates or truncates every table file asked for; exits with 1 on failure.
void create_table_files();

// Writes the tables asked for from the clusters the report printed, closing
// each file, and releases the working memory. Exits with 1 when a write fails.
void write_tables();

// When no read matched the template: writes the stats and the page (the
// funnel, the screening causes, the bases where the template was laid) and
// keeps them; the report and the other tables stay as they were.
void write_summaries_without_matches();

// Part of the teardown: closes any table file still open and releases the
// working memory, each at most once.
void release_tables();
