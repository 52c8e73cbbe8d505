#include "gui/GuiPage.h"

#include <algorithm>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/MultiChoice.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"

namespace
{
constexpr float rotaryStart = 1.2f * juce::MathConstants<float>::pi;
constexpr float rotaryEnd = 2.8f * juce::MathConstants<float>::pi;

juce::Slider::SliderStyle knobStyleFromSetting (int style)
{
    return style >= juce::Slider::Rotary && style <= juce::Slider::RotaryHorizontalVerticalDrag
               ? (juce::Slider::SliderStyle) style
               : juce::Slider::RotaryHorizontalVerticalDrag;
}

double stepInterval (int steps)
{
    return steps != 0 ? (double) (1.0f / (float) (steps - 1)) : 0.001;
}
} // namespace

GuiPage::GuiPage (BrevonAudioProcessor* proc, juce::Font* f1, juce::Font* f2, juce::Font* f3,
                  EventAggregator* agg, juce::AudioProcessorEditor* ed, juce::String pageName, const Images& imageSet,
                  ParameterValue* values)
    : Colorable (pageName, agg), EventListener ("GuiPage"), images (&imageSet), editor (ed), parameterValues (values),
      processor (proc), font1 (f1), font2 (f2), font3 (f3)
{
    // During construction this reaches only the base's empty version.
    if (parameterValues != nullptr)
        GuiPage::onSetParams();

    if (aggregator != nullptr)
        aggregator->sendEvent (GuiPageCreated, 0);

    reloadSettings();

    knobSliderStyle = knobStyleFromSetting (readSetting (settingsKeys::knobSliderStyle, settingsDefaults::knobSliderStyle));
    setKnobSliderStyle ((juce::Slider::SliderStyle) knobSliderStyle);
    knobVelocityMode = readSetting (settingsKeys::knobVelocitySensitive, settingsDefaults::knobVelocitySensitive) != 0;

    // Applied as stored: a user who turned them off keeps them off.
    draw_shadows = readSetting (settingsKeys::draw_shadows, settingsDefaults::drawShadows) != 0;
    thin_line_knobs = readSetting (settingsKeys::thin_line_knobs, settingsDefaults::thinLineKnobs) != 0;

    if (aggregator != nullptr)
    {
        aggregator->registerForEvent (AppearanceChanged, this);
        aggregator->registerForEvent (GlobalAppearanceChanged, this);
    }
    setKnobVelocityBasedMode (knobVelocityMode);

    const int scheme = readSetting (settingsKeys::color_set, settingsDefaults::colorSet);
    if (auto* laf = getTalvoraLookAndFeel())
        laf->setColorScheme (scheme);
    else if (aggregator != nullptr)
        EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);

    if (aggregator != nullptr)
        aggregator->sendEvent (AppearanceChanged, 0);
}

GuiPage::~GuiPage()
{
    stopListening();

    if (processor != nullptr && processor->getPropertyProxy().hasFile())
        processor->getPropertyProxy().saveIfNeeded();

    repaintTimer.stopTimer();

    // Children the page did not make itself go first, last child first; then
    // the page's own controls, wherever they are (one may be lent to a menu).
    for (int i = getNumChildComponents(); --i >= 0;)
        removeChildComponent (i);
    ownedChildren.clear();
    deleteControls();
}

void GuiPage::stopListening()
{
    if (aggregator != nullptr)
        aggregator->unregisterListener (this);
}

TalvoraLookAndFeel* GuiPage::getTalvoraLookAndFeel()
{
    return TalvoraLookAndFeel::findFor (*this);
}

//==============================================================================
int GuiPage::readSetting (const char* key, int defaultValue) const
{
    if (processor == nullptr)
        return defaultValue;
    return processor->getPropertyProxy().getIntValue (key, defaultValue);
}

void GuiPage::writeSetting (const char* key, int value)
{
    if (processor != nullptr)
        processor->getPropertyProxy().setValue (key, value); // saves when the value changed
}

void GuiPage::saveSettings()
{
    if (processor != nullptr && processor->getPropertyProxy().hasFile())
        processor->getPropertyProxy().saveIfNeeded();
}

void GuiPage::reloadSettings()
{
    if (processor != nullptr && processor->getPropertyProxy().hasFile())
        processor->getPropertyProxy().reload();
}

