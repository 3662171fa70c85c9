// Round trips of the test-side packer: what it writes is read back by the launcher's own
// property-stream readers, digest and signature check, by an archive reader of this
// test's own and by the xz program, never by the packer's writing code.
#include "core/hexbase64.h"
#include "core/property_stream.h"
#include "pipeline/signature.h"
#include "src/hashes/mixedhash/mixed.h"
#include "tests/support/fake_pack200.h"
#include "tests/support/markers.h"
#include "tests/support/packer.h"
#include "tests/support/run_program.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace hvpack;

// ---- An independent reader of what the packer writes ---------------------------------

class Cursor {
 public:
  explicit Cursor(std::string bytes, size_t at = 0) : bytes_(std::move(bytes)), at_(at) {}
  // The next value up to its 0x00; fails the test when there is none.
  std::string value() {
    const size_t end = bytes_.find('\0', at_);
    if (end == std::string::npos) {
      ADD_FAILURE() << "no terminated value at offset " << at_;
      at_ = bytes_.size();
      return {};
    }
    std::string v = bytes_.substr(at_, end - at_);
    at_ = end + 1;
    return v;
  }
  std::string take(size_t n) {
    EXPECT_LE(n, bytes_.size() - at_) << "data runs past the end";
    std::string v = bytes_.substr(at_, n);
    at_ += v.size();
    return v;
  }
  bool atEnd() const { return at_ == bytes_.size(); }
  size_t offset() const { return at_; }

 private:
  std::string bytes_;
  size_t at_;
};

struct ParsedEntry {
  std::string type, path, length, data;
};

// Reads entries the way the launcher does: type, path, a length unless the type is 1,
// then that many bytes; stops at the end or after the SignatureBlock's two values.
std::vector<ParsedEntry> parseArchive(const std::string& bytes, std::string* signatureHex = nullptr,
                                      size_t* signatureBlockAt = nullptr) {
  std::vector<ParsedEntry> entries;
  Cursor c(bytes);
  while (!c.atEnd()) {
    const size_t start = c.offset();
    ParsedEntry e;
    e.type = c.value();
    e.path = c.value();
    if (e.type != "1") e.length = c.value();
    if (e.path == SIGNATURE_BLOCK_PATH) {
      const std::string count = c.value();
      EXPECT_EQ(e.length, count);
      const std::string hex = c.value();
      EXPECT_EQ(hex.size(), 2 * std::stoul(count));
      if (signatureHex) *signatureHex = hex;
      if (signatureBlockAt) *signatureBlockAt = start;
      EXPECT_TRUE(c.atEnd()) << "bytes after the SignatureBlock";
      break;
    }
    if (e.type != "1") e.data = c.take(std::stoul(e.length));
    entries.push_back(e);
  }
  return entries;
}

// Property-stream values read back by the launcher's own file readers, from bytes in
// memory starting at offset.
class StreamValues {
 public:
  explicit StreamValues(std::string bytes, size_t offset = 0) : bytes_(std::move(bytes)) {
    f_ = fmemopen(bytes_.data(), bytes_.size(), "r");
    EXPECT_NE(f_, nullptr);
    if (f_) std::fseek(f_, static_cast<long>(offset), SEEK_SET);
  }
  ~StreamValues() {
    if (f_) std::fclose(f_);
  }
  StreamValues(const StreamValues&) = delete;
  StreamValues& operator=(const StreamValues&) = delete;

  std::string text(int32_t size = STRING_VALUE_SIZE) {
    char* v = READSTRING(f_, "value", size);
    std::string out(v);
    std::free(v);
    return out;
  }
  int64_t number() { return readLong(f_, "number"); }
  bool flag() { return readBool(f_, "boolean"); }
  std::vector<std::string> list() {
    std::vector<std::string> items;
    for (int64_t n = number(); n > 0; --n) items.push_back(text());
    return items;
  }
  // The bytes not read yet.
  std::string rest() { return bytes_.substr(static_cast<size_t>(std::ftell(f_))); }
  bool atEnd() { return std::fgetc(f_) == EOF; }

 private:
  std::string bytes_;
  FILE* f_ = nullptr;
};

// The twelve header values with the launcher's buffer sizes.
constexpr int32_t TAIL_HEADER_SIZES[TailHeader::VALUE_COUNT] = {1024, 1024, 1024, 1024, 1024, 8192,
                                                                1024, 1024, 1024, 1024, 5000, 2};

std::vector<std::string> readHeader(StreamValues& in, int count = TailHeader::VALUE_COUNT) {
  std::vector<std::string> values;
  for (int i = 0; i < count; ++i) values.push_back(in.text(TAIL_HEADER_SIZES[i]));
  return values;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

Pairs readParams(StreamValues& in) {
  Pairs pairs;
  for (int64_t n = in.number(); n > 0; --n) {
    std::string name = in.text(1024);
    pairs.emplace_back(name, in.text(200000));
  }
  return pairs;
}

std::string toHex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char b : bytes) {
    std::snprintf(two, sizeof two, "%02X", b);
    out += two;
  }
  return out;
}

