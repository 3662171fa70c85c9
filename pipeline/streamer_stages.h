// Streamer stages: the LZMA decoder and the pair of stage threads behind a ring that
// decode an archive and extract it (UnLZMAer -> ring -> UnArchiver). The pair runs the
// extraction its starter names, so the outermost pipelines (pipeline/streamer.h) and the
// Unarchiver, for an archive nested in another, start the same pair. Records are
// zero-filled by their starter and read only after the threads have been joined.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "core/ring_buffer.h"
#include "pipeline/unarchiver_tree.h"

constexpr int32_t PIPELINE_RING_SIZE = 102400;
constexpr int32_t UNARCHIVE_RING_ID = 5;

struct UnLzmaUnarchiveContext;
// Extracts the archive decoded into context->output: 0 read whole, 1 cut.
using StageExtraction = int32_t (*)(UnLzmaUnarchiveContext* context);

struct UnLzmaUnarchiveContext {
  RingBuffer* input;   // compressed data
  RingBuffer* output;  // decompressed data, the UnArchiver's input
  const char* folder;  // borrowed
  // Streamer_unLzma's result: 0 decoded whole (or its consumer stopped), 1 failed or cut.
  int32_t unLzmaResult;
  int32_t archiveCut;    // the extraction's result: 1 the archive ended early
  // Null for an outermost archive; else what the outermost archive shares with it.
  ArchiveTree* tree;
  // What the UnArchiver stage runs on this record (its result becomes archiveCut).
  StageExtraction extract;
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

// Stage thread bodies; each takes its UnLzmaUnarchiveContext and returns null.
void* Streamer_unLzmaThread(void* context);
void* Streamer_unArchiverThread(void* context);  // runs the record's extract

// Starts the UnLZMAer and the UnArchiver (running extract) behind input, which the
// caller fills and closes, into folder, and returns at once; tree is null for an
// outermost archive, else the outermost archive's, which a nested one shares (its
// pack200 files wait there instead of running). The caller joins the set's UnArchiver;
// the UnLZMAer ends by itself. *context (when given) receives the record, to read its
// results after the joins. A thread that cannot start: a "[Streamer]" line, status 1.
StageThreadSet* Streamer_startStages(RingBuffer* input, const char* folder, ArchiveTree* tree,
                                     StageExtraction extract, UnLzmaUnarchiveContext** context);
// Frees what Streamer_startStages made for a nested archive (the set, the record and its
// output ring; the caller's input ring stays), once both of its threads are joined.
// Fuzz builds only (elsewhere a fatal end on a stage thread ends the process there): a
// stage that met a fatal end kept its status and closed both of its rings, releasing
// its partner and the thread that feeds it; after the frees the caller's thread then
// ends the same way.
void Streamer_freeNestedStages(StageThreadSet* threads, UnLzmaUnarchiveContext* context);