//==============================================================================
void GuiPage::setKnobSliderStyle (juce::Slider::SliderStyle style)
{
    const auto applied = knobStyleFromSetting ((int) style);
    for (auto& knob : knobs)
        if (knob != nullptr && knob->getSliderStyle() != applied)
            knob->setSliderStyle (applied);

    writeSetting (settingsKeys::knobSliderStyle, (int) applied);
    knobSliderStyle = (int) applied;
}

void GuiPage::setKnobVelocityBasedMode (bool on)
{
    for (auto& knob : knobs)
        if (knob != nullptr)
            knob->setVelocityBasedMode (on);

    writeSetting (settingsKeys::knobVelocitySensitive, on ? 1 : 0);
    saveSettings();
    knobVelocityMode = on;
}

//==============================================================================
void GuiPage::placeKnob (int x, int y, int index, juce::String label, int size, int steps, bool centred)
{
    if (index < 0 || index >= numParameters)
        return;

    auto& knob = knobs[(size_t) index];
    knob = std::make_unique<KevoJuceKnob> (juce::String (index) + label);
    knob->centred = centred;
    knob->setSliderStyle ((juce::Slider::SliderStyle) knobSliderStyle);
    knob->setTextBoxStyle (juce::Slider::NoTextBox, false, 0, 0);
    knob->setRotaryParameters (rotaryStart, rotaryEnd, false);
    knob->setBounds (x, y, size, size);
    knob->addListener (this);
    knob->setPopupMenuEnabled (false);
    knob->setVelocityBasedMode (knobVelocityMode);
    knob->setRange (0.0, 1.0, stepInterval (steps));
    // Copied, never announced: an open editor does not write to the host.
    if (parameterValues != nullptr)
        knob->setValue (parameterValues[index], juce::dontSendNotification);
    addAndMakeVisible (*knob);

    if (label.isNotEmpty())
    {
        auto& caption = knobLabels[(size_t) index];
        caption = std::make_unique<juce::Label> (label, label);
        caption->setColour (juce::Label::textColourId, (*getColors())[11]);
        if (font1 != nullptr)
            caption->setFont (*font1);
        caption->setBounds (x - 10, y + size, size + 20, 20);
        caption->setJustificationType (juce::Justification::centredTop);
        addAndMakeVisible (*caption);
    }
}

void GuiPage::placeSlider (int x, int y, int index, juce::String label, bool bipolar, int steps, int length)
{
    if (index < 0 || index >= numParameters)
        return;

    auto& slider = sliders[(size_t) index];
    slider = std::make_unique<KevoJuceSlider> (juce::String (index) + label);
    slider->bipolar = bipolar;
    slider->setSliderStyle (juce::Slider::LinearHorizontal);
    slider->setBounds (x, y, length, 10);
    slider->addListener (this);
    slider->setRange (0.0, 1.0, stepInterval (steps));
    slider->setPopupMenuEnabled (false);
    slider->setTextBoxStyle (juce::Slider::NoTextBox, false, 0, 0);
    if (parameterValues != nullptr)
        slider->setValue (parameterValues[index], juce::dontSendNotification);
    addAndMakeVisible (*slider);
}

void GuiPage::placeSpline (int x, int y, int index, juce::String label, float curveStart, float curveEnd, bool flag)
{
    if (index < 0 || index >= numParameters)
        return;

    auto& spline = splines[(size_t) index];
    spline = std::make_unique<SplineComponent> (juce::String (index) + label, aggregator);
    spline->setSliderStyle (juce::Slider::RotaryVerticalDrag);
    spline->curveStart = curveStart;
    spline->curveEnd = curveEnd;
    spline->locked = flag;
    spline->setBounds (x, y, 50, 40);
    spline->addListener (this);
    spline->setRange (0.0, 1.0, 0.001);
    spline->setPopupMenuEnabled (false);
    spline->setTextBoxStyle (juce::Slider::NoTextBox, false, 0, 0);
    if (parameterValues != nullptr)
        spline->setValue (parameterValues[index], juce::dontSendNotification);
    addAndMakeVisible (*spline);
}

