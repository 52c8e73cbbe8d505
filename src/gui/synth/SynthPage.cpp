#include "gui/synth/SynthPage.h"

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "core/globalStuff.h"
#include "core/parameters.h"
#include "gui/CommonImages.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/LogoComponent.h"
#include "gui/MultiChoice.h"
#include "gui/Oscilloscope.h"
#include "gui/ParameterShower.h"
#include "gui/synth/SplineOscillatorEditor.h"
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
    waveformIcons = makeWaveformIcons();

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
    applyScopeBlurSetting();

    const auto& display = childPlace (Child::valueDisplay);
    valueDisplay = std::make_unique<ParameterShower> (display.text, valueFont);
    valueDisplay->setBounds (rectOf (display.bounds));
    valueDisplay->forwardTarget = oscilloscope.get();
    addAndMakeVisible (*valueDisplay);
    valueDisplay->setInterceptsMouseClicks (false, false);
    valueDisplay->setLongTimeText (kValueDisplayStartText);
    repaintTimer.addComponent (valueDisplay.get());

    const auto& editorArea = childPlace (Child::splineEditor);
    splineEditor = std::make_unique<SplineOscillatorEditor> (getColors(), parameterValues, aggregator, valueDisplay.get(),
                                                             getKnob (87), processor);
    splineEditor->setName (editorArea.text);
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
    cancelPendingUpdate();
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
    deleteControls();
    waveformIcons = {};
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

    if (rowLabels.empty())
    {
        auto makeLabel = [this] (const char* text, const Box& box, juce::Justification justification) {
            auto label = std::make_unique<juce::Label> (text, text);
            label->setColour (juce::Label::textColourId, (*getColors())[11]);
            label->setJustificationType (justification);
            if (font1 != nullptr)
                label->setFont (*font1);
            label->setBounds (rectOf (box));
            addAndMakeVisible (*label);
            return label;
        };
        for (int r = 0; r < kGridRows; ++r)
            rowLabels.push_back (makeLabel (kGridRowLabels[r], gridRowLabelBox (r), juce::Justification::centredRight));
        for (int c = 0; c < kGridColumns; ++c)
            columnLabels.push_back (makeLabel (kGridDestinationLabels[kGridColumnDestinations[c]], gridColumnLabelBox (c),
                                               juce::Justification::centred));

        // The place operation copies each value in without telling anyone.
        for (int r = 0; r < kGridRows; ++r)
            for (int c = 0; c < kGridColumns; ++c)
            {
                const auto box = gridKnobBox (r, c);
                placeKnob (box.x, box.y, params::modAmountIndex (r, kGridColumnDestinations[c]), {}, box.width, 0, false);
            }
    }

    for (int i = 0; i < numParameters; ++i)
        shownValues[(size_t) i] = parameterValues[i];
}

juce::Label* SynthPage::getRowLabel (int row) const
{
    return row >= 0 && row < (int) rowLabels.size() ? rowLabels[(size_t) row].get() : nullptr;
}

juce::Label* SynthPage::getColumnLabel (int column) const
{
    return column >= 0 && column < (int) columnLabels.size() ? columnLabels[(size_t) column].get() : nullptr;
}

void SynthPage::sliderValueChanged (juce::Slider* slider)
{
    const int index = indexOfControl (slider);
    if (index < 0 || processor == nullptr)
        return;

    const double value = slider->getValue();
    if (index < processor->getParameters().size())
        writeToHost (index, value); // inside a drag: part of its gesture
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
    else if (button == captureButton.get())
    {
        if (processor != nullptr)
        {
            processor->captureWaveform();
            setParameterShowerText (params::kCapturedWavePresent, 1.0f);
        }
    }

    if (viewButton != nullptr)
        viewButton->setButtonText (osc4View ? kViewButtonOsc1to3Text : kViewButtonOsc4Text);
}

