// The HTTP downloader and the download-into-a-file pipeline against a real HTTP server on
// 127.0.0.1: what reaches the ring or the file, the exact console lines, the progress
// bar and the percentages handed to the progress callback, the retry without proxy,
// bounded bodies, stalls and connections that never complete.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/wait_limits.h"
#include "pipeline/http_downloader.h"
#include "pipeline/streamer.h"
#include "tests/support/http_test_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"

namespace {

using namespace std::chrono_literals;

constexpr auto DEADLINE = 30s;
const char* const PROXY_VARIABLES[] = {"http_proxy",  "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
                                       "all_proxy",   "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

std::string patternBytes(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 2654435761ULL) >> 13);
  return bytes;
}

std::string bar(const char* percent, int filled) {
  return std::string(percent) + "% [" + std::string(static_cast<size_t>(filled), '=') +
         std::string(static_cast<size_t>(PROGRESS_BAR_WIDTH - filled), ' ') + "]\r";
}

// The downloader's standard output, bars left out.
std::string downloaderLines(const std::string& url, bool retried) {
  std::string lines = "[HttpDownloader] Starting download of " + url +
                      "...\n"
                      "[HttpDownloader] Kickstarting curl\n"
                      "[HttpDownloader] Setting up download options\n"
                      "[HttpDownloader] Starting download\n"
                      "[HttpDownloader] Done download\n"
                      "[HttpDownloader] Cleaned up\n";
  if (retried) lines += "[HttpDownloader] Initial download failed. Retrying...\n";
  return lines;
}

std::string failureLines(const char* why, int times) {
  std::string lines;
  for (int i = 0; i < times; ++i) {
    lines += std::string("[HttpDownloader] curl_easy_perform() failed: ") + why + "\n";
  }
  return lines;
}

// The last percentage handed to the progress callback.
std::atomic<int32_t> reportedProgress{0};
void recordProgress(int32_t percent) { reportedProgress.store(percent); }

struct RingDownload {
  int result = -1;
  std::string bytes;
  std::string out, err;
};

class DownloadTest : public testing::Test {
 protected:
  void SetUp() override {
    // A proxy of the machine's environment must not stand between the test and its server.
    for (const char* name : PROXY_VARIABLES) unsetenv(name);
    setDownloadProgressCallback(recordProgress);
  }
  void TearDown() override { setDownloadProgressCallback(nullptr); }

  void startServer() { ASSERT_TRUE(server_.start()) << server_.why(); }

  // Runs downloadToRingBuffer while this test drains the ring; whileRunning (when given)
  // runs meanwhile with the capture, and returns once the transfer may go on.
  // consumerPauseMs: the consumer starts reading only after this long (a slow extractor).
  // atDeadline (when given) runs once the deadline has passed with the transfer still
  // going, to make it end.
  RingDownload download(const std::string& url,
                        const std::function<void(const OutputCapture&)>& whileRunning = {},
                        int32_t drainFirst = -1, int consumerPauseMs = 0,
                        const std::function<void()>& atDeadline = {}) {
    RingDownload run;
    RingBuffer* ring = keptRing(DOWNLOAD_RING_ID, PIPELINE_RING_SIZE);
    OutputCapture capture;
    capture.start();
    auto transfer = std::async(std::launch::async, [&] { return downloadToRingBuffer(url.c_str(), ring); });
    auto consumer = std::async(std::launch::async, [&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(consumerPauseMs));
      std::string bytes;
      char buffer[4096];
      for (;;) {
        // A consumer that stops early closes its ring.
        if (drainFirst >= 0 && static_cast<int32_t>(bytes.size()) >= drainFirst) {
          RingBuffer_close(ring);
          break;
        }
        const int32_t n = RingBuffer_read(ring, buffer, sizeof buffer);
        if (n < 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
      }
      return bytes;
    });
    if (whileRunning) whileRunning(capture);
    server_.release();
    const bool inTime = transfer.wait_for(DEADLINE) == std::future_status::ready &&
                        consumer.wait_for(DEADLINE) == std::future_status::ready;
    if (!inTime) {
      RingBuffer_close(ring);  // release the consumer; the server ends by itself
      if (atDeadline) atDeadline();
    }
    run.result = transfer.get();
    run.bytes = consumer.get();
    capture.stop();
    run.out = capture.out();
    run.err = capture.err();
    EXPECT_TRUE(inTime) << "the download did not end in time";
    return run;
  }

