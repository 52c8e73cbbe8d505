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
    std::generate (bytes.begin(), bytes.end(), [&] { return (char) rng(); });
    return bytes;
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
    EXPECT_EQ (base64::encode ("AB", 2), "QUI=\n");
}

TEST (Base64, RandomLengthsRoundTripAndMatchTheStandardAlphabet)
{
    std::mt19937 rng (2);
    for (int run = 0; run < 300; ++run)
    {
        const size_t n = run < 10 ? (size_t) run : rng() % 5001;
        const auto bytes = randomBytes (rng, n);
        std::string text = base64::encode (bytes.data(), bytes.size());
        ASSERT_EQ (base64::decode (text), bytes) << "length " << n;

        text.erase (std::remove (text.begin(), text.end(), '\n'), text.end());
        ASSERT_EQ (juce::String (text), juce::Base64::toBase64 (bytes.data(), bytes.size())) << "length " << n;
    }
}

TEST (Base64, DecoderSkipsNoiseAndNeverWritesPastItsRoom)
{
    const auto abc = base64::decode ("QU\nJD==\n");
    EXPECT_EQ (std::string (abc.begin(), abc.end()), "ABC");

    std::mt19937 rng (3);
    const auto bytes = randomBytes (rng, 3000);
    const std::string text = base64::encode (bytes.data(), bytes.size());
    std::string noisy;
    const std::string noise = " \r\t=*;\x80\xff";
    for (char c : text)
        noisy += rng() % 3 == 0 ? std::string (1, c) + noise[rng() % noise.size()] : std::string (1, c);
    EXPECT_EQ (base64::decode (noisy), bytes);

    // Too little room: exactly the room is filled, the guard behind it kept.
    for (size_t room : { 0u, 1u, 2u, 100u, 2999u })
    {
        std::vector<char> out (room + 16, '#');
        ASSERT_EQ (base64::decode (text.data(), text.size(), out.data(), room), room);
        EXPECT_TRUE (std::equal (out.begin(), out.begin() + (long) room, bytes.begin()));
        EXPECT_EQ (std::count (out.begin() + (long) room, out.end(), '#'), 16);
    }
}