void SynthPage::receiveEvent (EventType type, int value)
{
    switch (type)
    {
        case MultiChoiceChanged:
            // Only a field of this page names a parameter to set; anything
            // else would write 0 into whatever index it carries. Written
            // after the send: the bus's lock is held during delivery, and the
            // audio thread takes the two locks the other way round.
            if (getMultiChoice (value) != nullptr)
            {
                pendingChoices[(size_t) value].store (true, std::memory_order_release);
                triggerAsyncUpdate();
            }
            break;
        case AppearanceChanged:
        case GlobalAppearanceChanged:
        {
            recolourLabels();
            decorationDirty = true;
            if (logo != nullptr)
                logo->repaint();
            repaint();
            break;
        }
        case OscilloscopeModeChanged:
            if (valueDisplay != nullptr && oscilloscope != nullptr)
                valueDisplay->setShortTimeText (oscilloscope->getModeName());
            break;
        case LogoClicked:
            if (valueDisplay != nullptr)
            {
                const unsigned version = 102u + (TALVORA_XL_VERSION.load (std::memory_order_relaxed) ? 1u : 0u);
                valueDisplay->setShortTimeText ("version " + juce::String::formatted ("%u.%u", 1u, version % 100u));
            }
            break;
        case ParameterChanged: case AmpEnvelopeChanged: case FilterEnvelopeChanged:
        case GuiPageCreated: case Osc4PointsChanged: case PresetLoaded: case TuningChanged:
        default:
            break;
    }
}

void SynthPage::handleAsyncUpdate()
{
    for (const auto& field : choiceFields())
    {
        const int index = field.index;
        auto* choice = getMultiChoice (index);
        if (! pendingChoices[(size_t) index].exchange (false, std::memory_order_acq_rel) || choice == nullptr
            || processor == nullptr)
            continue;
        writeToHost (index, choice->getValue()); // a click: a gesture of its own
        if (parameterValues != nullptr)
            shownValues[(size_t) index] = parameterValues[index];
        setParameterShowerText (index, 0.0f);
    }
}

void SynthPage::onAfterRightClickMenuCallback()
{
    applyScopeBlurSetting();
    repaint();
}

