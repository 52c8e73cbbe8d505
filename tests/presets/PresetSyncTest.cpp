// The presets page's saves, deletes, loads and background sync when the local
// folder fails (a full disc, markers that are not files or cannot be removed,
// copies of one preset under several names), driven through its controller
// against the real server on a free port.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "ServerRig.h"
#include "ServerSettings.h"
#include "core/PluginProcessor.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPageController.h"
#include "support/EditorRig.h"
#include "support/FolderOddities.h"
#include "support/SmallDisc.h"

namespace
{
const std::string ann = "ann@example.org", annPassword = "ann's secret";

// Every text the page was given, in order.
struct TextLog : PresetsPageController::View
{
    juce::String name;
    std::vector<juce::String> said;

    juce::String getNameText() override { return name; }
    juce::String getCommentsText() override { return {}; }
    juce::String getEmailText() override { return ann; }
    juce::String getSearchText() override { return {}; }
    int getSearchCategoryIndex() override { return 0; }
    bool getPublicState() override { return false; }
    void showStatus (const juce::String& text, bool) override { said.push_back (text); }
    void showLoadedPreset (const juce::String&, const juce::String&) override {}
    void setPublicState (bool) override {}

    int count (const juce::String& text) const { return (int) std::count (said.begin(), said.end(), text); }
    juce::String last() const { return said.empty() ? juce::String() : said.back(); }
};

// ann, logged in with local saving on, and her page against a server port.
struct SyncRig
{
    explicit SyncRig (int port)
    {
        PresetServerConnector::publishServer ("", "");
        auto& settings = processor.getPropertyProxy();
        settings.setValue (settingsKeys::enableLocalCache, 1);
        settings.setValue (settingsKeys::email, juce::String (ann));
        settings.setValue (settingsKeys::password, juce::String (annPassword));
        pointAt (port);
        PresetsPageController::latestVersionOnServer = 103;
    }
    void pointAt (int port)
    {
        auto& settings = processor.getPropertyProxy();
        pointSettingsAt (settings, port);
    }
    void open()
    {
        page.reset();
        page = std::make_unique<PresetsPageController> (processor, view);
    }
    template <typename Done>
    bool pollUntil (Done done, int timeoutMs = 12000)
    {
        const double end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (juce::Time::getMillisecondCounterHiRes() < end)
        {
            page->poll();
            if (done())
                return true;
            juce::Thread::sleep (10);
        }
        return false;
    }
    bool idle() const
    {
        return ! page->hasWorker() && ! page->refreshWanted && ! page->scanWanted && page->pending.empty();
    }
    // Opened and left until the sync has nothing more to do (and then a
    // little longer, so a step that came round again would show).
    bool openAndSettle (int quietMs = 1500)
    {
        open();
        if (! pollUntil ([this] { return page->mode != PresetsPageController::unknown && idle(); }, 15000))
            return false;
        pollUntil ([] { return false; }, quietMs);
        return idle();
    }

    PresetMetaData record (const std::string& name) const
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (ann);
        md.setName (name);
        return md;
    }
    juce::File fileOf (const std::string& name)
    {
        const PresetMetaData md = record (name);
        juce::File f;
        processor.metaDataToFile (&md, f);
        return f;
    }
    juce::File folder() { return juce::File (processor.getLocalPresetsPath()); }
    juce::File markerOf (const std::string& name, const char* suffix)
    {
        const juce::File f = fileOf (name);
        return f.getSiblingFile (f.getFileName() + suffix);
    }
    // Saved as the page saves offline, with parameter 27 telling the sounds apart.
    bool saveLocally (const std::string& name, float sound, bool needSync)
    {
        processor.setParameter (27, sound);
        PresetMetaData md = record (name);
        return processor.savePresetToDisc (&md, needSync);
    }
    int rowOf (const std::string& name) const
    {
        for (size_t i = 0; i < page->rows.size(); ++i)
            if (page->rows[i].record.getName() == name)
                return (int) i;
        return -1;
    }
    // The program state stored in a local file.
    static std::vector<char> stateIn (const juce::File& f)
    {
        juce::MemoryBlock b;
        f.loadFileAsData (b);
        const char* bytes = static_cast<const char*> (b.getData());
        return b.getSize() > presetmeta::kRecordSize ? std::vector<char> (bytes + presetmeta::kRecordSize, bytes + b.getSize())
                                                     : std::vector<char>();
    }

