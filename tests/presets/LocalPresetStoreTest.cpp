// The local preset folder driven with a temporary folder and a fixed state:
// what lands on disk, what the list and loads accept, and that no failure,
// crash or name clash costs a stored preset.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "presets/LocalPresetStore.h"
#include "support/FolderOddities.h"

namespace
{
struct Interrupted {};

// The store with its seams: a writer that gives up after some bytes, and a
// stop between the finished temporary file and its rename, as a crash would.
class SeamStore : public LocalPresetStore
{
public:
    using LocalPresetStore::LocalPresetStore;

    juce::int64 failAfter = -1;
    bool writerAdmitsFailure = true;
    bool interrupt = false;

protected:
    bool writeBytes (juce::FileOutputStream& out, const void* data, size_t size) override
    {
        if (failAfter < 0)
            return LocalPresetStore::writeBytes (out, data, size);
        out.write (data, std::min (size, (size_t) failAfter));
        return ! writerAdmitsFailure;
    }

    void beforeReplace (const juce::File&) override
    {
        if (interrupt)
            throw Interrupted {};
    }
};

class LocalPresetStoreTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = juce::File::getSpecialLocation (juce::File::tempDirectory).getChildFile ("talvora_store_" + juce::Uuid().toDashedString());
        ASSERT_TRUE (root.createDirectory().wasOk());
        folder = root.getChildFile ("presetcache");
        owned = std::make_unique<SeamStore> ([this] { return enabled; },
                                             [this] (juce::MemoryBlock& b) { b.append (state.getData(), state.getSize()); },
                                             folder);
    }

    void TearDown() override { root.deleteRecursively(); }

    SeamStore& store() { return *owned; }

    static juce::MemoryBlock makeState (unsigned seed, size_t size = LocalPresetStore::kStateSize)
    {
        juce::MemoryBlock b (size);
        std::mt19937 rng (seed);
        std::generate_n (static_cast<uint8_t*> (b.getData()), size, [&rng] { return (uint8_t) rng(); });
        return b;
    }

    static PresetMetaData record (const char* author, const char* name, const char* time = "")
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (author);
        md.setName (name);
        md.setLastModified (time);
        return md;
    }

    static juce::MemoryBlock bytesOf (const PresetMetaData& md, const juce::MemoryBlock& tail = {})
    {
        juce::MemoryBlock b (presetmeta::kRecordSize);
        presetmeta::toBytes (md, static_cast<uint8_t*> (b.getData()));
        b.append (tail.getData(), tail.getSize());
        return b;
    }

    static juce::MemoryBlock read (const juce::File& f)
    {
        juce::MemoryBlock b;
        f.loadFileAsData (b);
        return b;
    }

    juce::File fileOf (const PresetMetaData& md) const
    {
        juce::File f;
        EXPECT_TRUE (owned->metaDataToFile (&md, f));
        return f;
    }

    static juce::File marker (const juce::File& f, const char* suffix) { return f.getSiblingFile (f.getFileName() + suffix); }

    // Every file under the temporary root, as "relative/path", sorted.
    juce::StringArray allFiles() const
    {
        juce::StringArray names;
        for (const auto& e : juce::RangedDirectoryIterator (root, true, "*", juce::File::findFiles))
            names.add (e.getFile().getRelativePathFrom (root));
        names.sort (false);
        return names;
    }

    juce::StringArray folderImage() const { return oddities::folderImage (root); }

    std::vector<std::string> listedNames() const
    {
        std::vector<std::string> names;
        for (const auto& md : owned->getLocalPresets())
            names.emplace_back (md.getName());
        std::sort (names.begin(), names.end());
        return names;
    }

    juce::File root, folder;
    bool enabled = true;
    juce::MemoryBlock state = makeState (1);
    std::unique_ptr<SeamStore> owned;
};
} // namespace

