#include "ServerCrypto.h"

#include <cstdlib>
#include <memory>
#include <vector>

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

namespace servercrypto
{
namespace
{
const std::string kPrefix = "pbkdf2-sha256$";
constexpr size_t kDerivedSize = 32, kDigestSize = 32;
constexpr long kMaxStoredRounds = 10000000; // a damaged row cannot stall a thread for ever

struct BnCtxDeleter { void operator() (BN_CTX* c) const { BN_CTX_free (c); } };
struct BnDeleter { void operator() (BIGNUM* b) const { BN_clear_free (b); } };
using Ctx = std::unique_ptr<BN_CTX, BnCtxDeleter>;
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

BIGNUM* parseHex (const std::string& text)
{
    BIGNUM* value = nullptr;
    const size_t first = text.find_first_not_of (" \t\r\n");
    const size_t last = text.find_last_not_of (" \t\r\n");
    if (first == std::string::npos)
        return nullptr;
    const std::string digits = text.substr (first, last - first + 1);
    if (BN_hex2bn (&value, digits.c_str()) != (int) digits.size())
    {
        BN_free (value);
        return nullptr;
    }
    return value;
}

// The length of the closed base64 text of count bytes, line breaks included.
size_t base64TextLength (size_t count)
{
    const size_t chars = (count + 2) / 3 * 4;
    return chars + chars / 72 + 1;
}

// The stored form's rounds and derived bytes; false for anything else.
bool parseStored (const std::string& stored, long& rounds, std::string& derived)
{
    if (stored.compare (0, kPrefix.size(), kPrefix) != 0)
        return false;
    size_t at = kPrefix.size();
    rounds = 0;
    while (at < stored.size() && stored[at] >= '0' && stored[at] <= '9' && rounds <= kMaxStoredRounds)
        rounds = rounds * 10 + (stored[at++] - '0');
    if (rounds < 1 || rounds > kMaxStoredRounds || at >= stored.size() || stored[at] != '$'
        || stored.size() - at - 1 != kDerivedSize)
        return false;
    derived = stored.substr (at + 1);
    return true;
}

std::string derive (const std::string& salt, const std::string& md5Hex, long rounds)
{
    std::string out (kDerivedSize, '\0');
    if (PKCS5_PBKDF2_HMAC (md5Hex.data(), (int) md5Hex.size(), reinterpret_cast<const unsigned char*> (salt.data()),
                           (int) salt.size(), (int) rounds, EVP_sha256(), (int) out.size(),
                           reinterpret_cast<unsigned char*> (out.data())) != 1)
        return {};
    return out;
}
} // namespace

PrivateKey::~PrivateKey()
{
    BN_MONT_CTX_free (montgomery);
    BN_clear_free (exponent);
    BN_free (modulus);
}

bool PrivateKey::load (const std::string& keyText)
{
    if (exponent != nullptr || ! logincrypto::isUsableKey (keyText))
        return false;
    const size_t comma = keyText.find (',');
    exponent = parseHex (keyText.substr (0, comma));
    modulus = parseHex (keyText.substr (comma + 1));
    if (exponent == nullptr || modulus == nullptr)
        return false;

    // The private exponent never steers branches or memory access: the
    // constant-time Montgomery ladder needs an odd modulus, which any real
    // key has.
    if (BN_is_odd (modulus))
    {
        BN_set_flags (exponent, BN_FLG_CONSTTIME);
        Ctx ctx (BN_CTX_new());
        montgomery = BN_MONT_CTX_new();
        if (ctx == nullptr || montgomery == nullptr || BN_MONT_CTX_set (montgomery, modulus, ctx.get()) != 1)
            return false;
    }

    // The plug-in encrypts a 32-byte digest digit by digit in base modulus,
    // as the framework's RSA does: each digit takes at least bits - 1 bits.
    const size_t bits = (size_t) BN_num_bits (modulus);
    const size_t digits = bits > 1 ? (kDigestSize * 8 + bits - 2) / (bits - 1) : 0;
    maxBytes = (digits * bits + 7) / 8;
    maxFieldText = base64TextLength (maxBytes);
    return digits > 0;
}

std::string PrivateKey::decryptPassword (const std::string& field) const
{
    if (modulus == nullptr || field.empty() || field.size() > maxFieldText)
        return {};
    const std::vector<char> bytes = base64::decode (field);
    if (bytes.empty() || bytes.size() > maxBytes)
        return {};

    Ctx ctx (BN_CTX_new());
    Bn value (BN_lebin2bn (reinterpret_cast<const unsigned char*> (bytes.data()), (int) bytes.size(), nullptr));
    Bn result (BN_new()), quotient (BN_new()), digit (BN_new()), power (BN_new());
    if (ctx == nullptr || value == nullptr || result == nullptr || quotient == nullptr || digit == nullptr
        || power == nullptr || BN_is_zero (value.get()))
        return {};

    // The framework's order: the lowest digit of the input ends up highest.
    BN_zero (result.get());
    while (! BN_is_zero (value.get()))
    {
        if (BN_mul (result.get(), result.get(), modulus, ctx.get()) != 1
            || BN_div (quotient.get(), digit.get(), value.get(), modulus, ctx.get()) != 1)
            return {};
        const int done = montgomery != nullptr
            ? BN_mod_exp_mont_consttime (power.get(), digit.get(), exponent, modulus, ctx.get(), montgomery)
            : BN_mod_exp (power.get(), digit.get(), exponent, modulus, ctx.get());
        if (done != 1 || BN_add (result.get(), result.get(), power.get()) != 1)
            return {};
        std::swap (value, quotient);
    }

    std::string digest ((size_t) BN_num_bytes (result.get()), '\0');
    if (BN_bn2lebinpad (result.get(), reinterpret_cast<unsigned char*> (digest.data()), (int) digest.size()) < 0)
        return {};
    return digest;
}

std::string randomBytes (size_t count)
{
    std::string bytes (count, '\0');
    if (RAND_bytes (reinterpret_cast<unsigned char*> (bytes.data()), (int) count) != 1)
        std::abort(); // no salt at all is worse than no server
    return bytes;
}

std::string sha256 (const std::string& bytes)
{
    std::string out (kDerivedSize, '\0');
    unsigned int size = 0;
    EVP_Digest (bytes.data(), bytes.size(), reinterpret_cast<unsigned char*> (out.data()), &size, EVP_sha256(), nullptr);
    return out;
}

std::string storedHash (const std::string& salt, const std::string& md5Hex, int rounds)
{
    const std::string derived = derive (salt, md5Hex, rounds);
    return derived.empty() ? std::string() : kPrefix + std::to_string (rounds) + "$" + derived;
}

bool matches (const std::string& salt, const std::string& stored, const std::string& md5Hex, int wantedRounds,
              std::string& newSalt, std::string& newStored)
{
    newSalt.clear();
    newStored.clear();
    long rounds = 0;
    std::string expected;
    if (parseStored (stored, rounds, expected))
    {
        const std::string offered = derive (salt, md5Hex, rounds);
        if (offered.empty() || ! sameBytes (offered, expected))
            return false;
        if (rounds < wantedRounds)
        {
            newSalt = randomBytes (kSaltSize);
            newStored = storedHash (newSalt, md5Hex, wantedRounds);
        }
        return true;
    }

    // The old form: the new one is derived before the answer is known, so a
    // wrong password costs as much here as anywhere.
    newSalt = randomBytes (kSaltSize);
    newStored = storedHash (newSalt, md5Hex, wantedRounds);
    if (stored.size() == kDerivedSize && sameBytes (sha256 (salt + md5Hex), stored))
        return true;
    newSalt.clear();
    newStored.clear();
    return false;
}

bool sameBytes (const std::string& a, const std::string& b) noexcept
{
    if (a.size() != b.size())
        return false;
    volatile unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference = (unsigned char) (difference | ((unsigned char) a[i] ^ (unsigned char) b[i]));
    return difference == 0;
}
} // namespace servercrypto
