#include "presets/LoginCrypto.h"

#include <JuceHeader.h>

#include "presets/Base64.h"

namespace logincrypto
{
namespace
{
bool nonZeroHex (const juce::String& part)
{
    return part.isNotEmpty() && part.containsOnly ("0123456789abcdefABCDEF")
        && ! part.containsOnly ("0");
}

juce::BigInteger fromLittleEndian (const void* data, size_t size)
{
    juce::BigInteger value;
    value.loadFromMemoryBlock (juce::MemoryBlock (data, size));
    return value;
}

// Applies a checked key; false when the key text is unusable or the value is
// zero (the framework asserts on both).
bool applyKey (const std::string& keyText, juce::BigInteger& value)
{
    if (! isUsableKey (keyText) || value.isZero())
        return false;
    return juce::RSAKey (juce::String (keyText)).applyToValue (value);
}
} // namespace

bool isUsableKey (const std::string& keyText)
{
    if (keyText.size() > kMaxKeyTextLength)
        return false;

    const juce::String text (keyText);
    const int comma = text.indexOfChar (',');
    if (comma < 0)
        return false;

    const juce::String exponent = text.substring (0, comma).trim();
    const juce::String modulusText = text.substring (comma + 1).trim();
    if (! nonZeroHex (exponent) || ! nonZeroHex (modulusText))
        return false;

    juce::BigInteger modulus;
    modulus.parseString (modulusText, 16);
    const int bits = modulus.getHighestBit() + 1;
    return bits >= 2 && bits <= kMaxModulusBits;
}

std::string encryptPassword (const std::string& password, const std::string& publicKeyText)
{
    if (publicKeyText.empty())
        return {};

    const juce::String digest = juce::MD5 (password.data(), password.size()).toHexString();
    juce::BigInteger value = fromLittleEndian (digest.toRawUTF8(), (size_t) digest.getNumBytesAsUTF8());
    if (! applyKey (publicKeyText, value))
        value.clear();

    const juce::MemoryBlock bytes = value.toMemoryBlock(); // as few bytes as hold the value
    return base64::encode (bytes.getData(), bytes.getSize());
}

std::string decryptPassword (const std::string& field, const std::string& privateKeyText)
{
    if (field.size() > kMaxFieldLength)
        return {};
    const std::vector<char> bytes = base64::decode (field);
    juce::BigInteger value = fromLittleEndian (bytes.data(), bytes.size());
    if (! applyKey (privateKeyText, value))
        return {};

    const juce::MemoryBlock digest = value.toMemoryBlock();
    return std::string (static_cast<const char*> (digest.getData()), digest.getSize());
}
} // namespace logincrypto
