#include "pipeline/unarchiver_check.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/fileops.h"
#include "core/hexbase64.h"
#include "core/log.h"
#include "pipeline/signature.h"
#include "src/hashes/mixedhash/mixed.h"

namespace {

constexpr char STAR_LINE[] =
    "***********************************************************************\n";
constexpr char FAILED_CHECK_LINE[] =
    "[Unarchiver] ERROR - unable to verify signature of hash of archive.\n";

[[noreturn]] void rejectArchive(const char* folder) { Unarchiver_refuse(folder, FAILED_CHECK_LINE); }

}  // namespace

void Unarchiver_refuse(const char* folder, const char* cause) {
  logMessage(STAR_LINE);
  logMessage("%s", cause);
  logMessage("[Unarchiver] Halvorin will disregard this update.\n");
  if (archiveKeyRequired.load()) {
    DeleteFolder(folder);
  } else {
    // The folder may hold anything (a developer extracts into /tmp).
    logMessage("[Unarchiver] No archive key is required here: %s is left as it is.\n", folder);
  }
  logMessage(STAR_LINE);
  endProcess(1);
}

void Unarchiver_checkSignature(const char* folder, bool blockMet, long signatureLength,
                               const char* signatureHex, hash_state* digestState) {
  if (!blockMet) {
    if (!archiveKeyRequired.load()) return;  // unsigned archives pass while no key is required
    logMessage("[Unarchiver] The archive carries no signature, but a signed one is required.\n");
    rejectArchive(folder);
  }
  logMessage("[Unarchiver] Verifying signature\n");
  unsigned char* digest = mixedHashDone(digestState);
  const char* hex = signatureHex;
  if (signatureLength == -1 || hex == nullptr || hex[0] == '\0') {
    logMessage("[Unarchiver] The signature block carries no signature.\n");
    rejectArchive(folder);
  }
  const size_t size = strlen(hex) / 2 + 2;
  auto* signature = static_cast<unsigned char*>(calloc(size, 1));
  if (signature == nullptr) rejectArchive(folder);
  const int32_t count = HexToBytes(signature, static_cast<int32_t>(size), hex);
  logMessage("[Unarchiver] Produced a signature of length %d\n", count);
  if (count <= 0 || verifySignature(signature, count, digest, archiveSignatureKey.load()) != 1)
    rejectArchive(folder);
  free(signature);
  free(digest);
  logMessage("[Unarchiver] Archive signature verified.\n");
}
