// The presets page as the editor builds it: controls, texts, the table's
// painting and the enabling rules, drawn headless and probed in snapshots.

#include <gtest/gtest.h>

#include "core/PluginProcessor.h"
#include "gui/ColorSet.h"
#include "gui/MultiChoice.h"
#include "gui/ParameterShower.h"
#include "gui/PluginEditor.h"
#include "gui/TalvoraLookAndFeel.h"
#include "presets/PresetServerConnector.h"
#include "presets/PresetsPageThread.h"
#include "presets/PresetsPage.h"
#include "support/EditorRig.h"
#include "ServerRig.h"
#include "ServerSettings.h"

using namespace editorRig;
using serverrig::closedPort;

namespace
{
PresetMetaData row (const char* name, const char* author, const char* time, uint32_t mask, bool isPublic)
{
    PresetMetaData md = presetmeta::newRecord();
    md.setName (name);
    md.setAuthor (author);
    md.setLastModified (time);
    md.setComments ("soft");
    md.categoryMask = mask;
    md.isPublic = isPublic ? 1 : 0;
    return md;
}

struct PresetsPageTest : ::testing::Test
{
    void SetUp() override
    {
        PresetServerConnector::publishServer ("", ""); // no server known from earlier tests
        auto& settings = processor->getPropertyProxy();
        const int port = closedPort();
        settings.setValue (settingsKeys::presetServerAddressPage,
                           juce::String ("http://127.0.0.1:" + std::to_string (port) + "/server_address"));
        settings.setValue (settingsKeys::presetServerPort, port);
        settings.setValue (settingsKeys::email, "ann@example.org");
        processor->setProgramNameText ("Deep Bass");
        processor->setProgramCategoryMask (4);
        page = openPresetsPage (*processor, editor);
        ASSERT_NE (page, nullptr);
    }
    void TearDown() override
    {
        if (editor != nullptr)
            closeEditor (*processor, editor);
    }

    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    std::unique_ptr<BrevonAudioProcessor> processor = std::make_unique<BrevonAudioProcessor>();
    BrevonAudioProcessorEditor* editor = nullptr;
    PresetsPage* page = nullptr;
};
} // namespace