// Runs a shell command; returns its exit status.
int shell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Decompresses with the xz program, which reads both .xz and .lzma.
std::string unxz(const ScratchDir& dir, const std::string& compressed, const char* format) {
  writeFileBytes(dir / "packed", compressed);
  EXPECT_EQ(0, shell(std::string("xz -dc --format=") + format + " '" + (dir / "packed") +
                     "' > '" + (dir / "unpacked") + "'"));
  return readFileBytes(dir / "unpacked");
}

// ---- Markers ------------------------------------------------------------------------

TEST(PackerMarkers, AreTheLaunchersBytes) {
  EXPECT_EQ(toHex(paramsMarker()),
            "59BDC952AA35ADBB10EFDE672C47E0B5"
            "D4821F8152A102442AEBAA7B793B9345"
            "AED2097A3E2F2EFAFF1DF09B197C15B8"
            "1E6DC610417E5CED51B1191C3CE294D8");
  EXPECT_EQ(toHex(tailMarker()),
            "1D432A505B7A1F642347212417323C50"
            "216C0466295C297B0B5B19332F4F0F4D"
            "2758182415394E792B7615593D574900"
            "112905652B1070665E2D406075433008"
            "614A747E401B533B5646371E4B2C7259"
            "30443A3C2F44782B2665717139732523"
            "101451243170104A0D05572A060A5321"
            "4D2C130036291A74472D1A552C2F4263");
}

struct ScanCase {
  const char* name;
  std::string bytes;
  std::string marker;
  size_t expected;
};

TEST(PackerMarkers, ScanStepsForwardLikeTheLauncher) {
  const ScanCase cases[] = {
      {"at the start", "123xyz", "123", 0},
      {"after other bytes", "ab123", "123", 2},
      // The byte that breaks a partial match is not tried as a new start.
      {"occurrence hidden by a partial match", std::string("1123123"), "123", 4},
      {"only occurrence hidden", "1123", "123", std::string::npos},
      {"missing", "12", "123", std::string::npos},
      {"empty marker", "abc", "", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(scanForMarker(c.bytes, c.marker), c.expected) << c.name;
}

// ---- Archive streams ----------------------------------------------------------------

// A pack200 step of the test's own, to show the step is pluggable.
std::string flipBytes(std::string_view data) {
  std::string out(data);
  for (char& c : out) c = static_cast<char>(c ^ 0x5A);
  return out;
}

enum class Stored { Raw, Pack200, Flipped, Xz, Lzma };

struct ExpectedEntry {
  const char* type;
  std::string path;
  std::string length;  // empty: none (a folder)
  Stored stored;
  std::string plain;  // the data once the way it is stored is undone
};

std::string undo(const ScratchDir& dir, Stored stored, const std::string& data) {
  std::string plain;
  switch (stored) {
    case Stored::Raw: return data;
    case Stored::Pack200:
      EXPECT_TRUE(fakeUnpack200(data, &plain)) << "not in the test runtime's packed form";
      return plain;
    case Stored::Flipped: return flipBytes(data);
    case Stored::Xz: return unxz(dir, data, "xz");
    case Stored::Lzma: return unxz(dir, data, "lzma");
  }
  return plain;
}

// Compares every entry; a length of "*" only asks for the stored data's size.
void expectEntries(const ScratchDir& dir, const std::vector<ParsedEntry>& e,
                   const std::vector<ExpectedEntry>& expected) {
  ASSERT_EQ(e.size(), expected.size());
  for (size_t i = 0; i < e.size(); ++i) {
    const auto& x = expected[i];
    EXPECT_EQ(e[i].type, x.type) << i;
    EXPECT_EQ(e[i].path, x.path) << i;
    EXPECT_EQ(e[i].length, x.length == "*" ? std::to_string(e[i].data.size()) : x.length) << i;
    EXPECT_EQ(undo(dir, x.stored, e[i].data), x.plain) << i;
  }
}

TEST(PackerArchive, EveryEntryKindReadsBack) {
  ScratchDir dir;
  std::string binary;
  for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>(i * 7));
  const std::string inner = ArchiveBuilder().folder("in").file("in/x.txt", "inner data").bytes();
  const std::string archive = ArchiveBuilder()
                                  .folder("a/b")
                                  .file("a/b/c.txt", "hello")
                                  .file("empty", "")
                                  .file("bin", binary)
                                  .pack200("lib/rt.jar", "jar bytes")
                                  .pack200("lib/own.jar", "own", flipBytes)
                                  .nested("q.p2.l2", inner)
                                  .nested("r.p2.l2", inner, NestedFormat::LzmaAlone)
                                  .entry("7", "odd", "3", "xyz")
                                  .bytes();
  expectEntries(dir, parseArchive(archive),
                {
                    {"1", "a/b", "", Stored::Raw, ""},
                    {"0", "a/b/c.txt", "5", Stored::Raw, "hello"},
                    {"0", "empty", "0", Stored::Raw, ""},
                    {"0", "bin", "600", Stored::Raw, binary},
                    {"2", "lib/rt.jar", "*", Stored::Pack200, "jar bytes"},
                    {"2", "lib/own.jar", "3", Stored::Flipped, "own"},
                    // A nested archive is a plain entry whose path ends in p2.l2.
                    {"0", "q.p2.l2", "*", Stored::Xz, inner},
                    {"0", "r.p2.l2", "*", Stored::Lzma, inner},
                    {"7", "odd", "3", Stored::Raw, "xyz"},
                });
}

// The known-size legacy form: xz reads it back, its header carries the size, and a
// decoder that counts to that size and accepts no end marker consumes every byte.
TEST(PackerArchive, KnownSizeLzmaHasItsSizeAndNoEndMarker) {
  ScratchDir dir;
  std::string data;
  for (int i = 0; i < 70000; ++i) data.push_back(static_cast<char>((i * 7919) >> 5));
  const std::string packed = lzmaAloneKnownSizeCompress(data);
  ASSERT_GT(packed.size(), 13u);
  EXPECT_EQ(data, unxz(dir, packed, "lzma"));
  uint64_t size = 0;
  for (int i = 0; i < 8; ++i) size |= static_cast<uint64_t>(static_cast<unsigned char>(packed[5 + i])) << (8 * i);
  EXPECT_EQ(data.size(), size);

  lzma_options_lzma options;
  ASSERT_FALSE(lzma_lzma_preset(&options, 6));
  options.ext_flags = 0;
  lzma_set_ext_size(options, data.size());
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  ASSERT_EQ(LZMA_OK, lzma_raw_decoder(&strm, filters));
  std::string out(data.size() + 64, '\0');
  strm.next_in = reinterpret_cast<const uint8_t*>(packed.data()) + 13;
  strm.avail_in = packed.size() - 13;
  strm.next_out = reinterpret_cast<uint8_t*>(out.data());
  strm.avail_out = out.size();
  EXPECT_EQ(LZMA_STREAM_END, lzma_code(&strm, LZMA_FINISH));
  EXPECT_EQ(0u, strm.avail_in) << "bytes left after the counted end: an end marker";
  EXPECT_EQ(data, out.substr(0, out.size() - strm.avail_out));
  lzma_end(&strm);
}

struct XzBlocks {
  size_t blocks = 0;
  size_t sized = 0;  // blocks whose header carries both sizes (xz's "cu" flags)
};

// The blocks xz lists in the .xz file at path.
XzBlocks listXzBlocks(const std::string& path) {
  const ProgramResult list = runProgram("/usr/bin/xz", {"xz", "--robot", "-lvv", path});
  EXPECT_EQ(0, list.status) << list.output;
  XzBlocks found;
  std::istringstream lines(list.output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("block\t")) continue;
    ++found.blocks;
    if (line.find("\tcu\t") != std::string::npos) ++found.sized;
  }
  return found;
}

