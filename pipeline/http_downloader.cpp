#include "pipeline/http_downloader.h"

volatile unsigned char downloadSucceeded = 0;

int downloadToRingBuffer(const char*, RingBuffer* ring) {
  RingBuffer_close(ring);
  return 1;
}
void* HttpDownloader(void*) { return nullptr; }
size_t downloadWriteCallback(char*, size_t, size_t, void*) { return 0; }
int downloadProgressCallback(void*, double, double, double, double) { return 0; }
