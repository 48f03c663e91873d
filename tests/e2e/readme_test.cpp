// The README's commands on the files of examples/: every shell block of the
// quick starts and of the worked examples of samples and known barcodes runs
// with status 0, in order, from the top of a scratch tree that holds
// examples/ and build/tarnwell; every line "$ command" of a shown session
// prints exactly the lines shown after it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e/cli_harness.h"

namespace {

const std::string kExamples = TARNWELL_EXAMPLES_DIR;

// The lines from the heading line `heading` to the next heading of its level or above, outside code blocks.
std::string section(const std::string& readme, const std::string& heading) {
  const size_t level = heading.find(' ');
  std::string text;
  bool inside = false;
  bool in_code = false;
  for (size_t at = 0; at < readme.size();) {
    const size_t end = std::min(readme.find('\n', at), readme.size());
    const std::string line = readme.substr(at, end - at);
    at = end + 1;
    if (line.rfind("```", 0) == 0) in_code = !in_code;
    if (!in_code && line.rfind("#", 0) == 0) {
      const size_t hashes = line.find_first_not_of('#');
      if (inside && hashes <= level) break;
      if (line == heading) inside = true;
    }
    if (inside) text += line + "\n";
  }
  return text;
}

// Runs a shell script in dir: its standard output and exit status.
std::string run_shell(const ScratchDir& dir, const std::string& script, int* status) {
  ScratchDir holder;
  holder.write("script.sh", script);
  FILE* pipe = popen(("cd '" + dir.path() + "' && sh -e '" + holder.file("script.sh") + "' 2>/dev/null").c_str(), "r");
  std::string output;
  for (int c; (c = fgetc(pipe)) != EOF;) output += static_cast<char>(c);
  const int raw = pclose(pipe);
  *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
  return output;
}

// Runs the fenced blocks of text in order: ```sh blocks as scripts, ``` blocks whose first line begins with "$ " as
// sessions; returns how many commands and sessions ran.
int run_blocks(const ScratchDir& dir, const std::string& text, const std::string& where) {
  int ran = 0;
  for (size_t at = text.find("```"); at != std::string::npos; at = text.find("```", at)) {
    const size_t body = text.find('\n', at) + 1;
    const std::string fence = text.substr(at + 3, body - at - 4);
    const size_t end = text.find("\n```", body - 1);
    if (end == std::string::npos) break;
    const std::string block = text.substr(body, end + 1 - body);
    at = end + 4;
    int status = 0;
    if (fence == "sh") {
      run_shell(dir, block, &status);
      EXPECT_EQ(status, 0) << where << ":\n" << block;
      ++ran;
    } else if (fence.empty() && block.rfind("$ ", 0) == 0) {
      // Each "$ command" line, then what it prints up to the next one.
      for (size_t line = 0; line < block.size();) {
        const size_t command_end = block.find('\n', line);
        size_t next = block.find("\n$ ", command_end);
        next = next == std::string::npos ? block.size() : next + 1;
        const std::string command = block.substr(line + 2, command_end - line - 2);
        EXPECT_EQ(run_shell(dir, command + "\n", &status), block.substr(command_end + 1, next - command_end - 1))
            << where << ": " << command;
        EXPECT_EQ(status, 0) << where << ": " << command;
        line = next;
        ++ran;
      }
    }
  }
  return ran;
}

TEST(Readme, CommandsRunOnTheExamples) {
  const std::string readme = read_file(kExamples + "/../README.md");
  ScratchDir dir;
  std::filesystem::create_directory_symlink(kExamples, dir.file("examples"));
  std::filesystem::create_directory(dir.file("build"));
  const std::vector<std::string> command = binary_command(TARNWELL_BINARY);
  if (command.size() == 1) {
    std::filesystem::create_symlink(TARNWELL_BINARY, dir.file("build/tarnwell"));
  } else {  // the shell cannot start a cross-built binary: a script starts it under the emulator
    std::string script = "#!/bin/sh\nexec";
    for (const std::string& word : command) script += " '" + word + "'";
    dir.write("build/tarnwell", script + " \"$@\"\n");
    std::filesystem::permissions(dir.file("build/tarnwell"), std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }
  for (const char* heading : {"## Quick starts", "### Known barcodes", "### Samples"}) {
    const std::string text = section(readme, heading);
    ASSERT_FALSE(text.empty()) << heading;
    EXPECT_GT(run_blocks(dir, text, heading), 0) << heading;
  }
}

}  // namespace
