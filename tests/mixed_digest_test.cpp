#include <gtest/gtest.h>
#include <tomcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "src/hashes/mixedhash/mixed.h"
#include "src/hashes/sha3/keccak.h"
#include "tests/support/signer.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A message whose bytes differ from block to block, so a misplaced block shows.
Bytes patterned(size_t len) {
  Bytes m(len);
  for (size_t i = 0; i < len; ++i) m[i] = static_cast<unsigned char>(i * 131 + i / 136 + 7);
  return m;
}

Bytes keccakOneCall(const Bytes& m, unsigned int outlen = KECCAK256_DIGEST_SIZE) {
  keccak_state s;
  keccak_init(&s);
  EXPECT_EQ(0, keccak_update(&s, m.data(), m.size() * 8));
  Bytes out(outlen);
  EXPECT_EQ(0, keccak_final(&s, out.data(), outlen));
  return out;
}

// Pre-standard Keccak through libtomcrypt's own FIPS sponge: the message is fed with the
// pre-standard padding already appended, so the library only absorbs and permutes and
// its lanes then hold the squeezed output. An independent check of every block boundary.
Bytes referenceKeccak(const Bytes& m, size_t outlen = KECCAK256_DIGEST_SIZE) {
  Bytes padded = m;
  const size_t fill = KECCAK_RATE_BYTES - m.size() % KECCAK_RATE_BYTES;
  padded.resize(m.size() + fill, 0);
  padded[m.size()] ^= 0x01;
  padded.back() ^= 0x80;
  hash_state md;
  sha3_256_init(&md);
  EXPECT_EQ(CRYPT_OK, sha3_process(&md, padded.data(), padded.size()));
  Bytes out;
  const Bytes zeros(KECCAK_RATE_BYTES, 0);
  while (out.size() < outlen) {
    const auto* lanes = reinterpret_cast<const unsigned char*>(md.sha3.s);
    const size_t chunk = std::min<size_t>(outlen - out.size(), KECCAK_RATE_BYTES);
    out.insert(out.end(), lanes, lanes + chunk);
    // Absorbing a zero block is one more permutation: the next squeeze.
    EXPECT_EQ(CRYPT_OK, sha3_process(&md, zeros.data(), zeros.size()));
  }
  return out;
}

struct VectorCase {
  const char* name;
  const char* input;
  const char* keccak;
  const char* sha256;
};

