#include "gui/synth/SynthPage.h"

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/LogoComponent.h"
#include "gui/MultiChoice.h"
#include "gui/Oscilloscope.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthChoiceLists.h"
#include "gui/synth/SynthPageLayout.h"
#include "gui/synth/SynthValueTexts.h"

using namespace synthpage;

namespace
{
juce::Rectangle<int> rectOf (const Box& b)
{
    return { b.x, b.y, b.width, b.height };
}

std::unique_ptr<juce::TextButton> makeButton (Child child)
{
    const auto& place = childPlace (child);
    auto button = std::make_unique<juce::TextButton> (place.text);
    button->setBounds (rectOf (place.bounds));
    button->setClickingTogglesState (true);
    return button;
}
} // namespace

SynthPage::SynthPage (BrevonAudioProcessor* proc, juce::Font* fontA, juce::Font* fontB, juce::Font* fontC,
                      juce::Font* fontD, EventAggregator* agg, juce::AudioProcessorEditor* ed, juce::String pageName,
                      const Images& imageSet, ParameterValue* values)
    : GuiPage (proc, fontA, fontC, fontD, agg, ed, pageName, imageSet, values), valueFont (fontB)
{
    EventListener::name = kListenerName;
    setSize (kPageWidth, kPageHeight);
    decoration = juce::Image (juce::Image::ARGB, kPageWidth, kPageHeight, true);

    for (const auto& k : synthpage::knobs())
    {
        placeKnob (k.x, k.y, k.index, k.text, k.size, k.steps, k.centred);
        // Lent to a menu that shows it; never shown on the page itself.
        if (k.hidden)
            if (auto* knob = getKnob (k.index))
                knob->setVisible (false);
    }
    for (const auto& s : synthpage::sliders())
        placeSlider (s.x, s.y, s.index, s.name, s.bipolar, s.steps, s.length);
    placeMultiChoices();
    for (const auto& c : curves())
        placeSpline (c.x, kCurveY, c.index, c.name, c.curveStart, c.curveEnd, c.locked);

    presetsButton = makeButton (Child::presetsButton);
    viewButton = makeButton (Child::viewButton);
    captureButton = makeButton (Child::captureButton);
    for (auto* button : { presetsButton.get(), viewButton.get(), captureButton.get() })
    {
        button->addListener (this);
        addAndMakeVisible (*button);
    }

    const auto& scopePlace = childPlace (Child::oscilloscope);
    oscilloscope = std::make_unique<Oscilloscope> (aggregator);
    oscilloscope->setName (scopePlace.text);
    oscilloscope->setBounds (rectOf (scopePlace.bounds));
    oscilloscope->setTriggerWindow (scopeWindow);
    if (processor != nullptr)
        oscilloscope->setLiveBlock (&processor->getCaptureBlock());
    addAndMakeVisible (*oscilloscope);
    repaintTimer.addComponent (oscilloscope.get());

    const auto& display = childPlace (Child::valueDisplay);
    valueDisplay = std::make_unique<ParameterShower> (display.text, valueFont);
    valueDisplay->setBounds (rectOf (display.bounds));
    valueDisplay->forwardTarget = oscilloscope.get();
    addAndMakeVisible (*valueDisplay);
    valueDisplay->setInterceptsMouseClicks (false, false);
    valueDisplay->setLongTimeText (kValueDisplayStartText);
    repaintTimer.addComponent (valueDisplay.get());

    const auto& editorArea = childPlace (Child::splineEditor);
    splineEditor = std::make_unique<juce::Component> (editorArea.text);
    splineEditor->setBounds (rectOf (editorArea.bounds));
    addAndMakeVisible (*splineEditor);

    repaintTimer.startTimer (kRepaintIntervalMs);

    const auto& logoPlace = childPlace (Child::logo);
    logo = std::make_unique<LogoComponent> (kLogoText, logoPlace.text, font2, valueFont, aggregator, &repaintTimer);
    logo->setBounds (rectOf (logoPlace.bounds));
    addAndMakeVisible (*logo);

    applyViewVisibility();
}

