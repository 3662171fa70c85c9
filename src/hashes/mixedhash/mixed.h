// The 64-byte mixed digest of archive signatures: SHA-256 of the input (bytes 0-31)
// followed by pre-standard Keccak-256 of the same input (bytes 32-63), computed side
// by side in one libtomcrypt hash_state and registered with the library as "mixed", so
// its PSS and MGF1 code hash with it too. Registration is process-wide and guarded by
// a lock; a hash_state belongs to one thread. Whole SHA-256 blocks use the processor's
// SHA instructions where it has them; the digest and the state are the same either way.
#pragma once

#include <tomcrypt.h>

#include <cstddef>

#include "src/hashes/sha3/keccak.h"

constexpr int MIXED_DIGEST_SIZE = 64;

// The layout the two halves share inside one hash_state: libtomcrypt's sha256_* work on
// the union's sha256 member at offset 0, the Keccak half sits right after it.
struct mixed_state {
  struct sha256_state sha256;
  keccak_state keccak;
};
static_assert(offsetof(hash_state, sha256) == 0);
static_assert(offsetof(mixed_state, keccak) == KECCAK_STATE_OFFSET);
static_assert(sizeof(mixed_state) <= sizeof(hash_state),
              "libtomcrypt's hash_state is too small for the mixed digest");

// Descriptor functions (libtomcrypt conventions, 0 is CRYPT_OK). init and done return 0
// whatever the halves report; process returns the SHA-256 error first, else Keccak's.
int mixed_init(hash_state* md);
int mixed_process(hash_state* md, const unsigned char* in, unsigned long inlen);
// Writes MIXED_DIGEST_SIZE bytes.
int mixed_done(hash_state* md, unsigned char* out);

// "mixed", ID 20, hash size 64, block size 64.
extern const struct ltc_hash_descriptor mixed_desc;

// Registers "mixed", "sha256" and "sha3_256" (again at every call; the table gains
// nothing after the first) and starts md. 1, or 0 after printing
// "WARNING: Error registering mixed hash" when the library's table is full.
int mixedHashInit(hash_state* md);
// Feeds len bytes. 1 on success; 0 when "mixed" is not registered, len is negative,
// bytes is NULL with len > 0, or a half refuses (a finished state).
int mixedHashProcess(hash_state* md, const unsigned char* bytes, int len);
// A new MIXED_DIGEST_SIZE-byte buffer the caller owns (malloc), or NULL.
unsigned char* mixedHashDone(hash_state* md);

// What does the whole SHA-256 blocks from now on: "SHA instructions" or "portable".
const char* mixedHashSha256Path();
// true: the portable rounds from now on, even where the processor has the SHA
// instructions (so tests check both against the same vectors); false: the processor's
// choice again. Any thread, at any time: a state fed by both paths is the same state.
void mixedHashForcePortableSha256(bool force);
