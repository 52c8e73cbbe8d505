// What the preset server owns in the records it stores and hands on: the
// time of an upload it cannot trust, reserved bytes, the fields it fills and
// the public flag; and a data folder named relative to the working folder.

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>

#include "ServerRig.h"

using namespace serverrig;

namespace
{
const std::string kAnn = "ann@example.org", kAnnPassword = "ann's secret";

std::string localTimeText (std::time_t t)
{
    std::tm local {};
    ::localtime_r (&t, &local);
    char text[32] = {};
    std::strftime (text, sizeof (text), "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// Seconds between a record's time and now; a large number when it is no time.
double secondsFromNow (std::string_view text)
{
    std::tm parsed {};
    const std::string copy (text);
    const char* end = ::strptime (copy.c_str(), "%Y-%m-%d %H:%M:%S", &parsed);
    if (end == nullptr || *end != 0)
        return 1e9;
    parsed.tm_isdst = -1;
    return std::difftime (std::mktime (&parsed), std::time (nullptr));
}

const PresetMetaData* named (const std::vector<PresetMetaData>& rows, const std::string& name)
{
    for (const auto& md : rows)
        if (md.getName() == name)
            return &md;
    return nullptr;
}
} // namespace

TEST (PresetServerRecords, TimesItCannotTrustBecomeItsOwn)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);

    const std::string anHourAhead = localTimeText (std::time (nullptr) + 3600);
    const std::vector<std::pair<std::string, std::string>> uploads {
        { "Empty", "" },
        { "Far Future", "9999-12-31 23:59:59" },
        { "Junk", std::string (31, '\x7f') },
        { "Two Days Ahead", localTimeText (std::time (nullptr) + 2 * 24 * 3600) },
        { "Thirty First", "2023-02-31 10:00:00" },
        { "Past", "2024-05-01 10:00:00" },
        { "Soon", anHourAhead },
    };
    for (const auto& [name, time] : uploads)
        EXPECT_EQ (rig.upload (kAnn, kAnnPassword, record (name, time), presetBytes (1)).type(), (uint32_t) REQUEST_OK) << name;

    const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
    ASSERT_EQ (rows.size(), uploads.size());
    for (const char* name : { "Empty", "Far Future", "Junk", "Two Days Ahead", "Thirty First" })
    {
        const auto* md = named (rows, name);
        ASSERT_NE (md, nullptr) << name;
        EXPECT_LT (std::abs (secondsFromNow (md->getLastModified())), 60.0) << name << ": " << md->getLastModified();
    }
    // Real times no more than a day ahead stand as sent, and order the list.
    EXPECT_EQ (named (rows, "Past")->getLastModified(), "2024-05-01 10:00:00");
    EXPECT_EQ (named (rows, "Soon")->getLastModified(), anHourAhead);
    EXPECT_EQ (rows.front().getName(), "Soon");
    EXPECT_EQ (rows.back().getName(), "Past");

    // One stored before the server owned its records is cleaned at the next start.
    {
        PresetDatabase direct;
        std::string error;
        ASSERT_TRUE (direct.open (rig.folder().getChildFile ("presets.sqlite").getFullPathName().toStdString(), error)) << error;
        PresetMetaData old = record ("Stored Before", "9999-12-31 23:59:59");
        old.setAuthor (kAnn);
        ASSERT_EQ (direct.putPreset (old, presetBytes (5)), PresetDatabase::Put::stored);
    }
    rig.restart();
    const auto after = rig.list (kAnn, kAnnPassword, 0).presets();
    ASSERT_EQ (after.size(), uploads.size() + 1);
    ASSERT_NE (named (after, "Stored Before"), nullptr);
    EXPECT_LT (std::abs (secondsFromNow (named (after, "Stored Before")->getLastModified())), 60.0);
    EXPECT_EQ (after.front().getName(), "Soon");
}

