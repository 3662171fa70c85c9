#include "core/launch_property_list.h"

#include <cstdlib>
#include <cstring>

#include "core/log.h"

namespace {

const char STATIC_PREFIX[] = "hvstat_";
const char DYNAMIC_PREFIX[] = "hvdyna_";
const char EMPTY_VALUE[] = "\x04";

// Where a new entry begins: after the separator, or at 0 in an empty list.
int64_t entryStart(int32_t end) { return end > 0 ? end + 1 : 0; }

// Whether bytes written from index `from`, plus the terminating pair, fit the buffer.
bool fits(const LaunchPropertyList* list, int32_t end, int64_t from, int64_t bytes) {
  return end >= 0 && from + bytes + 2 <= list->capacity;
}

void placeAt(LaunchPropertyList* list, int64_t at, const char* text, size_t length) {
  memcpy(list->buffer + at, text, length);
  list->buffer[at + static_cast<int64_t>(length)] = 0;
  list->buffer[at + static_cast<int64_t>(length) + 1] = 0;
}

int32_t putProperty(LaunchPropertyList* list, const char* prefix, const char* key,
                    const char* value) {
  const int32_t end = propListEnd(list);
  const size_t keyLength = strlen(prefix) + strlen(key);
  const size_t valueLength = value[0] == 0 ? 1 : strlen(value);
  // key entry, separator, value entry
  const int64_t bytes = static_cast<int64_t>(keyLength + 1 + valueLength);
  if (!fits(list, end, entryStart(end), bytes)) {
    logMessage("[LaunchProperties] Property %s%s dropped: %lld more bytes do not fit the list "
               "(%d of %d bytes in use)\n",
               prefix, key, static_cast<long long>(bytes), end < 0 ? list->capacity : end,
               list->capacity);
    return -1;
  }
  propListAppend(list, prefix);
  propListAppendToLast(list, key);
  propListAppend(list, value);
  return 0;
}

}  // namespace

LaunchPropertyList* propListCreate(int32_t capacity) {
  auto* list = static_cast<LaunchPropertyList*>(calloc(1, sizeof(LaunchPropertyList)));
  if (capacity >= 2 && list != nullptr) {
    list->buffer = static_cast<char*>(calloc(static_cast<size_t>(capacity), 1));
  }
  if (list == nullptr || list->buffer == nullptr) {
    logMessage("[LaunchProperties] Cannot create a property list of %d bytes\n", capacity);
    endProcess(1);
  }
  list->capacity = capacity;
  return list;
}

int32_t propListEnd(const LaunchPropertyList* list) {
  const char* at = list->buffer;
  const char* limit = list->buffer + list->capacity;
  while (at < limit) {
    const char* zero = static_cast<const char*>(memchr(at, 0, static_cast<size_t>(limit - at)));
    if (zero == nullptr || zero + 1 >= limit) return -1;
    if (zero[1] == 0) return static_cast<int32_t>(zero - list->buffer);
    at = zero + 1;
  }
  return -1;
}

int32_t propListAppend(LaunchPropertyList* list, const char* text) {
  if (text[0] == 0) text = EMPTY_VALUE;
  const int32_t end = propListEnd(list);
  const size_t length = strlen(text);
  if (!fits(list, end, entryStart(end), static_cast<int64_t>(length))) {
    logMessage("[LaunchProperties] Entry of %zu bytes dropped: the list is full\n", length);
    return -1;
  }
  placeAt(list, entryStart(end), text, length);
  return 0;
}

int32_t propListAppendToLast(LaunchPropertyList* list, const char* text) {
  const size_t length = strlen(text);
  if (length == 0) return 0;
  const int32_t end = propListEnd(list);
  if (!fits(list, end, end, static_cast<int64_t>(length))) {
    logMessage("[LaunchProperties] Entry of %zu bytes dropped: the list is full\n", length);
    return -1;
  }
  placeAt(list, end, text, length);
  return 0;
}

int32_t putStaticProperty(LaunchPropertyList* list, const char* key, const char* value) {
  return putProperty(list, STATIC_PREFIX, key, value);
}

int32_t putDynamicProperty(LaunchPropertyList* list, const char* key, const char* value) {
  return putProperty(list, DYNAMIC_PREFIX, key, value);
}

int32_t propListWriteFile(const LaunchPropertyList* list, FILE* file) {
  const int32_t end = propListEnd(list);
  if (end < 0) return -1;
  const size_t length = static_cast<size_t>(end);
  return fwrite(list->buffer, 1, length, file) == length ? 0 : -1;
}
