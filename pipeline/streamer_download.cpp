// The two download pipelines: into a file (Downloader -> ring 4 -> FileSaver) and
// straight into extraction (Downloader -> ring 1 -> UnLZMAer -> ring 2 -> UnArchiver).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"
#include "core/path_files.h"
#include "pipeline/http_downloader.h"
#include "pipeline/streamer.h"
#include "pipeline/unarchiver.h"

namespace {

const char MSG_DOWNLOADING[] = "[Streamer] Downloading from %s into %s\n";
const char MSG_CANNOT_OPEN[] = "[Streamer] Unable to open %s for writing: %s\n";
const char MSG_NO_THREAD[] = "[Streamer] Unable to start the %s thread: %s\n";
const char MSG_DOWNLOADER_STARTING[] = "[Streamer] [Downloader] Starting...\n";
const char MSG_DOWNLOADER_DONE[] = "[Streamer] [Downloader] Done (%d).\n";
const char MSG_SAVER_STARTING[] = "[Streamer] [FileSaver] Starting...\n";
const char MSG_SAVER_FAILED[] = "[Streamer] [FileSaver] Unable to save the file: %s\n";
const char MSG_SAVER_DONE[] = "[Streamer] [FileSaver] Done.\n";

template <typename T>
T* newRecord() {
  auto* record = new (std::nothrow) T{};
  if (record == nullptr) {
    logMessage("[Streamer] Out of memory\n");
    endProcess(1);
  }
  return record;
}

// Starts one stage. A stage that cannot start is logged and its rings closed, so that the
// stages around it meet the end of their data; nobody waits for it.
bool startStage(pthread_t* thread, void* (*body)(void*), void* record, const char* name,
                RingBuffer* ring, RingBuffer* otherRing = nullptr) {
  const int error = pthread_create(thread, nullptr, body, record);
  if (error == 0) return true;
  logMessage(MSG_NO_THREAD, name, strerror(error));
  RingBuffer_close(ring);
  if (otherRing != nullptr) RingBuffer_close(otherRing);
  return false;
}

}  // namespace

void* Streamer_downloaderThread(void* context) {
  auto* ctx = static_cast<DownloaderContext*>(context);
  logMessage(MSG_DOWNLOADER_STARTING);
  ctx->result = downloadToRingBuffer(ctx->url, ctx->ring, &ctx->transferFailed, ctx->maxBytes);
  logMessage(MSG_DOWNLOADER_DONE, ctx->result);
  return nullptr;
}

void* Streamer_fileSaverThread(void* context) {
  auto* ctx = static_cast<FileSaverContext*>(context);
  logMessage(MSG_SAVER_STARTING);
  auto* buffer = static_cast<char*>(calloc(FILE_SAVER_CHUNK_SIZE, 1));
  if (buffer == nullptr) {
    logMessage("[Streamer] Out of memory\n");
    endProcess(1);
  }
  // Without a file, or once a write failed, the rest is drained unsaved so that the
  // transfer still runs to its end.
  bool saving = ctx->file != nullptr;
  ctx->result = saving ? 0 : 1;
  for (;;) {
    const int32_t n = RingBuffer_read(ctx->ring, buffer, FILE_SAVER_CHUNK_SIZE);
    if (n <= 0) break;
    if (saving && fwrite(buffer, 1, static_cast<size_t>(n), ctx->file) != static_cast<size_t>(n)) {
      logMessage(MSG_SAVER_FAILED, strerror(errno));
      saving = false;
      ctx->result = 1;
    }
  }
  if (ctx->file != nullptr) {
    const bool flushed = fflush(ctx->file) == 0;
    const int flushError = errno;
    const bool closed = fclose(ctx->file) == 0;
    if (ctx->result == 0 && (!flushed || !closed)) {
      logMessage(MSG_SAVER_FAILED, strerror(flushed ? errno : flushError));
      ctx->result = 1;
    }
    ctx->file = nullptr;
  }
  free(buffer);
  logMessage(MSG_SAVER_DONE);
  return nullptr;
}

int Streamer_downloadToFile(const char* url, const char* path, int64_t maxBytes) {
  RingBuffer* ring = RingBuffer_create(DOWNLOAD_FILE_RING_ID, PIPELINE_RING_SIZE);
  logMessage(MSG_DOWNLOADING, url, path);
  auto* downloader = newRecord<DownloaderContext>();
  downloader->url = url;
  downloader->ring = ring;
  downloader->result = 1;
  downloader->maxBytes = maxBytes;
  auto* saver = newRecord<FileSaverContext>();
  saver->ring = ring;
  // Written fresh; a link in its place is refused rather than followed.
  saver->file = createFileNoFollow(path);
  if (saver->file == nullptr) logMessage(MSG_CANNOT_OPEN, path, strerror(errno));
  saver->result = 1;

  pthread_t downloaderThread;
  pthread_t saverThread;
  const bool downloaderStarted =
      startStage(&downloaderThread, Streamer_downloaderThread, downloader, "Downloader", ring);
  const bool saverStarted =
      startStage(&saverThread, Streamer_fileSaverThread, saver, "FileSaver", ring);
  if (downloaderStarted) pthread_join(downloaderThread, nullptr);
  if (saverStarted) {
    pthread_join(saverThread, nullptr);
  } else if (saver->file != nullptr) {
    fclose(saver->file);
  }
  return downloader->result == 0 && saver->result == 0 ? 1 : 0;
}

int Streamer_downloadAndUnarchive(const char* url, const char* folder) {
  auto* threads = newRecord<StageThreadSet>();
  RingBuffer* compressed = RingBuffer_create(DOWNLOAD_RING_ID, PIPELINE_RING_SIZE);
  RingBuffer* decoded = RingBuffer_create(DECODED_RING_ID, PIPELINE_RING_SIZE);
  auto* downloader = newRecord<DownloaderContext>();
  downloader->url = url;
  downloader->ring = compressed;
  downloader->result = 1;
  auto* stages = newRecord<UnLzmaUnarchiveContext>();
  stages->input = compressed;
  stages->output = decoded;
  stages->folder = folder;
  stages->transferFailed = &downloader->transferFailed;
  stages->extract = Unarchiver_extractStage;
  // What a stage that never ran leaves behind: nothing decoded, nothing extracted.
  stages->unLzmaResult = 1;
  stages->archiveCut = 1;

  threads->downloaderStarted = startStage(&threads->downloader, Streamer_downloaderThread,
                                          downloader, "Downloader", compressed);
  // The stages behind are not running yet: they see the flag with the closed ring.
  if (!threads->downloaderStarted) downloader->transferFailed.store(true);
  threads->unLzmaerStarted = startStage(&threads->unLzmaer, Streamer_unLzmaThread, stages,
                                        "UnLZMAer", compressed, decoded);
  threads->unArchiverStarted = startStage(&threads->unArchiver, Streamer_unArchiverThread,
                                          stages, "UnArchiver", decoded, compressed);
  if (threads->unArchiverStarted) pthread_join(threads->unArchiver, nullptr);
  // The archive may have ended (at its SignatureBlock) while data still arrive: the
  // closes release a producer waiting for room, so that it runs to its end.
  RingBuffer_close(compressed);
  RingBuffer_close(decoded);
  if (threads->downloaderStarted) pthread_join(threads->downloader, nullptr);
  // With both of its rings closed the UnLZMAer ends promptly; its result is read once
  // it has.
  if (threads->unLzmaerStarted) pthread_join(threads->unLzmaer, nullptr);
  return downloader->result == 0 && stages->unLzmaResult == 0 && stages->archiveCut == 0 ? 1
                                                                                         : 0;
}
