// The presets page's behaviour without its components: the server status,
// lists, loads, saves and the background sync, against the real server on a
// free port or a scripted one.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FaultServer.h"
#include "ServerRig.h"
#include "ServerSettings.h"
#include "core/PluginProcessor.h"
#include "presets/Base64.h"
#include "presets/ListPresetThread.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPageController.h"
#include "support/EditorRig.h"
#include "support/FolderOddities.h"
#include "support/PluginPlayer.h"

using faultserver::FaultServer;
using faultserver::Step;

namespace
{
using serverrig::closedPort;

const std::string ann = "ann@example.org", annPassword = "ann's secret";

struct FakeView : PresetsPageController::View
{
    juce::String name, comments, email = ann, search;
    int category = 0;
    bool isPublic = true;
    struct Status
    {
        juce::String text;
        bool held;
        double ms;
    };
    std::vector<Status> statuses;
    juce::String loadedName;
    int rowsChangedCount = 0;

    juce::String getNameText() override { return name; }
    juce::String getCommentsText() override { return comments; }
    juce::String getEmailText() override { return email; }
    juce::String getSearchText() override { return search; }
    int getSearchCategoryIndex() override { return category; }
    bool getPublicState() override { return isPublic; }
    void showStatus (const juce::String& text, bool held) override
    {
        statuses.push_back ({ text, held, juce::Time::getMillisecondCounterHiRes() });
    }
    void showError (const juce::String& text) override
    {
        errors.push_back (text);
        showStatus (text, false);
    }
    std::vector<juce::String> errors;
    void showLoadedPreset (const juce::String& n, const juce::String&) override { loadedName = n; }
    void setPublicState (bool on) override { isPublic = on; }
    void rowsChanged() override { ++rowsChangedCount; }

    int count (const juce::String& text) const
    {
        int n = 0;
        for (const auto& s : statuses)
            n += s.text == text ? 1 : 0;
        return n;
    }
    // When each showing of a text began, in ms.
    std::vector<double> timesOf (const juce::String& text) const
    {
        std::vector<double> ms;
        for (const auto& s : statuses)
            if (s.text == text)
                ms.push_back (s.ms);
        return ms;
    }
    juce::String last() const { return statuses.empty() ? juce::String() : statuses.back().text; }
};

struct PresetLoadedCounter : EventListener
{
    void receiveEvent (EventType type, int) override { count += type == PresetLoaded ? 1 : 0; }
    int count = 0;
};

// Settings sandbox, local saving on, ann logged in, a processor.
struct Page
{
    explicit Page (int port)
    {
        PresetServerConnector::publishServer ("", "");
        pointAt (port);
        auto& settings = processor.getPropertyProxy();
        settings.setValue (settingsKeys::enableLocalCache, 1);
        settings.setValue (settingsKeys::email, juce::String (ann));
        settings.setValue (settingsKeys::password, juce::String (annPassword));
    }
    void pointAt (int port)
    {
        auto& settings = processor.getPropertyProxy();
        pointSettingsAt (settings, port);
    }

    // Polls as the page's paint does, until done() or the time is up; keeps
    // the longest poll.
    template <typename Done>
    bool pollUntil (Done done, int timeoutMs = 12000)
    {
        const double end = juce::Time::getMillisecondCounterHiRes() + timeoutMs;
        while (juce::Time::getMillisecondCounterHiRes() < end)
        {
            const double start = juce::Time::getMillisecondCounterHiRes();
            controller->poll();
            longestPollMs = std::max (longestPollMs, juce::Time::getMillisecondCounterHiRes() - start);
            if (done())
                return true;
            juce::Thread::sleep (10);
        }
        return false;
    }
    bool pollIdle (int timeoutMs = 12000)
    {
        return pollUntil ([this] { return ! controller->hasWorker() && ! controller->refreshWanted && ! controller->scanWanted
                                          && ! controller->metaDataWanted && controller->pending.empty(); },
                          timeoutMs);
    }
    void open() { controller = std::make_unique<PresetsPageController> (processor, view); }

    juce::File fileOf (const std::string& name)
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (ann);
        md.setName (name);
        juce::File f;
        processor.metaDataToFile (&md, f);
        return f;
    }
    static bool marked (const juce::File& f) { return f.getSiblingFile (f.getFileName() + ".needsync").existsAsFile(); }

    editorRig::SettingsSandbox sandbox;
    editorRig::AssertionsFailTests assertions;
    BrevonAudioProcessor processor;
    FakeView view;
    std::unique_ptr<PresetsPageController> controller;
    double longestPollMs = 0;
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kPollLimitMs = 200.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr double kPollLimitMs = 200.0;
#else
constexpr double kPollLimitMs = 20.0;
#endif
#else
constexpr double kPollLimitMs = 20.0;
#endif

std::vector<std::string> namesOnServer (serverrig::Rig& rig)
{
    std::vector<std::string> names;
    for (const auto& md : rig.list (ann, annPassword, 0).presets())
        names.emplace_back (md.getName());
    std::sort (names.begin(), names.end());
    return names;
}

void putU32 (std::string& bytes, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + (size_t) i] = (char) (uint8_t) (v >> (8 * i));
}

std::string replyBody (uint32_t type, const std::string& payload)
{
    std::string bytes (16, '\0');
    putU32 (bytes, 4, type);
    putU32 (bytes, 8, 1);
    putU32 (bytes, 12, (uint32_t) payload.size());
    bytes += payload;
    return base64::encode (bytes.data(), bytes.size());
}

