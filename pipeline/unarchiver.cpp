#include "pipeline/unarchiver.h"

#include <pthread.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/fileops.h"
#include "core/hexbase64.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/spawner.h"
#include "core/wait_limits.h"
#include "pipeline/signature.h"
#include "pipeline/streamer.h"
#include "src/hashes/mixedhash/mixed.h"

unsigned char* tailExtractBuffer = nullptr;
int tailExtractBufferSize = 1048576;
std::atomic<const char*> unpack200Path{nullptr};
std::atomic<bool> unpack200Prepared{false};

namespace {

// ---- Texts of the Unarchiver ---------------------------------------------------------

constexpr char SPECIAL_BLOCK_PREFIX[] = "hvArcSpBlock_";
constexpr size_t SPECIAL_BLOCK_PREFIX_LENGTH = sizeof SPECIAL_BLOCK_PREFIX - 1;
constexpr char SIGNATURE_BLOCK_NAME[] = "DigitalSignature1";
constexpr char LZMA_ARCHIVE_SUFFIX[] = "p2.l2";
constexpr char PACK200_SUFFIX[] = ".p2";
constexpr char UNPACK200_NAME[] = "unpack200";
constexpr char NO_UNPACK200[] = "(none)";

constexpr char EOF_WARNING[] = "[Unarchiver] WARNING. EOF encountered.\n";
constexpr char UNWRITABLE_LINE[] =
    "\t[Unarchiver] *************************** Unable to extract archive file. Unable to "
    "open file for writing.\n";
constexpr char ILLEGAL_PATH_LINE[] =
    "\t[Unarchiver] *************************** Unable to extract archive file. Illegal "
    "path %s\n";
constexpr char TAIL_CUT_LINE[] =
    "[Unarchiver] Entry %s ends before its length: the installer file is cut\n";
constexpr char NO_PATH[] = "(path missing)";
constexpr char UNPACK200_MISSING_LINE[] = "\t[Unarchiver] ERROR: unpack200 (%s) does not exist!\n";
constexpr char BROKEN_OFF_LINE[] =
    "[Unarchiver] The download failed before the archive's end: it is not checked.\n";
constexpr char STAR_LINE[] =
    "***********************************************************************\n";

// ---- Pack200 queue -------------------------------------------------------------------

}  // namespace

struct Pack200Queue {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  // The ".p2" file and the path it unpacks to, in stream order.
  std::vector<std::pair<std::string, std::string>> files;
  // The outermost archive's download, when it came from one; set before any ring of
  // the pipeline ends.
  const std::atomic<bool>* transferFailed = nullptr;
};