  HttpTestServer server_;
};

struct OutcomeCase {
  const char* name;
  HttpPlan plan;
  int result;              // downloadToRingBuffer's
  size_t delivered;        // leading body bytes the ring holds
  int requests;            // attempts seen by the server
  const char* failure;     // curl's text on standard error, or null
};

HttpPlan plan(int status, std::string body, std::string headers = "") {
  HttpPlan p;
  p.status = status;
  p.body = std::move(body);
  p.headers = std::move(headers);
  return p;
}

HttpPlan unknownSize(std::string body) {
  HttpPlan p = plan(200, std::move(body));
  p.sendLength = false;
  return p;
}

HttpPlan closedAfter(std::string body, size_t bytes) {
  HttpPlan p = plan(200, std::move(body));
  p.closeAfter = bytes;
  return p;
}

// "/" and the name with every character but letters and digits made '-'.
std::string slug(const char* name) {
  std::string path = "/";
  for (const char* p = name; *p != 0; ++p) path += isalnum(static_cast<unsigned char>(*p)) ? *p : '-';
  return path;
}

const char ERROR_STATUS[] = "HTTP response code said error";
const std::string PAGE = "<html><body>Something else</body></html>";

// Only a whole 2xx body reaches the ring; an attempt that failed before its first byte
// is made once more, one that failed after it is not.
TEST_F(DownloadTest, DeliversOnlyAWhole2xxBodyAndRetriesOnlyBeforeTheFirstByte) {
  const std::string big = patternBytes(3 * PIPELINE_RING_SIZE + 77);
  const OutcomeCase cases[] = {
      {"known size, larger than the ring", plan(200, big), 0, big.size(), 1, nullptr},
      {"unknown size", unknownSize(big), 0, big.size(), 1, nullptr},
      {"no content", plan(204, ""), 0, 0, 1, nullptr},
      {"not found page", plan(404, PAGE), 1, 0, 2, ERROR_STATUS},
      {"server error page", plan(500, PAGE), 1, 0, 2, ERROR_STATUS},
      {"redirect with a page", plan(302, PAGE, "Location: /elsewhere\r\n"), 1, 0, 2, ERROR_STATUS},
      {"redirect without a body", plan(302, "", "Location: /elsewhere\r\n"), 1, 0, 2, ERROR_STATUS},
      {"not modified", plan(304, ""), 1, 0, 2, ERROR_STATUS},
      {"multiple choices", plan(300, PAGE), 1, 0, 2, ERROR_STATUS},
      {"closed after half the body", closedAfter(big, big.size() / 2), 1, big.size() / 2, 1,
       "Transferred a partial file"},
  };
  for (const OutcomeCase& c : cases) server_.serve(slug(c.name), c.plan);
  startServer();
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = slug(c.name);
    const std::string url = server_.url(path);
    const RingDownload run = download(url);
    EXPECT_EQ(c.result, run.result);
    EXPECT_EQ(c.delivered, run.bytes.size());
    EXPECT_TRUE(big.compare(0, run.bytes.size(), run.bytes) == 0) << "bytes differ from the body";
    EXPECT_EQ(c.requests, server_.requests(path));
    EXPECT_EQ(downloaderLines(url, c.requests == 2), withoutDownloadBars(run.out));
    EXPECT_EQ(c.failure == nullptr ? "" : failureLines(c.failure, c.requests), run.err);
  }
  EXPECT_EQ(0, server_.requests("/elsewhere")) << "a redirect was followed";
}

// Nobody listening: both attempts fail before any byte and the ring ends empty.
TEST_F(DownloadTest, UnreachableServerFailsTwiceAndLeavesTheRingEmpty) {
  RefusingPort refused;
  const std::string url = "http://127.0.0.1:" + std::to_string(refused.port()) + "/runtime.xz";
  const RingDownload run = download(url);
  EXPECT_EQ(1, run.result);
  EXPECT_EQ("", run.bytes);
  EXPECT_EQ(downloaderLines(url, true), run.out);
  EXPECT_EQ(failureLines("Couldn't connect to server", 2), run.err);
}

