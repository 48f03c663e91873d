// Runs the built tarnwell binary in a scratch directory and captures the
// exact bytes of standard output, standard error, the exit status and the
// report file.
#pragma once

#include <string>
#include <vector>

// A scratch directory removed with everything in it when it goes out of scope.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  void write(const std::string& name, const std::string& bytes) const;
  // The file's bytes, or nullopt-like: *exists is false when it is missing.
  std::string read(const std::string& name, bool* exists = nullptr) const;

 private:
  std::string path_;
};

struct CliResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs the given binary with args in dir (its working directory), standard
// input from /dev/null.
CliResult run_binary(const std::string& binary, const ScratchDir& dir, const std::vector<std::string>& args);

// Runs tarnwell with args in dir (its working directory); standard input
// comes from stdin_path when given, else /dev/null.
CliResult run_tarnwell(const ScratchDir& dir, const std::vector<std::string>& args,
                       const std::string& stdin_path = "/dev/null", const std::vector<std::string>& wrapper = {});

// Reads a whole file; empty when missing.
std::string read_file(const std::string& path, bool* exists = nullptr);