TEST_F (LocalPresetStoreTest, SaveWritesStampedRecordThenStateAndAnEmptySyncMarker)
{
    PresetMetaData md = record ("jo.doe@x.org", "Big Pad 2");
    const juce::String before = LocalPresetStore::formatTime (juce::Time::getCurrentTime());
    ASSERT_TRUE (store().savePresetToDisc (&md, true));
    const juce::String after = LocalPresetStore::formatTime (juce::Time::getCurrentTime());

    const juce::String stamp (md.getLastModified().data(), md.getLastModified().size());
    EXPECT_EQ (stamp.length(), 19);
    EXPECT_TRUE (before <= stamp && stamp <= after) << stamp;

    const juce::File file = folder.getChildFile ("jo_doe_Big_Pad_2.TalvoraXLPreset");
    const juce::MemoryBlock expected = bytesOf (md, state);
    EXPECT_EQ (file.getSize(), 25534);
    EXPECT_TRUE (read (file) == expected);
    EXPECT_TRUE (marker (file, ".needsync").existsAsFile());
    EXPECT_EQ (marker (file, ".needsync").getSize(), 0);

    juce::MemoryBlock loaded;
    ASSERT_TRUE (store().loadPresetFromDiscToMemoryBlock (md, loaded));
    EXPECT_TRUE (loaded == state);

    const auto list = store().getLocalPresets();
    ASSERT_EQ (list.size(), 1u);
    EXPECT_TRUE (bytesOf (list[0]) == bytesOf (md));
}

TEST_F (LocalPresetStoreTest, SwitchedOffEverythingButThePathsIsIdle)
{
    PresetMetaData md = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&md, true));
    const juce::File file = fileOf (md);
    const auto filesBefore = allFiles();
    const juce::MemoryBlock bytesBefore = read (file);

    enabled = false;
    PresetMetaData fresh = record ("jo@x.org", "New");
    EXPECT_FALSE (store().savePresetToDisc (&fresh, true));
    EXPECT_TRUE (fresh.getLastModified().empty());
    EXPECT_FALSE (store().deletePresetFromDisc (&md, false));
    EXPECT_FALSE (store().removeNeedSync (md));
    EXPECT_TRUE (store().getLocalPresets().empty());
    juce::MemoryBlock loaded;
    EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (md, loaded));
    EXPECT_EQ (allFiles(), filesBefore);
    EXPECT_TRUE (read (file) == bytesBefore);
    EXPECT_EQ (store().getLocalPresetsPath(), folder.getFullPathName());
}

TEST_F (LocalPresetStoreTest, NamesStayInsideTheFolderAndFollowBothNamingSteps)
{
    for (const auto& [author, name] : { std::pair { "../../etc/x", "Pad" }, { "jo@x.org", "../../etc/x" } })
    {
        PresetMetaData md = record (author, name);
        EXPECT_EQ (fileOf (md).getParentDirectory(), folder) << author << " " << name;
        EXPECT_TRUE (store().savePresetToDisc (&md, true));
    }
    for (const auto& f : allFiles())
        EXPECT_TRUE (f.startsWith ("presetcache/") && ! f.fromFirstOccurrenceOf ("/", false, false).containsAnyOf ("/\\"))
            << f;

    PresetMetaData ab = record ("x@d.org", "A#B");
    EXPECT_EQ (fileOf (ab).getFileName(), "x_AB.TalvoraXLPreset");

    // Too long for the file system with its marker: refused before anything is written.
    const std::string longName (127, 'n');
    PresetMetaData tooLong = record (std::string (127, 'a').c_str(), longName.c_str());
    const auto filesBefore = allFiles();
    juce::File unused;
    EXPECT_FALSE (store().metaDataToFile (&tooLong, unused));
    EXPECT_FALSE (store().savePresetToDisc (&tooLong, true));
    EXPECT_EQ (allFiles(), filesBefore);
}

