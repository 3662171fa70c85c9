#include "tests/support/packer.h"

#include "tests/support/fake_pack200.h"
#include "tests/support/markers.h"
#include "tests/support/scratch_dir.h"

#include <lzma.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace hvpack {

namespace fs = std::filesystem;

// ---- Files --------------------------------------------------------------------------

std::string readInputFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PackError("cannot open " + path + ": " + std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw PackError("cannot read " + path);
  return bytes;
}

// ---- Property streams ---------------------------------------------------------------

PropertyWriter& PropertyWriter::value(std::string_view text) {
  out_.append(text);
  out_.push_back('\0');
  return *this;
}

PropertyWriter& PropertyWriter::number(long long n) { return value(std::to_string(n)); }

PropertyWriter& PropertyWriter::boolean(bool b) { return value(b ? "1" : "0"); }

PropertyWriter& PropertyWriter::raw(std::string_view bytes) {
  out_.append(bytes);
  return *this;
}

// ---- Encodings ----------------------------------------------------------------------

std::string base64Encode(std::string_view bytes) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (n > 1) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (n > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
    out.push_back(alphabet[(v >> 18) & 63]);
    out.push_back(alphabet[(v >> 12) & 63]);
    out.push_back(n > 1 ? alphabet[(v >> 6) & 63] : '=');
    out.push_back(n > 2 ? alphabet[v & 63] : '=');
  }
  return out;
}

namespace {

std::string runEncoder(lzma_stream& strm, std::string_view data) {
  std::string out;
  unsigned char chunk[65536];
  strm.next_in = reinterpret_cast<const uint8_t*>(data.data());
  strm.avail_in = data.size();
  lzma_ret ret;
  do {
    strm.next_out = chunk;
    strm.avail_out = sizeof chunk;
    ret = lzma_code(&strm, LZMA_FINISH);
    out.append(reinterpret_cast<char*>(chunk), sizeof chunk - strm.avail_out);
  } while (ret == LZMA_OK);
  lzma_end(&strm);
  if (ret != LZMA_STREAM_END) throw PackError("LZMA compression failed: " + std::to_string(ret));
  return out;
}

}  // namespace

std::string xzCompress(std::string_view data) {
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_easy_encoder(&strm, 6, LZMA_CHECK_CRC64) != LZMA_OK)
    throw PackError("cannot start the .xz encoder");
  return runEncoder(strm, data);
}

std::string xzCompressInBlocks(std::string_view data, uint64_t blockSize) {
  lzma_mt options = {};
  options.threads = 2;  // the bytes written do not depend on it
  options.block_size = blockSize;
  options.preset = 6;
  options.check = LZMA_CHECK_CRC64;
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_stream_encoder_mt(&strm, &options) != LZMA_OK)
    throw PackError("cannot start the multi-threaded .xz encoder");
  return runEncoder(strm, data);
}

std::string lzmaAloneCompress(std::string_view data) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 6)) throw PackError("no LZMA preset 6");
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&strm, &options) != LZMA_OK)
    throw PackError("cannot start the .lzma encoder");
  return runEncoder(strm, data);
}

std::string lzmaAloneKnownSizeCompress(std::string_view data) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, 6)) throw PackError("no LZMA preset 6");
  options.ext_flags = 0;  // no end marker: the size in the header ends the stream
  lzma_set_ext_size(options, data.size());
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options},
                           {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream strm = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&strm, filters) != LZMA_OK)
    throw PackError("cannot start the raw LZMA1 encoder");
  // The 13-byte legacy header: properties byte, dictionary size, uncompressed size
  // (both little-endian).
  std::string header;
  header.push_back(static_cast<char>((options.pb * 5 + options.lp) * 9 + options.lc));
  for (int i = 0; i < 4; ++i) header.push_back(static_cast<char>(options.dict_size >> (8 * i)));
  const uint64_t size = data.size();
  for (int i = 0; i < 8; ++i) header.push_back(static_cast<char>(size >> (8 * i)));
  return header + runEncoder(strm, data);
}

// ---- Archive streams ----------------------------------------------------------------

ArchiveBuilder& ArchiveBuilder::folder(std::string_view path) {
  return entry("1", path, std::nullopt, "");
}

ArchiveBuilder& ArchiveBuilder::file(std::string_view path, std::string_view data) {
  const std::string length = std::to_string(data.size());
  return entry("0", path, length, data);
}

ArchiveBuilder& ArchiveBuilder::pack200(std::string_view path, std::string_view data,
                                        const Pack200Transform& pack) {
  const std::string packed = pack ? pack(data) : fakePack200(std::string(data));
  const std::string length = std::to_string(packed.size());
  return entry("2", path, length, packed);
}

ArchiveBuilder& ArchiveBuilder::nested(std::string_view path, std::string_view innerStream,
                                       NestedFormat format) {
  const std::string packed = format == NestedFormat::Xz           ? xzCompress(innerStream)
                             : format == NestedFormat::XzInBlocks ? xzCompressInBlocks(innerStream)
                             : format == NestedFormat::LzmaAlone  ? lzmaAloneCompress(innerStream)
                                                                  : lzmaAloneKnownSizeCompress(innerStream);
  const std::string length = std::to_string(packed.size());
  return entry("0", path, length, packed);
}

ArchiveBuilder& ArchiveBuilder::entry(std::string_view type, std::string_view path,
                                      std::optional<std::string_view> length,
                                      std::string_view data) {
  PropertyWriter w;
  w.value(type).value(path);
  if (length) w.value(*length);
  out_.append(w.bytes());
  out_.append(data);
  return *this;
}

