// bin/unpack200 of the test runtime: "unpack200 PACKED TARGET" writes TARGET from a
// file packed by fakePack200. Environment switches for the tests:
//   HV_FIXTURE_UNPACK200_CALLS  file to which one line per call is appended (the
//                               arguments separated by tabs)
//   HV_FIXTURE_UNPACK200_SLEEP  whole seconds (at most 600) to pause first
//   HV_FIXTURE_UNPACK200_FAIL   exit status to end with at once, writing nothing
//   HV_FIXTURE_UNPACK200_CUT    exit status to end with after writing only the first
//                               half of TARGET (a disk that filled halfway)
//   HV_FIXTURE_UNPACK200_HOLD   a path: after recording the call, wait while a file of
//                               that name exists (at most 120 s), so a test can look at
//                               the run while unpack200 works
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/fake_pack200.h"
#include "tests/support/java_fixture.h"

namespace {

void recordCall(int argc, char** argv) {
  const char* log = getenv(FIXTURE_UNPACK200_CALLS_ENV);
  if (log == nullptr || *log == '\0') return;
  FILE* out = fopen(log, "ae");
  if (out == nullptr) return;
  for (int i = 0; i < argc; ++i) fprintf(out, i == 0 ? "%s" : "\t%s", argv[i]);
  fputc('\n', out);
  fclose(out);
}

bool readWhole(const char* path, std::string* bytes) {
  FILE* in = fopen(path, "rbe");
  if (in == nullptr) return false;
  char chunk[65536];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) bytes->append(chunk, got);
  const bool ok = ferror(in) == 0;
  fclose(in);
  return ok;
}

bool writeWhole(const char* path, const std::string& bytes) {
  FILE* out = fopen(path, "wbe");
  if (out == nullptr) return false;
  const bool written = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return fclose(out) == 0 && written;
}

void holdWhileFileExists(const char* path) {
  struct stat st;
  for (int waited = 0; waited < 120 * 50 && stat(path, &st) == 0; ++waited) usleep(20000);
}

}  // namespace

int main(int argc, char** argv) {
  recordCall(argc, argv);
  if (const char* hold = getenv(FIXTURE_UNPACK200_HOLD_ENV)) {
    if (*hold != '\0') holdWhileFileExists(hold);
  }
  if (const char* pause = getenv(FIXTURE_UNPACK200_SLEEP_ENV)) {
    long seconds = strtol(pause, nullptr, 10);
    if (seconds > 600) seconds = 600;
    if (seconds > 0) sleep(static_cast<unsigned>(seconds));
  }
  if (const char* fail = getenv(FIXTURE_UNPACK200_FAIL_ENV)) {
    if (*fail != '\0') return static_cast<int>(strtol(fail, nullptr, 10));
  }
  if (argc != 3) {
    fprintf(stderr, "usage: unpack200 PACKED TARGET\n");
    return 2;
  }
  std::string packed, plain;
  if (!readWhole(argv[1], &packed)) {
    fprintf(stderr, "unpack200: cannot read %s\n", argv[1]);
    return 1;
  }
  if (!fakeUnpack200(packed, &plain)) {
    fprintf(stderr, "unpack200: %s is not a packed file\n", argv[1]);
    return 1;
  }
  const char* cut = getenv(FIXTURE_UNPACK200_CUT_ENV);
  if (cut != nullptr && *cut != '\0') {
    writeWhole(argv[2], plain.substr(0, plain.size() / 2));
    return static_cast<int>(strtol(cut, nullptr, 10));
  }
  if (!writeWhole(argv[2], plain)) {
    fprintf(stderr, "unpack200: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