// The block form: xz reads it back and lists one block per started block size, every
// block header carrying both sizes, which is what lets a decoder hand the blocks to
// threads of its own.
TEST(PackerArchive, InBlocksStreamHasSizedBlocks) {
  ScratchDir dir;
  struct Case {
    size_t size;
    size_t blocks;
  };
  const size_t block = 65536;
  for (const Case& c : {Case{1, 1}, Case{block, 1}, Case{block + 1, 2}, Case{5 * block - 7, 5}}) {
    std::string data;
    for (size_t i = 0; i < c.size; ++i) data.push_back(static_cast<char>((i * 7919) >> 5));
    EXPECT_EQ(data, unxz(dir, xzCompressInBlocks(data, block), "xz")) << c.size;
    const XzBlocks found = listXzBlocks(dir / "packed");
    EXPECT_EQ(c.blocks, found.blocks) << c.size;
    EXPECT_EQ(found.blocks, found.sized) << c.size;
  }
}

TEST(PackerArchive, TreeListsFoldersBeforeTheirContentsInByteOrder) {
  ScratchDir dir;
  const std::string root = dir / "src";
  fs::create_directories(root + "/lib/sub");
  fs::create_directories(root + "/empty");
  writeFileBytes(root + "/lib/sub/b.jar", "BJAR");
  writeFileBytes(root + "/lib/a.txt", "A");
  writeFileBytes(root + "/Z", "zz");
  ArchiveBuilder::TreeOptions options;
  options.packAs200 = [](const std::string& path) { return path.ends_with(".jar"); };
  expectEntries(dir, parseArchive(ArchiveBuilder().tree(root, "top", options).bytes()),
                {
                    {"0", "top/Z", "2", Stored::Raw, "zz"},
                    {"1", "top/empty", "", Stored::Raw, ""},
                    {"1", "top/lib", "", Stored::Raw, ""},
                    {"0", "top/lib/a.txt", "1", Stored::Raw, "A"},
                    {"1", "top/lib/sub", "", Stored::Raw, ""},
                    {"2", "top/lib/sub/b.jar", "*", Stored::Pack200, "BJAR"},
                });
  EXPECT_THROW(ArchiveBuilder().tree(dir / "missing"), PackError);
}