std::string listBody (const std::vector<PresetMetaData>& records)
{
    std::string payload (4 + records.size() * presetmeta::kRecordSize, '\0');
    putU32 (payload, 0, (uint32_t) records.size());
    for (size_t i = 0; i < records.size(); ++i)
        presetmeta::toBytes (records[i], reinterpret_cast<uint8_t*> (&payload[4 + i * presetmeta::kRecordSize]));
    return replyBody (PRESET_LIST, payload);
}

// The address lookup against a scripted server: its own host, a usable key.
void scriptLookup (FaultServer& server)
{
    server.add (Step::reply ("127.0.0.1\n"));
    server.add (Step::reply ("11,c5"));
}
} // namespace

TEST (PresetsPageController, LooksUpTheServerThenListsOnce)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    ASSERT_EQ (rig.upload (ann, annPassword, serverrig::record ("Keys One", "2024-05-01 10:00:00"), serverrig::presetBytes (1)).type(),
               (uint32_t) REQUEST_OK);
    Page page (rig.port());
    page.open();
    auto& c = *page.controller;

    EXPECT_EQ (c.mode, 0);
    EXPECT_FALSE (c.isSearchEnabled());
    EXPECT_FALSE (c.isLoadEnabled());

    ASSERT_TRUE (page.pollUntil ([&] { return c.mode == PresetsPageController::online; }));
    EXPECT_TRUE (c.isSearchEnabled());
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 1u);
    EXPECT_EQ (c.rows[0].online, 1);
    EXPECT_EQ (page.view.count ("preset list updated"), 1);
    EXPECT_EQ (page.view.count ("get presets"), 0); // the first list is quiet

    // A selected row enables loading; the user's own row enables delete.
    c.selectedRowsChanged (0);
    EXPECT_TRUE (c.isLoadEnabled());
    EXPECT_TRUE (c.isDeleteEnabled (ann));
    EXPECT_FALSE (c.isDeleteEnabled ("bob@example.org"));
    EXPECT_NE (PresetsPageController::latestVersionOnServer.load(), 0u);
}

TEST (PresetsPageController, WithoutAServerListsTheLocalFolderFilteredByName)
{
    Page page (closedPort());
    for (const char* name : { "Big Bass", "big bass soft", "Pad Bass" })
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (ann);
        md.setName (name);
        md.categoryMask = std::strcmp (name, "Pad Bass") == 0 ? 4u : 1u;
        ASSERT_TRUE (page.processor.savePresetToDisc (&md, false));
    }
    page.view.search = "Bass";
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return c.mode == PresetsPageController::localOnly && ! c.refreshWanted; }));
    ASSERT_EQ (c.rows.size(), 2u);
    for (const auto& row : c.rows)
    {
        EXPECT_EQ (row.local, 1);
        EXPECT_EQ (row.online, 0);
        EXPECT_NE (std::string (row.record.getName()), "big bass soft");
    }
    EXPECT_EQ (page.view.last(), "local preset list updated");

    // The category narrows it further.
    page.view.category = 3; // pads
    c.refreshPresetList (false);
    ASSERT_EQ (c.rows.size(), 1u);
    EXPECT_EQ (std::string (c.rows[0].record.getName()), "Pad Bass");
    EXPECT_EQ (c.searchCategoryMask, 4u);
    EXPECT_EQ ((int) page.processor.getPageState().getIntValue ("presetsPageSearchCategoryInt"), 3);

    // Local saving off: a save says it failed, and nothing is written.
    page.processor.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    page.view.name = "Lost Lead";
    c.save();
    EXPECT_EQ (page.view.last(), "could not save preset to disc");
    EXPECT_EQ (page.view.count ("saving preset to disc"), 0);
    page.processor.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 1);
    EXPECT_FALSE (page.fileOf ("Lost Lead").exists());

    // A placeholder name is refused before anything happens.
    page.view.name = "insert preset name here";
    c.save();
    EXPECT_EQ (page.view.last(), "Need to change preset name before saving");
}

TEST (PresetsPageController, PresetsSavedOfflineAreUploadedOneASecondOnceTheServerIsBack)
{
    const int down = closedPort();
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    ASSERT_EQ (rig.upload (ann, annPassword, serverrig::record ("Already There", "2024-05-01 10:00:00"), serverrig::presetBytes (2)).type(),
               (uint32_t) REQUEST_OK);

    Page page (down);
    {
        page.open();
        ASSERT_TRUE (page.pollUntil ([&] { return page.controller->mode == PresetsPageController::localOnly; }));
        for (const char* name : { "Pad A", "Pad B" })
        {
            page.view.name = name;
            page.controller->save();
            EXPECT_EQ (page.view.last(), "saving preset to disc");
            EXPECT_TRUE (Page::marked (page.fileOf (name)));
        }
        // A preset of another author waits for that author.
        PresetMetaData bobs = presetmeta::newRecord();
        bobs.setAuthor ("bob@example.org");
        bobs.setName ("Bob Lead");
        ASSERT_TRUE (page.processor.savePresetToDisc (&bobs, true));
        page.controller.reset();
    }

    page.pointAt (rig.port());
    page.view.statuses.clear();
    page.open();
    ASSERT_TRUE (page.pollUntil ([&] { return namesOnServer (rig).size() == 3 && page.controller->pending.empty()
                                              && ! page.controller->hasWorker(); },
                                 15000));
    EXPECT_EQ (namesOnServer (rig), (std::vector<std::string> { "Already There", "Pad A", "Pad B" }));
    EXPECT_FALSE (Page::marked (page.fileOf ("Pad A")));
    EXPECT_FALSE (Page::marked (page.fileOf ("Pad B")));

    const std::vector<double> steps = page.view.timesOf ("syncing preset to server");
    ASSERT_EQ (steps.size(), 2u);
    EXPECT_GE (steps[1] - steps[0], 1000.0);
    EXPECT_LT (page.longestPollMs, kPollLimitMs);

    PresetMetaData bobs = presetmeta::newRecord();
    bobs.setAuthor ("bob@example.org");
    bobs.setName ("Bob Lead");
    juce::File bobsFile;
    page.processor.metaDataToFile (&bobs, bobsFile);
    EXPECT_TRUE (Page::marked (bobsFile));
}

