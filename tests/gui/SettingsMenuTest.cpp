// The page settings menu: what it offers, what each choice stores and
// announces, and what a new editor makes of the stored choices.

#include <gtest/gtest.h>

#include <map>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/GuiPage.h"
#include "gui/KevoJuceKnob.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthPage.h"
#include "support/EditorRig.h"

using namespace editorRig;

namespace
{
struct Item
{
    juce::String text;
    bool ticked = false;
};

struct MenuContents
{
    std::map<int, Item> items;
    juce::StringArray subMenus;
};

MenuContents contentsOf (const juce::PopupMenu& menu)
{
    MenuContents out;
    for (juce::PopupMenu::MenuItemIterator it (menu, true); it.next();)
    {
        const auto& item = it.getItem();
        if (item.subMenu != nullptr)
            out.subMenus.add (item.text);
        else if (item.itemID != 0)
            out.items[item.itemID] = { item.text, item.isTicked };
    }
    return out;
}

class EventCounter : public EventListener
{
public:
    explicit EventCounter (EventAggregator& a) : aggregator (a)
    {
        aggregator.registerForEvent (AppearanceChanged, this);
        aggregator.registerForEvent (GlobalAppearanceChanged, this);
    }
    ~EventCounter() override { aggregator.unregisterListener (this); }

    void receiveEvent (EventType type, int) override { ++(type == AppearanceChanged ? local : global); }

    EventAggregator& aggregator;
    int local = 0, global = 0;
};

class CountingPage : public GuiPage
{
public:
    using GuiPage::GuiPage;
    ~CountingPage() override { stopListening(); }
    void onAfterRightClickMenuCallback() override { ++afterCalls; }
    int afterCalls = 0;
};

class SettingsMenuTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ (PropertyProxy::getNumProxies(), 0); }
    void TearDown() override
    {
        draw_shadows = true;
        thin_line_knobs = true;
    }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
};

TEST_F (SettingsMenuTest, BuilderOffersTheItemsWithTicksOfANewUser)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    auto* laf = editor->getSharedLookAndFeel();
    EXPECT_EQ (laf->colors.schemeIndex, 5); // a new user starts in scheme 5 ...
    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
    EXPECT_EQ (laf->colors.schemeIndex, 5); // ... and stays there after any appearance change

    const auto menu = contentsOf (editor->getCurrentPage()->buildSettingsMenu());
    const std::map<int, const char*> texts = {
        { 1, "Velocity-sensitive mode" }, { 2, "Use circular dragging" }, { 3, "Use left-right dragging" },
        { 4, "Use up-down dragging" }, { 5, "Use left-right/up-down dragging" }, { 10, "3d look" },
        { 11, "thin knob line" }, { 100, "talvora blue" }, { 101, "velta donna" }, { 102, "dark and blue" },
        { 103, "dark and green" }, { 104, "dark and pink" }, { 105, "velta blue" }, { 106, "red and blue" },
        { 107, "brakk blue" }, { 143, "" }, { 21, "enable local preset saving" }, { 22, "o-scope blur" }
    };
    EXPECT_EQ (menu.items.size(), texts.size());
    for (const auto& [id, text] : texts)
    {
        ASSERT_EQ (menu.items.count (id), 1u) << id;
        if (id != 143)
            EXPECT_EQ (menu.items.at (id).text, juce::String (text)) << id;
    }
    EXPECT_EQ (menu.subMenus, juce::StringArray ({ "knob mode", "color schema", "oh snap! size" }));

    juce::StringArray ticked;
    for (const auto& [id, item] : menu.items)
        if (item.ticked)
            ticked.add (juce::String (id));
    EXPECT_EQ (ticked, juce::StringArray ({ "5", "10", "11", "22", "105" }));

    // The presets page has no capture-size knob to lend.
    editor->requestPageSwitch();
    { Snapshot shot (*editor, "presets"); }
    ASSERT_NE (editor->getPresetsPage(), nullptr);
    const auto presetsMenu = contentsOf (editor->getCurrentPage()->buildSettingsMenu());
    EXPECT_EQ (presetsMenu.items.count (143), 0u);
    EXPECT_FALSE (presetsMenu.subMenus.contains ("oh snap! size"));
    closeEditor (p, editor);
}