TEST_F (PresetsPageTest, StartsOfflineWithItsControlsInPlace)
{
    auto& c = page->getController();
    EXPECT_EQ (c.mode, 0);
    EXPECT_EQ (page->connectedLabel->getText(), "not connected to server");
    EXPECT_FALSE (page->searchButton->isEnabled());
    EXPECT_FALSE (page->loadButton->isEnabled());
    EXPECT_FALSE (page->deleteButton->isEnabled());
    EXPECT_FALSE (page->prevButton->isEnabled());
    EXPECT_EQ (page->getBounds().getWidth(), 829);
    EXPECT_EQ (page->getBounds().getHeight(), 740);
    EXPECT_EQ (page->searchButton->getBounds(), juce::Rectangle<int> (150, 590, 120, 30));
    EXPECT_EQ (page->saveButton->getBounds(), juce::Rectangle<int> (505, 590, 120, 30));
    EXPECT_EQ (page->getTable().getBounds(), juce::Rectangle<int> (30, 45, 760, 370));
    EXPECT_EQ (page->nameBox->getText(), "Deep Bass");
    EXPECT_EQ (page->emailBox->getText(), "ann@example.org");
    EXPECT_EQ (page->versionLabel->getText(), "talvora xl version 1.3");
    // Category mask 4 is "pads", the third category.
    EXPECT_EQ (page->getSaveCategoryChoice().getValue(), 0.03);

    auto& header = page->getTable().getHeader();
    EXPECT_EQ (header.getNumColumns (true), 7);
    EXPECT_EQ (header.getColumnIdOfIndex (2, true), 6);
    EXPECT_EQ (header.getColumnWidth (1), 195);
    EXPECT_FALSE (header.isColumnVisible (3));

    // The lookup fails: local mode, searching allowed, loading not.
    const double end = juce::Time::getMillisecondCounterHiRes() + 8000;
    while (c.mode == 0 && juce::Time::getMillisecondCounterHiRes() < end)
    {
        Snapshot shot (*page, "offline");
        juce::Thread::sleep (20);
    }
    EXPECT_EQ (c.mode, PresetsPageController::localOnly);
    EXPECT_EQ (page->connectedLabel->getText(), "working locally, server not reachable");
    {
        Snapshot shot (*page, "local-mode");
    }
    EXPECT_TRUE (page->searchButton->isEnabled());

    // The search box's filter takes word pairs out without complaint.
    page->searchEditor->setText ({});
    page->searchEditor->insertTextAtCaret ("drop");
    page->searchEditor->insertTextAtCaret (" table");
    EXPECT_EQ (page->searchEditor->getText(), " ");

    // Category choices: the search category reaches the page state.
    page->getSearchCategoryChoice().setValue (0.02);
    page->receiveEvent (MultiChoiceChanged, PresetsPage::kSearchCategoryId);
    EXPECT_EQ (c.searchCategoryMask, 2u);
    EXPECT_EQ ((int) processor->getPageState().getIntValue ("presetsPageSearchCategoryInt"), 2);
    page->getSaveCategoryChoice().setValue (0.05);
    page->receiveEvent (MultiChoiceChanged, PresetsPage::kSaveCategoryId);
    EXPECT_EQ (processor->getProgramCategoryMask(), 16u);

    // The category menus, as their builders make them; a picked item acts as a click.
    auto items = [] (const juce::PopupMenu& menu) {
        std::vector<std::pair<int, juce::String>> found;
        for (juce::PopupMenu::MenuItemIterator it (menu); it.next();)
            found.emplace_back (it.getItem().itemID, it.getItem().text);
        return found;
    };
    const auto search = items (page->getSearchCategoryChoice().buildMenu());
    const auto save = items (page->getSaveCategoryChoice().buildMenu());
    ASSERT_EQ (search.size(), 6u);
    ASSERT_EQ (save.size(), 6u);
    EXPECT_EQ (search[0], (std::pair<int, juce::String> { 1, "all categories" }));
    EXPECT_EQ (save[0], (std::pair<int, juce::String> { 1, "no category" }));
    EXPECT_EQ (search[4], (std::pair<int, juce::String> { 5, "drums" }));
    EXPECT_EQ (save[4], search[4]);
    MultiChoice::menuCallback (5, &page->getSearchCategoryChoice());
    pump();
    EXPECT_EQ (c.searchCategoryMask, 8u);
}

