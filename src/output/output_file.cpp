#include "output/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "base/messages.h"
#include "base/run_state.h"
#include "input/experiment.h"

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

void refuse_output_that_is_input(const char* output_path) {
  const RunState& s = run_state;
  if (s.experiment == nullptr) {
    if (output_is_input(s.input_path, output_path))
      fail(kExitFailure, "Output file \"%s\" is the input file\n", output_path);
    return;
  }
  for (const Sample& sample : s.experiment->samples) {
    if (output_is_input(sample.path.c_str(), output_path)) {
      fail(kExitFailure, "Output file \"%s\" is the input file of sample \"%s\"\n", output_path, sample.name.c_str());
    }
  }
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

namespace {

// A run opens the report and four tables; room for the outputs to come.
constexpr int kMaxOutputs = 16;
constexpr size_t kPathBytes = 4096;
// Links followed from an output path before it is refused, as the system does.
constexpr int kMaxLinkHops = 40;
// Bytes of the target's name kept in the new file's name, so that it stays within a name's 255 bytes.
constexpr size_t kKeptNameBytes = 200;

// An output written to a new file beside its target.
struct NewOutput {
  const char* path;          // as given to open_output; the key of keep_output
  char target[kPathBytes];   // the file it replaces, links followed
  char staged[kPathBytes];   // the new file, in the target's directory
  std::atomic<int> pending;  // 1 while the new file exists and has not replaced the target
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the pending flags");

NewOutput new_outputs[kMaxOutputs];
std::atomic<int> new_output_count{0};  // entries filled in before they are counted
std::atomic<int> keeping{0};           // 1 once the run succeeded and the new files are being renamed

// Follows symbolic links from path to the name of the file they end in, which
// may not exist yet; false for a loop or a name too long.
bool follow_links(const char* path, char* target) {
  const size_t length = strlen(path);
  if (length >= kPathBytes) return false;
  memcpy(target, path, length + 1);
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat status;
    if (lstat(target, &status) != 0 || !S_ISLNK(status.st_mode)) return true;
    char link[kPathBytes];
    const ssize_t link_length = readlink(target, link, sizeof link - 1);
    if (link_length < 0) return false;
    link[link_length] = '\0';
    // A relative link is read from the directory the link is in.
    const char* slash = strrchr(target, '/');
    const size_t directory_length = link[0] == '/' || slash == nullptr ? 0 : static_cast<size_t>(slash - target) + 1;
    if (directory_length + static_cast<size_t>(link_length) >= kPathBytes) return false;
    memcpy(target + directory_length, link, static_cast<size_t>(link_length) + 1);
  }
  return false;
}

// The bytes of path up to and including its last '/' (0 when it has none).
size_t directory_length(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash == nullptr ? 0 : static_cast<size_t>(slash - path) + 1;
}

// A stream the C library had no memory for ends the run as any allocation does.
[[noreturn]] void refuse_output(const char* path) {
  if (errno == ENOMEM) fail_out_of_memory();
  fail(kExitFailure, "Can't create output file \"%s\"\n", path);
}

void remove_new_files_and_exit(int signal_number) {
  // Once the run succeeded the targets are being replaced; it ends by itself in a moment.
  if (keeping.load()) return;
  discard_outputs();
  _exit(128 + signal_number);
}

// Signals a parent set to be ignored stay ignored.
void set_signal_handlers() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) {
    struct sigaction current;
    if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
    struct sigaction handler = {};
    handler.sa_handler = remove_new_files_and_exit;
    sigfillset(&handler.sa_mask);
    sigaction(signal_number, &handler, nullptr);
  }
}

