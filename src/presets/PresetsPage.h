#pragma once

#include <JuceHeader.h>

#include <memory>

#include "gui/GuiPage.h"
#include "presets/PresetsPageController.h"

class MultiChoice;
class ParameterShower;

// The preset library's page: a table of presets (one page of the server's
// list, or the local folder), search, paging, a save box, the server login and
// status texts. What the buttons do, the server status and the sync live in
// PresetsPageController; paint() ends with its poll.
class PresetsPage : public GuiPage,
                    public juce::TableListBoxModel,
                    public juce::TextEditor::Listener,
                    private PresetsPageController::View
{
public:
    static constexpr int kSaveCategoryId = 100001;
    static constexpr int kSearchCategoryId = 100002;

    // font1: labels and cells, statusFont: status display, font2: titles, font3: text boxes.
    PresetsPage (BrevonAudioProcessor* processor, juce::Font* font1, juce::Font* statusFont, juce::Font* font2,
                 juce::Font* font3, EventAggregator* aggregator, juce::AudioProcessorEditor* editor,
                 juce::String name, const Images& images, ParameterValue* parameterValues);
    ~PresetsPage() override;

    void paint (juce::Graphics& g) override;
    void buttonClicked (juce::Button* button) override;
    void receiveEvent (EventType type, int value) override;
    void onSetParams() override {}

    void cellDoubleClicked (int row, int columnId, const juce::MouseEvent&) override;
    void textEditorTextChanged (juce::TextEditor& box) override;
    void textEditorReturnKeyPressed (juce::TextEditor& box) override;
    void textEditorFocusLost (juce::TextEditor&) override {}
    int getNumRows() override;
    void paintRowBackground (juce::Graphics& g, int row, int width, int height, bool selected) override;
    void paintCell (juce::Graphics& g, int row, int columnId, int width, int height, bool selected) override;
    void selectedRowsChanged (int lastRowSelected) override;

    // The enabling rules.
    void updateConnectedToServerLabel();
    void updateNextAndPreviousPageButtons();
    void updateLoadButton();
    void updateLatestVersion();

    PresetsPageController& getController() { return *controller; }
    juce::TableListBox& getTable() { return table; }
    ParameterShower& getStatus() { return *status; }
    MultiChoice& getSaveCategoryChoice() { return *saveCategoryChoice; }
    MultiChoice& getSearchCategoryChoice() { return *searchCategoryChoice; }
    juce::TextButton &getSynthButton() { return *synthButton; }
    juce::TextButton *synthButton = nullptr, *searchButton = nullptr, *loadButton = nullptr, *saveButton = nullptr,
                     *deleteButton = nullptr, *prevButton = nullptr, *nextButton = nullptr;
    juce::ToggleButton* publicToggle = nullptr;
    juce::TextEditor *searchEditor = nullptr, *nameBox = nullptr, *commentsBox = nullptr, *emailBox = nullptr,
                     *passwordBox = nullptr;
    juce::Label *connectedLabel = nullptr, *versionLabel = nullptr, *versionNoticeLabel = nullptr;

    // The two outlines of the "online" column.
    static juce::Path cloudOutline();
    static juce::Path discOutline();

private:
    // PresetsPageController::View
    juce::String getNameText() override;
    juce::String getCommentsText() override;
    juce::String getEmailText() override;
    juce::String getSearchText() override;
    int getSearchCategoryIndex() override;
    bool getPublicState() override;
    void showStatus (const juce::String& text, bool held) override;
    void showError (const juce::String& text) override;
    void showLoadedPreset (const juce::String& name, const juce::String& comments) override;
    void setPublicState (bool on) override;
    void rowsChanged() override;
    void clearSelection() override;
    void controlsChanged() override;
    void latestVersionChanged() override { updateLatestVersion(); }

    juce::TextButton* makeButton (const juce::String& text, int x, int y, int w, int h);
    juce::TextEditor* makeBox (const juce::String& name, int x, int y, int w, int h, const juce::String& placeholder);
    juce::Label* makeLabel (const juce::String& name, const juce::String& text, int x, int y, int w, int h);
    static int choiceIndex (const MultiChoice& choice);

    bool closing = false;
    bool decorationDirty = true;
    bool spoken = false; // the status display still shows the opening greeting
    juce::Image decoration;
    ParameterShower* status = nullptr;
    MultiChoice *saveCategoryChoice = nullptr, *searchCategoryChoice = nullptr;
    juce::TableListBox table;
    std::unique_ptr<PresetsPageController> controller;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (PresetsPage)
};
