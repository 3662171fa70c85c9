#include "src/hashes/sha3/keccak.h"

#include <cstring>

namespace {

constexpr uint64_t ROUND_CONSTANTS[24] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL,
    0x8000000080008000ULL, 0x000000000000808bULL, 0x0000000080000001ULL,
    0x8000000080008081ULL, 0x8000000000008009ULL, 0x000000000000008aULL,
    0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL,
    0x8000000000008003ULL, 0x8000000000008002ULL, 0x8000000000000080ULL,
    0x000000000000800aULL, 0x800000008000000aULL, 0x8000000080008081ULL,
    0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// Rotation offset of lane x + 5y.
constexpr int RHO[25] = {
    0,  1,  62, 28, 27,  //
    36, 44, 6,  55, 20,  //
    3,  10, 43, 25, 39,  //
    41, 45, 15, 21, 8,   //
    18, 2,  61, 56, 14,
};

// Pi moves lane x + 5y to lane y + 5((2x + 3y) mod 5); this is the inverse: the lane
// that lands in each place.
constexpr int piSource(int target) {
  const int tx = target % 5;
  const int ty = target / 5;
  const int x = (3 * (ty - 3 * tx) % 5 + 15) % 5;
  return x + 5 * tx;
}

// Inside a permutation the lanes in COMPLEMENTED are kept inverted, which lets chi make
// most output lanes with one AND or OR instead of a NOT and an AND (the "lane
// complementing" form of the round). Each output lane x + 5y is b[x] ^ op(b[x+1], b[x+2])
// with the op below, chosen so that exactly the lanes in COMPLEMENTED come out inverted.
constexpr int COMPLEMENTED[6] = {1, 2, 8, 12, 17, 20};

enum Chi : uint8_t { OR, AND, NOT_FIRST_OR, OR_NOT_SECOND, NOT_FIRST_AND, NOT_OUT_OR, NOT_OUT_AND };

constexpr Chi CHI[25] = {
    OR,            NOT_FIRST_OR, AND,           OR,          AND,  //
    OR,            AND,          OR_NOT_SECOND, OR,          AND,  //
    OR,            AND,          NOT_FIRST_AND, NOT_OUT_OR,  AND,  //
    AND,           OR,           NOT_FIRST_OR,  NOT_OUT_AND, OR,   //
    NOT_FIRST_AND, NOT_OUT_OR,   AND,           OR,          AND,
};

constexpr uint64_t chi(Chi op, uint64_t b0, uint64_t b1, uint64_t b2) {
  switch (op) {
    case OR:
      return b0 ^ (b1 | b2);
    case AND:
      return b0 ^ (b1 & b2);
    case NOT_FIRST_OR:
      return b0 ^ (~b1 | b2);
    case OR_NOT_SECOND:
      return b0 ^ (b1 | ~b2);
    case NOT_FIRST_AND:
      return b0 ^ (~b1 & b2);
    case NOT_OUT_OR:
      return ~b0 ^ (b1 | b2);
    case NOT_OUT_AND:
      return ~b0 ^ (b1 & b2);
  }
  return 0;
}

// One round from `a` into `e`, one output row at a time so that only five rotated lanes
// are live at once. The loops have constant bounds and indexes: unrolled, the lanes
// live in registers, which is what keeps the sponge fast without hand-written rounds.
inline void keccakRound(const uint64_t* a, uint64_t* e, uint64_t roundConstant) {
  uint64_t c[5];
  uint64_t d[5];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
  for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
#pragma GCC unroll 5
  for (int row = 0; row < 25; row += 5) {
    uint64_t b[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
      const int source = piSource(row + x);
      b[x] = std::rotl(a[source] ^ d[source % 5], RHO[source]);
    }
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) {
      e[row + x] = chi(CHI[row + x], b[x], b[(x + 1) % 5], b[(x + 2) % 5]);
    }
  }
  e[0] ^= roundConstant;
}

inline void rounds(uint64_t* a) {
  uint64_t e[25];
  for (int r = 0; r < 24; r += 2) {
    keccakRound(a, e, ROUND_CONSTANTS[r]);
    keccakRound(e, a, ROUND_CONSTANTS[r + 1]);
  }
}

inline void permute(uint64_t* state) {
  uint64_t a[25];
  std::memcpy(a, state, sizeof a);
  for (int lane : COMPLEMENTED) a[lane] = ~a[lane];
  rounds(a);
  for (int lane : COMPLEMENTED) a[lane] = ~a[lane];
  std::memcpy(state, a, sizeof a);
}