TEST (PresetsPageController, AFailedOnlineSaveKeepsItsMarkerForALaterRound)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    ASSERT_EQ (rig.upload (ann, annPassword, serverrig::record ("Already There", "2024-05-01 10:00:00"), serverrig::presetBytes (3)).type(),
               (uint32_t) REQUEST_OK);
    Page page (rig.port());
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.mode, PresetsPageController::online);

    rig.get().stop();
    page.view.name = "Pad C";
    c.save();
    EXPECT_EQ (page.view.last(), "saving preset");
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "problem connecting to server");
    EXPECT_TRUE (page.fileOf ("Pad C").existsAsFile());
    EXPECT_TRUE (Page::marked (page.fileOf ("Pad C")));
    EXPECT_FALSE (c.refreshWanted);

    rig.restart();
    page.pointAt (rig.port());
    c.refreshPresetList (false);
    EXPECT_EQ (page.view.last(), "get presets");
    EXPECT_TRUE (page.view.statuses.back().held);
    ASSERT_TRUE (page.pollUntil ([&] { return ! Page::marked (page.fileOf ("Pad C")) && ! c.hasWorker(); }, 12000));
    EXPECT_EQ (namesOnServer (rig), (std::vector<std::string> { "Already There", "Pad C" }));
    EXPECT_LT (page.longestPollMs, kPollLimitMs);
}

namespace
{
// The state another user's synth saves: parameter 27 at 0.9 and the given name.
std::vector<char> authoredState (const char* name,
                                 const std::function<void (BrevonAudioProcessor&)>& more = {})
{
    BrevonAudioProcessor author;
    author.setParameter (27, 0.9f);
    if (more)
        more (author);
    author.setProgramNameText (name);
    juce::MemoryBlock preset;
    author.getStateInformation (preset);
    return { static_cast<const char*> (preset.getData()),
             static_cast<const char*> (preset.getData()) + preset.getSize() };
}
} // namespace

TEST (PresetsPageController, DownloadsLoadOnceAndLocalCopiesLoadWithoutTheServer)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    const auto bytes = authoredState ("Bright Keys", [] (BrevonAudioProcessor& author) {
        for (int k = 0; k < 16; ++k)
            author.setParameter (90 + 30 * k, 0.0f);
    });
    PresetMetaData md = serverrig::record ("Bright Keys", "2024-05-01 10:00:00");
    md.setAuthor ("bob@example.org");
    rig.addAccount ("bob@example.org", "bob");
    ASSERT_EQ (rig.upload ("bob@example.org", "bob", md, bytes).type(), (uint32_t) REQUEST_OK);

    Page page (rig.port());
    PresetLoadedCounter loaded;
    page.processor.getEventAggregator()->registerForEvent (PresetLoaded, &loaded);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 1u);
    EXPECT_EQ (c.rows[0].local, 0);

    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    ASSERT_TRUE (c.hasWorker());
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "preset loaded");
    EXPECT_EQ (loaded.count, 1);
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    for (int k = 0; k < 16; ++k)
        EXPECT_EQ (page.processor.getParameter (90 + 30 * k), 1.0f) << k;
    EXPECT_EQ (page.view.loadedName, "Bright Keys");
    EXPECT_EQ (page.processor.getProgramNameText(), "Bright Keys");
    PresetMetaData bobs = presetmeta::newRecord();
    bobs.setAuthor ("bob@example.org");
    bobs.setName ("Bright Keys");
    juce::File local;
    page.processor.metaDataToFile (&bobs, local);
    ASSERT_TRUE (local.existsAsFile());
    EXPECT_FALSE (Page::marked (local));

    // Now the local copy serves: no worker, no event.
    page.processor.setParameter (27, 0.1f);
    c.onLoadPresetButton();
    EXPECT_FALSE (c.hasWorker());
    EXPECT_EQ (page.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    EXPECT_EQ (loaded.count, 1);

    // A local copy the engine refuses: the server's copy instead.
    {
        juce::FileOutputStream out (local);
        ASSERT_TRUE (out.openedOk());
        const float outside = 7.0f;
        out.setPosition ((juce::int64) presetmeta::kRecordSize + 4 * 200);
        out.write (&outside, 4);
    }
    page.processor.setParameter (27, 0.1f);
    c.onLoadPresetButton();
    EXPECT_TRUE (c.hasWorker());
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    EXPECT_EQ (loaded.count, 2);
    page.processor.getEventAggregator()->unregisterListener (&loaded);
}