// ---- Signed archives ----------------------------------------------------------------

// Checks a signature the way the launcher does: its own mixed digest of the covered
// bytes, the hex turned into bytes by its own reader, the public key imported from the
// committed DER bytes. 1 when the signature verifies.
int verifyCovered(const std::string& covered, const std::string& hex, int bits) {
  hash_state md;
  EXPECT_EQ(mixedHashInit(&md), 1);
  EXPECT_EQ(mixedHashProcess(&md, reinterpret_cast<const unsigned char*>(covered.data()),
                             static_cast<int>(covered.size())),
            1);
  unsigned char* digest = mixedHashDone(&md);
  std::vector<unsigned char> sig(hex.size() / 2 + 2);
  const int32_t sigLength = HexToBytes(sig.data(), static_cast<int32_t>(sig.size()), hex.c_str());

  const SignerBytes der = Signer_publicKeyDer(bits);
  testing::internal::CaptureStdout();  // the check's messages go to standard output
  rsa_key* key = importPublicKey(der.data(), static_cast<int>(der.size()));
  const int verdict = key ? verifySignature(sig.data(), sigLength, digest, key) : 0;
  testing::internal::GetCapturedStdout();
  EXPECT_NE(key, nullptr);
  if (key) {
    rsa_free(key);
    std::free(key);
  }
  std::free(digest);
  return verdict;
}

struct SignedStream {
  std::string covered;  // every byte before the SignatureBlock
  std::string hex;
};

SignedStream splitSigned(const std::string& stream) {
  SignedStream s;
  size_t blockAt = std::string::npos;
  parseArchive(stream, &s.hex, &blockAt);
  EXPECT_NE(blockAt, std::string::npos) << "no SignatureBlock";
  s.covered = stream.substr(0, std::min(blockAt, stream.size()));
  return s;
}

class PackerSigned : public ::testing::TestWithParam<int> {};

TEST_P(PackerSigned, SignatureCoversEveryByteBeforeTheBlock) {
  const int bits = GetParam();
  ScratchDir dir;
  const std::string inner = ArchiveBuilder().file("in.txt", "inner").signedBytes(bits);
  ArchiveBuilder archive;
  archive.folder("lib").file("lib/a.txt", "payload").nested("n.p2.l2", inner);
  const std::string stream = archive.signedBytes(bits);
  const SignedStream outer = splitSigned(stream);
  EXPECT_EQ(outer.covered, archive.bytes());
  EXPECT_EQ(verifyCovered(outer.covered, outer.hex, bits), 1);

  // The nested archive carries a signature of its own over its inner stream.
  const auto e = parseArchive(stream);
  ASSERT_EQ(e.size(), 3u);
  const SignedStream nested = splitSigned(unxz(dir, e[2].data, "xz"));
  EXPECT_EQ(verifyCovered(nested.covered, nested.hex, bits), 1);

  // One changed byte anywhere before the block: a header value, the 0x00 after it, a
  // data byte, a compressed byte of the nested archive.
  const size_t nestedData = archive.bytes().size() - e[2].data.size();
  for (size_t at : {size_t{0}, size_t{1}, archive.bytes().find("payload"), nestedData + 20}) {
    std::string changed = outer.covered;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);
    EXPECT_EQ(verifyCovered(changed, outer.hex, bits), 0) << "byte " << at;
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, PackerSigned, ::testing::Values(2048, 4096));

TEST(PackerSigned, BlockCarriesWhatTheSignerGives) {
  // A signer of the test's own: the block holds its bytes whatever they are.
  const DigestSigner fixed = [](const unsigned char*) { return SignerBytes{0xAB, 0x01, 0xFF}; };
  const std::string stream = ArchiveBuilder().file("f", "x").signedBytes(fixed);
  std::string hex;
  const auto e = parseArchive(stream, &hex);
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(hex, "ab01ff");
  static const char block[] = "0\0hvArcSpBlock_DigitalSignature1\0" "3\0" "3\0" "ab01ff\0";
  const std::string expected(block, sizeof block - 1);
  EXPECT_EQ(stream.substr(stream.size() - expected.size()), expected);
  EXPECT_THROW(ArchiveBuilder().signedBytes(1024), PackError) << "a 1024-bit key cannot sign";
}

// ---- Wrapper tail -------------------------------------------------------------------

TailHeader sampleHeader() {
  TailHeader h;
  h.appName = "Demo";
  h.appVersion = "7";
  h.jreVersion = "17";
  h.qvVersion = "12";
  h.minSplashMs = "500";
  h.signaturePublicKey = "30820122";
  h.canOverrideSplash = "1";
  h.installType = "perm_user";
  h.silentParameter = "-q";
  h.requiredJavaVersion = "11";
  h.updateUrl = "D";
  h.skipSystemJre = "";
  return h;
}