TEST_F (LocalPresetStoreTest, ListingTakesBothExtensionsSkipsDeletedHiddenAndShortFiles)
{
    PresetMetaData pad = record ("jo@x.org", "Pad");
    PresetMetaData gone = record ("jo@x.org", "Gone");
    ASSERT_TRUE (store().savePresetToDisc (&pad, false));
    ASSERT_TRUE (store().savePresetToDisc (&gone, true));
    ASSERT_TRUE (store().deletePresetFromDisc (&gone, true));

    // Lower-case extension, empty time: listed, with the file's time.
    PresetMetaData lower = record ("jo@x.org", "Lower");
    const juce::MemoryBlock lowerBytes = bytesOf (lower, state);
    ASSERT_TRUE (folder.getChildFile ("jo_Lower.talvoraxlpreset").replaceWithData (lowerBytes.getData(), lowerBytes.getSize()));

    // A leftover of an interrupted write, a 50 MB file with a record, short and empty files.
    PresetMetaData leftover = record ("jo@x.org", "Leftover", "2026-01-01 00:00:00");
    const juce::MemoryBlock leftoverBytes = bytesOf (leftover);
    ASSERT_TRUE (folder.getChildFile (".Pad_temp1a2b.TalvoraXLPreset").replaceWithData (leftoverBytes.getData(), leftoverBytes.getSize()));
    PresetMetaData big = record ("jo@x.org", "Big", "2026-01-01 00:00:00");
    {
        juce::FileOutputStream out (folder.getChildFile ("jo_Big.TalvoraXLPreset"));
        out.write (bytesOf (big).getData(), presetmeta::kRecordSize);
        out.setPosition (50 * 1024 * 1024 - 1);  // sparse: cheap to make, costly to read whole
        out.writeByte (1);
    }
    ASSERT_TRUE (folder.getChildFile ("empty.TalvoraXLPreset").create().wasOk());
    ASSERT_TRUE (folder.getChildFile ("short.TalvoraXLPreset").replaceWithData (leftoverBytes.getData(), 100));

    // Bytes this process has read so far (Linux).
    const auto readSoFar = []
    {
        juce::StringArray lines;
        lines.addLines (juce::File ("/proc/self/io").loadFileAsString());
        for (const auto& line : lines)
            if (line.startsWith ("rchar:"))
                return line.fromFirstOccurrenceOf (":", false, false).trim().getLargeIntValue();
        return (juce::int64) 0;
    };
    const juce::int64 readBefore = readSoFar();
    ASSERT_GT (readBefore, 0);
    const auto list = store().getLocalPresets();
    const juce::int64 readDuring = readSoFar() - readBefore;

    EXPECT_EQ (list.size(), 3u);
    EXPECT_EQ (listedNames(), (std::vector<std::string> { "Big", "Lower", "Pad" }));
    for (const auto& md : list)
        if (md.getName() == "Lower")
            EXPECT_EQ (juce::String (md.getLastModified().data(), md.getLastModified().size()),
                       LocalPresetStore::formatTime (folder.getChildFile ("jo_Lower.talvoraxlpreset").getLastModificationTime()));
    // The three records, and a little for reading the counter itself.
    EXPECT_LE (readDuring, 3 * (juce::int64) presetmeta::kRecordSize + 4096) << "files are read past their record";

    // Hidden from the list, still loadable; the big one is refused, not read whole.
    juce::MemoryBlock loaded;
    EXPECT_TRUE (store().loadPresetFromDiscToMemoryBlock (gone, loaded));
    EXPECT_TRUE (loaded == state);
    EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (big, loaded));
}