TEST (PresetsPageController, ScriptedRepliesForPagingAndAWrongSizedPreset)
{
    FaultServer server;
    scriptLookup (server);
    // The reply's first record carries the paging; sorting puts the newer one first.
    PresetMetaData older = serverrig::record ("Older", "2020-01-01 00:00:00");
    older.setAuthor ("bob@example.org");
    older.listTotal = 95;
    older.listOffset = 40;
    PresetMetaData newer = serverrig::record ("Newer", "2024-01-01 00:00:00");
    newer.setAuthor ("bob@example.org");
    server.add (Step::reply (listBody ({ older, newer })));
    server.add (Step::reply (replyBody (PRESET_DATA, std::string (100, 'x'))));

    PresetsPageController::latestVersionOnServer = 103; // no metadata request in the script
    Page page (server.port());
    PresetLoadedCounter loaded;
    page.processor.getEventAggregator()->registerForEvent (PresetLoaded, &loaded);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 2u);
    EXPECT_EQ (std::string (c.rows[0].record.getName()), "Newer");
    EXPECT_EQ (c.listTotal, 95u);
    EXPECT_EQ (c.listStart, 40u);
    EXPECT_TRUE (c.isPreviousEnabled());
    EXPECT_TRUE (c.isNextEnabled());

    // Paging by 40: back from 40 to 0; on from 80 stays at 80 with 95 in all.
    c.previousPage();
    EXPECT_EQ (c.listStart, 0u);
    EXPECT_TRUE (c.refreshWanted);
    c.previousPage();
    EXPECT_EQ (c.listStart, 0u);
    c.listStart = 80;
    c.nextPage();
    EXPECT_EQ (c.listStart, 80u);
    c.listStart = 40;
    c.nextPage();
    EXPECT_EQ (c.listStart, 80u);
    c.refreshWanted = false;

    juce::MemoryBlock before;
    page.processor.getStateInformation (before);
    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "wrong preset size");
    juce::MemoryBlock after;
    page.processor.getStateInformation (after);
    EXPECT_TRUE (after == before);
    EXPECT_EQ (loaded.count, 0);
    page.processor.getEventAggregator()->unregisterListener (&loaded);
}

TEST (PresetsPageController, ClosingWhileTheServerHangsHandsTheWorkerOver)
{
    FaultServer server;
    scriptLookup (server);
    server.add (Step::hangs());
    PresetsPageController::latestVersionOnServer = 103;
    auto page = std::make_unique<Page> (server.port());
    page->open();
    ASSERT_TRUE (page->pollUntil ([&] { return server.requests().size() >= 3; }));
    juce::Thread* worker = page->controller->getWorker();
    ASSERT_NE (worker, nullptr);
    ASSERT_NE (dynamic_cast<ListPresetThread*> (worker), nullptr);

    const double start = juce::Time::getMillisecondCounterHiRes();
    page->controller.reset();
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 300.0);
    EXPECT_EQ (page->processor.getNumRetiredThreads(), 1);

    const double end = juce::Time::getMillisecondCounterHiRes() + 1500.0;
    while (worker->isThreadRunning() && juce::Time::getMillisecondCounterHiRes() < end)
        juce::Thread::sleep (10);
    EXPECT_FALSE (worker->isThreadRunning());
    page.reset(); // the processor deletes it
}

TEST (PresetsPageController, ARefusedSyncStepKeepsItsMarkerAndWaitsForTheNextGoodList)
{
    FaultServer server;
    scriptLookup (server);
    PresetMetaData listed = serverrig::record ("Listed", "2024-01-01 00:00:00");
    server.add (Step::reply (listBody ({ listed })));
    server.add (Step::reply (replyBody (REQUEST_FAILED, "quota reached")));
    PresetsPageController::latestVersionOnServer = 103;

    Page page (server.port());
    PresetMetaData md = presetmeta::newRecord();
    md.setAuthor (ann);
    md.setName ("Pad D");
    ASSERT_TRUE (page.processor.savePresetToDisc (&md, true));
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return server.requests().size() >= 4 && ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "could not sync \"Pad D\": quota reached"); // the server's word, naming the preset
    EXPECT_TRUE (Page::marked (page.fileOf ("Pad D")));

    // Not tried again every second: the round is over until the next list.
    page.pollUntil ([] { return false; }, 2500);
    EXPECT_EQ (server.requests().size(), 4u);
    EXPECT_EQ (page.view.count ("syncing preset to server"), 1);
    EXPECT_TRUE (c.pending.empty());
}

