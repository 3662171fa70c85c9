// Runs a program, and everything it starts, under a deadline: the child leads a process
// group of its own, its standard output and error go to one file, and at the deadline or
// its end the whole group is killed, so no descendant outlives the test or hangs it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Names to set (a value) or to remove (nullopt) in the child's environment.
using EnvChanges = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct DeadlineRun {
  int status = -1;        // exit status; -1 after a signal or the deadline
  bool timedOut = false;
  std::string output;     // standard output and error as written
};

struct DeadlineOptions {
  int seconds = 20;
  // Runs in the child after the environment changes, before the exec (false: the child
  // ends with status 125).
  std::function<bool()> prepare;
  // Runs in the test with the exit status (-1 after a signal) once the program has ended
  // and before its group is killed, for waiting on a descendant meant to outlive it
  // (bounded by the caller).
  std::function<void(int status)> afterExit;
};

// argv is the whole vector, argv[0] included. A run past the deadline is reported by
// timedOut (the caller decides whether that fails).
DeadlineRun runWithDeadline(const std::string& program, const std::vector<std::string>& argv,
                            const EnvChanges& env, const DeadlineOptions& options = {});
