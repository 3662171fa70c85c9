#include "tests/support/ring_keeper.h"

#include <mutex>
#include <vector>

namespace {
std::mutex keptLock;
std::vector<RingBuffer*>* kept = new std::vector<RingBuffer*>();
}  // namespace

RingBuffer* keepRing(RingBuffer* ring) {
  std::lock_guard<std::mutex> guard(keptLock);
  kept->push_back(ring);
  return ring;
}

RingBuffer* keptRing(int32_t id, int32_t capacity) {
  return keepRing(RingBuffer_create(id, capacity));
}
