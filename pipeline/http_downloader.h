// HttpDownloader: fetches one URL over HTTP(S) with libcurl into a ring as the body
// arrives, with one retry without proxy for an attempt that failed before its first byte.
// An attempt fails once no byte has arrived for DOWNLOAD_STALL_SECONDS (core/wait_limits.h),
// connecting included (libcurl's speed check, which looks at the last five seconds: a
// stall after bytes ends up to five seconds later); waiting for room in the ring is no
// stall.
// Only a 2xx answer delivers bytes (http and https); redirects are not followed. Draws a
// console bar and moves the splash progress while the size is known. Its messages go to
// standard output and standard error, never to the log file. One download at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/ring_buffer.h"

constexpr int PROGRESS_BAR_WIDTH = 40;

// libcurl's CURL, without its header.
using HttpHandle = void;

// The write callback's data: one per download, shared by both attempts.
struct HttpDownloadJob {
  const char* url;        // borrowed
  RingBuffer* ring;       // output
  uint64_t bytesDelivered;  // body bytes handed to the ring over all attempts
  bool rejectedStatus;      // the current attempt answered outside 200-299
  HttpHandle* handle;       // the current attempt's easy handle
};

// Process-wide: set when an attempt succeeded.
extern volatile unsigned char downloadSucceeded;

// Runs the download on a thread of its own, waits for it and closes the ring in every
// case. 0 when it succeeded, 1 when it failed (a thread that cannot start: a line on
// standard output and 1). A failed download sets *transferFailed (when given) before
// the ring closes, so its consumer knows why its data ended.
int downloadToRingBuffer(const char* url, RingBuffer* ring,
                         std::atomic<bool>* transferFailed = nullptr);

// The thread body (job is an HttpDownloadJob); returns null.
void* HttpDownloader(void* job);

// libcurl's callbacks. The write callback's data is the HttpDownloadJob: it refuses the
// body of an http(s) answer outside 200-299 (the transfer stops), and otherwise writes
// every block into the ring, waiting for room, and counts it.
size_t downloadWriteCallback(char* data, size_t size, size_t count, void* job);
int downloadProgressCallback(void* clientp, double dltotal, double dlnow, double ultotal,
                             double ulnow);
