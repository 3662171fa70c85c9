// Archive extraction end to end: streams built by the test packer (signed with the
// committed test keys) are fed to a ring and extracted by the real Unarchiver in a
// forked child (a failed check ends the process), and the folder, the exit status, the
// log and the unpack200 calls are read back.
#include "pipeline/unarchiver.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
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
#include <thread>
#include <vector>

#include "core/ring_buffer.h"
#include "core/wait_limits.h"
#include "pipeline/file_reader.h"
#include "pipeline/signature.h"
#include "tests/support/fake_pack200.h"
#include "tests/support/java_fixture.h"
#include "tests/support/log_lines.h"
#include "tests/support/output_capture.h"
#include "tests/support/packer.h"
#include "tests/support/ring_keeper.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/signer.h"

#if defined(__SANITIZE_THREAD__)
// A fatal error ends the process from the stage thread that met it, while the stages
// around it are still unjoined, by design: such an end is no thread leak.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }
#endif

// The case tables name only the fields that matter to each case; the others keep their
// defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

namespace fs = std::filesystem;
using hvpack::ArchiveBuilder;
using hvpack::PropertyWriter;

// Exit statuses of the child: the extraction returned (whole or cut), or it ended the
// process itself.
constexpr int RETURNED_WHOLE = 40;
constexpr int RETURNED_CUT = 41;
constexpr int ENDED = 1;
// An extraction here takes well under a second; a stage that never lets go fails its
// case after this long instead of holding the suite.
constexpr int CHILD_DEADLINE_SECONDS = 10;

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
    const std::string relative = it->path().lexically_relative(root).string();
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
                          const std::function<void(const std::string&)>& childSetup = {}) {
  const std::string calls = scratch / "unpack200-calls";
  remove(calls.c_str());
  const std::string tool = fakeUnpack200ToolPath();
  Extraction result;
  result.run = runInChild(
      [&] {
        setenv(FIXTURE_UNPACK200_CALLS_ENV, calls.c_str(), 1);
        setKey(key);
        unpack200Path.store(noUnpack200 ? nullptr : tool.c_str());
        if (childSetup) childSetup(folder);
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

// A signed archive with a nested one (signed too unless asked), and where the nested
// archive's compressed bytes begin.
struct SignedNested {
  std::string unsignedBytes;
  std::string stream;
  size_t nestedData;  // first compressed byte of the nested entry
};

SignedNested makeSignedNested(bool signInner) {
  ArchiveBuilder outer;
  outer.file("top.txt", "top");
  const std::string innerSigned = signInner ? nestedInner().signedBytes(2048) : nestedInner().bytes();
  outer.nested("inner.p2.l2", innerSigned);
  const std::string compressed = hvpack::xzCompress(innerSigned);
  const size_t dataStart = outer.bytes().size() - compressed.size();
  return {outer.bytes(), outer.signedBytes(2048), dataStart};
}

// Made on first use, not when the cases are listed: every test process lists them all,
// but runs one.
const SignedNested& signedNested(bool signInner = true) {
  static const SignedNested withSignedInner = makeSignedNested(true);
  static const SignedNested withPlainInner = makeSignedNested(false);
  return signInner ? withSignedInner : withPlainInner;
}

// Another value at one byte (a hex digit stays a hex digit of another value).
std::string flipByte(std::string bytes, size_t at) {
  bytes[at] = bytes[at] == '0' ? '1' : '0';
  return bytes;
}

// One extraction: the stream, the key mode, what the folder holds before (planted by
// plant, given the target and an "outside" folder beside it) and what must come out.
struct ArchiveCase {
  const char* name;
  std::function<std::string()> stream;
  Key key = Key::None;
  int status = RETURNED_WHOLE;
  Tree tree;                        // the whole target folder afterwards
  std::vector<std::string> lines;   // log lines that appear in this order
  std::vector<std::string> absent;  // log lines that never appear
  int unpackCalls = 0;
  std::function<void(const std::string& target, const std::string& outside)> plant;
  Tree outside;  // the whole outside folder afterwards
  bool noUnpack200 = false;
  std::function<void(const std::string& target)> childSetup;  // in the child, before extracting
};

// Fills in "{dir}" (the target folder) and "{outside}" (the folder beside it).
std::string fillIn(std::string text, const std::string& dir, const std::string& outside) {
  for (const auto& [mark, value] : {std::pair<std::string, std::string>{"{dir}", dir},
                                    std::pair<std::string, std::string>{"{outside}", outside}}) {
    const size_t at = text.find(mark);
    if (at != std::string::npos) text.replace(at, mark.size(), value);
  }
  return text;
}

void runCase(const ArchiveCase& c) {
  ScratchDir scratch;
  const std::string folder = scratch / "target";
  const std::string outside = scratch / "outside";
  ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
  ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
  if (c.plant) c.plant(folder, outside);
  const Extraction e =
      extractInChild(scratch, folder, c.stream(), c.key, c.noUnpack200, c.childSetup);
  ASSERT_FALSE(e.run.timedOut) << e.run.output;
  EXPECT_EQ(c.status, e.run.exitStatus) << e.run.output;
  Tree tree;
  for (const auto& [path, bytes] : c.tree) tree[path] = fillIn(bytes, folder, outside);
  EXPECT_EQ(tree, readTree(folder));
  EXPECT_EQ(c.outside, readTree(outside));
  std::vector<std::string> lines;
  for (const std::string& line : c.lines) lines.push_back(fillIn(line, folder, outside));
  EXPECT_EQ("", missingInOrder(e.run.output, lines)) << e.run.output;
  for (const std::string& line : c.absent)
    EXPECT_FALSE(hasLine(e.run.output, fillIn(line, folder, outside))) << line;
  EXPECT_EQ(c.unpackCalls, countLinesStartingWith(e.unpackCalls, fakeUnpack200ToolPath()))
      << e.unpackCalls;
}

std::string caseName(const testing::TestParamInfo<ArchiveCase>& info) { return info.param.name; }
void PrintTo(const ArchiveCase& c, std::ostream* os) { *os << c.name; }

const Tree NESTED_TREE = {{"top.txt", "top"},
                          {"in", "/"},
                          {"in/small.txt", "inside"},
                          {"in/big.bin", content(PAYLOAD)}};

Tree plus(Tree tree, const Tree& more) {
  tree.insert(more.begin(), more.end());
  return tree;
}

// ---- The archive format, one table -------------------------------------------------

std::vector<ArchiveCase> formatCases() {
  return {
      {.name = "EmptyStreamIsAnEmptyArchive",
       .stream = [] { return std::string(); },
       .lines = {"[Unarchiver] [START] Extracting archive {dir}", EOF_LINE,
                 "[Unarchiver] [END] Extracting archive {dir}"},
       .absent = {VERIFYING}},
      {.name = "ParentFoldersAreCreated",
       .stream = [] { return ArchiveBuilder().folder("a/b/c").file("x/y/z.txt", "zz").bytes(); },
       .tree = {{"a", "/"}, {"a/b", "/"}, {"a/b/c", "/"}, {"x", "/"}, {"x/y", "/"},
                {"x/y/z.txt", "zz"}},
       .lines = {"[Unarchiver] Extracting a/b/c (::1 from 1)",
                 "\t[Unarchiver] Created folder a/b/c",
                 "\t[Unarchiver] Extracting to file x/y/z.txt (length:2)",
                 "[Unarchiver] Extracted x/y/z.txt length:2"}},
      {.name = "EmptyFileCreatesNothing",
       .stream = [] { return ArchiveBuilder().file("empty.txt", "").bytes(); },
       .lines = {"\t[Unarchiver] Skipping empty file empty.txt"}},
      {.name = "Pack200EntryIsUnpackedAndItsP2Removed",
       .stream = [] { return ArchiveBuilder().pack200("lib/rt.jar", "class bytes").bytes(); },
       .tree = {{"lib", "/"}, {"lib/rt.jar", "class bytes"}},
       .lines = {"\t[Unarchiver] Extracting to file lib/rt.jar.p2 (length:27)",
                 "\t[Unarchiver] Requires unpacking200...",
                 "\t[Unarchiver] Unpacking200 {dir}/lib/rt.jar.p2",
                 // Bare names in a folder of the run's own beside the entry.
                 "[Spawner] Appended argument rt.jar.p2", "[Spawner] Appended argument rt.jar"},
       .unpackCalls = 1},
      {.name = "P2L2OfType2IsNoNestedArchive",
       .stream = [] { return ArchiveBuilder().pack200("x.p2.l2", "packed").bytes(); },
       .tree = {{"x.p2.l2", "packed"}},
       .absent = {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive."},
       .unpackCalls = 1},
      {.name = "OtherSpecialBlocksAreOrdinaryEntries",
       .stream =
           [] {
             return ArchiveBuilder().file("hvArcSpBlock_Other", "o").file("hvArcSpBlock_", "e").bytes();
           },
       .tree = {{"hvArcSpBlock_Other", "o"}, {"hvArcSpBlock_", "e"}},
       .lines = {"[Unarchiver] Found special block hvArcSpBlock_Other",
                 "[Unarchiver] Found special block hvArcSpBlock_"}},
      {.name = "SignedNestedArchiveVerifiesAtBothLevels",
       .stream = [=] { return signedNested().stream; },
       .key = Key::Required,
       .tree = NESTED_TREE,
       .lines = {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.", VERIFIED,
                 "\t[Unarchiver] .p2.l2 in sync unarchive complete.", VERIFIED}},
      {.name = "LegacyLzmaNestedArchive",
       .stream =
           [] {
             return ArchiveBuilder()
                 .nested("old.p2.l2", nestedInner().bytes(), hvpack::NestedFormat::LzmaAlone)
                 .bytes();
           },
       .tree = {{"in", "/"}, {"in/small.txt", "inside"}, {"in/big.bin", content(PAYLOAD)}}},
      {.name = "EntriesAfterTheBlockAreNeverRead",
       .stream = [=] { return signedNested().stream + ArchiveBuilder().file("after.txt", "late").bytes(); },
       .key = Key::Required,
       .tree = NESTED_TREE,
       .lines = {VERIFIED},
       .absent = {"[Unarchiver] Extracting after.txt (::0 from 0)"}},
      {.name = "ChangedHeaderValueFails",
       .stream = [=] { return flipByte(signedNested().stream, 2); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {VERIFIED, STAR_LINE, FAILED_CHECK, DISREGARD, STAR_LINE}},
      {.name = "ChangedTerminatorFails",
       .stream = [=] { return flipByte(signedNested().stream, signedNested().stream.find('\0')); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {FAILED_CHECK}},
      {.name = "ChangedDataByteFails",
       .stream = [=] { return flipByte(signedNested().stream, signedNested().stream.find("top") + 1); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {FAILED_CHECK}},
      {.name = "ChangedNestedCompressedByteFails",
       .stream = [=] { return flipByte(signedNested().stream, signedNested().nestedData + 20); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {FAILED_CHECK}},
      {.name = "ChangedSignatureFails",
       .stream = [=] { return flipByte(signedNested().stream, signedNested().stream.size() - 3); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {FAILED_CHECK}},
      {.name = "BytesAfterTheBlockChangeNothing",
       .stream = [=] { return signedNested().stream + "trailing junk"; },
       .key = Key::Required,
       .tree = NESTED_TREE,
       .lines = {VERIFIED, VERIFIED}},
      {.name = "TruncatedNestedArchiveEndsTheStream",
       .stream = [=] { return signedNested().stream.substr(0, signedNested().nestedData + 10); },
       .status = RETURNED_CUT,
       .tree = {{"top.txt", "top"}},
       .lines = {"\t[Unarchiver] .p2.l2 detected. Performing in sync unarchive.",
                 "\t[Unarchiver] .p2.l2 in sync unarchive complete.", EOF_LINE},
       .absent = {VERIFYING}},
      {.name = "DataShortIsACutArchive",
       .stream = [] { return ArchiveBuilder().entry("0", "short.bin", "100", "only ten b").bytes(); },
       .status = RETURNED_CUT,
       .tree = {{"short.bin", "only ten b"}},
       .lines = {EOF_LINE}},
      {.name = "MissingLengthIsACutArchive",
       .stream = [] { return PropertyWriter().value("0").value("nolength.bin").bytes(); },
       .status = RETURNED_CUT,
       .tree = {{"nolength.bin", ""}},
       .lines = {EOF_LINE}},
      {.name = "StreamEndingAfterTheTypeIsACutArchive",
       .stream = [] { return PropertyWriter().value("0").bytes(); },
       .status = RETURNED_CUT,
       .lines = {EOF_LINE}},
      {.name = "EmptyTypeValueEndsTheStream",
       .stream =
           [] {
             return ArchiveBuilder().file("a.txt", "a").raw(std::string(1, '\0')).file("b.txt", "b").bytes();
           },
       .tree = {{"a.txt", "a"}},
       .lines = {EOF_LINE}},
      {.name = "LengthBeyond32BitsStaysPositive",
       .stream =
           [] { return ArchiveBuilder().entry("0", "huge.bin", "3000000000", "ten bytes!").bytes(); },
       .status = RETURNED_CUT,
       .tree = {{"huge.bin", "ten bytes!"}},
       .lines = {"\t[Unarchiver] Extracting to file huge.bin (length:3000000000)"}},
      {.name = "AbsolutePathJoinsUnderTheFolder",
       .stream = [] { return ArchiveBuilder().file("/abs/file.txt", "abs").bytes(); },
       .tree = {{"abs", "/"}, {"abs/file.txt", "abs"}}},
      {.name = "Pack200WithoutAProgramKeepsItsP2",
       .stream =
           [] { return ArchiveBuilder().pack200("lib/a.jar", "a").file("b.txt", "b").bytes(); },
       .tree = {{"lib", "/"}, {"lib/a.jar.p2", fakePack200("a")}, {"b.txt", "b"}},
       .lines = {"\t[Unarchiver] ERROR: unpack200 ((none)) does not exist!"},
       .noUnpack200 = true},
      // An unpack200 that fails or hangs leaves a cut file that would pass for whole:
      // what it wrote goes, and the run ends before anything takes the folder.
      {.name = "Unpack200FailingHalfwayEndsTheRunAndLeavesNoOutput",
       .stream =
           [] { return ArchiveBuilder().pack200("lib/a.jar", "a whole jar").file("b.txt", "b").bytes(); },
       .status = ENDED,
       .tree = {{"lib", "/"}, {"b.txt", "b"}},
       .lines = {"\t[Unarchiver] ERROR: unpack200 failed on {dir}/lib/a.jar.p2 (exit status 3): "
                 "what it wrote is removed"},
       .absent = {"[Unarchiver] [END] Extracting archive {dir}"},
       .unpackCalls = 1,
       .childSetup = [](const std::string&) { setenv(FIXTURE_UNPACK200_CUT_ENV, "3", 1); }},
      {.name = "HungUnpack200IsKilledAndEndsTheRun",
       .stream =
           [] { return ArchiveBuilder().pack200("lib/a.jar", "a").file("b.txt", "b").bytes(); },
       .status = ENDED,
       .tree = {{"lib", "/"}, {"b.txt", "b"}},
       .lines = {"[Spawner] " + fakeUnpack200ToolPath() +
                     " ran past its limit of 3 seconds and was killed",
                 "\t[Unarchiver] ERROR: unpack200 failed on {dir}/lib/a.jar.p2 (killed at its "
                 "limit): what it wrote is removed"},
       .absent = {"[Unarchiver] [END] Extracting archive {dir}"},
       .unpackCalls = 1,
       .childSetup =
           [](const std::string&) {
             setWaitLimitForTests("3");
             setenv(FIXTURE_UNPACK200_SLEEP_ENV, "30", 1);
           }},
      {.name = "WriteErrorIsAFailure",
       .stream = [] { return ArchiveBuilder().file("big.bin", PAYLOAD).bytes(); },
       .status = ENDED,
       .tree = {{"big.bin", content(PAYLOAD.substr(0, 65536))}},
       .lines = {"\t[Unarchiver] Extracting to file big.bin (length:300000)", UNWRITABLE},
       .absent = {"[Unarchiver] Extracted big.bin length:300000"},
       .childSetup =
           [](const std::string&) {
             // Files of the child may not grow past 64 KiB: the entry's write fails.
             signal(SIGXFSZ, SIG_IGN);
             const rlimit limit = {65536, 65536};
             setrlimit(RLIMIT_FSIZE, &limit);
           }},
      {.name = "FlushErrorIsAFailure",
       // Five bytes stay in the stream's buffer: only the flush or the close can fail.
       .stream = [] { return ArchiveBuilder().file("small.txt", "small").bytes(); },
       .status = ENDED,
       .lines = {"\t[Unarchiver] Extracting to file small.txt (length:5)",
                 "\t[Unarchiver] Cannot write {dir}/small.txt: No space left on device", UNWRITABLE},
       .absent = {"[Unarchiver] Extracted small.txt length:5"},
       .childSetup =
           [](const std::string& target) {
             // In a mount namespace of the child's own, the folder is a disk of one page,
             // filled: the file can be made, its first bytes cannot be stored.
             if (unshare(CLONE_NEWNS) != 0 ||
                 mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                 mount("tmpfs", target.c_str(), "tmpfs", 0, "size=4k") != 0) {
               _exit(3);
             }
             writeFileBytes(target + "/filler", std::string(4096, 'f'));
           }},
      {.name = "NamesThatOnlyBeginWithTwoDotsAreExtracted",
       .stream =
           [] {
             return ArchiveBuilder()
                 .file("..cfg", "c")
                 .file("...", "three")
                 .folder("a/..b")
                 .file("a/..b/.../x..", "deep")
                 .bytes();
           },
       .tree = {{"..cfg", "c"}, {"...", "three"}, {"a", "/"}, {"a/..b", "/"}, {"a/..b/...", "/"},
                {"a/..b/.../x..", "deep"}},
       .lines = {"[Unarchiver] Extracted ..cfg length:1", "[Unarchiver] Extracted ... length:5",
                 "\t[Unarchiver] Created folder a/..b", "[Unarchiver] Extracted a/..b/.../x.. length:4"}},
  };
}

class ArchiveFormatTest : public testing::TestWithParam<ArchiveCase> {};

TEST_P(ArchiveFormatTest, Extracts) { runCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveFormatTest, testing::ValuesIn(formatCases()), caseName);

// ---- Ways around the checks, one table ---------------------------------------------

const char OLD_FILE[] = "old.txt";
const Tree OLD_TREE = {{OLD_FILE, "there before"}};
const char NO_BLOCK[] = "[Unarchiver] The archive carries no signature, but a signed one is required.";
const char NO_SIGNATURE[] = "[Unarchiver] The signature block carries no signature.";
const char LEFT_ALONE[] = "[Unarchiver] No archive key is required here: {dir} is left as it is.";

void plantOldFile(const std::string& target, const std::string&) {
  writeFileBytes(target + "/" + OLD_FILE, "there before");
}

// The header of a SignatureBlock with the given length value, without its two values.
std::string blockHeader(const std::string& length) {
  return PropertyWriter().value("0").value(hvpack::SIGNATURE_BLOCK_PATH).value(length).bytes();
}

std::string validHex(const std::string& unsignedBytes) {
  return Signer_toHex(Signer_signData(2048, unsignedBytes.data(), unsignedBytes.size()));
}

// Pack200 entries at the top and in a nested archive (signed or not).
ArchiveBuilder packedArchive(bool signInner) {
  ArchiveBuilder inner;
  inner.pack200("in/inner.jar", "inner class bytes");
  inner.file("in/note.txt", "note");
  ArchiveBuilder outer;
  outer.pack200("lib/outer.jar", "outer class bytes");
  outer.nested("in.p2.l2", signInner ? inner.signedBytes(2048) : inner.bytes());
  return outer;
}

const Tree PACKED_TREE = {{"lib", "/"},
                          {"lib/outer.jar", "outer class bytes"},
                          {"in", "/"},
                          {"in/inner.jar", "inner class bytes"},
                          {"in/note.txt", "note"}};

// An attacker who plants a link at a queued pack200 file's unpacked name while unpack200
// works on the file before it (held by the fake unpack200 until the link is in place).
void plantLateLink(const std::string& target, const std::string& outside) {
  writeFileBytes(outside + "/victim", "keep");
  writeFileBytes(target + "/../hold", "");
}

// In the extracting child: holds unpack200 at its first call, plants the link, lets go.
void holdFirstUnpackThenPlant(const std::string& target) {
  const std::string hold = target + "/../hold";
  setenv(FIXTURE_UNPACK200_HOLD_ENV, hold.c_str(), 1);
  std::thread([hold, target] {
    const std::string calls = getenv(FIXTURE_UNPACK200_CALLS_ENV);
    for (int i = 0; i < 2000 && !pathExists(calls); ++i) usleep(10000);
    const std::string victim = std::filesystem::path(target).parent_path() / "outside/victim";
    symlink(victim.c_str(), (target + "/lib/b.jar").c_str());
    remove(hold.c_str());
  }).detach();
}

// In the extracting child: while unpack200 works on the first file, another hand copies
// the waiting ".p2" files to the outside folder and swaps their folder for a link to it.
// Had unpack200 been given the paths through that folder, it would read the copies and
// write beside them, outside the target.
void holdFirstUnpackThenSwapItsFolder(const std::string& target) {
  const std::string hold = target + "/../hold";
  setenv(FIXTURE_UNPACK200_HOLD_ENV, hold.c_str(), 1);
  std::thread([hold, target] {
    const std::string calls = getenv(FIXTURE_UNPACK200_CALLS_ENV);
    for (int i = 0; i < 2000 && !pathExists(calls); ++i) usleep(10000);
    const std::string outside = std::filesystem::path(target).parent_path() / "outside";
    for (const char* name : {"a.jar.p2", "b.jar.p2"}) {
      const std::string waiting = target + "/lib/" + name;
      if (pathExists(waiting)) writeFileBytes(outside + "/" + name, readFileBytes(waiting));
    }
    rename((target + "/lib").c_str(), (target + "/lib.real").c_str());
    symlink(outside.c_str(), (target + "/lib").c_str());
    remove(hold.c_str());
  }).detach();
}

// depth archives one inside another (the outermost counted), each with a file of its
// own before the next; signed at every level unless asked.
std::string nestedChain(int depth, bool signEach = true) {
  const auto finish = [signEach](const ArchiveBuilder& archive) {
    return signEach ? archive.signedBytes(2048) : archive.bytes();
  };
  std::string stream = finish(ArchiveBuilder().file("deepest.txt", "deep"));
  for (int level = depth - 1; level >= 1; --level) {
    const std::string name = "level" + std::to_string(level);
    stream = finish(ArchiveBuilder().file(name + ".txt", name).nested(name + ".p2.l2", stream));
  }
  return stream;
}

const Tree CHAIN_OF_FOUR = {
    {"level1.txt", "level1"}, {"level2.txt", "level2"}, {"level3.txt", "level3"}, {"deepest.txt", "deep"}};
const char TOO_DEEP[] = "[Unarchiver] level4.p2.l2 is nested deeper than 4 archives: it is refused.";

const std::string& unsignedBytes() { return signedNested().unsignedBytes; }

const std::string& hex() {
  static const std::string value = validHex(unsignedBytes());
  return value;
}

// Without a key a signed nested archive would end the run first.
const SignedNested& plain() { return signedNested(false); }

const std::string& plainHex() {
  static const std::string value = validHex(plain().unsignedBytes);
  return value;
}

const std::string& packedSigned() {
  static const std::string bytes = packedArchive(true).signedBytes(2048);
  return bytes;
}

const std::string& packedUnsigned() {
  static const std::string bytes = packedArchive(false).bytes();
  return bytes;
}

std::vector<ArchiveCase> bypassCases() {
  const std::string evil = ArchiveBuilder().file("evil.txt", "evil").bytes();
  return {
      {.name = "StrippedBlockFailsWhenAKeyIsRequired",
       .stream = [=] { return unsignedBytes(); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {VERIFIED, NO_BLOCK, STAR_LINE, FAILED_CHECK, DISREGARD, STAR_LINE},
       .plant = plantOldFile},
      {.name = "LoneZeroBeforeTheBlockFails",
       .stream = [=] { return unsignedBytes() + std::string(1, '\0') + signedNested().stream.substr(unsignedBytes().size()); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {EOF_LINE, NO_BLOCK, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "SignatureLengthMinusOneFails",
       .stream = [=] { return unsignedBytes() + blockHeader("256") + signatureValues("-1", hex()); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {VERIFYING, NO_SIGNATURE, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "SignatureLengthMinusOneFailsWithoutAKeyAndRemovesNothing",
       .stream = [=] { return plain().unsignedBytes + blockHeader("256") + signatureValues("-1", hex()); },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {NO_SIGNATURE, FAILED_CHECK, LEFT_ALONE, STAR_LINE},
       .plant = plantOldFile},
      {.name = "BlockOfLengthZeroIsStillTheBlock",
       .stream = [=] { return unsignedBytes() + blockHeader("0") + signatureValues("256", hex()) + evil; },
       .key = Key::Required,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {VERIFIED, VERIFIED},
       .absent = {"[Unarchiver] Extracting evil.txt (::0 from 0)"},
       .plant = plantOldFile},
      {.name = "BlockOfLengthZeroWithAJunkSignatureFailsWithoutAKey",
       .stream = [=] { return plain().unsignedBytes + blockHeader("0") + signatureValues("4", "01020304") + evil; },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {VERIFYING, "[Unarchiver] Produced a signature of length 4", FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "UnsignedArchiveFailsWhenAKeyIsRequired",
       .stream = [] { return ArchiveBuilder().file("a.txt", "a").bytes(); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {NO_BLOCK, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "UnimportedTailKeyFailsAnUnsignedArchive",
       .stream = [] { return ArchiveBuilder().file("a.txt", "a").bytes(); },
       .key = Key::RequiredUnimported,
       .status = ENDED,
       .lines = {NO_BLOCK, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "UnimportedTailKeyFailsASignedArchive",
       .stream = [=] { return signedNested().stream; },
       .key = Key::RequiredUnimported,
       .status = ENDED,
       .lines = {VERIFYING, FAILED_CHECK},
       .absent = {VERIFIED},
       .plant = plantOldFile},
      {.name = "SignedArchiveWithoutAKeyEndsAndRemovesNothing",
       .stream = [=] { return plain().stream; },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {VERIFYING, STAR_LINE, FAILED_CHECK, DISREGARD, LEFT_ALONE, STAR_LINE},
       .plant = plantOldFile},
      {.name = "EmptyHexFails",
       .stream = [=] { return plain().unsignedBytes + blockHeader("256") + signatureValues("256", ""); },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {NO_SIGNATURE, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "HexOfNoBytesFails",
       .stream = [=] { return unsignedBytes() + blockHeader("256") + signatureValues("256", "zz"); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {"[Unarchiver] Produced a signature of length 0", FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "BlockWithoutItsHexFails",
       .stream = [=] { return unsignedBytes() + blockHeader("256") + PropertyWriter().value("256").bytes(); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {EOF_LINE, VERIFYING, NO_SIGNATURE, FAILED_CHECK},
       .plant = plantOldFile},
      {.name = "NothingAfterABlockOfLengthMinusOne",
       .stream = [=] { return unsignedBytes() + blockHeader("256") + signatureValues("-1", hex()) + evil; },
       .key = Key::Required,
       .status = ENDED,
       .lines = {VERIFYING, NO_SIGNATURE, FAILED_CHECK},
       .absent = {"[Unarchiver] Extracting evil.txt (::0 from 0)"},
       .plant = plantOldFile},
      {.name = "NothingAfterABlockOfLengthMinusOneWithoutAKey",
       .stream = [=] { return plain().unsignedBytes + blockHeader("256") + signatureValues("-1", hex()) + evil; },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {NO_SIGNATURE, FAILED_CHECK, LEFT_ALONE},
       .absent = {"[Unarchiver] Extracting evil.txt (::0 from 0)"},
       .plant = plantOldFile},
      {.name = "NothingAfterASignedBlockWithoutAKey",
       .stream = [=] { return plain().unsignedBytes + blockHeader("256") + signatureValues("256", plainHex()) + evil; },
       .status = ENDED,
       .tree = plus(NESTED_TREE, OLD_TREE),
       .lines = {VERIFYING, FAILED_CHECK, LEFT_ALONE},
       .absent = {"[Unarchiver] Extracting evil.txt (::0 from 0)"},
       .plant = plantOldFile},
      {.name = "ParentPathAtTheTopIsRefused",
       .stream = [] { return ArchiveBuilder().file("ok.txt", "ok").file("a/../../outside/evil.txt", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"ok.txt", "ok"}},
       .lines = {"\t[Unarchiver] *************************** Unable to extract archive file. "
                 "Illegal path a/../../outside/evil.txt"}},
      {.name = "ParentPathInANestedArchiveIsRefused",
       .stream =
           [] {
             const std::string inner = ArchiveBuilder().file("../outside/evil.txt", "evil").bytes();
             return ArchiveBuilder().nested("in.p2.l2", inner).bytes();
           },
       .status = ENDED,
       .lines = {"\t[Unarchiver] *************************** Unable to extract archive file. "
                 "Illegal path ../outside/evil.txt"}},
      {.name = "LinkAsParentFolderIsRefused",
       .stream = [] { return ArchiveBuilder().file("sub/evil.txt", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"sub", "-> {outside}"}},
       .lines = {UNWRITABLE},
       .plant = [](const std::string& target, const std::string& outside) {
         symlink(outside.c_str(), (target + "/sub").c_str());
       }},
      {.name = "LinkAsDeeperParentFolderIsRefused",
       .stream = [] { return ArchiveBuilder().folder("a/sub/deeper").bytes(); },
       .status = ENDED,
       .tree = {{"a", "/"}, {"a/sub", "-> {outside}"}},
       .lines = {UNWRITABLE},
       .plant = [](const std::string& target, const std::string& outside) {
         mkdir((target + "/a").c_str(), 0755);
         symlink(outside.c_str(), (target + "/a/sub").c_str());
       }},
      {.name = "LinkAsTheFileIsRefused",
       .stream = [] { return ArchiveBuilder().file("f.txt", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"f.txt", "-> {outside}/victim"}},
       .lines = {UNWRITABLE},
       .plant = [](const std::string& target, const std::string& outside) {
         writeFileBytes(outside + "/victim", "keep");
         symlink((outside + "/victim").c_str(), (target + "/f.txt").c_str());
       },
       .outside = {{"victim", "keep"}}},
      {.name = "LinkAsTheUnpackedFileIsRefused",
       .stream = [] { return ArchiveBuilder().pack200("lib/b.jar", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"lib", "/"}, {"lib/b.jar", "-> {outside}/victim"}},
       .lines = {UNWRITABLE},
       .plant = [](const std::string& target, const std::string& outside) {
         writeFileBytes(outside + "/victim", "keep");
         mkdir((target + "/lib").c_str(), 0755);
         symlink((outside + "/victim").c_str(), (target + "/lib/b.jar").c_str());
       },
       .outside = {{"victim", "keep"}}},
      {.name = "LinkPlantedWhileUnpackingWaitsIsRefused",
       .stream = [] { return ArchiveBuilder().pack200("lib/a.jar", "a").pack200("lib/b.jar", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"lib", "/"}, {"lib/a.jar", "a"}, {"lib/b.jar.p2", fakePack200("evil")},
                {"lib/b.jar", "-> {outside}/victim"}},
       .lines = {"\t[Unarchiver] Unpacking200 {dir}/lib/b.jar.p2", UNWRITABLE},
       .unpackCalls = 1,
       .plant = plantLateLink,
       .outside = {{"victim", "keep"}},
       .childSetup = holdFirstUnpackThenPlant},
      {.name = "FolderSwappedForALinkWhileUnpackingWaitsLeadsNothingOut",
       .stream = [] { return ArchiveBuilder().pack200("lib/a.jar", "a").pack200("lib/b.jar", "evil").bytes(); },
       .status = ENDED,
       .tree = {{"lib", "-> {outside}"}, {"lib.real", "/"}, {"lib.real/a.jar", "a"},
                {"lib.real/b.jar.p2", fakePack200("evil")}},
       .lines = {"\t[Unarchiver] Unpacking200 {dir}/lib/b.jar.p2", UNWRITABLE},
       .unpackCalls = 1,
       .plant = [](const std::string& target, const std::string&) { writeFileBytes(target + "/../hold", ""); },
       .outside = {{"b.jar.p2", fakePack200("evil")}},
       .childSetup = holdFirstUnpackThenSwapItsFolder},
      {.name = "LinkInTheWayOfANestedArchiveIsRefused",
       .stream =
           [] {
             const std::string inner = ArchiveBuilder().file("sub/evil.txt", "evil").bytes();
             return ArchiveBuilder().nested("in.p2.l2", inner).bytes();
           },
       .status = ENDED,
       .tree = {{"sub", "-> {outside}"}},
       .lines = {UNWRITABLE},
       .plant = [](const std::string& target, const std::string& outside) {
         symlink(outside.c_str(), (target + "/sub").c_str());
       }},
      // Each level of nesting runs two threads and holds rings of its own: four archives
      // one in another are taken, a fifth is refused like a tampered archive.
      {.name = "FourArchivesOneInAnotherAreTaken",
       .stream = [] { return nestedChain(4); },
       .key = Key::Required,
       .tree = CHAIN_OF_FOUR,
       .lines = {VERIFIED, VERIFIED, VERIFIED, VERIFIED},
       .absent = {TOO_DEEP}},
      {.name = "FifthArchiveInsideIsRefused",
       .stream = [] { return nestedChain(5); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {STAR_LINE, TOO_DEEP, DISREGARD, STAR_LINE},
       .absent = {VERIFIED, "[Unarchiver] Extracting deepest.txt (::0 from 0)"},
       .plant = plantOldFile},
      {.name = "FifthArchiveInsideIsRefusedWithoutAKeyAndRemovesNothing",
       .stream = [] { return nestedChain(5, false); },
       .status = ENDED,
       .tree = plus(OLD_TREE, {{"level1.txt", "level1"}, {"level2.txt", "level2"},
                               {"level3.txt", "level3"}, {"level4.txt", "level4"}}),
       .lines = {TOO_DEEP, DISREGARD, LEFT_ALONE},
       .plant = plantOldFile},
      {.name = "Pack200RunsOnlyAfterTheOutermostCheck",
       .stream = [=] { return packedSigned(); },
       .key = Key::Required,
       .tree = PACKED_TREE,
       .lines = {"\t[Unarchiver] Requires unpacking200...", VERIFIED, VERIFIED,
                 "\t[Unarchiver] Unpacking200 {dir}/lib/outer.jar.p2",
                 "\t[Unarchiver] Unpacking200 {dir}/in/inner.jar.p2"},
       .unpackCalls = 2},
      {.name = "Pack200NeverRunsWhenTheOuterCheckFails",
       .stream = [=] { return flipByte(packedSigned(), packedSigned().find(FAKE_PACK200_MARKER) + 3); },
       .key = Key::Required,
       .status = ENDED,
       .lines = {VERIFIED, FAILED_CHECK},
       .absent = {"\t[Unarchiver] Unpacking200 {dir}/in/inner.jar.p2"},
       .unpackCalls = 0},
      {.name = "Pack200OfAnUnsignedArchiveRunsAtItsEnd",
       .stream = [=] { return packedUnsigned(); },
       .tree = PACKED_TREE,
       .lines = {"\t[Unarchiver] .p2.l2 in sync unarchive complete.", EOF_LINE,
                 "\t[Unarchiver] Unpacking200 {dir}/lib/outer.jar.p2"},
       .unpackCalls = 2},
  };
}

class ArchiveBypassTest : public testing::TestWithParam<ArchiveCase> {};

TEST_P(ArchiveBypassTest, IsClosed) { runCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Cases, ArchiveBypassTest, testing::ValuesIn(bypassCases()), caseName);

}  // namespace

namespace {

// ---- The wrapper tail's entries and the entry call itself ----------------------------

TEST(TailBuffer, IsReadyBeforeMain) {
  ASSERT_NE(nullptr, tailExtractBuffer);
  EXPECT_EQ(1048576, tailExtractBufferSize);
}

// Feeds stream to a ring that stays open (as the tail's reader does) and runs body on it
// in a child; the child's status is body's.
ChildRun onTailRing(const std::string& stream, const std::function<int(RingBuffer*)>& body,
                    const std::string& calls) {
  const std::string tool = fakeUnpack200ToolPath();
  return runInChild(
      [&] {
        setenv(FIXTURE_UNPACK200_CALLS_ENV, calls.c_str(), 1);
        setKey(Key::Required);
        unpack200Path.store(tool.c_str());
        RingBuffer* ring = keptRing(3, static_cast<int32_t>(stream.size()) + 1);
        RingBuffer_write(ring, stream.data(), static_cast<int32_t>(stream.size()));
        RingBuffer_close(ring);
        return body(ring);
      },
      CHILD_DEADLINE_SECONDS);
}

TEST(TailEntries, SkipASignatureBlockAndGoOn) {
  ScratchDir scratch;
  const std::string stream = ArchiveBuilder().file("a.txt", "a").signedBytes(2048) +
                             ArchiveBuilder().pack200("lib/b.jar", "b").bytes();
  const std::string calls = scratch / "calls";
  const std::string folder = scratch.path();
  const ChildRun run = onTailRing(
      stream,
      [&](RingBuffer* ring) {
        int results = 0;
        for (int i = 0; i < 4; ++i) {
          const int result = Unarchiver_extractOne(ring, folder.c_str());
          results = results * 10 + (result + 1);
          // A pack200 entry of the tail is unpacked before the call returns.
          if (i == 2 && !pathExists(folder + "/lib/b.jar")) return 2;
        }
        return results == 1110 ? 40 : 3;  // 0, 0, 0, then -1
      },
      calls);
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(40, run.exitStatus) << run.output;
  EXPECT_EQ("a", readFileBytes(scratch / "a.txt"));
  EXPECT_EQ("b", readFileBytes(scratch / "lib/b.jar"));
  EXPECT_FALSE(pathExists(scratch / "lib/b.jar.p2"));
  EXPECT_FALSE(pathExists(scratch / hvpack::SIGNATURE_BLOCK_PATH));
  EXPECT_TRUE(hasLine(run.output, "[Unarchiver] Skipped a signature block: nothing checks it here."))
      << run.output;
}

TEST(TailEntries, NestedArchiveIsCheckedByItsOwnBlockThenUnpacked) {
  ScratchDir scratch;
  ArchiveBuilder inner;
  inner.pack200("lib/rt.jar", "runtime classes");
  const std::string stream = ArchiveBuilder().nested("jre.p2.l2", inner.signedBytes(2048)).bytes();
  const std::string folder = scratch.path();
  const ChildRun run = onTailRing(
      stream, [&](RingBuffer* ring) { return 40 + Unarchiver_extractOne(ring, folder.c_str()); },
      scratch / "calls");
  ASSERT_FALSE(run.timedOut);
  EXPECT_EQ(40, run.exitStatus) << run.output;
  EXPECT_EQ("runtime classes", readFileBytes(scratch / "lib/rt.jar"));
  EXPECT_EQ("", missingInOrder(run.output, {VERIFIED, "\t[Unarchiver] .p2.l2 in sync unarchive complete.",
                                            "\t[Unarchiver] Unpacking200 " + folder + "/lib/rt.jar.p2"}))
      << run.output;
}

// A block ends the stream whatever its length value says: a call after it reads nothing.
TEST(ExtractEntry, ReadsNothingAfterTheBlock) {
  const std::string unsignedBytes = ArchiveBuilder().file("a.txt", "a").bytes();
  const std::string hex = validHex(unsignedBytes);
  struct Case {
    const char* name;
    std::string block;
    long length;  // the length value the second call stores
  };
  const Case cases[] = {
      {"SignedBlock", blockHeader("256") + signatureValues("256", hex), 256},
      {"BlockOfLengthMinusOne", blockHeader("256") + signatureValues("-1", hex), -1},
  };
  const std::string trailing = ArchiveBuilder().file("later.txt", "later").bytes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stream = unsignedBytes + c.block + trailing;
    ScratchDir scratch;
    const std::string folder = scratch.path();
    const ChildRun run = onTailRing(
        stream,
        [&](RingBuffer* ring) {
          long length = -1;
          char* hex = nullptr;
          std::vector<unsigned char> buffer(static_cast<size_t>(ring->capacity));
          if (Unarchiver_extractEntry(ring, folder.c_str(), &length, &hex, nullptr, nullptr, buffer.data()) != 0)
            return 2;
          if (Unarchiver_extractEntry(ring, folder.c_str(), &length, &hex, nullptr, nullptr, buffer.data()) != -1)
            return 3;
          if (length != c.length || hex == nullptr || strlen(hex) != 512) return 4;
          const auto available = [ring] {
            pthread_mutex_lock(&ring->mutex);
            const int32_t n = RingBuffer_available(ring);
            pthread_mutex_unlock(&ring->mutex);
            return n;
          };
          const int32_t left = available();
          if (Unarchiver_extractEntry(ring, folder.c_str(), &length, &hex, nullptr, nullptr, buffer.data()) != -1)
            return 5;
          return left == available() && left == static_cast<int32_t>(trailing.size()) ? 40 : 6;
        },
        scratch / "calls");
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(40, run.exitStatus) << run.output;
    EXPECT_EQ("a", readFileBytes(scratch / "a.txt"));
    EXPECT_FALSE(pathExists(scratch / "later.txt"));
  }
}

}  // namespace

namespace {

TEST(PathPredicates, TellNestedArchivesAndTheSignatureBlock) {
  struct Case {
    const char* path;
    bool lzma;
    bool signature;
  };
  const Case cases[] = {
      {"jre.p2.l2", true, false},
      {"p2.l2", true, false},
      {"jre.p2.l2.p2", false, false},  // a pack200 entry's target
      {"jre.p2.l", false, false},
      {"hvArcSpBlock_DigitalSignature1", false, true},
      {"hvArcSpBlock_DigitalSignature1x", false, false},
      {"hvArcSpBlock_DigitalSignature", false, false},
      {"hvArcSpBlock_", false, false},
      {"hvArcSpBlock", false, false},
      {"dir/hvArcSpBlock_DigitalSignature1", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.lzma, isLzmaArchivePath(c.path)) << c.path;
    testing::internal::CaptureStdout();
    EXPECT_EQ(c.signature, isSignatureBlock(c.path)) << c.path;
    const std::string out = testing::internal::GetCapturedStdout();
    const bool special = strncmp(c.path, "hvArcSpBlock_", 13) == 0;
    EXPECT_EQ(special, hasLine(out, std::string("[Unarchiver] Found special block ") + c.path))
        << c.path << ": " << out;
  }
}

}  // namespace

namespace {

// ---- Many nested archives in flat memory ---------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool MEMORY_INSTRUMENTED = true;  // freed memory is held back on purpose
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool MEMORY_INSTRUMENTED = true;
#else
constexpr bool MEMORY_INSTRUMENTED = false;
#endif
#else
constexpr bool MEMORY_INSTRUMENTED = false;
#endif

// Flat: what 49 more nested archives may add to the peak.
constexpr long FLAT_WITHIN_KIB = 2048;

struct MeasuredRun {
  ChildRun run;
  long peakKiB = -1;  // the child's peak resident memory
};

// Extracts the archive in file into folder in a child, read through the FileReader's
// ring as the wrapper tail is, and takes the child's peak resident memory at the end.
MeasuredRun extractMeasured(const ScratchDir& scratch, const std::string& file,
                            const std::string& folder) {
  const std::string peak = scratch / "peak";
  MeasuredRun measured;
  measured.run = runInChild(
      [&] {
        setKey(Key::Required);
        FILE* in = fopen(file.c_str(), "rbe");
        if (in == nullptr) return 2;
        RingBuffer* ring = keepRing(Streamer_startFileReader(in));
        const int result = Unarchiver_extractArchive(ring, folder.c_str());
        rusage usage = {};
        getrusage(RUSAGE_SELF, &usage);
        writeFileBytes(peak, std::to_string(usage.ru_maxrss));
        return RETURNED_WHOLE + result;
      },
      60);
  if (pathExists(peak)) measured.peakKiB = std::stol(readFileBytes(peak));
  return measured;
}

// A signed archive of count nested archives, each the same signed archive of a 1 MiB
// file: random bytes, so that its compressed form fills the nested ring.
std::string archiveOfNested(int count, const std::string& nestedCompressed) {
  ArchiveBuilder outer;
  for (int i = 0; i < count; ++i) {
    outer.file("before-" + std::to_string(i) + ".txt", std::to_string(i));
    outer.entry("0", "n" + std::to_string(i) + ".p2.l2", std::to_string(nestedCompressed.size()),
                nestedCompressed);
  }
  return outer.signedBytes(2048);
}

// Each nested archive runs two stage threads with two rings and two records of its own:
// all of it is freed once both threads have ended, so 50 of them need no more memory
// than one.
TEST(ManyNestedArchives, ExtractWholeInFlatMemory) {
  ScratchDir scratch;
  const std::string big = randomBytes(1 << 20, 11);
  const std::string nested = hvpack::xzCompress(ArchiveBuilder().file("in/big.bin", big).signedBytes(2048));
  ASSERT_GT(nested.size(), size_t{1} << 20);
  // Both archives exist before either child forks, so both start from the same memory.
  const int counts[] = {1, 50};
  for (int count : counts) {
    writeFileBytes(scratch / ("archive-" + std::to_string(count)), archiveOfNested(count, nested));
  }
  long peaks[2] = {-1, -1};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(counts[i]);
    const std::string folder = scratch / ("folder-" + std::to_string(counts[i]));
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    const MeasuredRun m = extractMeasured(scratch, scratch / ("archive-" + std::to_string(counts[i])), folder);
    ASSERT_FALSE(m.run.timedOut);
    ASSERT_EQ(RETURNED_WHOLE, m.run.exitStatus) << m.run.output;
    EXPECT_EQ(counts[i] + 1, countLinesStartingWith(m.run.output, VERIFIED));
    const std::string last = std::to_string(counts[i] - 1);
    EXPECT_EQ(last, readFileBytes(folder + "/before-" + last + ".txt"));
    EXPECT_TRUE(big == readFileBytes(folder + "/in/big.bin"));
    peaks[i] = m.peakKiB;
  }
  printf("Peak resident memory: %ld KiB with 1 nested archive, %ld KiB with 50\n", peaks[0], peaks[1]);
  ASSERT_GT(peaks[0], 0);
  if (MEMORY_INSTRUMENTED) GTEST_SKIP() << "the sanitizers hold freed memory back";
  EXPECT_LE(peaks[1] - peaks[0], FLAT_WITHIN_KIB);
}

}  // namespace

namespace {

// ---- Folders swapped for links while entries are written ------------------------------

// The stream stops after an entry's path, once its folders are made (the entry waits for
// its length); another hand then swaps the folder that holds it for a link to the outside
// folder, and the rest of the entry follows. The entry lands in the folder that was made
// (now moved aside), never where the link points.
TEST(SwappedFolder, NeverLeadsAnEntryOutside) {
  struct Case {
    const char* name;
    const char* entry;    // its path
    const char* swapped;  // the folder swapped for a link
  };
  const Case cases[] = {
      {"TopFolder", "sub/f.txt", "sub"},
      {"DeeperFolder", "a/sub/f.txt", "a/sub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const std::string folder = scratch / "target";
    const std::string outside = scratch / "outside";
    ASSERT_EQ(0, mkdir(folder.c_str(), 0755));
    ASSERT_EQ(0, mkdir(outside.c_str(), 0755));
    const std::string head = PropertyWriter().value("0").value(c.entry).bytes();
    const std::string rest = PropertyWriter().value("4").bytes() + "evil";
    const std::string swapped = folder + "/" + c.swapped;
    const ChildRun run = runInChild(
        [&] {
          setKey(Key::None);
          RingBuffer* ring = keptRing(1, 4096);
          std::thread attacker([&] {
            RingBuffer_write(ring, head.data(), static_cast<int32_t>(head.size()));
            for (int i = 0; i < 5000 && !pathExists(swapped); ++i) usleep(1000);
            rename(swapped.c_str(), (swapped + ".real").c_str());
            symlink(outside.c_str(), swapped.c_str());
            RingBuffer_write(ring, rest.data(), static_cast<int32_t>(rest.size()));
            RingBuffer_close(ring);
          });
          const int result = Unarchiver_extractArchive(ring, folder.c_str());
          attacker.join();
          return RETURNED_WHOLE + result;
        },
        CHILD_DEADLINE_SECONDS);
    ASSERT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(RETURNED_WHOLE, run.exitStatus) << run.output;
    EXPECT_EQ(Tree{}, readTree(outside)) << run.output;
    EXPECT_EQ("-> " + outside, readTree(folder)[c.swapped]);
    EXPECT_EQ("evil", readFileBytes(swapped + ".real/f.txt"));
  }
}

// ---- Paths that do not fit their buffers ----------------------------------------------

// A folder path of exactly length bytes below scratch, made of components the system
// takes (under NAME_MAX each, the whole under PATH_MAX).
std::string folderOfLength(const ScratchDir& scratch, size_t length) {
  std::string folder = scratch.path();
  while (folder.size() < length) {
    const size_t part = std::min<size_t>(200, length - folder.size() - 1);
    folder += "/" + std::string(part, 'd');
    if (mkdir(folder.c_str(), 0755) != 0) return "";
  }
  return folder;
}

// The entry's whole path (or its ".p2" file's) would not fit the 5000-byte path buffer:
// the run ends naming the entry and the system's reason, not a cut or empty path.
TEST(TooLongPath, EndsWithFileNameTooLong) {
  constexpr size_t FOLDER_LENGTH = 4000;
  struct Case {
    const char* name;
    bool pack200;
    size_t entryLength;  // the folder, '/' and the entry: 5011, or 4997 (+ ".p2": 5000)
  };
  const Case cases[] = {{"PlainFile", false, 1010}, {"Pack200File", true, 996}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const std::string folder = folderOfLength(scratch, FOLDER_LENGTH);
    ASSERT_EQ(FOLDER_LENGTH, folder.size());
    std::string entry;
    while (entry.size() < c.entryLength) {
      if (!entry.empty()) entry += "/";
      entry += std::string(std::min<size_t>(200, c.entryLength - entry.size()), 'e');
    }
    ASSERT_EQ(c.entryLength, entry.size());
    ArchiveBuilder archive;
    if (c.pack200) {
      archive.pack200(entry, "packed");
    } else {
      archive.file(entry, "plain");
    }
    const Extraction e = extractInChild(scratch, folder, archive.bytes(), Key::None);
    ASSERT_FALSE(e.run.timedOut);
    EXPECT_EQ(ENDED, e.run.exitStatus) << e.run.output;
    EXPECT_EQ("", missingInOrder(e.run.output, {"\t[Unarchiver] Cannot extract " + entry +
                                                    ": File name too long",
                                                UNWRITABLE}))
        << e.run.output;
    EXPECT_EQ(Tree{}, readTree(folder));
  }
}

}  // namespace