// A proxy of the environment that cannot be reached fails the first attempt before its
// first byte; the retry goes without proxy and delivers the body once.
TEST_F(DownloadTest, UnreachableProxyIsLeftOutOnTheRetry) {
  const std::string body = patternBytes(150000);
  server_.serve("/version", plan(200, body));
  startServer();
  RefusingPort proxy;
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  setenv("http_proxy", proxyUrl.c_str(), 1);
  const std::string url = server_.url("/version");
  const RingDownload run = download(url);
  unsetenv("http_proxy");
  EXPECT_EQ(0, run.result);
  EXPECT_TRUE(body == run.bytes) << run.bytes.size() << " bytes";
  EXPECT_EQ(1, server_.requests("/version"));
  EXPECT_EQ(downloaderLines(url, true), withoutDownloadBars(run.out));
  EXPECT_EQ(failureLines("Couldn't connect to server", 1), run.err);
}

// A consumer that closes the ring early does not stop the transfer: it runs to its end,
// the rest dropped, and counts as a success.
TEST_F(DownloadTest, ConsumerThatClosesTheRingLetsTheTransferFinish) {
  const std::string body = patternBytes(2 * 1024 * 1024);
  server_.serve("/big", plan(200, body));
  startServer();
  const RingDownload run = download(server_.url("/big"), {}, 1);
  EXPECT_EQ(0, run.result);
  EXPECT_LE(run.bytes.size(), static_cast<size_t>(PIPELINE_RING_SIZE));
  EXPECT_TRUE(body.compare(0, run.bytes.size(), run.bytes) == 0);
  EXPECT_EQ(1, server_.requests("/big"));
  EXPECT_EQ("", run.err);
}

struct BarCase {
  const char* name;
  size_t total;
  size_t holdAt;      // the server pauses after this many bytes
  std::string bar;    // drawn while it pauses
  int32_t progress;   // the percentage reported meanwhile
};

// While the size is known, each progress call redraws the 40-column bar in place and
// hands the truncated percentage to the progress callback.
TEST_F(DownloadTest, BarAndReportedProgressFollowTheBytesReceived) {
  const BarCase cases[] = {
      {"nothing yet", 1000, 0, bar("  0", 0), 0},
      {"a third", 3000, 1000, bar(" 33", 13), 33},
      {"half", 1000, 500, bar(" 50", 20), 50},
      {"99.6 percent", 1000, 996, bar("100", 40), 99},
  };
  for (const BarCase& c : cases) {
    HttpPlan p = plan(200, patternBytes(c.total));
    p.holdAfter = c.holdAt;
    server_.serve(slug(c.name), p);
  }
  startServer();
  for (const BarCase& c : cases) {
    SCOPED_TRACE(c.name);
    reportedProgress.store(77);
    bool seen = false;
    int32_t progress = 0;
    std::string soFar;
    const RingDownload run = download(server_.url(slug(c.name)), [&](const OutputCapture& capture) {
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (!seen && std::chrono::steady_clock::now() < end) {
        soFar = capture.outSoFar();
        progress = reportedProgress.load();
        // The bytes reach the client before the server begins to hold: a release
        // before the hold would be lost and the transfer held to the server's limit.
        seen = soFar.find(c.bar) != std::string::npos && progress == c.progress &&
               server_.holding(slug(c.name));
        if (!seen) std::this_thread::sleep_for(5ms);
      }
    });
    EXPECT_TRUE(seen) << "bar or progress missing while the server paused; reported "
                      << progress << ", output:\n" << soFar;
    EXPECT_EQ(0, run.result);
    EXPECT_EQ(c.total, run.bytes.size());
    EXPECT_NE(std::string::npos, run.out.find(bar("100", 40))) << "the full bar at the end";
    EXPECT_EQ(100, reportedProgress.load());
  }
}

// Without a size there is no bar and no percentage is reported.
TEST_F(DownloadTest, UnknownSizeDrawsNoBarAndReportsNoProgress) {
  const std::string body = patternBytes(250000);
  server_.serve("/unsized", unknownSize(body));
  startServer();
  reportedProgress.store(77);
  const RingDownload run = download(server_.url("/unsized"));
  EXPECT_EQ(0, run.result);
  EXPECT_TRUE(body == run.bytes);
  EXPECT_EQ(std::string::npos, run.out.find('\r'));
  EXPECT_EQ(std::string::npos, run.out.find('%'));
  EXPECT_EQ(77, reportedProgress.load());
}