TEST_F (PresetsPageTest, TablePaintsRowsIconsAndTheVersionNotice)
{
    auto& c = page->getController();
    PresetsPageController::RowData a, b, both;
    a.record = row ("Alpha", "bob@example.org", "2024-05-01 10:11:12", 0, true);
    a.online = 1;
    b.record = row ("Beta", "ann", "", 3, false);
    b.local = 1;
    both.record = row ("Both", "ann@example.org", "2024-05-02 10:11:12", 16, true);
    both.online = both.local = 1;
    c.rows = { both, a, b };
    c.mode = PresetsPageController::online;
    page->getTable().updateContent();
    page->getTable().selectRow (0);
    EXPECT_TRUE (page->loadButton->isEnabled());
    EXPECT_TRUE (page->deleteButton->isEnabled());

    EXPECT_EQ (PresetsPageController::authorText (b.record), "ann");
    EXPECT_EQ (PresetsPageController::authorText (a.record), "bob");
    EXPECT_EQ (PresetsPageController::lastModifiedText (a.record), "2024-05-01 10:11");
    EXPECT_EQ (PresetsPageController::lastModifiedText (b.record), "-");
    EXPECT_EQ (PresetsPageController::categoryText (3), "bass, keys");
    EXPECT_EQ (PresetsPageController::categoryText (0), "-");

    PresetsPageController::latestVersionOnServer = 104;
    page->updateLatestVersion();
    EXPECT_EQ (page->versionNoticeLabel->getText(), "update available, you run 1.3 latest on server 1.4");
    PresetsPageController::latestVersionOnServer = 5;
    EXPECT_EQ (PresetsPageController::versionNotice (5), "");
    PresetsPageController::latestVersionOnServer = 103;

    Snapshot shot (*page, "table");
    ASSERT_EQ (shot.image.getWidth(), 829);
    ASSERT_EQ (shot.image.getHeight(), 740);
    auto* colors = page->getColors();
    auto& table = page->getTable();
    // A cell on the page, from the table's own position of it.
    auto cellRect = [&] (int r, int columnId) {
        return table.getCellPosition (columnId, r, true).translated (table.getX(), table.getY());
    };
    // Right of the last column only the row's background shows: colour 6
    // for the selected row, colour 0 for the others (both over the page's
    // colour 3); other rows' cells are colour 1.
    const int beyond = cellRect (0, 8).getRight() + 5;
    EXPECT_COLOUR_NEAR (shot.at (beyond, cellRect (0, 8).getCentreY()), (*colors)[3].overlaidWith ((*colors)[6]), 8);
    EXPECT_COLOUR_NEAR (shot.at (beyond, cellRect (1, 8).getCentreY()), (*colors)[3].overlaidWith ((*colors)[0]), 8);
    const auto otherName = cellRect (1, 1);
    EXPECT_COLOUR_NEAR (shot.at (otherName.getX() + 3, otherName.getY() + 3), (*colors)[1], 8);

    // Two icons in the selected row's "online" cell, one in each other row's.
    auto inkColumns = [&] (juce::Rectangle<int> cell, juce::Colour background) {
        int columns = 0, runs = 0;
        bool inRun = false;
        for (int x = cell.getX() + 1; x < cell.getRight() - 1; ++x)
        {
            bool ink = false;
            for (int y = cell.getY() + 1; y < cell.getBottom() - 1; ++y)
                ink = ink || ! near (shot.at (x, y), background, 24);
            columns += ink ? 1 : 0;
            runs += ink && ! inRun ? 1 : 0;
            inRun = ink;
        }
        return std::make_pair (columns, runs);
    };
    const auto selectedOnline = cellRect (0, 8);
    const auto icons = inkColumns (selectedOnline.reduced (2, 2), (*colors)[2]);
    EXPECT_GE (icons.second, 2);
    const auto alphaOnline = cellRect (1, 8);
    EXPECT_EQ (inkColumns (alphaOnline.reduced (2, 2), (*colors)[1]).second, 1);
}

TEST_F (PresetsPageTest, ClosingWithAWorkerRunningHandsItToTheProcessor)
{
    // The page's first worker (the lookup) may still run; either way the
    // editor closes at once and the processor ends clean.
    const double start = juce::Time::getMillisecondCounterHiRes();
    closeEditor (*processor, editor);
    EXPECT_LT (juce::Time::getMillisecondCounterHiRes() - start, 300.0);
    processor.reset();
}

TEST (PresetsPageWithServer, WhatTheServerSaysIsSeenRightAfterOpening)
{
    AssertionsFailTests assertionsFail;
    SettingsSandbox sandbox;
    serverrig::Rig rig;
    rig.addAccount ("ann@example.org", "ann's secret");
    PresetServerConnector::publishServer ("", "");
    PresetsPageController::latestVersionOnServer = 103;
    auto processor = std::make_unique<BrevonAudioProcessor>();
    auto& settings = processor->getPropertyProxy();
    pointSettingsAt (settings, rig.port());
    settings.setValue (settingsKeys::email, "ann@example.org");
    settings.setValue (settingsKeys::password, "ann's secret");

    BrevonAudioProcessorEditor* editor = nullptr;
    PresetsPage* page = nullptr;
    juce::Image frame (juce::Image::ARGB, 829, 740, true);
    double opened = 0;
    auto open = [&] {
        // The list goes out at once only when no earlier exchange is that recent.
        juce::Thread::sleep ((int) PresetsPageThread::msUntilNextSlot() + 1);
        page = openPresetsPage (*processor, editor);
        opened = juce::Time::getMillisecondCounterHiRes();
    };
    // Painted as the page's timer does, every 33 ms.
    auto paintFor = [&] (double untilMs, const std::function<bool()>& stop) {
        while (juce::Time::getMillisecondCounterHiRes() < untilMs)
        {
            juce::Graphics g (frame);
            page->paintEntireComponent (g, false);
            if (stop())
                return true;
            juce::Thread::sleep (33);
        }
        return false;
    };

    // An empty server's answer replaces the page's greeting.
    open();
    ASSERT_NE (page, nullptr);
    ASSERT_TRUE (paintFor (opened + 1000.0, [&] { return page->getStatus().getText() == "no presets found"; }))
        << "shows \"" << page->getStatus().getText() << "\" after a second";
    closeEditor (*processor, editor);

    settings.setValue (settingsKeys::password, "not it");
    open();
    ASSERT_NE (page, nullptr);
    auto& status = page->getStatus();
    const juce::String refusal = "wrong e-mail or password";
    ASSERT_TRUE (paintFor (opened + 1000.0, [&] { return status.getText() == refusal; }))
        << "shows \"" << status.getText() << "\" after a second";
    const double shown = juce::Time::getMillisecondCounterHiRes();
    EXPECT_TRUE (page->getController().rows.empty());

    // Held for three seconds from when it came, unfaded, whatever else is
    // said meanwhile.
    const double holdEnd = status.heldUntilMs;
    EXPECT_GE (holdEnd - shown, 3000.0 - 400.0);
    bool steady = true;
    paintFor (holdEnd, [&] {
        // Painting takes time too: only what was said inside the hold counts.
        if (juce::Time::getMillisecondCounterHiRes() > holdEnd - 5.0)
            return true;
        status.setShortTimeText ("preset list updated");
        status.setLongTimeText ("get presets");
        steady = steady && status.getText() == refusal && status.textLevel > 0.99;
        return ! steady;
    });
    EXPECT_TRUE (steady) << "\"" << status.getText() << "\" after "
                         << juce::Time::getMillisecondCounterHiRes() - shown << " ms";
    {
        Snapshot shot (*page, "refused-login");
    }
    // Then it gives way as any text does.
    status.setShortTimeText ("preset list updated");
    EXPECT_EQ (status.getText(), "preset list updated");
    closeEditor (*processor, editor);
}