TEST_F (SettingsMenuTest, ChoicesAreStoredAndANewEditorTakesThem)
{
    BrevonAudioProcessor a, b;
    auto* ea = openEditor (a);
    auto* page = ea->getCurrentPage();
    for (int result : { 106, 10, 11, 3, 1, 21, 22 })
        GuiPage::rightClickMenuCallback (result, page);

    EXPECT_EQ (sandbox.storedInt ("color_set"), 6);
    EXPECT_EQ (sandbox.storedInt ("draw_shadows"), 0);
    EXPECT_EQ (sandbox.storedInt ("thin_line_knobs"), 0);
    EXPECT_EQ (sandbox.storedInt ("knobSliderStyle"), 5);
    EXPECT_EQ (sandbox.storedInt ("knobVelocitySensitive"), 1);
    EXPECT_EQ (sandbox.storedInt ("enableLocalCache"), 1);
    EXPECT_EQ (sandbox.storedInt ("OScopeBlur"), 0);
    EXPECT_EQ (page->getKnob (5)->getSliderStyle(), juce::Slider::RotaryHorizontalDrag);
    { Snapshot shot (*ea, "red-and-blue-flat"); }

    auto* eb = openEditor (b);
    auto* knob = eb->getCurrentPage()->getKnob (5);
    EXPECT_EQ (knob->getSliderStyle(), juce::Slider::RotaryHorizontalDrag);
    EXPECT_TRUE (knob->getVelocityBasedMode());
    juce::StringArray ticked;
    for (const auto& [id, item] : contentsOf (eb->getCurrentPage()->buildSettingsMenu()).items)
        if (item.ticked)
            ticked.add (juce::String (id));
    EXPECT_EQ (ticked, juce::StringArray ({ "1", "3", "21", "106" }));
    closeEditor (b, eb);

    // A restart: the flags start on, the stored "off" wins again.
    draw_shadows = true;
    thin_line_knobs = true;
    eb = openEditor (b);
    EXPECT_FALSE (draw_shadows);
    EXPECT_FALSE (thin_line_knobs);

    // Another process picks a scheme; an appearance change makes every editor show it.
    sandbox.storeInt ("color_set", 2);
    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
    EXPECT_EQ (ea->getSharedLookAndFeel()->colors.schemeIndex, 2);
    closeEditor (b, eb);
    closeEditor (a, ea);
}

TEST_F (SettingsMenuTest, EveryResultAnnouncesOnceAndOnlySchemeItemsSelectASheme)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    CountingPage page (&p, nullptr, nullptr, nullptr, p.getEventAggregator(), editor, "counting",
                       *editor->getImages(), p.getParameterValues());
    EventCounter counter (*p.getEventAggregator());
    auto* laf = editor->getSharedLookAndFeel();

    GuiPage::rightClickMenuCallback (103, &page);
    EXPECT_EQ (sandbox.storedInt ("color_set"), 3);
    EXPECT_EQ (laf->colors.schemeIndex, 3);
    EXPECT_EQ (counter.local, 1);
    EXPECT_EQ (counter.global, 1);
    EXPECT_EQ (page.afterCalls, 1);

    for (int result : { 0, 108, 143 })
    {
        counter.local = counter.global = page.afterCalls = 0;
        GuiPage::rightClickMenuCallback (result, &page);
        EXPECT_EQ (counter.local, 1) << result;
        EXPECT_EQ (counter.global, 1) << result;
        EXPECT_EQ (page.afterCalls, 1) << result;
        EXPECT_EQ (sandbox.storedInt ("color_set"), 3) << result;
        EXPECT_EQ (laf->colors.schemeIndex, 3) << result;
    }
    closeEditor (p, editor);
}

TEST_F (SettingsMenuTest, KnobStylesOutsideTheRotaryDragsBecomeHorizontalVertical)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    auto* page = editor->getCurrentPage();
    for (auto style : { juce::Slider::LinearHorizontal, juce::Slider::ThreeValueVertical })
    {
        page->setKnobSliderStyle (juce::Slider::Rotary);
        page->setKnobSliderStyle (style);
        EXPECT_EQ (sandbox.storedInt ("knobSliderStyle"), 7);
        EXPECT_EQ (page->getKnob (5)->getSliderStyle(), juce::Slider::RotaryHorizontalVerticalDrag);
    }
    closeEditor (p, editor);
}

TEST_F (SettingsMenuTest, DrawingFlagsToggleWithoutASettingsFile)
{
    BrevonAudioProcessor p;
    auto* editor = openEditor (p);
    GuiPage page (nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "no file", *editor->getImages(), nullptr);
    GuiPage::rightClickMenuCallback (GuiPage::menuDrawShadows, &page);
    EXPECT_FALSE (draw_shadows);
    GuiPage::rightClickMenuCallback (GuiPage::menuDrawShadows, &page);
    EXPECT_TRUE (draw_shadows);
    GuiPage::rightClickMenuCallback (GuiPage::menuThinLineKnobs, &page);
    EXPECT_FALSE (thin_line_knobs);
    closeEditor (p, editor);
}
} // namespace
