#include "pipeline/file_reader.h"

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

void* runFileReader(void* ctx) {
  return Streamer_fileReaderThread(static_cast<FileReaderContext*>(ctx));
}

[[noreturn]] void failStart(const char* why) {
  logMessage("[Streamer] [FileReader] Cannot start: %s\n", why);
  endProcess(1);
}

}  // namespace

RingBuffer* Streamer_startFileReader(FILE* file) {
  RingBuffer* ring = RingBuffer_create(FILE_RING_ID, FILE_RING_SIZE);
  auto* ctx = static_cast<FileReaderContext*>(calloc(1, sizeof(FileReaderContext)));
  if (ctx == nullptr) failStart("out of memory");
  ctx->file = file;
  ctx->ring = ring;
  // Nobody ever waits for the thread: detached, its resources go when it ends.
  pthread_t thread;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0 ||
      pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0) {
    failStart("cannot set up the thread");
  }
  const int error = pthread_create(&thread, &attributes, runFileReader, ctx);
  pthread_attr_destroy(&attributes);
  if (error != 0) failStart(strerror(error));
  return ring;
}

void* Streamer_fileReaderThread(FileReaderContext* ctx) {
  logMessage("[Streamer] [FileReader] Starting...\n");
  auto* buffer = static_cast<uint8_t*>(calloc(STREAM_CHUNK_SIZE, 1));
  if (buffer == nullptr) failStart("out of memory");
  for (;;) {
    if (ctx->ring->closed.load()) break;
    const size_t n = fread(buffer, 1, STREAM_CHUNK_SIZE, ctx->file);
    if (n == 0) break;
    fflush(stdout);
    // A refused write means the consumer closed the ring: the next pass stops.
    RingBuffer_writeAll(ctx->ring, buffer, static_cast<int32_t>(n));
    if (feof(ctx->file)) break;
  }
  fclose(ctx->file);
  RingBuffer_close(ctx->ring);
  logMessage("[Streamer] [FileReader] Done.\n");
  // Nothing else refers to them any more.
  free(buffer);
  free(ctx);
  return nullptr;
}
