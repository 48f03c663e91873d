// Captures what the process writes to standard output and standard error
// while an object lives, by pointing both descriptors at temporary files.
#pragma once

#include <cstdio>
#include <string>

class CapturedStreams {
 public:
  CapturedStreams();
  ~CapturedStreams();
  CapturedStreams(const CapturedStreams&) = delete;
  CapturedStreams& operator=(const CapturedStreams&) = delete;

  // Restores both streams (once) and returns what each received.
  void finish(std::string* out, std::string* err);

 private:
  FILE* out_file_;
  FILE* err_file_;
  int saved_out_;
  int saved_err_;
  bool finished_ = false;
};

// Everything a file stream holds, read from its start.
std::string read_stream(FILE* stream);
