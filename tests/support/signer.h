// Test-side signer: the committed RSA test key pairs and RSASSA-PSS signatures over a
// 64-byte mixed digest (hash and MGF1 "mixed", salt 64), made the way the packaging side
// makes them. Pairs exist for 1024 bits (too short for this scheme), 2048 and 4096 bits:
// tests/data/rsaBITS_public.hex (DER SubjectPublicKeyInfo) and rsaBITS_private.hex
// (DER PKCS#1 RSAPrivateKey). Named pairs follow the same pattern (NAME_public.hex,
// NAME_private.hex); a name holding a '/' is the path prefix of a pair kept elsewhere
// (demo/keys/demo names demo/keys/demo_public.hex and demo/keys/demo_private.hex). Keys load once and stay; every call is serialised by a lock.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

using SignerBytes = std::vector<unsigned char>;

// Path of a file in tests/data, and the bytes of a hex text file there (empty when
// missing or not hex).
std::string Signer_dataPath(const char* fileName);
SignerBytes Signer_dataHexFile(const char* fileName);
// Lower-case hex of bytes, and back (whitespace ignored; empty on a bad digit).
std::string Signer_toHex(const SignerBytes& bytes);
SignerBytes Signer_fromHex(const std::string& text);

// The 4096-bit pair whose public half is compiled into the launcher as the extract
// test's key.
inline constexpr char EXTRACT_TEST_KEY_NAME[] = "rsa4096_extracttest";

// The public key as the wrapper tail carries it (hex of the DER SubjectPublicKeyInfo),
// and its bytes. Empty when bits has no committed pair.
std::string Signer_publicKeyHex(int bits);
std::string Signer_publicKeyHexOf(const char* keyName);
SignerBytes Signer_publicKeyDer(int bits);
// The key's modulus, big-endian, as long as every signature of the key.
SignerBytes Signer_modulus(int bits);

// The 64-byte mixed digest of len bytes.
SignerBytes Signer_mixedDigest(const void* data, size_t len);
// Signature of a 64-byte mixed digest with the private key of bits (fresh random salt
// each call); empty when the key cannot sign (1024 bits) or does not exist.
SignerBytes Signer_sign(int bits, const unsigned char* digest);
SignerBytes Signer_signWithKey(const char* keyName, const unsigned char* digest);
// Signer_sign over Signer_mixedDigest(data, len): what a signed archive carries.
SignerBytes Signer_signData(int bits, const void* data, size_t len);
// The bare private-key operation on a modulus-long encoded message: lets a test build
// signatures of deliberately malformed encodings. Empty on failure.
SignerBytes Signer_rawPrivate(int bits, const SignerBytes& encoded);
