// Keccak-256 in its pre-standard form (pad bytes 0x01 ... 0x80, rate 136 bytes), as a
// sponge of its own and as the libtomcrypt hash descriptor "sha3_256". Any input split
// gives the digest of the whole; whole blocks are absorbed straight from the caller's
// buffer. A state belongs to one thread; once finalised it refuses update and final
// (result 1) until keccak_init. Not FIPS 202 SHA3-256, whose pad byte is 0x06.
#pragma once

#include <tomcrypt.h>

#include <bit>
#include <cstddef>
#include <cstdint>

constexpr int KECCAK_RATE_BYTES = 136;
constexpr int KECCAK_LANES = 25;
constexpr int KECCAK256_DIGEST_SIZE = 32;

struct keccak_state {
  // Lane x + 5y; byte j of the state is byte j % 8 of lane j / 8 (little-endian lanes).
  uint64_t lanes[KECCAK_LANES];
  // Bits absorbed into the current block: 0..1080 in steps of 8, -1 once finalised.
  int32_t bits;
};
static_assert(std::endian::native == std::endian::little,
              "state bytes are addressed through little-endian lanes");

// 0 always.
int keccak_init(keccak_state* s);
// Absorbs bits / 8 bytes. 1 without any effect when finalised (or when the counter is
// out of its range, as in a state never initialised), else 0.
int keccak_update(keccak_state* s, const unsigned char* in, unsigned long bits);
// Pads, squeezes outlen bytes and finalises. 1 without any effect when finalised (or
// the counter is out of range), else 0.
int keccak_final(keccak_state* s, unsigned char* out, unsigned int outlen);
// XORs n little-endian 64-bit words (unaligned is fine) into lanes 0..n-1, then applies
// Keccak-f[1600]; n <= 0 only permutes, n above 25 is taken as 25.
void keccak_absorb_permute(keccak_state* s, const unsigned char* words, int n);

// The sponge's place inside a libtomcrypt hash_state: right after the library's own
// SHA-256 state, so that one hash_state carries both halves of the mixed digest.
constexpr size_t KECCAK_STATE_OFFSET =
    (sizeof(struct sha256_state) + alignof(keccak_state) - 1) / alignof(keccak_state) *
    alignof(keccak_state);
static_assert(KECCAK_STATE_OFFSET >= sizeof(struct sha256_state));
static_assert(KECCAK_STATE_OFFSET + sizeof(keccak_state) <= sizeof(hash_state),
              "libtomcrypt's hash_state cannot hold a SHA-256 state and a Keccak state");
static_assert(alignof(hash_state) >= alignof(keccak_state));

inline keccak_state* keccakStateOf(hash_state* md) {
  return reinterpret_cast<keccak_state*>(reinterpret_cast<unsigned char*>(md) +
                                         KECCAK_STATE_OFFSET);
}

// Descriptor functions (libtomcrypt conventions: 0 is CRYPT_OK, -1 a refusal). A null
// md fails the library's argument check, which aborts the process.
int keccak256_init(hash_state* md);
int keccak256_process(hash_state* md, const unsigned char* in, unsigned long inlen);
// Writes 32 bytes.
int keccak256_done(hash_state* md, unsigned char* out);

// "sha3_256", ID 21, hash size 32, block size 64.
extern const struct ltc_hash_descriptor keccak256_desc;