TEST (PresetsPageController, OnlineSavesReachTheServerWithTheLocalCopysTime)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    Page page (rig.port());
    auto& settings = page.processor.getPropertyProxy();
    settings.setValue (settingsKeys::enableLocalCache, 0);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.mode, PresetsPageController::online);
    // An empty server is an answer, not a failure.
    EXPECT_EQ (page.view.count ("no presets found"), 1);
    EXPECT_TRUE (page.view.errors.empty());

    auto serverTimeOf = [&] (const std::string& name) {
        for (const auto& md : rig.list (ann, annPassword, 0).presets())
            if (md.getName() == name)
                return std::string (md.getLastModified());
        return std::string ("(not listed)");
    };

    // Local saving off: nothing else stamps the record.
    page.view.name = "Lead A";
    c.save();
    ASSERT_TRUE (c.hasWorker());
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.last(), "preset saved");
    EXPECT_TRUE (page.view.errors.empty()) << page.view.errors.front();
    EXPECT_FALSE (page.fileOf ("Lead A").exists());
    const std::string timeA = serverTimeOf ("Lead A");
    EXPECT_EQ (timeA.size(), 19u) << timeA;

    // Local saving on: the server's copy and the local one carry one time,
    // and the marker goes with the server's OK; the table follows.
    settings.setValue (settingsKeys::enableLocalCache, 1);
    page.view.name = "Lead B";
    c.save();
    EXPECT_TRUE (Page::marked (page.fileOf ("Lead B")));
    ASSERT_TRUE (page.pollIdle());
    EXPECT_EQ (page.view.count ("preset saved"), 2);
    EXPECT_FALSE (Page::marked (page.fileOf ("Lead B")));
    PresetMetaData stored;
    {
        juce::FileInputStream in (page.fileOf ("Lead B"));
        uint8_t head[presetmeta::kRecordSize];
        ASSERT_EQ (in.read (head, (int) sizeof (head)), (int) sizeof (head));
        presetmeta::fromBytes (head, stored);
    }
    EXPECT_EQ (serverTimeOf ("Lead B"), std::string (stored.getLastModified()));
    ASSERT_EQ (c.rows.size(), 2u);
    EXPECT_EQ (c.listTotal, 2u);

    // A search that matches nothing empties the table and says so, no error.
    page.view.search = "Nothing Like It";
    c.refreshPresetList (false);
    ASSERT_TRUE (page.pollIdle());
    EXPECT_EQ (page.view.last(), "no presets found");
    EXPECT_TRUE (c.rows.empty());
    EXPECT_EQ (c.listTotal, 0u);
    EXPECT_FALSE (c.isNextEnabled());
    EXPECT_TRUE (page.view.errors.empty());
    EXPECT_EQ (page.view.count ("error getting presets from server"), 0);
    EXPECT_LT (page.longestPollMs, kPollLimitMs);
}

TEST (PresetsPageController, AnEmptyServerGetsThePresetsSavedOfflineAndTheTableShowsThem)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    Page page (rig.port());
    for (const char* name : { "Pad E", "Pad F" })
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (ann);
        md.setName (name);
        ASSERT_TRUE (page.processor.savePresetToDisc (&md, true));
    }
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return c.rows.size() == 2 && ! c.hasWorker(); }, 15000));
    EXPECT_EQ (namesOnServer (rig), (std::vector<std::string> { "Pad E", "Pad F" }));
    EXPECT_FALSE (Page::marked (page.fileOf ("Pad E")));
    EXPECT_FALSE (Page::marked (page.fileOf ("Pad F")));
    for (const auto& row : c.rows)
    {
        EXPECT_EQ (row.online, 1);
        EXPECT_EQ (row.local, 1);
    }

    // The empty list came first and was no failure; then one upload a second.
    EXPECT_EQ (page.view.count ("no presets found"), 1);
    EXPECT_TRUE (page.view.errors.empty());
    const std::vector<double> steps = page.view.timesOf ("syncing preset to server");
    ASSERT_EQ (steps.size(), 2u);
    EXPECT_GE (steps[1] - steps[0], 1000.0);
    EXPECT_EQ (page.view.last(), "preset list updated");
    EXPECT_LT (page.longestPollMs, kPollLimitMs);
}

TEST (PresetsPageController, ErrorTextsOfEveryReplyKindAreShown)
{
    FaultServer server;
    scriptLookup (server);
    // A list refused with a server error.
    server.add (Step::reply (replyBody (SERVER_ERROR, "storage failed")));
    // A save answered with a text message.
    server.add (Step::reply (replyBody (TEXT_MESSAGE, "try again later")));
    PresetsPageController::latestVersionOnServer = 103;

    Page page (server.port());
    page.processor.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return server.requests().size() >= 3 && ! c.hasWorker(); }));
    ASSERT_EQ (page.view.errors.size(), 1u);
    EXPECT_EQ (page.view.errors[0], "storage failed");
    EXPECT_FALSE (c.refreshWanted); // no retry loop

    page.view.name = "Lead C";
    c.save();
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    ASSERT_EQ (page.view.errors.size(), 2u);
    EXPECT_EQ (page.view.errors[1], "try again later");
    // The upload carried a time although nothing was saved locally.
    const auto requests = server.requests();
    ASSERT_EQ (requests.size(), 4u);
    std::string upload;
    for (const auto& field : requests[3].fields())
        if (field.first == "requestData")
            upload = field.second;
    const auto bytes = base64::decode (upload);
    ASSERT_GE (bytes.size(), 16u + 23758u + presetmeta::kRecordSize);
    PresetMetaData sent;
    presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (bytes.data() + 16 + 23758), sent);
    EXPECT_EQ (std::string (sent.getName()), "Lead C");
    EXPECT_EQ (std::string (sent.getLastModified()).size(), 19u);
}

