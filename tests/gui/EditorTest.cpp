// The editor as hosts drive it: opened and closed through the processor,
// pages switched by paint, mouse clicks routed to the settings menu.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/GuiPage.h"
#include "gui/KevoJuceKnob.h"
#include "gui/MultiChoice.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthPage.h"
#include "presets/PresetsPage.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
class EditorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ (PropertyProxy::getNumProxies(), 0);
        ASSERT_EQ (BrevonAudioProcessorEditor::getNumEditors(), 0);
    }

    void TearDown() override
    {
        draw_shadows = true;
        thin_line_knobs = true;
    }

    // Paints the editor (a page switch happens in paint) until the other page
    // shows. Compares kinds, not addresses: a new page may reuse the old one's.
    static bool switchPage (BrevonAudioProcessorEditor& editor)
    {
        const bool fromSynth = editor.getSynthPage() != nullptr;
        auto arrived = [&] { return fromSynth ? editor.getPresetsPage() != nullptr : editor.getSynthPage() != nullptr; };
        editor.requestPageSwitch();
        juce::Image tiny (juce::Image::ARGB, 1, 1, true);
        for (int attempt = 0; attempt < 1000 && ! arrived(); ++attempt)
        {
            juce::Graphics g (tiny);
            editor.paint (g);
            if (! arrived())
                std::this_thread::yield();
        }
        return arrived() && editor.getCurrentPage() != nullptr;
    }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
};

class CountingHost : public juce::AudioProcessorListener
{
public:
    void audioProcessorParameterChanged (juce::AudioProcessor*, int, float) override { ++changes; }
    void audioProcessorChanged (juce::AudioProcessor*, const ChangeDetails&) override {}
    std::atomic<int> changes { 0 };
};

TEST_F (EditorTest, SharedLookAndFeelAndImagesLiveWhileAnyEditorIsOpen)
{
    BrevonAudioProcessor a, b, c;

    // Closed in the order A B, then B A.
    for (bool firstClosesFirst : { true, false })
    {
        auto* ea = openEditor (a);
        auto* laf = BrevonAudioProcessorEditor::getStaticLookAndFeel();
        const auto* images = BrevonAudioProcessorEditor::getStaticImages();
        ASSERT_NE (laf, nullptr);
        ASSERT_NE (images, nullptr);
        EXPECT_EQ (&juce::LookAndFeel::getDefaultLookAndFeel(), laf);
        EXPECT_EQ (ea->getBounds().getWidth(), 829);
        EXPECT_EQ (ea->getBounds().getHeight(), 740);

        auto* eb = openEditor (b);
        EXPECT_EQ (eb->getSharedLookAndFeel(), laf);
        EXPECT_EQ (eb->getImages(), images);
        EXPECT_EQ (BrevonAudioProcessorEditor::getNumEditors(), 2);

        auto*& first = firstClosesFirst ? ea : eb;
        auto*& second = firstClosesFirst ? eb : ea;
        closeEditor (firstClosesFirst ? a : b, first);
        EXPECT_EQ (BrevonAudioProcessorEditor::getStaticLookAndFeel(), laf);
        EXPECT_EQ (BrevonAudioProcessorEditor::getStaticImages(), images);

        if (! firstClosesFirst)
        {
            // B opened last and closed first: its fonts must not vanish from A's buttons.
            auto& button = ea->getSynthPage()->getPresetsButton();
            const auto font = laf->getTextButtonFont (button, 30);
            EXPECT_EQ (font.getTypefaceName(), ea->getMediumFont().getTypefaceName());
            EXPECT_GT (font.getStringWidthFloat ("presets"), 10.0f);
            Snapshot shot (*ea, "after-b-closed");
            EXPECT_TRUE (shot.image.isValid());
        }

        closeEditor (firstClosesFirst ? b : a, second);
        EXPECT_EQ (BrevonAudioProcessorEditor::getStaticLookAndFeel(), nullptr);
        EXPECT_EQ (BrevonAudioProcessorEditor::getStaticImages(), nullptr);
        EXPECT_EQ (dynamic_cast<TalvoraLookAndFeel*> (&juce::LookAndFeel::getDefaultLookAndFeel()), nullptr);
    }

    // A third editor after all closed builds them again.
    auto* ec = openEditor (c);
    EXPECT_NE (BrevonAudioProcessorEditor::getStaticLookAndFeel(), nullptr);
    EXPECT_NE (ec->getTitleFont().getTypefaceName(), juce::Font().getTypefaceName());
    closeEditor (c, ec);
    EXPECT_EQ (BrevonAudioProcessorEditor::getStaticLookAndFeel(), nullptr);
}

TEST_F (EditorTest, OpensOnTheSynthPageAndSwitchesInPaint)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    ASSERT_NE (editor->getSynthPage(), nullptr);
    EXPECT_EQ (editor->getCurrentPage(), editor->getSynthPage());
    EXPECT_EQ (editor->getCaptureRing(), p.getCaptureRing());
    {
        Snapshot shot (*editor, "synth");
        // A plain box of the page, default scheme 5: colour 7 under a faint texture.
        EXPECT_COLOUR_NEAR (shot.at (16, 300), juce::Colour (0xFF3C3C3Cu), 16);
    }

    editor->requestPageSwitch();
    EXPECT_NE (editor->getSynthPage(), nullptr); // only the next paint switches
    {
        Snapshot shot (*editor, "presets");
        EXPECT_EQ (editor->getSynthPage(), nullptr);
        ASSERT_NE (editor->getPresetsPage(), nullptr);
        EXPECT_EQ (editor->getCurrentPage(), editor->getPresetsPage());
    }

    p.setParameter (5, 0.75f);
    ASSERT_TRUE (switchPage (*editor));
    ASSERT_NE (editor->getSynthPage(), nullptr);
    EXPECT_NEAR (editor->getSynthPage()->getKnob (5)->getValue(), 0.75, 0.001);
    closeEditor (p, editor);
}