TEST(PackerTail, HeaderValuesInOrderThenEntries) {
  TailBlock tail;
  tail.header = sampleHeader();
  tail.entries = ArchiveBuilder().file("lzma64", "L").bytes();
  StreamValues whole(tail.bytes());
  EXPECT_EQ(readHeader(whole), (std::vector<std::string>{"Demo", "7", "17", "12", "500", "30820122",
                                                         "1", "perm_user", "-q", "11", "D", ""}));
  EXPECT_EQ(whole.rest(), tail.entries);

  tail.headerValues = 5;  // a truncated header: the entries follow the fifth value
  StreamValues cut(tail.bytes());
  EXPECT_EQ(readHeader(cut, 5), (std::vector<std::string>{"Demo", "7", "17", "12", "500"}));
  EXPECT_EQ(cut.rest(), tail.entries);
}

TEST(PackerTail, EntryCountFollowsTheVersions) {
  struct Case {
    const char* qv;
    const char* jre;
    const char* app;
    int entries;
  };
  const Case cases[] = {{"", "17", "3", 0},  {"1", "", "", 5},   {"1", "17", "", 6},
                        {"1", "", "3", 7},   {"1", "17", "3", 8}};
  for (const auto& c : cases) {
    TailHeader h;
    h.qvVersion = c.qv;
    h.jreVersion = c.jre;
    h.appVersion = c.app;
    EXPECT_EQ(expectedTailEntries(h), c.entries) << c.qv << "/" << c.jre << "/" << c.app;
  }
}

TEST(PackerParams, CountAndPairsInOrder) {
  ParamsBlock params;
  params.pairs = {{"update_url", "http://127.0.0.1/"}, {"wrapper_autotest", ""},
                  {"update_url", "second"}, {"long", std::string(199998, 'v')}};
  StreamValues in(params.bytes());
  EXPECT_EQ(readParams(in), params.pairs);
  EXPECT_TRUE(in.atEnd());

  params.countText = "abc";
  EXPECT_EQ(StreamValues(params.bytes()).text(), "abc");
  StreamValues none(ParamsBlock().bytes());
  EXPECT_EQ(none.number(), 0);
  EXPECT_TRUE(none.atEnd());
}

struct OrderCase {
  const char* name;
  BlockOrder order;
};

class PackerLauncher : public ::testing::TestWithParam<OrderCase> {};

TEST_P(PackerLauncher, AppendsBothBlocksToACopyOfTheLauncher) {
  ScratchDir dir;
  const std::string launcher = readFileBytes(HV_LAUNCHER_PATH);
  ParamsBlock params;
  params.pairs = {{"jre_name", "hvjre"}};
  TailBlock tail;
  tail.header = sampleHeader();
  tail.entries = ArchiveBuilder().file("lzma64", "L").file("nativesplash.png", "P").bytes();
  const std::string out = dir / "installer";
  packLauncher(HV_LAUNCHER_PATH, out, wrapperTail(params, tail, GetParam().order));

  const std::string image = readFileBytes(out);
  ASSERT_EQ(image.compare(0, launcher.size(), launcher), 0) << "the launcher is not copied whole";
  struct stat st {};
  ASSERT_EQ(stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  const size_t p = scanForMarker(image, paramsMarker());
  const size_t t = scanForMarker(image, tailMarker());
  ASSERT_NE(p, std::string::npos);
  ASSERT_NE(t, std::string::npos);
  EXPECT_GE(std::min(p, t), launcher.size());
  EXPECT_EQ(GetParam().order == BlockOrder::ParamsFirst, p < t);

  // Each block reads back from just past its marker.
  StreamValues pv(image, p + PARAMS_MARKER_SIZE);
  EXPECT_EQ(readParams(pv), params.pairs);
  StreamValues tv(image, t + TAIL_MARKER_SIZE);
  EXPECT_EQ(readHeader(tv), tail.header.values());
  const auto entries = parseArchive(tv.rest().substr(0, tail.entries.size()));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].path, "nativesplash.png");

  // A packed launcher is refused as a source: it would go on reading its old tail.
  EXPECT_THROW(packLauncher(out, (dir / "again"), ""), PackError);
}

