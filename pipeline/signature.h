// Archive signature check: the process-wide archive key, its import from DER bytes and
// RSASSA-PSS verification of a signature over a 64-byte mixed digest (hash and MGF1
// "mixed", salt 64, trailer 0xBC). Messages go straight to standard output, never to the
// log file. The key is set before any extraction starts and only read afterwards;
// imported keys are never freed; verification keeps no state and may run on any thread.
#pragma once

#include <tomcrypt.h>

#include <atomic>

constexpr int PSS_SALT_LENGTH = 64;

// The key that checks every signed archive of the run; null when none was imported.
extern std::atomic<rsa_key*> archiveSignatureKey;
// Set where the key is read: the tail carried a non-empty public key (even one that did
// not import) or a developer mode set its own key. While set, every archive extracted by
// Unarchiver_extractArchive must end in a SignatureBlock that verifies.
extern std::atomic<bool> archiveKeyRequired;

// DER SubjectPublicKeyInfo or PKCS#1 RSAPublicKey bytes -> a new key, or NULL after
// "ERROR - unable to import public key.". Selects libtommath as the library's math first.
rsa_key* importPublicKey(const unsigned char* der, int len);

// 1 when sig is a valid signature of the 64-byte digest under key, else 0. A null key
// (or signature or digest) always gives 0 after "ERROR - signature verification failed.".
// mixedHashInit must have registered "mixed" before.
int verifySignature(const unsigned char* sig, int siglen, const unsigned char* digest,
                    rsa_key* key);
