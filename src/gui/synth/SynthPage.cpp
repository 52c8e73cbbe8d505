#include "gui/synth/SynthPage.h"

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/MultiChoice.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"

namespace
{
constexpr int pageWidth = 829, pageHeight = 740;

struct KnobPlace { int index, x, y, size; bool centred; const char* text; };
struct SplinePlace { int index, x; float start, end; bool locked; const char* name; };

constexpr KnobPlace knobPlaces[] = {
    { 5, 33, 255, 50, false, "attack" }, { 6, 84, 255, 50, false, "decay" },
    { 7, 135, 255, 50, false, "sustain" }, { 8, 186, 255, 50, false, "release" },
    { 9, 588, 255, 50, false, "attack" }, { 10, 639, 255, 50, false, "decay" },
    { 11, 690, 255, 50, false, "sustain" }, { 12, 741, 255, 50, false, "release" },
    { 27, 540, 378, 50, false, "mix" }, { 28, 640, 378, 50, false, "time" },
    { 29, 690, 378, 50, false, "stereo" }, { 69, 590, 378, 50, false, "fdback" },
    { 68, 740, 378, 50, false, "color" }, { 30, 543, 505, 50, false, "mix" },
    { 31, 594, 505, 50, false, "size" }, { 32, 645, 505, 50, false, "color" },
    { 40, 33, 378, 50, false, "mix" }, { 41, 84, 378, 50, false, "mod" },
    { 42, 135, 378, 50, false, "rate" }, { 43, 186, 378, 50, false, "time" },
    { 33, 775, 520, 37, false, "volume" }, { 34, 775, 470, 37, true, "panning" },
};

constexpr SplinePlace splinePlaces[] = {
    { 72, 36, 1.0f, 0.0f, false, "kAmplitudeAttackShape" }, { 73, 86, 0.0f, 0.5f, false, "kAmplitudeDecayShape" },
    { 74, 136, 0.5f, 0.5f, true, "kAmplitudeSustainShape" }, { 75, 186, 0.5f, 1.0f, false, "kAmplitudeReleaseShape" },
    { 76, 591, 1.0f, 0.0f, false, "kFilterAttackShape" }, { 77, 641, 0.0f, 0.5f, false, "kFilterDecayShape" },
    { 78, 691, 0.5f, 0.5f, true, "kFilterSustainShape" }, { 79, 741, 0.5f, 1.0f, false, "kFilterReleaseShape" },
};
} // namespace

SynthPage::SynthPage (BrevonAudioProcessor* proc, juce::Font* fontA, juce::Font* fontB, juce::Font* fontC,
                      juce::Font* fontD, EventAggregator* agg, juce::AudioProcessorEditor* ed, juce::String pageName,
                      const Images& imageSet, ParameterValue* values)
    : GuiPage (proc, fontA, fontC, fontD, agg, ed, pageName, imageSet, values)
{
    EventListener::name = "SynthPage";
    setSize (pageWidth, pageHeight);
    decoration = juce::Image (juce::Image::ARGB, pageWidth, pageHeight, true);

    for (const auto& k : knobPlaces)
        placeKnob (k.x, k.y, k.index, k.text, k.size, 0, k.centred);
    placeSlider (735, 585, 45, "kEqLow", true, 0, 80);
    placeSlider (735, 595, 46, "kEqMid", true, 0, 80);
    placeSlider (735, 605, 47, "kEqHigh", true, 0, 80);
    placeSlider (40, 705, 48, "velocity 2 vol", false, 0, 100);
    placeMultiChoice (735, 655, 75, 37, { "poly", "mono", "legato" }, { "poly", "mono", "legato" });
    for (const auto& s : splinePlaces)
        placeSpline (s.x, 213, s.index, s.name, s.start, s.end, s.locked);

    // Shown elsewhere: 87 inside the point editor's menu, 772 inside the settings menu.
    placeKnob (0, 0, 87, {}, 50, 0, false);
    placeKnob (0, 0, captureSizeKnob, {}, 50, 0, false);
    getKnob (87)->setVisible (false);
    getKnob (captureSizeKnob)->setVisible (false);

    presetsButton = own (new juce::TextButton ("presets"));
    presetsButton->setBounds (725, 700, 90, 30);
    presetsButton->addListener (this);
    presetsButton->setClickingTogglesState (true);
    addAndMakeVisible (*presetsButton);

    valueDisplay = own (new ParameterShower ("parametershower", fontB));
    valueDisplay->setBounds (275, 390, 226, 45);
    addAndMakeVisible (*valueDisplay);
    valueDisplay->setInterceptsMouseClicks (false, false);
    valueDisplay->setLongTimeText ("talvora xl");
    repaintTimer.addComponent (valueDisplay);

    repaintTimer.startTimer (33);

    if (aggregator != nullptr)
        aggregator->registerForEvent (ParameterChanged, this);
}

