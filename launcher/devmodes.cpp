#include "launcher/devmodes.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "core/fileops.h"
#include "core/hexbase64.h"
#include "core/log.h"
#include "core/ring_buffer.h"
#include "core/timeutil.h"
#include "pipeline/file_reader.h"
#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"
#include "splash/splash_window.h"

namespace {

// The public half of the key that signs the test archive (SubjectPublicKeyInfo DER).
const char EXTRACT_TEST_KEY_HEX[] =
    "30820222300D06092A864886F70D01010105000382020F003082020A0282020100B2A13199C1DBD3"
    "1E8D6C25DAA8C15A9A4BC95A98EB33C9E3AE475DA000DDCCB96C02A13B89FFC5321F922CC26AC3A9"
    "5BE0375DE8A190A62157F57FBE1B685BBA0E476048E3D4CA8227508B3940D38C91705A296D90BCB9"
    "BBF6FE1F20DE1D966154E0064163891CB0BD7A8C5B741880415F02C49F71F4F5E1E83E7D20BA3E38"
    "9A643E5ABDE2C30A39F609510BD9BC57082D09EFF7AA8EE9CB06BEDA94B418B8C1CD3F4318FC6785"
    "112673B14B201998D74D44F1FC6CFE642646D05D7B2114DF1ABF62EB151CE092C8400F8F7EB0255D"
    "080D9320EEEC2E49CA6079EEF5167C4C06F5511BD0A306039BAACB53F9CFCA48F7D541070A880971"
    "B09BD70A3BEBF91FA9E3CD7C3933DD94CEABEFBC3F3C6F517B360660E6327870FCD1E057C6B34BF3"
    "B136DF41EDCCADC06C0A0C85BBBB547480118312F0D3B7FD0484DA90710039E0CB534B3AE6093DDF"
    "07A5E09424E9B995BCD7DB9C81800BDFDDD750565DE928D234AC1F78EE4EDB55561A62D477EAD5D0"
    "1D751D5DEAC2DD45BDB0826449C9F1380FD5E66D0A9B3D58DD08BDA4F755BDD1CCAEAEB617D55463"
    "80ADB1D0C3FD169554A4E0A5D39EA885158FF88681F149783E6F21A7E9ABCC49A2B8B043F7D8C99F"
    "38F1C55D1F47C2068CE2ADAB28160149FE0CA4A913A5617C0364066D96902CAF00876530DB8599FA"
    "284DE1A2E3FEF6F31D724E28C1630F756D7FEF5F682EDBA8270203010001";
constexpr int32_t EXTRACT_TEST_KEY_HEX_LENGTH = 1100;
static_assert(sizeof(EXTRACT_TEST_KEY_HEX) == EXTRACT_TEST_KEY_HEX_LENGTH + 1);
constexpr int32_t EXTRACT_TEST_KEY_BUFFER_SIZE = 552;
// The size of the test archive the extract test is made for.
constexpr int64_t EXTRACT_TEST_ARCHIVE_SIZE = 63586021;
constexpr int32_t EXTRACT_TEST_CHUNK_SIZE = 1048576;

const char EXTRACT_TEST_ARCHIVE[] = "test.p2.l2";
const char EXTRACT_TEST_FOLDER[] = "/tmp/test";
const char DOWNLOAD_TEST_FILE[] = "deleteme.tmp";
const char DOWNLOAD_UNPACK_FOLDER[] = "/tmp";
const char SPLASH_DEMO_PICTURE[] = "cv_logo.png";

// Zero-filled by being static; the mode runs once per process.
unsigned char extractTestKeyBytes[EXTRACT_TEST_KEY_BUFFER_SIZE];
unsigned char extractTestChunk[EXTRACT_TEST_CHUNK_SIZE];

void printLine(const char* text) {
  printf("%s\n", text);
  fflush(stdout);
}

// Every archive of the test is checked against the compiled-in key.
void importExtractTestKey() {
  const int32_t count =
      HexToBytes(extractTestKeyBytes, EXTRACT_TEST_KEY_BUFFER_SIZE, EXTRACT_TEST_KEY_HEX);
  logMessage("[Extractor] Processed public key of length %d\n", count);
  logMessage("[Extractor] Hex: %s\n", EXTRACT_TEST_KEY_HEX);
  archiveKeyRequired.store(true);
  archiveSignatureKey.store(importPublicKey(extractTestKeyBytes, count));
}

// "/tmp" is shared: whatever stands at the folder's name is used only when it is a real
// folder of this user's that nobody else may write into, never through a link planted
// there nor a folder where another user could plant links below.
void makeExtractTestFolder() {
  if (mkdir(EXTRACT_TEST_FOLDER, 0755) == 0) return;
  const int error = errno;
  struct stat st;
  if (error == EEXIST && lstat(EXTRACT_TEST_FOLDER, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    return;
  }
  if (error != EEXIST) logFileError("[Extractor]", "create folder", EXTRACT_TEST_FOLDER, error);
  printf("[Extractor] Cannot use %s as the extract test's folder (not a folder of its own)\n",
         EXTRACT_TEST_FOLDER);
  endProcess(1);
}

void joinStage(pthread_t thread, bool started) {
  if (started) pthread_join(thread, nullptr);
}

}  // namespace

void runExtractTest() {
  FILE* file = openFileForReading(EXTRACT_TEST_ARCHIVE);
  importExtractTestKey();
  if (file == nullptr) {
    printLine("Could not open test.p2.l2");
    return;
  }
  makeExtractTestFolder();
  RingBuffer* fileRing = Streamer_startFileReader(file);
  RingBuffer* input = RingBuffer_create(NESTED_RING_ID, NESTED_RING_SIZE);
  StageThreadSet* stages = Streamer_startUnLzmaUnarchive(input, EXTRACT_TEST_FOLDER);

  int64_t copied = 0;
  while (copied < EXTRACT_TEST_ARCHIVE_SIZE) {
    const int64_t missing = EXTRACT_TEST_ARCHIVE_SIZE - copied;
    const int32_t want = missing < EXTRACT_TEST_CHUNK_SIZE ? static_cast<int32_t>(missing)
                                                            : EXTRACT_TEST_CHUNK_SIZE;
    const int32_t count = RingBuffer_read(fileRing, extractTestChunk, want);
    if (count < 0) break;  // the file is shorter than the test archive
    copied += count;
    // Refused (-1) once the UnLZMAer has ended and closed its input; the copy reads on.
    RingBuffer_write(input, extractTestChunk, count);
  }
  // Bytes past the copied ones are not wanted, and a stream that has not ended by now
  // never will: both closes let the stages finish.
  RingBuffer_close(fileRing);
  RingBuffer_close(input);
  joinStage(stages->unLzmaer, stages->unLzmaerStarted);
  joinStage(stages->unArchiver, stages->unArchiverStarted);
}

void runDownloadTest(const char* url) { Streamer_downloadToFile(url, DOWNLOAD_TEST_FILE); }

void runDownloadUnpackTest(const char* url) {
  printf("[DEBUG] Downloading %s\n", url);
  fflush(stdout);
  if (Streamer_downloadAndUnarchive(url, DOWNLOAD_UNPACK_FOLDER) != 0) {
    printLine("[DEBUG] Download worked!");
  } else {
    printLine("[DEBUG] Download FALED!");
  }
}

void runSplashDemo() {
  printLine("[TestSplash] Initialising splash");
  init();
  printf("[TestSplash] Configure splash to use %s\n", SPLASH_DEMO_PICTURE);
  fflush(stdout);
  configureSplash(SPLASH_DEMO_PICTURE);
  printLine("[TestSplash] Show");
  showSplash();
  printLine("[TestSplash] SetProgress -1");
  setProgress(PROGRESS_INDEFINITE);
  printLine("[TestSplash] Sleep");
  sleepSeconds(1);
  hideSplash();
  hideSplash();
  hideSplash();
  sleepSeconds(2);
  showSplash();
  for (int32_t value = 0; value <= 90; value += 10) {
    printf("[TestSplash] SetProgress %d\n", value);
    fflush(stdout);
    setProgress(value);
    printLine("[TestSplash] Sleep");
    sleepSeconds(1);
  }
  printLine("[TestSplash] SetProgress 100");
  setProgress(100);
  // Last, so that the second show and every percentage above still paint.
  destroySplashMutex();
  endProcess(1);
}