// Whole blocks straight from the caller's buffer, the state kept in its working form
// from the first block to the last rather than stored and restored around each one.
void absorbBlocks(uint64_t* state, const unsigned char* in, unsigned long blocks) {
  uint64_t a[25];
  std::memcpy(a, state, sizeof a);
  for (int lane : COMPLEMENTED) a[lane] = ~a[lane];
  for (; blocks > 0; --blocks, in += KECCAK_RATE_BYTES) {
#pragma GCC unroll 17
    for (int i = 0; i < KECCAK_RATE_BYTES / 8; ++i) {
      uint64_t word;
      std::memcpy(&word, in + 8 * i, sizeof word);
      a[i] ^= word;
    }
    rounds(a);
  }
  for (int lane : COMPLEMENTED) a[lane] = ~a[lane];
  std::memcpy(state, a, sizeof a);
}

inline unsigned char* stateBytes(keccak_state* s) {
  return reinterpret_cast<unsigned char*>(s->lanes);
}

// Absorbing, with a counter that addresses a byte of the block. A finalised state is
// refused, and so is one never initialised (say a hash_state whose start failed),
// whose counter would point anywhere.
inline bool absorbing(const keccak_state* s) {
  return s->bits >= 0 && s->bits < KECCAK_RATE_BYTES * 8 && s->bits % 8 == 0;
}

}  // namespace

int keccak_init(keccak_state* s) {
  std::memset(s->lanes, 0, sizeof s->lanes);
  s->bits = 0;
  return 0;
}

void keccak_absorb_permute(keccak_state* s, const unsigned char* words, int n) {
  // Never past the last lane, whatever the caller asks.
  if (n > KECCAK_LANES) n = KECCAK_LANES;
  for (int i = 0; i < n; ++i) {
    uint64_t word;
    std::memcpy(&word, words + 8 * i, sizeof word);
    s->lanes[i] ^= word;
  }
  permute(s->lanes);
}

int keccak_update(keccak_state* s, const unsigned char* in, unsigned long bits) {
  if (!absorbing(s)) return 1;
  unsigned long n = bits / 8;
  unsigned char* bytes = stateBytes(s);
  // Top up a block left partial by an earlier call.
  while (n > 0 && s->bits != 0) {
    bytes[s->bits / 8] ^= *in++;
    --n;
    s->bits += 8;
    if (s->bits == KECCAK_RATE_BYTES * 8) {
      keccak_absorb_permute(s, nullptr, 0);
      s->bits = 0;
    }
  }
  const unsigned long blocks = n / KECCAK_RATE_BYTES;
  absorbBlocks(s->lanes, in, blocks);
  in += blocks * KECCAK_RATE_BYTES;
  n -= blocks * KECCAK_RATE_BYTES;
  while (n > 0) {
    bytes[s->bits / 8] ^= *in++;
    --n;
    s->bits += 8;
  }
  return 0;
}

int keccak_final(keccak_state* s, unsigned char* out, unsigned int outlen) {
  if (!absorbing(s)) return 1;
  unsigned char* bytes = stateBytes(s);
  bytes[s->bits / 8] ^= 0x01;
  bytes[KECCAK_RATE_BYTES - 1] ^= 0x80;
  keccak_absorb_permute(s, nullptr, 0);
  for (;;) {
    const unsigned int chunk =
        outlen < static_cast<unsigned int>(KECCAK_RATE_BYTES) ? outlen : KECCAK_RATE_BYTES;
    if (chunk > 0) std::memcpy(out, bytes, chunk);
    out += chunk;
    outlen -= chunk;
    if (outlen == 0) break;
    keccak_absorb_permute(s, nullptr, 0);
  }
  s->bits = -1;
  return 0;
}

int keccak256_init(hash_state* md) {
  LTC_ARGCHK(md != NULL);
  return keccak_init(keccakStateOf(md)) == 0 ? CRYPT_OK : -1;
}

int keccak256_process(hash_state* md, const unsigned char* in, unsigned long inlen) {
  LTC_ARGCHK(md != NULL);
  LTC_ARGCHK(in != NULL || inlen == 0);
  return keccak_update(keccakStateOf(md), in, inlen * 8) == 0 ? CRYPT_OK : -1;
}

int keccak256_done(hash_state* md, unsigned char* out) {
  LTC_ARGCHK(md != NULL);
  LTC_ARGCHK(out != NULL);
  return keccak_final(keccakStateOf(md), out, KECCAK256_DIGEST_SIZE) == 0 ? CRYPT_OK : -1;
}

const struct ltc_hash_descriptor keccak256_desc = {
    "sha3_256",
    21,
    KECCAK256_DIGEST_SIZE,
    64,
    {1, 3, 14, 3, 2, 53},
    6,
    &keccak256_init,
    &keccak256_process,
    &keccak256_done,
    nullptr,
    nullptr,
};
