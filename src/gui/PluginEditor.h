#pragma once

#include <JuceHeader.h>

#include <atomic>
#include <memory>

#include "core/TalvoraEvents.h"
#include "core/ParameterValue.h"

class BrevonAudioProcessor;
class EventAggregator;
class GuiPage;
class PresetsPage;
class SynthPage;
class TalvoraLookAndFeel;
struct Images;

// The plug-in window: one page at a time (the synth page, or the presets page
// on request). The look-and-feel and the images are shared by every open
// editor of the process; the typefaces and fonts belong to each editor.
class BrevonAudioProcessorEditor : public juce::AudioProcessorEditor,
                                   public juce::Button::Listener,
                                   public juce::Slider::Listener,
                                   public EventListener,
                                   public juce::KeyListener
{
public:
    static constexpr int kWidth = 829;
    static constexpr int kHeight = 740;

    explicit BrevonAudioProcessorEditor (BrevonAudioProcessor& processor);
    ~BrevonAudioProcessorEditor() override;

    void paint (juce::Graphics& g) override;
    void mouseDown (const juce::MouseEvent& e) override;
    using juce::Component::keyPressed; // the component's own stays as it is
    bool keyPressed (const juce::KeyPress&, juce::Component*) override { return false; }
    void sliderValueChanged (juce::Slider*) override {}
    void buttonClicked (juce::Button*) override {}
    void receiveEvent (EventType type, int value) override;

    // Builds and shows the synth page.
    void openSynthPage();
    // Asks for the other page; the next paint switches.
    void requestPageSwitch();

    // The page whose settings menu a mouse-down asks for: a right click, or a
    // click with shift, control, alt or command, on the shown page's own
    // background. Null for anything else.
    GuiPage* pageForSettingsMenu (const juce::MouseEvent& e) const;

    GuiPage* getCurrentPage() const noexcept { return currentPage; }
    SynthPage* getSynthPage() const noexcept { return synthPage.get(); }
    PresetsPage* getPresetsPage() const noexcept { return presetsPage.get(); }
    TalvoraLookAndFeel* getSharedLookAndFeel() const noexcept { return lookAndFeel; }
    const Images* getImages() const noexcept { return images; }
    double getOscPeriod() const noexcept { return oscPeriod; }
    const std::atomic<float>* getCaptureRing() const noexcept { return captureRing; }

    juce::Font& getSmallFont() const { return *smallFont; }
    juce::Font& getSmallSecondFont() const { return *smallSecondFont; }
    juce::Font& getMediumFont() const { return *mediumFont; }
    juce::Font& getLargeFont() const { return *largeFont; }
    juce::Font& getTitleFont() const { return *titleFont; }

    // Process-wide state, for tests and diagnostics.
    static int getNumEditors();
    static TalvoraLookAndFeel* getStaticLookAndFeel();
    static const Images* getStaticImages();

    // The two faces compiled into the plug-in.
    static juce::Typeface::Ptr loadDisplayTypeface();
    static juce::Typeface::Ptr loadSecondTypeface();

private:
    BrevonAudioProcessor* getTalvoraProcessor() const;
    void installLookAndFeelIfForeign();
    // Takes the page off the event bus (waiting for a send in progress), then deletes it.
    template <typename PageType>
    void retirePage (std::unique_ptr<PageType>& page);

    juce::Typeface::Ptr typefaceDisplay, typefaceSecond;
    std::unique_ptr<juce::Font> smallFont, smallSecondFont, mediumFont, largeFont, titleFont;

    const Images* images = nullptr;
    TalvoraLookAndFeel* lookAndFeel = nullptr;
    EventAggregator* aggregator = nullptr;
    ParameterValue* parameterValues = nullptr;
    const std::atomic<float>* captureRing = nullptr;
    double oscPeriod = 100.0;
    bool switchToPresetsPage = false, switchToSynthPage = false;

    std::unique_ptr<SynthPage> synthPage;
    std::unique_ptr<PresetsPage> presetsPage;
    GuiPage* currentPage = nullptr;

    juce::int64 lookAndFeelCheckTime = 0;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (BrevonAudioProcessorEditor)
};