namespace {

void queuePack200(Pack200Queue* queue, const char* packed, const char* unpacked) {
  pthread_mutex_lock(&queue->mutex);
  queue->files.emplace_back(packed, unpacked);
  pthread_mutex_unlock(&queue->mutex);
}

[[noreturn]] void failUnwritable(const char* action, const char* path, int error);
bool isLink(const char* path);

// Runs unpack200 on one ".p2" file and removes it. Without a program the ".p2" file
// stays: nothing could make the unpacked file from it.
void unpack200(const char* packed, const char* unpacked) {
  const char* program = unpack200Path.load();
  if (program == nullptr || *program == '\0') {
    logMessage(UNPACK200_MISSING_LINE, NO_UNPACK200);
    return;
  }
  if (!unpack200Prepared.exchange(true)) makeExecutable(program, 1);
  // Checked again here: a queued file waits for the whole archive, time enough to plant
  // a link in its place, through which unpack200 would write.
  if (isLink(unpacked)) failUnwritable("write", unpacked, ELOOP);
  Spawner* spawner = createSpawner();
  setSpawnerExe(spawner, program);
  appendSpawnerArgument(spawner, packed);
  appendSpawnerArgument(spawner, unpacked);
  // The outcome shows in the unpacked file; one cut short by the limit is removed.
  if (runSpawnerAndWaitWithin(spawner, WORK_CHILD_LIMIT_SECONDS) == SPAWN_PAST_LIMIT) {
    remove(unpacked);
  }
  freeSpawner(spawner);
  if (!fileExists(unpacked)) logMessage(UNPACK200_MISSING_LINE, unpacked);
  remove(packed);
}

void runPack200Queue(Pack200Queue* queue) {
  pthread_mutex_lock(&queue->mutex);
  std::vector<std::pair<std::string, std::string>> files = std::move(queue->files);
  queue->files.clear();
  pthread_mutex_unlock(&queue->mutex);
  for (const auto& [packed, unpacked] : files) {
    logMessage("\t[Unarchiver] Unpacking200 %s\n", packed.c_str());
    unpack200(packed.c_str(), unpacked.c_str());
  }
}

// ---- Reading one archive -------------------------------------------------------------

// What one stream's entries share from call to call.
struct ArchiveReader {
  RingBuffer* ring;
  const char* folder;
  long signatureLength;  // -1 until a block carried a value
  char* signatureHex;    // the block's text once met (empty when it carried none)
  bool blockMet;
  bool keepBlock;  // false: a block's values are read and dropped (wrapper tail)
  hash_state* digest;
  ReadRecordList* records;
  unsigned char* buffer;
  int64_t bufferSize;
  Pack200Queue* queue;  // null: pack200 files are unpacked at once
  bool cut;             // the stream ended inside an entry
  std::string entryPath;  // of the entry read last, for the line about a cut tail
};

// The system's reason first, then the line of record: a full disk and a refused
// permission must be told apart.
[[noreturn]] void failUnwritable(const char* action, const char* path, int error) {
  logFileError("\t[Unarchiver]", action, path, error);
  logMessage(UNWRITABLE_LINE);
  endProcess(1);
}

// Values read without a record list belong to the reader.
void dropUnrecorded(char* value, const ArchiveReader* reader) {
  if (reader->records == nullptr) free(value);
}

bool hasParentComponent(const char* path) {
  const char* part = path;
  for (;;) {
    const char* slash = strchr(part, '/');
    const size_t length = slash == nullptr ? strlen(part) : static_cast<size_t>(slash - part);
    if (length == 2 && part[0] == '.' && part[1] == '.') return true;
    if (slash == nullptr) return false;
    part = slash + 1;
  }
}

// True when path names a symbolic link. Trailing '/' are left out: with them lstat
// would follow the link.
bool isLink(const char* path) {
  char bare[PATH_BUFFER_SIZE];
  if (setString(bare, path) == nullptr) return false;
  size_t length = strlen(bare);
  while (length > 1 && bare[length - 1] == '/') bare[--length] = '\0';
  struct stat st;
  return lstat(bare, &st) == 0 && S_ISLNK(st.st_mode);
}

// Creates the folders of the entry's path up to its last '/', refusing a link at any
// of them: nothing may be written where a planted link points.
void makeParentFolders(const char* folder, const char* path) {
  char scratch[PATH_BUFFER_SIZE];
  char part[PATH_BUFFER_SIZE];
  const size_t length = strlen(path);
  for (size_t i = 0; i < length; ++i) {
    if (path[i] != '/') continue;
    if (i >= sizeof part) failUnwritable("create folder for", path, ENAMETOOLONG);
    memcpy(part, path, i);
    part[i] = '\0';
    if (buildPath2(scratch, folder, part) == nullptr)
      failUnwritable("create folder for", path, ENAMETOOLONG);
    if (i > 0 && isLink(scratch)) failUnwritable("create folder", scratch, ELOOP);
    if (ensureFolder(scratch) != 0) failUnwritable("create folder", scratch, errno);
  }
}

// Copies up to length bytes of the current entry from the reader's ring to sink, feeding
// each chunk into the digest. Sets cut and stops when the ring ends first.
template <typename Sink>
void copyEntryData(ArchiveReader* reader, int64_t length, Sink sink) {
  int64_t copied = 0;
  while (copied < length) {
    int64_t ask = length - copied;
    if (ask > reader->ring->capacity) ask = reader->ring->capacity;
    if (ask > reader->bufferSize) ask = reader->bufferSize;
    const int32_t n = RingBuffer_read(reader->ring, reader->buffer, static_cast<int32_t>(ask));
    if (n < 0) {
      reader->cut = true;
      return;
    }
    sink(reader->buffer, n);
    if (reader->digest != nullptr) mixedHashProcess(reader->digest, reader->buffer, n);
    copied += n;
  }
}

// A nested archive: its compressed bytes go to a pipeline of its own, which extracts
// into the same folder. When that pipeline stops early, the rest of the entry is still
// read (and digested) so that this stream stays in step.
void extractNested(ArchiveReader* reader, int64_t length) {
  logMessage("\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.\n");
  RingBuffer* inner = RingBuffer_create(NESTED_RING_ID, NESTED_RING_SIZE);
  UnLzmaUnarchiveContext* context = nullptr;
  Pack200Queue ownQueue;
  Pack200Queue* queue = reader->queue != nullptr ? reader->queue : &ownQueue;
  StageThreadSet* threads =
      Streamer_startNestedUnLzmaUnarchive(inner, reader->folder, queue, &context);
  bool innerOpen = true;
  copyEntryData(reader, length, [&](const unsigned char* chunk, int32_t n) {
    if (innerOpen) innerOpen = RingBuffer_writeAll(inner, chunk, n);
  });
  RingBuffer_close(inner);
  pthread_join(threads->unArchiver, nullptr);
  // The decoder ends by itself now: its input is closed and its output's consumer gone.
  pthread_join(threads->unLzmaer, nullptr);
  if (context->archiveCut != 0 || context->unLzmaResult != 0) reader->cut = true;
  logMessage("\t[Unarchiver] .p2.l2 in sync unarchive complete.\n");
  // Only the wrapper tail reads nested archives without a queue of its own: its files
  // were checked by the nested archive itself and unpack now.
  if (reader->queue == nullptr) runPack200Queue(&ownQueue);
}

void extractFile(ArchiveReader* reader, const char* target, const char* display, int64_t length) {
  const bool link = isLink(target);
  FILE* file = link ? nullptr : createFileNoFollow(target);
  const int openError = link ? ELOOP : errno;
  logMessage("\t[Unarchiver] Extracting to file %s (length:%ld)\n", display,
             static_cast<long>(length));
  if (file == nullptr) failUnwritable("open for writing", target, openError);
  // The first failure is the one that tells why.
  int error = 0;
  const char* action = "write";
  copyEntryData(reader, length, [&](const unsigned char* chunk, int32_t n) {
    if (error == 0 && fwrite(chunk, 1, static_cast<size_t>(n), file) != static_cast<size_t>(n))
      error = errno != 0 ? errno : EIO;
  });
  if (fflush(file) != 0 && error == 0) error = errno;
  if (fclose(file) != 0 && error == 0) {
    error = errno;
    action = "close";
  }
  if (error != 0) failUnwritable(action, target, error);
  logMessage("[Unarchiver] Extracted %s length:%ld\n", display, static_cast<long>(length));
}

// Reads the SignatureBlock's values after its path. The block's own header values are
// never digested.
int readSignatureBlock(ArchiveReader* reader) {
  reader->blockMet = true;
  char* length = readStreamValue(reader->ring, "Archive File Length", NUMBER_VALUE_SIZE, nullptr);
  char* hex = nullptr;
  long signatureLength = -1;
  if (length != nullptr) {
    char* lengthText = readStreamValue(reader->ring, "Signature Length", NUMBER_VALUE_SIZE, nullptr);
    if (lengthText != nullptr) {
      signatureLength = static_cast<long>(parseNumberValue(lengthText));
      free(lengthText);
      hex = readStreamStringSized(reader->ring, "Signature Hex", SIGNATURE_HEX_SIZE);
    }
    free(length);
  }
  if (hex == nullptr) logMessage(EOF_WARNING);
  if (!reader->keepBlock) {
    logMessage("[Unarchiver] Skipped a signature block: nothing checks it here.\n");
    free(hex);
    return 0;
  }
  reader->signatureLength = signatureLength;
  reader->signatureHex = hex != nullptr ? hex : copyString("");
  return -1;
}

int extractEntry(ArchiveReader* reader) {
  clearReadRecords(reader->records);
  if (reader->blockMet || reader->signatureLength != -1) return -1;

  char* typeText = readStreamStringRecorded(reader->ring, "Archive File Type", reader->records);
  if (typeText == nullptr || typeText[0] == '\0') {
    logMessage(EOF_WARNING);
    dropUnrecorded(typeText, reader);
    return -1;
  }
  char* path = readStreamStringRecorded(reader->ring, "Archive File Path", reader->records);
  reader->entryPath = path != nullptr ? path : NO_PATH;
  if (path == nullptr) {
    logMessage(EOF_WARNING);
    reader->cut = true;
    dropUnrecorded(typeText, reader);
    return -1;
  }
  const bool signatureBlock = isSignatureBlock(path);
  const long type = static_cast<long>(parseNumberValue(typeText));
  char* pathCopy = copyFixSeparators(path);
  logMessage("[Unarchiver] Extracting %s (::%ld from %s)\n", pathCopy, type, typeText);
  dropUnrecorded(typeText, reader);
  if (signatureBlock) {
    free(pathCopy);
    dropUnrecorded(path, reader);
    return readSignatureBlock(reader);
  }
  if (hasParentComponent(pathCopy)) {
    logMessage(ILLEGAL_PATH_LINE, pathCopy);
    endProcess(1);
  }

  char display[PATH_BUFFER_SIZE];
  char target[PATH_BUFFER_SIZE];
  char unpacked[PATH_BUFFER_SIZE];
  setString(display, pathCopy);
  buildPath2(target, reader->folder, pathCopy);
  buildPath2(unpacked, reader->folder, pathCopy);
  if (type == 2) {
    appendText(display, sizeof display, PACK200_SUFFIX);
    if (!appendText(target, sizeof target, PACK200_SUFFIX)) target[0] = '\0';
  }
  makeParentFolders(reader->folder, pathCopy);
  free(pathCopy);
  dropUnrecorded(path, reader);
  // unpack200 writes the unpacked file itself and would follow a link in its place.
  if (type == 2 && isLink(unpacked)) failUnwritable("write", unpacked, ELOOP);

  if (type == 1) {
    if (isLink(target)) failUnwritable("create folder", target, ELOOP);
    if (ensureFolder(target) != 0) failUnwritable("create folder", target, errno);
    logMessage("\t[Unarchiver] Created folder %s\n", display);
    digestReadRecords(reader->records, reader->digest);
    return 0;
  }

  char* lengthText = readStreamValue(reader->ring, "Archive File Length", NUMBER_VALUE_SIZE,
                                     reader->records);
  int64_t length = -1;
  if (lengthText == nullptr) {
    reader->cut = true;  // an empty file is written, and the next call ends the stream
  } else {
    length = parseNumberValue(lengthText);
    dropUnrecorded(lengthText, reader);
  }
  if (length == 0) {
    logMessage("\t[Unarchiver] Skipping empty file %s\n", display);
    digestReadRecords(reader->records, reader->digest);
    return 0;
  }
  digestReadRecords(reader->records, reader->digest);

  if (type != 2 && isLzmaArchivePath(target)) {
    extractNested(reader, length);
  } else {
    extractFile(reader, target, display, length);
  }
  if (strstr(target, UNPACK200_NAME) != nullptr) chmod755Recursive(target);
  if (type != 2) return 0;

  logMessage("\t[Unarchiver] Requires unpacking200...\n");
  if (reader->queue != nullptr) {
    // No code from an archive runs before the outermost archive passed its check.
    queuePack200(reader->queue, target, unpacked);
    logMessage("\t[Unarchiver] Unpacking200 waits for the signature check\n");
  } else {
    unpack200(target, unpacked);
  }
  return 0;
}

[[noreturn]] void rejectArchive(const char* folder) {
  logMessage(STAR_LINE);
  logMessage("[Unarchiver] ERROR - unable to verify signature of hash of archive.\n");
  logMessage("[Unarchiver] Halvorin will disregard this update.\n");
  if (archiveKeyRequired.load()) {
    DeleteFolder(folder);
  } else {
    // The folder may hold anything (a developer extracts into /tmp): only a key that
    // the run requires makes it a fresh folder of ours.
    logMessage("[Unarchiver] No archive key is required here: %s is left as it is.\n", folder);
  }
  logMessage(STAR_LINE);
  endProcess(1);
}

// The signature check at the end of an archive; returns only when it passed.
void checkSignature(ArchiveReader* reader, hash_state* digestState) {
  if (!reader->blockMet) {
    if (!archiveKeyRequired.load()) return;  // unsigned archives pass while no key is required
    logMessage("[Unarchiver] The archive carries no signature, but a signed one is required.\n");
    rejectArchive(reader->folder);
  }
  logMessage("[Unarchiver] Verifying signature\n");
  unsigned char* digest = mixedHashDone(digestState);
  const char* hex = reader->signatureHex;
  if (reader->signatureLength == -1 || hex == nullptr || hex[0] == '\0') {
    logMessage("[Unarchiver] The signature block carries no signature.\n");
    rejectArchive(reader->folder);
  }
  const size_t size = strlen(hex) / 2 + 2;
  auto* signature = static_cast<unsigned char*>(calloc(size, 1));
  if (signature == nullptr) rejectArchive(reader->folder);
  const int32_t count = HexToBytes(signature, static_cast<int32_t>(size), hex);
  logMessage("[Unarchiver] Produced a signature of length %d\n", count);
  if (count <= 0 || verifySignature(signature, count, digest, archiveSignatureKey.load()) != 1)
    rejectArchive(reader->folder);
  free(signature);
  free(digest);
  logMessage("[Unarchiver] Archive signature verified.\n");
}

// The archive's SignatureBlock arrived with its values (whether they verify is the
// check's to say).
bool blockArrivedWhole(const ArchiveReader* reader) {
  return reader->blockMet && reader->signatureHex != nullptr && reader->signatureHex[0] != '\0';
}

int extractArchive(RingBuffer* ring, const char* folder, Pack200Queue* outerQueue,
                   const std::atomic<bool>* transferFailed) {
  logMessage("[Unarchiver] [START] Extracting archive %s\n", folder);
  fflush(stdout);
  Pack200Queue ownQueue;
  hash_state digest;
  mixedHashInit(&digest);
  ReadRecordList records = {};
  ArchiveReader reader = {};
  reader.ring = ring;
  reader.folder = folder;
  reader.signatureLength = -1;
  reader.keepBlock = true;
  reader.digest = &digest;
  reader.records = &records;
  reader.buffer = static_cast<unsigned char*>(calloc(EXTRACT_BUFFER_SIZE, 1));
  reader.bufferSize = EXTRACT_BUFFER_SIZE;
  reader.queue = outerQueue != nullptr ? outerQueue : &ownQueue;
  if (outerQueue == nullptr) ownQueue.transferFailed = transferFailed;
  const std::atomic<bool>* download = reader.queue->transferFailed;
  if (reader.buffer == nullptr) {
    logMessage("[Unarchiver] Out of memory for the copy buffer\n");
    endProcess(1);
  }
  while (extractEntry(&reader) == 0) {
  }
  // Whoever still writes into the ring is released: nothing more is read from it.
  RingBuffer_close(ring);
  if (download != nullptr && download->load() && !blockArrivedWhole(&reader)) {
    // What arrived is part of an archive: the caller reports the failed download. A
    // nested archive leaves the line and the removal to the outermost one.
    if (outerQueue == nullptr) {
      logMessage(BROKEN_OFF_LINE);
      if (archiveKeyRequired.load()) DeleteFolder(folder);
    }
    reader.cut = true;
  } else {
    checkSignature(&reader, &digest);
    if (outerQueue == nullptr) runPack200Queue(&ownQueue);
  }
  clearReadRecords(&records);
  free(records.items);
  free(records.lengths);
  free(reader.buffer);
  free(reader.signatureHex);
  logMessage("[Unarchiver] [END] Extracting archive %s\n", folder);
  return reader.cut ? 1 : 0;
}

}  // namespace

