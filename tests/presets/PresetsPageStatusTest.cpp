// What the presets page's status display says after each action, and at what
// pace it fades, with the page run as an open editor runs it: its timer, a
// paint of the whole page every 33 ms and the extra paints of the display that
// the page's own repaints bring; against the project's server.

#include <gtest/gtest.h>

#include <functional>

#include "ServerRig.h"
#include "ServerSettings.h"
#include "core/PluginProcessor.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPage.h"
#include "presets/PresetsPageThread.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
const std::string ann = "ann@example.org", annPassword = "ann's secret";
const juce::String refusal = "wrong e-mail or password";

double nowMs() { return juce::Time::getMillisecondCounterHiRes(); }

struct PresetsPageStatus : ::testing::Test
{
    // What the display showed at one turn of the run; before and after
    // bound the moment it was painted.
    struct Probe
    {
        double before, after;
        juce::String text;
        int alpha;
    };

    void SetUp() override
    {
        rig.addAccount (ann, annPassword);
        PresetServerConnector::publishServer ("", "");
        PresetsPageController::latestVersionOnServer = 103; // no metadata request
        auto& settings = processor->getPropertyProxy();
        pointSettingsAt (settings, rig.port());
        settings.setValue (settingsKeys::email, juce::String (ann));
        settings.setValue (settingsKeys::password, juce::String (annPassword));
    }
    void TearDown() override
    {
        if (editor != nullptr)
            closeEditor (*processor, editor);
    }

    void open()
    {
        // The lookup goes out at once only when no earlier exchange is that recent.
        juce::Thread::sleep ((int) PresetsPageThread::msUntilNextSlot() + 1);
        page = openPresetsPage (*processor, editor);
        ASSERT_NE (page, nullptr);
    }

    // Runs the page until done() holds or ms have passed.
    bool run (double ms, const std::function<bool (const Probe&)>& done = {})
    {
        auto& status = page->getStatus();
        juce::Image frame (juce::Image::ARGB, page->getWidth(), page->getHeight(), true);
        juce::Image small (juce::Image::ARGB, status.getWidth(), status.getHeight(), true);
        const double end = nowMs() + ms;
        while (nowMs() < end)
        {
            const double before = nowMs();
            pump();
            {
                juce::Graphics g (frame);
                page->paintEntireComponent (g, false);
            }
            for (int extra = 0; extra < 2; ++extra)
            {
                juce::Graphics g (small);
                status.paintEntireComponent (g, false);
            }
            probes.push_back ({ before, nowMs(), status.getText(),
                                status.label.findColour (juce::Label::textColourId).getAlpha() });
            if (done && done (probes.back()))
                return true;
            juce::Thread::sleep (std::max (1, (int) (before + ParameterShower::kStepMs - nowMs())));
        }
        return false;
    }

    // The first probe from `from` on that shows text; probes.size() if none.
    size_t firstShowing (const juce::String& text, size_t from = 0) const
    {
        for (size_t i = from; i < probes.size(); ++i)
            if (probes[i].text == text)
                return i;
        return probes.size();
    }
    // Earliest moment the text of probe i can have appeared.
    double appearedNoEarlierThan (size_t i) const { return i == 0 ? probes[0].before : probes[i - 1].before; }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    serverrig::Rig rig;
    std::unique_ptr<BrevonAudioProcessor> processor = std::make_unique<BrevonAudioProcessor>();
    BrevonAudioProcessorEditor* editor = nullptr;
    PresetsPage* page = nullptr;
    std::vector<Probe> probes;
};
} // namespace

