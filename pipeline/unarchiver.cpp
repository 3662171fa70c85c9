#include "pipeline/unarchiver.h"

#include <cstdlib>

#include "core/log.h"

unsigned char* tailExtractBuffer = nullptr;
int tailExtractBufferSize = 1048576;
std::atomic<const char*> unpack200Path{nullptr};
std::atomic<bool> unpack200Prepared{false};

void initTailBuffer() {}

int Unarchiver_extractEntry(RingBuffer*, const char*, long*, char**, hash_state*,
                            ReadRecordList*, unsigned char*) {
  logMessage("[Unarchiver] Not built yet\n");
  return -1;
}
int Unarchiver_extractArchive(RingBuffer* ring, const char*) {
  RingBuffer_close(ring);
  return 1;
}
int Unarchiver_extractOne(RingBuffer*, const char*) { return -1; }
bool isLzmaArchivePath(const char*) { return false; }
bool isSignatureBlock(const char*) { return false; }
void digestReadRecords(ReadRecordList*, hash_state*) {}
