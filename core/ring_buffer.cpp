#include "core/ring_buffer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

namespace {

[[noreturn]] void failCreate(int32_t id, int32_t capacity, const char* why) {
  logMessage("[RingBuffer] Cannot create ring %d of %d bytes: %s\n", id, capacity, why);
  endProcess(1);
}

int32_t physicalIndex(const RingBuffer* ring, int32_t offset) {
  return static_cast<int32_t>((static_cast<int64_t>(ring->start) + offset) % ring->capacity);
}

// Offset (from start) of the first delimiter among the readable bytes [from, to), or -1.
int32_t findByte(const RingBuffer* ring, int32_t from, int32_t to, uint8_t delimiter) {
  int32_t offset = from;
  while (offset < to) {
    const int32_t index = physicalIndex(ring, offset);
    const int32_t run = std::min(to - offset, ring->capacity - index);
    const void* hit = memchr(ring->data + index, delimiter, static_cast<size_t>(run));
    if (hit != nullptr) {
      return offset + static_cast<int32_t>(static_cast<const uint8_t*>(hit) - (ring->data + index));
    }
    offset += run;
  }
  return -1;
}

// Places length bytes (length <= free) after the newest byte, in at most two copies.
void copyIn(RingBuffer* ring, const uint8_t* source, int32_t length) {
  if (ring->end == -1) {
    ring->end = ring->start;
    memcpy(ring->data + ring->end, source, static_cast<size_t>(length));
  } else if (ring->end < ring->start) {
    memcpy(ring->data + ring->end, source, static_cast<size_t>(length));
  } else {
    const int32_t first = std::min(length, ring->capacity - ring->end);
    memcpy(ring->data + ring->end, source, static_cast<size_t>(first));
    if (length > first) memcpy(ring->data, source + first, static_cast<size_t>(length - first));
  }
  ring->end = static_cast<int32_t>((static_cast<int64_t>(ring->end) + length) % ring->capacity);
}

// Waits (mutex held) until need bytes are free; false when the ring is closed first.
// The first time it must wait it wakes the reader, which may be looking for a delimiter
// that this writer cannot deliver until some bytes are taken.
bool waitForRoom(RingBuffer* ring, int32_t need) {
  while (RingBuffer_free(ring) < need) {
    if (ring->closed.load()) {
      ring->writerNeed = 0;
      return false;
    }
    if (ring->writerNeed == 0) {
      ring->writerNeed = need;
      pthread_cond_signal(&ring->dataCond);
    }
    pthread_cond_wait(&ring->spaceCond, &ring->mutex);
  }
  ring->writerNeed = 0;
  return true;
}

}  // namespace

RingBuffer* RingBuffer_create(int32_t id, int32_t capacity) {
  if (capacity < 1) failCreate(id, capacity, "the capacity must be at least 1");
  RingBuffer* ring = new (std::nothrow) RingBuffer{};
  if (ring == nullptr) failCreate(id, capacity, "out of memory");
  ring->data = static_cast<uint8_t*>(calloc(static_cast<size_t>(capacity), 1));
  if (ring->data == nullptr) failCreate(id, capacity, "out of memory");
  ring->id = id;
  ring->capacity = capacity;
  ring->start = 0;
  ring->end = -1;
  ring->closed.store(false);
  ring->writerNeed = 0;
  if (pthread_mutex_init(&ring->mutex, nullptr) != 0 ||
      pthread_cond_init(&ring->spaceCond, nullptr) != 0 ||
      pthread_cond_init(&ring->dataCond, nullptr) != 0) {
    failCreate(id, capacity, "cannot initialise its lock");
  }
  return ring;
}

int32_t RingBuffer_available(const RingBuffer* ring) {
  if (ring->end == -1) return 0;
  if (ring->end == ring->start) return ring->capacity;
  if (ring->end > ring->start) return ring->end - ring->start;
  return ring->capacity - ring->start + ring->end;
}

int32_t RingBuffer_free(const RingBuffer* ring) {
  return ring->capacity - RingBuffer_available(ring);
}

int32_t RingBuffer_write(RingBuffer* ring, const void* source, int32_t length) {
  if (length < 1) return 0;
  pthread_mutex_lock(&ring->mutex);
  if (!waitForRoom(ring, length)) {
    pthread_mutex_unlock(&ring->mutex);
    return -1;
  }
  copyIn(ring, static_cast<const uint8_t*>(source), length);
  pthread_cond_signal(&ring->dataCond);
  pthread_mutex_unlock(&ring->mutex);
  return length;
}

int32_t RingBuffer_writeSome(RingBuffer* ring, const void* source, int32_t length) {
  if (length < 1) return 0;
  pthread_mutex_lock(&ring->mutex);
  if (!waitForRoom(ring, 1)) {
    pthread_mutex_unlock(&ring->mutex);
    return -1;
  }
  const int32_t count = std::min(length, RingBuffer_free(ring));
  copyIn(ring, static_cast<const uint8_t*>(source), count);
  pthread_cond_signal(&ring->dataCond);
  pthread_mutex_unlock(&ring->mutex);
  return count;
}

