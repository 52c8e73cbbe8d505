// The preset metadata record: byte layout, bounded texts, file names and the
// order of the presets table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/globalStuff.h"
#include "presets/PresetMetaData.h"

namespace
{
std::vector<uint8_t> bytesOf (const PresetMetaData& md)
{
    std::vector<uint8_t> bytes (presetmeta::kRecordSize);
    presetmeta::toBytes (md, bytes.data());
    return bytes;
}

PresetMetaData record (const char* author, const char* name, const char* time = "2026-12-06 10:30:00")
{
    PresetMetaData md = presetmeta::newRecord();
    md.setAuthor (author);
    md.setName (name);
    md.setLastModified (time);
    return md;
}

// Restores the process-wide version flag whatever a test sets.
struct VersionFlag
{
    const bool saved = TALVORA_XL_VERSION.load();
    ~VersionFlag() { TALVORA_XL_VERSION = saved; }
};
} // namespace

TEST (PresetMetaData, RecordBytesAreTheFieldsAtTheirOffsetsAndZeroElsewhere)
{
    VersionFlag flag;
    TALVORA_XL_VERSION = true;

    PresetMetaData md = presetmeta::newRecord();
    md.setName ("Big Pad 2");
    md.setAuthor ("jo.doe@x.org");
    md.setLastModified ("2026-12-06 10:30:00");
    md.categoryMask = 4;
    md.isPublic = 1;

    const auto bytes = bytesOf (md);
    const std::vector<std::pair<size_t, std::vector<uint8_t>>> expected {
        { 0, { 'B', 'i', 'g', ' ', 'P', 'a', 'd', ' ', '2' } },
        { 128, { 'j', 'o', '.', 'd', 'o', 'e', '@', 'x', '.', 'o', 'r', 'g' } },
        { 652, { 1, 0, 0, 0 } },
        { 656, { '2', '0', '2', '6', '-', '1', '2', '-', '0', '6', ' ', '1', '0', ':', '3', '0', ':', '0', '0' } },
        { 752, { 4, 0, 0, 0 } },
        { 764, { 103, 0, 0, 0 } },
    };

    std::vector<bool> covered (bytes.size(), false);
    for (const auto& [offset, content] : expected)
        for (size_t i = 0; i < content.size(); ++i)
        {
            EXPECT_EQ (bytes[offset + i], content[i]) << "byte " << offset + i;
            covered[offset + i] = true;
        }
    for (size_t i = 0; i < bytes.size(); ++i)
        if (! covered[i])
            EXPECT_EQ (bytes[i], 0) << "byte " << i;

    TALVORA_XL_VERSION = false;
    EXPECT_EQ (presetmeta::newRecord().version, 102u);
    EXPECT_EQ (PresetMetaData().version, 0u); // a blank record stays all zero
}

TEST (PresetMetaData, BytesRoundTripWhateverTheyHold)
{
    // Random bytes: texts without NUL, reserved bytes set, odd numbers.
    std::mt19937 rng (7);
    std::vector<uint8_t> original (presetmeta::kRecordSize);
    for (auto& b : original)
        b = (uint8_t) rng();

    PresetMetaData md;
    presetmeta::fromBytes (original.data(), md);
    EXPECT_EQ (bytesOf (md), original);

    // Numbers are little-endian in the bytes whatever the machine.
    md.rating = 3.5;
    md.ratingCount = -2;
    md.listOffset = 0x01020304;
    const auto bytes = bytesOf (md);
    double rating;
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | bytes[384 + (size_t) i];
    std::memcpy (&rating, &bits, 8);
    EXPECT_EQ (rating, 3.5);
    EXPECT_EQ (bytes[392], 0xFE);
    EXPECT_EQ (bytes[395], 0xFF);
    EXPECT_EQ (bytes[756], 0x04);
    EXPECT_EQ (bytes[759], 0x01);
}

TEST (PresetMetaData, TextsAreWrittenWithANulAndReadWithinTheirFields)
{
    PresetMetaData md;
    const std::string longText (200, 'n');
    md.setName (longText);
    md.setAuthor (longText);
    md.setComments (longText);
    md.setLastModified (longText);
    EXPECT_EQ (md.getName(), longText.substr (0, 127));
    EXPECT_EQ (md.name[127], 0);
    EXPECT_EQ (md.getAuthor().size(), 127u);
    EXPECT_EQ (md.getComments().size(), 127u);
    EXPECT_EQ (md.getLastModified(), longText.substr (0, 31));
    EXPECT_EQ (md.lastModified[31], 0);

    // A shorter text leaves nothing of the longer one behind.
    md.setName ("ab");
    const auto bytes = bytesOf (md);
    EXPECT_EQ (std::count (bytes.begin() + 2, bytes.begin() + 128, 0), 126);

    // Fields filled to their end (a file or reply without NUL) stop there.
    std::memset (md.name, 'x', sizeof (md.name));
    std::memset (md.author, 'y', sizeof (md.author));
    std::memset (md.lastModified, '9', sizeof (md.lastModified));
    std::memset (md.comments, 'z', sizeof (md.comments));
    EXPECT_EQ (md.getName(), std::string (128, 'x'));
    EXPECT_EQ (md.getAuthor(), std::string (256, 'y'));
    EXPECT_EQ (md.getLastModified(), std::string (32, '9'));
    EXPECT_EQ (md.getComments(), std::string (256, 'z'));
    EXPECT_TRUE (md.isComplete());

    md.setLastModified ("");
    EXPECT_FALSE (md.isComplete());
}

