#include "output/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "base/messages.h"
#include "base/run_state.h"

// Opening such an output would empty the input before it is read.
bool output_is_input(const char* input_path, const char* output_path) {
  struct stat input_status;
  struct stat output_status;
  const int input_found =
      strcmp(input_path, "-") == 0 ? fstat(STDIN_FILENO, &input_status) : stat(input_path, &input_status);
  if (input_found != 0 || stat(output_path, &output_status) != 0) return false;
  return S_ISREG(input_status.st_mode) && input_status.st_dev == output_status.st_dev &&
         input_status.st_ino == output_status.st_ino;
}

bool output_is_standard_output(const char* output_path) {
  struct stat output_status;
  struct stat standard_output;
  if (stat(output_path, &output_status) != 0 || fstat(STDOUT_FILENO, &standard_output) != 0) return false;
  const bool shares_bytes =
      S_ISREG(output_status.st_mode) || S_ISFIFO(output_status.st_mode) || S_ISSOCK(output_status.st_mode);
  return shares_bytes && output_status.st_dev == standard_output.st_dev &&
         output_status.st_ino == standard_output.st_ino;
}

void close_output(FILE** file, const char* path) {
  FILE* stream = *file;
  *file = nullptr;
  const bool written = fflush(stream) == 0 && !ferror(stream);
  if (fclose(stream) != 0 || !written) fail(kExitFailure, "Can't write output file \"%s\"\n", path);
}

namespace {

// A closed standard stream would hand its number to the report file, and its
// lines would land in the report. Each one gets /dev/null opened for reading
// only, so that writing to it still fails as it would have.
void occupy_closed_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDONLY) != fd) return;
  }
}

}  // namespace

void create_output_file() {
  RunState& s = run_state;
  occupy_closed_standard_streams();
  // Every output is checked before any is created, so a refused one leaves every file as it was.
  for (const char* path : {s.output_path, s.assignments_path, s.cluster_table_path, s.stats_path, s.page_path}) {
    if (path != nullptr && output_is_standard_output(path)) {
      fail(kExitFailure, "Output file \"%s\" is standard output\n", path);
    }
  }
  if (output_is_input(s.input_path, s.output_path)) {
    fail(kExitFailure, "Output file \"%s\" is the input file\n", s.output_path);
  }
  s.output_file = create_file(s.output_path);
}

FILE* create_file(const char* path) {
  FILE* file = fopen(path, "wb");
  if (file == nullptr && errno == ENOMEM) fail_out_of_memory();
  if (file == nullptr) fail(kExitFailure, "Can't create output file \"%s\"\n", path);
  return file;
}
