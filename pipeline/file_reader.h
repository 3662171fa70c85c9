// FileReader stage: a background thread copies an open file, from where the caller left
// it to its end, into a new ring, then closes the file and the ring. The consumer reads
// the bytes in order and without gaps, then gets -1. A consumer that wants no more closes
// the ring and the thread stops by itself. Chunks are written as far as they fit, so every
// delimited value that fits the ring can complete however the chunks fall.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/ring_buffer.h"

constexpr int32_t FILE_RING_ID = 3;
constexpr int32_t FILE_RING_SIZE = 204800;

struct FileReaderContext {
  FILE* file;        // owned by the stage, which closes it
  RingBuffer* ring;  // the output ring
};

// Takes over the file (open for reading, positioned at the first byte to deliver) and
// returns the new ring (id 3, 204800 bytes) at once, its thread running. Never NULL: a
// thread or record that cannot be made is logged and ends the process with status 1.
RingBuffer* Streamer_startFileReader(FILE* file);

// The thread body; always returns NULL.
void* Streamer_fileReaderThread(FileReaderContext* ctx);
