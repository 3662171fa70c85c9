#include "core/launch_property_list.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

const std::string D("\0", 1);

struct List {
  explicit List(int32_t capacity) : list(propListCreate(capacity)) {}
  ~List() {
    free(list->buffer);
    free(list);
  }
  // The bytes up to and including the terminating pair.
  std::string bytes() const {
    const int32_t end = propListEnd(list);
    return std::string(list->buffer, static_cast<size_t>(end < 0 ? list->capacity : end + 2));
  }
  bool untouchedAfter(int32_t from) const {
    for (int32_t i = from; i < list->capacity; ++i) {
      if (list->buffer[i] != 0) return false;
    }
    return true;
  }
  std::string fileForm() const {
    FILE* file = tmpfile();
    EXPECT_EQ(0, propListWriteFile(list, file));
    const long size = ftell(file);
    rewind(file);
    std::string text(static_cast<size_t>(size), '\0');
    EXPECT_EQ(text.size(), fread(text.data(), 1, text.size(), file));
    fclose(file);
    return text;
  }
  LaunchPropertyList* list;
};

struct LayoutCase {
  const char* name;
  std::function<void(LaunchPropertyList*)> build;
  std::string layout;  // entries and the terminating pair
  int32_t end;
};

TEST(LaunchPropertyList, Layouts) {
  const LayoutCase cases[] = {
      {"a zero-filled buffer is empty", [](LaunchPropertyList*) {}, D + D, 0},
      {"one static property",
       [](LaunchPropertyList* l) { putStaticProperty(l, "app_name", "x"); },
       "hvstat_app_name" + D + "x" + D + D, 17},
      {"one dynamic property", [](LaunchPropertyList* l) { putDynamicProperty(l, "k", "v"); },
       "hvdyna_k" + D + "v" + D + D, 10},
      {"an empty value is 0x04", [](LaunchPropertyList* l) { putStaticProperty(l, "k", ""); },
       "hvstat_k" + D + "\x04" + D + D, 10},
      {"an empty key leaves the prefix", [](LaunchPropertyList* l) { putDynamicProperty(l, "", "v"); },
       "hvdyna_" + D + "v" + D + D, 9},
      {"two properties keep their order",
       [](LaunchPropertyList* l) {
         putStaticProperty(l, "a", "1");
         putDynamicProperty(l, "b", "2");
       },
       "hvstat_a" + D + "1" + D + "hvdyna_b" + D + "2" + D + D, 21},
      {"appending an empty text gives 0x04",
       [](LaunchPropertyList* l) {
         propListAppend(l, "a");
         propListAppend(l, "");
       },
       "a" + D + "\x04" + D + D, 3},
      {"joining an empty text changes nothing",
       [](LaunchPropertyList* l) {
         propListAppend(l, "ab");
         propListAppendToLast(l, "");
       },
       "ab" + D + D, 2},
      {"joining onto an empty list starts the first entry",
       [](LaunchPropertyList* l) { propListAppendToLast(l, "ab"); }, "ab" + D + D, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    List list(64);
    c.build(list.list);
    EXPECT_EQ(c.end, propListEnd(list.list));
    EXPECT_EQ(c.layout, list.bytes());
    EXPECT_TRUE(list.untouchedAfter(static_cast<int32_t>(c.layout.size())));
    // The file form: the entries and separators, no terminator.
    EXPECT_EQ(c.layout.substr(0, c.layout.size() - 2), list.fileForm());
  }
}

TEST(LaunchPropertyList, FileFormOfOnePropertyIsSeventeenBytes) {
  List list(200000);
  ASSERT_EQ(0, putStaticProperty(list.list, "app_name", "x"));
  const std::string file = list.fileForm();
  EXPECT_EQ(17u, file.size());
  EXPECT_EQ("hvstat_app_name" + D + "x", file);
}

struct RefusalCase {
  const char* name;
  int32_t capacity;
  std::vector<std::pair<std::string, std::string>> earlier;  // dynamic properties that fit
  std::string key;
  size_t valueLength;
  int32_t expected;
};

// An addition that does not fit is refused whole, names its key in the log, and leaves the
// list as it was: well-formed and never written past.
TEST(LaunchPropertyList, AppendsThatDoNotFitAreRefusedWhole) {
  const RefusalCase cases[] = {
      {"exactly fits", 19, {}, "app_name", 1, 0},
      {"one byte short", 18, {}, "app_name", 1, -1},
      {"exactly fits after an earlier property", 30, {{"a", "1"}}, "app_name", 1, 0},
      {"one byte short after an earlier property", 29, {{"a", "1"}}, "app_name", 1, -1},
      {"a long Params value that fits", 200000, {}, "big", 199980, 0},
      {"the longest Params value does not fit", 200000, {}, "big", 199999, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    List list(c.capacity);
    for (const auto& [key, value] : c.earlier) {
      ASSERT_EQ(0, putDynamicProperty(list.list, key.c_str(), value.c_str()));
    }
    const std::string before = list.bytes();
    const std::string value(c.valueLength, 'v');
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.expected, putDynamicProperty(list.list, c.key.c_str(), value.c_str()));
    const std::string log = testing::internal::GetCapturedStdout();
    if (c.expected == 0) {
      EXPECT_EQ("", log);
      EXPECT_EQ(before.substr(0, before.size() - 2) + (before.size() > 2 ? D : "") + "hvdyna_" +
                    c.key + D + value + D + D,
                list.bytes());
    } else {
      EXPECT_NE(std::string::npos, log.find("[LaunchProperties] Property hvdyna_" + c.key + " dropped"))
          << log;
      EXPECT_EQ(before, list.bytes());
      EXPECT_TRUE(list.untouchedAfter(static_cast<int32_t>(before.size())));
    }
  }
}

TEST(LaunchPropertyList, SingleEntriesThatDoNotFitAreRefused) {
  List list(6);
  EXPECT_EQ(0, propListAppend(list.list, "ab"));     // "ab" 0 0
  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, propListAppend(list.list, "cd"));    // would need 7 bytes
  EXPECT_EQ(-1, propListAppendToLast(list.list, "cde"));
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, log.find("[LaunchProperties] Entry of 2 bytes dropped"));
  EXPECT_EQ(0, propListAppendToLast(list.list, "cd"));  // "abcd" 0 0 fills it
  EXPECT_EQ("abcd" + D + D, list.bytes());
}

TEST(LaunchPropertyListDeathTest, CreationThatCannotAllocateEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        dup2(2, 1);
        propListCreate(1);
      },
      testing::ExitedWithCode(1), "\\[LaunchProperties\\] Cannot create a property list of 1 bytes");
}

}  // namespace
