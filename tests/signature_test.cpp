#include "pipeline/signature.h"

#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "src/hashes/mixedhash/mixed.h"
#include "tests/support/signer.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::string DECODE_FAILED = "1) RSA Decode failed\n";
const std::string PSS_DECODE = "Doing PSS decode\n";
const std::string VERIFY_FAILED = "ERROR - signature verification failed.\n";
const std::string IMPORT_FAILED = "ERROR - unable to import public key.\n";

struct Verdict {
  int result;
  std::string out;
};

Verdict verify(const Bytes& sig, const unsigned char* digest, rsa_key* key) {
  testing::internal::CaptureStdout();
  const int result = verifySignature(sig.empty() ? nullptr : sig.data(),
                                     static_cast<int>(sig.size()), digest, key);
  return {result, testing::internal::GetCapturedStdout()};
}

// Keys the tests import; the launcher keeps its key for good, the tests free theirs.
std::vector<rsa_key*> importedKeys;

rsa_key* importQuietly(const Bytes& der) {
  testing::internal::CaptureStdout();
  rsa_key* key = importPublicKey(der.data(), static_cast<int>(der.size()));
  const std::string out = testing::internal::GetCapturedStdout();
  if (key != nullptr) importedKeys.push_back(key);
  EXPECT_NE(nullptr, key);
  EXPECT_EQ("", out);
  return key;
}

Bytes digestOf(const std::string& text) { return Signer_mixedDigest(text.data(), text.size()); }

// The encoded message a signature carries, through the public-key operation.
Bytes encodedMessage(const Bytes& sig, rsa_key* key) {
  Bytes em(sig.size());
  unsigned long len = em.size();
  EXPECT_EQ(CRYPT_OK, rsa_exptmod(sig.data(), sig.size(), em.data(), &len, PK_PUBLIC, key));
  em.resize(len);
  return em;
}

class SignatureTest : public testing::Test {
 public:
  static void SetUpTestSuite() {
    // Registers "mixed", which the verification finds by name.
    digest = digestOf("archive bytes");
    otherDigest = digestOf("another archive");
  }
  static void TearDownTestSuite() {
    for (rsa_key* key : importedKeys) {
      rsa_free(key);
      free(key);
    }
    importedKeys.clear();
  }
  static Bytes digest;
  static Bytes otherDigest;
};
Bytes SignatureTest::digest;
Bytes SignatureTest::otherDigest;

struct SignatureCase {
  const char* name;
  // Makes the signature to check from a valid one of `digest` by the same key.
  std::function<Bytes(const Bytes& good, int bits, rsa_key* key)> make;
  int expected;
  // Exact standard output, or nullptr to check only that it starts with `outStart`.
  const char* out;
  const char* outStart;
};

// Rebuilds a signature around an altered encoded message; the message layout is
// maskedDB (padding, 0x01, 64-byte salt, all masked) | 64-byte hash | 0xBC.
Bytes alteredEncoding(const Bytes& good, int bits, rsa_key* key,
                      const std::function<void(Bytes&)>& alter) {
  Bytes em = encodedMessage(good, key);
  alter(em);
  return Signer_rawPrivate(bits, em);
}

size_t paddingLength(const Bytes& em) { return em.size() - 2 * MIXED_DIGEST_SIZE - 2; }

const std::string VERIFY_FAILED_AFTER_DECODE = PSS_DECODE + VERIFY_FAILED;
const std::string DECODE_REFUSED = DECODE_FAILED + VERIFY_FAILED;