    editorRig::SettingsSandbox sandbox;
    editorRig::AssertionsFailTests assertions;
    BrevonAudioProcessor processor;
    TextLog view;
    std::unique_ptr<PresetsPageController> page;
};

std::vector<char> onServer (serverrig::Rig& server, const PresetMetaData& md)
{
    auto reply = server.download (ann, annPassword, md);
    return reply.type() == PRESET_DATA ? reply.message->payload : std::vector<char>();
}

bool serverHas (serverrig::Rig& server, const std::string& name)
{
    for (const auto& md : server.list (ann, annPassword, 0).presets())
        if (md.getName() == name)
            return true;
    return false;
}

juce::String syncFailure (const char* name, const char* why)
{
    return "could not sync \"" + juce::String (name) + "\": " + why;
}
} // namespace

TEST (PresetSync, AFullDiscAtAnyStepChangesNothingAndTheSyncLaterSendsEachPresetsOwnSound)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (serverrig::closedPort());
    // The folder on a small disc of its own where the process may mount one.
    smalldisc::Tmpfs disc (LocalPresetStore::defaultFolder());
    ASSERT_TRUE (rig.saveLocally ("Pad B", 0.2f, true));
    ASSERT_TRUE (rig.saveLocally ("Pad C", 0.7f, true));
    const std::vector<char> soundB = SyncRig::stateIn (rig.fileOf ("Pad B")), soundC = SyncRig::stateIn (rig.fileOf ("Pad C"));
    ASSERT_NE (soundB, soundC);
    ASSERT_TRUE (rig.openAndSettle (0));
    ASSERT_EQ (rig.page->mode, PresetsPageController::localOnly);
    auto& store = rig.processor.getLocalPresetStore();

    // C's sound is current; deleting B's row, then saving a new preset, with
    // the disc full at each step in turn.
    rig.processor.setParameter (27, 0.7f);
    rig.view.name = "Pad N";
    const std::vector<std::pair<const char*, std::function<void()>>> actions {
        { "could not delete local preset", [&] { rig.page->selectedRowsChanged (rig.rowOf ("Pad B")); rig.page->deleteSelected(); } },
        { "could not save preset to disc", [&] { rig.page->save(); } },
    };
    for (const auto& [failure, act] : actions)
    {
        int failed = 0;
        for (int failAt = 0; failAt < 6; ++failAt)
        {
            const auto before = oddities::folderImage (rig.folder());
            int calls = 0;
            store.mayChangeFile = [&] (const juce::File&) { return calls++ < failAt; };
            act();
            store.mayChangeFile = nullptr;
            if (rig.view.last() != failure)
                break; // the write needs fewer steps than this
            ++failed;
            EXPECT_EQ (oddities::folderImage (rig.folder()), before) << failure << " at step " << failAt;
        }
        EXPECT_GT (failed, 0) << failure;
        EXPECT_LT (failed, 6) << failure << ": once the disc had room it still failed";
    }
    EXPECT_EQ (rig.view.count ("delete local preset"), 1);
    EXPECT_EQ (rig.view.count ("saving preset to disc"), 1);
    EXPECT_EQ (SyncRig::stateIn (rig.fileOf ("Pad B")), soundB);

    ASSERT_TRUE (rig.saveLocally ("Pad D", 0.5f, true));
    const std::vector<char> soundD = SyncRig::stateIn (rig.fileOf ("Pad D"));
    if (disc.mounted())
    {
        // Really out of inodes, then of space: D's delete (one more marker)
        // and a new save fail, and change nothing. An empty marker takes no space.
        rig.page->refreshPresetList (false);
        rig.view.name = "Pad F";
        for (const bool noInodes : { true, false })
        {
            ASSERT_TRUE (noInodes ? disc.leaveInodes (0) : disc.leaveBytes (0));
            const auto before = oddities::folderImage (rig.folder());
            if (noInodes)
            {
                rig.page->selectedRowsChanged (rig.rowOf ("Pad D"));
                rig.page->deleteSelected();
                EXPECT_EQ (rig.view.last(), "could not delete local preset");
            }
            rig.page->save();
            EXPECT_EQ (rig.view.last(), "could not save preset to disc") << noInodes;
            EXPECT_EQ (oddities::folderImage (rig.folder()), before) << noInodes;
            disc.release();
        }
    }

    // Space back, the server there: each pending preset goes up with its own
    // sound, and B's delete goes through.
    rig.pointAt (server.port());
    ASSERT_TRUE (rig.openAndSettle (0));
    EXPECT_EQ (onServer (server, rig.record ("Pad C")), soundC);
    EXPECT_EQ (onServer (server, rig.record ("Pad D")), soundD);
    EXPECT_FALSE (serverHas (server, "Pad B"));
    EXPECT_TRUE (serverHas (server, "Pad N"));
    EXPECT_FALSE (serverHas (server, "Pad F"));
    EXPECT_FALSE (rig.fileOf ("Pad B").exists());

    // Online, a delete whose local mark fails sends nothing to the server.
    ASSERT_GE (rig.rowOf ("Pad C"), 0);
    const auto before = oddities::folderImage (rig.folder());
    store.mayChangeFile = [] (const juce::File&) { return false; };
    rig.page->selectedRowsChanged (rig.rowOf ("Pad C"));
    rig.page->deleteSelected();
    store.mayChangeFile = nullptr;
    EXPECT_EQ (rig.view.last(), "could not delete local preset");
    EXPECT_FALSE (rig.page->hasWorker());
    EXPECT_EQ (oddities::folderImage (rig.folder()), before);
    EXPECT_EQ (onServer (server, rig.record ("Pad C")), soundC);
}