SynthPage::~SynthPage()
{
    destroying = true;
    // First: a send on the audio thread may be walking the list right now;
    // unregistering waits for it, so nothing reaches the page once it is going.
    stopListening();
    repaintTimer.stopTimer();
    setVisible (false);
}

void SynthPage::onSetParams()
{
    if (parameterValues == nullptr)
        return;
    for (int i = 0; i < numParameters; ++i)
        shownValues[(size_t) i] = parameterValues[i];
}

int SynthPage::indexOf (juce::Slider* slider) const
{
    for (int i = 0; i < numParameters; ++i)
        if (slider == (juce::Slider*) getKnob (i) || slider == (juce::Slider*) getSlider (i)
            || slider == (juce::Slider*) getSpline (i))
            return i;
    return -1;
}

void SynthPage::sliderValueChanged (juce::Slider* slider)
{
    const int index = indexOf (slider);
    if (index < 0 || processor == nullptr)
        return;
    const double value = slider->getValue();
    shownValues[(size_t) index] = value;
    processor->setParameterNotifyingHost (index, (float) value);
    valueDisplay->setShortTimeText (processor->getParameterText (index));
}

void SynthPage::buttonClicked (juce::Button* button)
{
    if (button == presetsButton)
        if (auto* e = dynamic_cast<BrevonAudioProcessorEditor*> (editor))
            e->requestPageSwitch();
}

void SynthPage::receiveEvent (EventType type, int)
{
    switch (type)
    {
        case ParameterChanged:
            hostChangesPending.store (true, std::memory_order_release);
            break;
        case AppearanceChanged:
        case GlobalAppearanceChanged:
            decorationDirty = true;
            for (int i = 0; i < numParameters; ++i)
                if (auto* label = getKnobLabel (i))
                    label->setColour (juce::Label::textColourId, (*getColors())[11]);
            repaint();
            break;
        case MultiChoiceChanged: case AmpEnvelopeChanged: case FilterEnvelopeChanged:
        case OscilloscopeModeChanged: case GuiPageCreated: case Osc4PointsChanged:
        case PresetLoaded: case TuningChanged: case LogoClicked:
        default:
            break;
    }
}

void SynthPage::onAfterRightClickMenuCallback()
{
    repaint();
}

void SynthPage::applyHostChanges()
{
    if (parameterValues == nullptr || ! hostChangesPending.exchange (false, std::memory_order_acq_rel))
        return;

    for (int i = 0; i < numParameters; ++i)
    {
        const double v = parameterValues[i];
        if (v == shownValues[(size_t) i])
            continue;
        juce::Slider* control = getKnob (i);
        if (control == nullptr)
            control = getSlider (i);
        if (control == nullptr)
            control = getSpline (i);
        if (control != nullptr && control->isMouseButtonDown())
            continue; // the user holds it: their value wins
        shownValues[(size_t) i] = v;
        if (control != nullptr)
            control->setValue (v, juce::dontSendNotification);
        else if (auto* choice = getMultiChoice (i))
        {
            choice->setValue (v);
            choice->repaint();
        }
    }
}

void SynthPage::redrawDecoration()
{
    auto* colors = getColors();
    decoration.clear (decoration.getBounds());
    juce::Graphics g (decoration);
    g.fillAll ((*colors)[3]);
    if (draw_shadows && images != nullptr && (*images)[2].isValid())
    {
        g.setTiledImageFill ((*images)[2], 0, 0, 0.1f);
        g.fillAll();
    }

    drawPrettyBox (g, 10, 10, 245, 155, 14, "osc1", false, 0);
    drawPrettyBox (g, 100, 45, 70, 105, 7, "p\nw\nm", true, 0);
    drawPrettyBox (g, 175, 45, 70, 105, 7, "m\nu\nl\nt\n i", true, 0);
    drawPrettyBox (g, 270, 10, 320, 155, 14, "osc2", false, 0);
    drawPrettyBox (g, 605, 10, 165, 115, 14, "osc3", false, 0);
    drawPrettyBox (g, 520, 350, 285, 310.0f / 3.0f, 14, "echo", false, 0);
    drawPrettyBox (g, 520, 470, 195, 310.0f / 3.0f, 14, "reverb", false, 0);
    drawPrettyBox (g, 10, 180, 245, 155, 14, "amplitude", false, 0);
    drawPrettyBox (g, 10, 350, 245, 310.0f / 3.0f, 14, "chorus", false, 0);
    drawPrettyBox (g, 270, 350, 235, 155, 14, "o-scope", false, 0);
    drawPrettyBox (g, 585, 180, 220, 155, 14, "envelope", false, 0);
}

void SynthPage::paint (juce::Graphics& g)
{
    if (destroying)
        return;

    if (getTalvoraLookAndFeel() == nullptr)
    {
        // The editor puts its look-and-feel back; until then draw nothing.
        if (aggregator != nullptr)
            EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
        decorationDirty = true;
        return;
    }

    if (decorationDirty)
    {
        decorationDirty = false;
        redrawDecoration();
    }
    g.drawImageAt (decoration, 0, 0);

    applyHostChanges();
}