__attribute__((constructor)) void initTailBuffer() {
  if (tailExtractBuffer != nullptr) return;
  tailExtractBuffer = static_cast<unsigned char*>(calloc(static_cast<size_t>(tailExtractBufferSize), 1));
  if (tailExtractBuffer == nullptr) {
    fputs("[Unarchiver] Out of memory for the tail buffer\n", stderr);
    _exit(1);
  }
}

int Unarchiver_extractEntry(RingBuffer* ring, const char* folder, long* signatureLength,
                            char** signatureHex, hash_state* digest, ReadRecordList* records,
                            unsigned char* buffer) {
  ArchiveReader reader = {};
  reader.ring = ring;
  reader.folder = folder;
  reader.signatureLength = *signatureLength;
  reader.signatureHex = signatureHex != nullptr ? *signatureHex : nullptr;
  reader.blockMet = reader.signatureHex != nullptr;
  reader.keepBlock = signatureHex != nullptr;
  reader.digest = digest;
  reader.records = records;
  reader.buffer = buffer;
  reader.bufferSize = ring->capacity;
  const int result = extractEntry(&reader);
  *signatureLength = reader.signatureLength;
  if (signatureHex != nullptr) *signatureHex = reader.signatureHex;
  return result;
}

int Unarchiver_extractArchive(RingBuffer* ring, const char* folder,
                              const std::atomic<bool>* transferFailed) {
  return extractArchive(ring, folder, nullptr, transferFailed);
}

