// Rings live until the process ends and are never freed; tests keep every ring they make
// reachable here so that the leak checker of the address-sanitizer build does not report
// them when a test's own pointer goes out of scope.
#pragma once

#include <cstdint>

#include "core/ring_buffer.h"

// Keeps the ring for the rest of the process and returns it.
RingBuffer* keepRing(RingBuffer* ring);
// RingBuffer_create, kept.
RingBuffer* keptRing(int32_t id, int32_t capacity);
