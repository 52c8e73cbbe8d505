// The presets page in an open editor against the project's server: page
// presses made while a slow list is out, a reopening with the server gone, and
// the longest clash text in the status display.

#include <gtest/gtest.h>
#include <httplib.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "ServerRig.h"
#include "ServerSettings.h"
#include "core/PluginProcessor.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/synth/SynthPage.h"
#include "presets/Base64.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPage.h"
#include "presets/PresetsPageThread.h"
#include "presets/RequestResponse.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

// Sits between the page and the server: passes every exchange on, and holds
// each preset list reply for holdMs before it answers. Notes the offset of
// every list request.
class HoldingRelay
{
public:
    HoldingRelay (int serverPort, int holdMs) : target (serverPort), hold (holdMs)
    {
        const auto pass = [this] (const httplib::Request& req, httplib::Response& res) { forward (req, res); };
        front.Get (".*", pass);
        front.Post (".*", pass);
        boundPort = front.bind_to_any_port ("127.0.0.1");
        loop = std::thread ([this] { front.listen_after_bind(); });
    }
    ~HoldingRelay()
    {
        {
            std::lock_guard<std::mutex> guard (lock);
            stopping = true;
        }
        released.notify_all();
        front.stop();
        loop.join();
    }

    int port() const { return boundPort; }
    std::vector<uint32_t> listOffsets() const
    {
        std::lock_guard<std::mutex> guard (lock);
        return offsets;
    }

private:
    void forward (const httplib::Request& req, httplib::Response& res)
    {
        noteList (req);
        httplib::Client server ("127.0.0.1", target);
        const auto reply = req.method == "GET" ? server.Get (req.path)
                                               : server.Post (req.path, req.body, req.get_header_value ("Content-Type"));
        if (! reply)
        {
            res.status = 502;
            return;
        }
        if (typeOf (reply->body) == PRESET_LIST)
        {
            std::unique_lock<std::mutex> guard (lock);
            released.wait_for (guard, std::chrono::milliseconds (hold), [this] { return stopping; });
        }
        res.status = reply->status;
        res.set_content (reply->body, reply->get_header_value ("Content-Type"));
    }

    static uint32_t typeOf (const std::string& encoded)
    {
        const auto bytes = base64::decode (encoded);
        const auto message = requestResponseFromBuffer (bytes.data(), bytes.size());
        return message != nullptr ? message->type : 0;
    }

    void noteList (const httplib::Request& req)
    {
        if (! req.has_param ("requestData"))
            return;
        const auto bytes = base64::decode (req.get_param_value ("requestData"));
        const auto message = requestResponseFromBuffer (bytes.data(), bytes.size());
        if (message == nullptr || message->type != LIST_PRESETS || message->payload.size() < presetmeta::kRecordSize)
            return;
        PresetMetaData query;
        presetmeta::fromBytes (reinterpret_cast<const uint8_t*> (message->payload.data()), query);
        std::lock_guard<std::mutex> guard (lock);
        offsets.push_back (query.listOffset);
    }

    const int target, hold;
    httplib::Server front;
    int boundPort = 0;
    std::thread loop;
    mutable std::mutex lock;
    std::condition_variable released;
    bool stopping = false;
    std::vector<uint32_t> offsets;
};

const std::string ann = "ann@example.org", annPassword = "ann's secret";

struct PresetsPageLive : ::testing::Test
{
    void SetUp() override { PresetsPageController::latestVersionOnServer = 103; } // no metadata request
    void TearDown() override { closeEditor (*processor, editor); }

    // The page's settings: this login, the server (or a relay) on port.
    void pointAt (int port, const std::string& email, const std::string& password)
    {
        PresetServerConnector::publishServer ("", "");
        auto& settings = processor->getPropertyProxy();
        pointSettingsAt (settings, port);
        settings.setValue (settingsKeys::email, juce::String (email));
        settings.setValue (settingsKeys::password, juce::String (password));
    }

    void open()
    {
        page = openPresetsPage (*processor, editor);
        ASSERT_NE (page, nullptr);
    }

    // Runs the editor as a host does, a paint of the page every 33 ms, until
    // done() holds or ms have passed; watch() sees every turn.
    bool run (double ms, const std::function<bool()>& done = {})
    {
        juce::Image frame (juce::Image::ARGB, page->getWidth(), page->getHeight(), true);
        const double end = nowMs() + ms;
        while (nowMs() < end)
        {
            const double before = nowMs();
            pump();
            {
                juce::Graphics g (frame);
                page->paintEntireComponent (g, false);
            }
            if (watch)
                watch();
            if (done && done())
                return true;
            juce::Thread::sleep (std::max (1, (int) (before + ParameterShower::kStepMs - nowMs())));
        }
        return false;
    }
    bool idle()
    {
        const auto& c = page->getController();
        return c.mode != PresetsPageController::unknown && ! c.hasWorker() && ! c.refreshWanted && ! c.scanWanted;
    }
    // Until the next exchange would go out at once.
    void runUntilTheServerIsFree() { run (PresetsPageThread::msUntilNextSlot() + 1.0); }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    std::unique_ptr<serverrig::Rig> rig = std::make_unique<serverrig::Rig>();
    std::unique_ptr<BrevonAudioProcessor> processor = std::make_unique<BrevonAudioProcessor>();
    BrevonAudioProcessorEditor* editor = nullptr;
    PresetsPage* page = nullptr;
    std::function<void()> watch;
};

