#include "presets/PresetsPage.h"

#include <cmath>

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "gui/CommonImages.h"
#include "gui/MultiChoice.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"
#include "presets/SafeTextRestriction.h"

namespace
{
// Where the search and save boxes sit; their controls are placed from these.
const juce::Point<int> searchBox { 10, 480 };
const juce::Point<int> saveBox { 335, 480 };

constexpr int columnFlags = juce::TableHeaderComponent::visible | juce::TableHeaderComponent::resizable
                            | juce::TableHeaderComponent::draggable | juce::TableHeaderComponent::appearsOnColumnMenu;

void setChoiceIndex (MultiChoice& choice, int idx)
{
    const int n = choice.getNumItems();
    if (idx < 0)
        idx = n - 1;
    else if (idx >= n)
        idx = 0;
    choice.setValue (idx / 100.0);
}

uint32_t maskOfIndex (int idx) { return idx <= 0 || idx > 32 ? 0u : 1u << (idx - 1); }
} // namespace

PresetsPage::PresetsPage (BrevonAudioProcessor* proc, juce::Font* labelFont, juce::Font* statusFont,
                          juce::Font* titleFont, juce::Font* secondFont, EventAggregator* agg,
                          juce::AudioProcessorEditor* ed, juce::String pageName, const Images& imageSet,
                          ParameterValue* values)
    : GuiPage (proc, labelFont, titleFont, secondFont, agg, ed, pageName, imageSet, values)
{
    EventListener::name = "PresetsPage";
    setBounds (getX(), getY(), 829, 740);
    decoration = juce::Image (juce::Image::ARGB, 829, 740, true);
    decorationDirty = true;

    searchButton = makeButton ("search", searchBox.x + 140, searchBox.y + 110, 120, 30);
    loadButton = makeButton ("load selected", 650, 420, 140, 30);
    synthButton = makeButton ("synth", 690, 610, 120, 30);
    saveButton = makeButton ("save preset", saveBox.x + 170, saveBox.y + 110, 120, 30);
    deleteButton = makeButton ("delete preset", 500, 420, 140, 30);

    publicToggle = own (new juce::ToggleButton ("public"));
    publicToggle->setBounds (saveBox.x + 220, saveBox.y + 35, 200, 30);
    publicToggle->changeWidthToFitText();
    publicToggle->setClickingTogglesState (true);
    publicToggle->addListener (this);
    publicToggle->setToggleState ((bool) processor->getPageState().getBoolValue ("presetsPageSavePresetPublic", true),
                                  juce::dontSendNotification);
    addAndMakeVisible (*publicToggle);

    prevButton = makeButton ("prev. page", 30, 420, 120, 30);
    nextButton = makeButton ("next page", 160, 420, 120, 30);

    std::vector<std::string> categories = PresetsPageController::categoryNames();
    saveCategoryChoice = own (new MultiChoice ("saveCategoryChoice", font1, kSaveCategoryId, aggregator));
    saveCategoryChoice->setBounds (saveBox.x + 20, saveBox.y + 120, 100, 10);
    saveCategoryChoice->setFieldNames (categories);
    saveCategoryChoice->setMenuNames (categories);
    addAndMakeVisible (*saveCategoryChoice);

    categories[0] = "all categories";
    searchCategoryChoice = own (new MultiChoice ("searchCategoryChoice", font1, kSearchCategoryId, aggregator));
    searchCategoryChoice->setBounds (searchBox.x + 20, searchBox.y + 120, 100, 10);
    searchCategoryChoice->setFieldNames (categories);
    searchCategoryChoice->setMenuNames (categories);
    addAndMakeVisible (*searchCategoryChoice);

    nameBox = makeBox ({}, saveBox.x + 20, saveBox.y + 40, 180, 18, "insert preset name here");
    nameBox->setInputFilter (new SafeTextRestriction (OK_SEARCH_STRING_CHARS, safetext::kPresetNameLength), true);
    commentsBox = makeBox ({}, saveBox.x + 20, saveBox.y + 70, 270, 36, "comments");
    commentsBox->setMultiLine (true, false);
    commentsBox->setReturnKeyStartsNewLine (true);
    commentsBox->setInputFilter (new SafeTextRestriction (OK_SEARCH_STRING_CHARS, safetext::kCommentsLength), true);
    emailBox = makeBox ({}, 100, 700, 200, 18, "you@example.org");
    passwordBox = makeBox ("passwordTextBox", 320, 700, 200, 18, "password");
    // Masked from the first frame on; the look-and-feel unmasks it while focused.
    passwordBox->setPasswordCharacter (TalvoraLookAndFeel::maskCharacterFor (passwordBox->getFont()));
    searchEditor = makeBox ("presetSearchTextEditor", searchBox.x + 20, searchBox.y + 80, 220, 18, {});
    searchEditor->setInputFilter (new SafeTextRestriction (OK_SEARCH_STRING_CHARS, safetext::kSearchLength), true);

    status = own (new ParameterShower ("parametershower", statusFont));
    status->setBounds (275, 390, 226, 45);
    status->setInterceptsMouseClicks (false, false);
    // The page paints it too, not only its timer: it keeps its pace by the clock.
    status->setPace (ParameterShower::Pace::elapsedTime);
    addAndMakeVisible (*status);
    status->setLongTimeText ("talvora xl");

    table.setColour (juce::ListBox::backgroundColourId, juce::Colours::transparentBlack);
    table.setColour (juce::ListBox::outlineColourId, juce::Colours::transparentBlack);
    table.setOutlineThickness (1);
    table.setModel (this);
    table.setMultipleSelectionEnabled (false);
    table.setBounds (30, 45, 760, 370);
    addAndMakeVisible (table);

    connectedLabel = makeLabel ("connectedToServerLabel", "not connected to server", 640, 700, 200, 20);
    // The label reaches past the settings box and the page's right edge: its
    // longest text is squeezed into the part that shows.
    connectedLabel->setBorderSize (juce::BorderSize<int> (1, 5, 1, 35));
    connectedLabel->setMinimumHorizontalScale (0.5f);
    versionNoticeLabel = makeLabel ({}, {}, 530, 670, 250, 20);
    versionLabel = makeLabel ({}, PresetsPageController::versionText(), 680, 480, 250, 20);

    setWantsKeyboardFocus (true);

    // Choices: the save category follows the program, the search category
    // comes back from the page state.
    const uint32_t mask = processor->getProgramCategoryMask();
    setChoiceIndex (*saveCategoryChoice, mask == 0 ? 0 : (int) std::log2 (2.0 * mask));
    setChoiceIndex (*searchCategoryChoice, (int) processor->getPageState().getIntValue ("presetsPageSearchCategoryInt", 0));

    // Name, e-mail and password before the page listens; comments and search
    // after, so those two reach the text-changed handler.
    const juce::String programName = processor->getProgramNameText();
    if (programName.isNotEmpty())
        nameBox->setText (programName, false);
    auto& settings = processor->getPropertyProxy();
    const juce::String email = settings.getStringValue (settingsKeys::email);
    const juce::String password = settings.getStringValue (settingsKeys::password);
    if (email.isNotEmpty())
        emailBox->setText (email, false);
    if (password.isNotEmpty())
        passwordBox->setText (password, false);
    for (auto* box : { nameBox, commentsBox, emailBox, passwordBox, searchEditor })
        box->addListener (this);
    const juce::String comment = processor->getProgramCommentText();
    if (comment.isNotEmpty())
        commentsBox->setText (comment, true);
    searchEditor->setText (processor->getPageState().getValue ("presetsPageSearchText", {}), true);

    table.getHeader().addColumn ("Name", 1, 195, 50, 400, columnFlags);
    table.getHeader().addColumn ("author", 2, 95, 50, 400, columnFlags);
    table.getHeader().addColumn ("comments", 6, 210, 50, 400, columnFlags);
    table.getHeader().addColumn ("rating", 3, 150, 50, 400, 0);
    table.getHeader().addColumn ("public", 4, 45, 45, 400, columnFlags);
    table.getHeader().addColumn ("last modified", 5, 90, 50, 400, columnFlags);
    table.getHeader().addColumn ("category", 7, 60, 50, 400, columnFlags);
    table.getHeader().addColumn ("online", 8, 45, 50, 400, columnFlags);

    controller = std::make_unique<PresetsPageController> (*processor, static_cast<PresetsPageController::View&> (*this));

    const juce::String typedName = nameBox->getText();
    if (typedName.isEmpty() || typedName == "preset name" || typedName == "insert preset name here")
        publicToggle->setToggleState (true, juce::dontSendNotification);
    deleteButton->setEnabled (false);
    saveButton->setEnabled (true);

    repaintTimer.addComponent (status);
    repaintTimer.startTimer ((int) ParameterShower::kStepMs);

    updateConnectedToServerLabel();
    updateLoadButton();
    updateNextAndPreviousPageButtons();
    updateLatestVersion();
    if (aggregator != nullptr)
        aggregator->registerForEvent (MultiChoiceChanged, this);
}

