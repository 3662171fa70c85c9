// Streamer: the package pipelines, stage threads joined by rings so that download,
// decompression and extraction overlap in bounded memory. Starters are called from one
// thread at a time, and never two downloads at once. Stage records are zero-filled by
// their starter and filled before the threads start; a stage's result is read from its
// record only after its thread has been joined. Only a nested archive's stages are
// freed (pipeline/streamer_stages.h), the others live until the process ends. No stage
// waits for ever:
// every producer closes its output at the end of its data, and a consumer that stops
// early closes its input so that its producer is released.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "core/ring_buffer.h"
#include "pipeline/streamer_stages.h"

constexpr int32_t FILE_SAVER_CHUNK_SIZE = 1000;
constexpr int32_t DOWNLOAD_FILE_RING_ID = 4;
constexpr int32_t DOWNLOAD_RING_ID = 1;
constexpr int32_t DECODED_RING_ID = 2;

struct DownloaderContext {
  const char* url;    // borrowed
  RingBuffer* ring;   // output
  int32_t result;     // 0 the download succeeded, 1 it failed
  int64_t maxBytes;   // the body's bound (downloadToRingBuffer), 0 for none
  // Set before the ring closes when the transfer failed, so that the stages behind it
  // can tell a failed transfer from a whole one as soon as their data end.
  std::atomic<bool> transferFailed;
};

struct FileSaverContext {
  FILE* file;         // opened by the starter; null when it could not be opened
  RingBuffer* ring;   // input
  int32_t result;     // 0 every byte was written, flushed and closed; 1 otherwise
};

// Stage thread bodies; each takes its record and returns null.
void* Streamer_downloaderThread(void* context);  // DownloaderContext
void* Streamer_fileSaverThread(void* context);   // FileSaverContext

// Starts the UnLZMAer and the UnArchiver (Unarchiver_extractStage) behind input (which
// the caller fills and closes) into folder, and returns at once. The caller waits for the set's UnArchiver; the
// UnLZMAer ends by itself. *context (when given) receives the pipeline's record, to read
// its results after the UnArchiver has been joined. A thread that cannot start: a
// "[Streamer]" line and status 1.
StageThreadSet* Streamer_startUnLzmaUnarchive(RingBuffer* input, const char* folder,
                                              UnLzmaUnarchiveContext** context = nullptr);

// Downloads url into the file at path (created or emptied before the transfer; a link
// there is not followed). 1 when the transfer succeeded and every byte was written,
// flushed and closed; 0 otherwise. A target that cannot be opened or written is drained
// unsaved, so the transfer still ends. maxBytes above 0 bounds the body: a longer one is
// a failed transfer, and the file holds at most maxBytes of it. A stage thread that
// cannot start: a "[Streamer]" line, the ring closed, result 0.
int Streamer_downloadToFile(const char* url, const char* path, int64_t maxBytes = 0);

// Downloads url, decodes it and extracts the archive into folder while it arrives. 1 only
// when the transfer succeeded, the stream decoded whole and the archive was not cut.
// Joins the UnArchiver, closes both rings (releasing a Downloader that still sends after
// the archive ended), then joins the Downloader and the UnLZMAer, whose result it reads.
// A stage thread that cannot start: a "[Streamer]" line, its rings closed, result 0.
int Streamer_downloadAndUnarchive(const char* url, const char* folder);