TEST_F (LocalPresetStoreTest, LoadRefusesDamagedFilesAndFilesOlderThanTheRecord)
{
    PresetMetaData md = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&md, false));
    const juce::File file = fileOf (md);
    const juce::MemoryBlock good = read (file);
    juce::MemoryBlock loaded = makeState (7, 3);
    const juce::MemoryBlock untouched = loaded;

    for (const size_t size : { presetmeta::kRecordSize, LocalPresetStore::kFileSize - 1, LocalPresetStore::kFileSize + 1 })
    {
        juce::MemoryBlock bytes = good;
        bytes.setSize (size, true);
        ASSERT_TRUE (file.replaceWithData (bytes.getData(), bytes.getSize()));
        EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (md, loaded)) << size;
        EXPECT_TRUE (loaded == untouched);
    }

    ASSERT_TRUE (file.replaceWithData (good.getData(), good.getSize()));
    ASSERT_TRUE (file.setLastModificationTime (juce::Time::getCurrentTime() - juce::RelativeTime::hours (2)));
    EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (md, loaded)) << "stale file loaded";
    EXPECT_TRUE (loaded == untouched);

    // Within the record's minute the file is not stale: seconds are ignored.
    const juce::Time stamped = juce::Time (LocalPresetStore::recordTime (md));
    ASSERT_TRUE (file.setLastModificationTime (stamped));
    EXPECT_TRUE (store().loadPresetFromDiscToMemoryBlock (md, loaded));
    loaded = untouched;

    // Without a usable time the file's age does not matter.
    ASSERT_TRUE (file.setLastModificationTime (juce::Time (1000LL * 3600 * 24 * 400)));
    for (const char* time : { "1970-06-01 12:00:00", "" })
    {
        md.setLastModified (time);
        loaded = untouched;
        EXPECT_TRUE (store().loadPresetFromDiscToMemoryBlock (md, loaded)) << time;
        EXPECT_EQ (loaded.getSize(), untouched.getSize() + state.getSize());
        EXPECT_EQ (std::memcmp (static_cast<const char*> (loaded.getData()) + untouched.getSize(), state.getData(), state.getSize()), 0);
    }

    // A state that is not a whole program is never written.
    state = makeState (2, LocalPresetStore::kStateSize - 1);
    EXPECT_FALSE (store().savePresetToDisc (&md, true));
    EXPECT_TRUE (read (file) == good);
    EXPECT_FALSE (marker (file, ".needsync").exists());
}

TEST_F (LocalPresetStoreTest, ACrashOrAFailedWriteLeavesTheOldFileAndItsMarkers)
{
    PresetMetaData md = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&md, false));
    const juce::File file = fileOf (md);
    const juce::MemoryBlock old = read (file);
    state = makeState (2);

    // Stopped before the rename: the old file whole, the leftover hidden and never listed or marked.
    store().interrupt = true;
    EXPECT_THROW (store().savePresetToDisc (&md, true), Interrupted);
    store().interrupt = false;
    EXPECT_TRUE (read (file) == old);
    EXPECT_EQ (allFiles().size(), 2);
    for (const auto& f : allFiles())
        EXPECT_TRUE (f == "presetcache/" + file.getFileName() || f.startsWith ("presetcache/.")) << f;
    EXPECT_EQ (listedNames(), std::vector<std::string> { "Pad" });
    EXPECT_FALSE (marker (file, ".needsync").exists());

    // The writer fails after 10,000 bytes, saying so or not: nothing changes, nothing is left.
    const auto filesBefore = allFiles();
    store().failAfter = 10000;
    for (const bool admits : { true, false })
    {
        store().writerAdmitsFailure = admits;
        EXPECT_FALSE (store().savePresetToDisc (&md, true));
        EXPECT_TRUE (read (file) == old);
        EXPECT_EQ (allFiles(), filesBefore);
    }

    // Same with markers in place: they stay, the pending delete too.
    store().failAfter = -1;
    ASSERT_TRUE (store().deletePresetFromDisc (&md, true));
    const juce::MemoryBlock marked = read (file);
    store().failAfter = 10000;
    EXPECT_FALSE (store().savePresetToDisc (&md, true));
    EXPECT_TRUE (store().deletePresetFromDisc (&md, true)); // marking writes no file
    EXPECT_TRUE (read (file) == marked);
    EXPECT_TRUE (marker (file, ".needsync").exists());
    EXPECT_TRUE (marker (file, ".markeddelete").exists());
}