TEST (PresetSync, AMarkerThatIsNotAFileOrCannotBeRemovedIsSyncedAtMostOncePerOpening)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (server.port());
    for (const char* name : { "Dir Pad", "Fifo Pad" })
        ASSERT_TRUE (rig.saveLocally (name, 0.3f, false));
    ASSERT_TRUE (rig.markerOf ("Dir Pad", ".needsync").createDirectory().wasOk());
    const juce::File fifoMarker = rig.markerOf ("Fifo Pad", ".needsync");
    ASSERT_TRUE (oddities::makeFifo (fifoMarker));
    // A folder that takes no change to this preset's markers, as a read-only one.
    ASSERT_TRUE (rig.saveLocally ("Stuck Pad", 0.4f, true));
    const juce::String stuckMarker = rig.fileOf ("Stuck Pad").getFileName() + ".needsync";
    rig.processor.getLocalPresetStore().mayChangeFile = [stuckMarker] (const juce::File& f) { return f.getFileName() != stuckMarker; };

    // Tried once, said once each, and not again while the page stays open.
    ASSERT_TRUE (rig.openAndSettle());
    EXPECT_EQ (rig.view.count ("syncing preset to server"), 1);
    EXPECT_EQ (rig.view.count (syncFailure ("Stuck Pad", "its sync marker could not be removed")), 1);
    EXPECT_EQ (rig.view.count (syncFailure ("Dir Pad", "its sync marker is not a file")), 1);
    EXPECT_EQ (rig.view.count (syncFailure ("Fifo Pad", "its sync marker is not a file")), 1);
    EXPECT_FALSE (serverHas (server, "Dir Pad"));
    EXPECT_FALSE (serverHas (server, "Fifo Pad"));

    // Other saves go on, reach the server, and bring no round of the others.
    rig.view.name = "Lead";
    const int saved = rig.view.count ("preset saved");
    rig.page->save();
    EXPECT_EQ (rig.view.last(), "saving preset");
    ASSERT_TRUE (rig.pollUntil ([&] { return rig.idle() && rig.view.count ("preset saved") == saved + 1; }))
        << juce::StringArray (rig.view.said.data(), (int) rig.view.said.size()).joinIntoString (" | ");
    rig.pollUntil ([] { return false; }, 1500);
    EXPECT_TRUE (serverHas (server, "Lead"));
    EXPECT_FALSE (rig.markerOf ("Lead", ".needsync").exists());
    EXPECT_EQ (rig.view.count ("syncing preset to server"), 1);
    EXPECT_EQ (rig.view.count (syncFailure ("Dir Pad", "its sync marker is not a file")), 1);
    EXPECT_TRUE (serverHas (server, "Stuck Pad"));
    EXPECT_TRUE (rig.markerOf ("Dir Pad", ".needsync").isDirectory());
    EXPECT_TRUE (oddities::isFifo (fifoMarker));
}