INSTANTIATE_TEST_SUITE_P(Orders, PackerLauncher,
                         ::testing::Values(OrderCase{"ParamsFirst", BlockOrder::ParamsFirst},
                                           OrderCase{"TailFirst", BlockOrder::TailFirst}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Launch file and LSO file -------------------------------------------------------

LaunchFile sampleLaunchFile(long long version) {
  LaunchFile f;
  f.version = version;
  f.mainClass = "a.Main";
  f.classOnUpdate = "a.Update";
  f.appName = "demoapp";
  f.osIcns = "icns";
  f.urlRequired = true;
  f.jvmMemMb = 512;
  f.jvmStackMb = 0;
  f.classPath = {"lib/a.jar", "lib/b.jar"};
  f.extraArgs = {"--x"};
  f.compatibilityClass = "a.Compat";
  f.postInstallClass = "a.Post";
  f.preUninstallClass = "a.Pre";
  f.appJvmOptions = {"-Dk=v", "-Xss2m"};
  f.mustFork = true;
  return f;
}

// Reads a launch file the way the launcher does: values 13 to 18 only above their
// versions. Fails the test when bytes are left over.
LaunchFile readLaunchFile(const std::string& bytes) {
  StreamValues in(bytes);
  LaunchFile f;
  f.version = static_cast<int32_t>(in.number());
  f.mainClass = in.text();
  f.classOnUpdate = in.text();
  f.appName = in.text();
  f.osIcns = in.text();
  f.urlRequired = in.flag();
  f.jvmMemMb = static_cast<int32_t>(in.number());
  f.jvmStackMb = static_cast<int32_t>(in.number());
  f.classPath = in.list();
  f.extraArgs = in.list();
  if (f.version > 2) f.compatibilityClass = in.text();
  if (f.version > 3) {
    f.postInstallClass = in.text();
    f.preUninstallClass = in.text();
  }
  if (f.version > 4) f.appJvmOptions = in.list();
  if (f.version > 5) f.mustFork = in.flag();
  EXPECT_TRUE(in.atEnd()) << "values past the version's reach";
  return f;
}

void expectLaunchFile(const LaunchFile& got, const LaunchFile& want) {
  EXPECT_EQ(got.version, want.version);
  EXPECT_EQ(got.mainClass, want.mainClass);
  EXPECT_EQ(got.classOnUpdate, want.classOnUpdate);
  EXPECT_EQ(got.appName, want.appName);
  EXPECT_EQ(got.osIcns, want.osIcns);
  EXPECT_EQ(got.urlRequired, want.urlRequired);
  EXPECT_EQ(got.jvmMemMb, want.jvmMemMb);
  EXPECT_EQ(got.jvmStackMb, want.jvmStackMb);
  EXPECT_EQ(got.classPath, want.classPath);
  EXPECT_EQ(got.extraArgs, want.extraArgs);
  EXPECT_EQ(got.compatibilityClass, want.version > 2 ? want.compatibilityClass : "");
  EXPECT_EQ(got.postInstallClass, want.version > 3 ? want.postInstallClass : "");
  EXPECT_EQ(got.preUninstallClass, want.version > 3 ? want.preUninstallClass : "");
  EXPECT_EQ(got.appJvmOptions, want.version > 4 ? want.appJvmOptions : std::vector<std::string>{});
  EXPECT_EQ(got.mustFork, want.version > 5 && want.mustFork);
}

class PackerLaunchFile : public ::testing::TestWithParam<long long> {};

TEST_P(PackerLaunchFile, WritesExactlyTheValuesOfItsVersion) {
  const LaunchFile written = sampleLaunchFile(GetParam());
  expectLaunchFile(readLaunchFile(written.bytes()), written);
}

INSTANTIATE_TEST_SUITE_P(Versions, PackerLaunchFile, ::testing::Values(1, 2, 3, 4, 5, 6, 7));

TEST(PackerLsoFile, CountThenEntries) {
  LsoFile f;
  f.options = {"-Xmx1g", "-Dx=y"};
  StreamValues in(f.bytes());
  EXPECT_EQ(in.list(), f.options);
  EXPECT_TRUE(in.atEnd());
  f.count = 5;  // a count that promises more than the file holds
  StreamValues more(f.bytes());
  EXPECT_EQ(more.number(), 5);
  EXPECT_EQ(more.text(), "-Xmx1g");
  EXPECT_EQ(more.text(), "-Dx=y");
  EXPECT_TRUE(more.atEnd());
}

// ---- The command-line tool ----------------------------------------------------------

struct ToolRun {
  int status;
  std::string output;  // standard output and standard error
};

ToolRun runTool(const std::string& arguments) {
  const std::string command = std::string(HV_BIN_DIR) + "/halvorin-pack " + arguments + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  ToolRun run{-1, {}};
  if (p == nullptr) return run;
  char chunk[4096];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, p)) > 0;) run.output.append(chunk, n);
  const int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class PackerTool : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFileBytes(dir / "lzma.bin", "LZMA tool");
    writeFileBytes(dir / "splash.bin", std::string("\x89PNG\0\1", 6));
    writeFileBytes(dir / "a.txt", "AAA");
    fs::create_directories(dir / "qvtree/lib");
    writeFileBytes(dir / "qvtree/HalvorinLaunch", "launch");
    writeFileBytes(dir / "qvtree/lib/q.jar", "QJAR");
  }
  std::string manifest(const std::string& text) const {
    writeFileBytes(dir / "m.txt", text);
    return "'" + (dir / "m.txt") + "'";
  }
  ScratchDir dir;
};

