// PropertyStream readers: a stream is a sequence of values, each a byte string ended by one
// 0x00; a number is its decimal text (clamped to 64 bits, read as far as its digits go) and
// a boolean is true when its number is 1. The file readers take a buffered stream on the
// main thread and never fail (the end of the file reads as empty values); the ring readers
// run on a ring's consumer thread and give none (or -1) once the ring is closed and holds
// no complete value. Every value comes in a new zero-filled buffer of the size asked for,
// owned by the caller, or by the ReadRecordList that recorded it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "core/ring_buffer.h"

constexpr int32_t STRING_VALUE_SIZE = 1024;
constexpr int32_t NUMBER_VALUE_SIZE = 40;
constexpr int32_t READ_RECORD_CAPACITY = 10;

// The values of one archive entry header with their lengths (each counting its 0x00, or
// the bytes taken of a value cut to its buffer), in reading order. Zero-filled by its owner
// before first use; one thread only.
struct ReadRecordList {
  char** items;      // READ_RECORD_CAPACITY buffers, allocated at the first add
  int32_t* lengths;  // allocated with items
  int32_t capacity;
  int32_t count;
};

// Reads one value into a new buffer of size bytes (at least 2; smaller sizes read as 2).
// At most size - 1 bytes are taken: once they are stored, the warning
// "***WARNING - STRING TOO LONG FOR ALLOC %d>%d! (READSTRING) [%s]\n" goes to standard
// output and the rest of the value stays in the stream. A read error ends the value like
// the end of the file.
char* READSTRING(FILE* stream, const char* name, int32_t size);
char* readString(FILE* stream, const char* name);  // STRING_VALUE_SIZE
int64_t readLong(FILE* stream, const char* name);   // NUMBER_VALUE_SIZE text, parsed
bool readBool(FILE* stream, const char* name);      // readLong(...) == 1

// Reads one value from the ring into a new buffer of size bytes (at least 2; smaller sizes
// read as 2) and records it in list when one is given. NULL when the ring is closed and
// holds no complete value (an incomplete one stays). A value that does not fit the buffer
// is cut by RingBuffer_readUntil (size - 1 bytes, a warning, the rest read next).
char* readStreamValue(RingBuffer* ring, const char* name, int32_t size, ReadRecordList* list);
char* readStreamStringSized(RingBuffer* ring, const char* name, int32_t size);
char* readStreamString(RingBuffer* ring, const char* name);
char* readStreamStringRecorded(RingBuffer* ring, const char* name, ReadRecordList* list);
// The value parsed as a number; -1 at the end of the stream. A recorded text stays in list.
int64_t readStreamLongRecorded(RingBuffer* ring, const char* name, ReadRecordList* list);
int64_t readStreamLong(RingBuffer* ring, const char* name);

// Parses a number value: optional leading white space, an optional sign, then decimal
// digits up to the first other byte; no digits gives 0; out of range is clamped.
int64_t parseNumberValue(const char* text);

// Hands the buffer to the list (allocating its arrays at the first add). A list that is
// already full refuses it with a log line; the buffer then stays the caller's.
void addReadRecord(char* value, int32_t length, ReadRecordList* list);
// Releases every held buffer and empties the list; the arrays stay. NULL, or a list whose
// arrays were never allocated, changes nothing.
void clearReadRecords(ReadRecordList* list);