void noteSignal(int) {}

// libcurl would set SIGPIPE to be ignored around each transfer, for the whole process and
// every thread of it; the downloader keeps it from touching signals, on the first
// attempt and on the retry without proxy alike.
TEST_F(DownloadTest, TransferLeavesTheProcessSignalHandlingAlone) {
  HttpPlan held = plan(200, patternBytes(5000));
  held.holdAfter = 1000;
  server_.serve("/held", held);
  startServer();
  RefusingPort proxy;
  const std::string proxyUrl = "http://127.0.0.1:" + std::to_string(proxy.port());
  struct sigaction own = {};
  own.sa_handler = noteSignal;
  struct sigaction before = {};
  ASSERT_EQ(0, sigaction(SIGPIPE, &own, &before));
  for (const bool retry : {false, true}) {
    SCOPED_TRACE(retry ? "retry without proxy" : "first attempt");
    if (retry) setenv("http_proxy", proxyUrl.c_str(), 1);
    bool heldSeen = false;
    bool untouched = true;
    const RingDownload run = download(server_.url("/held"), [&](const OutputCapture&) {
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (!heldSeen && std::chrono::steady_clock::now() < end) {
        heldSeen = server_.holding("/held");
        if (!heldSeen) std::this_thread::sleep_for(5ms);
      }
      struct sigaction now = {};
      sigaction(SIGPIPE, nullptr, &now);
      untouched = now.sa_handler == noteSignal;
    });
    unsetenv("http_proxy");
    EXPECT_TRUE(heldSeen) << "the transfer never reached its hold";
    EXPECT_TRUE(untouched) << "SIGPIPE's handler was changed during the transfer";
    EXPECT_EQ(0, run.result) << run.err;
  }
  sigaction(SIGPIPE, &before, nullptr);
}

enum class Target { Plain, MissingFolder, Folder, LinkToFile, FullDevice };

struct FileCase {
  const char* name;
  HttpPlan plan;
  Target target;
  int result;          // Streamer_downloadToFile's
  bool fileSaved;      // the target holds the first `saved` body bytes
  size_t saved;
  const char* logLine; // a further line the run logs, or null
};

