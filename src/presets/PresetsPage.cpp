#include "presets/PresetsPage.h"

#include "core/EventAggregator.h"
#include "gui/CommonImages.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"

PresetsPage::PresetsPage (BrevonAudioProcessor* proc, juce::Font* labelFont, juce::Font* statusFont,
                          juce::Font* titleFont, juce::Font* secondFont, EventAggregator* agg,
                          juce::AudioProcessorEditor* ed, juce::String pageName, const Images& imageSet,
                          ParameterValue* values)
    : GuiPage (proc, labelFont, titleFont, secondFont, agg, ed, pageName, imageSet, values)
{
    EventListener::name = "PresetsPage";
    setSize (829, 740);
    decoration = juce::Image (juce::Image::ARGB, 829, 740, true);

    synthButton = own (new juce::TextButton ("synth"));
    synthButton->setBounds (725, 690, 80, 30);
    synthButton->addListener (this);
    addAndMakeVisible (*synthButton);

    status = own (new ParameterShower ("status", statusFont));
    status->setBounds (20, 420, 780, 40);
    status->setInterceptsMouseClicks (false, false);
    addAndMakeVisible (*status);
    repaintTimer.addComponent (status);

    repaintTimer.startTimer (33);
}

PresetsPage::~PresetsPage()
{
    closing = true;
    stopListening();
    repaintTimer.stopTimer();
}

void PresetsPage::buttonClicked (juce::Button* button)
{
    if (button == synthButton)
        if (auto* e = dynamic_cast<BrevonAudioProcessorEditor*> (editor))
            e->requestPageSwitch();
}

void PresetsPage::receiveEvent (EventType type, int)
{
    if (type == AppearanceChanged || type == GlobalAppearanceChanged)
    {
        decorationDirty = true;
        repaint();
    }
}

void PresetsPage::paint (juce::Graphics& g)
{
    if (closing)
        return;

    if (decorationDirty)
    {
        decorationDirty = false;
        auto* colors = getColors();
        decoration.clear (decoration.getBounds());
        juce::Graphics d (decoration);
        d.fillAll ((*colors)[3]);
        if (draw_shadows && images != nullptr && (*images)[2].isValid())
        {
            d.setTiledImageFill ((*images)[2], 0, 0, 0.1f);
            d.fillAll();
        }
        drawPrettyBox (d, 10, 650, 800, 77, 11.2f, "settings", false, 0);
        drawPrettyBox (d, 335, 480, 330, 155, 14, "save preset", false, 0);
        drawPrettyBox (d, 10, 480, 300, 155, 14, "search", false, 0);
        drawPrettyBox (d, 10, 10, 800, 455, 14, "presets", false, 0);
    }
    g.drawImageAt (decoration, 0, 0);
}
