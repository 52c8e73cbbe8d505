#include "gui/PluginEditor.h"

#include <TalvoraFonts.h>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "core/PropertyProxy.h"
#include "gui/CommonImages.h"
#include "gui/GuiPage.h"
#include "gui/KevoJuceKnob.h"
#include "gui/KevoJuceSlider.h"
#include "gui/MultiChoice.h"
#include "gui/SplineComponent.h"
#include "gui/TalvoraLookAndFeel.h"
#include "gui/synth/SynthPage.h"
#include "presets/PresetsPage.h"

namespace
{
// Held while an editor is built or destroyed: the shared look-and-feel and
// images are created with the first editor and deleted with the last.
juce::CriticalSection openingclosingLock;
int staticPluginEditorInstances = 0;
TalvoraLookAndFeel* staticTalvoraLookAndFeel = nullptr;
Images* staticImages = nullptr;

// Paints of all editors; every 50th reads the scope window.
int updateSamplesPerEnvelope = 0;

constexpr juce::int64 lookAndFeelCheckInterval = 10001;

std::unique_ptr<juce::Font> makeFont (const juce::Typeface::Ptr& face, float height)
{
    auto font = std::make_unique<juce::Font> (face);
    font->setHeight (height);
    return font;
}
} // namespace

juce::Typeface::Ptr BrevonAudioProcessorEditor::loadDisplayTypeface()
{
    return juce::Typeface::createSystemTypefaceFor (TalvoraFonts::FerriteCoreDXRegular_otf,
                                                    (size_t) TalvoraFonts::FerriteCoreDXRegular_otfSize);
}

juce::Typeface::Ptr BrevonAudioProcessorEditor::loadSecondTypeface()
{
    return juce::Typeface::createSystemTypefaceFor (TalvoraFonts::JuraMedium_otf,
                                                    (size_t) TalvoraFonts::JuraMedium_otfSize);
}

int BrevonAudioProcessorEditor::getNumEditors()
{
    const juce::ScopedLock sl (openingclosingLock);
    return staticPluginEditorInstances;
}

TalvoraLookAndFeel* BrevonAudioProcessorEditor::getStaticLookAndFeel()
{
    const juce::ScopedLock sl (openingclosingLock);
    return staticTalvoraLookAndFeel;
}

const Images* BrevonAudioProcessorEditor::getStaticImages()
{
    const juce::ScopedLock sl (openingclosingLock);
    return staticImages;
}

//==============================================================================
BrevonAudioProcessorEditor::BrevonAudioProcessorEditor (BrevonAudioProcessor& p)
    : juce::AudioProcessorEditor (p), aggregator (p.getEventAggregator()), parameterValues (p.getParameterValues())
{
    ++staticPluginEditorInstances;
    {
        const juce::ScopedLock sl (openingclosingLock);

        setSize (kWidth, kHeight);

        typefaceDisplay = loadDisplayTypeface();
        typefaceSecond = loadSecondTypeface();
        smallFont = makeFont (typefaceDisplay, 9.0f);
        smallSecondFont = makeFont (typefaceSecond, 9.0f);
        mediumFont = makeFont (typefaceDisplay, 14.0f);
        largeFont = makeFont (typefaceDisplay, 17.0f);
        titleFont = makeFont (typefaceDisplay, 29.0f);

        if (staticImages == nullptr)
        {
            auto set = std::make_unique<Images>();
            set->createMissing();
            staticImages = set.release();
        }
        images = staticImages;

        if (staticTalvoraLookAndFeel == nullptr)
            staticTalvoraLookAndFeel = new TalvoraLookAndFeel (staticImages);
        lookAndFeel = staticTalvoraLookAndFeel;

        if (TalvoraLookAndFeel::findFor (*this) == nullptr)
            juce::LookAndFeel::setDefaultLookAndFeel (lookAndFeel);

        lookAndFeel->setFont (0, *largeFont);
        lookAndFeel->setFont (1, *mediumFont);
        lookAndFeel->setFont (2, *smallFont);
        lookAndFeel->setFont (3, *smallSecondFont);

        openSynthPage();

        EventListener::name = "BrevonAudioProcessorEditor";
        addMouseListener (this, true);
        addKeyListener (this);

        if (aggregator != nullptr)
        {
            aggregator->sendEvent (AppearanceChanged, 0);
            aggregator->registerForEvent (GlobalAppearanceChanged, this);
        }
    }

    captureRing = p.getCaptureRing();
    if (synthPage != nullptr)
        synthPage->setCaptureRing (captureRing);
}

BrevonAudioProcessorEditor::~BrevonAudioProcessorEditor()
{
    const juce::ScopedLock sl (openingclosingLock);

    if (aggregator != nullptr)
        aggregator->unregisterListener (this);

    removeKeyListener (this);
    removeMouseListener (this);
    currentPage = nullptr;
    retirePage (synthPage);
    retirePage (presetsPage);

    smallFont.reset();
    smallSecondFont.reset();
    mediumFont.reset();
    largeFont.reset();
    titleFont.reset();

    if (--staticPluginEditorInstances == 0)
    {
        // Menus may still draw with it; and the framework must not keep a
        // default that is about to go.
        juce::PopupMenu::dismissAllActiveMenus();
        if (&juce::LookAndFeel::getDefaultLookAndFeel() == staticTalvoraLookAndFeel)
            juce::LookAndFeel::setDefaultLookAndFeel (nullptr);
        delete staticTalvoraLookAndFeel;
        staticTalvoraLookAndFeel = nullptr;
        delete staticImages;
        staticImages = nullptr;
    }
    lookAndFeel = nullptr;
    images = nullptr;
}

