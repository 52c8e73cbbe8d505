#include "gui/LogoComponent.h"

#include <cmath>

#include "core/EventAggregator.h"
#include "gui/ComponentRepaintTimer.h"

namespace
{
constexpr double twoPi = juce::MathConstants<double>::twoPi;

double wrap (double phase)
{
    return std::fmod (phase, twoPi);
}
} // namespace

LogoComponent::LogoComponent (const juce::String&, const juce::String& logoName, juce::Font* nf, juce::Font* vf,
                              EventAggregator* agg, ComponentRepaintTimer* timer)
    : Colorable (logoName, agg), EventListener ("LogoComponent"), repaintTimer (timer), nameFont (nf), versionFont (vf)
{
    if (aggregator != nullptr)
    {
        aggregator->registerForEvent (AppearanceChanged, this);
        aggregator->registerForEvent (GlobalAppearanceChanged, this);
    }
}

LogoComponent::~LogoComponent()
{
    if (aggregator != nullptr)
        aggregator->unregisterListener (this);
    if (repaintTimer != nullptr)
        repaintTimer->removeComponent (this);
}

juce::String LogoComponent::getVersionLine()
{
    return "version " + juce::String (JucePlugin_VersionString).upToLastOccurrenceOf (".", false, false);
}

void LogoComponent::receiveEvent (EventType, int)
{
    imageStale = true;
}

void LogoComponent::renderImage()
{
    const int w = juce::jmax (1, getWidth()), h = juce::jmax (1, getHeight());
    cachedImage = juce::Image (juce::Image::ARGB, w, h, true);
    juce::Graphics g (cachedImage);
    g.setColour ((*getColors())[11]);
    if (nameFont != nullptr)
        g.setFont (*nameFont);
    g.drawFittedText ("TALVORA XL\nKEVO AUDIO", 0, 0, w, h, juce::Justification::centred, 1);
    if (versionFont != nullptr)
        g.setFont (*versionFont);
    g.drawFittedText (getVersionLine(), 0, 0, w, h, juce::Justification::centred, 1);
    imageStale = false;
    ++imageRenders;
}

bool LogoComponent::step()
{
    if (spinMode)
    {
        spinSpeed *= 0.98;
        spinPhase = wrap (spinPhase + 2.0 * std::pow (spinSpeed, 4.0));
        wobblePhase = wrap (wobblePhase + 0.5 * spinSpeed);
        scale = 1.0 + 0.35 * spinSpeed * spinSpeed * std::sin (spinPhase);
        tilt = 0.2 * spinSpeed * spinSpeed * std::sin (wobblePhase);
        return spinSpeed < 0.0001;
    }

    scale = scale < 1.0 ? scale * 0.57 + 0.41 : scale * 0.8 + 0.2;
    tilt *= 0.8;
    return std::abs (scale - 1.0) < 0.00005;
}

void LogoComponent::paint (juce::Graphics& g)
{
    if (! cachedImage.isValid() || imageStale)
        renderImage();

    const bool finished = step();

    const float w = (float) getWidth(), h = (float) getHeight();
    const float s = (float) scale;
    const float ox = w * 0.5f - s * w * 0.5f, oy = h * 0.5f - s * h * 0.5f;
    const auto spin = juce::AffineTransform::rotation ((float) tilt, w * 0.5f, h * 0.5f);

    if (scale > 1.001)
    {
        const double e = scale - 1.0;
        const double level = std::sqrt (6.0 * e);
        const auto alpha = (juce::uint8) (level >= 1.0 ? 255 : (int) std::floor (level * 255.996));
        g.setColour (juce::Colours::black.withAlpha (alpha));
        g.drawImageTransformed (cachedImage,
                                juce::AffineTransform::scale (s).translated (ox + 32.0f * (float) e, oy + 32.0f * (float) e)
                                    .followedBy (spin),
                                true);
    }
    g.setOpacity (1.0f);
    g.drawImageTransformed (cachedImage, juce::AffineTransform::scale (s).translated (ox, oy).followedBy (spin));

    if (finished && repaintTimer != nullptr)
        repaintTimer->removeComponent (this);
}

void LogoComponent::mouseDown (const juce::MouseEvent& e)
{
    spinMode = e.mods.isRightButtonDown() || e.mods.isShiftDown() || e.mods.isCtrlDown() || e.mods.isAltDown()
               || e.mods.isCommandDown();
    if (repaintTimer != nullptr)
        repaintTimer->addComponent (this);
    if (spinMode)
    {
        spinSpeed = 1.0;
        spinPhase = wobblePhase = 0.0;
    }
    else
    {
        spinSpeed = 0.0;
        scale = 0.65;
    }
    if (aggregator != nullptr)
        aggregator->sendEvent (LogoClicked, 0);
}

void LogoComponent::mouseUp (const juce::MouseEvent&)
{
    if (repaintTimer != nullptr)
        repaintTimer->addComponent (this);
    scale = 1.15;
    dragAnchor = 0;
}

void LogoComponent::mouseDrag (const juce::MouseEvent& e)
{
    if (spinMode)
        return;
    const int d = juce::roundToInt (e.getDistanceFromDragStartY());
    if (d != 0)
    {
        const double k = (0.25 - std::abs (tilt)) * (e.x < getWidth() / 2 ? 0.005 : -0.005);
        tilt = juce::jlimit (-0.3, 0.3, tilt - (d - dragAnchor) * k);
    }
    dragAnchor = d;
}
