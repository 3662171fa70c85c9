#include "pipeline/streamer.h"

void* Streamer_downloaderThread(void*) { return nullptr; }
void* Streamer_fileSaverThread(void*) { return nullptr; }
int Streamer_downloadToFile(const char*, const char*) { return 0; }
int Streamer_downloadAndUnarchive(const char*, const char*) { return 0; }
