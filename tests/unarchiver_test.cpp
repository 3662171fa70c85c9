// Archive extraction end to end: streams built by the test packer (signed with the
// committed test keys) are fed to a ring and extracted by the real Unarchiver in a
// forked child (a failed check ends the process), and the folder, the exit status, the
// log and the unpack200 calls are read back.
#include "pipeline/unarchiver.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/ring_buffer.h"
#include "pipeline/signature.h"
#include "tests/support/fake_pack200.h"
#include "tests/support/java_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

namespace {

namespace fs = std::filesystem;
using hvpack::ArchiveBuilder;
using hvpack::PropertyWriter;

// Exit statuses of the child: the extraction returned (whole or cut), or it ended the
// process itself.
constexpr int RETURNED_WHOLE = 40;
constexpr int RETURNED_CUT = 41;
constexpr int ENDED = 1;
constexpr int CHILD_DEADLINE_SECONDS = 30;

const char STAR_LINE[] = "***********************************************************************";
const char FAILED_CHECK[] = "[Unarchiver] ERROR - unable to verify signature of hash of archive.";
const char DISREGARD[] = "[Unarchiver] Halvorin will disregard this update.";
const char VERIFIED[] = "[Unarchiver] Archive signature verified.";
const char VERIFYING[] = "[Unarchiver] Verifying signature";
const char EOF_LINE[] = "[Unarchiver] WARNING. EOF encountered.";
const char UNWRITABLE[] =
    "\t[Unarchiver] *************************** Unable to extract archive file. Unable to "
    "open file for writing.";

enum class Key {
  None,                // no key in the tail: unsigned archives pass
  Required,            // the 2048-bit test key, imported
  RequiredUnimported,  // the tail carried a key that did not import
};

void setKey(Key key) {
  archiveKeyRequired.store(key != Key::None);
  archiveSignatureKey.store(nullptr);
  if (key == Key::Required) {
    const SignerBytes der = Signer_publicKeyDer(2048);
    archiveSignatureKey.store(importPublicKey(der.data(), static_cast<int>(der.size())));
  }
}

std::string randomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine());
  return bytes;
}

// Folder contents: files with their bytes (long ones by size and checksum, so that a
// failure prints short), folders as "/", links as "-> target".
using Tree = std::map<std::string, std::string>;

std::string content(const std::string& bytes) {
  if (bytes.size() <= 64) return bytes;
  uint64_t hash = 1469598103934665603ULL;
  for (unsigned char c : bytes) hash = (hash ^ c) * 1099511628211ULL;
  return std::to_string(bytes.size()) + " bytes, fnv " + std::to_string(hash);
}

Tree readTree(const std::string& root) {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = fs::relative(it->path(), root).string();
    const fs::file_status status = it->symlink_status();
    if (fs::is_symlink(status)) {
      tree[relative] = "-> " + fs::read_symlink(it->path()).string();
    } else if (fs::is_directory(status)) {
      tree[relative] = "/";
    } else {
      tree[relative] = content(readFileBytes(it->path().string()));
    }
  }
  return tree;
}

struct Extraction {
  ChildRun run;
  std::string unpackCalls;  // one line per unpack200 call, arguments tab separated
};

// Extracts stream into folder in a child, with unpack200Path on the fake tool (unless
// noUnpack200) recording its calls into a file of scratch.
Extraction extractInChild(const ScratchDir& scratch, const std::string& folder,
                          const std::string& stream, Key key, bool noUnpack200 = false,
                          const std::function<void()>& childSetup = {}) {
  const std::string calls = scratch / "unpack200-calls";
  remove(calls.c_str());
  const std::string tool = fakeUnpack200ToolPath();
  Extraction result;
  result.run = runInChild(
      [&] {
        setenv(FIXTURE_UNPACK200_CALLS_ENV, calls.c_str(), 1);
        setKey(key);
        unpack200Path.store(noUnpack200 ? nullptr : tool.c_str());
        if (childSetup) childSetup();
        const int32_t capacity = stream.empty() ? 1 : static_cast<int32_t>(stream.size());
        RingBuffer* ring = keptRing(1, capacity);
        RingBuffer_write(ring, stream.data(), static_cast<int32_t>(stream.size()));
        RingBuffer_close(ring);
        return RETURNED_WHOLE + Unarchiver_extractArchive(ring, folder.c_str());
      },
      CHILD_DEADLINE_SECONDS);
  if (pathExists(calls)) result.unpackCalls = readFileBytes(calls);
  return result;
}

std::string signatureValues(const std::string& lengthText, const std::string& hex) {
  return PropertyWriter().value(lengthText).value(hex).bytes();
}

// ---- The archive format, one table -------------------------------------------------

const std::string PAYLOAD = randomBytes(300000, 7);

ArchiveBuilder nestedInner() {
  ArchiveBuilder inner;
  inner.folder("in").file("in/small.txt", "inside").file("in/big.bin", PAYLOAD);
  return inner;
}