void GuiPage::placeMultiChoice (int x, int y, int width, int index, std::vector<std::string> fieldNames,
                                std::vector<std::string> menuNames)
{
    if (index < 0 || index >= numParameters)
        return;

    auto& choice = multiChoices[(size_t) index];
    choice = std::make_unique<MultiChoice> ("MultiChoice_" + juce::String (index), font1, index, aggregator);
    choice->setParameterValues (parameterValues);
    choice->setBounds (x, y, width, 10);
    if (parameterValues != nullptr)
        choice->setValue (parameterValues[index]);
    addAndMakeVisible (*choice);
    choice->setFieldNames (std::move (fieldNames));
    choice->setMenuNames (std::move (menuNames));
}

//==============================================================================
KevoJuceKnob* GuiPage::getKnob (int i) const { return i >= 0 && i < numParameters ? knobs[(size_t) i].get() : nullptr; }
KevoJuceSlider* GuiPage::getSlider (int i) const { return i >= 0 && i < numParameters ? sliders[(size_t) i].get() : nullptr; }
MultiChoice* GuiPage::getMultiChoice (int i) const { return i >= 0 && i < numParameters ? multiChoices[(size_t) i].get() : nullptr; }
SplineComponent* GuiPage::getSpline (int i) const { return i >= 0 && i < numParameters ? splines[(size_t) i].get() : nullptr; }
juce::Label* GuiPage::getKnobLabel (int i) const { return i >= 0 && i < numParameters ? knobLabels[(size_t) i].get() : nullptr; }

int GuiPage::indexOfControl (const juce::Slider* control) const
{
    if (control == nullptr)
        return -1;
    for (int i = 0; i < numParameters; ++i)
        if (control == knobs[(size_t) i].get() || control == sliders[(size_t) i].get()
            || control == splines[(size_t) i].get())
            return i;
    return -1;
}

void GuiPage::sliderDragStarted (juce::Slider* slider)
{
    const int index = indexOfControl (slider);
    if (index < 0 || processor == nullptr)
        return;
    dragsInProgress.push_back (index);
    processor->beginParameterGesture (index);
}

void GuiPage::sliderDragEnded (juce::Slider* slider)
{
    const int index = indexOfControl (slider);
    const auto found = std::find (dragsInProgress.begin(), dragsInProgress.end(), index);
    if (found == dragsInProgress.end())
        return;
    dragsInProgress.erase (found);
    if (processor != nullptr)
        processor->endParameterGesture (index);
}

void GuiPage::writeToHost (int index, double value)
{
    if (processor == nullptr || index < 0 || index >= numParameters)
        return;
    const bool inDrag = std::find (dragsInProgress.begin(), dragsInProgress.end(), index) != dragsInProgress.end();
    if (! inDrag)
        processor->beginParameterGesture (index);
    processor->setParameterNotifyingHost (index, (float) value);
    if (! inDrag)
        processor->endParameterGesture (index);
}

KevoJuceKnob* GuiPage::getFirstKnob() const
{
    for (auto& knob : knobs)
        if (knob != nullptr)
            return knob.get();
    return nullptr;
}

//==============================================================================
void GuiPage::drawPrettyBox (juce::Graphics& g, float x, float y, float width, float height, float r,
                             juce::String title, bool sideTitle, float titleIndent)
{
    auto* colors = getColors();

    juce::Path path;
    path.startNewSubPath (x + r, y);
    path.lineTo (x + width - r, y);
    path.quadraticTo (x + width, y, x + width, y + r);
    path.lineTo (x + width, y + height - r);
    path.quadraticTo (x + width, y + height, x + width - r, y + height);
    path.lineTo (x + r, y + height);
    path.quadraticTo (x, y + height, x, y + height - r);
    path.lineTo (x, y + r);
    path.quadraticTo (x, y, x + r, y);
    path.closeSubPath();

    drawShadowOfPath (g, path, sideTitle ? 2.0f : 4.0f);
    g.setColour (title == "o-scope" ? (*colors)[4] : (*colors)[sideTitle ? 8 : 7]);
    g.fillPath (path);

    if (draw_shadows && images != nullptr && (*images)[1].isValid())
    {
        const int a = (int) ((x + y) / (sideTitle ? 40.0f : 80.0f));
        g.setTiledImageFill ((*images)[1], a, a, 0.05f);
        g.fillPath (path);
    }

    if (sideTitle)
    {
        g.setColour (colors->flag2 ? (*colors)[6] : (*colors)[1]);
        g.strokePath (path, juce::PathStrokeType (1.0f));
        g.setColour ((*colors)[11]);
        if (font1 != nullptr)
            g.setFont (*font1);
        g.drawFittedText (title, (int) (x + 5.0f), (int) y, 30, (int) height, juce::Justification::centredLeft, 1);
    }
    else
    {
        drawShadowOfStrokePath (g, path);
        g.setColour ((*colors)[6]);
        g.strokePath (path, juce::PathStrokeType (2.0f));
        g.setColour ((*colors)[11]);
        if (font2 != nullptr)
            g.setFont (*font2);
        g.drawFittedText (title, (int) (x + titleIndent), (int) y, (int) (width - titleIndent), 30,
                          juce::Justification::centredTop, 1);
    }
}