TEST (PresetsPageController, ADownloadWhoseFileHoldsAnotherPresetLoadsButKeepsThatFile)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    const auto bytes = authoredState ("Pad_1");
    ASSERT_EQ (rig.upload (ann, annPassword, serverrig::record ("Pad_1", "2024-05-01 10:00:00"), bytes).type(),
               (uint32_t) REQUEST_OK);

    Page page (rig.port());
    PresetMetaData pad = presetmeta::newRecord();
    pad.setAuthor (ann);
    pad.setName ("Pad 1");
    ASSERT_TRUE (page.processor.savePresetToDisc (&pad, false));
    const juce::File file = page.fileOf ("Pad 1");
    ASSERT_EQ (file, page.fileOf ("Pad_1"));
    juce::MemoryBlock padBytes;
    ASSERT_TRUE (file.loadFileAsData (padBytes));
    const auto folderFiles = [&file] {
        juce::StringArray names;
        for (const auto& f : file.getParentDirectory().findChildFiles (juce::File::findFiles, false, "*"))
            names.add (f.getFileName());
        names.sort (false);
        return names;
    };
    const juce::StringArray filesBefore = folderFiles();

    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return c.rows.size() == 1 && ! c.hasWorker(); }));
    EXPECT_EQ (c.rows[0].local, 0) << "another preset's file counted as the local copy";

    const juce::String clash = "local copy refused, its file holds \"Pad 1\" by ann";
    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    ASSERT_TRUE (c.hasWorker()) << "another preset's file was loaded as the local copy";
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.hasWorker(); }));
    EXPECT_EQ (page.view.count ("preset loaded"), 1);
    EXPECT_EQ (page.view.last(), clash);
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    EXPECT_EQ (page.processor.getProgramNameText(), "Pad_1");

    juce::MemoryBlock after;
    ASSERT_TRUE (file.loadFileAsData (after));
    EXPECT_TRUE (after == padBytes);
    EXPECT_EQ (folderFiles(), filesBefore);
}

namespace
{
// Fills the output ring with one signal and turns it into "OH SNAP!".
void captureSignal (BrevonAudioProcessor& p, double (*signal) (int))
{
    auto& block = p.getCaptureBlock();
    for (int i = 0; i < CaptureBlock::kRingSize; ++i)
        block.setSample (i, (float) signal (i));
    block.setPosition (31415);
    p.setParameter (params::kCaptureResampling, 0.0f);
    p.captureWaveform();
}

std::vector<float> playTopNote (PluginPlayer& player)
{
    player.processor().setRandomSeed (7);
    const auto out = player.play (8192, { { 0, juce::MidiMessage::noteOn (1, 120, (juce::uint8) 100) },
                                          { 6000, juce::MidiMessage::noteOff (1, 120) } });
    return std::vector<float> (out.getReadPointer (0), out.getReadPointer (0) + out.getNumSamples());
}
} // namespace

TEST (PresetsPageController, ALoadedCaptureInstallsEveryRowAsAHostRestoreDoes)
{
    editorRig::SettingsSandbox sandbox;
    editorRig::AssertionsFailTests assertions;
    PresetServerConnector::publishServer ("", "");
    PluginPlayer loaded, restored;
    loaded.warmUp();
    restored.warmUp();
    auto& p = loaded.processor();
    auto& settings = p.getPropertyProxy();
    const int down = closedPort();
    settings.setValue (settingsKeys::presetServerAddressPage,
                       juce::String ("http://127.0.0.1:" + std::to_string (down) + "/server_address"));
    settings.setValue (settingsKeys::presetServerPort, down);
    settings.setValue (settingsKeys::enableLocalCache, 1);
    settings.setValue (settingsKeys::email, juce::String (ann));

    // Only oscillator 3 sounds, so a note plays the wave rows.
    p.setParameter (params::kOsc1Volume, 0.0f);
    p.setParameter (params::kOsc2Volume, 0.0f);
    p.setParameter (params::kNoiseVolume, 0.0f);
    p.setParameter (params::kOsc3Volume, 1.0f);
    captureSignal (p, [] (int i) { return (i / 2048) % 2 == 0 ? 0.6 : -0.6; });

    FakeView view;
    PresetsPageController c (p, view);
    const auto poll = [&c] (auto done) {
        const double end = juce::Time::getMillisecondCounterHiRes() + 8000;
        while (! done() && juce::Time::getMillisecondCounterHiRes() < end)
        {
            c.poll();
            juce::Thread::sleep (10);
        }
        return done();
    };
    ASSERT_TRUE (poll ([&] { return c.mode == PresetsPageController::localOnly && ! c.hasWorker(); }));
    view.name = "Square Snap";
    c.save();
    ASSERT_EQ (view.last(), "saving preset to disc");
    ASSERT_TRUE (poll ([&] { return c.rows.size() == 1 && ! c.refreshWanted; }));

    PresetMetaData md = c.rows[0].record;
    juce::MemoryBlock record;
    ASSERT_TRUE (p.loadPresetFromDiscToMemoryBlock (md, record));
    restored.processor().setStateInformation (record.getData(), (int) record.getSize());

    // A different sound whose top rows are filtered nearly away.
    captureSignal (p, [] (int i) { return 0.8 * std::sin (2.0 * juce::MathConstants<double>::pi * i / 100.0); });

    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    EXPECT_FALSE (c.hasWorker());
    EXPECT_EQ (view.last(), "preset loaded");

    auto* a = p.getEngine();
    auto* b = restored.processor().getEngine();
    for (int k = 0; k < WaveRows::kNumRows; ++k)
        for (int i = 0; i < WaveRows::kRowSize; ++i)
            ASSERT_NEAR (a->getWaveBuffer (k)[i], b->getWaveBuffer (k)[i], 1.0e-6) << "row " << k << " sample " << i;

    const auto x = playTopNote (loaded);
    const auto y = playTopNote (restored);
    EXPECT_GT (rms (x.data(), (int) x.size()), 1.0e-2);
    float worst = 0.0f;
    for (size_t i = 0; i < x.size(); ++i)
        worst = std::max (worst, std::abs (x[i] - y[i]));
    EXPECT_LT (worst, 1.0e-5f);
}

