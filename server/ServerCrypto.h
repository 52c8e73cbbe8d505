#pragma once

// The server's side of a login, on OpenSSL: decrypting the "password" field
// with the private key, and the stored form of passwords.
//
// A stored password is "pbkdf2-sha256$ROUNDS$" followed by the 32 raw bytes
// of PBKDF2-HMAC-SHA256 over the MD5 hex digest that logins carry, with the
// account's salt. Accounts made before that hold one SHA-256 of salt and
// digest (32 bytes, no prefix); they are still accepted and rewritten.

#include <cstddef>
#include <string>

#include <openssl/types.h>

namespace servercrypto
{
constexpr int kDefaultRounds = 200000;
constexpr size_t kSaltSize = 16;

// An RSA private key in the framework's key text ("exponent,modulus" in
// hexadecimal), parsed once and then used from any thread.
class PrivateKey
{
public:
    PrivateKey() = default;
    ~PrivateKey();
    PrivateKey (const PrivateKey&) = delete;
    PrivateKey& operator= (const PrivateKey&) = delete;

    // False when the text is no usable key.
    bool load (const std::string& keyText);

    // The MD5 hex digest a "password" field carries, decrypted exactly as the
    // framework's RSAKey would; "" for a field longer than an encrypted
    // digest can be under this modulus (checked before any arithmetic), an
    // empty or zero value, or no key.
    std::string decryptPassword (const std::string& field) const;

    // The most bytes an encrypted 32-byte digest takes under this modulus.
    size_t maxEncryptedBytes() const noexcept { return maxBytes; }

private:
    BIGNUM* exponent = nullptr;
    BIGNUM* modulus = nullptr;
    BN_MONT_CTX* montgomery = nullptr; // null for an even modulus
    size_t maxBytes = 0;
    size_t maxFieldText = 0;
};

// count bytes from the system's random source.
std::string randomBytes (size_t count);

// SHA-256 of the bytes.
std::string sha256 (const std::string& bytes);

// The stored form of a password digest with this salt.
std::string storedHash (const std::string& salt, const std::string& md5Hex, int rounds);

// Whether the digest matches the stored form. When it matches a form that is
// old or has fewer rounds than wanted, newSalt and newStored receive the
// form to store instead; otherwise they are empty.
bool matches (const std::string& salt, const std::string& stored, const std::string& md5Hex, int wantedRounds,
              std::string& newSalt, std::string& newStored);

// Compares every byte whatever the first difference, so the time taken says
// nothing about how much of a hash matched.
bool sameBytes (const std::string& a, const std::string& b) noexcept;
} // namespace servercrypto