const SignatureCase SIGNATURE_CASES[] = {
    {"valid", [](const Bytes& good, int, rsa_key*) { return good; }, 1, PSS_DECODE.c_str(),
     nullptr},
    {"one byte short",
     [](const Bytes& good, int, rsa_key*) { return Bytes(good.begin(), good.end() - 1); }, 0,
     VERIFY_FAILED.c_str(), nullptr},
    {"one byte long",
     [](const Bytes& good, int, rsa_key*) {
       Bytes sig = good;
       sig.push_back(0);
       return sig;
     },
     0, VERIFY_FAILED.c_str(), nullptr},
    {"signature of another digest",
     [](const Bytes&, int bits, rsa_key*) {
       return Signer_sign(bits, SignatureTest::otherDigest.data());
     },
     0, PSS_DECODE.c_str(), nullptr},
    {"flipped bit",
     [](const Bytes& good, int, rsa_key*) {
       Bytes sig = good;
       sig.back() ^= 0x01;
       return sig;
     },
     0, nullptr, PSS_DECODE.c_str()},
    {"above the modulus", [](const Bytes& good, int, rsa_key*) { return Bytes(good.size(), 0xFF); },
     0, DECODE_REFUSED.c_str(), nullptr},
    {"equal to the modulus", [](const Bytes&, int bits, rsa_key*) { return Signer_modulus(bits); },
     0, VERIFY_FAILED_AFTER_DECODE.c_str(), nullptr},
    {"wrong trailer",
     [](const Bytes& good, int bits, rsa_key* key) {
       return alteredEncoding(good, bits, key, [](Bytes& em) { em.back() = 0xBD; });
     },
     0, VERIFY_FAILED_AFTER_DECODE.c_str(), nullptr},
    {"non-zero padding",
     [](const Bytes& good, int bits, rsa_key* key) {
       return alteredEncoding(good, bits, key, [](Bytes& em) { em[1] ^= 0x01; });
     },
     0, VERIFY_FAILED_AFTER_DECODE.c_str(), nullptr},
    {"missing 0x01 separator",
     [](const Bytes& good, int bits, rsa_key* key) {
       return alteredEncoding(good, bits, key,
                              [](Bytes& em) { em[paddingLength(em)] ^= 0x01; });
     },
     0, VERIFY_FAILED_AFTER_DECODE.c_str(), nullptr},
    // Well formed, but the hash recomputed over the changed salt differs.
    {"changed salt",
     [](const Bytes& good, int bits, rsa_key* key) {
       return alteredEncoding(good, bits, key,
                              [](Bytes& em) { em[paddingLength(em) + 1] ^= 0x01; });
     },
     0, PSS_DECODE.c_str(), nullptr},
};

TEST_F(SignatureTest, ChecksInOrderWithTheirMessages) {
  for (int bits : {2048, 4096}) {
    rsa_key* key = importQuietly(Signer_publicKeyDer(bits));
    ASSERT_NE(nullptr, key);
    const Bytes good = Signer_sign(bits, digest.data());
    ASSERT_EQ(static_cast<size_t>(bits / 8), good.size());
    for (const auto& c : SIGNATURE_CASES) {
      const Bytes sig = c.make(good, bits, key);
      ASSERT_FALSE(sig.empty()) << c.name;
      const Verdict v = verify(sig, digest.data(), key);
      EXPECT_EQ(c.expected, v.result) << bits << " " << c.name;
      if (c.out != nullptr) {
        EXPECT_EQ(c.out, v.out) << bits << " " << c.name;
      } else {
        EXPECT_EQ(0u, v.out.rfind(c.outStart, 0)) << bits << " " << c.name << ": " << v.out;
      }
    }
  }
}

TEST_F(SignatureTest, WrongKeyRejects) {
  const Bytes good = Signer_sign(2048, digest.data());
  const char* files[] = {"rsa2048_other_public.hex", "rsa4096_public.hex"};
  for (const char* file : files) {
    rsa_key* key = importQuietly(Signer_dataHexFile(file));
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(0, verify(good, digest.data(), key).result) << file;
  }
}

