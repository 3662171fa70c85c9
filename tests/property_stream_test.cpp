#include "core/property_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/ring_keeper.h"

namespace {

const std::string D("\0", 1);

// A real temporary file holding bytes, positioned at its start.
FILE* fileWith(const std::string& bytes) {
  FILE* file = tmpfile();
  EXPECT_NE(nullptr, file);
  EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), file));
  rewind(file);
  return file;
}

RingBuffer* ringWith(const std::string& bytes, bool closed) {
  RingBuffer* ring = keptRing(1, 4096);
  EXPECT_EQ(static_cast<int32_t>(bytes.size()),
            RingBuffer_write(ring, bytes.data(), static_cast<int32_t>(bytes.size())));
  if (closed) RingBuffer_close(ring);
  return ring;
}

std::string take(char* value) {
  std::string text = value == nullptr ? "<none>" : value;
  free(value);
  return text;
}

std::string warning(int32_t n, int32_t size, const std::string& text) {
  return "***WARNING - STRING TOO LONG FOR ALLOC " + std::to_string(n) + ">" +
         std::to_string(size) + "! (READSTRING) [" + text + "]\n";
}

struct FileCase {
  const char* name;
  std::string contents;
  std::vector<std::string> values;  // successive readString results
  std::string output;               // what goes to standard output meanwhile
};

TEST(PropertyStreamFile, ReadStringSequences) {
  const std::string v1023(1023, 'a'), v1030 = std::string(1023, 'b') + "cdefghi";
  const FileCase cases[] = {
      {"two values then empty ones", "abc" + D + "de" + D, {"abc", "de", "", ""}, ""},
      {"1023 bytes warn and leave their 0x00", v1023 + D + "next" + D, {v1023, "", "next"},
       warning(1023, 1024, v1023)},
      {"1022 bytes read cleanly", std::string(1022, 'z') + D + "n" + D,
       {std::string(1022, 'z'), "n"}, ""},
      {"1030 bytes are cut and resumed", v1030 + D + "x" + D,
       {std::string(1023, 'b'), "cdefghi", "x", ""}, warning(1023, 1024, std::string(1023, 'b'))},
      {"a partial last value", "ab" + D + "cd", {"ab", "cd", "", ""}, ""},
      {"an empty file", "", {"", ""}, ""},
      {"bytes are taken as they stand", "\x01\xff\x7f" + D, {"\x01\xff\x7f"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FILE* file = fileWith(c.contents);
    testing::internal::CaptureStdout();
    for (const auto& expected : c.values) EXPECT_EQ(expected, take(readString(file, "Value")));
    EXPECT_EQ(c.output, testing::internal::GetCapturedStdout());
    fclose(file);
  }
}

TEST(PropertyStreamFile, ReadStringSizedKeepsItsBufferTerminated) {
  FILE* file = fileWith("abcdef" + D);
  testing::internal::CaptureStdout();
  char* value = READSTRING(file, "Small", 4);
  EXPECT_EQ("abc", std::string(value));
  EXPECT_EQ('\0', value[3]);
  free(value);
  EXPECT_EQ("def", take(READSTRING(file, "Small", 4)));
  EXPECT_EQ(warning(3, 4, "abc") + warning(3, 4, "def"), testing::internal::GetCapturedStdout());
  fclose(file);
}

struct NumberCase {
  const char* text;
  int64_t number;
  bool boolean;
};

TEST(PropertyStreamFile, NumbersAndBooleans) {
  const NumberCase cases[] = {
      {"42", 42, false},
      {"-7", -7, false},
      {" 12", 12, false},
      {"+5", 5, false},
      {"42abc", 42, false},
      {"x1", 0, false},
      {"", 0, false},
      {"1", 1, true},
      {"01", 1, true},
      {"2", 2, false},
      {"true", 0, false},
      {"99999999999999999999", INT64_MAX, false},
      {"-99999999999999999999", INT64_MIN, false},
  };
  std::string contents;
  for (const auto& c : cases) contents += std::string(c.text) + D + c.text + D;
  FILE* file = fileWith(contents);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.number, readLong(file, "Number"));
    EXPECT_EQ(c.boolean, readBool(file, "Flag"));
    EXPECT_EQ(c.number, parseNumberValue(c.text));
  }
  // past the end: number 0, boolean false
  EXPECT_EQ(0, readLong(file, "Number"));
  EXPECT_FALSE(readBool(file, "Flag"));
  fclose(file);
}