TEST (PresetsPageController, EachLocalRowLoadsAndDeletesTheFileItWasListedFrom)
{
    Page page (closedPort());
    page.processor.setParameter (27, 0.9f);
    PresetMetaData dup = presetmeta::newRecord();
    dup.setAuthor (ann);
    dup.setName ("Dup");
    ASSERT_TRUE (page.processor.savePresetToDisc (&dup, false));
    const juce::File original = page.fileOf ("Dup");
    const juce::File folder = original.getParentDirectory();
    const juce::File copy = folder.getChildFile ("Dup (1).TalvoraXLPreset");
    ASSERT_TRUE (original.copyFileTo (copy));
    juce::MemoryBlock originalBytes;
    ASSERT_TRUE (original.loadFileAsData (originalBytes));

    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return c.mode == PresetsPageController::localOnly && ! c.refreshWanted; }));
    ASSERT_EQ (c.rows.size(), 2u);
    const auto rowOf = [&c] (const juce::File& f) {
        for (size_t i = 0; i < c.rows.size(); ++i)
            if (c.rows[i].file == f)
                return (int) i;
        return -1;
    };
    ASSERT_GE (rowOf (copy), 0);
    ASSERT_GE (rowOf (original), 0);

    // Each row loads its own file, without the server.
    for (const auto& f : { copy, original })
    {
        page.processor.setParameter (27, 0.2f);
        c.selectedRowsChanged (rowOf (f));
        c.onLoadPresetButton();
        EXPECT_FALSE (c.hasWorker());
        EXPECT_EQ (page.view.last(), "preset loaded");
        EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    }

    // Deleting the copy with another program current hides the copy only; the
    // other row still loads the state its file holds.
    page.processor.setParameter (27, 0.2f);
    c.selectedRowsChanged (rowOf (copy));
    c.deleteSelected();
    EXPECT_EQ (page.view.last(), "delete local preset");
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.refreshWanted; }));
    ASSERT_EQ (c.rows.size(), 1u);
    EXPECT_EQ (c.rows[0].file, original);
    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    EXPECT_EQ (page.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    juce::MemoryBlock after;
    ASSERT_TRUE (original.loadFileAsData (after));
    EXPECT_TRUE (after == originalBytes);
    EXPECT_FALSE (Page::marked (original));
    EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFiles), 4); // the two, the copy's two markers

    // Renamed and alone: it lists, loads and deletes, and the record's own
    // file name never appears.
    ASSERT_TRUE (folder.deleteRecursively() && folder.createDirectory().wasOk());
    const juce::File renamed = folder.getChildFile ("Pad backup.TalvoraXLPreset");
    ASSERT_TRUE (renamed.replaceWithData (originalBytes.getData(), originalBytes.getSize()));
    c.refreshPresetList (false);
    ASSERT_EQ (c.rows.size(), 1u);
    page.processor.setParameter (27, 0.2f);
    c.selectedRowsChanged (0);
    c.onLoadPresetButton();
    EXPECT_FALSE (c.hasWorker());
    EXPECT_EQ (page.view.last(), "preset loaded");
    EXPECT_FLOAT_EQ (page.processor.getParameter (27), 0.9f);
    c.selectedRowsChanged (0);
    c.deleteSelected();
    EXPECT_EQ (page.view.last(), "delete local preset");
    ASSERT_TRUE (page.pollUntil ([&] { return ! c.refreshWanted; }));
    EXPECT_TRUE (c.rows.empty());
    EXPECT_FALSE (original.exists());
    EXPECT_TRUE (Page::marked (renamed));
    EXPECT_EQ (folder.getNumberOfChildFiles (juce::File::findFiles), 3);

    // A directory where the save's marker goes: the save fails, says so, and
    // the folder is as it was.
    page.view.name = "Stuck";
    c.save();
    const juce::File stuck = page.fileOf ("Stuck");
    ASSERT_TRUE (stuck.existsAsFile());
    ASSERT_TRUE (stuck.getSiblingFile (stuck.getFileName() + ".markeddelete").createDirectory().wasOk());
    const juce::StringArray before = oddities::folderImage (folder);
    page.processor.setParameter (27, 0.4f);
    c.save();
    EXPECT_EQ (page.view.last(), "could not save preset to disc");
    EXPECT_EQ (oddities::folderImage (folder), before);
}