// The file is created before the transfer and holds what arrived; the result is 1 only
// when the transfer succeeded and every byte reached the disk.
TEST_F(DownloadTest, DownloadToFileSavesTheBodyAndReportsEveryFailure) {
  const std::string big = patternBytes(250000);
  // Stays in the file's buffer: only the flush or the close meets the full device.
  const std::string small = big.substr(0, 1000);
  const FileCase cases[] = {
      {"whole body", plan(200, big), Target::Plain, 1, true, big.size(), nullptr},
      {"empty body", plan(200, ""), Target::Plain, 1, true, 0, nullptr},
      {"not found", plan(404, PAGE), Target::Plain, 0, true, 0, nullptr},
      {"cut after half", closedAfter(big, big.size() / 2), Target::Plain, 0, true, big.size() / 2,
       nullptr},
      {"target in a missing folder", plan(200, big), Target::MissingFolder, 0, false, 0,
       "[Streamer] Unable to open %s for writing: No such file or directory"},
      {"target is a folder", plan(200, big), Target::Folder, 0, false, 0,
       "[Streamer] Unable to open %s for writing: Is a directory"},
      {"link at the target", plan(200, big), Target::LinkToFile, 0, false, 0,
       "[Streamer] Unable to open %s for writing: Too many levels of symbolic links"},
      {"writes fail", plan(200, big), Target::FullDevice, 0, false, 0,
       "[Streamer] [FileSaver] Unable to save the file: No space left on device"},
      {"flush fails", plan(200, small), Target::FullDevice, 0, false, 0,
       "[Streamer] [FileSaver] Unable to save the file: No space left on device"},
  };
  for (const FileCase& c : cases) server_.serve(slug(c.name), c.plan);
  startServer();
  for (const FileCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    std::string target = dir / "version.txt";
    if (c.target == Target::MissingFolder) target = dir / "gone/version.txt";
    if (c.target == Target::Folder) {
      ASSERT_EQ(0, mkdir(target.c_str(), 0700));
    }
    if (c.target == Target::LinkToFile) {
      writeFileBytes(dir / "other", "keep");
      ASSERT_EQ(0, symlink((dir / "other").c_str(), target.c_str()));
    }
    if (c.target == Target::FullDevice) target = "/dev/full";
    const std::string url = server_.url(slug(c.name));
    OutputCapture capture;
    capture.start();
    auto run = std::async(std::launch::async,
                          [&] { return Streamer_downloadToFile(url.c_str(), target.c_str()); });
    const bool inTime = run.wait_for(DEADLINE) == std::future_status::ready;
    if (!inTime) {
      capture.stop();
      FAIL() << "the download into a file did not end";  // the server ends it by itself
    }
    const int result = run.get();
    capture.stop();
    // A bar ends in a carriage return, not a line end: the next line follows it.
    const std::string out = withoutDownloadBars(capture.out());
    EXPECT_EQ(c.result, result);
    if (c.fileSaved) {
      EXPECT_TRUE(big.substr(0, c.saved) == readFileBytes(target));
    }
    if (c.target == Target::LinkToFile) {
      EXPECT_EQ("keep", readFileBytes(dir / "other"));
      struct stat st;
      EXPECT_EQ(0, lstat(target.c_str(), &st));
      EXPECT_TRUE(S_ISLNK(st.st_mode));
    }
    EXPECT_EQ("", missingInOrder(out,
                                 {"[Streamer] Downloading from " + url + " into " + target,
                                  "[Streamer] [Downloader] Starting...",
                                  "[Streamer] [Downloader] Done (" +
                                      std::to_string(c.plan.status == 200 && c.plan.closeAfter == SIZE_MAX ? 0 : 1) +
                                      ")."}));
    EXPECT_EQ("", missingInOrder(out, {"[Streamer] [FileSaver] Starting...",
                                                  "[Streamer] [FileSaver] Done."}));
    if (c.logLine != nullptr) {
      char line[1024];
      snprintf(line, sizeof line, c.logLine, target.c_str());
      EXPECT_TRUE(hasLine(out, line)) << out;
    }
  }
}

// ---- A bounded body ---------------------------------------------------------------------

struct BoundCase {
  const char* name;
  HttpPlan plan;
  int result;         // Streamer_downloadToFile's under a bound of BOUND bytes
  size_t whole;       // the file holds exactly these leading body bytes, or
  bool prefixOnly;    // (endless bodies) at most BOUND leading bytes
  const char* failure;  // curl's text on standard error (each line), or null
};

constexpr int64_t BOUND = 4096;

long long fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

HttpPlan steady(std::string body, size_t chunk, int delayMs) {
  HttpPlan p = plan(200, std::move(body));
  p.chunk = chunk;
  p.chunkDelayMs = delayMs;
  return p;
}

HttpPlan endless(size_t chunk) {
  HttpPlan p = plan(200, patternBytes(65536));
  p.endless = true;
  p.chunk = chunk;
  return p;
}