TEST_F (EditorTest, HostChangesReachTheControlsOnTheNextPaint)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    auto* page = editor->getSynthPage();
    p.setParameter (6, 0.25f);
    EXPECT_NE (page->getKnob (6)->getValue(), 0.25); // not from the setting thread
    Snapshot shot (*editor, "host-change");
    EXPECT_NEAR (page->getKnob (6)->getValue(), 0.25, 0.001);
    closeEditor (p, editor);
}

TEST_F (EditorTest, IdleEditorNeverWritesToTheHost)
{
    BrevonAudioProcessor p;
    for (int i = 0; i < GuiPage::numParameters; ++i)
        p.setParameter (i, 0.12345f);
    p.setParameter (37, 0.03f);
    std::vector<float> before;
    for (int i = 0; i < GuiPage::numParameters; ++i)
        before.push_back (p.getParameter (i));

    CountingHost host;
    p.addListener (&host);
    auto* editor = openEditor (p);
    ASSERT_NE (editor->getSynthPage()->getMultiChoice (37), nullptr);
    EXPECT_NEAR (editor->getSynthPage()->getMultiChoice (37)->getValue(), 0.03, 1e-6);
    pumpFor (1000);
    EXPECT_TRUE (switchPage (*editor));
    EXPECT_TRUE (switchPage (*editor));
    { auto menu = editor->getCurrentPage()->buildSettingsMenu(); }
    pump();
    closeEditor (p, editor);
    pump();
    p.removeListener (&host);

    EXPECT_EQ (host.changes.load(), 0);
    for (int i = 0; i < GuiPage::numParameters; ++i)
        ASSERT_EQ (p.getParameter (i), before[(size_t) i]) << "parameter " << i;
}

TEST_F (EditorTest, PageSwitchesWhileAnotherThreadSetsParameters)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    std::atomic<bool> stop { false };
    std::thread automation ([&] {
        for (int n = 0; ! stop.load(); ++n)
            p.setParameter (1 + n % 60, (float) (n % 100) / 100.0f);
    });

    int done = 0;
    for (int i = 0; i < 200; ++i)
        done += switchPage (*editor) ? 1 : 0;
    stop = true;
    automation.join();

    EXPECT_EQ (done, 200);
    EXPECT_NE (editor->getSynthPage(), nullptr); // an even number of switches
    closeEditor (p, editor);
}

TEST_F (EditorTest, OnlyARightOrModifiedClickOnThePageAsksForTheMenu)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    auto* page = editor->getCurrentPage();
    const juce::Point<float> where (400.0f, 170.0f);
    const juce::ModifierKeys left (juce::ModifierKeys::leftButtonModifier);

    EXPECT_EQ (editor->pageForSettingsMenu (mouseDown (*page, where, left)), nullptr);
    EXPECT_EQ (editor->pageForSettingsMenu (mouseDown (*page, where, juce::ModifierKeys (juce::ModifierKeys::rightButtonModifier))), page);
    for (int mod : { juce::ModifierKeys::shiftModifier, juce::ModifierKeys::ctrlModifier, juce::ModifierKeys::altModifier })
        EXPECT_EQ (editor->pageForSettingsMenu (mouseDown (*page, where, left.withFlags (mod))), page) << mod;

    // A click on a control, or beside the page, opens nothing.
    auto* knob = page->getKnob (5);
    EXPECT_EQ (editor->pageForSettingsMenu (mouseDown (*knob, { 5, 5 }, juce::ModifierKeys (juce::ModifierKeys::rightButtonModifier))), nullptr);
    EXPECT_EQ (editor->pageForSettingsMenu (mouseDown (*editor, where, juce::ModifierKeys (juce::ModifierKeys::rightButtonModifier))), nullptr);

    // A plain left click goes all the way through mouseDown without a menu.
    editor->mouseDown (mouseDown (*page, where, left));
    closeEditor (p, editor);
}

TEST_F (EditorTest, CaptureSizeKnobLentToTheMenuDiesWithThePage)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    juce::Component::SafePointer<KevoJuceKnob> knob (editor->getSynthPage()->getKnob (GuiPage::captureSizeKnob));
    ASSERT_NE (knob, nullptr);
    EXPECT_FALSE (knob->isVisible());
    {
        auto menu = editor->getSynthPage()->buildSettingsMenu();
        EXPECT_NE (knob->getParentComponent(), editor->getSynthPage()); // lent
    }
    EXPECT_NE (knob, nullptr); // the menu never owned it
    closeEditor (p, editor);
    EXPECT_EQ (knob, nullptr);
}
} // namespace

#include <gtest/gtest-spi.h>

TEST (EditorRig, AFailedJuceAssertionFailsTheTest)
{
    editorRig::AssertionsFailTests guard;
    EXPECT_NONFATAL_FAILURE (jassertfalse, "JUCE Assertion failure");
}