// A refused login, then the corrected one: the error holds its 3 s, then the
// list's outcome comes; a search that matches nothing says so; and a short
// text holds about half a second and is at half strength at about two.
TEST_F (PresetsPageStatus, EveryListEndsOnItsOutcomeAtTheDisplaysPace)
{
    for (const char* name : { "Keys One", "Keys Two" })
        ASSERT_EQ (rig.upload (ann, annPassword, serverrig::record (name, "2024-05-01 10:00:00"), serverrig::presetBytes (1))
                       .type(),
                   (uint32_t) REQUEST_OK);
    processor->getPropertyProxy().setValue (settingsKeys::password, "not it");
    open();
    ASSERT_TRUE (run (4000, [] (const Probe& p) { return p.text == refusal; })) << probes.back().text;
    const size_t refused = probes.size() - 1;
    const double refusedEarliest = appearedNoEarlierThan (refused);

    // The user corrects the password and searches again a second later.
    page->passwordBox->setText (annPassword, true);
    run (probes[refused].after + 1000.0 - nowMs());
    EXPECT_EQ (processor->getPropertyProxy().getStringValue (settingsKeys::password), juce::String (annPassword));
    const double searched = nowMs();
    page->searchButton->triggerClick();
    ASSERT_TRUE (run (5000, [] (const Probe& p) { return p.text == "preset list updated" && p.alpha == 255; }))
        << "shows \"" << probes.back().text << "\" 5 s after the search";
    EXPECT_LE (probes.back().after - searched, 5000.0);
    EXPECT_EQ (page->getTable().getNumRows(), 2);
    for (size_t i = refused; i < probes.size() && probes[i].after < refusedEarliest + 3000.0; ++i)
    {
        ASSERT_EQ (probes[i].text, refusal) << probes[i].after - refusedEarliest << " ms after it came";
        ASSERT_EQ (probes[i].alpha, 255) << probes[i].after - refusedEarliest << " ms after it came";
    }
    {
        Snapshot shot (*page, "list-updated-after-refusal");
    }

    // The outcome of a search that matches nothing arrives while "get
    // presets" is held, and is shown after it.
    page->searchEditor->setText ("zzz", false);
    page->searchButton->triggerClick();
    const size_t searchedAgain = probes.size();
    ASSERT_TRUE (run (5000, [] (const Probe& p) { return p.text == "no presets found"; }))
        << "shows \"" << probes.back().text << "\" 5 s after the search";
    EXPECT_NE (firstShowing ("get presets", searchedAgain), probes.size());
    EXPECT_EQ (page->getTable().getNumRows(), 0);
    EXPECT_TRUE (page->getController().rows.empty());

    // The pace, bounded either way by when it can have appeared.
    const size_t shown = probes.size() - 1;
    const double earliest = appearedNoEarlierThan (shown), latest = probes[shown].after;
    run (3000, [&] (const Probe& p) { return p.before - latest > 2800.0; });
    bool snapped = false;
    int fading = 0, faded = 0;
    for (size_t i = shown; i < probes.size(); ++i)
    {
        const auto& p = probes[i];
        ASSERT_EQ (p.text, "no presets found");
        const double atMost = p.after - earliest, atLeast = p.before - latest;
        if (atMost < 400.0)
            EXPECT_EQ (p.alpha, 255) << atMost << " ms";
        if (atLeast > 700.0)
            EXPECT_LT (p.alpha, 255) << atLeast << " ms";
        if (atMost < 1600.0)
            EXPECT_GT (p.alpha, 127) << atMost << " ms";
        if (atLeast > 2400.0)
            EXPECT_LE (p.alpha, 127) << atLeast << " ms";
        fading += atLeast > 700.0 && atMost < 1600.0 ? 1 : 0;
        faded += atLeast > 2400.0 ? 1 : 0;
        if (! snapped && atLeast > 1000.0)
        {
            snapped = true;
            Snapshot shot (*page, "no-presets-found-fading");
        }
    }
    EXPECT_GT (fading, 0) << "too few probes to judge the pace";
    EXPECT_GT (faded, 0) << "too few probes to judge the pace";
}

// Online, local saving on: "Pad 1" goes to a file that holds "Pad/1". The
// clash is said and held; "preset saved" follows, and the preset is on the
// server.
TEST_F (PresetsPageStatus, AnOnlineSaveWhoseLocalCopyIsRefusedEndsOnPresetSaved)
{
    processor->getPropertyProxy().setValue (settingsKeys::enableLocalCache, 1);
    PresetMetaData slash = presetmeta::newRecord();
    slash.setAuthor (ann);
    slash.setName ("Pad/1");
    ASSERT_TRUE (processor->savePresetToDisc (&slash, false));
    open();
    auto& c = page->getController();
    ASSERT_TRUE (run (5000, [&] (const Probe&) {
        return c.mode == PresetsPageController::online && ! c.hasWorker() && ! c.refreshWanted && ! c.scanWanted;
    }));

    page->nameBox->setText ("Pad 1", true);
    page->saveButton->triggerClick();
    const size_t saved = probes.size();
    const juce::String clash = "local copy refused, its file holds \"Pad/1\" by ann";
    ASSERT_TRUE (run (7000, [] (const Probe& p) { return p.text == "preset saved"; }))
        << "shows \"" << probes.back().text << "\" 7 s after the save";
    const size_t clashed = firstShowing (clash, saved);
    ASSERT_LT (clashed, probes.size());
    const double clashEarliest = appearedNoEarlierThan (clashed);
    for (size_t i = clashed; i < probes.size() && probes[i].after < clashEarliest + 3000.0; ++i)
        ASSERT_EQ (probes[i].text, clash) << probes[i].after - clashEarliest << " ms after it came";

    std::vector<std::string> names;
    for (const auto& md : rig.list (ann, annPassword, 0).presets())
        names.emplace_back (md.getName());
    EXPECT_EQ (names, std::vector<std::string> { "Pad 1" });
}