template <typename PageType>
void BrevonAudioProcessorEditor::retirePage (std::unique_ptr<PageType>& page)
{
    if (page == nullptr)
        return;
    if (aggregator != nullptr)
        aggregator->unregisterListener (page.get());
    page.reset();
}

BrevonAudioProcessor* BrevonAudioProcessorEditor::getTalvoraProcessor() const
{
    return dynamic_cast<BrevonAudioProcessor*> (getAudioProcessor());
}

//==============================================================================
void BrevonAudioProcessorEditor::openSynthPage()
{
    auto* synth = getTalvoraProcessor();
    if (synth == nullptr || images == nullptr)
        return;

    synthPage = std::make_unique<SynthPage> (synth, smallFont.get(), largeFont.get(), titleFont.get(),
                                             smallSecondFont.get(), aggregator, this, "synthpage", *images,
                                             parameterValues);
    if (captureRing != nullptr)
        synthPage->setCaptureRing (captureRing);

    if (parameterValues != nullptr)
    {
        synthPage->setParameterValues (parameterValues);
        // Copied without notification: opening the window never writes to the host.
        for (int i = 0; i < GuiPage::numParameters; ++i)
        {
            if (auto* knob = synthPage->getKnob (i))
                knob->setValue (parameterValues[i], juce::dontSendNotification);
            else if (auto* slider = synthPage->getSlider (i))
                slider->setValue (parameterValues[i], juce::dontSendNotification);
            else if (auto* spline = synthPage->getSpline (i))
                spline->setValue (parameterValues[i], juce::dontSendNotification);
            else if (auto* choice = synthPage->getMultiChoice (i))
            {
                choice->parameterValues = parameterValues;
                if (choice->fieldNamesSet && choice->menuNamesSet)
                {
                    choice->setValue (parameterValues[choice->id]);
                    choice->repaint();
                }
            }
        }
        synthPage->onSetParams();
    }
    synthPage->setEditor (this);

    currentPage = synthPage.get();
    addAndMakeVisible (*synthPage);
}

void BrevonAudioProcessorEditor::requestPageSwitch()
{
    if (synthPage != nullptr)
        switchToPresetsPage = true;
    else if (presetsPage != nullptr)
        switchToSynthPage = true;
}

void BrevonAudioProcessorEditor::installLookAndFeelIfForeign()
{
    if (lookAndFeel != nullptr && TalvoraLookAndFeel::findFor (*this) == nullptr)
    {
        juce::LookAndFeel::setDefaultLookAndFeel (lookAndFeel);
        repaint();
    }
}

void BrevonAudioProcessorEditor::paint (juce::Graphics&)
{
    // Another plug-in in the same process may install its own default.
    const auto now = juce::Time::currentTimeMillis();
    if (lookAndFeelCheckTime == 0)
        lookAndFeelCheckTime = now;
    else if (now - lookAndFeelCheckTime >= lookAndFeelCheckInterval)
    {
        lookAndFeelCheckTime = now;
        installLookAndFeelIfForeign();
    }

    if (synthPage != nullptr)
    {
        if (++updateSamplesPerEnvelope >= 50)
        {
            updateSamplesPerEnvelope = 0;
            if (auto* synth = getTalvoraProcessor())
            {
                oscPeriod = synth->getScopeWindow();
                synthPage->setScopeWindow (oscPeriod);
            }
        }
    }

    // A send on another thread (automation) may be walking the page's
    // listener entries: unregistering waits for it, so the page is off the
    // bus before it goes. Waiting for a moment with no send at all could
    // starve the switch while a host automates nonstop.
    if (switchToPresetsPage)
    {
        if (synthPage == nullptr)
            return;
        currentPage = nullptr;
        retirePage (synthPage);
        switchToPresetsPage = false;
        if (auto* synth = getTalvoraProcessor())
        {
            presetsPage = std::make_unique<PresetsPage> (synth, smallFont.get(), largeFont.get(), titleFont.get(),
                                                         smallSecondFont.get(), aggregator, this, "presetspage",
                                                         *images, parameterValues);
            if (parameterValues != nullptr)
                presetsPage->setEditor (this);
            currentPage = presetsPage.get();
            addAndMakeVisible (*presetsPage);
        }
    }
    else if (switchToSynthPage && presetsPage != nullptr)
    {
        currentPage = nullptr;
        retirePage (presetsPage);
        switchToSynthPage = false;
        openSynthPage();
    }
}

GuiPage* BrevonAudioProcessorEditor::pageForSettingsMenu (const juce::MouseEvent& e) const
{
    const auto& mods = e.mods;
    if (! (mods.isRightButtonDown() || mods.isShiftDown() || mods.isCtrlDown() || mods.isAltDown()
           || mods.isCommandDown()))
        return nullptr;

    if (currentPage != nullptr && currentPage->isVisible() && e.originalComponent == currentPage)
        return currentPage;
    return nullptr;
}

void BrevonAudioProcessorEditor::mouseDown (const juce::MouseEvent& e)
{
    if (auto* page = pageForSettingsMenu (e))
        page->rightClickPopupMenu();
}

void BrevonAudioProcessorEditor::receiveEvent (EventType type, int)
{
    if (type != GlobalAppearanceChanged || lookAndFeel == nullptr)
        return;

    int scheme = settingsDefaults::colorSet;
    if (auto* synth = getTalvoraProcessor())
    {
        const juce::ScopedLock sl (PropertyProxy::globalPropertyProxyLock);
        auto& proxy = synth->getPropertyProxy();
        if (proxy.hasFile())
            proxy.reload();
        scheme = proxy.getIntValue (settingsKeys::color_set, settingsDefaults::colorSet);
    }
    lookAndFeel->setColorScheme (scheme);

    if (TalvoraLookAndFeel::findFor (*this) == nullptr)
        juce::LookAndFeel::setDefaultLookAndFeel (lookAndFeel);
    repaint();
}
