// Unarchiver: reads an ArchiveStream (entries of type, path, length and data in property
// stream encoding, optionally ended by a SignatureBlock) from a ring and writes its entries
// under a target folder as the bytes arrive: folders, plain files, pack200 files (unpacked
// with unpack200Path) and nested ".p2.l2" archives (decompressed and extracted by a
// pipeline of their own). A running mixed digest covers every byte before the
// SignatureBlock. Fail closed: while archiveKeyRequired is set, an archive that does not
// end in a SignatureBlock that verifies removes what it wrote and ends the process with
// status 1. No entry is written outside its target folder or through a symbolic link.
#pragma once

#include <tomcrypt.h>

#include <atomic>
#include <cstdint>

#include "core/property_stream.h"
#include "core/ring_buffer.h"
#include "pipeline/streamer_stages.h"
#include "pipeline/unarchiver_tree.h"

constexpr int32_t EXTRACT_BUFFER_SIZE = 1048576;
constexpr int32_t NESTED_RING_SIZE = 1048576;
constexpr int32_t NESTED_RING_ID = 5;
constexpr int32_t SIGNATURE_HEX_SIZE = 4096;

// The buffer that serves every wrapper-tail entry; allocated before main, never freed.
extern unsigned char* tailExtractBuffer;
extern int tailExtractBufferSize;

// Allocates tailExtractBuffer (runs as the program's static initialiser).
void initTailBuffer();

// Extracts the next entry of the stream into folder. 0 after an entry; -1 at the end of
// the stream or at the SignatureBlock, whose two values are stored through the holders:
// *signatureHex then always receives a text (empty when the block carries none), so a
// block is told by *signatureHex even when *signatureLength stays -1. Once a block was
// met (either holder set) every further call returns -1 without reading. The caller
// sets *signatureLength to -1 (and *signatureHex to null) before the first call.
// digest and records may be null (no digest); signatureHex may be null: the block's
// values are then read and dropped, a line says so, and 0 is returned (the tail goes
// on). buffer holds at least as many bytes as the ring's capacity. Pack200 entries are
// unpacked at once. Ends the process with status 1 on an illegal path, a link in the
// way or a file or folder that cannot be written (a line names the path and the
// system's reason first).
int Unarchiver_extractEntry(RingBuffer* ring, const char* folder, long* signatureLength,
                            char** signatureHex, hash_state* digest, ReadRecordList* records,
                            unsigned char* buffer);

// Extracts a whole stream into folder and checks its signature; the UnArchiver stage's
// work. Returns 0 when the stream was read whole, 1 when it ended inside an entry (the
// archive was cut: data short or a length value missing) or a nested archive in it
// was cut or failed to decode. A failed check does not return: the process ends with
// status 1, and the contents of folder are removed only while archiveKeyRequired is
// set. The same end, with a line naming the cause, refuses an archive nested more than
// MAX_ARCHIVE_DEPTH deep (this one counted), and a downloaded archive (compressedBytes
// given: the download's compressed bytes received so far) that would write more than
// 64 times those bytes plus 64 MiB before its check. Pack200 entries (nested ones
// included) are unpacked only after this archive has passed its check; an unpack200
// that fails ends the process (Unarchiver_unpack200). Its input ring is closed when it
// returns, so a producer still writing is released. Behind a download, transferFailed
// is set before the ring ends when the transfer failed: an archive that then ends short
// of a whole SignatureBlock (nested ones included) is a failed download, not a failed
// check: a line says so, the contents of folder are removed while archiveKeyRequired is
// set, and 1 is returned.
int Unarchiver_extractArchive(RingBuffer* ring, const char* folder,
                              const std::atomic<bool>* transferFailed = nullptr,
                              const std::atomic<uint64_t>* compressedBytes = nullptr);

// What the UnArchiver stage runs (pipeline/streamer_stages.h): Unarchiver_extractArchive
// on the record, bounded by what its download received so far when it comes from one;
// for an archive nested in another (the record has the outermost archive's tree) the
// same checks, but its pack200 files join the tree instead of running, and its writes
// count against the tree's allowance.
int32_t Unarchiver_extractStage(UnLzmaUnarchiveContext* stage);

// One entry of the wrapper tail into folder, without digest, using tailExtractBuffer;
// 0, or -1 at the end of the stream. Pack200 entries are unpacked at once. An entry that
// ends before its length (its data, its header values, or a nested archive in it cut or
// undecodable) is logged as a cut installer file and gives UNARCHIVER_ENTRY_CUT: what it
// wrote is not whole, and nothing may complete a folder holding it.
constexpr int UNARCHIVER_ENTRY_CUT = 1;
int Unarchiver_extractOne(RingBuffer* ring, const char* folder);

// True when path ends in "p2.l2".
bool isLzmaArchivePath(const char* path);
// For a path beginning with "hvArcSpBlock_": logs it as a special block and tells
// whether it is the SignatureBlock; false for every other path.
bool isSignatureBlock(const char* path);
