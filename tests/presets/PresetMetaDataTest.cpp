// The preset metadata record: byte layout, bounded texts, file names and the
// order of the presets table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
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
} // namespace

TEST (PresetMetaData, RecordBytesAreTheFieldsAtTheirOffsetsAndZeroElsewhere)
{
    const bool savedFlag = TALVORA_XL_VERSION;
    TALVORA_XL_VERSION = true;
    PresetMetaData md = record ("jo.doe@x.org", "Big Pad 2");
    md.categoryMask = 4;
    md.isPublic = 1;
    TALVORA_XL_VERSION = false;
    EXPECT_EQ (presetmeta::newRecord().version, 102u);
    TALVORA_XL_VERSION = savedFlag;

    std::vector<uint8_t> expected (presetmeta::kRecordSize, 0);
    const auto put = [&] (size_t offset, const std::string& s) { std::copy (s.begin(), s.end(), expected.begin() + (long) offset); };
    put (0, "Big Pad 2");
    put (128, "jo.doe@x.org");
    put (652, std::string ("\x01\0\0\0", 4));
    put (656, "2026-12-06 10:30:00");
    put (752, std::string ("\x04\0\0\0", 4));
    put (764, std::string ("\x67\0\0\0", 4));
    EXPECT_EQ (bytesOf (md), expected);
}

TEST (PresetMetaData, BytesRoundTripWhateverTheyHold)
{
    // Random bytes: texts without NUL, reserved bytes set, odd numbers.
    std::mt19937 rng (7);
    std::vector<uint8_t> original (presetmeta::kRecordSize);
    std::generate (original.begin(), original.end(), [&] { return (uint8_t) rng(); });

    PresetMetaData md;
    presetmeta::fromBytes (original.data(), md);
    EXPECT_EQ (bytesOf (md), original);

    md.listOffset = 0x01020304; // little-endian whatever the machine
    const auto bytes = bytesOf (md);
    EXPECT_EQ (std::vector<uint8_t> (bytes.begin() + 756, bytes.begin() + 760), (std::vector<uint8_t> { 4, 3, 2, 1 }));
}

TEST (PresetMetaData, TextsAreWrittenWithANulAndReadWithinTheirFields)
{
    PresetMetaData md;
    const std::string longText (200, 'n');
    md.setName (longText);
    md.setLastModified (longText);
    EXPECT_EQ (md.getName(), longText.substr (0, 127));
    EXPECT_EQ (md.getLastModified(), longText.substr (0, 31));

    // A shorter text leaves nothing of the longer one behind.
    md.setName ("ab");
    const auto bytes = bytesOf (md);
    EXPECT_EQ (std::count (bytes.begin() + 2, bytes.begin() + 128, 0), 126);

    // Fields filled to their end (a file or reply without NUL) stop there.
    std::memset (md.name, 'x', sizeof (md.name));
    std::memset (md.author, 'y', sizeof (md.author));
    EXPECT_EQ (md.getName(), std::string (128, 'x'));
    EXPECT_EQ (md.getAuthor(), std::string (256, 'y'));
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

    // Every byte outside the table goes, every byte inside stays; a name
    // without NUL is read to the field's end.
    PresetMetaData md;
    md.setAuthor ("a");
    for (size_t i = 0; i < sizeof (md.name); ++i)
        md.name[i] = (char) (i + 1);
    const std::string fileName = presetMetaDataToFileName (md);
    ASSERT_EQ (fileName.size(), 2 + 128 + std::strlen (".TalvoraXLPreset"));
    for (size_t i = 0; i < 128; ++i)
        EXPECT_EQ (fileName[2 + i], std::strchr (OK_FILE_NAME_CHARS, md.name[i]) != nullptr ? md.name[i] : '_') << i;
}

TEST (PresetMetaData, OrderIsNewestFirstThenAuthorThenNameWithIncompleteLast)
{
    const auto before = [] (const PresetMetaData& a, const PresetMetaData& b) { return PresetMetaDataCompare (a, b); };
    EXPECT_TRUE (before (record ("a", "n", "2026-12-06 10:00:01"), record ("a", "n", "2026-12-06 10:00:00")));
    EXPECT_FALSE (before (record ("a", "n", "2026-12-06 10:00:00"), record ("a", "n", "2026-12-06 10:00:01")));
    EXPECT_TRUE (before (record ("a", "z"), record ("b", "a")));
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
    // Few distinct values, so ties on time and author are common; no NULs
    // but the ones that make a fifth of the records incomplete.
    std::mt19937 rng (25);
    std::vector<PresetMetaData> records (10000);
    for (auto& md : records)
    {
        std::memset (md.name, 'a' + (int) (rng() % 3), sizeof (md.name));
        std::memset (md.author, 'a' + (int) (rng() % 3), sizeof (md.author));
        std::memset (md.lastModified, '0' + (int) (rng() % 3), sizeof (md.lastModified));
        md.name[rng() % sizeof (md.name)] = 'a' + (char) (rng() % 3);
        if (rng() % 5 == 0)
            (rng() % 2 ? md.name : md.lastModified)[0] = 0;
    }

    std::sort (records.begin(), records.end(), PresetMetaDataCompare);

    const auto key = [] (const PresetMetaData& md) {
        return std::string (md.lastModified, 32) + std::string (md.author, 256) + std::string (md.name, 128);
    };
    const auto firstIncomplete = std::find_if (records.begin(), records.end(), [] (const auto& md) { return ! md.isComplete(); });
    EXPECT_GT (records.end() - firstIncomplete, 1000);
    EXPECT_TRUE (std::none_of (firstIncomplete, records.end(), [] (const auto& md) { return md.isComplete(); }));
    for (auto it = records.begin(); it + 1 < firstIncomplete; ++it)
    {
        const std::string a = key (*it), b = key (*(it + 1));
        ASSERT_TRUE (a.compare (0, 32, b, 0, 32) > 0 || (a.compare (0, 32, b, 0, 32) == 0 && a <= b)) << it - records.begin();
    }
}
