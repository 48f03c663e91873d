#include "support/captured_streams.h"

#include <unistd.h>

CapturedStreams::CapturedStreams() : out_file_(tmpfile()), err_file_(tmpfile()) {
  fflush(stdout);
  fflush(stderr);
  saved_out_ = dup(1);
  saved_err_ = dup(2);
  dup2(fileno(out_file_), 1);
  dup2(fileno(err_file_), 2);
}

CapturedStreams::~CapturedStreams() {
  std::string ignored;
  finish(&ignored, &ignored);
  fclose(out_file_);
  fclose(err_file_);
}

void CapturedStreams::finish(std::string* out, std::string* err) {
  if (finished_) return;
  finished_ = true;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_out_, 1);
  dup2(saved_err_, 2);
  close(saved_out_);
  close(saved_err_);
  *out = read_stream(out_file_);
  *err = read_stream(err_file_);
}

std::string read_stream(FILE* stream) {
  fflush(stream);
  std::string bytes;
  char chunk[65536];
  rewind(stream);
  for (size_t got; (got = fread(chunk, 1, sizeof chunk, stream)) > 0;) bytes.append(chunk, got);
  return bytes;
}
