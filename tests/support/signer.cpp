#include "tests/support/signer.h"

#include <tomcrypt.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "src/hashes/mixedhash/mixed.h"

namespace {

constexpr int SALT_LENGTH = 64;

std::mutex signerLock;
// Private keys by name, imported once and kept for the process (never destroyed, so
// they stay reachable until exit).
auto& privateKeys = *new std::map<std::string, rsa_key*>;

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string keyName(int bits) { return "rsa" + std::to_string(bits); }

// A name with a slash is a pair outside tests/data (the demo's key): its path prefix.
std::string keyFile(const std::string& name, const char* kind) {
  const std::string file = name + "_" + kind + ".hex";
  return name.find('/') != std::string::npos ? file : Signer_dataPath(file.c_str());
}

// Registers the mixed hash and the system PRNG the library's PSS encoding draws its salt
// from (and the private-key blinding its random factor).
void prepareLibrary() {
  ltc_mp = ltm_desc;
  hash_state scratch;
  mixedHashInit(&scratch);
  register_prng(&sprng_desc);
}

rsa_key* privateKeyLocked(const std::string& name) {
  auto it = privateKeys.find(name);
  if (it != privateKeys.end()) return it->second;
  prepareLibrary();
  const SignerBytes der = Signer_fromHex(readText(keyFile(name, "private")));
  rsa_key* key = nullptr;
  if (!der.empty()) {
    key = new rsa_key{};
    if (rsa_import(der.data(), der.size(), key) != CRYPT_OK || key->type != PK_PRIVATE) {
      delete key;
      key = nullptr;
    }
  }
  privateKeys[name] = key;
  return key;
}

}  // namespace

std::string Signer_dataPath(const char* fileName) {
  return std::string(HV_TEST_DATA_DIR) + "/" + fileName;
}

SignerBytes Signer_dataHexFile(const char* fileName) {
  return Signer_fromHex(readText(Signer_dataPath(fileName)));
}

std::string Signer_toHex(const SignerBytes& bytes) {
  static const char DIGITS[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    text.push_back(DIGITS[b >> 4]);
    text.push_back(DIGITS[b & 15]);
  }
  return text;
}

SignerBytes Signer_fromHex(const std::string& text) {
  SignerBytes bytes;
  int high = -1;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    const int value = std::isdigit(static_cast<unsigned char>(c))
                          ? c - '0'
                          : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    if (high < 0) {
      high = value;
    } else {
      bytes.push_back(static_cast<unsigned char>(high << 4 | value));
      high = -1;
    }
  }
  if (high >= 0) return {};
  return bytes;
}

std::string Signer_publicKeyHex(int bits) { return Signer_publicKeyHexOf(keyName(bits).c_str()); }

std::string Signer_publicKeyHexOf(const char* name) {
  std::string text = readText(keyFile(name, "public"));
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

SignerBytes Signer_publicKeyDer(int bits) { return Signer_fromHex(Signer_publicKeyHex(bits)); }

SignerBytes Signer_modulus(int bits) {
  std::lock_guard<std::mutex> guard(signerLock);
  rsa_key* key = privateKeyLocked(keyName(bits));
  if (key == nullptr) return {};
  SignerBytes modulus(ltc_mp.unsigned_size(key->N));
  if (ltc_mp.unsigned_write(key->N, modulus.data()) != CRYPT_OK) return {};
  return modulus;
}

SignerBytes Signer_mixedDigest(const void* data, size_t len) {
  std::lock_guard<std::mutex> guard(signerLock);
  hash_state md;
  if (mixedHashInit(&md) != 1) return {};
  const auto* bytes = static_cast<const unsigned char*>(data);
  // mixedHashProcess takes an int length: feed big buffers in slices.
  constexpr size_t SLICE = 1 << 30;
  while (len > 0) {
    const size_t n = len < SLICE ? len : SLICE;
    if (mixedHashProcess(&md, bytes, static_cast<int>(n)) != 1) return {};
    bytes += n;
    len -= n;
  }
  unsigned char* out = mixedHashDone(&md);
  if (out == nullptr) return {};
  SignerBytes digest(out, out + MIXED_DIGEST_SIZE);
  free(out);
  return digest;
}

SignerBytes Signer_sign(int bits, const unsigned char* digest) {
  return Signer_signWithKey(keyName(bits).c_str(), digest);
}

SignerBytes Signer_signWithKey(const char* name, const unsigned char* digest) {
  std::lock_guard<std::mutex> guard(signerLock);
  rsa_key* key = privateKeyLocked(name);
  if (key == nullptr || digest == nullptr) return {};
  SignerBytes sig(ltc_mp.unsigned_size(key->N) + 1);
  unsigned long siglen = sig.size();
  prng_state prng{};
  const int err = rsa_sign_hash_ex(digest, MIXED_DIGEST_SIZE, sig.data(), &siglen,
                                   LTC_PKCS_1_PSS, &prng, find_prng("sprng"),
                                   find_hash("mixed"), SALT_LENGTH, key);
  if (err != CRYPT_OK) return {};
  sig.resize(siglen);
  return sig;
}

SignerBytes Signer_signData(int bits, const void* data, size_t len) {
  const SignerBytes digest = Signer_mixedDigest(data, len);
  if (digest.empty()) return {};
  return Signer_sign(bits, digest.data());
}

SignerBytes Signer_rawPrivate(int bits, const SignerBytes& encoded) {
  std::lock_guard<std::mutex> guard(signerLock);
  rsa_key* key = privateKeyLocked(keyName(bits));
  if (key == nullptr || encoded.empty()) return {};
  SignerBytes out(ltc_mp.unsigned_size(key->N));
  unsigned long outlen = out.size();
  if (rsa_exptmod(encoded.data(), encoded.size(), out.data(), &outlen, PK_PRIVATE, key) !=
      CRYPT_OK) {
    return {};
  }
  out.resize(outlen);
  return out;
}