ArchiveBuilder& ArchiveBuilder::raw(std::string_view bytes) {
  out_.append(bytes);
  return *this;
}

ArchiveBuilder& ArchiveBuilder::tree(const std::string& dir, std::string_view prefix,
                                     const TreeOptions& options) {
  if (!fs::is_directory(dir)) throw PackError("not a folder: " + dir);
  treeLevel(dir, std::string(prefix), options);
  return *this;
}

void ArchiveBuilder::treeLevel(const std::string& dir, const std::string& prefix,
                               const TreeOptions& options) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const std::string source = dir + "/" + name;
    const std::string path = prefix.empty() ? name : prefix + "/" + name;
    if (fs::is_directory(source)) {
      folder(path);
      treeLevel(source, path, options);
    } else if (fs::is_regular_file(source)) {
      if (options.packAs200 && options.packAs200(path))
        pack200(path, readInputFile(source), options.pack);
      else
        file(path, readInputFile(source));
    } else {
      throw PackError("neither a file nor a folder: " + source);
    }
  }
}

DigestSigner testKeySigner(int bits) {
  return [bits](const unsigned char* digest) {
    SignerBytes signature = Signer_sign(bits, digest);
    if (signature.empty()) throw PackError("no test key of " + std::to_string(bits) + " bits signs");
    return signature;
  };
}

DigestSigner namedKeySigner(const std::string& keyName) {
  return [keyName](const unsigned char* digest) {
    SignerBytes signature = Signer_signWithKey(keyName.c_str(), digest);
    if (signature.empty()) throw PackError("the test key " + keyName + " does not sign");
    return signature;
  };
}

std::string ArchiveBuilder::signedBytes(const DigestSigner& sign) const {
  const SignerBytes digest = Signer_mixedDigest(out_.data(), out_.size());
  return out_ + signatureBlock(sign(digest.data()));
}

std::string signatureBlock(const SignerBytes& signature) {
  const std::string count = std::to_string(signature.size());
  PropertyWriter w;
  w.value("0").value(SIGNATURE_BLOCK_PATH).value(count);
  w.value(count).value(Signer_toHex(signature));
  return w.bytes();
}

// ---- Wrapper tail -------------------------------------------------------------------

std::string ParamsBlock::bytes() const {
  PropertyWriter w;
  w.value(countText ? *countText : std::to_string(pairs.size()));
  for (const auto& [name, value] : pairs) w.value(name).value(value);
  return w.bytes();
}

std::vector<std::string> TailHeader::values() const {
  return {appName,         appVersion,         jreVersion,         qvVersion,
          minSplashMs,     signaturePublicKey, canOverrideSplash,  installType,
          silentParameter, requiredJavaVersion, updateUrl,         skipSystemJre};
}

int expectedTailEntries(const TailHeader& header) {
  if (header.qvVersion.empty()) return 0;
  return 5 + (header.jreVersion.empty() ? 0 : 1) + (header.appVersion.empty() ? 0 : 2);
}

std::string TailBlock::bytes() const {
  PropertyWriter w;
  const auto all = header.values();
  const int n = std::clamp(headerValues, 0, TailHeader::VALUE_COUNT);
  for (int i = 0; i < n; ++i) w.value(all[i]);
  w.raw(entries);
  return w.bytes();
}

std::string paramsSection(const ParamsBlock& params) { return paramsMarker() + params.bytes(); }

std::string tailSection(const TailBlock& tail) { return tailMarker() + tail.bytes(); }

std::string wrapperTail(const ParamsBlock& params, const TailBlock& tail, BlockOrder order) {
  return order == BlockOrder::ParamsFirst ? paramsSection(params) + tailSection(tail)
                                          : tailSection(tail) + paramsSection(params);
}

size_t scanForMarker(std::string_view bytes, std::string_view marker) {
  if (marker.empty()) return 0;
  size_t matched = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == marker[matched]) {
      if (++matched == marker.size()) return i + 1 - marker.size();
    } else {
      matched = 0;  // the mismatching byte is not tried as a new start
    }
  }
  return std::string::npos;
}

void packLauncher(const std::string& launcher, const std::string& out, std::string_view appended) {
  const std::string image = readInputFile(launcher);
  if (image.find(paramsMarker()) != std::string::npos ||
      image.find(tailMarker()) != std::string::npos)
    throw PackError(launcher + " already holds a wrapper-tail marker");
  std::string bytes = image;
  bytes.append(appended);
  writeFileBytes(out, bytes);
  if (::chmod(out.c_str(), 0755) != 0) throw PackError("cannot make " + out + " executable");
}

// ---- Launch file and LSO file -------------------------------------------------------

namespace {

void putList(PropertyWriter& w, const std::vector<std::string>& items) {
  w.number(static_cast<long long>(items.size()));
  for (const auto& item : items) w.value(item);
}

}  // namespace

std::string LaunchFile::bytes() const {
  PropertyWriter w;
  w.number(version).value(mainClass).value(classOnUpdate).value(appName).value(osIcns);
  w.boolean(urlRequired).number(jvmMemMb).number(jvmStackMb);
  putList(w, classPath);
  putList(w, extraArgs);
  if (version > 2) w.value(compatibilityClass);
  if (version > 3) w.value(postInstallClass).value(preUninstallClass);
  if (version > 4) putList(w, appJvmOptions);
  if (version > 5) w.boolean(mustFork);
  return w.bytes();
}

std::string LsoFile::bytes() const {
  PropertyWriter w;
  w.number(count ? *count : static_cast<long long>(options.size()));
  for (const auto& option : options) w.value(option);
  return w.bytes();
}

}  // namespace hvpack