constexpr double kPageShownWithinMs = serverrig::kSanitized ? 9000.0 : 5000.0;
} // namespace

// 45 presets, list replies held 2 s. "next page" and 0.9 s later "prev.
// page" end on page 1, and page 2 never shows; a search and 0.8 s later
// "next page" end on page 2 within 5 s of the press. Each press's list
// follows the running one.
TEST_F (PresetsPageLive, APagePressMadeWhileAListIsOutIsKept)
{
    rig->addAccount (ann, annPassword);
    for (int i = 0; i < 45; ++i)
    {
        const std::string time = juce::String::formatted ("2024-05-01 10:%02d:00", i).toStdString();
        ASSERT_EQ (rig->upload (ann, annPassword, serverrig::record ("Pad " + std::to_string (i), time),
                                serverrig::presetBytes ((uint32_t) i))
                       .type(),
                   (uint32_t) REQUEST_OK);
    }
    HoldingRelay relay (rig->port(), 2000);
    pointAt (relay.port(), ann, annPassword);
    open();
    auto& c = page->getController();
    auto& table = page->getTable();
    const auto onPage = [&] (uint32_t start, int rows) {
        return idle() && c.listStart == start && table.getNumRows() == rows;
    };
    const auto state = [&] {
        return "mode " + std::to_string (c.mode) + ", listStart " + std::to_string (c.listStart) + ", rows "
               + std::to_string (table.getNumRows()) + ", worker " + std::to_string (c.hasWorker()) + ", status \""
               + page->getStatus().getText().toStdString() + "\"";
    };
    ASSERT_TRUE (run (12000, [&] { return onPage (0, 40); })) << state();
    ASSERT_TRUE (page->nextButton->isEnabled());

    runUntilTheServerIsFree();
    bool page2Shown = false;
    watch = [&] { page2Shown = page2Shown || table.getNumRows() == 5; };
    page->nextButton->triggerClick();
    run (900);
    ASSERT_TRUE (c.hasWorker());
    page->prevButton->triggerClick();
    pump();
    EXPECT_EQ (c.listStart, 0u);
    ASSERT_TRUE (run (12000, [&] { return onPage (0, 40); })) << state();
    EXPECT_FALSE (page2Shown);
    EXPECT_FALSE (page->prevButton->isEnabled());
    EXPECT_TRUE (page->nextButton->isEnabled());
    watch = {};

    runUntilTheServerIsFree();
    page->searchButton->triggerClick();
    run (800);
    ASSERT_TRUE (c.hasWorker());
    ASSERT_TRUE (page->nextButton->isEnabled());
    page->nextButton->triggerClick();
    const double pressed = nowMs();
    pump();
    EXPECT_EQ (c.listStart, 40u);
    ASSERT_TRUE (run (12000, [&] { return onPage (40, 5); })) << state();
    EXPECT_LE (nowMs() - pressed, kPageShownWithinMs);
    EXPECT_TRUE (page->prevButton->isEnabled());
    EXPECT_FALSE (page->nextButton->isEnabled());
    EXPECT_EQ (page->getStatus().getText(), "preset list updated");
    Snapshot shot (*page, "page-2");

    EXPECT_EQ (relay.listOffsets(), (std::vector<uint32_t> { 0, 40, 0, 0, 40 }));
}

