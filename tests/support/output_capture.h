// Captures what the process writes to standard output and standard error (file
// descriptors 1 and 2, C streams flushed at both ends) between start and stop.
#pragma once

#include <string>

class OutputCapture {
 public:
  OutputCapture() = default;
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;
  ~OutputCapture() { stop(); }

  void start();
  void stop();  // restores the streams; out() and err() then hold the texts

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  int savedOut_ = -1, savedErr_ = -1;
  int fileOut_ = -1, fileErr_ = -1;
  std::string out_, err_;
};
