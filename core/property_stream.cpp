#include "core/property_stream.h"

#include <cstdlib>

#include "core/log.h"

namespace {

char* newValueBuffer(int32_t size, const char* name) {
  char* buffer = static_cast<char*>(calloc(static_cast<size_t>(size), 1));
  if (buffer == nullptr) {
    logMessage("[PropertyStream] Out of memory for a value of %d bytes [%s]\n", size, name);
    endProcess(1);
  }
  return buffer;
}

}  // namespace

int64_t parseNumberValue(const char* text) {
  // strtoll skips white space, takes a sign, stops at the first non-digit and clamps.
  return strtoll(text, nullptr, 10);
}

char* READSTRING(FILE* stream, const char* name, int32_t size) {
  if (size < 2) size = 2;
  char* buffer = newValueBuffer(size, name);
  int32_t n = 0;
  for (;;) {
    const int c = getc(stream);
    if (c == 0 || c == EOF) return buffer;
    buffer[n++] = static_cast<char>(c);
    if (n == size - 1) {
      printf("***WARNING - STRING TOO LONG FOR ALLOC %d>%d! (READSTRING) [%s]\n", n, size, buffer);
      fflush(stdout);
      return buffer;
    }
  }
}

char* readString(FILE* stream, const char* name) {
  return READSTRING(stream, name, STRING_VALUE_SIZE);
}

int64_t readLong(FILE* stream, const char* name) {
  char* text = READSTRING(stream, name, NUMBER_VALUE_SIZE);
  const int64_t value = parseNumberValue(text);
  free(text);
  return value;
}

bool readBool(FILE* stream, const char* name) { return readLong(stream, name) == 1; }

char* readStreamValue(RingBuffer* ring, const char* name, int32_t size, ReadRecordList* list) {
  if (size < 2) size = 2;
  char* buffer = newValueBuffer(size, name);
  const int32_t n = RingBuffer_readUntil(ring, buffer, size, 0);
  if (n < 0) {
    free(buffer);
    return nullptr;
  }
  if (list != nullptr) addReadRecord(buffer, n, list);
  return buffer;
}

char* readStreamStringSized(RingBuffer* ring, const char* name, int32_t size) {
  return readStreamValue(ring, name, size, nullptr);
}

char* readStreamString(RingBuffer* ring, const char* name) {
  return readStreamValue(ring, name, STRING_VALUE_SIZE, nullptr);
}

char* readStreamStringRecorded(RingBuffer* ring, const char* name, ReadRecordList* list) {
  return readStreamValue(ring, name, STRING_VALUE_SIZE, list);
}

int64_t readStreamLongRecorded(RingBuffer* ring, const char* name, ReadRecordList* list) {
  char* text = readStreamValue(ring, name, NUMBER_VALUE_SIZE, list);
  if (text == nullptr) return -1;
  const int64_t value = parseNumberValue(text);
  if (list == nullptr) free(text);
  return value;
}

int64_t readStreamLong(RingBuffer* ring, const char* name) {
  return readStreamLongRecorded(ring, name, nullptr);
}

void addReadRecord(char* value, int32_t length, ReadRecordList* list) {
  if (list->items == nullptr) {
    list->items = static_cast<char**>(calloc(READ_RECORD_CAPACITY, sizeof(char*)));
    list->lengths = static_cast<int32_t*>(calloc(READ_RECORD_CAPACITY, sizeof(int32_t)));
    if (list->items == nullptr || list->lengths == nullptr) {
      logMessage("[PropertyStream] Out of memory for the read records\n");
      endProcess(1);
    }
    list->capacity = READ_RECORD_CAPACITY;
    list->count = 0;
  }
  if (list->count >= list->capacity) {
    logMessage("[PropertyStream] Read record list full (%d values), value not recorded\n",
               list->count);
    return;
  }
  list->items[list->count] = value;
  list->lengths[list->count] = length;
  ++list->count;
}

void clearReadRecords(ReadRecordList* list) {
  if (list == nullptr || list->items == nullptr) return;
  for (int32_t i = 0; i < list->count; ++i) {
    free(list->items[i]);
    list->items[i] = nullptr;
    list->lengths[i] = 0;
  }
  list->count = 0;
}
