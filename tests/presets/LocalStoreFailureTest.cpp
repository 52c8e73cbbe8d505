// The local preset folder when writes fail part way (a full disc, no inodes
// left, a step that fails) and when markers are not files: a write either
// completes or leaves every entry byte for byte as it was, and a delete mark
// never changes the preset's own bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <sys/stat.h>

#include "presets/LocalPresetStore.h"
#include "support/FolderOddities.h"
#include "support/SmallDisc.h"

namespace
{
class LocalStoreFailureTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("talvora_fail_" + juce::Uuid().toDashedString());
        ASSERT_TRUE (root.createDirectory().wasOk());
        useFolder (root.getChildFile ("presetcache"));
    }

    void TearDown() override
    {
        store.reset();
        disc.reset();
        root.deleteRecursively();
    }

    void useFolder (const juce::File& f)
    {
        folder = f;
        store = std::make_unique<LocalPresetStore> ([] { return true; },
                                                    [this] (juce::MemoryBlock& b) { b.append (state.getData(), state.getSize()); },
                                                    folder);
    }

    static juce::MemoryBlock makeState (unsigned seed)
    {
        juce::MemoryBlock b (LocalPresetStore::kStateSize);
        std::mt19937 rng (seed);
        std::generate_n (static_cast<uint8_t*> (b.getData()), b.getSize(), [&rng] { return (uint8_t) rng(); });
        return b;
    }

    static PresetMetaData pad()
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor ("jo@x.org");
        md.setName ("Pad");
        return md;
    }

    juce::File fileOfPad() const
    {
        const PresetMetaData md = pad();
        juce::File f;
        EXPECT_TRUE (store->metaDataToFile (&md, f));
        return f;
    }

    static juce::File marker (const juce::File& f, const char* suffix) { return f.getSiblingFile (f.getFileName() + suffix); }

    juce::StringArray image() const { return oddities::folderImage (folder); }

    static constexpr size_t kTimeOffset = 656, kTimeSize = 32; // the record's last-modified text

    // The image with the records' save times blanked: two runs of one write
    // give the same one whatever second each ran in.
    juce::StringArray imageWithoutTimes() const
    {
        juce::StringArray lines;
        for (const auto& e : juce::RangedDirectoryIterator (folder, false, "*", juce::File::findFilesAndDirectories))
        {
            juce::MemoryBlock bytes;
            e.getFile().loadFileAsData (bytes);
            if (bytes.getSize() >= presetmeta::kRecordSize)
                std::fill_n (static_cast<char*> (bytes.getData()) + kTimeOffset, kTimeSize, '\0');
            lines.add (e.getFile().getFileName() + " " + bytes.toBase64Encoding());
        }
        lines.sort (false);
        return lines;
    }

    // One kind of write, from a folder set up afresh each time.
    struct Scenario
    {
        const char* name;
        std::function<void()> setup;
        std::function<bool()> write;
    };

    std::vector<Scenario> scenarios()
    {
        const auto save = [this] (bool needSync) { state = makeState (1); PresetMetaData md = pad(); ASSERT_TRUE (store->savePresetToDisc (&md, needSync)); };
        const auto markDeleted = [this] { PresetMetaData md = pad(); ASSERT_TRUE (store->deletePresetFromDisc (&md, true)); };
        return {
            { "offline save", [] {}, [this] { state = makeState (2); PresetMetaData md = pad(); return store->savePresetToDisc (&md, true); } },
            { "download copy", [] {}, [this] { state = makeState (2); PresetMetaData md = pad(); return store->savePresetToDisc (&md, false); } },
            { "save over a delete mark", [=] { save (false); markDeleted(); },
              [this] { state = makeState (2); PresetMetaData md = pad(); return store->savePresetToDisc (&md, true); } },
            { "mark delete", [=] { save (false); }, [this] { PresetMetaData md = pad(); return store->deletePresetFromDisc (&md, true); } },
            { "mark delete of a pending edit", [=] { save (true); },
              [this] { PresetMetaData md = pad(); return store->deletePresetFromDisc (&md, true); } },
            { "clear markers", [=] { save (true); markDeleted(); }, [this] { return store->removeNeedSync (pad()); } },
            { "remove after the server's delete", [=] { save (true); markDeleted(); },
              [this] { PresetMetaData md = pad(); return store->deletePresetFromDisc (&md, false) && ! fileOfPad().exists(); } },
        };
    }

    void fresh (const Scenario& s)
    {
        store->mayChangeFile = nullptr;
        if (disc != nullptr)
            disc->release();
        folder.deleteRecursively();
        s.setup();
    }

    juce::File root, folder;
    juce::MemoryBlock state = makeState (1);
    std::unique_ptr<LocalPresetStore> store;
    std::unique_ptr<smalldisc::Tmpfs> disc;
};
} // namespace