// A body past the bound is a failed download that ends at once, whether its size was
// announced or it never ends; the file never holds more than the bound.
TEST_F(DownloadTest, DownloadToFileTakesAtMostTheBound) {
  const std::string body = patternBytes(65536);
  const char TOO_LONG[] = "Maximum file size exceeded";
  const BoundCase cases[] = {
      {"announced, exactly the bound", plan(200, body.substr(0, BOUND)), 1, BOUND, false, nullptr},
      // In small pieces, so that only the announced size keeps every byte out.
      {"announced, one byte more", steady(body.substr(0, BOUND + 1), 1000, 1), 0, 0, false,
       TOO_LONG},
      {"unannounced, exactly the bound", unknownSize(body.substr(0, BOUND)), 1, BOUND, false,
       nullptr},
      {"unannounced, one byte more", unknownSize(body.substr(0, BOUND + 1)), 0, 0, true,
       TOO_LONG},
      {"endless in large pieces", endless(16384), 0, 0, true, TOO_LONG},
      {"endless in small pieces", endless(100), 0, 0, true, TOO_LONG},
  };
  for (const BoundCase& c : cases) server_.serve(slug(c.name), c.plan);
  startServer();
  for (const BoundCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const std::string target = dir / "version.txt";
    const std::string url = server_.url(slug(c.name));
    OutputCapture capture;
    capture.start();
    const auto start = std::chrono::steady_clock::now();
    auto run = std::async(std::launch::async, [&] {
      return Streamer_downloadToFile(url.c_str(), target.c_str(), BOUND);
    });
    // A download that runs past the bound is stopped at once, before it fills the disk.
    bool inTime = false;
    bool runaway = false;
    while (!inTime && !runaway && std::chrono::steady_clock::now() < start + DEADLINE) {
      inTime = run.wait_for(20ms) == std::future_status::ready;
      runaway = !inTime && fileSize(target) > 16 * BOUND;
    }
    if (!inTime) {
      server_.stop();
      run.wait();
      capture.stop();
      FAIL() << (runaway ? "the file grew past the bound: " : "the download did not end: ")
             << fileSize(target) << " bytes on disk";
    }
    const int result = run.get();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    capture.stop();
    EXPECT_EQ(c.result, result);
    EXPECT_LT(seconds, 5) << "a body past the bound ends at once";
    const std::string saved = readFileBytes(target);
    if (c.prefixOnly) {
      EXPECT_LE(saved.size(), static_cast<size_t>(BOUND));
      EXPECT_TRUE(body.compare(0, saved.size(), saved) == 0) << "bytes differ from the body";
    } else {
      EXPECT_TRUE(body.substr(0, c.whole) == saved) << saved.size() << " bytes saved";
    }
    const std::string err = capture.err();
    if (c.failure == nullptr) {
      EXPECT_EQ("", err);
    } else {
      EXPECT_TRUE(err == failureLines(c.failure, 1) || err == failureLines(c.failure, 2)) << err;
    }
  }
}

// ---- Stalls ---------------------------------------------------------------------------

// A port on 127.0.0.1 where no handshake completes: it listens with a backlog of 0 and
// one finished connection that nobody accepts fills its queue, so the kernel drops every
// further SYN and a client's connect waits until it gives up.
class FullBacklogPort {
 public:
  FullBacklogPort() {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        listen(listener_, 0) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    filler_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (filler_ < 0 || connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      return;
    }
    // The listener's queue length (TCP_INFO of a listening socket) shows when the
    // finished handshake has reached it.
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (!full_ && std::chrono::steady_clock::now() < end) {
      tcp_info info = {};
      socklen_t size = sizeof info;
      full_ = getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 &&
              info.tcpi_unacked > info.tcpi_sacked;
      if (!full_) std::this_thread::sleep_for(1ms);
    }
  }
  ~FullBacklogPort() { release(); }
  FullBacklogPort(const FullBacklogPort&) = delete;
  FullBacklogPort& operator=(const FullBacklogPort&) = delete;

  bool full() const { return full_; }
  int port() const { return port_; }
  // Closes the port: a client still waiting is refused at its next SYN.
  void release() {
    if (filler_ >= 0) close(filler_);
    if (listener_ >= 0) close(listener_);
    filler_ = listener_ = -1;
  }

 private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
  bool full_ = false;
};

enum class Site { Server, FullBacklog };

// Leading body bytes that vary with timing: only checked to be a prefix of the body.
constexpr size_t SOME = SIZE_MAX;

struct StallCase {
  const char* name;
  Site site;
  HttpPlan plan;
  const char* limit;    // the shortened stall limit in seconds, or null for the product's
  int consumerPauseMs;  // the consumer leaves the ring full this long first
  int result;
  size_t delivered;     // leading body bytes the ring holds, or SOME
  int requests;         // attempts the server saw (a full backlog sees none)
  int attempts;         // attempts the downloader made
  const char* failure;  // curl's text on standard error, or null
  int minSeconds;       // the download took at least this long (the limit was waited out)
};

HttpPlan silent() {
  HttpPlan p;
  p.silent = true;
  return p;
}

HttpPlan pausedAfter(std::string body, size_t bytes, int ms) {
  HttpPlan p = plan(200, std::move(body));
  p.pauseAfter = bytes;
  p.pauseMs = ms;
  return p;
}