namespace
{
// The masked glyphs of a box's snapshot, left to right: for each run of inked
// columns, whether the middle of its ink is inked too (a dot is, the hollow
// box of a missing glyph is not).
std::vector<bool> maskGlyphsFilled (const juce::Image& image, juce::Colour background)
{
    const juce::Rectangle<int> inner (4, 3, image.getWidth() - 8, image.getHeight() - 6);
    const auto ink = [&] (int x, int y) { return ! near (image.getPixelAt (x, y), background, 60); };
    std::vector<bool> filled;
    for (int x = inner.getX(); x < inner.getRight();)
    {
        int top = inner.getBottom(), bottom = -1, right = x;
        for (; right < inner.getRight(); ++right)
        {
            bool any = false;
            for (int y = inner.getY(); y < inner.getBottom(); ++y)
                if (ink (right, y))
                {
                    any = true;
                    top = std::min (top, y);
                    bottom = std::max (bottom, y);
                }
            if (! any)
                break;
        }
        if (right > x)
            filled.push_back (ink ((x + right - 1) / 2, (top + bottom) / 2));
        x = right + 1;
    }
    return filled;
}
} // namespace

TEST_F (PresetsPageTest, UnfocusedPasswordBoxDrawsItsMaskingCharacters)
{
    auto& box = *page->passwordBox;
    box.setText ("secret", false);
    ASSERT_FALSE (box.hasKeyboardFocus (true));
    const juce::juce_wchar mask = box.getPasswordCharacter();
    EXPECT_NE (mask, (juce::juce_wchar) 0) << "masked from the start";
    EXPECT_EQ (TalvoraLookAndFeel::maskCharacterFor (box.getFont()), mask);

    Snapshot shot (box, "password");
    EXPECT_EQ (box.getPasswordCharacter(), mask) << "a paint changed the mask";
    const juce::Colour background = box.findColour (juce::TextEditor::backgroundColourId);
    EXPECT_EQ (maskGlyphsFilled (shot.image, background), std::vector<bool> (6, true));

    // The probe tells the face's missing-glyph boxes apart: the usual round
    // mask, which the embedded face lacks, draws hollow ones that touch.
    juce::TextEditor missing ("passwordTextBox");
    missing.setFont (box.getFont());
    missing.setBounds (box.getLocalBounds());
    missing.setPasswordCharacter ((juce::juce_wchar) 0x25cf);
    missing.setText ("secret", false);
    Snapshot boxes (missing, "password-missing-glyph");
    EXPECT_NE (maskGlyphsFilled (boxes.image, background), std::vector<bool> (6, true));
}
