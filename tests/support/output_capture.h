// Runs code with standard output (where every log line goes) captured into a string,
// either in this process or in a forked child that ends with the code's result as its
// exit status, for code that ends the process or changes process-wide state.
// OutputCapture captures file descriptors 1 and 2 (C streams flushed at both ends)
// between start and stop.
#pragma once

#include <functional>
#include <string>

// Runs body with file descriptor 1 sent to a temporary file; returns what was written.
std::string captureStdout(const std::function<void()>& body);

struct ChildRun {
  int exitStatus = -1;  // the child's exit status; -1 when a signal ended it
  int signal = 0;       // the signal that ended it, else 0
  bool timedOut = false;  // killed (SIGKILL) after the deadline
  std::string output;   // its standard output
};
// Forks; the child runs body and ends with endProcess(body's result), so static
// destructors and test frameworks never run twice. A child still running after
// timeoutSeconds is killed (timedOut set), so a hang fails the test instead of stalling it.
ChildRun runInChild(const std::function<int()>& body, int timeoutSeconds = 120);

class OutputCapture {
 public:
  OutputCapture() = default;
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  ~OutputCapture() { stop(); }

  void start();
  void stop();  // restores the streams; out() and err() then hold the texts

  const std::string& out() const { return out_; }
  // What has reached standard output so far, while capturing (C streams not flushed).
  std::string outSoFar() const;
  const std::string& err() const { return err_; }

 private:
  int savedOut_ = -1, savedErr_ = -1;
  int fileOut_ = -1, fileErr_ = -1;
  std::string out_, err_;
};
