// LaunchPropertyList: the properties handed to the Java program, as entries separated by
// one 0x00 and ended by two; a property is a key entry ("hvstat_" or "hvdyna_" + key) then
// a value entry (0x04 for an empty value). The list carries its capacity: an append that
// does not fit is refused whole with a log line, so the buffer is never overrun and the
// list stays well-formed. The file form is the entries without the final terminator.
// One thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>

struct LaunchPropertyList {
  char* buffer;      // zero-filled by its owner before first use
  int32_t capacity;  // bytes in buffer, at least 2
};

// A new zero-filled (empty) list of capacity bytes. Never NULL: a list that cannot be made
// is logged and ends the process with status 1.
LaunchPropertyList* propListCreate(int32_t capacity);

// The index of the first 0x00 of the terminating pair: 0 for an empty list; -1 when the
// buffer holds no pair (never for a list built with these operations).
int32_t propListEnd(const LaunchPropertyList* list);

// The operations return 0, or -1 when the addition does not fit (nothing is changed).
// Appends the text as a new entry (0x04 for an empty text).
int32_t propListAppend(LaunchPropertyList* list, const char* text);
// Joins the text onto the end of the last entry (an empty text changes nothing).
int32_t propListAppendToLast(LaunchPropertyList* list, const char* text);
// Appends "hvstat_" + key, then the value; both entries or neither (logged, naming the key).
int32_t putStaticProperty(LaunchPropertyList* list, const char* key, const char* value);
// The same with "hvdyna_".
int32_t putDynamicProperty(LaunchPropertyList* list, const char* key, const char* value);

// Writes the file form (the first propListEnd bytes); 0, or -1 when not all were written.
int32_t propListWriteFile(const LaunchPropertyList* list, FILE* file);
