#include "core/install_folders.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/fileops.h"
#include "core/install_modes.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/timeutil.h"

namespace {

const char SHARED_DIR_NAME[] = "/.Halvorin";
const char PLUGIN_SUFFIX[] = ".plugin";
const char TEMP_FOLDER_PREFIX[] = "HalvorinTemp-";

// Entries one listing yields, "." and ".." included; 0 when it cannot be listed.
int32_t entryCount(const char* folder) {
  DIR* dir = opendir(folder);
  if (dir == nullptr) return 0;
  int32_t count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// dst := parent joined with name, built aside so dst may be the parent itself.
char* joinName(char* dst, const char* parent, const char* name, bool nameFits) {
  char joined[PATH_BUFFER_SIZE];
  if (!nameFits) {
    logMessage("[Utils] Folder name too long, refused in '%.200s'\n", parent);
    dst[0] = 0;
    return nullptr;
  }
  if (setString(joined, parent) == nullptr || appendPath(joined, name) == nullptr) {
    dst[0] = 0;
    return nullptr;
  }
  memcpy(dst, joined, strlen(joined) + 1);
  return dst;
}

// The n-th '-' (from 1) of text, or NULL.
const char* nthDash(const char* text, int n) {
  const char* at = strchr(text, '-');
  for (int i = 1; i < n && at != nullptr; ++i) at = strchr(at + 1, '-');
  return at;
}

// [begin, end) read the way atol reads text, saturated at the signed 64-bit limits.
int64_t readDecimal(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end && isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  uint64_t value = 0;
  const uint64_t limit = negative ? static_cast<uint64_t>(INT64_MAX) + 1 : INT64_MAX;
  for (; p < end && isdigit(static_cast<unsigned char>(*p)); ++p) {
    const unsigned digit = static_cast<unsigned>(*p - '0');
    value = value > (limit - digit) / 10 ? limit : value * 10 + digit;
  }
  if (!negative) return static_cast<int64_t>(value);
  return value == limit ? INT64_MIN : -static_cast<int64_t>(value);
}

}  // namespace

char* getInstallBaseFolder(const char* installType) {
  char* shared = static_cast<char*>(calloc(PATH_BUFFER_SIZE, 1));
  if (shared == nullptr) {
    logMessage("[Utils] Out of memory\n");
    endProcess(1);
  }
  const char* type = installType == nullptr ? "" : installType;
  if (strcmp(type, "perm_all") == 0) {
    logMessage("Permanent install for all users\n");
    setString(shared, "/opt");
    return shared;
  }
  if (strcmp(type, "perm_user") == 0) {
    logMessage("Permanent install for current user\n");
  } else {
    logMessage("Temporary install\n");
  }
  // The password database, not HOME: the install must not follow a changed environment.
  const uid_t uid = getuid();
  const struct passwd* entry = getpwuid(uid);
  if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] == '\0') {
    logBanner("No home folder for user id %u in the password database! Cannot install.\n",
              static_cast<unsigned>(uid));
    endProcess(1);
  }
  logMessage("HomeDir is %s\n", entry->pw_dir);
  if (!formatText(shared, PATH_BUFFER_SIZE, "%s%s", entry->pw_dir, SHARED_DIR_NAME)) {
    logBanner("Home folder path too long! Cannot install.\n");
    endProcess(1);
  }
  ensureFolder(shared);
  return shared;
}

char* makeCompleteFolderName(char* dst, const char* parent, const char* name,
                             const char* version) {
  char folder[PATH_BUFFER_SIZE];
  const bool fits = formatText(folder, sizeof folder, "Halvorin-%s-%s-complete", name, version);
  return joinName(dst, parent, folder, fits);
}

namespace {

char* makeTempFolderNameAt(char* dst, const char* parent, long seconds, int32_t count) {
  char folder[PATH_BUFFER_SIZE];
  const bool fits = formatText(folder, sizeof folder, "%s%ld-%d-app", TEMP_FOLDER_PREFIX, seconds, count);
  return joinName(dst, parent, folder, fits);
}

}  // namespace

char* makeTempFolderName(char* dst, const char* parent) {
  return makeTempFolderNameAt(dst, parent, static_cast<long>(time(nullptr)), entryCount(parent));
}

