// The end of an archive in the Unarchiver (pipeline/unarchiver.cpp): the check of its
// SignatureBlock against archiveSignatureKey, and the refusal of an archive that must not
// be taken. Fail closed: both end the process rather than return a failure. Any thread
// (the texts are logged through logMessage).
#pragma once

#include <tomcrypt.h>

// The check once the archive's entries are read: blockMet tells a SignatureBlock was
// met, signatureLength and signatureHex are its values (-1 and empty or null when it
// carried none), digest the running digest of every byte before it. Returns only when
// the archive may be taken: it verified, or it carries no block while no key is required.
void Unarchiver_checkSignature(const char* folder, bool blockMet, long signatureLength,
                               const char* signatureHex, hash_state* digest);

// Ends the process with status 1 for an archive that must not be taken: between two star
// lines the cause (a whole line, logged as given) and that the update is disregarded;
// the contents of folder are removed only while a key is required, which alone makes it
// a fresh folder of the run's own.
[[noreturn]] void Unarchiver_refuse(const char* folder, const char* cause);
