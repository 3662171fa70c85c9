// HttpDownloader: fetches one URL over HTTP(S) with libcurl into a ring as the body
// arrives, with one retry without proxy for an attempt that failed before its first byte.
// An attempt fails once less than DOWNLOAD_LOW_SPEED_BYTES have arrived over the last
// DOWNLOAD_STALL_SECONDS (core/wait_limits.h), and a connection that is not made within
// that time fails too (libcurl's speed check looks at the last five seconds: a stall
// after bytes ends up to five seconds later); waiting for room in the ring is no stall.
// Only a 2xx answer delivers bytes (http and https); redirects are not followed. Draws a
// console bar and reports the percentage to the progress callback while the size is
// known. Its messages go to standard output and standard error, never to the log file.
// libcurl never raises a signal for it. One download at a time.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/ring_buffer.h"

constexpr int PROGRESS_BAR_WIDTH = 40;
// Bytes a second below which an attempt counts as stalled.
constexpr long DOWNLOAD_LOW_SPEED_BYTES = 1024;

// Receives the percentage of a download of known size (0 to 100, truncated) on the
// download thread.
using DownloadProgressCallback = void (*)(int32_t percent);

// Where the percentages of later downloads go; null (the start) sends them nowhere. Set
// it before a download starts, not during one.
void setDownloadProgressCallback(DownloadProgressCallback callback);

// Runs the download on a thread of its own, waits for it and closes the ring in every
// case. 0 when it succeeded, 1 when it failed (a thread that cannot start: a line on
// standard output and 1). A failed download sets *transferFailed (when given) before
// the ring closes, so its consumer knows why its data ended. maxBytes above 0 bounds the
// body: an answer that announces more fails before its first byte, and one that would
// deliver more fails at the block that crosses the bound, which is not delivered
// ("Maximum file size exceeded"); like any failed attempt, it is retried only when none
// of its bytes had been delivered.
int downloadToRingBuffer(const char* url, RingBuffer* ring,
                         std::atomic<bool>* transferFailed = nullptr, int64_t maxBytes = 0);
