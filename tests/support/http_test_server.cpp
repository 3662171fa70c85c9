#include "tests/support/http_test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <set>

namespace {

constexpr int SOCKET_TIMEOUT_SECONDS = 10;
constexpr int HOLD_LIMIT_SECONDS = 30;
constexpr size_t MAX_REQUEST_BYTES = 65536;

const char* reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
  }
}

bool sendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

void setTimeouts(int fd) {
  timeval timeout = {SOCKET_TIMEOUT_SECONDS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// The request's path, "" when no request line arrived in time.
std::string readRequestPath(int fd) {
  std::string request;
  char buffer[4096];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < MAX_REQUEST_BYTES) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return "";
    request.append(buffer, static_cast<size_t>(n));
  }
  const size_t first = request.find(' ');
  if (first == std::string::npos) return "";
  const size_t second = request.find(' ', first + 1);
  if (second == std::string::npos) return "";
  return request.substr(first + 1, second - first - 1);
}

int bindLoopback(int* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

void HttpTestServer::serve(const std::string& path, const HttpPlan& plan) {
  std::lock_guard<std::mutex> lock(mutex_);
  plans_[path] = plan;
}

bool HttpTestServer::start(int lifetimeSeconds) {
  stop();
  stopping_ = false;
  listenFd_ = bindLoopback(&port_);
  if (listenFd_ < 0 || listen(listenFd_, 16) != 0) {
    why_ = std::string("cannot listen on 127.0.0.1: ") + strerror(errno);
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  // Returns once the thread runs its loop: a test that forks right after the start must
  // not fork while the new thread is still setting itself up, or a sanitizer's allocator
  // lock taken meanwhile would stay taken in the child for ever.
  // The thread holds the promise, so its state outlives the set even once start returned.
  auto running = std::make_shared<std::promise<void>>();
  std::future<void> started = running->get_future();
  acceptThread_ = std::thread([this, lifetimeSeconds, running] {
    running->set_value();
    acceptLoop(lifetimeSeconds);
  });
  started.wait();
  return true;
}

void HttpTestServer::stop() {
  stopping_ = true;
  release();
  if (acceptThread_.joinable()) acceptThread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    connections.swap(connections_);
  }
  for (std::thread& connection : connections) connection.join();
  if (listenFd_ >= 0) close(listenFd_);
  listenFd_ = -1;
}

std::string HttpTestServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

int HttpTestServer::requests(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = requests_.find(path);
  return found == requests_.end() ? 0 : found->second;
}

std::vector<std::string> HttpTestServer::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

std::vector<std::string> HttpTestServer::requestedPaths() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::set<std::string> distinct(targets_.begin(), targets_.end());
  return std::vector<std::string>(distinct.begin(), distinct.end());
}

bool HttpTestServer::holding(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = holding_.find(path);
  return found != holding_.end() && found->second > 0;
}

void HttpTestServer::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  releases_++;
  released_.notify_all();
}

void HttpTestServer::hold(const std::string& path) {
  std::unique_lock<std::mutex> lock(mutex_);
  const int64_t start = releases_;
  holding_[path]++;
  released_.wait_for(lock, std::chrono::seconds(HOLD_LIMIT_SECONDS),
                     [&] { return releases_ != start || stopping_; });
  holding_[path]--;
}

void HttpTestServer::pause(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                     [&] { return stopping_.load(); });
}

void HttpTestServer::acceptLoop(int lifetimeSeconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetimeSeconds);
  while (!stopping_ && std::chrono::steady_clock::now() < end) {
    pollfd waiting = {listenFd_, POLLIN, 0};
    if (poll(&waiting, 1, 50) <= 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.emplace_back(&HttpTestServer::answer, this, fd);
  }
}

void HttpTestServer::answer(int fd) {
  setTimeouts(fd);
  const std::string target = readRequestPath(fd);
  // Plans and counts go by the path; a query (a cache buster) is kept in targets_.
  const std::string path = target.substr(0, target.find('?'));
  HttpPlan plan;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[path]++;
    if (!target.empty()) targets_.push_back(target);
    const auto found = plans_.find(path);
    if (found != plans_.end()) {
      plan = found->second;
    } else {
      plan.status = 404;
      plan.body = "<html><body>Not here</body></html>";
    }
  }
  if (plan.silent) {
    // Not ended by release(): a site that never answers stays silent until the stop.
    pause(HOLD_LIMIT_SECONDS * 1000);
    close(fd);
    return;
  }
  std::string head = "HTTP/1.1 " + std::to_string(plan.status) + " " +
                     reasonPhrase(plan.status) + "\r\n";
  if (plan.sendLength && !plan.endless) head += "Content-Length: " + std::to_string(plan.body.size()) + "\r\n";
  head += plan.headers + "Connection: close\r\n\r\n";
  bool open = !path.empty() && sendAll(fd, head.data(), head.size());
  const size_t end = plan.endless && !plan.body.empty() ? SIZE_MAX
                                                        : std::min(plan.body.size(), plan.closeAfter);
  size_t sent = 0;
  bool held = false;
  bool paused = false;
  while (open && !stopping_) {
    if (!held && sent == plan.holdAfter) {
      held = true;
      hold(path);
    }
    if (!paused && sent == plan.pauseAfter) {
      paused = true;
      pause(plan.pauseMs);
    }
    if (sent >= end) break;
    size_t piece = std::min(plan.chunk, end - sent);
    if (sent < plan.holdAfter) piece = std::min(piece, plan.holdAfter - sent);
    if (sent < plan.pauseAfter) piece = std::min(piece, plan.pauseAfter - sent);
    const size_t at = plan.endless ? sent % plan.body.size() : sent;
    piece = std::min(piece, plan.body.size() - at);
    open = sendAll(fd, plan.body.data() + at, piece);
    sent += piece;
    if (plan.chunkDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(plan.chunkDelayMs));
  }
  shutdown(fd, SHUT_WR);
  // Let the client see the end before the socket goes (bounded by the receive timeout).
  char drain[256];
  while (recv(fd, drain, sizeof drain, 0) > 0) {
  }
  close(fd);
}

RefusingPort::RefusingPort() { fd_ = bindLoopback(&port_); }

RefusingPort::~RefusingPort() {
  if (fd_ >= 0) close(fd_);
}