// Online with two local presets; the server stops; the page is closed and
// opened again. Its lookup gets no key, so it works locally and lists both,
// and a save is kept for the sync; the key from before stays for a later
// lookup.
TEST_F (PresetsPageLive, ReopenedWithTheServerStoppedItWorksLocally)
{
    rig->addAccount (ann, annPassword);
    pointAt (rig->port(), ann, annPassword);
    processor->getPropertyProxy().setValue (settingsKeys::enableLocalCache, 1);
    for (const char* name : { "Local One", "Local Two" })
    {
        PresetMetaData md = presetmeta::newRecord();
        md.setAuthor (ann);
        md.setName (name);
        ASSERT_TRUE (processor->savePresetToDisc (&md, false));
    }
    open();
    ASSERT_TRUE (run (8000, [&] { return idle() && page->getController().mode == PresetsPageController::online; }));
    EXPECT_EQ (page->connectedLabel->getText(), "connected to server");
    const std::string key = PresetServerConnector::getServerPublicKey();
    ASSERT_FALSE (key.empty());

    rig.reset();
    juce::Image tiny (juce::Image::ARGB, 1, 1, true);
    const auto switchPage = [&] (juce::Button& button) {
        button.triggerClick();
        pump();
        juce::Graphics g (tiny);
        editor->paint (g);
    };
    switchPage (*page->synthButton);
    ASSERT_EQ (editor->getPresetsPage(), nullptr);
    switchPage (editor->getSynthPage()->getPresetsButton());
    page = editor->getPresetsPage();
    ASSERT_NE (page, nullptr);
    auto& c = page->getController();
    ASSERT_TRUE (run (8000, [&] { return idle(); }));
    EXPECT_EQ (c.mode, PresetsPageController::localOnly);
    EXPECT_EQ (page->connectedLabel->getText(), "working locally, server not reachable");
    EXPECT_EQ (page->getTable().getNumRows(), 2);
    EXPECT_EQ (PresetServerConnector::getServerPublicKey(), key);
    Snapshot shot (*page, "working-locally");

    page->nameBox->setText ("Local Three", true);
    page->saveButton->triggerClick();
    pump();
    EXPECT_EQ (page->getStatus().getText(), "saving preset to disc");
    ASSERT_TRUE (run (3000, [&] { return idle() && page->getTable().getNumRows() == 3; }));
    int marked = 0;
    for (const auto& entry : processor->getLocalPresetStore().listFolder (false))
        marked += entry.needSync && entry.record.getName() == "Local Three" ? 1 : 0;
    EXPECT_EQ (marked, 1);
}

namespace
{
// The glyphs of the label's text as its look-and-feel lays them out (lines,
// squeeze and ellipsis included), and the box they take.
juce::String glyphsDrawn (juce::Label& label, juce::Rectangle<float>& box)
{
    auto& lf = label.getLookAndFeel();
    const juce::Font font = lf.getLabelFont (label);
    const auto area = lf.getLabelBorderSize (label).subtractedFrom (label.getLocalBounds()).toFloat();
    juce::GlyphArrangement glyphs;
    glyphs.addFittedText (font, label.getText(), area.getX(), area.getY(), area.getWidth(), area.getHeight(),
                          label.getJustificationType(), std::max (1, (int) (area.getHeight() / font.getHeight())),
                          label.getMinimumHorizontalScale());
    box = glyphs.getBoundingBox (0, -1, true);
    juce::String drawn;
    for (int i = 0; i < glyphs.getNumGlyphs(); ++i)
        if (! glyphs.getGlyph (i).isWhitespace())
            drawn += juce::String::charToString (glyphs.getGlyph (i).getCharacter());
    return drawn;
}
} // namespace

// Online, local saving on: a save whose file holds another preset of
// 24 characters, by an author whose name has 24 characters too. The status
// display draws every character of its clash text, inside its area.
TEST_F (PresetsPageLive, TheLongestClashTextIsDrawnWhole)
{
    const std::string author = "abcdefghijklmnopqrstuvwx@example.org", storedName = "Warm/Pad Long Name No 24";
    rig->addAccount (author, annPassword);
    pointAt (rig->port(), author, annPassword);
    processor->getPropertyProxy().setValue (settingsKeys::enableLocalCache, 1);
    PresetMetaData stored = presetmeta::newRecord();
    stored.setAuthor (author);
    stored.setName (storedName);
    ASSERT_TRUE (processor->savePresetToDisc (&stored, false));
    open();
    ASSERT_TRUE (run (8000, [&] { return idle() && page->getController().mode == PresetsPageController::online; }));

    page->nameBox->setText ("Warm Pad Long Name No 24", true);
    page->saveButton->triggerClick();
    auto& status = page->getStatus();
    ASSERT_TRUE (run (3000, [&] { return status.getText().contains ("refused"); })) << status.getText();
    const juce::String text = status.getText();
    EXPECT_TRUE (text.contains ("\"" + storedName + "\"")) << text;
    EXPECT_TRUE (text.contains ("abcdefghijklmnopqrstuvwx")) << text;

    Snapshot shot (status, "clash-text");
    juce::Rectangle<float> box;
    EXPECT_EQ (glyphsDrawn (status.label, box), text.removeCharacters (" \t\r\n"));
    EXPECT_TRUE (status.label.getLocalBounds().toFloat().contains (box)) << box.toString();
    EXPECT_LT (status.label.getFont().getHeight(), status.font->getHeight());

    // A text that fits two lines keeps the display's own letters.
    ASSERT_TRUE (run (7000, [&] { return status.getText() == "preset saved"; })) << status.getText();
    EXPECT_EQ (status.label.getFont().getHeight(), status.font->getHeight());
}
