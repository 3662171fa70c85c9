#include "src/hashes/mixedhash/mixed.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

const char MIXED_NAME[] = "mixed";
const char REGISTER_WARNING[] = "WARNING: Error registering mixed hash";

// libtomcrypt is built without its own locks; this keeps two first registrations from
// racing for the same free slot.
std::mutex registrationLock;

}  // namespace

int mixed_init(hash_state* md) {
  LTC_ARGCHK(md != NULL);
  sha256_init(md);
  keccak256_init(md);
  return CRYPT_OK;
}

int mixed_process(hash_state* md, const unsigned char* in, unsigned long inlen) {
  const int shaResult = sha256_process(md, in, inlen);
  const int keccakResult = keccak256_process(md, in, inlen);
  return shaResult != CRYPT_OK ? shaResult : keccakResult;
}

int mixed_done(hash_state* md, unsigned char* out) {
  sha256_done(md, out);
  keccak256_done(md, out + 32);
  return CRYPT_OK;
}

const struct ltc_hash_descriptor mixed_desc = {
    MIXED_NAME,
    20,
    MIXED_DIGEST_SIZE,
    64,
    {1, 3, 14, 3, 2, 52},
    6,
    &mixed_init,
    &mixed_process,
    &mixed_done,
    nullptr,
    nullptr,
};

int mixedHashInit(hash_state* md) {
  {
    std::lock_guard<std::mutex> guard(registrationLock);
    if (register_hash(&mixed_desc) == -1 || register_hash(&sha256_desc) == -1 ||
        register_hash(&keccak256_desc) == -1) {
      fputs(REGISTER_WARNING, stdout);
      fflush(stdout);
      return 0;
    }
  }
  hash_descriptor[find_hash(MIXED_NAME)].init(md);
  return 1;
}

int mixedHashProcess(hash_state* md, const unsigned char* bytes, int len) {
  const int index = find_hash(MIXED_NAME);
  if (index < 0 || len < 0 || (bytes == nullptr && len > 0)) return 0;
  // The library's argument check would abort on a null buffer even when it is empty.
  if (bytes == nullptr) return 1;
  return hash_descriptor[index].process(md, bytes, static_cast<unsigned long>(len)) == CRYPT_OK
             ? 1
             : 0;
}

unsigned char* mixedHashDone(hash_state* md) {
  const int index = find_hash(MIXED_NAME);
  if (index < 0) return nullptr;
  auto* out = static_cast<unsigned char*>(malloc(MIXED_DIGEST_SIZE));
  if (out == nullptr) return nullptr;
  if (hash_descriptor[index].done(md, out) != CRYPT_OK) {
    free(out);
    return nullptr;
  }
  return out;
}
