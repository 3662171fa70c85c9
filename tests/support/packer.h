// Test-side packer: writes everything the launcher reads and the packaging side would
// make — property streams, archive streams (folders, plain files, pack200 files, nested
// .xz or .lzma archives, signed or not), the Params and Tail blocks of a wrapper tail
// appended to a copy of a launcher, launch files and last-successful-options files.
// Builders hold plain bytes and may write anything, malformed on purpose included.
// Failures to read or write files throw (PackError, or std::runtime_error from the
// shared scratch-file helpers). Not thread-safe per object.
#pragma once

#include "tests/support/signer.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hvpack {

struct PackError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- Files --------------------------------------------------------------------------

// A file's bytes; PackError when it cannot be read (a missing input is an error here).
std::string readInputFile(const std::string& path);

// ---- Property streams ---------------------------------------------------------------

// Values in order, each followed by one 0x00; no keys, no lengths.
class PropertyWriter {
 public:
  PropertyWriter& value(std::string_view text);
  PropertyWriter& number(long long n);
  PropertyWriter& boolean(bool b);  // "1" or "0"
  // Bytes as they stand, without a terminator: for streams cut or broken on purpose.
  PropertyWriter& raw(std::string_view bytes);
  const std::string& bytes() const { return out_; }

 private:
  std::string out_;
};

// ---- Encodings ----------------------------------------------------------------------

std::string base64Encode(std::string_view bytes);  // standard alphabet, '=' padded
std::string xzCompress(std::string_view data);  // one .xz stream, CRC64 check
// One .xz stream of blocks of blockSize uncompressed bytes (the last may be shorter; 0:
// the encoder's own choice, three times the dictionary, 24 MiB), each header carrying its
// sizes, as multi-threaded encoders write them; CRC64 check.
constexpr uint64_t TEST_XZ_BLOCK_SIZE = 65536;
std::string xzCompressInBlocks(std::string_view data, uint64_t blockSize = TEST_XZ_BLOCK_SIZE);
std::string lzmaAloneCompress(std::string_view data);  // one legacy .lzma stream
// One legacy .lzma stream that carries its uncompressed size in its header and ends
// without an end marker: the decoder knows the end only by counting.
std::string lzmaAloneKnownSizeCompress(std::string_view data);

// ---- Archive streams ----------------------------------------------------------------

// Turns a file's bytes into the form stored for a pack200 entry. An empty transform
// stands for the test runtime's own (fakePack200), which its bin/unpack200 undoes.
using Pack200Transform = std::function<std::string(std::string_view)>;

enum class NestedFormat { Xz, XzInBlocks, LzmaAlone, LzmaAloneKnownSize };

constexpr const char* SIGNATURE_BLOCK_PATH = "hvArcSpBlock_DigitalSignature1";

// Signs a 64-byte mixed digest; returns the signature bytes.
using DigestSigner = std::function<SignerBytes(const unsigned char* digest64)>;

// Signs with the committed test key of that many bits (2048 or 4096; see signer.h,
// whose Signer_publicKeyHex gives the Tail header's key). PackError when it cannot sign.
DigestSigner testKeySigner(int bits);
// Signs with a named committed pair (e.g. EXTRACT_TEST_KEY_NAME).
DigestSigner namedKeySigner(const std::string& keyName);

// Builds an ArchiveStream entry by entry. bytes() is the stream without a signature;
// signedBytes() appends the SignatureBlock over everything before it.
class ArchiveBuilder {
 public:
  // Type 1: no length, no data.
  ArchiveBuilder& folder(std::string_view path);
  // Type 0 with the data; an empty file carries the length 0 and no data.
  ArchiveBuilder& file(std::string_view path, std::string_view data);
  // Type 2: the launcher writes path + ".p2" and unpacks it to path.
  ArchiveBuilder& pack200(std::string_view path, std::string_view data,
                          const Pack200Transform& pack = {});
  // A nested archive: path should end in "p2.l2"; inner is a whole ArchiveStream
  // (signed or not), stored compressed.
  ArchiveBuilder& nested(std::string_view path, std::string_view innerStream,
                         NestedFormat format = NestedFormat::Xz);
  // Any entry as it stands: the length value is left out when length is empty
  // (as for a folder); data follows as given, whatever the length says.
  ArchiveBuilder& entry(std::string_view type, std::string_view path,
                        std::optional<std::string_view> length, std::string_view data);
  ArchiveBuilder& raw(std::string_view bytes);