TEST (PresetServerRecords, ReservedAndServerFieldsAreTheServers)
{
    Rig rig;
    rig.addAccount (kAnn, kAnnPassword);

    auto dirty = [] (const std::string& name, uint32_t isPublic, uint32_t version) {
        PresetMetaData md = record (name, "2024-05-01 10:00:00");
        std::memset (md.reserved1, 0xab, sizeof (md.reserved1));
        std::memset (md.reserved2, 0xcd, sizeof (md.reserved2));
        std::memset (md.name + 20, 'x', sizeof (md.name) - 21); // bytes after the name's end
        md.rating = 5.0;
        md.ratingCount = 77;
        md.listOffset = 9;
        md.listTotal = 1000;
        md.isPublic = isPublic;
        md.version = version;
        return md;
    };
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, dirty ("All Ones", 0xffffffffu, 102), presetBytes (2)).type(), (uint32_t) REQUEST_OK);
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, dirty ("Private", 0, 103), presetBytes (3)).type(), (uint32_t) REQUEST_OK);
    ASSERT_EQ (rig.upload (kAnn, kAnnPassword, dirty ("Odd Version", 7, 0x12345678), presetBytes (4)).type(), (uint32_t) REQUEST_OK);

    const auto rows = rig.list (kAnn, kAnnPassword, 0).presets();
    ASSERT_EQ (rows.size(), 3u);
    for (const auto& md : rows)
    {
        const std::string name (md.getName());
        for (const uint8_t b : md.reserved1)
            ASSERT_EQ (b, 0) << name;
        for (const uint8_t b : md.reserved2)
            ASSERT_EQ (b, 0) << name;
        for (size_t i = name.size(); i < sizeof (md.name); ++i)
            ASSERT_EQ (md.name[i], 0) << name;
        EXPECT_EQ (md.rating, 0.0) << name;
        EXPECT_EQ (md.ratingCount, 0) << name;
    }
    EXPECT_EQ (named (rows, "All Ones")->isPublic, 1u);
    EXPECT_EQ (named (rows, "All Ones")->version, 102u);
    EXPECT_EQ (named (rows, "Private")->isPublic, 0u);
    EXPECT_EQ (named (rows, "Private")->version, 103u);
    EXPECT_EQ (named (rows, "Odd Version")->isPublic, 1u);
    EXPECT_EQ (named (rows, "Odd Version")->version, 103u);
    EXPECT_EQ (rows[0].listOffset, 0u);
    EXPECT_EQ (rows[0].listTotal, 3u);
    EXPECT_EQ (rows[1].listTotal, 0u);

    // Another user sees the public ones only, as relayed.
    rig.addAccount ("bob@example.org", "bob's");
    const auto seen = rig.list ("bob@example.org", "bob's", 0).presets();
    ASSERT_EQ (seen.size(), 2u);
    EXPECT_EQ (named (seen, "Private"), nullptr);
}

TEST (PresetServerRecords, DataFolderMayBeRelative)
{
    const juce::File base = juce::File::getSpecialLocation (juce::File::tempDirectory)
                                .getChildFile ("talvora-relative-" + juce::Uuid().toDashedString());
    ASSERT_TRUE (base.createDirectory());
    const juce::File previous = juce::File::getCurrentWorkingDirectory();
    ASSERT_TRUE (base.setAsCurrentWorkingDirectory());

    for (const char* relative : { "not/yet/there", "./not/yet/there", "../" })
    {
        PresetServerOptions options;
        options.keyBits = 512;
        options.port = 0;
        options.dataFolder = relative == std::string ("../") ? "../" + base.getFileName().toStdString() + "/other"
                                                             : std::string (relative);
        PresetServer server (options);
        std::string error;
        EXPECT_TRUE (server.open (error)) << relative << ": " << error;
    }
    EXPECT_TRUE (base.getChildFile ("not/yet/there/presets.sqlite").existsAsFile());
    EXPECT_TRUE (base.getChildFile ("other/public_key.txt").existsAsFile());

    previous.setAsCurrentWorkingDirectory();
    base.deleteRecursively();
}