TEST_F (LocalPresetStoreTest, PresetsSharingAFileNameNeverOverwriteAPendingEdit)
{
    PresetMetaData a = record ("jo@a.org", "Pad");
    PresetMetaData b = record ("jo@b.org", "Pad");
    ASSERT_EQ (fileOf (a), fileOf (b));
    const juce::File file = fileOf (a);

    ASSERT_TRUE (store().savePresetToDisc (&a, true));
    const juce::MemoryBlock stateA = state;
    const juce::MemoryBlock fileA = read (file);
    state = makeState (2);

    EXPECT_FALSE (store().savePresetToDisc (&b, false)) << "server copy replaced a pending edit";
    EXPECT_FALSE (store().savePresetToDisc (&b, true)) << "another preset replaced a pending edit";
    EXPECT_FALSE (store().deletePresetFromDisc (&b, true));
    EXPECT_TRUE (store().deletePresetFromDisc (&b, false));
    PresetMetaData aFromServer = a;
    EXPECT_FALSE (store().savePresetToDisc (&aFromServer, false)) << "download replaced the edit not yet uploaded";
    EXPECT_TRUE (read (file) == fileA);
    EXPECT_TRUE (marker (file, ".needsync").exists());

    juce::MemoryBlock loaded;
    EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (b, loaded));
    EXPECT_TRUE (store().loadPresetFromDiscToMemoryBlock (a, loaded));
    EXPECT_TRUE (loaded == stateA);
}

TEST_F (LocalPresetStoreTest, DeleteHidesOrRemovesAndSavingAgainBringsThePresetBack)
{
    PresetMetaData pad = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&pad, false));
    const juce::File file = fileOf (pad);

    ASSERT_TRUE (store().deletePresetFromDisc (&pad, true));
    EXPECT_TRUE (marker (file, ".needsync").exists());
    EXPECT_TRUE (marker (file, ".markeddelete").exists());
    EXPECT_TRUE (listedNames().empty());

    ASSERT_TRUE (store().savePresetToDisc (&pad, true));
    EXPECT_FALSE (marker (file, ".markeddelete").exists());
    EXPECT_TRUE (marker (file, ".needsync").exists());
    EXPECT_EQ (listedNames(), std::vector<std::string> { "Pad" });

    ASSERT_TRUE (store().deletePresetFromDisc (&pad, true));
    ASSERT_TRUE (store().removeNeedSync (pad));
    EXPECT_FALSE (marker (file, ".needsync").exists());
    EXPECT_FALSE (marker (file, ".markeddelete").exists());
    EXPECT_TRUE (file.existsAsFile());

    // Removed outright: the file goes, a marker there stays for the sync.
    ASSERT_TRUE (store().savePresetToDisc (&pad, true));
    EXPECT_TRUE (store().deletePresetFromDisc (&pad, false));
    EXPECT_FALSE (file.exists());
    EXPECT_TRUE (marker (file, ".needsync").exists());
    EXPECT_TRUE (listedNames().empty());
}

TEST_F (LocalPresetStoreTest, FolderIsMadeOnFirstUseAndAFileInItsPlaceDisablesTheStore)
{
    EXPECT_FALSE (folder.exists());
    EXPECT_EQ (store().getLocalPresetsPath(), folder.getFullPathName());
    EXPECT_TRUE (folder.isDirectory());

    ASSERT_TRUE (folder.deleteRecursively());
    ASSERT_TRUE (folder.create().wasOk());
    PresetMetaData md = record ("jo@x.org", "Pad");
    juce::File unused;
    EXPECT_EQ (store().getLocalPresetsPath(), juce::String());
    EXPECT_FALSE (store().metaDataToFile (&md, unused));
    EXPECT_FALSE (store().savePresetToDisc (&md, true));
    EXPECT_TRUE (folder.existsAsFile() && folder.getSize() == 0);
}