int32_t RingBuffer_readLocked(RingBuffer* ring, void* destination, int32_t n) {
  int32_t readable;
  while ((readable = RingBuffer_available(ring)) == 0) {
    if (ring->closed.load()) return -1;
    pthread_cond_wait(&ring->dataCond, &ring->mutex);
  }
  uint8_t* out = static_cast<uint8_t*>(destination);
  const int32_t count = std::min(n, readable);
  const int32_t first = std::min(count, ring->capacity - ring->start);
  memcpy(out, ring->data + ring->start, static_cast<size_t>(first));
  if (count > first) memcpy(out + first, ring->data, static_cast<size_t>(count - first));
  if (count == readable) {
    ring->start = 0;
    ring->end = -1;
  } else {
    ring->start = physicalIndex(ring, count);
  }
  return count;
}

bool RingBuffer_writeAll(RingBuffer* ring, const void* source, int32_t length) {
  const auto* bytes = static_cast<const uint8_t*>(source);
  int32_t done = 0;
  while (done < length) {
    const int32_t n = RingBuffer_writeSome(ring, bytes + done, length - done);
    if (n < 0) return false;
    done += n;
  }
  return true;
}

int32_t RingBuffer_read(RingBuffer* ring, void* destination, int32_t n) {
  if (n < 1) return 0;
  pthread_mutex_lock(&ring->mutex);
  const int32_t count = RingBuffer_readLocked(ring, destination, n);
  pthread_cond_signal(&ring->spaceCond);
  pthread_mutex_unlock(&ring->mutex);
  return count;
}

int32_t RingBuffer_readReady(RingBuffer* ring, void* destination, int32_t n) {
  if (n < 1) return 0;
  pthread_mutex_lock(&ring->mutex);
  int32_t count = 0;
  if (RingBuffer_available(ring) > 0 || ring->closed.load()) {
    count = RingBuffer_readLocked(ring, destination, n);  // does not wait now
    pthread_cond_signal(&ring->spaceCond);
  }
  pthread_mutex_unlock(&ring->mutex);
  return count;
}

int32_t RingBuffer_readUntil(RingBuffer* ring, void* destination, int32_t size,
                             uint8_t delimiter) {
  if (size < 2) return -1;
  uint8_t* out = static_cast<uint8_t*>(destination);
  pthread_mutex_lock(&ring->mutex);
  // Bytes from start already known to hold no delimiter; only the first size matter.
  int32_t scanned = 0;
  int32_t cut = -1;
  for (;;) {
    const int32_t readable = RingBuffer_available(ring);
    const int32_t limit = std::min(readable, size);
    if (limit > scanned) {
      const int32_t found = findByte(ring, scanned, limit, delimiter);
      if (found >= 0) {
        const int32_t count = RingBuffer_readLocked(ring, out, found + 1);
        pthread_cond_signal(&ring->spaceCond);
        pthread_mutex_unlock(&ring->mutex);
        return count;
      }
      scanned = limit;
    }
    if (scanned == size) {
      cut = size - 1;  // the value cannot fit the destination
      break;
    }
    if (ring->closed.load()) {
      pthread_mutex_unlock(&ring->mutex);
      return -1;
    }
    // Neither side can move: the ring is full, or its writer waits for room the reader
    // would only make by taking bytes. Hand over what there is.
    if (readable > 0 && (readable == ring->capacity || ring->writerNeed > RingBuffer_free(ring))) {
      cut = readable;
      break;
    }
    pthread_cond_wait(&ring->dataCond, &ring->mutex);
  }
  const int32_t count = RingBuffer_readLocked(ring, out, cut);
  pthread_cond_signal(&ring->spaceCond);
  pthread_mutex_unlock(&ring->mutex);
  out[count] = 0;
  printf("***WARNING - STRING TOO LONG FOR ALLOC %d>%d! (RingBuffer_readUntil) [%s]\n", count,
         size, reinterpret_cast<const char*>(out));
  fflush(stdout);
  return count;
}

void RingBuffer_close(RingBuffer* ring) {
  pthread_mutex_lock(&ring->mutex);
  if (!ring->closed.load()) {
    ring->closed.store(true);
    pthread_cond_signal(&ring->dataCond);
    pthread_cond_signal(&ring->spaceCond);
  }
  pthread_mutex_unlock(&ring->mutex);
}

void RingBuffer_destroy(RingBuffer* ring) {
  if (ring == nullptr) return;
  pthread_cond_destroy(&ring->dataCond);
  pthread_cond_destroy(&ring->spaceCond);
  pthread_mutex_destroy(&ring->mutex);
  free(ring->data);
  delete ring;
}