PresetsPage::~PresetsPage()
{
    closing = true;
    stopListening();
    repaintTimer.stopTimer();
    setVisible (false);
    // A running worker is asked to stop and, after at most 100 ms, handed to
    // the processor: closing never waits on the server.
    controller.reset();
    table.setModel (nullptr);
}

//==============================================================================
juce::TextButton* PresetsPage::makeButton (const juce::String& text, int x, int y, int w, int h)
{
    auto* b = own (new juce::TextButton (text));
    b->setBounds (x, y, w, h);
    b->addListener (this);
    addAndMakeVisible (*b);
    return b;
}

juce::TextEditor* PresetsPage::makeBox (const juce::String& boxName, int x, int y, int w, int h,
                                        const juce::String& placeholder)
{
    auto* box = own (new juce::TextEditor (boxName));
    box->setBounds (x, y, w, h);
    if (font3 != nullptr)
        box->setFont (*font3);
    box->setTextToShowWhenEmpty (placeholder, (*getColors())[6]);
    addAndMakeVisible (*box);
    return box;
}

juce::Label* PresetsPage::makeLabel (const juce::String& labelName, const juce::String& text, int x, int y, int w, int h)
{
    auto* label = own (new juce::Label (labelName, text));
    label->setBounds (x, y, w, h);
    if (font1 != nullptr)
        label->setFont (*font1);
    label->setColour (juce::Label::textColourId, (*getColors())[11]);
    label->setJustificationType (juce::Justification::topLeft);
    addAndMakeVisible (*label);
    return label;
}

