// RingBuffer: bounded blocking byte queue between exactly one producer thread and one
// consumer thread. RingBuffer_write is all-or-nothing (waits until the whole block fits);
// RingBuffer_writeSome waits only while the ring is full and takes what fits, and
// RingBuffer_writeAll places a block of any length piece by piece. Either side
// may close: readers drain what is left and then get -1; a writer that would have to wait
// gets -1. Creation that cannot allocate ends the process; a ring lives until
// RingBuffer_destroy, which only its last user calls, once neither side can touch it.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// The chunk size of the streaming stages that feed and drain rings.
constexpr int32_t STREAM_CHUNK_SIZE = 51200;

struct RingBuffer {
  uint8_t* data;     // capacity bytes, owned by the ring
  int32_t id;        // a label only; rings may share one
  int32_t capacity;  // at least 1, fixed
  int32_t start;     // oldest unread byte; 0 whenever the ring is empty
  int32_t end;       // one past the newest byte, modulo capacity; -1 when empty
  // Set once under the mutex; atomic so a producer may look at it without the lock.
  std::atomic<bool> closed;
  pthread_mutex_t mutex;
  pthread_cond_t spaceCond;  // a writer waits here for room
  pthread_cond_t dataCond;   // a reader waits here for bytes
  // Bytes a writer is waiting to place (0 when none is waiting), so that a reader
  // looking for a delimiter can tell when neither side can move any more.
  int32_t writerNeed;
};

// A zero-filled ring of capacity bytes (at least 1), open and empty. Never NULL: when the
// ring cannot be made, a message is logged and the process ends with status 1.
RingBuffer* RingBuffer_create(int32_t id, int32_t capacity);

// Appends the whole block, waiting for room. Returns length, 0 for length < 1 (at once,
// without the lock), or -1 when it would have to wait on a closed ring. A block that fits
// is accepted even after the close; a block longer than capacity waits for the close.
int32_t RingBuffer_write(RingBuffer* ring, const void* source, int32_t length);

// Appends as much of the block as fits, waiting only while the ring is full. Returns the
// count taken (1 to length), 0 for length < 1, or -1 when full and closed.
int32_t RingBuffer_writeSome(RingBuffer* ring, const void* source, int32_t length);

// Places the whole block, waiting only while the ring is full, so that a block may be
// larger than the ring and a reader waiting for the rest of a value is never held up
// behind it. True once every byte is in (at once for length < 1); false once the
// consumer has closed the ring and no room is left (the bytes before stay placed).
bool RingBuffer_writeAll(RingBuffer* ring, const void* source, int32_t length);

// Takes up to n bytes (n < 1 gives 0 at once), waiting while the ring is empty and open.
// Returns the count taken, or -1 once the ring is closed and drained.
int32_t RingBuffer_read(RingBuffer* ring, void* destination, int32_t n);

// Takes up to n bytes that are already there, without waiting: the count taken, 0 when
// the ring is open and empty (or n < 1), -1 once it is closed and drained.
int32_t RingBuffer_readReady(RingBuffer* ring, void* destination, int32_t n);

// Takes every byte up to and including the first delimiter, waiting until one is readable,
// and returns that count; -1 when the ring is closed and holds no complete value (the
// incomplete bytes stay). Never writes past destination (size at least 2, else -1):
// a value that cannot fit there (its delimiter not among the first size bytes), or one
// that can never complete because the ring is full or its writer waits for room, is cut:
// min(size - 1, readable) bytes are taken, followed in destination by a 0x00, a warning
// goes to standard output and the rest stays in the ring for the next call.
int32_t RingBuffer_readUntil(RingBuffer* ring, void* destination, int32_t size,
                             uint8_t delimiter);

// Marks the ring closed and wakes both sides; a second close changes nothing.
void RingBuffer_close(RingBuffer* ring);

// Frees the ring and its bytes (null: nothing happens). Only once no thread uses it or
// waits on it any more (both sides joined or done with it): no call on it may follow.
void RingBuffer_destroy(RingBuffer* ring);

// The body of RingBuffer_read; the caller holds the mutex.
int32_t RingBuffer_readLocked(RingBuffer* ring, void* destination, int32_t n);
// Readable and free byte counts; the caller holds the mutex.
int32_t RingBuffer_available(const RingBuffer* ring);
int32_t RingBuffer_free(const RingBuffer* ring);
