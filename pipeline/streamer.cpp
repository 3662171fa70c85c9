#include "pipeline/streamer.h"

#include "pipeline/unarchiver.h"

StageThreadSet* Streamer_startUnLzmaUnarchive(RingBuffer* input, const char* folder,
                                              UnLzmaUnarchiveContext** context) {
  return Streamer_startStages(input, folder, nullptr, Unarchiver_extractStage, context);
}
