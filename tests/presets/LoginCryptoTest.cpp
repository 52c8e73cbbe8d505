// The encrypted password field: what the server can decrypt, and keys from
// the network that must never reach the framework's RSA unchecked.

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "presets/Base64.h"
#include "presets/LoginCrypto.h"

namespace
{
// Counts the framework's logged assertion failures while it lives.
struct AssertionCounter : juce::Logger
{
    AssertionCounter() { juce::Logger::setCurrentLogger (this); }
    ~AssertionCounter() override { juce::Logger::setCurrentLogger (nullptr); }

    void logMessage (const juce::String& message) override
    {
        if (message.contains ("JUCE Assertion failure"))
            ++failures;
    }

    int failures = 0;
};

std::string md5Hex (const std::string& text)
{
    return juce::MD5 (text.data(), text.size()).toHexString().toStdString();
}
} // namespace

TEST (LoginCrypto, ServerDecryptsTheDigestOfThePassword)
{
    juce::RSAKey publicKey, privateKey;
    const int seeds[] = { 25, 2026, 12 };
    juce::RSAKey::createKeyPair (publicKey, privateKey, 512, seeds, 3);
    const std::string publicText = publicKey.toString().toStdString();
    const std::string privateText = privateKey.toString().toStdString();

    AssertionCounter assertions;
    for (const std::string& password : std::vector<std::string> { "secret", "", "p\xC3\xA4ss w0rd!", std::string (300, 'x') })
    {
        const std::string field = logincrypto::encryptPassword (password, publicText);
        ASSERT_FALSE (field.empty());
        EXPECT_EQ (field.back(), '\n');
        EXPECT_EQ (logincrypto::decryptPassword (field, privateText), md5Hex (password));

        // The wire form read by hand: a little-endian number whose decryption
        // holds the hex digest with its first character least significant.
        const std::vector<char> bytes = base64::decode (field);
        ASSERT_LE (bytes.size(), 64u);
        ASSERT_FALSE (bytes.empty());
        EXPECT_NE (bytes.back(), 0); // no spare high bytes
        juce::BigInteger value;
        value.loadFromMemoryBlock (juce::MemoryBlock (bytes.data(), bytes.size()));
        privateKey.applyToValue (value);
        for (int i = 0; i < 32; ++i)
            EXPECT_EQ ((char) value.getBitRangeAsInt (i * 8, 8), md5Hex (password)[(size_t) i]);
    }

    EXPECT_NE (logincrypto::encryptPassword ("a", publicText), logincrypto::encryptPassword ("b", publicText));
    EXPECT_EQ (logincrypto::decryptPassword ("\n", privateText), "");
    EXPECT_EQ (logincrypto::decryptPassword (logincrypto::encryptPassword ("a", publicText), publicText + "x"), "");
    EXPECT_EQ (assertions.failures, 0);
}

TEST (LoginCrypto, UnusableKeysGiveAnEmptyLineAndNoKeyGivesNothing)
{
    AssertionCounter assertions;

    // The counter does see the framework's assertions (logging is on).
    juce::RSAKey malformed ("no comma");
    ASSERT_EQ (assertions.failures, 1) << "JUCE_LOG_ASSERTIONS must be on in test builds";
    assertions.failures = 0;

    EXPECT_EQ (logincrypto::encryptPassword ("pw", ""), "");

    const std::string justTooLong = "3," + std::string (4093, '0') + "ff"; // 4097 characters
    const std::vector<std::string> unusable {
        "abc", "0,ab", "ab,0", "3,1", "3,0001", ",ab", "ab,", "-3,ab", "3,-ab", "3,0x1f", "g,ab", "3,ab,cd",
        std::string (5000, 'f'), justTooLong,
        "3," + std::string (1525, 'f'),                // 6100-bit modulus
        "3,1" + std::string (1512, '0'),               // 6049 bits
    };
    for (const auto& key : unusable)
    {
        EXPECT_FALSE (logincrypto::isUsableKey (key)) << key.substr (0, 40);
        EXPECT_EQ (logincrypto::encryptPassword ("pw", key), "\n") << key.substr (0, 40);
        EXPECT_EQ (logincrypto::decryptPassword ("QUJD\n", key), "") << key.substr (0, 40);
    }

    EXPECT_TRUE (logincrypto::isUsableKey (" 3 , ab\n"));
    EXPECT_TRUE (logincrypto::isUsableKey ("3,2"));
    EXPECT_TRUE (logincrypto::isUsableKey ("3," + std::string (1512, 'f'))); // 6048 bits
    EXPECT_EQ (assertions.failures, 0);
}

TEST (LoginCrypto, WidestModulusStillFitsTheServersField)
{
    // A valid text, not a real key pair: only the length of the result matters.
    const std::string key = "3," + std::string (1512, 'f');
    const std::string field = logincrypto::encryptPassword ("pw", key);
    EXPECT_NE (field, "\n");
    EXPECT_LE (field.size() + 1, 1024u);

    // Small moduli split the digest into many pieces; it must still end.
    EXPECT_GT (logincrypto::encryptPassword ("pw", "3,2").size(), 1u);
    EXPECT_GT (logincrypto::encryptPassword ("pw", "5,3").size(), 1u);
}