TEST_F (LocalPresetStoreTest, PresetsSharingAFileNameNeverReplaceEachOther)
{
    PresetMetaData pad = record ("jo@x.org", "Pad 1");
    ASSERT_TRUE (store().savePresetToDisc (&pad, false)); // in step with the server: no marker
    const juce::File file = fileOf (pad);
    const juce::MemoryBlock padBytes = read (file);
    const juce::StringArray filesBefore = allFiles();
    state = makeState (2);

    // Another name, and another author whose address maps alike: every kind
    // of write is refused with a text that names the preset in the file.
    for (PresetMetaData other : { record ("jo@x.org", "Pad_1"), record ("jo@y.org", "Pad 1") })
    {
        ASSERT_EQ (fileOf (other), file);
        for (int kind = 0; kind < 3; ++kind)
        {
            juce::String refusal;
            const bool written = kind == 2 ? store().deletePresetFromDisc (&other, true, &refusal)
                                           : store().savePresetToDisc (&other, kind == 1, &refusal);
            EXPECT_FALSE (written) << kind;
            EXPECT_EQ (refusal, "local copy refused, its file holds \"Pad 1\" by jo") << kind;
        }
        EXPECT_FALSE (store().removeNeedSync (other));
        EXPECT_TRUE (read (file) == padBytes);
        EXPECT_EQ (allFiles(), filesBefore);
    }

    // Its own preset replaces the file as before, and no refusal is given.
    juce::String refusal;
    ASSERT_TRUE (store().savePresetToDisc (&pad, false, &refusal));
    EXPECT_TRUE (refusal.isEmpty());
    juce::MemoryBlock loaded;
    ASSERT_TRUE (store().loadPresetFromDiscToMemoryBlock (pad, loaded));
    EXPECT_TRUE (loaded == state);

    // Hidden for a server delete: the other preset leaves both markers alone.
    ASSERT_TRUE (store().deletePresetFromDisc (&pad, true));
    const juce::MemoryBlock markedBytes = read (file);
    PresetMetaData other = record ("jo@x.org", "Pad_1");
    EXPECT_FALSE (store().savePresetToDisc (&other, true));
    EXPECT_FALSE (store().removeNeedSync (other));
    EXPECT_TRUE (read (file) == markedBytes);
    EXPECT_TRUE (marker (file, ".needsync").exists());
    EXPECT_TRUE (marker (file, ".markeddelete").exists());
}

TEST_F (LocalPresetStoreTest, ListingRemovesOnlyItsOwnStaleTemporaries)
{
    PresetMetaData pad = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&pad, false));
    const juce::Time now = juce::Time::getCurrentTime();
    const auto make = [this] (const char* name, juce::Time time)
    {
        const juce::File f = folder.getChildFile (name);
        EXPECT_TRUE (f.replaceWithText ("partial"));
        EXPECT_TRUE (f.setLastModificationTime (time));
        return f;
    };
    const juce::File stale = make (".presetsave_1a2b3c.tmp", now - juce::RelativeTime::minutes (2));
    const juce::File fresh = make (".presetsave_4d5e6f.tmp", now - juce::RelativeTime::seconds (20));
    const juce::File foreign = make (".other_1a2b3c.tmp", now - juce::RelativeTime::hours (1));

    enabled = false; // switched off, the store touches nothing
    EXPECT_TRUE (store().getLocalPresets().empty());
    EXPECT_TRUE (stale.existsAsFile());

    enabled = true;
    EXPECT_EQ (listedNames(), std::vector<std::string> { "Pad" });
    EXPECT_FALSE (stale.exists());
    EXPECT_TRUE (fresh.existsAsFile());
    EXPECT_TRUE (foreign.existsAsFile());
}