// Creates the new file of entry beside its target, trying a few names in case
// one is taken; -1 when the directory refuses it.
int create_staged_file(NewOutput& entry, int index) {
  const size_t directory = directory_length(entry.target);
  const char* name = entry.target + directory;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char staged[kPathBytes];
    const int written = snprintf(staged, kPathBytes, "%.*s.%.*s.tarnwell-%ld-%d", static_cast<int>(directory),
                                 entry.target, static_cast<int>(kKeptNameBytes), name, static_cast<long>(getpid()),
                                 index * 100 + attempt);
    if (written < 0 || static_cast<size_t>(written) >= kPathBytes) return -1;
    memcpy(entry.staged, staged, static_cast<size_t>(written) + 1);
    const int fd = open(entry.staged, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

FILE* open_output(const char* path) {
  static bool handlers_set = false;
  if (!handlers_set) {
    set_signal_handlers();
    handlers_set = true;
  }
  const int index = new_output_count.load();
  if (index == kMaxOutputs) fail(kExitFailure, "Can't create output file \"%s\"\n", path);
  NewOutput& entry = new_outputs[index];
  struct stat status;
  const bool followed = follow_links(path, entry.target);
  const bool exists = followed && stat(entry.target, &status) == 0;
  // Devices, FIFOs and the names the system refuses (a loop, no name) are opened as they always were.
  if (!followed || entry.target[directory_length(entry.target)] == '\0' || (exists && !S_ISREG(status.st_mode))) {
    FILE* file = fopen(path, "wb");
    if (file == nullptr) refuse_output(path);
    return file;
  }
  if (exists) {
    // A target the run could not have written is refused, as its creation was.
    const int fd = open(entry.target, O_WRONLY | O_CLOEXEC);
    if (fd < 0) refuse_output(path);
    close(fd);
  }
  const int fd = create_staged_file(entry, index);
  if (fd < 0) {
    // A directory that takes no new file may still hold a target the run can write in place.
    FILE* file = exists ? fopen(path, "wb") : nullptr;
    if (file == nullptr) refuse_output(path);
    return file;
  }
  entry.path = path;
  entry.pending.store(1);
  new_output_count.store(index + 1);
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) refuse_output(path);
  return file;
}

void keep_output(const char* path) {
  const int count = new_output_count.load();
  for (int i = 0; i < count; ++i) {
    NewOutput& entry = new_outputs[i];
    if (entry.path != path || entry.pending.load() == 0) continue;
    if (rename(entry.staged, entry.target) != 0) fail(kExitFailure, "Can't write output file \"%s\"\n", path);
    entry.pending.store(0);
  }
}

void keep_outputs() {
  keeping.store(1);
  const int count = new_output_count.load();
  for (int i = 0; i < count; ++i) keep_output(new_outputs[i].path);
}

void discard_outputs() {
  const int count = new_output_count.load();
  for (int i = 0; i < count; ++i) {
    if (new_outputs[i].pending.exchange(0) != 0) unlink(new_outputs[i].staged);
  }
}

bool same_output_target(const char* a, const char* b) {
  char a_target[kPathBytes];
  char b_target[kPathBytes];
  if (!follow_links(a, a_target) || !follow_links(b, b_target)) return false;
  struct stat a_status;
  struct stat b_status;
  const bool a_exists = stat(a_target, &a_status) == 0;
  const bool b_exists = stat(b_target, &b_status) == 0;
  if (a_exists || b_exists) {
    return a_exists && b_exists && S_ISREG(a_status.st_mode) && a_status.st_dev == b_status.st_dev &&
           a_status.st_ino == b_status.st_ino;
  }
  // Neither exists yet: one name in one directory, however the directory was written.
  const size_t a_directory = directory_length(a_target);
  const size_t b_directory = directory_length(b_target);
  if (strcmp(a_target + a_directory, b_target + b_directory) != 0) return false;
  a_target[a_directory] = '\0';
  b_target[b_directory] = '\0';
  return stat(a_directory == 0 ? "." : a_target, &a_status) == 0 &&
         stat(b_directory == 0 ? "." : b_target, &b_status) == 0 && a_status.st_dev == b_status.st_dev &&
         a_status.st_ino == b_status.st_ino;
}

void create_output_file() {
  RunState& s = run_state;
  occupy_closed_standard_streams();
  // Every output is checked before any is created, so a refused one leaves every file as it was.
  for (const char* path : {s.output_path, s.assignments_path, s.cluster_table_path, s.stats_path, s.page_path}) {
    if (path != nullptr && output_is_standard_output(path)) {
      fail(kExitFailure, "Output file \"%s\" is standard output\n", path);
    }
  }
  refuse_output_that_is_input(s.output_path);
  s.output_file = open_output(s.output_path);
}