TEST (PresetSync, AReadOnlyFolderWithAPendingPresetIsSyncedOnceAndOtherSavesGoOn)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (server.port());
    smalldisc::Tmpfs disc (LocalPresetStore::defaultFolder());
    if (! disc.mounted())
        GTEST_SKIP() << "no tmpfs can be mounted here";
    ASSERT_TRUE (rig.saveLocally ("Pad R", 0.4f, true));
    ASSERT_TRUE (disc.makeReadOnly());
    const auto before = oddities::folderImage (rig.folder());

    ASSERT_TRUE (rig.openAndSettle());
    EXPECT_EQ (rig.view.count ("syncing preset to server"), 1);
    EXPECT_EQ (rig.view.count (syncFailure ("Pad R", "its sync marker could not be removed")), 1);
    EXPECT_TRUE (serverHas (server, "Pad R"));

    rig.view.name = "Lead";
    const int saved = rig.view.count ("preset saved");
    rig.page->save();
    EXPECT_EQ (rig.view.last(), "could not save preset to disc");
    ASSERT_TRUE (rig.pollUntil ([&] { return rig.idle() && rig.view.count ("preset saved") == saved + 1; }))
        << juce::StringArray (rig.view.said.data(), (int) rig.view.said.size()).joinIntoString (" | ");
    rig.pollUntil ([] { return false; }, 1500);
    EXPECT_TRUE (serverHas (server, "Lead"));
    EXPECT_EQ (rig.view.count ("syncing preset to server"), 1);
    EXPECT_EQ (oddities::folderImage (rig.folder()), before);
}

TEST (PresetSync, ACopyOrALinkedFileDeletedOfflineLeavesThePresetOnTheServerAndADirectoryDeleteMarkDeletesNothing)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (serverrig::closedPort());
    ASSERT_TRUE (rig.saveLocally ("Dup", 0.6f, false));
    const juce::File original = rig.fileOf ("Dup");
    const juce::File copy = rig.folder().getChildFile ("Dup backup.TalvoraXLPreset");
    ASSERT_TRUE (original.copyFileTo (copy));
    ASSERT_EQ (server.upload (ann, annPassword, rig.record ("Dup"), SyncRig::stateIn (original)).type(), (uint32_t) REQUEST_OK);
    // Lnk: on the server, its file also reached through a link.
    ASSERT_TRUE (rig.saveLocally ("Lnk", 0.9f, false));
    const juce::File link = rig.folder().getChildFile ("Lnk inlink.TalvoraXLPreset");
    ASSERT_TRUE (oddities::makeLink (link, rig.fileOf ("Lnk").getFileName().toRawUTF8()));
    const std::vector<char> linkSound = SyncRig::stateIn (link);
    ASSERT_EQ (server.upload (ann, annPassword, rig.record ("Lnk"), linkSound).type(), (uint32_t) REQUEST_OK);
    // Hid: pending upload, and a directory where its delete mark would go.
    ASSERT_TRUE (rig.saveLocally ("Hid", 0.1f, true));
    ASSERT_TRUE (rig.markerOf ("Hid", ".markeddelete").createDirectory().wasOk());

    // Offline, the copy's row and the linked file's own row are deleted,
    // with another sound current.
    ASSERT_TRUE (rig.openAndSettle (0));
    rig.processor.setParameter (27, 0.2f);
    for (const auto& file : { copy, rig.fileOf ("Lnk") })
    {
        for (const auto& row : rig.page->rows)
            if (row.file == file)
                rig.page->selectedRowsChanged ((int) (&row - rig.page->rows.data()));
        rig.page->deleteSelected();
        ASSERT_EQ (rig.view.last(), "delete local preset");
        ASSERT_TRUE (rig.pollUntil ([&] { return rig.idle(); }));
    }
    EXPECT_EQ (SyncRig::stateIn (link), linkSound);

    rig.pointAt (server.port());
    ASSERT_TRUE (rig.openAndSettle());
    EXPECT_TRUE (serverHas (server, "Dup")) << "the other copy is still here";
    EXPECT_FALSE (copy.exists());
    EXPECT_TRUE (original.existsAsFile());
    EXPECT_FALSE (rig.markerOf ("Dup", ".needsync").exists());
    EXPECT_GE (rig.rowOf ("Dup"), 0);
    // The link's file stays, or the link would lose its sound.
    EXPECT_TRUE (serverHas (server, "Lnk"));
    EXPECT_EQ (SyncRig::stateIn (link), linkSound);
    EXPECT_FALSE (rig.markerOf ("Lnk", ".markeddelete").exists());

    EXPECT_TRUE (rig.fileOf ("Hid").existsAsFile());
    EXPECT_FALSE (serverHas (server, "Hid"));
    EXPECT_EQ (rig.view.count (syncFailure ("Hid", "its sync marker is not a file")), 1);
    EXPECT_EQ (rig.view.count ("syncing preset to server"), 2); // the two copies, neither reaching the server
}