TEST_F (LocalStoreFailureTest, EachStepOfEachWriteFailingLeavesEveryEntryAsItWas)
{
    for (const auto& s : scenarios())
    {
        // A clean run counts the steps and gives the end state.
        fresh (s);
        int calls = 0, failAt = -1;
        store->mayChangeFile = [&] (const juce::File&) { return calls++ != failAt; };
        ASSERT_TRUE (s.write()) << s.name;
        const int steps = calls;
        const auto done = imageWithoutTimes();
        ASSERT_GT (steps, 0) << s.name;

        for (failAt = 0; failAt < steps; ++failAt)
        {
            fresh (s);
            const auto before = image();
            calls = 0;
            store->mayChangeFile = [&] (const juce::File&) { return calls++ != failAt; };
            EXPECT_FALSE (s.write()) << s.name << " step " << failAt;
            EXPECT_EQ (image(), before) << s.name << " step " << failAt;

            // Once the disc has room again the same write goes through.
            calls = 0;
            store->mayChangeFile = nullptr;
            EXPECT_TRUE (s.write()) << s.name << " step " << failAt;
            EXPECT_EQ (imageWithoutTimes(), done) << s.name << " step " << failAt;
        }
    }
}

TEST_F (LocalStoreFailureTest, OutOfInodesOrSpaceEachWriteCompletesOrChangesNothing)
{
    disc = std::make_unique<smalldisc::Tmpfs> (root.getChildFile ("disc"));
    if (! disc->mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here";
    useFolder (root.getChildFile ("disc").getChildFile ("presetcache"));

    for (const auto& s : scenarios())
    {
        fresh (s);
        ASSERT_TRUE (s.write()) << s.name;
        const auto done = imageWithoutTimes();

        int failures = 0;
        // No inode left, one, two; no space left, a page, about half a preset.
        for (int limit = 0; limit < 6; ++limit)
        {
            fresh (s);
            const auto before = image();
            ASSERT_TRUE (limit < 3 ? disc->leaveInodes (limit) : disc->leaveBytes ((limit - 3) * 12 * 1024)) << s.name << limit;
            if (s.write())
                EXPECT_EQ (imageWithoutTimes(), done) << s.name << " limit " << limit;
            else
            {
                ++failures;
                EXPECT_EQ (image(), before) << s.name << " limit " << limit;
                disc->release();
                EXPECT_TRUE (s.write()) << s.name << " limit " << limit;
                EXPECT_EQ (imageWithoutTimes(), done) << s.name << " limit " << limit;
            }
        }
        // Whatever adds a file or a marker runs out with no inode to spare.
        const juce::String name (s.name);
        if (name != "clear markers" && name != "remove after the server's delete" && name != "mark delete of a pending edit")
            EXPECT_GT (failures, 0) << s.name;
    }
}

TEST_F (LocalStoreFailureTest, ADeleteMarkKeepsTheFilesBytesModeAndLinks)
{
    PresetMetaData md = pad();
    ASSERT_TRUE (store->savePresetToDisc (&md, false));
    const juce::File file = fileOfPad();
    ASSERT_EQ (::chmod (file.getFullPathName().toRawUTF8(), 0444), 0);

    // Saving again keeps the mode the user gave the file.
    state = makeState (3);
    ASSERT_TRUE (store->savePresetToDisc (&md, false));
    struct stat st;
    ASSERT_EQ (::stat (file.getFullPathName().toRawUTF8(), &st), 0);
    EXPECT_EQ (st.st_mode & 07777, 0444u);

    // Another name links to the file: a delete mark through either name adds
    // markers and changes no byte the other name reads.
    const juce::File link = folder.getChildFile ("Pad inlink.TalvoraXLPreset");
    ASSERT_TRUE (oddities::makeLink (link, file.getFileName().toRawUTF8()));
    const juce::MemoryBlock saved = state;
    state = makeState (4); // another program is current
    juce::MemoryBlock bytes;
    ASSERT_TRUE (file.loadFileAsData (bytes));
    for (const auto& f : { file, link })
    {
        PresetMetaData row = md;
        ASSERT_TRUE (store->deletePresetFile (f, &row, true)) << f.getFileName();
        EXPECT_TRUE (marker (f, ".needsync").existsAsFile());
        EXPECT_TRUE (marker (f, ".markeddelete").existsAsFile());
        juce::MemoryBlock now;
        ASSERT_TRUE (file.loadFileAsData (now));
        EXPECT_TRUE (now == bytes) << f.getFileName();
        juce::MemoryBlock loaded;
        EXPECT_TRUE (store->loadPresetFile (f, md, loaded) && loaded == saved) << f.getFileName();
        ASSERT_TRUE (store->removeNeedSync (f, md));
    }
    ASSERT_EQ (::stat (file.getFullPathName().toRawUTF8(), &st), 0);
    EXPECT_EQ (st.st_mode & 07777, 0444u);
}

TEST_F (LocalStoreFailureTest, MarkersThatAreNotFilesAreNeitherBelievedNorRemoved)
{
    PresetMetaData md = pad();
    ASSERT_TRUE (store->savePresetToDisc (&md, false));
    const juce::File file = fileOfPad();

    for (const char* suffix : { ".needsync", ".markeddelete" })
        for (const char* kind : { "dir", "fifo", "device" })
        {
            const juce::File odd = marker (file, suffix);
            const juce::String k (kind);
            ASSERT_TRUE (k == "dir" ? odd.createDirectory().wasOk() : k == "fifo" ? oddities::makeFifo (odd) : oddities::makeLink (odd, "/dev/null"));
            const auto before = image();

            const auto entries = store->listFolder (false);
            ASSERT_EQ (entries.size(), 1u) << suffix << " " << kind << ": a preset hidden by what is not a marker";
            EXPECT_FALSE (entries[0].needSync) << suffix << " " << kind;
            EXPECT_FALSE (entries[0].markedDelete) << suffix << " " << kind;
            EXPECT_TRUE (entries[0].oddMarker) << suffix << " " << kind;
            EXPECT_FALSE (store->isMarkedDeleted (file, md)) << suffix << " " << kind;
            EXPECT_FALSE (store->removeNeedSync (file, md)) << suffix << " " << kind;
            PresetMetaData row = md;
            EXPECT_FALSE (store->deletePresetFile (file, &row, true)) << suffix << " " << kind;
            EXPECT_EQ (image(), before) << suffix << " " << kind;

            ASSERT_TRUE (odd.isDirectory() ? odd.deleteRecursively() : odd.deleteFile());
        }

    // With the other marker a file, that one alone still counts.
    ASSERT_TRUE (marker (file, ".markeddelete").createDirectory().wasOk());
    ASSERT_TRUE (marker (file, ".needsync").create().wasOk());
    EXPECT_FALSE (store->isMarkedDeleted (file, md));
    const auto entries = store->listFolder (false);
    ASSERT_EQ (entries.size(), 1u);
    EXPECT_TRUE (entries[0].needSync && entries[0].oddMarker);
}

TEST_F (LocalStoreFailureTest, MarkingAVanishedOrUnreadableFileFailsWithItsOwnTextAndMakesNothing)
{
    PresetMetaData md = pad();
    ASSERT_TRUE (store->savePresetToDisc (&md, false));
    const juce::File file = fileOfPad();
    const auto listed = store->listFolder (false);
    ASSERT_EQ (listed.size(), 1u);
    ASSERT_TRUE (file.deleteFile());

    juce::String why;
    PresetMetaData row = md;
    EXPECT_FALSE (store->deletePresetFile (listed[0].file, &row, true, &why));
    EXPECT_EQ (why, LocalPresetStore::kFileGoneText);
    EXPECT_TRUE (image().isEmpty()) << image().joinIntoString (", ");

    // Cut short: no record to tell whose it is.
    ASSERT_TRUE (file.replaceWithText ("cut"));
    const auto before = image();
    EXPECT_FALSE (store->deletePresetFile (file, &row, true, &why));
    EXPECT_EQ (why, LocalPresetStore::kUnreadableText);
    EXPECT_EQ (image(), before);
}
