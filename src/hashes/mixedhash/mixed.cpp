#include "src/hashes/mixedhash/mixed.h"

#include <cpuid.h>
#include <immintrin.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

const char MIXED_NAME[] = "mixed";
const char REGISTER_WARNING[] = "WARNING: Error registering mixed hash";

// libtomcrypt is built without its own locks; this keeps two first registrations from
// racing for the same free slot.
std::mutex registrationLock;

constexpr unsigned long SHA256_BLOCK = 64;

alignas(16) constexpr uint32_t SHA256_K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// SHA-256 of whole blocks with the processor's SHA instructions, on the library's state
// words (a..h in host order), several times as fast as the library's portable rounds,
// which made SHA-256 the slower half of every archive's digest.
__attribute__((target("sha,sse4.1"))) void sha256BlocksNative(uint32_t* state,
                                                              const unsigned char* in,
                                                              unsigned long blocks) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  // The instructions keep the words as ABEF and CDGH.
  const auto* words = reinterpret_cast<const __m128i*>(state);
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(words), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(words + 1), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
  for (; blocks > 0; --blocks, in += SHA256_BLOCK) {
    const __m128i abefStart = abef;
    const __m128i cdghStart = cdgh;
    __m128i w[16];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        const auto* chunk = reinterpret_cast<const __m128i*>(in + 16 * g);
        w[g] = _mm_shuffle_epi8(_mm_loadu_si128(chunk), byteSwap);
      } else {
        // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four words at a time.
        const __m128i w7 = _mm_alignr_epi8(w[g - 1], w[g - 2], 4);
        const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w[g - 4], w[g - 3]), w7);
        w[g] = _mm_sha256msg2_epu32(partial, w[g - 1]);
      }
      const auto* k = reinterpret_cast<const __m128i*>(SHA256_K + 4 * g);
      __m128i message = _mm_add_epi32(w[g], _mm_load_si128(k));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abefStart);
    cdgh = _mm_add_epi32(cdgh, cdghStart);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Asked of cpuid itself: every compiler the project builds with knows these bits, not
// every one knows the feature names. SSSE3 and SSE4.1 carry the shuffles and blends.
bool processorHasSha256() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  if ((c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0) return false;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return (b & bit_SHA) != 0;
}

const bool nativeSha256 = processorHasSha256();
std::atomic<bool> portableForced{false};

bool useNativeSha256() { return nativeSha256 && !portableForced.load(std::memory_order_relaxed); }

// The library's sha256_process, with the whole blocks in the middle of the input done
// natively where the processor can. The library keeps the bookkeeping it checks (a
// partial block, the length) for the head and the tail, so every state and every
// result stays what the library alone would give.
int sha256Process(hash_state* md, const unsigned char* in, unsigned long inlen) {
  sha256_state& sha = md->sha256;
  // Short inputs, and those the library refuses or rejects, are the library's alone.
  if (!useNativeSha256() || in == nullptr || inlen < SHA256_BLOCK || sha.curlen > sizeof sha.buf ||
      sha.length + inlen < sha.length) {
    return sha256_process(md, in, inlen);
  }
  if (sha.curlen != 0) {
    const unsigned long head = SHA256_BLOCK - sha.curlen;
    const int err = sha256_process(md, in, head);
    if (err != CRYPT_OK) return err;
    in += head;
    inlen -= head;
  }
  const unsigned long blocks = inlen / SHA256_BLOCK;
  if (blocks > 0) {
    static_assert(sizeof sha.state[0] == sizeof(uint32_t));
    sha256BlocksNative(reinterpret_cast<uint32_t*>(sha.state), in, blocks);
    sha.length += static_cast<ulong64>(blocks) * SHA256_BLOCK * 8;
    in += blocks * SHA256_BLOCK;
    inlen -= blocks * SHA256_BLOCK;
  }
  return sha256_process(md, in, inlen);
}

}  // namespace

int mixed_init(hash_state* md) {
  LTC_ARGCHK(md != NULL);
  sha256_init(md);
  keccak256_init(md);
  return CRYPT_OK;
}

int mixed_process(hash_state* md, const unsigned char* in, unsigned long inlen) {
  const int shaResult = sha256Process(md, in, inlen);
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

const char* mixedHashSha256Path() { return useNativeSha256() ? "SHA instructions" : "portable"; }

void mixedHashForcePortableSha256(bool force) { portableForced.store(force); }