SynthPage::~SynthPage()
{
    destroying = true;
    // First: a send on the audio thread may be walking the list right now;
    // unregistering waits for it, so nothing reaches the page once it is going.
    stopListening();
    repaintTimer.stopTimer();
    setVisible (false);
    decoration = {};

    if (logo != nullptr)
        removeChildComponent (logo.get());
    logo.reset();

    // Last added first. The controls belong to the page's arrays, which also
    // hold the knobs lent to menus that are not children at this moment.
    for (int i = getNumChildComponents(); --i >= 0;)
    {
        auto* child = getChildComponent (i);
        removeChildComponent (i);
        if (child == splineEditor.get())
            splineEditor.reset();
        else if (child == valueDisplay.get())
        {
            repaintTimer.removeComponent (child);
            valueDisplay.reset();
        }
        else if (child == oscilloscope.get())
        {
            repaintTimer.removeComponent (child);
            oscilloscope.reset();
        }
        else if (child == captureButton.get())
            captureButton.reset();
        else if (child == viewButton.get())
            viewButton.reset();
        else if (child == presetsButton.get())
            presetsButton.reset();
    }
    for (int i = numParameters; --i >= 0;)
    {
        knobLabels[(size_t) i].reset();
        knobs[(size_t) i].reset();
        sliders[(size_t) i].reset();
        multiChoices[(size_t) i].reset();
        splines[(size_t) i].reset();
    }
    rowLabels.clear();
    columnLabels.clear();
}

void SynthPage::placeMultiChoices()
{
    for (const auto& f : choiceFields())
    {
        auto b = f.bounds();
        if (f.placedFrom >= 0)
        {
            // Beside whatever control the anchor parameter has on this page.
            juce::Component* anchor = getKnob (f.placedFrom);
            if (anchor == nullptr)
                anchor = getSlider (f.placedFrom);
            if (anchor == nullptr)
                anchor = getSpline (f.placedFrom);
            if (anchor == nullptr)
                anchor = getMultiChoice (f.placedFrom);
            if (anchor != nullptr)
                b = { anchor->getX() + f.offsetX, anchor->getY() + f.offsetY, f.width, kChoiceHeight };
        }
        placeMultiChoice (b.x, b.y, f.width, f.index, f.fieldNameList(), f.menuNameList());
    }
}

void SynthPage::applyViewVisibility()
{
    for (int i = 0; i < numParameters; ++i)
    {
        const bool shown = isShownIn (viewOfParameter (i), osc4View);
        if (auto* knob = getKnob (i))
        {
            if (i == 87 || i == captureSizeKnob)
                continue; // lent to menus; their own visibility is the menus' business
            knob->setVisible (shown);
            if (auto* label = getKnobLabel (i))
                label->setVisible (shown);
        }
        if (auto* slider = getSlider (i))
            slider->setVisible (shown);
        if (auto* choice = getMultiChoice (i))
            choice->setVisible (shown);
        if (auto* spline = getSpline (i))
            spline->setVisible (shown);
    }
    if (captureButton != nullptr)
        captureButton->setVisible (isShownIn (viewOfChild (Child::captureButton), osc4View));
    if (splineEditor != nullptr)
        splineEditor->setVisible (isShownIn (viewOfChild (Child::splineEditor), osc4View));
}

void SynthPage::onSetParams()
{
    if (parameterValues == nullptr)
        return;
    if (oscilloscope != nullptr)
        oscilloscope->setParameterValues (parameterValues);
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
    if (index < processor->getParameters().size())
        processor->setParameterNotifyingHost (index, (float) value);
    else
        processor->setParameter (index, (float) value);
    // What the engine keeps, so the next look for host changes leaves the control alone.
    shownValues[(size_t) index] = parameterValues != nullptr ? (double) parameterValues[index] : value;
    setParameterShowerText (index, (float) value);
}

void SynthPage::setParameterShowerText (int index, float value)
{
    if (valueDisplay == nullptr || index < 0 || index >= numParameters)
        return;

    ControlValues controls;
    if (auto* choice = getMultiChoice (index))
        controls.choiceField = choice->getValue();
    else if (auto* spline = getSpline (index))
        controls.curveControl = spline->getValue();

    const auto text = valueText (index, value, parameterValues, controls);
    if (sendsTuningChanged (index) && aggregator != nullptr)
        aggregator->sendEvent (TuningChanged, 0);
    if (text.isNotEmpty())
        valueDisplay->setShortTimeText (text);
}

