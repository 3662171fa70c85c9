// The HTTP downloader and the download-into-a-file pipeline against a real HTTP server on
// 127.0.0.1: what reaches the ring or the file, the exact console lines, the progress
// bar and the splash progress, the retry without proxy.
#include <gtest/gtest.h>
#include <pthread.h>
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

#include "core/wait_limits.h"
#include "pipeline/http_downloader.h"
#include "pipeline/streamer.h"
#include "splash/splash_window.h"
#include "tests/support/http_test_server.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/xvfb_server.h"

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

// A private X server and an initialised splash that is never shown, kept for the rest of
// the process; null when no X server can be had.
XvfbServer* splashDisplay() {
  static XvfbServer server;
  static bool ready = [] {
    if (!server.start(24)) return false;
    setenv("DISPLAY", server.display().c_str(), 1);
    init();
    configureSplash("/nonexistent/picture.png");
    return splashState.splashDisplay != nullptr;
  }();
  return ready ? &server : nullptr;
}

int32_t splashProgress() {
  pthread_mutex_lock(&splashState.splashMutex);
  const int32_t value = splashState.progressState;
  pthread_mutex_unlock(&splashState.splashMutex);
  return value;
}

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
  }

  void startServer() { ASSERT_TRUE(server_.start()) << server_.why(); }

  // Runs downloadToRingBuffer while this test drains the ring; whileRunning (when given)
  // runs meanwhile with the capture, and returns once the transfer may go on.
  // consumerPauseMs: the consumer starts reading only after this long (a slow extractor).
  RingDownload download(const std::string& url,
                        const std::function<void(const OutputCapture&)>& whileRunning = {},
                        int32_t drainFirst = -1, int consumerPauseMs = 0) {
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
    if (!inTime) RingBuffer_close(ring);  // release the consumer; the server ends by itself
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
  int32_t progress;   // the splash's value meanwhile
};

// While the size is known, each progress call redraws the 40-column bar in place and
// hands the truncated percentage to the splash (an initialised splash that is not shown).
TEST_F(DownloadTest, BarAndSplashProgressFollowTheBytesReceived) {
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
  const bool splash = splashDisplay() != nullptr;
  if (!splash) std::cout << "no private X server: the splash progress goes unchecked\n";
  for (const BarCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (splash) setProgress(77);
    bool seen = false;
    int32_t progress = 0;
    std::string soFar;
    const RingDownload run = download(server_.url(slug(c.name)), [&](const OutputCapture& capture) {
      const auto end = std::chrono::steady_clock::now() + 10s;
      while (!seen && std::chrono::steady_clock::now() < end) {
        soFar = capture.outSoFar();
        if (splash) progress = splashProgress();
        seen = soFar.find(c.bar) != std::string::npos && (!splash || progress == c.progress);
        if (!seen) std::this_thread::sleep_for(5ms);
      }
    });
    EXPECT_TRUE(seen) << "bar or progress missing while the server paused; splash "
                      << progress << ", output:\n" << soFar;
    EXPECT_EQ(0, run.result);
    EXPECT_EQ(c.total, run.bytes.size());
    EXPECT_NE(std::string::npos, run.out.find(bar("100", 40))) << "the full bar at the end";
    if (splash) {
      EXPECT_EQ(100, splashProgress());
    }
  }
}

// Without a size there is no bar and the splash is left alone.
TEST_F(DownloadTest, UnknownSizeDrawsNoBarAndLeavesTheSplashAlone) {
  const std::string body = patternBytes(250000);
  server_.serve("/unsized", unknownSize(body));
  startServer();
  const bool splash = splashDisplay() != nullptr;
  if (splash) setProgress(77);
  const RingDownload run = download(server_.url("/unsized"));
  EXPECT_EQ(0, run.result);
  EXPECT_TRUE(body == run.bytes);
  EXPECT_EQ(std::string::npos, run.out.find('\r'));
  EXPECT_EQ(std::string::npos, run.out.find('%'));
  if (splash) {
    EXPECT_EQ(77, splashProgress());
  }
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

// ---- Stalls ---------------------------------------------------------------------------

struct StallCase {
  const char* name;
  HttpPlan plan;
  const char* limit;    // the shortened stall limit in seconds, or null for the product's
  int consumerPauseMs;  // the consumer leaves the ring full this long first
  int result;
  size_t delivered;     // leading body bytes the ring holds
  int requests;
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

HttpPlan steady(std::string body, size_t chunk, int delayMs) {
  HttpPlan p = plan(200, std::move(body));
  p.chunk = chunk;
  p.chunkDelayMs = delayMs;
  return p;
}

const char TIMEOUT[] = "Timeout was reached";
const std::string STALL_BODY = patternBytes(3 * PIPELINE_RING_SIZE + 77);

// An attempt that receives nothing for the stall limit fails; one that stalls before its
// first byte is made once more. Slow, paused or held-up transfers that keep coming are
// no stall: not 10 KB/s, not twelve silent seconds under the product's limit, not a
// consumer that leaves the ring full for longer than the limit.
const StallCase STALL_CASES[] = {
    {"SiteThatNeverAnswers", silent(), "3", 0, 1, 0, 2, TIMEOUT, 6},
    {"TransferThatStopsHalfway",
     pausedAfter(STALL_BODY, STALL_BODY.size() / 2, 15000), "3", 0, 1, STALL_BODY.size() / 2, 1,
     TIMEOUT, 3},
    {"SteadyTenKilobytesASecond", steady(patternBytes(40000), 1000, 100), "3", 0, 0, 40000, 1,
     nullptr, 3},
    {"TwelveSecondPauseMidway", pausedAfter(STALL_BODY, STALL_BODY.size() / 2, 12000), nullptr, 0,
     0, STALL_BODY.size(), 1, nullptr, 12},
    {"ConsumerHoldingTheRingFullLongerThanTheLimit", plan(200, STALL_BODY), "3", 5000, 0,
     STALL_BODY.size(), 1, nullptr, 5},
};

class DownloadStall : public DownloadTest, public testing::WithParamInterface<StallCase> {};

TEST_P(DownloadStall, EndsOnlyWhenNothingArrivesForTheLimit) {
  const StallCase& c = GetParam();
  server_.serve("/stall", c.plan);
  startServer();
  // The test runs as root, for whom only the test seam shortens the limit.
  struct ShortLimit {
    explicit ShortLimit(const char* text) { setWaitLimitForTests(text); }
    ~ShortLimit() { setWaitLimitForTests(nullptr); }
  } limit(c.limit);
  const std::string url = server_.url("/stall");
  const auto start = std::chrono::steady_clock::now();
  const RingDownload run = download(url, {}, -1, c.consumerPauseMs);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(c.result, run.result) << run.err;
  EXPECT_EQ(c.delivered, run.bytes.size());
  EXPECT_TRUE(STALL_BODY.compare(0, run.bytes.size(), run.bytes) == 0 ||
              c.plan.body.compare(0, run.bytes.size(), run.bytes) == 0);
  EXPECT_EQ(c.requests, server_.requests("/stall"));
  EXPECT_EQ(c.failure == nullptr ? "" : failureLines(c.failure, c.requests), run.err);
  EXPECT_GE(seconds, c.minSeconds);
  // A stall ends soon after its limit, each attempt: libcurl takes the speed over its
  // last five seconds, so bytes that came just before the stall count a little longer,
  // and a loaded machine adds its own delay; a stall that is not detected runs on far
  // past this.
  if (c.failure != nullptr) {
    EXPECT_LT(seconds, c.requests * (std::atoi(c.limit) + 10));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DownloadStall, testing::ValuesIn(STALL_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
