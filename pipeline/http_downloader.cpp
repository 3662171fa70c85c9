#include "pipeline/http_downloader.h"

#include <pthread.h>
#include <strings.h>

// The progress callback below is libcurl's older form, which it still calls.
#define CURL_DISABLE_DEPRECATION 1
#include <curl/curl.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "core/wait_limits.h"

namespace {

// The write callback's data: one per download, shared by both attempts.
struct HttpDownloadJob {
  const char* url;          // borrowed
  RingBuffer* ring;         // output
  int64_t maxBytes;         // the body's bound, 0 for none
  uint64_t bytesDelivered;  // body bytes handed to the ring over all attempts
  int64_t attemptBytes;     // body bytes the current attempt received
  bool rejectedStatus;      // the current attempt answered outside 200-299
  bool tooLong;             // the current attempt's body went past maxBytes
  CURL* handle;             // the current attempt's easy handle
};

// Set when an attempt succeeded; one download at a time.
volatile unsigned char downloadSucceeded = 0;

std::atomic<DownloadProgressCallback> progressCallback{nullptr};

const char MSG_STARTING[] = "[HttpDownloader] Starting download of %s...\n";
const char MSG_KICKSTARTING[] = "[HttpDownloader] Kickstarting curl";
const char MSG_NO_CURL[] = "[HttpDownloader] Unable to initialise CURL!";
const char MSG_SETTING_UP[] = "[HttpDownloader] Setting up download options";
const char MSG_START_DOWNLOAD[] = "[HttpDownloader] Starting download";
const char MSG_FAILED[] = "[HttpDownloader] curl_easy_perform() failed: %s\n";  // standard error
const char MSG_DONE[] = "[HttpDownloader] Done download";
const char MSG_CLEANED_UP[] = "[HttpDownloader] Cleaned up";
const char MSG_RETRYING[] = "[HttpDownloader] Initial download failed. Retrying...";
const char MSG_NO_THREAD[] = "[HttpDownloader] Unable to start the download thread: %s\n";

size_t downloadWriteCallback(char* data, size_t size, size_t count, void* job);
int downloadProgressCallback(void* clientp, double dltotal, double dlnow, double ultotal,
                             double ulnow);

void flushBoth() {
  fflush(stdout);
  fflush(stderr);
}

// An http(s) answer outside 200-299 is no data: an error or redirect page must never
// reach the consumer. Other schemes carry no HTTP status.
bool statusRejected(CURL* curl) {
  const char* scheme = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_SCHEME, &scheme) != CURLE_OK || scheme == nullptr ||
      (strcasecmp(scheme, "http") != 0 && strcasecmp(scheme, "https") != 0)) {
    return false;
  }
  long code = 0;
  if (curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) return true;
  return code < 200 || code > 299;
}

void setDownloadOptions(CURL* curl, HttpDownloadJob* job) {
  curl_easy_setopt(curl, CURLOPT_URL, job->url);
  // The stall and connect limits run on timers: without this, libcurl would change the
  // whole process's SIGPIPE handling around each transfer, and a name lookup past its
  // limit would raise SIGALRM in whichever thread runs.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, downloadWriteCallback);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, job);
  curl_easy_setopt(curl, CURLOPT_PROGRESSFUNCTION, downloadProgressCallback);
  // 400 and up end the transfer before any byte of the body.
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  // An attempt that receives less than the low speed for the stall limit fails, and so
  // does a connection not made within it. The write callback's waits for room do not
  // count: libcurl's speed window moves past such a wait within five seconds once the
  // bytes flow again, well inside the limit.
  const long stall = waitLimitSeconds(DOWNLOAD_STALL_SECONDS);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, stall);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, DOWNLOAD_LOW_SPEED_BYTES);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall);
  // An announced size past the bound fails before the body; the write callback bounds
  // the rest.
  if (job->maxBytes > 0) {
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(job->maxBytes));
  }
}