int PresetsPage::choiceIndex (const MultiChoice& choice)
{
    return (int) std::lround (choice.getValue() * 100.0);
}

//==============================================================================
// What the controller reads and tells.
juce::String PresetsPage::getNameText() { return nameBox->getText(); }
juce::String PresetsPage::getCommentsText() { return commentsBox->getText(); }
juce::String PresetsPage::getEmailText() { return emailBox->getText(); }
juce::String PresetsPage::getSearchText() { return searchEditor->getText(); }
int PresetsPage::getSearchCategoryIndex() { return choiceIndex (*searchCategoryChoice); }
bool PresetsPage::getPublicState() { return publicToggle->getToggleState(); }

void PresetsPage::showStatus (const juce::String& text, bool held)
{
    // The opening greeting gives way to the page's first word, which may
    // come within its first second (an empty server's answer, say).
    if (! spoken)
    {
        spoken = true;
        status->longHold = 0.0;
    }
    // A text a hold keeps out comes when the hold ends: nothing said is lost.
    status->showOrQueue (text, held);
}

void PresetsPage::showError (const juce::String& text)
{
    status->setHeldText (text, PresetsPageController::kErrorHoldMs);
}

void PresetsPage::showLoadedPreset (const juce::String& programName, const juce::String& comments)
{
    nameBox->setText (programName, true);
    commentsBox->setText (comments, true);
}