// 64 + 64 + 2 bytes do not fit a 128-byte modulus: nothing can verify, whatever it is.
TEST_F(SignatureTest, ModulusShorterThan130BytesVerifiesNothing) {
  rsa_key* key = importQuietly(Signer_publicKeyDer(1024));
  ASSERT_NE(nullptr, key);
  const Bytes modulus = Signer_modulus(1024);
  ASSERT_EQ(128u, modulus.size());
  EXPECT_TRUE(Signer_sign(1024, digest.data()).empty());

  Bytes trailerOnly(modulus.size(), 0);
  trailerOnly.back() = 0xBC;
  Bytes one(modulus.size(), 0);
  one.back() = 1;
  const Bytes signatures[] = {Signer_rawPrivate(1024, trailerOnly), one, modulus,
                              Bytes(modulus.size(), 0xFF),
                              Bytes(Signer_sign(2048, digest.data()))};
  for (const Bytes& sig : signatures) {
    ASSERT_FALSE(sig.empty());
    const Verdict v = verify(sig, digest.data(), key);
    EXPECT_EQ(0, v.result);
    EXPECT_NE(std::string::npos, v.out.find(VERIFY_FAILED)) << v.out;
  }
}

// A signed archive met with no key (none in the tail, or its import failed) must fail
// like any bad signature, not stop the process in the library's argument checks.
TEST_F(SignatureTest, MissingInputsFailWithoutReachingTheLibrary) {
  rsa_key* key = importQuietly(Signer_publicKeyDer(2048));
  const Bytes good = Signer_sign(2048, digest.data());
  struct Case {
    const char* name;
    const Bytes* sig;
    const unsigned char* digest;
    rsa_key* key;
  };
  const Bytes none;
  const Case cases[] = {
      {"no key", &good, digest.data(), nullptr},
      {"no digest", &good, nullptr, key},
      {"no signature", &none, digest.data(), key},
  };
  for (const auto& c : cases) {
    const Verdict v = verify(*c.sig, c.digest, c.key);
    EXPECT_EQ(0, v.result) << c.name;
    EXPECT_EQ(VERIFY_FAILED, v.out) << c.name;
  }
}

TEST_F(SignatureTest, SameKeyBytesImportTwiceAsSeparateKeys) {
  const Bytes der = Signer_publicKeyDer(2048);
  rsa_key* first = importQuietly(der);
  rsa_key* second = importQuietly(der);
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, second);
  EXPECT_NE(first, second);
  EXPECT_NE(first->N, second->N);
  const Bytes good = Signer_sign(2048, digest.data());
  EXPECT_EQ(1, verify(good, digest.data(), first).result);
  EXPECT_EQ(1, verify(good, digest.data(), second).result);
}

TEST_F(SignatureTest, PkcsOnePublicKeyFormImportsToo) {
  rsa_key* key = importQuietly(Signer_dataHexFile("rsa2048_pkcs1_public.hex"));
  ASSERT_NE(nullptr, key);
  EXPECT_EQ(1, verify(Signer_sign(2048, digest.data()), digest.data(), key).result);
}

TEST_F(SignatureTest, BytesThatAreNoKeyDoNotImport) {
  const Bytes der = Signer_publicKeyDer(2048);
  ASSERT_GT(der.size(), 100u);
  // The last byte of the rsaEncryption OID 1.2.840.113549.1.1.1.
  ASSERT_EQ(0x01, der[16]);
  Bytes otherAlgorithm = der;
  otherAlgorithm[16] = 0x05;
  struct Case {
    const char* name;
    Bytes bytes;
    bool null;
  };
  const Case cases[] = {
      {"text", {'n', 'o', ' ', 'k', 'e', 'y'}, false},
      {"truncated", Bytes(der.begin(), der.begin() + 100), false},
      {"not an rsaEncryption key", otherAlgorithm, false},
      {"empty", {}, false},
      {"null", {}, true},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    rsa_key* key = importPublicKey(c.null ? nullptr : c.bytes.data(),
                                   static_cast<int>(c.bytes.size()));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, key) << c.name;
    EXPECT_EQ(IMPORT_FAILED, out) << c.name;
  }
}

}  // namespace