TEST (PresetMetaData, FileNamesKeepOnlySafeBytes)
{
    EXPECT_EQ (presetMetaDataToFileName (record ("jo.doe@x.org", "Big Pad 2")), "jo_doe_Big_Pad_2.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("studio", "x")), "studio_x.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("jo@x", "")), "jo_.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("x@d.org", "A#B")), "x_A#B.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("jo@x", "../../etc/x")), "jo_______etc_x.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("jo@x", "\xC3\xA9")), "jo___.TalvoraXLPreset");
    EXPECT_EQ (presetMetaDataToFileName (record ("a@b", "&!-@09")), "a_&!-@09.TalvoraXLPreset");

    // Every byte outside the table goes, every byte inside stays.
    std::string allBytes;
    for (int c = 1; c < 256; ++c)
        allBytes += (char) c;
    PresetMetaData md;
    md.setAuthor ("a");
    std::memcpy (md.name, allBytes.data(), sizeof (md.name)); // no NUL: the whole field is the name
    const std::string fileName = presetMetaDataToFileName (md);
    ASSERT_EQ (fileName.size(), 2 + 128 + std::strlen (".TalvoraXLPreset"));
    for (size_t i = 0; i < 128; ++i)
    {
        const char c = allBytes[i];
        const bool allowed = std::strchr (OK_FILE_NAME_CHARS, c) != nullptr;
        EXPECT_EQ (fileName[2 + i], allowed ? c : '_') << "byte " << (int) (unsigned char) c;
    }
}

TEST (PresetMetaData, OrderIsNewestFirstThenAuthorThenNameWithIncompleteLast)
{
    const auto before = [] (const PresetMetaData& a, const PresetMetaData& b) { return PresetMetaDataCompare (a, b); };

    EXPECT_TRUE (before (record ("a", "n", "2026-12-06 10:00:01"), record ("a", "n", "2026-12-06 10:00:00")));
    EXPECT_FALSE (before (record ("a", "n", "2026-12-06 10:00:00"), record ("a", "n", "2026-12-06 10:00:01")));
    EXPECT_TRUE (before (record ("a", "z"), record ("b", "a")));
    EXPECT_FALSE (before (record ("b", "a"), record ("a", "z")));
    EXPECT_TRUE (before (record ("a", "m"), record ("a", "n")));
    EXPECT_FALSE (before (record ("a", "n"), record ("a", "n")));

    const PresetMetaData undated = record ("a", "a", "");
    EXPECT_TRUE (before (record ("z", "z", "1999-01-01 00:00:00"), undated));
    EXPECT_FALSE (before (undated, record ("z", "z", "1999-01-01 00:00:00")));
    EXPECT_FALSE (before (undated, record ("", "b")));
    EXPECT_FALSE (before (record ("", "b"), undated));
}

TEST (PresetMetaData, SortingManyRecordsWithUnterminatedTextsStaysInOrder)
{
    std::mt19937 rng (25);
    std::vector<PresetMetaData> records (10000);
    for (auto& md : records)
    {
        // Few distinct values, so ties on time and author are common.
        std::memset (md.name, 'a' + (int) (rng() % 3), sizeof (md.name));
        std::memset (md.author, 'a' + (int) (rng() % 3), sizeof (md.author));
        std::memset (md.lastModified, '0' + (int) (rng() % 3), sizeof (md.lastModified));
        md.name[rng() % sizeof (md.name)] = 'a' + (char) (rng() % 3);
        if (rng() % 5 == 0)
            (rng() % 2 ? md.name : md.lastModified)[0] = 0;
    }

    std::sort (records.begin(), records.end(), PresetMetaDataCompare);

    const auto firstIncomplete = std::find_if (records.begin(), records.end(), [] (const auto& md) { return ! md.isComplete(); });
    EXPECT_GT (records.end() - firstIncomplete, 1000);
    EXPECT_TRUE (std::all_of (firstIncomplete, records.end(), [] (const auto& md) { return ! md.isComplete(); }));
    for (auto it = records.begin(); it + 1 < firstIncomplete; ++it)
    {
        const auto key = [] (const PresetMetaData& md) {
            return std::make_tuple (std::string (md.lastModified, 32), std::string (md.author, 256), std::string (md.name, 128));
        };
        const auto [timeA, authorA, nameA] = key (*it);
        const auto [timeB, authorB, nameB] = key (*(it + 1));
        ASSERT_GE (timeA, timeB);
        if (timeA == timeB)
        {
            ASSERT_LE (authorA, authorB);
            if (authorA == authorB)
                ASSERT_LE (nameA, nameB);
        }
    }
}
