#include "e2e/cli_harness.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "tarnwell-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDir::write(const std::string& name, const std::string& bytes) const {
  std::ofstream stream(file(name), std::ios::binary);
  stream << bytes;
}

std::string ScratchDir::read(const std::string& name, bool* exists) const { return read_file(file(name), exists); }

std::string read_file(const std::string& path, bool* exists) {
  std::ifstream stream(path, std::ios::binary);
  if (exists != nullptr) *exists = stream.good();
  std::ostringstream bytes;
  bytes << stream.rdbuf();
  return bytes.str();
}

namespace {

CliResult run_command(const ScratchDir& dir, std::vector<std::string> command, const std::string& stdin_path) {
  ScratchDir capture;
  const std::string out_path = capture.file("stdout");
  const std::string err_path = capture.file("stderr");

  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open(stdin_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.path().c_str()) != 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    for (std::string& word : command) argv.push_back(word.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  CliResult result;
  result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace

CliResult run_binary(const std::string& binary, const ScratchDir& dir, const std::vector<std::string>& args) {
  std::vector<std::string> command{binary};
  command.insert(command.end(), args.begin(), args.end());
  return run_command(dir, command, "/dev/null");
}

CliResult run_tarnwell(const ScratchDir& dir, const std::vector<std::string>& args, const std::string& stdin_path,
                       const std::vector<std::string>& wrapper) {
  std::vector<std::string> command = wrapper;
  command.push_back(TARNWELL_BINARY);
  command.insert(command.end(), args.begin(), args.end());
  return run_command(dir, command, stdin_path);
}