void PresetsPage::setPublicState (bool on) { publicToggle->setToggleState (on, juce::dontSendNotification); }

void PresetsPage::rowsChanged()
{
    table.updateContent();
    table.repaint();
}

void PresetsPage::clearSelection() { table.deselectAllRows(); }

void PresetsPage::controlsChanged()
{
    updateConnectedToServerLabel();
    updateLoadButton();
    updateNextAndPreviousPageButtons();
    table.repaint();
}

//==============================================================================
void PresetsPage::updateConnectedToServerLabel()
{
    const bool known = controller->isSearchEnabled();
    const int mode = controller->mode;
    connectedLabel->setText (mode == PresetsPageController::online      ? "connected to server"
                             : mode == PresetsPageController::localOnly ? "working locally, server not reachable"
                                                                        : "not connected to server",
                             juce::dontSendNotification);
    searchButton->setEnabled (known);
}

void PresetsPage::updateNextAndPreviousPageButtons()
{
    if (prevButton == nullptr || nextButton == nullptr)
        return;
    prevButton->setEnabled (controller->isPreviousEnabled());
    nextButton->setEnabled (controller->isNextEnabled());
}

void PresetsPage::updateLoadButton() { loadButton->setEnabled (controller->isLoadEnabled()); }

void PresetsPage::updateLatestVersion()
{
    const juce::String notice = PresetsPageController::versionNotice (PresetsPageController::latestVersionOnServer.load());
    if (notice.isNotEmpty() && versionNoticeLabel != nullptr)
        versionNoticeLabel->setText (notice, juce::dontSendNotification);
}

//==============================================================================
void PresetsPage::buttonClicked (juce::Button* button)
{
    if (button == synthButton)
    {
        if (auto* e = dynamic_cast<BrevonAudioProcessorEditor*> (editor))
            e->requestPageSwitch();
    }
    else if (button == searchButton)
        controller->refreshPresetList (false);
    else if (button == loadButton)
        controller->onLoadPresetButton();
    else if (button == saveButton)
        controller->save();
    else if (button == deleteButton)
        controller->deleteSelected();
    else if (button == publicToggle)
        processor->getPageState().setValue ("presetsPageSavePresetPublic", publicToggle->getToggleState());
    else if (button == nextButton)
        controller->nextPage();
    else if (button == prevButton)
        controller->previousPage();
}

void PresetsPage::textEditorTextChanged (juce::TextEditor& box)
{
    auto& settings = processor->getPropertyProxy();
    if (&box == emailBox || &box == passwordBox)
    {
        settings.setValue (&box == emailBox ? settingsKeys::email : settingsKeys::password, box.getText());
        settings.saveIfNeeded();
    }
    else if (&box == nameBox)
        processor->setProgramNameText (box.getText());
    else if (&box == commentsBox)
        processor->setProgramCommentText (box.getText());
}

void PresetsPage::textEditorReturnKeyPressed (juce::TextEditor& box)
{
    if (&box != searchEditor)
        return;
    controller->refreshPresetList (false);
    processor->getPageState().setValue ("presetsPageSearchText", searchEditor->getText());
}

void PresetsPage::receiveEvent (EventType type, int value)
{
    if (type == AppearanceChanged || type == GlobalAppearanceChanged)
    {
        if (type == AppearanceChanged)
            decorationDirty = true;
        repaint();
    }
    else if (type == MultiChoiceChanged && juce::MessageManager::getInstance()->isThisTheMessageThread())
    {
        if (value == kSearchCategoryId)
            controller->updateSearchData();
        else if (value == kSaveCategoryId)
            processor->setProgramCategoryMask (maskOfIndex (choiceIndex (*saveCategoryChoice)));
    }
}

//==============================================================================
int PresetsPage::getNumRows() { return controller != nullptr ? (int) controller->rows.size() : 0; }