void SynthPage::buttonClicked (juce::Button* button)
{
    if (button == presetsButton.get())
    {
        if (auto* e = dynamic_cast<BrevonAudioProcessorEditor*> (editor))
            e->requestPageSwitch();
    }
    else if (button == viewButton.get())
    {
        osc4View = ! osc4View;
        decorationDirty = true;
        repaint();
    }

    if (viewButton != nullptr)
        viewButton->setButtonText (osc4View ? kViewButtonOsc1to3Text : kViewButtonOsc4Text);
}

void SynthPage::receiveEvent (EventType type, int value)
{
    switch (type)
    {
        case MultiChoiceChanged:
        {
            // Only a field of this page names a parameter to set; anything
            // else would write 0 into whatever index it carries.
            auto* choice = getMultiChoice (value);
            if (choice == nullptr || processor == nullptr)
                break;
            const double v = choice->getValue();
            processor->beginParameterGesture (value);
            processor->setParameterNotifyingHost (value, (float) v);
            processor->endParameterGesture (value);
            if (parameterValues != nullptr)
                shownValues[(size_t) value] = parameterValues[value];
            setParameterShowerText (value, 0.0f);
            break;
        }
        case AppearanceChanged:
        case GlobalAppearanceChanged:
            decorationDirty = true;
            for (int i = 0; i < numParameters; ++i)
                if (auto* label = getKnobLabel (i))
                    label->setColour (juce::Label::textColourId, (*getColors())[11]);
            repaint();
            break;
        case ParameterChanged: case AmpEnvelopeChanged: case FilterEnvelopeChanged:
        case OscilloscopeModeChanged: case GuiPageCreated: case Osc4PointsChanged:
        case PresetLoaded: case TuningChanged: case LogoClicked:
        default:
            break;
    }
}

void SynthPage::onAfterRightClickMenuCallback()
{
    if (oscilloscope != nullptr)
    {
        int blur = settingsDefaults::oscopeBlurOnMenuClose;
        if (processor != nullptr)
        {
            const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
            auto& proxy = processor->getPropertyProxy();
            if (proxy.hasFile())
                blur = proxy.getIntValue (settingsKeys::OScopeBlur, settingsDefaults::oscopeBlurOnMenuClose);
        }
        oscilloscope->setBlur (blur != 0);
    }
    repaint();
}

void SynthPage::applyHostChanges()
{
    if (parameterValues == nullptr)
        return;

    // Every value is compared, so no change is lost however many arrive
    // between two paints, and none is queued from the thread that made it.
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

    if (osc4View)
    {
        drawPrettyBox (g, 10, 10, 760, 155, 14, "osc4", false, 550);
        drawPrettyBox (g, 690, 45, 70, 105, 7, "p\ni\nt\nc\nh", true, 0);
    }
    else
    {
        drawPrettyBox (g, 10, 10, 245, 155, 14, "osc1", false, 0);
        drawPrettyBox (g, 100, 45, 70, 105, 7, "p\nw\nm", true, 0);
        drawPrettyBox (g, 175, 45, 70, 105, 7, "m\nu\nl\nt\n i", true, 0);
        drawPrettyBox (g, 270, 10, 320, 155, 14, "osc2", false, 0);
        drawPrettyBox (g, 360, 45, 70, 105, 7, "p\nw\nm", true, 0);
        drawPrettyBox (g, 435, 45, 70, 105, 7, "m\nu\nl\nt\n i", true, 0);
        drawPrettyBox (g, 510, 45, 70, 105, 7, "p\ni\nt\nc\nh", true, 0);
        drawPrettyBox (g, 605, 10, 165, 115, 14, "osc3", false, 0);
    }
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

    if (! eventsRegistered && aggregator != nullptr)
    {
        for (auto type : { MultiChoiceChanged, ParameterChanged, OscilloscopeModeChanged, AppearanceChanged,
                           GlobalAppearanceChanged, LogoClicked })
            aggregator->registerForEvent (type, this);
        eventsRegistered = true;
    }

    if (decorationDirty)
    {
        decorationDirty = false;
        redrawDecoration();
        applyViewVisibility();
        repaint();
    }
    g.drawImageAt (decoration, 0, 0);

    applyHostChanges();
}
