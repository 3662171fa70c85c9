// Runs a piece of test code in a forked child, so process-wide state (the log file, the
// time of the last log line, the current folder) starts fresh and dies with the child.
#pragma once

#include <functional>
#include <string>

struct ChildResult {
  int status;          // exit status, or -1 when the child did not exit normally
  std::string output;  // everything the child wrote to standard output
};

// The child ends with endProcess(0) after body returns, or with the status body ends with.
ChildResult runInChild(const std::function<void()>& body);