void PresetsPage::selectedRowsChanged (int lastRowSelected)
{
    if (controller == nullptr)
        return;
    controller->selectedRowsChanged (lastRowSelected);
    if (lastRowSelected != -1)
        deleteButton->setEnabled (controller->isDeleteEnabled (emailBox->getText()));
    // The load button follows the selection too, not only the next server answer.
    updateLoadButton();
}

void PresetsPage::cellDoubleClicked (int, int, const juce::MouseEvent&)
{
    controller->onLoadPresetButton();
}

void PresetsPage::paintRowBackground (juce::Graphics& g, int, int width, int height, bool selected)
{
    if (closing)
        return;
    auto* colors = getColors();
    g.setColour ((*colors)[selected ? 6 : 0]);
    g.fillRoundedRectangle (0.0f, 0.0f, (float) width, (float) height, 5.0f);
}

void PresetsPage::paintCell (juce::Graphics& g, int row, int columnId, int width, int height, bool selected)
{
    if (closing || controller == nullptr || row < 0 || row >= (int) controller->rows.size())
        return;
    auto* colors = getColors();
    g.setColour ((*colors)[selected ? 2 : 1]);
    g.fillRoundedRectangle (0.7f, 0.7f, (float) width - 1.4f, (float) height - 1.4f, 3.3f);

    const auto& r = controller->rows[(size_t) row];
    const juce::Colour textColour = selected && ! colors->flag1 ? (*colors)[1] : (*colors)[11];
    g.setColour (textColour);
    if (font1 != nullptr)
        g.setFont (*font1);

    juce::String text;
    switch (columnId)
    {
        case 1: text = PresetsPageController::displayText (r.record.getName()); break;
        case 2: text = PresetsPageController::authorText (r.record); break;
        case 4: text = r.record.isPublic != 0 ? "public" : "private"; break;
        case 5: text = PresetsPageController::lastModifiedText (r.record); break;
        case 6: text = PresetsPageController::displayText (r.record.getComments()); break;
        case 7: text = PresetsPageController::categoryText (r.record.categoryMask); break;
        case 8:
            if (r.online != 0)
                g.fillPath (cloudOutline(), juce::AffineTransform::scale (0.42f).translated (-3.0f, -5.0f));
            if (r.local != 0)
                g.fillPath (discOutline(), juce::AffineTransform::scale (0.35f).translated (20.0f, -3.0f));
            return;
        default: return;
    }
    g.drawFittedText (text, 0, 0, width, height, juce::Justification::centred, 1);
}

juce::Path PresetsPage::cloudOutline()
{
    // A cloud in a 60 x 60 box: three puffs on a flat base.
    juce::Path p;
    p.addEllipse (12.0f, 28.0f, 18.0f, 18.0f);
    p.addEllipse (22.0f, 18.0f, 24.0f, 24.0f);
    p.addEllipse (38.0f, 28.0f, 18.0f, 18.0f);
    p.addRoundedRectangle (20.0f, 32.0f, 28.0f, 14.0f, 3.0f);
    return p;
}

juce::Path PresetsPage::discOutline()
{
    // A disc with its hole, in a 60 x 60 box.
    juce::Path p;
    p.addEllipse (15.0f, 15.0f, 40.0f, 40.0f);
    p.addEllipse (30.0f, 30.0f, 10.0f, 10.0f);
    p.setUsingNonZeroWinding (false);
    return p;
}

//==============================================================================
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
        d.setColour ((*colors)[11]);
        if (font1 != nullptr)
            d.setFont (*font1);
        d.drawText ("email", 100, 682, 120, 16, juce::Justification::left);
        d.drawText ("password", 320, 682, 120, 16, juce::Justification::left);
        d.setColour ((*colors)[3]);
        const auto t = table.getBounds().toFloat();
        d.fillRoundedRectangle (t.getX() + 1.0f, t.getY() + 1.0f, t.getWidth() - 2.0f, t.getHeight() - 1.0f, 5.0f);
    }
    g.drawImageAt (decoration, 0, 0);

    if (controller != nullptr)
        controller->poll();
}