TEST_F (LocalPresetStoreTest, ACopyUnderAnyNameLoadsMarksAndDeletesItsOwnFileOnly)
{
    PresetMetaData dup = record ("jo@x.org", "Dup");
    ASSERT_TRUE (store().savePresetToDisc (&dup, false));
    const juce::File original = fileOf (dup);
    const juce::File copy = folder.getChildFile ("Dup (1).TalvoraXLPreset");
    ASSERT_TRUE (original.copyFileTo (copy));
    const juce::MemoryBlock stateOne = state, originalBytes = read (original);

    auto entries = store().listFolder (false);
    ASSERT_EQ (entries.size(), 2u);
    for (const auto& e : entries)
    {
        EXPECT_TRUE (e.file == original || e.file == copy) << e.file.getFullPathName();
        juce::MemoryBlock loaded;
        ASSERT_TRUE (store().loadPresetFile (e.file, e.record, loaded));
        EXPECT_TRUE (loaded == stateOne);
    }

    // Marked deleted with another program current: the copy alone is rewritten
    // and hidden, with markers of its own name; the original still loads its state.
    state = makeState (2);
    PresetMetaData fromCopy = dup;
    ASSERT_TRUE (store().deletePresetFile (copy, &fromCopy, true));
    EXPECT_TRUE (marker (copy, ".needsync").existsAsFile());
    EXPECT_TRUE (marker (copy, ".markeddelete").existsAsFile());
    EXPECT_FALSE (marker (original, ".needsync").exists());
    EXPECT_TRUE (store().isMarkedDeleted (copy, dup));
    EXPECT_FALSE (store().isMarkedDeleted (original, dup));
    entries = store().listFolder (false);
    ASSERT_EQ (entries.size(), 1u);
    EXPECT_EQ (entries[0].file, original);
    ASSERT_EQ (store().listFolder (true).size(), 2u);
    juce::MemoryBlock loaded;
    ASSERT_TRUE (store().loadPresetFile (original, dup, loaded));
    EXPECT_TRUE (loaded == stateOne);
    EXPECT_TRUE (read (original) == originalBytes);

    // The server's word: the copy and its markers go, nothing else.
    ASSERT_TRUE (store().deletePresetFile (copy, &fromCopy, false));
    ASSERT_TRUE (store().removeNeedSync (copy, dup));
    EXPECT_EQ (allFiles(), juce::StringArray ("presetcache/" + original.getFileName()));
    EXPECT_TRUE (read (original) == originalBytes);

    // Renamed, alone, with the other case of the extension: listed, loaded and
    // deleted as itself, and the record's own file name never appears.
    const juce::File renamed = folder.getChildFile ("Dup backup.talvoraxlpreset");
    ASSERT_TRUE (original.moveFileTo (renamed));
    entries = store().listFolder (false);
    ASSERT_EQ (entries.size(), 1u);
    EXPECT_EQ (entries[0].file, renamed);
    loaded.reset();
    EXPECT_TRUE (store().loadPresetFile (renamed, dup, loaded) && loaded == stateOne);
    EXPECT_FALSE (store().loadPresetFromDiscToMemoryBlock (dup, loaded)) << "the record's own name has no file";
    ASSERT_TRUE (store().deletePresetFile (renamed, &fromCopy, true));
    EXPECT_TRUE (store().isMarkedDeleted (renamed, dup));
    ASSERT_TRUE (store().deletePresetFile (renamed, &fromCopy, false));
    ASSERT_TRUE (store().removeNeedSync (renamed, dup));
    EXPECT_TRUE (allFiles().isEmpty()) << allFiles().joinIntoString (", ");

    // Files elsewhere, hidden or of another kind are not the store's.
    const juce::File outside = root.getChildFile ("jo_Dup.TalvoraXLPreset");
    ASSERT_TRUE (outside.replaceWithData (originalBytes.getData(), originalBytes.getSize()));
    const juce::File hidden = folder.getChildFile (".jo_Dup.TalvoraXLPreset");
    ASSERT_TRUE (hidden.replaceWithData (originalBytes.getData(), originalBytes.getSize()));
    for (const auto& f : { outside, hidden, folder.getChildFile ("jo_Dup.txt") })
    {
        ASSERT_TRUE (f.replaceWithData (originalBytes.getData(), originalBytes.getSize()));
        EXPECT_FALSE (store().loadPresetFile (f, dup, loaded)) << f.getFullPathName();
        EXPECT_FALSE (store().deletePresetFile (f, &fromCopy, false)) << f.getFullPathName();
        EXPECT_TRUE (f.existsAsFile());
    }
}

