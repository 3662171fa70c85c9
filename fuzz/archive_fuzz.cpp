// Archive streams from a ring, extracted into the scratch folder, without and with a
// required key.
#include <cstring>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_targets.h"
#include "pipeline/signature.h"
#include "pipeline/unarchiver.h"
#include "tests/support/signer.h"

namespace {

rsa_key* testKey() {
  static rsa_key* key = [] {
    const SignerBytes der = Signer_publicKeyDer(2048);
    return importPublicKey(der.data(), static_cast<int>(der.size()));
  }();
  return key;
}

int extract(const uint8_t* data, size_t size, bool keyRequired) {
  // A nested archive is read by stage threads of its own, whose fatal ends cannot come
  // back to the body; its entries go through the same reader as the outer ones.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.find("p2.l2") != std::string_view::npos) return -1;
  archiveSignatureKey.store(keyRequired ? testKey() : nullptr);
  archiveKeyRequired.store(keyRequired);
  unpack200Path.store(nullptr);
  const std::string& folder = emptyScratch();
  RingBuffer* ring = ringOfBytes(data, size);
  runReader([&] { Unarchiver_extractArchive(ring, folder.c_str()); });
  freeRing(ring);
  return 0;
}

}  // namespace

int fuzzArchive(const uint8_t* data, size_t size) { return extract(data, size, false); }

int fuzzArchiveSigned(const uint8_t* data, size_t size) { return extract(data, size, true); }
