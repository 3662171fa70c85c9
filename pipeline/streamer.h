// Streamer: the package pipelines, stage threads joined by rings so that download,
// decompression and extraction overlap in bounded memory. Starters are called from one
// thread at a time, and never two downloads at once. Stage records are zero-filled by
// their starter and filled before the threads start; a stage's result is read from its
// record only after its thread has been joined. Only a nested archive's stages are
// freed (Streamer_freeNestedStages), the others live until the process ends. No stage waits for ever:
// every producer closes its output at the end of its data, and a consumer that stops
// early closes its input so that its producer is released.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "core/ring_buffer.h"

struct ArchiveTree;

constexpr int32_t PIPELINE_RING_SIZE = 102400;
constexpr int32_t FILE_SAVER_CHUNK_SIZE = 1000;
constexpr int32_t DOWNLOAD_FILE_RING_ID = 4;
constexpr int32_t DOWNLOAD_RING_ID = 1;
constexpr int32_t DECODED_RING_ID = 2;
constexpr int32_t UNARCHIVE_RING_ID = 5;

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

struct UnLzmaUnarchiveContext {
  RingBuffer* input;   // compressed data
  RingBuffer* output;  // decompressed data, the UnArchiver's input
  const char* folder;  // borrowed
  // Streamer_unLzma's result: 0 decoded whole (or its consumer stopped), 1 failed or cut.
  int32_t unLzmaResult;
  int32_t archiveCut;    // Unarchiver_extractArchive's result: 1 the archive ended early
  // Null for an outermost archive; else what the outermost archive shares with it.
  ArchiveTree* tree;
  // Behind a download, its DownloaderContext's transferFailed; else null.
  const std::atomic<bool>* transferFailed;
  // The compressed bytes the UnLZMAer has taken from input so far: behind a download
  // they bound what the archive may write before its check.
  std::atomic<uint64_t> compressedBytes;
  // Fuzz builds only: 1 + the status of a fatal end met on either stage thread, 0 none.
  std::atomic<int32_t> stageEnd;
};

// Thread handles in this order; a slot whose thread was never started stays unset.
struct StageThreadSet {
  pthread_t downloader;
  pthread_t unArchiver;
  pthread_t unLzmaer;
  bool downloaderStarted;
  bool unArchiverStarted;
  bool unLzmaerStarted;
};

// Decodes one .xz or legacy .lzma stream from input into output. 0 when the stream ended
// (LZMA_STREAM_END), or when the consumer closed output (it wanted no more, even when the
// input then ends before the stream's last bytes); 1 on a decoder error or when the input
// ended before the stream did while the consumer still read. Data after the end of
// the stream are never decoded. Closes input and output before it returns, and stops
// when a write to output gives -1. Decoder errors go to standard error. The blocks of an
// .xz stream that carry their sizes (multi-threaded encoders write them so) are decoded
// on up to four threads of the decoder's own, as many as fit in 128 MiB; other streams
// are decoded on the calling thread. Either way the output and the result are the same.
int Streamer_unLzma(RingBuffer* input, RingBuffer* output);

// Stage thread bodies; each takes its record and returns null.
void* Streamer_downloaderThread(void* context);  // DownloaderContext
void* Streamer_fileSaverThread(void* context);   // FileSaverContext
void* Streamer_unLzmaThread(void* context);      // UnLzmaUnarchiveContext
void* Streamer_unArchiverThread(void* context);  // UnLzmaUnarchiveContext

// Starts the UnLZMAer and the UnArchiver behind input (which the caller fills and closes)
// into folder, and returns at once. The caller waits for the set's UnArchiver; the
// UnLZMAer ends by itself. *context (when given) receives the pipeline's record, to read
// its results after the UnArchiver has been joined. A thread that cannot start: a
// "[Streamer]" line and status 1.
StageThreadSet* Streamer_startUnLzmaUnarchive(RingBuffer* input, const char* folder,
                                              UnLzmaUnarchiveContext** context = nullptr);
// The same for an archive nested in another: its UnArchiver shares tree, the outermost
// archive's (its pack200 files wait there instead of running).
StageThreadSet* Streamer_startNestedUnLzmaUnarchive(RingBuffer* input, const char* folder,
                                                    ArchiveTree* tree,
                                                    UnLzmaUnarchiveContext** context);
// Frees what Streamer_startNestedUnLzmaUnarchive made (the set, the record and its
// output ring; the caller's input ring stays), once both of its threads are joined.
// Fuzz builds only (elsewhere a fatal end on a stage thread ends the process there): a
// stage that met a fatal end kept its status and closed both of its rings, releasing
// its partner and the thread that feeds it; after the frees the caller's thread then
// ends the same way.
void Streamer_freeNestedStages(StageThreadSet* threads, UnLzmaUnarchiveContext* context);

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
