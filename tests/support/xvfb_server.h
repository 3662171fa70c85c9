// A private Xvfb for tests: started on a free display number (":50" and up), ready
// when it reports its display through -displayfd, stopped by stop() or the destructor.
// Every wait is bounded; a server that cannot start leaves a reason for a skip.
#pragma once

#include <sys/types.h>

#include <string>

class XvfbServer {
 public:
  XvfbServer() = default;
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;
  ~XvfbServer() { stop(); }

  // Starts a 1024 x 768 screen of the given depth; false with why() set on failure.
  bool start(int depth);
  void stop();

  const std::string& display() const { return display_; }  // e.g. ":53"
  const std::string& why() const { return why_; }

 private:
  bool tryDisplay(int number, int depth);

  pid_t pid_ = -1;
  std::string display_;
  std::string why_;
};