const VectorCase VECTORS[] = {
    {"empty", "", "c5d2460186f7233c927e7db2dcc703c0e500b653ca82273b7bfad8045d85a470",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "4e03657aea45a94fc7d47ba826c8d667c0d1e6e33a64a036ec44f58fa12d6c45",
     "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
};

TEST(Keccak256, PublishedVectorsThroughSpongeAndDescriptor) {
  for (const auto& c : VECTORS) {
    const Bytes m = bytesOf(c.input);
    EXPECT_EQ(c.keccak, Signer_toHex(keccakOneCall(m))) << c.name;

    hash_state md;
    ASSERT_EQ(CRYPT_OK, keccak256_desc.init(&md));
    ASSERT_EQ(CRYPT_OK, keccak256_desc.process(&md, m.data(), m.size()));
    Bytes out(KECCAK256_DIGEST_SIZE);
    ASSERT_EQ(CRYPT_OK, keccak256_desc.done(&md, out.data()));
    EXPECT_EQ(c.keccak, Signer_toHex(out)) << c.name;
  }
}

TEST(Keccak256, PaddingIsNotTheFipsOne) {
  const Bytes abc = bytesOf("abc");
  const std::string fips = "3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532";
  // The FIPS value is what the library's SHA3-256 gives, so the constant is right ...
  hash_state md;
  sha3_256_init(&md);
  sha3_process(&md, abc.data(), abc.size());
  Bytes libraryFips(32);
  sha3_done(&md, libraryFips.data());
  ASSERT_EQ(fips, Signer_toHex(libraryFips));
  // ... and the sponge here must not produce it.
  EXPECT_NE(fips, Signer_toHex(keccakOneCall(abc)));
}

TEST(Keccak256, BlockBoundariesMatchReference) {
  // 135: one free byte takes both pad marks (0x81); 136: an exact block; 137: one over.
  const size_t lengths[] = {0, 1, 8, 135, 136, 137, 271, 272, 273, 1000, 4099};
  for (size_t len : lengths) {
    const Bytes m = patterned(len);
    EXPECT_EQ(Signer_toHex(referenceKeccak(m)), Signer_toHex(keccakOneCall(m))) << len;
  }
}

TEST(Keccak256, SqueezesBeyondOneBlock) {
  const Bytes m = patterned(137);
  const unsigned int sizes[] = {0, 1, 136, 137, 300};
  for (unsigned int outlen : sizes) {
    EXPECT_EQ(Signer_toHex(referenceKeccak(m, outlen)), Signer_toHex(keccakOneCall(m, outlen)))
        << outlen;
  }
}

TEST(Keccak256, PiecewiseFeedingGivesOneCallDigest) {
  const size_t lengths[] = {135, 136, 137, 1000};
  const size_t pieces[] = {1, 7, 135, 136, 137};
  for (size_t len : lengths) {
    // One byte of lead-in so the whole blocks are read from an unaligned address.
    Bytes storage = patterned(len + 1);
    const unsigned char* m = storage.data() + 1;
    const Bytes whole = keccakOneCall(Bytes(m, m + len));
    for (size_t piece : pieces) {
      keccak_state s;
      keccak_init(&s);
      for (size_t at = 0; at < len; at += piece) {
        ASSERT_EQ(0, keccak_update(&s, m + at, std::min(piece, len - at) * 8));
      }
      Bytes out(KECCAK256_DIGEST_SIZE);
      ASSERT_EQ(0, keccak_final(&s, out.data(), out.size()));
      EXPECT_EQ(Signer_toHex(whole), Signer_toHex(out)) << len << " in pieces of " << piece;
    }
  }
}

TEST(Keccak256, FinalisedStateRefusesUpdateAndFinal) {
  const Bytes m = patterned(50);
  keccak_state finalised;
  keccak_init(&finalised);
  keccak_update(&finalised, m.data(), m.size() * 8);
  Bytes out(32);
  ASSERT_EQ(0, keccak_final(&finalised, out.data(), out.size()));
  EXPECT_EQ(-1, finalised.bits);

  // A counter out of range (a state never initialised) is refused the same way rather
  // than addressing a byte outside the block.
  struct Case {
    const char* name;
    int32_t bits;
  };
  const Case cases[] = {{"finalised", -1}, {"negative", -4096}, {"a full block", 1088},
                        {"far out", 1 << 20}, {"not whole bytes", 12}};
  for (const auto& c : cases) {
    keccak_state s = finalised;
    s.bits = c.bits;
    const keccak_state before = s;
    EXPECT_EQ(1, keccak_update(&s, m.data(), m.size() * 8)) << c.name;
    Bytes untouched(32, 0xAA);
    EXPECT_EQ(1, keccak_final(&s, untouched.data(), untouched.size())) << c.name;
    EXPECT_EQ(0, std::memcmp(&before, &s, sizeof s)) << c.name;
    EXPECT_EQ(Bytes(32, 0xAA), untouched) << c.name;
  }

  // Through the descriptor a refusal is -1; keccak_init makes the state usable again.
  hash_state md;
  keccak256_init(&md);
  keccak256_done(&md, out.data());
  EXPECT_EQ(-1, keccak256_process(&md, m.data(), m.size()));
  EXPECT_EQ(-1, keccak256_done(&md, out.data()));
  keccak256_init(&md);
  EXPECT_EQ(CRYPT_OK, keccak256_done(&md, out.data()));
  EXPECT_EQ(VECTORS[0].keccak, Signer_toHex(out));
}

Bytes mixedOf(const unsigned char* m, size_t len, size_t piece) {
  hash_state md;
  EXPECT_EQ(1, mixedHashInit(&md));
  for (size_t at = 0; at < len; at += piece) {
    EXPECT_EQ(1, mixedHashProcess(&md, m + at, static_cast<int>(std::min(piece, len - at))));
  }
  unsigned char* out = mixedHashDone(&md);
  EXPECT_NE(nullptr, out);
  if (out == nullptr) return {};
  Bytes digest(out, out + MIXED_DIGEST_SIZE);
  free(out);
  return digest;
}

// Each case runs on both SHA-256 paths: the processor's SHA instructions (where it has
// them) and the portable rounds.
class MixedDigestPath : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    mixedHashForcePortableSha256(GetParam());
    if (!GetParam() && std::string(mixedHashSha256Path()) != "SHA instructions") {
      GTEST_SKIP() << "this processor has no SHA instructions";
    }
  }
  void TearDown() override { mixedHashForcePortableSha256(false); }
};

INSTANTIATE_TEST_SUITE_P(Paths, MixedDigestPath, ::testing::Bool(), [](const auto& info) {
  return std::string(info.param ? "Portable" : "ShaInstructions");
});

TEST_P(MixedDigestPath, RunsTheChosenPath) {
  EXPECT_EQ(GetParam() ? "portable" : "SHA instructions", std::string(mixedHashSha256Path()));
}

TEST_P(MixedDigestPath, PublishedVectorsAreSha256ThenKeccak) {
  for (const auto& c : VECTORS) {
    const Bytes m = bytesOf(c.input);
    const Bytes digest = mixedOf(m.data(), m.size(), 64);
    EXPECT_EQ(std::string(c.sha256) + c.keccak, Signer_toHex(digest)) << c.name;
  }
  // Published SHA-256 vectors long enough for whole blocks (two, and a million 'a'
  // fed in pieces that straddle them); the Keccak half against the reference.
  struct LongCase {
    std::string input;
    const char* sha256;
  };
  const LongCase longCases[] = {
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const LongCase& c : longCases) {
    const Bytes m(c.input.begin(), c.input.end());
    EXPECT_EQ(std::string(c.sha256) + Signer_toHex(referenceKeccak(m)),
              Signer_toHex(mixedOf(m.data(), m.size(), 5000)))
        << c.input.size() << " bytes";
  }
}