int Unarchiver_extractNestedArchive(RingBuffer* ring, const char* folder, Pack200Queue* queue) {
  return extractArchive(ring, folder, queue, nullptr);
}

int Unarchiver_extractOne(RingBuffer* ring, const char* folder) {
  ArchiveReader reader = {};
  reader.ring = ring;
  reader.folder = folder;
  reader.signatureLength = -1;
  reader.keepBlock = false;
  reader.buffer = tailExtractBuffer;
  reader.bufferSize = tailExtractBufferSize;
  const int result = extractEntry(&reader);
  if (!reader.cut) return result;
  logMessage(TAIL_CUT_LINE, reader.entryPath.c_str());
  return UNARCHIVER_ENTRY_CUT;
}

bool isLzmaArchivePath(const char* path) {
  const size_t length = strlen(path);
  const size_t suffix = sizeof LZMA_ARCHIVE_SUFFIX - 1;
  return length >= suffix && strcmp(path + length - suffix, LZMA_ARCHIVE_SUFFIX) == 0;
}

bool isSignatureBlock(const char* path) {
  if (strncmp(path, SPECIAL_BLOCK_PREFIX, SPECIAL_BLOCK_PREFIX_LENGTH) != 0) return false;
  logMessage("[Unarchiver] Found special block %s\n", path);
  return strcmp(path + SPECIAL_BLOCK_PREFIX_LENGTH, SIGNATURE_BLOCK_NAME) == 0;
}

void digestReadRecords(ReadRecordList* records, hash_state* digest) {
  if (records == nullptr || digest == nullptr) return;
  for (int32_t i = 0; i < records->count; ++i) {
    mixedHashProcess(digest, reinterpret_cast<const unsigned char*>(records->items[i]),
                     records->lengths[i]);
  }
  clearReadRecords(records);
}