TEST (PresetsPageController, AFifoADeviceOrADirectoryInTheFolderNeverStallsThePage)
{
    serverrig::Rig rig;
    rig.addAccount (ann, annPassword);
    PresetsPageController::latestVersionOnServer = 103;
    Page page (rig.port());
    PresetMetaData pad = presetmeta::newRecord();
    pad.setAuthor (ann);
    pad.setName ("Pad G");
    ASSERT_TRUE (page.processor.savePresetToDisc (&pad, true));
    const juce::File folder = page.fileOf ("Pad G").getParentDirectory();
    const juce::File fifo = oddities::addOddPresets (folder, LocalPresetStore::kExtension);
    ASSERT_TRUE (fifo.exists());
    // Ends a reader stuck in the FIFO, so a stall fails the test instead of hanging it.
    oddities::FifoGuard guard (fifo, 3000);

    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollUntil ([&] { return ! Page::marked (page.fileOf ("Pad G")) && c.pending.empty() && ! c.hasWorker()
                                              && ! c.refreshWanted; },
                                 10000));
    EXPECT_LT (page.longestPollMs, std::min (kPollLimitMs, 100.0));
    EXPECT_FALSE (guard.fired()) << "the FIFO was opened";
    EXPECT_EQ (namesOnServer (rig), std::vector<std::string> { "Pad G" });
    EXPECT_EQ (page.view.count ("syncing preset to server"), 1);
    EXPECT_TRUE (oddities::isFifo (fifo));
    for (const char* name : { "fifo", "zero", "dir" })
        EXPECT_TRUE (folder.getChildFile (juce::String (name) + ".TalvoraXLPreset.needsync").existsAsFile()) << name;
}

namespace
{
int rowNamed (const PresetsPageController& c, const std::string& name)
{
    for (size_t i = 0; i < c.rows.size(); ++i)
        if (c.rows[i].record.getName() == name)
            return (int) i;
    return -1;
}

// ann's account with count presets of hers ("Pad 0", ...) on the server; no
// metadata request follows the first list.
bool addAnnWithPresets (serverrig::Rig& rig, int count)
{
    rig.addAccount (ann, annPassword);
    PresetsPageController::latestVersionOnServer = 103;
    for (int i = 0; i < count; ++i)
    {
        const std::string time = juce::String::formatted ("2024-05-01 10:%02d:00", i).toStdString();
        if (rig.upload (ann, annPassword, serverrig::record ("Pad " + std::to_string (i), time), serverrig::presetBytes ((uint32_t) i)).type()
            != REQUEST_OK)
            return false;
    }
    return true;
}
} // namespace

TEST (PresetsPageController, WithLocalSavingOffTheTableFollowsOnlineSavesAndDeletes)
{
    serverrig::Rig rig;
    ASSERT_TRUE (addAnnWithPresets (rig, 1));
    Page page (rig.port());
    page.processor.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 1u);

    // Each action's word is said last, and its row comes or goes within 2 s of it.
    const auto follows = [&] (const juce::String& word, bool present) {
        EXPECT_TRUE (page.pollUntil ([&] { return ! c.hasWorker() && page.view.count (word) == 1; }));
        const double said = page.view.timesOf (word).front();
        EXPECT_TRUE (page.pollUntil ([&] { return (rowNamed (c, "Lead S") >= 0) == present && ! c.hasWorker(); }, 2500))
            << word;
        EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - said, 2000.0) << word;
        EXPECT_TRUE (page.pollIdle());
        EXPECT_EQ (page.view.last(), word);
    };

    page.view.name = "Lead S";
    c.save();
    follows ("preset saved", true);
    EXPECT_EQ (c.rows.size(), 2u);

    c.selectedRowsChanged (rowNamed (c, "Lead S"));
    c.deleteSelected();
    follows ("preset removed", false);
    ASSERT_EQ (c.rows.size(), 1u);
    EXPECT_EQ (std::string (c.rows[0].record.getName()), "Pad 0");
    EXPECT_TRUE (page.view.errors.empty());
    EXPECT_LT (page.longestPollMs, kPollLimitMs);
}

TEST (PresetsPageController, DeletingTheOnlyPresetOfTheLastPageStepsBackAPage)
{
    serverrig::Rig rig;
    ASSERT_TRUE (addAnnWithPresets (rig, 41));
    Page page (rig.port());
    page.processor.getPropertyProxy().setValue (settingsKeys::enableLocalCache, 0);
    page.open();
    auto& c = *page.controller;
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 40u);
    c.nextPage();
    ASSERT_TRUE (page.pollIdle());
    ASSERT_EQ (c.rows.size(), 1u);
    ASSERT_EQ (c.listStart, 40u);

    c.selectedRowsChanged (0);
    c.deleteSelected();
    ASSERT_TRUE (page.pollUntil ([&] { return page.view.count ("preset removed") == 1 && c.rows.size() == 40 && ! c.hasWorker()
                                              && ! c.refreshWanted; }));
    EXPECT_EQ (c.listStart, 0u);
    EXPECT_EQ (c.listTotal, 40u);
    EXPECT_FALSE (c.isPreviousEnabled());
    EXPECT_FALSE (c.isNextEnabled());
    EXPECT_EQ (page.view.count ("no presets found"), 0);
    EXPECT_EQ (page.view.last(), "preset removed");
    EXPECT_EQ (rig.list (ann, annPassword, 0).presets().size(), 40u);

    // Paged past the end by a search: the first page that has rows, and its word.
    c.listStart = 40;
    c.refreshPresetList (false);
    ASSERT_TRUE (page.pollIdle());
    EXPECT_EQ (c.listStart, 0u);
    EXPECT_EQ (c.rows.size(), 40u);
    EXPECT_EQ (page.view.last(), "preset list updated");
    EXPECT_EQ (page.view.count ("no presets found"), 0);
}