// One attempt on a prepared handle: sets downloadSucceeded or prints the failure.
void performAttempt(CURL* curl, HttpDownloadJob* job) {
  job->handle = curl;
  job->rejectedStatus = false;
  job->tooLong = false;
  job->attemptBytes = 0;
  CURLcode result = curl_easy_perform(curl);
  // A 1xx or 3xx answer: refused by the write callback, or with no body at all.
  if (job->rejectedStatus || (result == CURLE_OK && statusRejected(curl))) {
    result = CURLE_HTTP_RETURNED_ERROR;
  }
  if (job->tooLong) result = CURLE_FILESIZE_EXCEEDED;
  job->handle = nullptr;
  if (result != CURLE_OK) {
    fprintf(stderr, MSG_FAILED, curl_easy_strerror(result));
  } else {
    downloadSucceeded = 1;
  }
}

void* HttpDownloader(void* arg) {
  auto* job = static_cast<HttpDownloadJob*>(arg);
  printf(MSG_STARTING, job->url);
  puts(MSG_KICKSTARTING);
  fflush(stdout);
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    puts(MSG_NO_CURL);
    fflush(stdout);
    return nullptr;
  }
  puts(MSG_SETTING_UP);
  fflush(stdout);
  setDownloadOptions(curl, job);
  puts(MSG_START_DOWNLOAD);
  fflush(stdout);
  performAttempt(curl, job);
  puts(MSG_DONE);
  flushBoth();
  curl_easy_cleanup(curl);
  puts(MSG_CLEANED_UP);
  flushBoth();
  // Once bytes went out, a second copy from the start would follow them: no retry then.
  if (downloadSucceeded || job->bytesDelivered > 0) return nullptr;
  puts(MSG_RETRYING);
  flushBoth();
  curl = curl_easy_init();
  if (curl == nullptr) return nullptr;
  setDownloadOptions(curl, job);
  // The empty proxy turns off every proxy, those of the environment included.
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  performAttempt(curl, job);
  curl_easy_cleanup(curl);
  flushBoth();
  return nullptr;
}

size_t downloadWriteCallback(char* data, size_t size, size_t count, void* arg) {
  auto* job = static_cast<HttpDownloadJob*>(arg);
  const size_t length = size * count;
  if (length == 0) return 0;
  if (job->handle != nullptr && statusRejected(job->handle)) {
    job->rejectedStatus = true;
    return 0;  // anything but the full count stops the transfer
  }
  job->attemptBytes += static_cast<int64_t>(length);
  if (job->maxBytes > 0 && job->attemptBytes > job->maxBytes) {
    job->tooLong = true;
    return 0;
  }
  // A consumer that closed the ring wants nothing more: the block is dropped and the
  // transfer goes on to its end.
  if (RingBuffer_write(job->ring, data, static_cast<int32_t>(length)) > 0) {
    job->bytesDelivered += length;
  }
  return length;
}

int downloadProgressCallback(void*, double dltotal, double dlnow, double, double) {
  if (dltotal == 0) return 0;
  const double fraction = dlnow / dltotal;
  const long filled = lround(fraction * PROGRESS_BAR_WIDTH);
  // The bar is drawn under one hold of the stream, so log lines of the stage threads
  // never cut through it.
  flockfile(stdout);
  printf("%3.0f%% [", fraction * 100);
  for (long i = 0; i < filled; i++) putchar('=');
  for (long i = filled; i < PROGRESS_BAR_WIDTH; i++) putchar(' ');
  fputs("]\r", stdout);
  fflush(stdout);
  funlockfile(stdout);
  const DownloadProgressCallback report = progressCallback.load();
  if (report != nullptr) report(static_cast<int32_t>(fraction * 100));
  return 0;
}

}  // namespace

void setDownloadProgressCallback(DownloadProgressCallback callback) {
  progressCallback.store(callback);
}

int downloadToRingBuffer(const char* url, RingBuffer* ring, std::atomic<bool>* transferFailed,
                         int64_t maxBytes) {
  downloadSucceeded = 0;
  HttpDownloadJob job = {url, ring, maxBytes, 0, 0, false, false, nullptr};
  pthread_t thread;
  const int error = pthread_create(&thread, nullptr, HttpDownloader, &job);
  if (error != 0) {
    printf(MSG_NO_THREAD, strerror(error));
    fflush(stdout);
  } else {
    pthread_join(thread, nullptr);
  }
  const bool succeeded = downloadSucceeded != 0;
  if (!succeeded && transferFailed != nullptr) transferFailed->store(true);
  RingBuffer_close(ring);
  return succeeded ? 0 : 1;
}