void SynthPage::applyScopeBlurSetting()
{
    if (oscilloscope == nullptr)
        return;
    int blur = settingsDefaults::oscopeBlurInMenu;
    if (processor != nullptr)
    {
        const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
        auto& proxy = processor->getPropertyProxy();
        if (proxy.hasFile())
            blur = proxy.getIntValue (settingsKeys::OScopeBlur, settingsDefaults::oscopeBlurInMenu);
    }
    oscilloscope->setBlur (blur != 0);
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

juce::Image SynthPage::makeWaveformIcons()
{
    // Around the shape knob of an oscillator, which sits 13 pixels in from
    // the image's left edge: sine low left, triangle up left, saw up right,
    // square low right, in the order the knob's sweep morphs through them.
    juce::Image icons (juce::Image::ARGB, 77, 44, true);
    juce::Graphics g (icons);
    g.setColour (juce::Colours::white);
    const juce::PathStrokeType stroke (1.2f, juce::PathStrokeType::mitered, juce::PathStrokeType::butt);
    const float w = 11.0f, h = 8.0f;

    juce::Path sine;
    for (int i = 0; i <= 22; ++i)
    {
        const float t = (float) i / 22.0f;
        const juce::Point<float> p (1.0f + w * t, 36.0f - 0.5f * h * std::sin (t * juce::MathConstants<float>::twoPi));
        i == 0 ? sine.startNewSubPath (p) : sine.lineTo (p);
    }
    g.strokePath (sine, stroke);

    juce::Path triangle;
    triangle.startNewSubPath (1.0f, 8.0f);
    triangle.lineTo (1.0f + w * 0.25f, 8.0f - 0.5f * h);
    triangle.lineTo (1.0f + w * 0.75f, 8.0f + 0.5f * h);
    triangle.lineTo (1.0f + w, 8.0f);
    g.strokePath (triangle, stroke);

    juce::Path saw;
    saw.startNewSubPath (65.0f, 8.0f + 0.5f * h);
    saw.lineTo (65.0f + w * 0.5f, 8.0f - 0.5f * h);
    saw.lineTo (65.0f + w * 0.5f, 8.0f + 0.5f * h);
    saw.lineTo (65.0f + w, 8.0f - 0.5f * h);
    g.strokePath (saw, stroke);

    juce::Path square;
    square.startNewSubPath (65.0f, 36.0f + 0.5f * h);
    square.lineTo (65.0f, 36.0f - 0.5f * h);
    square.lineTo (65.0f + w * 0.5f, 36.0f - 0.5f * h);
    square.lineTo (65.0f + w * 0.5f, 36.0f + 0.5f * h);
    square.lineTo (65.0f + w, 36.0f + 0.5f * h);
    square.lineTo (65.0f + w, 36.0f - 0.5f * h);
    g.strokePath (square, stroke);
    return icons;
}

juce::Component* SynthPage::captionTarget (int index) const
{
    if (auto* slider = getSlider (index))
        return slider;
    return getMultiChoice (index);
}

void SynthPage::textLeftOfComponent (juce::Graphics& g, int index, const juce::String& text)
{
    auto* c = captionTarget (index);
    if (c == nullptr)
        return;
    g.setColour ((*getColors())[11]);
    if (font1 != nullptr)
        g.setFont (*font1);
    g.drawFittedText (text, c->getX() - 100, c->getY() - 1, 96, 10, juce::Justification::centredRight, 1);
}

void SynthPage::textOverComponent (juce::Graphics& g, int index, const juce::String& text)
{
    auto* c = captionTarget (index);
    if (c == nullptr)
        return;
    g.setColour ((*getColors())[11]);
    if (font1 != nullptr)
        g.setFont (*font1);
    g.drawFittedText (text, c->getX(), c->getY() - 11, c->getWidth(), 10, juce::Justification::centredLeft, 1);
}

namespace
{
// Offsets of the "lfo & mod" panel's lower edges, kept in single precision.
constexpr float kLfoPanelStep = 470.0f + 123.33334f;
constexpr float kLfoPanelBottom = 470.0f + 258.33334f;

juce::Path lfoModPanel()
{
    juce::Path p;
    p.startNewSubPath (24.0f, 470.0f);
    p.lineTo (220.0f, 470.0f);
    p.cubicTo (270.0f, 470.0f, 227.5f, kLfoPanelStep, 277.5f, kLfoPanelStep);
    p.lineTo (701.0f, kLfoPanelStep);
    p.quadraticTo (715.0f, kLfoPanelStep, 715.0f, kLfoPanelStep + 14.0f);
    p.lineTo (715.0f, kLfoPanelBottom - 14.0f);
    p.quadraticTo (715.0f, kLfoPanelBottom, 701.0f, kLfoPanelBottom);
    p.lineTo (335.0f, kLfoPanelBottom);
    p.lineTo (24.0f, kLfoPanelBottom);
    p.quadraticTo (10.0f, kLfoPanelBottom, 10.0f, kLfoPanelBottom - 14.0f);
    p.lineTo (10.0f, 484.0f);
    p.quadraticTo (10.0f, 470.0f, 24.0f, 470.0f);
    p.closeSubPath();
    return p;
}

// LFO 1 left, LFO 2 right, parted by a notch from the top edge.
juce::Path lfoBox()
{
    juce::Path p;
    p.startNewSubPath (27.0f, 500.0f);
    p.lineTo (116.0f, 500.0f);
    p.lineTo (118.0f, 502.0f);
    p.lineTo (118.0f, 575.0f);
    p.quadraticTo (120.0f, 579.0f, 122.0f, 575.0f);
    p.lineTo (122.0f, 502.0f);
    p.lineTo (124.0f, 500.0f);
    p.lineTo (213.0f, 500.0f);
    p.quadraticTo (220.0f, 500.0f, 220.0f, 507.0f);
    p.lineTo (220.0f, 643.0f);
    p.quadraticTo (220.0f, 650.0f, 213.0f, 650.0f);
    p.lineTo (27.0f, 650.0f);
    p.quadraticTo (20.0f, 650.0f, 20.0f, 643.0f);
    p.lineTo (20.0f, 507.0f);
    p.quadraticTo (20.0f, 500.0f, 27.0f, 500.0f);
    p.closeSubPath();
    return p;
}

// The filter section and the filter envelope, joined by a waist.
juce::Path filterPanel()
{
    juce::Path p;
    p.startNewSubPath (284.0f, 180.0f);
    p.lineTo (480.0f, 180.0f);
    p.cubicTo (505.0f, 180.0f, 512.5f, 218.75f, 537.5f, 218.75f);
    p.cubicTo (570.0f, 218.75f, 562.5f, 180.0f, 595.0f, 180.0f);
    p.lineTo (791.0f, 180.0f);
    p.quadraticTo (805.0f, 180.0f, 805.0f, 194.0f);
    p.lineTo (805.0f, 321.0f);
    p.quadraticTo (805.0f, 335.0f, 791.0f, 335.0f);
    p.lineTo (595.0f, 335.0f);
    p.cubicTo (562.5f, 335.0f, 570.0f, 296.25f, 537.5f, 296.25f);
    p.cubicTo (505.0f, 296.25f, 512.5f, 335.0f, 480.0f, 335.0f);
    p.lineTo (284.0f, 335.0f);
    p.quadraticTo (270.0f, 335.0f, 270.0f, 321.0f);
    p.lineTo (270.0f, 194.0f);
    p.quadraticTo (270.0f, 180.0f, 284.0f, 180.0f);
    p.closeSubPath();
    return p;
}
} // namespace

void SynthPage::drawPanels (juce::Graphics& g)
{
    const auto& colors = *getColors();
    auto drawPanel = [&] (const juce::Path& path) {
        drawShadowOfPath (g, path, 4.0f);
        g.setColour (colors[7]);
        g.fillPath (path);
        if (draw_shadows && images != nullptr && (*images)[1].isValid())
        {
            g.setTiledImageFill ((*images)[1], 0, 0, 0.05f);
            g.fillPath (path);
        }
        drawShadowOfStrokePath (g, path);
        g.setColour (colors[6]);
        g.strokePath (path, juce::PathStrokeType (2.0f));
    };
    auto title = [&] (const char* text, int x, int y) {
        g.setColour (colors[11]);
        if (font2 != nullptr)
            g.setFont (*font2);
        g.drawFittedText (text, x, y, 219, 30, juce::Justification::centredTop, 1);
    };

    drawPanel (lfoModPanel());
    title ("lfo & mod", 10, 470);

    const auto lfo = lfoBox();
    drawShadowOfPath (g, lfo, 2.0f);
    g.setColour (colors[8]);
    g.fillPath (lfo);
    if (draw_shadows && images != nullptr && (*images)[1].isValid())
    {
        g.setTiledImageFill ((*images)[1], 17, 17, 0.05f);
        g.fillPath (lfo);
    }
    g.setColour (colors.flag2 ? colors[6] : colors[1]);
    g.strokePath (lfo, juce::PathStrokeType (1.0f));

    drawPanel (filterPanel());
    title ("filter", 270, 180);
    title ("envelope", 585, 180);
}

void SynthPage::recolourLabels()
{
    const auto text = (*getColors())[11];
    for (int i = 0; i < numParameters; ++i)
        if (auto* label = getKnobLabel (i))
            label->setColour (juce::Label::textColourId, text);
    for (auto* labels : { &rowLabels, &columnLabels })
        for (auto& label : *labels)
            label->setColour (juce::Label::textColourId, text);
}

void SynthPage::redrawDecoration()
{
    ++decorationRedraws;
    // Again here: an appearance event may reach the page before the editor
    // has selected the new scheme.
    recolourLabels();
    const auto& colors = *getColors();
    decoration.clear (decoration.getBounds());
    juce::Graphics g (decoration);
    g.fillAll (colors[3]);
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
    const float third = 310.0f / 3.0f;
    drawPrettyBox (g, 520, 350, 285, third, 14, "echo", false, 0);
    drawPrettyBox (g, 520, 470, 195, third, 14, "reverb", false, 0);
    drawPrettyBox (g, 10, 180, 245, 155, 14, "amplitude", false, 0);
    drawPrettyBox (g, 10, 350, 245, third, 14, "chorus", false, 0);
    drawPrettyBox (g, 270, 350, 235, 155, 14, "o-scope", false, 0);

    if (! osc4View)
    {
        // Tinted with the scheme's text colour, each pixel keeping its own alpha.
        auto icons = waveformIcons.createCopy();
        const auto tint = colors[11];
        for (int y = 0; y < icons.getHeight(); ++y)
            for (int x = 0; x < icons.getWidth(); ++x)
                if (const auto alpha = icons.getPixelAt (x, y).getAlpha(); alpha != 0)
                    icons.setPixelAt (x, y, tint.withAlpha (alpha));
        g.drawImageAt (icons, 17, 29);
        g.drawImageAt (icons, 277, 29);

        textLeftOfComponent (g, 44, "v. sat.");
        textLeftOfComponent (g, 50, "noise");
        textLeftOfComponent (g, 61, "shape");
        textLeftOfComponent (g, 62, "volume");
        textLeftOfComponent (g, 63, "octave");
        textLeftOfComponent (g, 774, "det.");
    }

    drawPanels (g);

    textOverComponent (g, 45, "warm eq");
    textLeftOfComponent (g, 45, "l");
    textLeftOfComponent (g, 46, "m");
    textLeftOfComponent (g, 47, "h");
    textOverComponent (g, 48, "velocity to vol.");
    textOverComponent (g, 71, "p. bend");
    textOverComponent (g, 59, "offset");
    textOverComponent (g, 84, "offset");
}

void SynthPage::paint (juce::Graphics& g)
{
    if (destroying)
        return;

    if (getTalvoraLookAndFeel() == nullptr)
    {
        // The editors put ours back. Asked once per spell: each ask makes every
        // editor of the process reload the settings file.
        if (aggregator != nullptr && ! foreignLookAndFeelAnnounced)
        {
            foreignLookAndFeelAnnounced = true;
            EventAggregator::sendGlobalEvent (GlobalAppearanceChanged, 0);
        }
        decorationDirty = true;
        return;
    }
    foreignLookAndFeelAnnounced = false;

    if (processor != nullptr && valueDisplay != nullptr)
    {
        if (processor->isNotStereo())
            valueDisplay->setShortTimeText ("Only supports stereo!");
        else if (processor->hadBadBlock())
            valueDisplay->setShortTimeText ("Bad data from host!");
    }

    // Host changes are found by comparing values on every paint, so the page
    // needs no events from the threads that set parameters.
    if (! eventsRegistered && aggregator != nullptr)
    {
        for (auto type : { MultiChoiceChanged, OscilloscopeModeChanged, AppearanceChanged, GlobalAppearanceChanged,
                           LogoClicked })
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

    if (oscilloscope != nullptr)
    {
        if (processor != nullptr && processor->getClipLamp() > 0)
            oscilloscope->setClipFlash (1.0f);
        // Shared by every page of the process, as the scope window moves slowly.
        static std::atomic<int> everyHundred { 0 };
        if (everyHundred.fetch_add (1, std::memory_order_relaxed) + 1 >= 100)
        {
            everyHundred.store (0, std::memory_order_relaxed);
            oscilloscope->setTriggerWindow (scopeWindow);
        }
    }
}