// A signed archive with a signed nested one, and the byte offsets of interesting spots.
struct SignedNested {
  std::string unsignedBytes;
  std::string stream;
  size_t nestedData;  // first compressed byte of the nested entry
};

SignedNested signedNested() {
  ArchiveBuilder outer;
  outer.file("top.txt", "top");
  const std::string before = outer.bytes();
  const std::string innerSigned = nestedInner().signedBytes(2048);
  outer.nested("inner.p2.l2", innerSigned);
  const std::string compressed = hvpack::xzCompress(innerSigned);
  const size_t dataStart = outer.bytes().size() - compressed.size();
  return {outer.bytes(), outer.signedBytes(2048), dataStart};
}

// Another value at one byte (a hex digit stays a hex digit of another value).
std::string flipByte(std::string bytes, size_t at) {
  bytes[at] = bytes[at] == '0' ? '1' : '0';
  return bytes;
}

struct ArchiveCase {
  const char* name;
  std::function<std::string()> stream;
  Key key;
  int status;
  Tree tree;                        // the whole target folder afterwards
  std::vector<std::string> lines;   // log lines that appear in this order
  std::vector<std::string> absent;  // log lines that never appear
  int unpackCalls = 0;
};

const Tree NESTED_TREE = {{"top.txt", "top"},
                          {"in", "/"},
                          {"in/small.txt", "inside"},
                          {"in/big.bin", content(PAYLOAD)}};