  // Adds the folder tree at dir (its contents, not dir itself) under prefix ("" for
  // the stream's top): each sub-folder as a folder entry before its contents, each file
  // as a plain entry, names in byte order. Files for which packAs200 says yes become
  // pack200 entries through pack (empty: the test runtime's transform).
  struct TreeOptions {
    std::function<bool(const std::string& relativePath)> packAs200;
    Pack200Transform pack;
  };
  ArchiveBuilder& tree(const std::string& dir, std::string_view prefix = "",
                       const TreeOptions& options = {});

  const std::string& bytes() const { return out_; }
  // The stream followed by a SignatureBlock that signs the mixed digest of every byte
  // before the block.
  std::string signedBytes(const DigestSigner& sign) const;
  std::string signedBytes(int keyBits) const { return signedBytes(testKeySigner(keyBits)); }

 private:
  void treeLevel(const std::string& dir, const std::string& prefix, const TreeOptions& options);
  std::string out_;
};

// The SignatureBlock for the given signature bytes: type "0", the block's path, the
// signature's byte count as the length (no data follows), then "Signature Length" and
// "Signature Hex".
std::string signatureBlock(const SignerBytes& signature);

// ---- Wrapper tail -------------------------------------------------------------------

struct ParamsBlock {
  std::vector<std::pair<std::string, std::string>> pairs;
  // "Params Count" as written; the number of pairs when not set.
  std::optional<std::string> countText;
  std::string bytes() const;
};

// The "Update URL" the packaging side writes when there is no update site: 18
// characters, an IPv4 host in 0.0.0.0/8. The launcher skips its proxy detection
// request for it.
constexpr const char* PLACEHOLDER_UPDATE_URL = "http://0.0.0.0:80/";

// The twelve static values, in the order the launcher reads them.
struct TailHeader {
  std::string appName;
  std::string appVersion;
  std::string jreVersion;
  std::string qvVersion;
  std::string minSplashMs;
  std::string signaturePublicKey;  // hex of the DER public key; empty for none
  std::string canOverrideSplash;
  std::string installType;
  std::string silentParameter;
  std::string requiredJavaVersion;
  std::string updateUrl;
  std::string skipSystemJre;

  static constexpr int VALUE_COUNT = 12;
  std::vector<std::string> values() const;
};

// Entries the launcher takes after this header: none without a "QV Version", else
// five, one more for a "JRE Version", two more for an "App Version".
int expectedTailEntries(const TailHeader& header);

struct TailBlock {
  TailHeader header;
  // Only the first headerValues values are written (a truncated header when < 12).
  int headerValues = TailHeader::VALUE_COUNT;
  // The archive entries in tail order, as they stand (e.g. ArchiveBuilder::bytes()).
  std::string entries;
  std::string bytes() const;
};

// Marker followed by its block.
std::string paramsSection(const ParamsBlock& params);
std::string tailSection(const TailBlock& tail);

enum class BlockOrder { ParamsFirst, TailFirst };
std::string wrapperTail(const ParamsBlock& params, const TailBlock& tail,
                        BlockOrder order = BlockOrder::ParamsFirst);

// Copies the launcher to out, appends the given bytes and makes out executable (0755).
// Refuses a launcher that already holds a marker (a packed launcher would go on
// reading its old tail).
void packLauncher(const std::string& launcher, const std::string& out, std::string_view appended);

// Where the launcher's forward scan, which never steps back after a partial match,
// first finds marker in bytes; std::string::npos when it does not.
size_t scanForMarker(std::string_view bytes, std::string_view marker);

// ---- Launch file and LSO file -------------------------------------------------------

constexpr const char* LAUNCH_FILE_NAME = "HalvorinLaunch";

// The launch file; values past the format version's reach are left out.
struct LaunchFile {
  long long version = 6;
  std::string mainClass;
  std::string classOnUpdate;
  std::string appName;  // the name of the java copy in the runtime's bin folder
  std::string osIcns;
  bool urlRequired = false;
  long long jvmMemMb = 0;
  long long jvmStackMb = 0;
  std::vector<std::string> classPath;
  std::vector<std::string> extraArgs;
  std::string compatibilityClass;          // version above 2
  std::string postInstallClass;            // version above 3
  std::string preUninstallClass;           // version above 3
  std::vector<std::string> appJvmOptions;  // version above 4
  bool mustFork = false;                   // version above 5
  std::string bytes() const;
};

// The last-successful-options file: "LSO Count", then the entries.
struct LsoFile {
  std::vector<std::string> options;
  std::optional<long long> count;  // the number of options when not set
  std::string bytes() const;
};

}  // namespace hvpack
