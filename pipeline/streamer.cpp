#include "pipeline/streamer.h"

int Streamer_unLzma(RingBuffer* input, RingBuffer* output) {
  RingBuffer_close(input);
  RingBuffer_close(output);
  return 1;
}
void* Streamer_unLzmaThread(void*) { return nullptr; }
void* Streamer_unArchiverThread(void*) { return nullptr; }
StageThreadSet* Streamer_startUnLzmaUnarchive(RingBuffer*, const char*,
                                              UnLzmaUnarchiveContext**) {
  return nullptr;
}