TEST_F (LocalPresetStoreTest, FifosDevicesAndDirectoriesAreNeitherOpenedNorListed)
{
    PresetMetaData pad = record ("jo@x.org", "Pad");
    ASSERT_TRUE (store().savePresetToDisc (&pad, true));
    const juce::File fifo = oddities::addOddPresets (folder, LocalPresetStore::kExtension);
    ASSERT_TRUE (fifo.exists());
    oddities::FifoGuard guard (fifo, 3000);
    const auto before = folderImage();

    const auto entries = store().listFolder (true);
    ASSERT_EQ (entries.size(), 1u);
    EXPECT_EQ (entries[0].file, fileOf (pad));
    EXPECT_TRUE (entries[0].needSync);

    // A FIFO whose name a record maps to: no load, and no write replaces it.
    PresetMetaData fifoRecord = record ("jo@x.org", "fifo");
    fifoRecord.setAuthor ("");
    juce::MemoryBlock loaded;
    for (const char* name : { "fifo", "zero", "dir" })
    {
        const juce::File f = folder.getChildFile (juce::String (name) + ".TalvoraXLPreset");
        EXPECT_FALSE (store().loadPresetFile (f, fifoRecord, loaded)) << name;
        EXPECT_FALSE (store().isMarkedDeleted (f, fifoRecord)) << name;
        EXPECT_FALSE (store().deletePresetFile (f, &fifoRecord, true)) << name;
    }
    EXPECT_TRUE (loaded.isEmpty());
    EXPECT_EQ (folderImage(), before);
    EXPECT_FALSE (guard.fired()) << "a FIFO was opened and blocked";
}

TEST_F (LocalPresetStoreTest, AWriteThatReportsFailureLeavesEveryFileAsItWas)
{
    PresetMetaData stuck = record ("tester", "Stuck");
    ASSERT_TRUE (store().savePresetToDisc (&stuck, false));
    const juce::File file = fileOf (stuck);
    ASSERT_EQ (file.getFileName(), "tester_Stuck.TalvoraXLPreset");
    state = makeState (2);

    // A directory where a marker goes, one marker kind at a time.
    for (const char* suffix : { ".markeddelete", ".needsync" })
    {
        ASSERT_TRUE (marker (file, suffix).createDirectory().wasOk());
        const auto before = folderImage();
        for (int kind = 0; kind < 4; ++kind)
        {
            PresetMetaData md = stuck;
            const bool reported = kind == 0   ? store().savePresetToDisc (&md, true)
                                  : kind == 1 ? store().deletePresetFromDisc (&md, true)
                                  : kind == 2 ? store().removeNeedSync (md)
                                              : store().savePresetToDisc (&md, false);
            if (kind == 3 && juce::String (suffix) == ".needsync")
                continue; // no marker of that kind is touched: this save may go ahead
            EXPECT_FALSE (reported) << suffix << " " << kind;
            EXPECT_EQ (folderImage(), before) << suffix << " " << kind;
        }
        ASSERT_TRUE (marker (file, suffix).deleteRecursively());
    }
}