TEST_F(PackerTool, InstallerFromAManifest) {
  const std::string m = manifest(std::string("# demo installer\n") +
                                 "launcher " + HV_LAUNCHER_PATH + "\n"
                                 "order tail-first\n"
                                 "sign-key 2048\n"
                                 "param update_url http://127.0.0.1:1/\n"
                                 "param empty_one\n"
                                 "param-base64 splash_image splash.bin\n"
                                 "header app_name Demo App\n"
                                 "header qv_version 3\n"
                                 "header install_type perm_user\n"
                                 "file lzma64 lzma.bin\n"
                                 "file nativesplash.png splash.bin\n"
                                 "folder qv\n"
                                 "tree qv.p2.l2 qvtree signed\n"
                                 "nested more.p2.l2\n"
                                 "  file a.txt a.txt\n"
                                 "end\n");
  const ToolRun run = runTool("installer " + m + " -o '" + (dir / "out") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string image = readFileBytes(dir / "out");
  const size_t p = scanForMarker(image, paramsMarker());
  const size_t t = scanForMarker(image, tailMarker());
  ASSERT_LT(t, p) << "tail-first puts the Tail block first";

  StreamValues pv(image, p + PARAMS_MARKER_SIZE);
  EXPECT_EQ(readParams(pv), (Pairs{{"update_url", "http://127.0.0.1:1/"},
                                   {"empty_one", ""},
                                   {"splash_image", "iVBORwAB"}}));
  EXPECT_TRUE(pv.atEnd());

  StreamValues tv(image, t + TAIL_MARKER_SIZE);
  EXPECT_EQ(readHeader(tv), (std::vector<std::string>{"Demo App", "", "", "3", "",
                                                      Signer_publicKeyHex(2048), "", "perm_user",
                                                      "", "", hvpack::PLACEHOLDER_UPDATE_URL, ""}))
      << "without an update_url line the placeholder";
  const std::string rest = tv.rest();
  const auto e = parseArchive(rest.substr(0, rest.size() - (image.size() - p)));
  ASSERT_EQ(e.size(), 5u);
  const std::string qvStream = unxz(dir, e[3].data, "xz");
  const std::string moreStream = unxz(dir, e[4].data, "xz");
  expectEntries(dir, e,
                {
                    {"0", "lzma64", "9", Stored::Raw, "LZMA tool"},
                    {"0", "nativesplash.png", "6", Stored::Raw, std::string("\x89PNG\0\1", 6)},
                    {"1", "qv", "", Stored::Raw, ""},
                    {"0", "qv.p2.l2", "*", Stored::Xz, qvStream},
                    {"0", "more.p2.l2", "*", Stored::Xz, moreStream},
                });
  expectEntries(dir, parseArchive(qvStream),
                {
                    {"0", "HalvorinLaunch", "6", Stored::Raw, "launch"},
                    {"1", "lib", "", Stored::Raw, ""},
                    {"0", "lib/q.jar", "4", Stored::Raw, "QJAR"},
                });
  const SignedStream qvSigned = splitSigned(qvStream);
  EXPECT_EQ(verifyCovered(qvSigned.covered, qvSigned.hex, 2048), 1);
  std::string moreHex = "none";
  expectEntries(dir, parseArchive(moreStream, &moreHex), {{"0", "a.txt", "3", Stored::Raw, "AAA"}});
  EXPECT_EQ(moreHex, "none") << "an archive not marked signed carries no signature";
}

TEST_F(PackerTool, RefusesBadManifests) {
  struct Case {
    const char* name;
    std::string body;
    const char* message;
  };
  const std::string head = std::string("launcher ") + HV_LAUNCHER_PATH + "\nheader qv_version 1\n";
  const std::string five =
      "file lzma64 a.txt\nfile nativesplash.png a.txt\nfile c a.txt\nfile d a.txt\nfile e a.txt\n";
  const Case cases[] = {
      {"too few entries", head + "file a a.txt\n", "announces 5 tail entries but the manifest has 1"},
      {"unknown directive", head + five + "frobnicate x\n", "line 8: unknown directive"},
      {"nested without end", head + five + "nested x.p2.l2\nfile f a.txt\n", "without \"end\""},
      {"missing source", head + "file a nothere\n", "cannot open"},
      {"signed without key", head + "tree x.p2.l2 qvtree signed\n", "needs a sign-key"},
      {"key without a pair", head + "sign-key 1024\n", "sign-key is 2048, 4096, extracttest or the path"},
      {"key path without files", head + "sign-key keys/nothere\n", "no key pair"},
      {"splash not second", head + "file lzma64 a.txt\nfile splash.png a.txt\nfile c a.txt\n"
                                  "file d a.txt\nfile e a.txt\n",
       "tail entry 2 must be nativesplash.png, not splash.png"},
      {"dir as tail entries", head + "dir qvtree\n", "use tree or nested"},
      {"unknown header key", head + "header colour red\n", "unknown header key colour"},
  };
  for (const auto& c : cases) {
    const ToolRun run = runTool("installer " + manifest(c.body) + " -o '" + (dir / "out") + "'");
    EXPECT_EQ(run.status, 1) << c.name;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << c.name << ": " << run.output;
  }
  EXPECT_EQ(runTool("").status, 2);
}

class PackerToolCompression : public PackerTool, public testing::WithParamInterface<const char*> {};

TEST_P(PackerToolCompression, SignedCompressedArchive) {
  const std::string m = manifest(std::string("compress ") + GetParam() +
                                 "\nsign-key 4096\nsign\nfolder top\ndir qvtree top\nfile top/a.txt a.txt\n"
                                 "pack200 top/p.jar a.txt\n");
  const ToolRun run = runTool("archive " + m + " -o '" + (dir / "jre.xz") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string stream = unxz(dir, readFileBytes(dir / "jre.xz"), "xz");
  const XzBlocks found = listXzBlocks(dir / "jre.xz");
  EXPECT_EQ(1u, found.blocks);
  EXPECT_EQ(std::string(GetParam()) == "xz-blocks" ? 1u : 0u, found.sized);
  const SignedStream whole = splitSigned(stream);
  EXPECT_EQ(verifyCovered(whole.covered, whole.hex, 4096), 1);
  expectEntries(dir, parseArchive(stream),
                {
                    {"1", "top", "", Stored::Raw, ""},
                    {"0", "top/HalvorinLaunch", "6", Stored::Raw, "launch"},
                    {"1", "top/lib", "", Stored::Raw, ""},
                    {"0", "top/lib/q.jar", "4", Stored::Raw, "QJAR"},
                    {"0", "top/a.txt", "3", Stored::Raw, "AAA"},
                    {"2", "top/p.jar", "*", Stored::Pack200, "AAA"},
                });
}

// xz-blocks: the form "xz -T0" writes, whose blocks the launcher decodes on several threads.
INSTANTIATE_TEST_SUITE_P(Forms, PackerToolCompression, testing::Values("xz", "xz-blocks"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(info.param) == "xz" ? std::string("OneBlock")
                                                                  : std::string("InBlocks");
                         });

// A key pair of one's own, named by its path prefix (relative to the manifest's folder),
// signs, and its public half becomes the header's key.
TEST_F(PackerTool, KeyPairByPath) {
  fs::create_directories(dir / "keys");
  for (const char* kind : {"public", "private"})
    fs::copy_file(Signer_dataPath((std::string("rsa4096_") + kind + ".hex").c_str()),
                  dir / (std::string("keys/own_") + kind + ".hex"));
  ToolRun run = runTool("archive " + manifest("compress xz\nsign-key keys/own\nsign\nfile a.txt a.txt\n") +
                        " -o '" + (dir / "a.xz") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const SignedStream whole = splitSigned(unxz(dir, readFileBytes(dir / "a.xz"), "xz"));
  EXPECT_EQ(verifyCovered(whole.covered, whole.hex, 4096), 1);

  run = runTool("installer " +
                manifest(std::string("launcher ") + HV_LAUNCHER_PATH +
                         "\nsign-key keys/own\nheader qv_version 1\nfile lzma64 a.txt\n"
                         "file nativesplash.png a.txt\ntree c.p2.l2 qvtree signed\nfile d a.txt\nfile e a.txt\n") +
                " -o '" + (dir / "out") + "'");
  ASSERT_EQ(run.status, 0) << run.output;
  const std::string image = readFileBytes(dir / "out");
  StreamValues tv(image, scanForMarker(image, tailMarker()) + TAIL_MARKER_SIZE);
  EXPECT_EQ(readHeader(tv)[5], Signer_publicKeyHex(4096));
}

TEST_F(PackerTool, LaunchAndLsoFiles) {
  ToolRun run = runTool("launch-file '" + (dir / "HalvorinLaunch") +
                        "' --version 5 --class a.Main --app-name demo --jvm-mem 256"
                        " --classpath lib/a.jar --classpath lib/b.jar --extra-arg -x"
                        " --compat-class a.Compat --jvm-option -Dk=v --url-required");
  ASSERT_EQ(run.status, 0) << run.output;
  LaunchFile want;
  want.version = 5;
  want.mainClass = "a.Main";
  want.appName = "demo";
  want.urlRequired = true;
  want.jvmMemMb = 256;
  want.classPath = {"lib/a.jar", "lib/b.jar"};
  want.extraArgs = {"-x"};
  want.compatibilityClass = "a.Compat";
  want.appJvmOptions = {"-Dk=v"};
  expectLaunchFile(readLaunchFile(readFileBytes(dir / "HalvorinLaunch")), want);
  run = runTool("lso-file '" + (dir / "lso") + "' -Xmx1g '-Dx=a b'");
  ASSERT_EQ(run.status, 0) << run.output;
  StreamValues lso(readFileBytes(dir / "lso"));
  EXPECT_EQ(lso.list(), (std::vector<std::string>{"-Xmx1g", "-Dx=a b"}));
  EXPECT_TRUE(lso.atEnd());
  EXPECT_EQ(runTool("launch-file '" + (dir / "x") + "' --jvm-mem lots").status, 1);
}

}  // namespace
