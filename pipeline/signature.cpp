#include "pipeline/signature.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/hashes/mixedhash/mixed.h"

std::atomic<rsa_key*> archiveSignatureKey{nullptr};
std::atomic<bool> archiveKeyRequired{false};

namespace {

const char IMPORT_FAILED[] = "ERROR - unable to import public key.\n";
const char VERIFY_FAILED[] = "ERROR - signature verification failed.\n";
const char RSA_DECODE_FAILED[] = "1) RSA Decode failed\n";
const char DOING_PSS_DECODE[] = "Doing PSS decode\n";

void say(const char* text) {
  fputs(text, stdout);
  fflush(stdout);
}

// libtomcrypt tells none of its steps apart in its result, so the messages of the
// steps are chosen beforehand by the library's own order of checks: hash, length,
// then the public-key operation, which refuses a signature above the modulus.
void announceSteps(const unsigned char* sig, unsigned long siglen, int hashIndex,
                   const rsa_key* key) {
  if (hash_is_valid(hashIndex) != CRYPT_OK) return;
  const unsigned long modulusBytes = ltc_mp.unsigned_size(key->N);
  if (siglen != modulusBytes) return;
  std::vector<unsigned char> modulus(modulusBytes);
  if (ltc_mp.unsigned_write(key->N, modulus.data()) != CRYPT_OK) return;
  // Same length and both big-endian: byte order is numeric order.
  if (std::memcmp(sig, modulus.data(), modulusBytes) > 0) {
    say(RSA_DECODE_FAILED);
  } else {
    say(DOING_PSS_DECODE);
  }
}

}  // namespace

rsa_key* importPublicKey(const unsigned char* der, int len) {
  ltc_mp = ltm_desc;
  // rsa_import's argument check would abort the process on a null buffer.
  if (der == nullptr || len <= 0) {
    say(IMPORT_FAILED);
    return nullptr;
  }
  auto* key = static_cast<rsa_key*>(calloc(1, sizeof(rsa_key)));
  if (key == nullptr) {
    say(IMPORT_FAILED);
    return nullptr;
  }
  if (rsa_import(der, static_cast<unsigned long>(len), key) != CRYPT_OK) {
    say(IMPORT_FAILED);
    free(key);
    return nullptr;
  }
  return key;
}

int verifySignature(const unsigned char* sig, int siglen, const unsigned char* digest,
                    rsa_key* key) {
  // The library's argument checks abort the process; a missing key must fail instead.
  if (key == nullptr || sig == nullptr || digest == nullptr || siglen < 0) {
    say(VERIFY_FAILED);
    return 0;
  }
  const int hashIndex = find_hash("mixed");
  const unsigned long length = static_cast<unsigned long>(siglen);
  announceSteps(sig, length, hashIndex, key);
  int status = 0;
  const int err = rsa_verify_hash_ex(sig, length, digest, MIXED_DIGEST_SIZE, LTC_PKCS_1_PSS,
                                     hashIndex, PSS_SALT_LENGTH, &status, key);
  if (err != CRYPT_OK) {
    say(VERIFY_FAILED);
    return 0;
  }
  return status == 1 ? 1 : 0;
}
