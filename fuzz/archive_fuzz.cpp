// Archive streams from a ring, extracted into the scratch folder, without and with a
// required key: flat ones, and ones whose entries are nested archives (read by stage
// threads of their own, whose fatal ends come back through the joining thread).
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

// The flat targets leave nested archives to the nested ones (their seeds differ, and a
// flat corpus stays on the outer reader).
int extract(const uint8_t* data, size_t size, bool keyRequired, bool nested) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (bytes.find("p2.l2") != std::string_view::npos && !nested) return -1;
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

int fuzzArchive(const uint8_t* data, size_t size) { return extract(data, size, false, false); }

int fuzzArchiveSigned(const uint8_t* data, size_t size) { return extract(data, size, true, false); }

int fuzzArchiveNested(const uint8_t* data, size_t size) { return extract(data, size, false, true); }

int fuzzArchiveNestedSigned(const uint8_t* data, size_t size) {
  return extract(data, size, true, true);
}