char* makeFreeTempFolderName(char* dst, const char* parent) {
  const long seconds = static_cast<long>(time(nullptr));
  const int32_t first = entryCount(parent);
  for (int32_t count = first; count - first < FREE_TEMP_NAME_TRIES; ++count) {
    if (makeTempFolderNameAt(dst, parent, seconds, count) == nullptr) return nullptr;
    struct stat st;
    if (lstat(dst, &st) != 0 && errno == ENOENT) return dst;
  }
  logMessage("[Utils] No free temporary folder name in '%.200s'\n", parent);
  dst[0] = 0;
  return nullptr;
}

int32_t createTempFolder(char* path) {
  // Bounds the search for a free name; only as many runs as this could collide.
  constexpr int MAX_TAKEN_NAMES = 10000;
  for (int attempt = 0;; ++attempt) {
    if (createFolderExclusive(path) == 0) return 0;
    if (errno != EEXIST || attempt == MAX_TAKEN_NAMES) return -1;
    char* name = strrchr(path, '/');
    name = name == nullptr ? path : name + 1;
    long seconds = 0;
    int32_t count = 0;
    int consumed = 0;
    const size_t prefix = sizeof TEMP_FOLDER_PREFIX - 1;
    if (strncmp(name, TEMP_FOLDER_PREFIX, prefix) != 0 ||
        sscanf(name + prefix, "%ld-%d-app%n", &seconds, &count, &consumed) != 2 ||
        name[prefix + consumed] != '\0') {
      logMessage("[Utils] %s exists and is no temporary folder name\n", path);
      return -1;
    }
    if (count == INT32_MAX) {
      // Raising it would overflow; a name of its own making cannot be formed.
      logMessage("[Utils] %s is taken and its count cannot be raised\n", path);
      return -1;
    }
    char next[PATH_BUFFER_SIZE];
    formatText(next, sizeof next, "%s%ld-%d-app", TEMP_FOLDER_PREFIX, seconds, count + 1);
    logMessage("[Utils] %s is taken, trying %s\n", path, next);
    // joinName refuses a name that would not fit.
    *name = '\0';
    char parent[PATH_BUFFER_SIZE];
    memcpy(parent, path, strlen(path) + 1);
    if (joinName(path, parent, next, true) == nullptr) return -1;
  }
}

char* makeLaunchPropertiesName(char* dst, const char* parent) {
  const int32_t count = entryCount(parent);
  const unsigned long long millis = currentTimeMillis();
  char file[PATH_BUFFER_SIZE];
  const bool fits = formatText(file, sizeof file, "HVLaunchProperties-%llu-%d", millis, count);
  return joinName(dst, parent, file, fits);
}

int folderMatchesName(const char* entry, const char* wanted) {
  const size_t length = strlen(entry);
  const size_t suffix = sizeof PLUGIN_SUFFIX - 1;
  if (length >= suffix && strcmp(entry + length - suffix, PLUGIN_SUFFIX) == 0) return 1;
  const char* first = nthDash(entry, 1);
  const char* second = first == nullptr ? nullptr : strchr(first + 1, '-');
  if (second == nullptr) return 1;
  // strcmp of field 2 (which ends at the second '-') with the wanted name.
  const size_t fieldLength = static_cast<size_t>(second - first - 1);
  const int head = strncmp(first + 1, wanted, fieldLength);
  if (head != 0) return head;
  return wanted[fieldLength] == '\0' ? 0 : -static_cast<unsigned char>(wanted[fieldLength]);
}

int64_t folderVersion(const char* entry) {
  const char* second = nthDash(entry, 2);
  const char* third = second == nullptr ? nullptr : strchr(second + 1, '-');
  if (third == nullptr) return -1;
  return readDecimal(second + 1, third);
}

char* PickFolder(const char* parent, const char* wanted) {
  DIR* dir = opendir(parent);
  if (dir == nullptr) return nullptr;
  int64_t best = -1;
  char* pick = nullptr;
  while (const struct dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strlen(name) <= 2) continue;
    if (folderMatchesName(name, wanted) != 0) continue;
    struct stat st;
    if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !ownerTrusted(st.st_uid)) {
      logMessage("[PickFolder] Folder %s is not the running user's, passed over\n", name);
      continue;
    }
    const int64_t version = folderVersion(name);
    logMessage("[PickFolder] Folder %s matches %s with version %ld\n", name, wanted,
               static_cast<long>(version));
    if (version > best) {
      free(pick);
      pick = copyString(name);
      best = version;
      logMessage("[PickFolder] Set latest to %ld %s\n", static_cast<long>(version), name);
    }
  }
  closedir(dir);
  return pick;
}