const char TIMEOUT[] = "Timeout was reached";
const std::string STALL_BODY = patternBytes(3 * PIPELINE_RING_SIZE + 77);

// An attempt that receives less than a KiB a second for the stall limit fails, and so
// does one whose connection is not made within it; one that stalls before its first byte
// is made once more. Slow, paused or held-up transfers that keep coming are no stall:
// not 10 KB/s, not twelve silent seconds under the product's limit, not a consumer that
// leaves the ring full for longer than the limit. A site that trickles a few bytes every
// few seconds is one, however long it keeps that up.
const StallCase STALL_CASES[] = {
    {"SiteThatNeverAnswers", Site::Server, silent(), "3", 0, 1, 0, 2, 2, TIMEOUT, 6},
    {"ConnectionThatNeverCompletes", Site::FullBacklog, {}, "3", 0, 1, 0, 0, 2, TIMEOUT, 6},
    {"TransferThatStopsHalfway", Site::Server,
     pausedAfter(STALL_BODY, STALL_BODY.size() / 2, 20000), "3", 0, 1, STALL_BODY.size() / 2, 1,
     1, TIMEOUT, 3},
    {"TrickleOfEightBytesEveryTwoSeconds", Site::Server, steady(patternBytes(120), 8, 2000), "3",
     0, 1, SOME, 1, 1, TIMEOUT, 3},
    {"SteadyTenKilobytesASecond", Site::Server, steady(patternBytes(40000), 1000, 100), "3", 0,
     0, 40000, 1, 1, nullptr, 3},
    {"TwelveSecondPauseMidway", Site::Server,
     pausedAfter(STALL_BODY, STALL_BODY.size() / 2, 12000), nullptr, 0, 0, STALL_BODY.size(), 1,
     1, nullptr, 12},
    {"ConsumerHoldingTheRingFullLongerThanTheLimit", Site::Server, plan(200, STALL_BODY), "3",
     5000, 0, STALL_BODY.size(), 1, 1, nullptr, 5},
};

class DownloadStall : public DownloadTest, public testing::WithParamInterface<StallCase> {};

TEST_P(DownloadStall, EndsOnlyWhenTooLittleArrivesForTheLimit) {
  const StallCase& c = GetParam();
  std::string url;
  FullBacklogPort backlog;
  if (c.site == Site::FullBacklog) {
    ASSERT_TRUE(backlog.full()) << "the listening queue did not fill";
    url = "http://127.0.0.1:" + std::to_string(backlog.port()) + "/stall";
  } else {
    backlog.release();
    server_.serve("/stall", c.plan);
    startServer();
    url = server_.url("/stall");
  }
  // The test runs as root, for whom only the test seam shortens the limit.
  struct ShortLimit {
    explicit ShortLimit(const char* text) { setWaitLimitForTests(text); }
    ~ShortLimit() { setWaitLimitForTests(nullptr); }
  } limit(c.limit);
  const auto start = std::chrono::steady_clock::now();
  // Past the deadline a waiting connect is refused, so that a fault ends the test.
  const RingDownload run = download(url, {}, -1, c.consumerPauseMs, [&] { backlog.release(); });
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(c.result, run.result) << run.err;
  if (c.delivered != SOME) {
    EXPECT_EQ(c.delivered, run.bytes.size());
  }
  EXPECT_TRUE(c.plan.body.compare(0, run.bytes.size(), run.bytes) == 0);
  EXPECT_EQ(c.requests, server_.requests("/stall"));
  EXPECT_EQ(downloaderLines(url, c.attempts == 2), withoutDownloadBars(run.out));
  EXPECT_EQ(c.failure == nullptr ? "" : failureLines(c.failure, c.attempts), run.err);
  EXPECT_GE(seconds, c.minSeconds);
  // A stall ends soon after its limit, each attempt: libcurl takes the speed over its
  // last five seconds, so bytes that came just before the stall count a little longer,
  // and a loaded machine adds its own delay; a stall that is not detected runs on far
  // past this.
  if (c.failure != nullptr) {
    EXPECT_LT(seconds, c.attempts * (std::atoi(c.limit) + 10));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadStall, testing::ValuesIn(STALL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