TEST (PresetSync, AnOnlineRowLoadsAndDeletesItsOwnFileOnly)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (server.port());
    ASSERT_TRUE (rig.saveLocally ("Keep", 0.3f, false));
    const juce::File own = rig.fileOf ("Keep");
    ASSERT_EQ (server.upload (ann, annPassword, rig.record ("Keep"), SyncRig::stateIn (own)).type(), (uint32_t) REQUEST_OK);
    // Another name holding Keep's record with another sound, the only copy
    // the listing sees; the row's own file comes back after it.
    const juce::File other = rig.folder().getChildFile ("zz.TalvoraXLPreset");
    ASSERT_TRUE (rig.saveLocally ("Keep", 0.8f, false));
    ASSERT_TRUE (own.moveFileTo (other));
    ASSERT_TRUE (rig.openAndSettle (0));
    ASSERT_EQ (rig.page->rows.size(), 1u);
    EXPECT_EQ (rig.page->rows[0].local, 1);
    ASSERT_TRUE (rig.saveLocally ("Keep", 0.3f, false));
    rig.processor.setParameter (27, 0.5f);
    rig.page->selectedRowsChanged (0);
    rig.page->onLoadPresetButton();
    EXPECT_FALSE (rig.page->hasWorker());
    EXPECT_EQ (rig.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (rig.processor.getParameter (27), 0.3f);

    // Without its own file the row downloads, whatever other copy there is.
    juce::MemoryBlock ownBytes;
    ASSERT_TRUE (own.loadFileAsData (ownBytes));
    ASSERT_TRUE (own.deleteFile());
    rig.processor.setParameter (27, 0.5f);
    rig.page->onLoadPresetButton();
    ASSERT_TRUE (rig.page->hasWorker());
    ASSERT_TRUE (rig.pollUntil ([&] { return ! rig.page->hasWorker(); }));
    EXPECT_EQ (rig.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (rig.processor.getParameter (27), 0.3f);
    ASSERT_TRUE (own.existsAsFile()) << "the download's local copy";

    // An online delete removes the row's own file, and only that.
    juce::MemoryBlock otherBytes;
    ASSERT_TRUE (other.loadFileAsData (otherBytes));
    ASSERT_TRUE (rig.pollUntil ([&] { return rig.idle(); }));
    rig.page->selectedRowsChanged (0);
    rig.page->deleteSelected();
    ASSERT_TRUE (rig.pollUntil ([&] { return rig.view.count ("preset removed") == 1 && rig.idle(); }));
    EXPECT_FALSE (own.exists());
    juce::MemoryBlock after;
    ASSERT_TRUE (other.loadFileAsData (after));
    EXPECT_TRUE (after == otherBytes);
    EXPECT_FALSE (serverHas (server, "Keep"));
}

TEST (PresetSync, AVanishedOrDamagedLocalFileSaysSoAndNothingIsCreated)
{
    serverrig::Rig server;
    server.addAccount (ann, annPassword);
    SyncRig rig (serverrig::closedPort());
    ASSERT_TRUE (rig.saveLocally ("Gone", 0.2f, false));
    ASSERT_TRUE (rig.saveLocally ("Torn", 0.2f, false));
    ASSERT_TRUE (rig.openAndSettle (0));
    ASSERT_EQ (rig.page->rows.size(), 2u);

    ASSERT_TRUE (rig.fileOf ("Gone").deleteFile());
    const auto before = oddities::folderImage (rig.folder());
    rig.page->selectedRowsChanged (rig.rowOf ("Gone"));
    rig.page->deleteSelected();
    EXPECT_EQ (rig.view.last(), LocalPresetStore::kFileGoneText);
    EXPECT_EQ (oddities::folderImage (rig.folder()), before);

    // A damaged file of a local row: the download is tried (the server does
    // not have it), and the text blames the local file.
    ASSERT_TRUE (rig.fileOf ("Torn").replaceWithText ("torn"));
    rig.pointAt (server.port());
    for (const char* name : { "Torn", "Gone" })
    {
        rig.page->selectedRowsChanged (rig.rowOf (name));
        rig.page->onLoadPresetButton();
        ASSERT_TRUE (rig.pollUntil ([&] { return ! rig.page->hasWorker(); }));
        EXPECT_EQ (rig.view.last(), juce::String (name) == "Torn" ? LocalPresetStore::kUnreadableText
                                                                  : LocalPresetStore::kFileGoneText);
        EXPECT_EQ (rig.view.count ("empty preset from server"), 0);
    }
}