TEST(PropertyStreamRing, StringAndNumberReaders) {
  struct Case {
    const char* name;
    std::string contents;
    bool closed;
    bool number;
    std::string expected;  // "<none>" for none
    int64_t expectedNumber;
    int32_t remaining;
  };
  const Case cases[] = {
      {"a complete value", "abc" + D, false, false, "abc", 0, 0},
      {"the first of two values", "abc" + D + "de" + D, false, false, "abc", 0, 3},
      {"an empty value", D + "x", false, false, "", 0, 1},
      {"a complete value in a closed ring", "abc" + D, true, false, "abc", 0, 0},
      {"a closed drained ring", "", true, false, "<none>", 0, 0},
      {"a closed drained ring as a number", "", true, true, "", -1, 0},
      {"an incomplete value stays", "ab", true, false, "<none>", 0, 2},
      {"an incomplete number stays", "12", true, true, "", -1, 2},
      {"a number", "-42" + D, false, true, "", -42, 0},
      {"a number with trailing text", "42abc" + D, false, true, "", 42, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RingBuffer* ring = ringWith(c.contents, c.closed);
    if (c.number) {
      EXPECT_EQ(c.expectedNumber, readStreamLong(ring, "Number"));
    } else {
      EXPECT_EQ(c.expected, take(readStreamString(ring, "Value")));
    }
    EXPECT_EQ(c.remaining, RingBuffer_available(ring));
  }
}

TEST(PropertyStreamRing, ValueLongerThanItsBufferIsCutAndResumed) {
  RingBuffer* ring = ringWith("abcdefghij" + D + "k" + D, false);
  ReadRecordList list{};
  testing::internal::CaptureStdout();
  char* first = readStreamValue(ring, "Short", 8, &list);
  char* second = readStreamValue(ring, "Short", 8, &list);
  EXPECT_EQ("***WARNING - STRING TOO LONG FOR ALLOC 7>8! (RingBuffer_readUntil) [abcdefg]\n",
            testing::internal::GetCapturedStdout());
  EXPECT_EQ("abcdefg", std::string(first));
  EXPECT_EQ("hij", std::string(second));
  // The recorded lengths add up to the stream's bytes, so a digest over them sees the stream.
  ASSERT_EQ(2, list.count);
  EXPECT_EQ(7, list.lengths[0]);
  EXPECT_EQ(4, list.lengths[1]);
  EXPECT_EQ("k", take(readStreamStringSized(ring, "Short", 8)));
  clearReadRecords(&list);
}

TEST(PropertyStreamRing, RecordedReadsKeepBuffersAndLengthsInOrder) {
  RingBuffer* ring = ringWith("abc" + D + "1234" + D + D, false);
  ReadRecordList list{};
  char* text = readStreamStringRecorded(ring, "Archive File Type", &list);
  EXPECT_EQ(1234, readStreamLongRecorded(ring, "Archive File Length", &list));
  char* empty = readStreamStringRecorded(ring, "Archive File Path", &list);
  ASSERT_EQ(3, list.count);
  EXPECT_EQ(READ_RECORD_CAPACITY, list.capacity);
  EXPECT_EQ(text, list.items[0]);
  EXPECT_EQ("abc", std::string(list.items[0]));
  EXPECT_EQ("1234", std::string(list.items[1]));
  EXPECT_EQ(empty, list.items[2]);
  EXPECT_EQ(4, list.lengths[0]);
  EXPECT_EQ(5, list.lengths[1]);
  EXPECT_EQ(1, list.lengths[2]);
  // Unrecorded reads leave the list alone.
  RingBuffer* more = ringWith("7" + D, true);
  EXPECT_EQ(7, readStreamLong(more, "Number"));
  EXPECT_EQ(3, list.count);

  char** items = list.items;
  clearReadRecords(&list);
  EXPECT_EQ(0, list.count);
  EXPECT_EQ(items, list.items);
  EXPECT_EQ(nullptr, list.items[0]);
}

TEST(PropertyStreamRing, ClearOnANeverUsedListChangesNothing) {
  ReadRecordList list{};
  clearReadRecords(&list);
  clearReadRecords(nullptr);
  EXPECT_EQ(nullptr, list.items);
  EXPECT_EQ(nullptr, list.lengths);
  EXPECT_EQ(0, list.capacity);
  EXPECT_EQ(0, list.count);
}

TEST(PropertyStreamRing, EleventhRecordIsRefusedButStillReturned) {
  std::string contents;
  for (int i = 0; i <= READ_RECORD_CAPACITY; ++i) contents += "v" + std::to_string(i) + D;
  RingBuffer* ring = ringWith(contents, true);
  ReadRecordList list{};
  for (int i = 0; i < READ_RECORD_CAPACITY; ++i) readStreamStringRecorded(ring, "Value", &list);
  testing::internal::CaptureStdout();
  char* eleventh = readStreamStringRecorded(ring, "Value", &list);
  const std::string output = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos,
            output.find("[PropertyStream] Read record list full (10 values), value not recorded\n"));
  EXPECT_EQ("v10", take(eleventh));
  EXPECT_EQ(READ_RECORD_CAPACITY, list.count);
  EXPECT_EQ("v9", std::string(list.items[9]));
  // After a clear the list takes values again.
  clearReadRecords(&list);
  addReadRecord(strdup("again"), 6, &list);
  EXPECT_EQ(1, list.count);
  EXPECT_EQ("again", std::string(list.items[0]));
  clearReadRecords(&list);
}

}  // namespace