void GuiPage::drawShadowOfPath (juce::Graphics& g, const juce::Path& path, float offset)
{
    if (! draw_shadows)
        return;
    g.setColour ((*getColors())[10]);
    g.fillPath (path, juce::AffineTransform::translation (offset, offset));
}

void GuiPage::drawShadowOfStrokePath (juce::Graphics& g, const juce::Path& path)
{
    if (! draw_shadows)
        return;
    g.setColour (juce::Colours::white.withAlpha ((juce::uint8) 0x96));
    g.strokePath (path, juce::PathStrokeType (0.7f), juce::AffineTransform::translation (-0.7f, -0.7f));
    g.setColour (juce::Colours::black.withAlpha ((juce::uint8) 0x80));
    g.strokePath (path, juce::PathStrokeType (0.7f), juce::AffineTransform::translation (0.7f, 0.7f));
}

//==============================================================================
juce::PopupMenu GuiPage::buildSettingsMenu()
{
    auto* first = getFirstKnob();
    const int style = first != nullptr ? (int) first->getSliderStyle() : (int) juce::Slider::RotaryHorizontalVerticalDrag;

    juce::PopupMenu menu;
    menu.setLookAndFeel (&getLookAndFeel());
    menu.addItem (menuVelocityMode, TRANS ("Velocity-sensitive mode"), true,
                  first != nullptr && first->getVelocityBasedMode());

    juce::PopupMenu knobMode;
    knobMode.addItem (menuCircularDrag, TRANS ("Use circular dragging"), true, style == juce::Slider::Rotary);
    knobMode.addItem (menuLeftRightDrag, TRANS ("Use left-right dragging"), true,
                      style == juce::Slider::RotaryHorizontalDrag);
    knobMode.addItem (menuUpDownDrag, TRANS ("Use up-down dragging"), true, style == juce::Slider::RotaryVerticalDrag);
    knobMode.addItem (menuLeftRightUpDownDrag, TRANS ("Use left-right/up-down dragging"), true,
                      style == juce::Slider::RotaryHorizontalVerticalDrag);
    menu.addSubMenu (TRANS ("knob mode"), knobMode);

    menu.addItem (menuDrawShadows, TRANS ("3d look"), true, draw_shadows);
    menu.addItem (menuThinLineKnobs, TRANS ("thin knob line"), true, thin_line_knobs);

    const int scheme = readSetting (settingsKeys::color_set, settingsDefaults::colorSet);
    juce::PopupMenu schemes;
    for (int i = 0; i < ColorSet::numSchemes; ++i)
        schemes.addItem (menuFirstScheme + i, TRANS (ColorSet::getSchemeName (i)), true, scheme == i);
    menu.addSubMenu (TRANS ("color schema"), schemes);
    menu.addSeparator();

    if (auto* captureKnob = knobs[captureSizeKnob].get())
    {
        // Lent to the menu: the page still owns it.
        captureKnob->setSliderStyle (juce::Slider::RotaryVerticalDrag);
        captureKnob->setTextBoxStyle (juce::Slider::NoTextBox, false, 0, 0);
        captureKnob->setRotaryParameters (rotaryStart, rotaryEnd, false);
        captureKnob->setBounds (100, 100, 150, 150);
        captureKnob->setRange (0.0, 1.0, 0.0001);
        if (parameterValues != nullptr)
            captureKnob->setValue (parameterValues[captureSizeKnob], juce::dontSendNotification);
        if (auto* editorListener = dynamic_cast<juce::Slider::Listener*> (getParentComponent()))
            captureKnob->addListener (editorListener);
        captureKnob->addListener (this);

        juce::PopupMenu captureSize;
        captureSize.addCustomItem (menuCaptureSize, *captureKnob, 50, 50, false);
        menu.addSubMenu (TRANS ("oh snap! size"), captureSize);
        menu.addSeparator();
    }

    menu.addItem (menuLocalPresetSaving, TRANS ("enable local preset saving"), true,
                  readSetting (settingsKeys::enableLocalCache, settingsDefaults::enableLocalCache) != 0);
    menu.addSeparator();
    menu.addItem (menuScopeBlur, TRANS ("o-scope blur"), true,
                  readSetting (settingsKeys::OScopeBlur, settingsDefaults::oscopeBlurInMenu) != 0);
    return menu;
}

