// Base64 as the preset server exchanges it: line layout of the encoder, and a
// decoder that skips noise and stays inside the room it is given.

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "presets/Base64.h"

namespace
{
std::vector<char> randomBytes (std::mt19937& rng, size_t n)
{
    std::vector<char> bytes (n);
    for (auto& b : bytes)
        b = (char) rng();
    return bytes;
}

std::string withoutLineBreaks (std::string text)
{
    text.erase (std::remove (text.begin(), text.end(), '\n'), text.end());
    return text;
}
} // namespace

TEST (Base64, EncodingBreaksLinesAfter72CharactersAndCloses)
{
    std::mt19937 rng (1);
    const auto bytes = randomBytes (rng, 1792);
    const std::string text = base64::encode (bytes.data(), bytes.size());

    ASSERT_EQ (text.size(), 2426u);
    std::vector<size_t> breaks;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n')
            breaks.push_back (i);
    ASSERT_EQ (breaks.size(), 34u);
    for (size_t k = 0; k + 1 < breaks.size(); ++k)
        EXPECT_EQ (breaks[k], 72 + 73 * k);
    EXPECT_EQ (breaks.back(), text.size() - 1);

    EXPECT_EQ (base64::encode (nullptr, 0), "\n");
    EXPECT_EQ (base64::encode ("ABC", 3), "QUJD\n");
    EXPECT_EQ (base64::encode ("AB", 2), "QUI=\n");
}

TEST (Base64, RandomLengthsRoundTripAndMatchTheStandardAlphabet)
{
    std::mt19937 rng (2);
    for (int run = 0; run < 300; ++run)
    {
        const size_t n = run < 10 ? (size_t) run : rng() % 5001;
        const auto bytes = randomBytes (rng, n);
        const std::string text = base64::encode (bytes.data(), bytes.size());

        ASSERT_EQ (base64::decode (text), bytes) << "length " << n;
        ASSERT_EQ (juce::String (withoutLineBreaks (text)), juce::Base64::toBase64 (bytes.data(), bytes.size())) << "length " << n;
    }
}

TEST (Base64, DecoderSkipsNoiseAndNeverWritesPastItsRoom)
{
    const auto decoded = base64::decode ("QU\nJD==\n");
    EXPECT_EQ (std::string (decoded.begin(), decoded.end()), "ABC");

    std::mt19937 rng (3);
    const auto bytes = randomBytes (rng, 3000);
    const std::string text = base64::encode (bytes.data(), bytes.size());

    // Characters outside the alphabet anywhere are ignored.
    std::string noisy;
    const std::string noise = " \r\t=*;\x80\xff";
    for (char c : text)
    {
        noisy += c;
        if (rng() % 3 == 0)
            noisy += noise[rng() % noise.size()];
    }
    EXPECT_EQ (base64::decode (noisy), bytes);

    // Too little room: exactly the room is filled, the guard behind it kept.
    for (size_t room : { 0u, 1u, 2u, 100u, 2999u })
    {
        std::vector<char> out (room + 16, '#');
        const size_t stored = base64::decode (text.data(), text.size(), out.data(), room);
        ASSERT_EQ (stored, room);
        EXPECT_TRUE (std::equal (out.begin(), out.begin() + (long) room, bytes.begin()));
        EXPECT_EQ (std::count (out.begin() + (long) room, out.end(), '#'), 16);
    }
}
