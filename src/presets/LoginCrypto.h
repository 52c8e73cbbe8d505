#pragma once

// The password as the preset server receives it: never the password itself,
// but its MD5 digest in hexadecimal, read as a little-endian number,
// encrypted with the server's RSA public key and sent in base64.
//
// Key texts are two hexadecimal numbers separated by a comma (exponent, then
// modulus), as juce::RSAKey writes them. They come from the network, so they
// are checked before the framework sees them: the framework's RSA loops
// forever on a modulus of 1 and asserts on malformed text.

#include <string>

namespace logincrypto
{
// Longest key text accepted, and the widest modulus: its encrypted result
// still fits the 1024-byte field the server reads.
constexpr size_t kMaxKeyTextLength = 4096;
constexpr int kMaxModulusBits = 6048;
constexpr size_t kMaxFieldLength = 1023;

// At most kMaxKeyTextLength characters; two parts around the first comma,
// each hexadecimal digits only (surrounding white space allowed) and
// non-zero; a modulus of 2 to kMaxModulusBits bits.
bool isUsableKey (const std::string& keyText);

// The "password" form field: "" when there is no key (empty text), "\n" (an
// empty closed encoding) when the key is unusable, otherwise the encrypted
// digest in closed base64.
std::string encryptPassword (const std::string& password, const std::string& publicKeyText);

// The server's side: the MD5 hex digest carried by a "password" field, or ""
// when the private key is unusable or the field is empty or longer than
// kMaxFieldLength (a longer one would only cost the server time).
std::string decryptPassword (const std::string& field, const std::string& privateKeyText);
} // namespace logincrypto
