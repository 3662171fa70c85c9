// Runs a program (the built launcher, as a rule) as a child with a chosen argument vector
// and current folder, and collects what it writes to standard output and standard error.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct ProgramResult {
  int status;          // exit status; 128 + signal number when a signal ended it
  std::string output;  // standard output and standard error, interleaved as written
};

struct ProgramOptions {
  std::string cwd;                // empty: the test's current folder
  bool stdoutReaderGone = false;  // standard output is a pipe nobody reads any more
};

// argv is the whole vector, argv[0] included; it may be empty.
ProgramResult runProgram(const std::string& path, const std::vector<std::string>& argv,
                         const ProgramOptions& options = {});
