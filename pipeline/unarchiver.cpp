#include "pipeline/unarchiver.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/fileops.h"
#include "core/log.h"
#include "core/paths.h"
#include "pipeline/signature.h"
#include "pipeline/streamer_stages.h"
#include "pipeline/unarchiver_check.h"
#include "pipeline/unarchiver_files.h"
#include "pipeline/unarchiver_tree.h"
#include "src/hashes/mixedhash/mixed.h"

unsigned char* tailExtractBuffer = nullptr;
int tailExtractBufferSize = 1048576;

namespace {

// ---- Texts of the Unarchiver ---------------------------------------------------------

constexpr char SPECIAL_BLOCK_PREFIX[] = "hvArcSpBlock_";
constexpr size_t SPECIAL_BLOCK_PREFIX_LENGTH = sizeof SPECIAL_BLOCK_PREFIX - 1;
constexpr char SIGNATURE_BLOCK_NAME[] = "DigitalSignature1";
constexpr char LZMA_ARCHIVE_SUFFIX[] = "p2.l2";
constexpr char PACK200_SUFFIX[] = ".p2";
constexpr char UNPACK200_NAME[] = "unpack200";

constexpr char EOF_WARNING[] = "[Unarchiver] WARNING. EOF encountered.\n";
constexpr char ILLEGAL_PATH_LINE[] =
    "\t[Unarchiver] *************************** Unable to extract archive file. Illegal "
    "path %s\n";
constexpr char TAIL_CUT_LINE[] =
    "[Unarchiver] Entry %s ends before its length: the installer file is cut\n";
constexpr char NO_PATH[] = "(path missing)";
constexpr char BROKEN_OFF_LINE[] =
    "[Unarchiver] The download failed before the archive's end: it is not checked.\n";
constexpr char BOMB_LINE[] =
    "[Unarchiver] The archive writes more than 64 times the %llu compressed bytes received "
    "so far plus 64 MiB: it is refused.\n";
constexpr char TOO_DEEP_LINE[] =
    "[Unarchiver] %s is nested deeper than 4 archives: it is refused.\n";

// ---- Reading one archive -------------------------------------------------------------

// What one stream's entries share from call to call.
struct ArchiveReader {
  RingBuffer* ring;
  const char* folder;  // for the lines and the removal of a refused archive
  int folderFd;        // every entry is made relative to it
  long signatureLength;  // -1 until a block carried a value
  char* signatureHex;    // the block's text once met (empty when it carried none)
  bool blockMet;
  bool keepBlock;  // false: a block's values are read and dropped (wrapper tail)
  hash_state* digest;
  ReadRecordList* records;
  unsigned char* buffer;
  int64_t bufferSize;
  ArchiveTree* tree;  // null: pack200 files are unpacked at once (the wrapper tail)
  bool cut;             // the stream ended inside an entry
  std::string entryPath;  // of the entry read last, for the line about a cut tail
};

// Values read without a record list belong to the reader.
void dropUnrecorded(char* value, const ArchiveReader* reader) {
  if (reader->records == nullptr) free(value);
}

// Counts what an entry is about to write against the download's allowance; past it the
// archive is refused before the bytes reach the disk. file (when given) is closed first.
void chargeWrite(const ArchiveReader* reader, uint64_t bytes, FILE* file = nullptr) {
  if (reader->tree == nullptr || ArchiveTree_charge(reader->tree, bytes)) return;
  if (file != nullptr) fclose(file);
  char cause[sizeof BOMB_LINE + 24];
  snprintf(cause, sizeof cause, BOMB_LINE,
           static_cast<unsigned long long>(ArchiveTree_compressedSoFar(reader->tree)));
  Unarchiver_refuse(reader->folder, cause);
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
void extractNested(ArchiveReader* reader, const char* path, int64_t length) {
  logMessage("\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.\n");
  ArchiveTree ownTree;
  ownTree.folderFd = reader->folderFd;
  ArchiveTree* tree = reader->tree != nullptr ? reader->tree : &ownTree;
  if (tree->depth >= MAX_ARCHIVE_DEPTH) {
    char cause[sizeof TOO_DEEP_LINE + PATH_BUFFER_SIZE];
    snprintf(cause, sizeof cause, TOO_DEEP_LINE, path);
    Unarchiver_refuse(reader->folder, cause);
  }
  RingBuffer* inner = RingBuffer_create(NESTED_RING_ID, NESTED_RING_SIZE);
  UnLzmaUnarchiveContext* context = nullptr;
  ++tree->depth;
  StageThreadSet* threads =
      Streamer_startStages(inner, reader->folder, tree, Unarchiver_extractStage, &context);
  bool innerOpen = true;
  copyEntryData(reader, length, [&](const unsigned char* chunk, int32_t n) {
    if (innerOpen) innerOpen = RingBuffer_writeAll(inner, chunk, n);
  });
  RingBuffer_close(inner);
  pthread_join(threads->unArchiver, nullptr);
  // The decoder ends by itself now: its input is closed and its output's consumer gone.
  pthread_join(threads->unLzmaer, nullptr);
  --tree->depth;
  if (context->archiveCut != 0 || context->unLzmaResult != 0) reader->cut = true;
  // Both stages have ended: nothing can touch their rings and records any more, and an
  // archive of many nested ones stays flat in memory.
  RingBuffer_destroy(inner);
  Streamer_freeNestedStages(threads, context);
  logMessage("\t[Unarchiver] .p2.l2 in sync unarchive complete.\n");
  // Only the wrapper tail reads nested archives without a tree of its own: its files
  // were checked by the nested archive itself and unpack now.
  if (reader->tree == nullptr) ArchiveTree_runPack200(&ownTree);
}

void extractFile(ArchiveReader* reader, int folderFd, const char* name, const char* target,
                 const char* display, int64_t length) {
  EntryFile entry = UnarchiverFiles_create(folderFd, name);
  logMessage("\t[Unarchiver] Extracting to file %s (length:%ld)\n", display,
             static_cast<long>(length));
  if (entry.file == nullptr) Unarchiver_failUnwritable("open for writing", target, entry.error);
  chargeWrite(reader, ENTRY_WRITE_COST, entry.file);
  copyEntryData(reader, length, [&](const unsigned char* chunk, int32_t n) {
    chargeWrite(reader, static_cast<uint64_t>(n), entry.file);
    UnarchiverFiles_write(&entry, chunk, n);
  });
  UnarchiverFiles_finish(&entry, target);
  logMessage("[Unarchiver] Extracted %s length:%ld\n", display, static_cast<long>(length));
}

// Feeds each held value into digest in order and empties the list; with no digest
// nothing happens.
void digestReadRecords(ReadRecordList* records, hash_state* digest) {
  if (records == nullptr || digest == nullptr) return;
  for (int32_t i = 0; i < records->count; ++i) {
    mixedHashProcess(digest, reinterpret_cast<const unsigned char*>(records->items[i]),
                     records->lengths[i]);
  }
  clearReadRecords(records);
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

  // The paths of the lines (and of unpack200) must fit their buffers whole: a cut one
  // would name another file.
  char display[PATH_BUFFER_SIZE];
  char target[PATH_BUFFER_SIZE];
  char unpacked[PATH_BUFFER_SIZE];
  const bool named = setString(display, pathCopy) != nullptr &&
                     buildPath2(target, reader->folder, pathCopy) != nullptr &&
                     buildPath2(unpacked, reader->folder, pathCopy) != nullptr &&
                     (type != 2 || (appendText(display, sizeof display, PACK200_SUFFIX) &&
                                    appendText(target, sizeof target, PACK200_SUFFIX)));
  if (!named) Unarchiver_failUnwritable("extract", pathCopy, ENAMETOOLONG);
  // A path from the stream's top names the same entry below the folder.
  const char* relative = pathCopy;
  while (*relative == '/') ++relative;
  dropUnrecorded(path, reader);

  if (type == 1) {
    chargeWrite(reader, ENTRY_WRITE_COST);
    UnarchiverFiles_makeFolder(reader->folderFd, relative, target);
    free(pathCopy);
    logMessage("\t[Unarchiver] Created folder %s\n", display);
    digestReadRecords(reader->records, reader->digest);
    return 0;
  }
  std::string name;
  const int folderFd = UnarchiverFiles_openEntryFolder(reader->folderFd, relative, target, &name);
  QueuedPack200 pack200;
  if (type == 2) pack200 = {relative, target, unpacked};
  free(pathCopy);
  // unpack200 writes the unpacked file itself: a link in its place is refused now (and
  // looked for again when it runs).
  if (type == 2) UnarchiverFiles_refuseLink(folderFd, name.c_str(), unpacked);

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
    close(folderFd);
    logMessage("\t[Unarchiver] Skipping empty file %s\n", display);
    digestReadRecords(reader->records, reader->digest);
    return 0;
  }
  digestReadRecords(reader->records, reader->digest);

  if (type != 2 && isLzmaArchivePath(target)) {
    close(folderFd);
    extractNested(reader, display, length);
  } else {
    const std::string fileName = type == 2 ? name + PACK200_SUFFIX : name;
    extractFile(reader, folderFd, fileName.c_str(), target, display, length);
    close(folderFd);
  }
  if (strstr(target, UNPACK200_NAME) != nullptr) chmod755Recursive(target);
  if (type != 2) return 0;

  logMessage("\t[Unarchiver] Requires unpacking200...\n");
  if (reader->tree != nullptr) {
    // No code from an archive runs before the outermost archive passed its check.
    ArchiveTree_queuePack200(reader->tree, pack200);
    logMessage("\t[Unarchiver] Unpacking200 waits for the signature check\n");
  } else {
    Unarchiver_unpack200(reader->folderFd, pack200);
  }
  return 0;
}

// The copy buffer is mapped for itself: from the heap, each nested archive's stage thread
// would leave it resident in an arena of its own, and the process would grow with the
// number of nested archives. Zero-filled, as the first use expects nothing else.
unsigned char* allocateCopyBuffer() {
  void* buffer = mmap(nullptr, EXTRACT_BUFFER_SIZE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return static_cast<unsigned char*>(buffer);
}

// The archive's SignatureBlock arrived with its values (whether they verify is the
// check's to say).
bool blockArrivedWhole(const ArchiveReader* reader) {
  return reader->blockMet && reader->signatureHex != nullptr && reader->signatureHex[0] != '\0';
}

int extractArchive(RingBuffer* ring, const char* folder, ArchiveTree* outerTree,
                   const std::atomic<bool>* transferFailed,
                   const std::atomic<uint64_t>* compressedBytes) {
  logMessage("[Unarchiver] [START] Extracting archive %s\n", folder);
  fflush(stdout);
  ArchiveTree ownTree;
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
  reader.buffer = allocateCopyBuffer();
  reader.bufferSize = EXTRACT_BUFFER_SIZE;
  reader.tree = outerTree != nullptr ? outerTree : &ownTree;
  if (outerTree == nullptr) {
    ownTree.folderFd = UnarchiverFiles_openTarget(folder);
    ownTree.transferFailed = transferFailed;
    ownTree.compressedBytes = compressedBytes;
    ownTree.depth = 1;
  }
  reader.folderFd = reader.tree->folderFd;
  const std::atomic<bool>* download = reader.tree->transferFailed;
  if (reader.buffer == MAP_FAILED) {
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
    if (outerTree == nullptr) {
      logMessage(BROKEN_OFF_LINE);
      if (archiveKeyRequired.load()) DeleteFolder(folder);
    }
    reader.cut = true;
  } else {
    Unarchiver_checkSignature(folder, reader.blockMet, reader.signatureLength,
                              reader.signatureHex, &digest);
    if (outerTree == nullptr) ArchiveTree_runPack200(&ownTree);
  }
  if (outerTree == nullptr) close(ownTree.folderFd);
  clearReadRecords(&records);
  free(records.items);
  free(records.lengths);
  munmap(reader.buffer, EXTRACT_BUFFER_SIZE);
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
  reader.folderFd = UnarchiverFiles_openTarget(folder);
  const int result = extractEntry(&reader);
  close(reader.folderFd);
  *signatureLength = reader.signatureLength;
  if (signatureHex != nullptr) *signatureHex = reader.signatureHex;
  return result;
}

int Unarchiver_extractArchive(RingBuffer* ring, const char* folder,
                              const std::atomic<bool>* transferFailed,
                              const std::atomic<uint64_t>* compressedBytes) {
  return extractArchive(ring, folder, nullptr, transferFailed, compressedBytes);
}

int32_t Unarchiver_extractStage(UnLzmaUnarchiveContext* stage) {
  // Only what arrives from a download is bounded by what arrived.
  const std::atomic<uint64_t>* allowance =
      stage->transferFailed != nullptr ? &stage->compressedBytes : nullptr;
  return extractArchive(stage->output, stage->folder, stage->tree, stage->transferFailed, allowance);
}

int Unarchiver_extractOne(RingBuffer* ring, const char* folder) {
  ArchiveReader reader = {};
  reader.ring = ring;
  reader.folder = folder;
  reader.signatureLength = -1;
  reader.keepBlock = false;
  reader.buffer = tailExtractBuffer;
  reader.bufferSize = tailExtractBufferSize;
  reader.folderFd = UnarchiverFiles_openTarget(folder);
  const int result = extractEntry(&reader);
  close(reader.folderFd);
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
