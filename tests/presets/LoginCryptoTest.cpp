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
    void logMessage (const juce::String& message) override { failures += message.contains ("JUCE Assertion failure") ? 1 : 0; }
    int failures = 0;
};
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
        const std::string digest = juce::MD5 (password.data(), password.size()).toHexString().toStdString();
        const std::string field = logincrypto::encryptPassword (password, publicText);
        ASSERT_EQ (field.back(), '\n');
        EXPECT_EQ (logincrypto::decryptPassword (field, privateText), digest);

        // The wire form read by hand: minimal little-endian bytes of a number
        // whose decryption holds the digest's first character lowest.
        const std::vector<char> bytes = base64::decode (field);
        ASSERT_TRUE (! bytes.empty() && bytes.size() <= 64 && bytes.back() != 0);
        juce::BigInteger value;
        value.loadFromMemoryBlock (juce::MemoryBlock (bytes.data(), bytes.size()));
        privateKey.applyToValue (value);
        const juce::MemoryBlock plain = value.toMemoryBlock();
        EXPECT_EQ (std::string (static_cast<const char*> (plain.getData()), plain.getSize()), digest);
    }

    EXPECT_EQ (logincrypto::decryptPassword ("\n", privateText), "");
    std::string tooLong;
    while (tooLong.size() < 1024)
        tooLong += "QUJD";
    EXPECT_EQ (logincrypto::decryptPassword (tooLong, privateText), "");
    EXPECT_EQ (logincrypto::decryptPassword (logincrypto::encryptPassword ("a", publicText), "0," + privateText), "");
    EXPECT_EQ (assertions.failures, 0);
}

TEST (LoginCrypto, UnusableKeysGiveAnEmptyLineAndNoKeyGivesNothing)
{
    AssertionCounter assertions;
    juce::RSAKey malformed ("no comma"); // proves the counter sees the framework's assertions
    ASSERT_EQ (assertions.failures, 1) << "JUCE_LOG_ASSERTIONS must be on in test builds";
    assertions.failures = 0;

    EXPECT_EQ (logincrypto::encryptPassword ("pw", ""), "");

    const std::vector<std::string> unusable {
        "abc", "0,ab", "ab,0", "3,1", "3,0001", ",ab", "ab,", "-3,ab", "3,0x1f", "g,ab", "3,ab,cd",
        std::string (5000, 'f'),
        "3," + std::string (4093, '0') + "ff",  // 4097 characters
        "3," + std::string (1525, 'f'),         // 6100-bit modulus
        "3,1" + std::string (1512, '0'),        // 6049 bits
    };
    for (const auto& key : unusable)
    {
        EXPECT_FALSE (logincrypto::isUsableKey (key)) << key.substr (0, 40);
        EXPECT_EQ (logincrypto::encryptPassword ("pw", key), "\n") << key.substr (0, 40);
        EXPECT_EQ (logincrypto::decryptPassword ("QUJD\n", key), "") << key.substr (0, 40);
    }
    EXPECT_EQ (assertions.failures, 0);

    EXPECT_TRUE (logincrypto::isUsableKey (" 3 , ab\n"));
    // Small moduli split the digest into many pieces; it must still end.
    EXPECT_NE (logincrypto::encryptPassword ("pw", "3,2"), "\n");

    // The widest modulus: the field and its NUL still fit the server's 1024 bytes.
    const std::string widest = logincrypto::encryptPassword ("pw", "3," + std::string (1512, 'f'));
    EXPECT_NE (widest, "\n");
    EXPECT_LE (widest.size() + 1, 1024u);
}