// The separate SHA-256 is the library's own portable one.
TEST_P(MixedDigestPath, HalvesMatchSeparateDigestsAtEveryPieceSize) {
  const size_t lengths[] = {135, 136, 137, 5000};
  const size_t pieces[] = {1, 7, 63, 64, 65, 135, 136, 137, 5000};
  for (size_t len : lengths) {
    const Bytes m = patterned(len);
    hash_state shaState;
    sha256_init(&shaState);
    sha256_process(&shaState, m.data(), m.size());
    Bytes sha(32);
    sha256_done(&shaState, sha.data());
    const std::string expected = Signer_toHex(sha) + Signer_toHex(referenceKeccak(m));
    for (size_t piece : pieces) {
      EXPECT_EQ(expected, Signer_toHex(mixedOf(m.data(), len, piece)))
          << len << " in pieces of " << piece;
    }
  }
}

// The library's PSS and MGF1 code allocate hash_state values of their own and drive the
// registered descriptor on them; hash_memory does the same on a heap state.
TEST(MixedDigest, LibraryDrivesDescriptorOnItsOwnStates) {
  const Bytes m = patterned(1000);
  const Bytes expected = mixedOf(m.data(), m.size(), 1000);  // registers "mixed"
  Bytes out(MIXED_DIGEST_SIZE);
  unsigned long outLen = out.size();
  ASSERT_EQ(CRYPT_OK, hash_memory(find_hash("mixed"), m.data(), m.size(), out.data(), &outLen));
  EXPECT_EQ(static_cast<unsigned long>(MIXED_DIGEST_SIZE), outLen);
  EXPECT_EQ(expected, out);
}

TEST(MixedDigest, RepeatedInitLeavesExactlyThreeDescriptors) {
  hash_state md;
  ASSERT_EQ(1, mixedHashInit(&md));
  const int mixed = find_hash("mixed");
  const int sha256 = find_hash("sha256");
  const int keccak = find_hash("sha3_256");
  for (int i = 0; i < 100; ++i) ASSERT_EQ(1, mixedHashInit(&md));
  int registered = 0;
  for (int i = 0; i < TAB_SIZE; ++i) registered += hash_descriptor[i].name != nullptr;
  EXPECT_EQ(3, registered);
  EXPECT_EQ(mixed, find_hash("mixed"));
  EXPECT_EQ(sha256, find_hash("sha256"));
  EXPECT_EQ(keccak, find_hash("sha3_256"));
  EXPECT_EQ(&keccak256_init, hash_descriptor[keccak].init);
  EXPECT_EQ(static_cast<unsigned long>(MIXED_DIGEST_SIZE), hash_descriptor[mixed].hashsize);
}

// Run in a child process: filling the library's table would spoil the registry of the
// other tests. The state whose start failed must then refuse every feed, not crash.
TEST(MixedDigest, FullTableWarnsAndLeavesStateUnstarted) {
  EXPECT_EXIT(
      {
        // Whatever the tests before registered, this child starts from an empty table.
        std::memset(hash_descriptor, 0, TAB_SIZE * sizeof hash_descriptor[0]);
        static ltc_hash_descriptor fillers[TAB_SIZE];
        static char names[TAB_SIZE][16];
        for (int i = 0; i < TAB_SIZE; ++i) {
          fillers[i] = sha256_desc;
          snprintf(names[i], sizeof names[i], "filler%d", i);
          fillers[i].name = names[i];
          register_hash(&fillers[i]);
        }
        hash_state md;
        std::memset(&md, 0xA5, sizeof md);
        testing::internal::CaptureStdout();
        const int started = mixedHashInit(&md);
        const std::string out = testing::internal::GetCapturedStdout();
        const unsigned char byte = 'x';
        const bool ok = started == 0 && out == "WARNING: Error registering mixed hash" &&
                        keccak_update(keccakStateOf(&md), &byte, 8) == 1;
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(MixedDigest, FeedsThatCannotBeTakenFail) {
  const unsigned char byte = 'x';
  struct Case {
    const char* name;
    const unsigned char* bytes;
    int len;
    bool finished;
    int expected;
  };
  const Case cases[] = {
      {"negative length", &byte, -1, false, 0},
      {"null buffer with bytes", nullptr, 5, false, 0},
      {"null empty buffer", nullptr, 0, false, 1},
      {"after done", &byte, 1, true, 0},
  };
  for (const auto& c : cases) {
    hash_state md;
    ASSERT_EQ(1, mixedHashInit(&md));
    if (c.finished) free(mixedHashDone(&md));
    EXPECT_EQ(c.expected, mixedHashProcess(&md, c.bytes, c.len)) << c.name;
  }
}

}  // namespace
