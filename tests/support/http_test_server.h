// A small HTTP/1.1 server for download tests. Listens on 127.0.0.1 only, on a port the
// system picks (bound to port 0, so parallel runs never collide), and answers every
// request on a thread of its own from the plan registered for its path, the query left
// out (404 for any other), then closes the connection. Every wait is bounded: a stuck
// client times out, a held or silent answer goes on by itself after a while (a silent
// one then closes without a byte), a pause ends when the server stops, and the server
// stops by itself after its lifetime or in its destructor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct HttpPlan {
  int status = 200;
  std::string body;
  bool sendLength = true;       // a Content-Length header; else the close ends the body
  std::string headers;          // further header lines, each ending in "\r\n"
  size_t closeAfter = SIZE_MAX; // close the connection after this many body bytes
  size_t holdAfter = SIZE_MAX;  // pause after this many body bytes until release()
  size_t chunk = 16384;         // body bytes per send
  int chunkDelayMs = 0;         // pause between sends (a slow server)
  size_t pauseAfter = SIZE_MAX; // pause once after this many body bytes, for pauseMs
  int pauseMs = 0;              // (a late last segment, a transfer that stops a while)
  bool silent = false;          // read the request, then send nothing until stop()
  bool endless = false;         // send the (non-empty) body over and over, without a
                                // Content-Length, until the client goes or stop()
};

class HttpTestServer {
 public:
  HttpTestServer() = default;
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;
  ~HttpTestServer() { stop(); }

  // Registers (or replaces) the answer for a path such as "/file".
  void serve(const std::string& path, const HttpPlan& plan);
  // Binds and starts listening; false with why() set on failure.
  bool start(int lifetimeSeconds = 120);
  // Stops listening, lets held answers go and waits for every connection thread.
  void stop();

  // "http://127.0.0.1:PORT" + path.
  std::string url(const std::string& path) const;
  int port() const { return port_; }
  // Requests seen for a path (its query left out) so far.
  int requests(const std::string& path) const;
  // Every request target seen so far, query included, in arrival order.
  std::vector<std::string> targets() const;
  // The distinct request targets (query included), in byte order.
  std::vector<std::string> requestedPaths() const;
  // Lets every answer that holds at this moment go on.
  void release();
  // True once an answer for path has sent its bytes up to holdAfter and waits.
  bool holding(const std::string& path) const;
  const std::string& why() const { return why_; }

 private:
  void acceptLoop(int lifetimeSeconds);
  void answer(int fd);
  void hold(const std::string& path);
  void pause(int milliseconds);

  int listenFd_ = -1;
  int port_ = 0;
  std::string why_;
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  int64_t releases_ = 0;
  std::map<std::string, HttpPlan> plans_;
  std::map<std::string, int> requests_;
  std::vector<std::string> targets_;
  std::map<std::string, int> holding_;
  std::vector<std::thread> connections_;
};

// A port on 127.0.0.1 that refuses connections while the object lives: bound, never
// listening, so no other test can take it meanwhile.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};