std::vector<ArchiveCase> archiveCases() {
  const SignedNested nested = signedNested();
  const size_t firstTerminator = nested.stream.find('\0');
  return {
      {"EmptyStreamIsAnEmptyArchive", [] { return std::string(); }, Key::None, RETURNED_WHOLE,
       {},
       {"[Unarchiver] [START] Extracting archive {dir}", EOF_LINE,
        "[Unarchiver] [END] Extracting archive {dir}"},
       {VERIFYING}},
      {"ParentFoldersAreCreated",
       [] { return ArchiveBuilder().folder("a/b/c").file("x/y/z.txt", "zz").bytes(); }, Key::None,
       RETURNED_WHOLE,
       {{"a", "/"}, {"a/b", "/"}, {"a/b/c", "/"}, {"x", "/"}, {"x/y", "/"}, {"x/y/z.txt", "zz"}},
       {"[Unarchiver] Extracting a/b/c (::1 from 1)", "\t[Unarchiver] Created folder a/b/c",
        "\t[Unarchiver] Extracting to file x/y/z.txt (length:2)",
        "[Unarchiver] Extracted x/y/z.txt length:2"}},
      {"EmptyFileCreatesNothing", [] { return ArchiveBuilder().file("empty.txt", "").bytes(); },
       Key::None, RETURNED_WHOLE, {}, {"\t[Unarchiver] Skipping empty file empty.txt"}},
      {"Pack200EntryIsUnpackedAndItsP2Removed",
       [] { return ArchiveBuilder().pack200("lib/rt.jar", "class bytes").bytes(); }, Key::None,
       RETURNED_WHOLE, {{"lib", "/"}, {"lib/rt.jar", "class bytes"}},
       {"\t[Unarchiver] Extracting to file lib/rt.jar.p2 (length:27)",
        "\t[Unarchiver] Requires unpacking200..."},
       {},
       1},
      {"P2L2OfType2IsNoNestedArchive",
       [] { return ArchiveBuilder().pack200("x.p2.l2", "packed").bytes(); }, Key::None,
       RETURNED_WHOLE, {{"x.p2.l2", "packed"}}, {}, {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive."},
       1},
      {"OtherSpecialBlocksAreOrdinaryEntries",
       [] {
         return ArchiveBuilder().file("hvArcSpBlock_Other", "o").file("hvArcSpBlock_", "e").bytes();
       },
       Key::None, RETURNED_WHOLE, {{"hvArcSpBlock_Other", "o"}, {"hvArcSpBlock_", "e"}},
       {"[Unarchiver] Found special block hvArcSpBlock_Other",
        "[Unarchiver] Found special block hvArcSpBlock_"}},
      {"SignedNestedArchiveVerifiesAtBothLevels", [=] { return nested.stream; }, Key::Required,
       RETURNED_WHOLE, NESTED_TREE,
       {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.", VERIFIED,
        "\t[Unarchiver] .p2.l2 in sync unarchive complete.", VERIFIED}},
      {"LegacyLzmaNestedArchive",
       [] {
         return ArchiveBuilder()
             .nested("old.p2.l2", nestedInner().bytes(), hvpack::NestedFormat::LzmaAlone)
             .bytes();
       },
       Key::None, RETURNED_WHOLE,
       {{"in", "/"}, {"in/small.txt", "inside"}, {"in/big.bin", content(PAYLOAD)}}, {}},
      {"EntriesAfterTheBlockAreNeverRead",
       [=] { return nested.stream + ArchiveBuilder().file("after.txt", "late").bytes(); },
       Key::Required, RETURNED_WHOLE, NESTED_TREE, {VERIFIED}, {"[Unarchiver] Extracting after.txt (::0 from 0)"}},
      {"ChangedHeaderValueFails", [=] { return flipByte(nested.stream, 2); }, Key::Required, ENDED,
       {}, {VERIFIED, STAR_LINE, FAILED_CHECK, DISREGARD, STAR_LINE}, {}},
      {"ChangedTerminatorFails",
       [=] { return flipByte(nested.stream, firstTerminator); }, Key::Required, ENDED, {}, {FAILED_CHECK}},
      {"ChangedDataByteFails", [=] { return flipByte(nested.stream, nested.stream.find("top") + 1); },
       Key::Required, ENDED, {}, {FAILED_CHECK}},
      {"ChangedNestedCompressedByteFails",
       [=] { return flipByte(nested.stream, nested.nestedData + 20); }, Key::Required, ENDED, {},
       {FAILED_CHECK}},
      {"ChangedSignatureFails", [=] { return flipByte(nested.stream, nested.stream.size() - 3); },
       Key::Required, ENDED, {}, {FAILED_CHECK}},
      {"BytesAfterTheBlockChangeNothing", [=] { return nested.stream + "trailing junk"; },
       Key::Required, RETURNED_WHOLE, NESTED_TREE, {VERIFIED, VERIFIED}},
      {"TruncatedNestedArchiveEndsTheStream",
       [=] { return nested.stream.substr(0, nested.nestedData + 10); }, Key::None, RETURNED_CUT,
       {{"top.txt", "top"}},
       {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.",
        "\t[Unarchiver] .p2.l2 in sync unarchive complete.", EOF_LINE},
       {VERIFYING}},
      {"DataShortIsACutArchive",
       [] { return ArchiveBuilder().entry("0", "short.bin", "100", "only ten b").bytes(); },
       Key::None, RETURNED_CUT, {{"short.bin", "only ten b"}}, {EOF_LINE}},
      {"MissingLengthIsACutArchive",
       [] { return PropertyWriter().value("0").value("nolength.bin").bytes(); }, Key::None,
       RETURNED_CUT, {{"nolength.bin", ""}}, {EOF_LINE}},
      {"StreamEndingAfterTheTypeIsACutArchive", [] { return PropertyWriter().value("0").bytes(); },
       Key::None, RETURNED_CUT, {}, {EOF_LINE}},
      {"EmptyTypeValueEndsTheStream",
       [] { return ArchiveBuilder().file("a.txt", "a").raw(std::string(1, '\0')).file("b.txt", "b").bytes(); },
       Key::None, RETURNED_WHOLE, {{"a.txt", "a"}}, {EOF_LINE}},
      {"LengthBeyond32BitsStaysPositive",
       [] { return ArchiveBuilder().entry("0", "huge.bin", "3000000000", "ten bytes!").bytes(); },
       Key::None, RETURNED_CUT, {{"huge.bin", "ten bytes!"}},
       {"\t[Unarchiver] Extracting to file huge.bin (length:3000000000)"}},
      {"AbsolutePathJoinsUnderTheFolder",
       [] { return ArchiveBuilder().file("/abs/file.txt", "abs").bytes(); }, Key::None,
       RETURNED_WHOLE, {{"abs", "/"}, {"abs/file.txt", "abs"}}, {}},
  };
}

class ArchiveFormatTest : public testing::TestWithParam<ArchiveCase> {};

std::string withDir(std::string line, const std::string& dir) {
  const size_t at = line.find("{dir}");
  if (at != std::string::npos) line.replace(at, 5, dir);
  return line;
}

TEST_P(ArchiveFormatTest, Extracts) {
  const ArchiveCase& c = GetParam();
  ScratchDir scratch;
  const std::string folder = scratch / "target";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  const Extraction e = extractInChild(scratch, folder, c.stream(), c.key);
  ASSERT_FALSE(e.run.timedOut);
  EXPECT_EQ(c.status, e.run.exitStatus) << e.run.output;
  EXPECT_EQ(c.tree, readTree(folder));
  std::vector<std::string> lines;
  for (const std::string& line : c.lines) lines.push_back(withDir(line, folder));
  EXPECT_EQ("", missingInOrder(e.run.output, lines)) << e.run.output;
  for (const std::string& line : c.absent) EXPECT_FALSE(hasLine(e.run.output, line)) << line;
  EXPECT_EQ(c.unpackCalls, countLinesStartingWith(e.unpackCalls, fakeUnpack200ToolPath()))
      << e.unpackCalls;
}

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveFormatTest, testing::ValuesIn(archiveCases()),
                         [](const testing::TestParamInfo<ArchiveCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