void GuiPage::rightClickPopupMenu()
{
    auto menu = buildSettingsMenu();
    juce::Component::SafePointer<GuiPage> page (this);
    menu.showMenuAsync (juce::PopupMenu::Options(), [page] (int result)
    {
        if (page != nullptr)
            rightClickMenuCallback (result, page.getComponent());
    });
}

void GuiPage::rightClickMenuCallback (int result, GuiPage* page)
{
    if (page == nullptr)
        return;

    switch (result)
    {
        case menuVelocityMode:
        {
            auto* first = page->getFirstKnob();
            page->setKnobVelocityBasedMode (first == nullptr || ! first->getVelocityBasedMode());
            page->saveSettings();
            break;
        }
        case menuCircularDrag:
        case menuLeftRightDrag:
        case menuUpDownDrag:
        case menuLeftRightUpDownDrag:
            page->setKnobSliderStyle ((juce::Slider::SliderStyle) (juce::Slider::Rotary + result - menuCircularDrag));
            page->saveSettings();
            break;
        case menuDrawShadows:
        case menuThinLineKnobs:
        {
            // The flag flips first, so the item works without a settings file too.
            auto& flag = result == menuDrawShadows ? draw_shadows : thin_line_knobs;
            flag = ! flag;
            page->writeSetting (result == menuDrawShadows ? settingsKeys::draw_shadows : settingsKeys::thin_line_knobs,
                                flag ? 1 : 0);
            if (page->aggregator != nullptr)
                page->aggregator->sendEvent (AppearanceChanged, 0);
            page->saveSettings();
            break;
        }
        case menuLocalPresetSaving:
            page->writeSetting (settingsKeys::enableLocalCache,
                                page->readSetting (settingsKeys::enableLocalCache, settingsDefaults::enableLocalCache) == 0 ? 1 : 0);
            break;
        case menuScopeBlur:
            page->writeSetting (settingsKeys::OScopeBlur,
                                page->readSetting (settingsKeys::OScopeBlur, settingsDefaults::oscopeBlurInMenu) == 0 ? 1 : 0);
            break;
        default:
            if (result >= menuFirstScheme && result < menuFirstScheme + ColorSet::numSchemes)
            {
                const int scheme = result - menuFirstScheme;
                if (auto* laf = page->getTalvoraLookAndFeel())
                    laf->setColorScheme (scheme);
                else
                    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
                page->writeSetting (settingsKeys::color_set, scheme);
                page->saveSettings();
            }
            break; // 0 (dismissed), the capture-size item and unused ids change nothing
    }

    // Also for a dismissed menu: the page may have changed through the knob in it.
    juce::Component::SafePointer<GuiPage> alive (page);
    if (page->aggregator != nullptr)
        page->aggregator->sendEvent (AppearanceChanged, 0);
    EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
    if (alive != nullptr)
        page->onAfterRightClickMenuCallback();
}

void GuiPage::deleteControls()
{
    for (int i = numParameters; --i >= 0;)
    {
        knobLabels[(size_t) i].reset();
        knobs[(size_t) i].reset();
        sliders[(size_t) i].reset();
        multiChoices[(size_t) i].reset();
        splines[(size_t) i].reset();
    }
}
