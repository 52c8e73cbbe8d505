// The filter of the presets page's text boxes, driven through a real (headless)
// text editor as typing and pasting reach it.

#include <JuceHeader.h>
#include <gtest/gtest.h>

#include <memory>

#include "presets/SafeTextRestriction.h"

namespace
{
std::unique_ptr<juce::TextEditor> box (int maxLength, juce::String allowed = OK_SEARCH_STRING_CHARS)
{
    auto editor = std::make_unique<juce::TextEditor>();
    editor->setInputFilter (new SafeTextRestriction (allowed, maxLength), true);
    return editor;
}

const juce::String accented = juce::CharPointer_UTF8 ("\xC3\xA9");
} // namespace

TEST (SafeTextRestriction, OnlyAllowedCharactersGetIn)
{
    auto search = box (safetext::kSearchLength);
    search->insertTextAtCaret (accented);
    search->insertTextAtCaret (";");
    EXPECT_EQ (search->getText(), "");
    search->insertTextAtCaret ("a;b" + accented + "<c>\"d'");
    EXPECT_EQ (search->getText(), "abcd");
    search->setText ({});
    search->insertTextAtCaret (OK_SEARCH_STRING_CHARS);
    EXPECT_EQ (search->getText(), OK_SEARCH_STRING_CHARS);

    auto unfiltered = box (0, {});
    unfiltered->insertTextAtCaret (accented + ";");
    EXPECT_EQ (unfiltered->getText(), accented + ";");
}

TEST (SafeTextRestriction, TextStaysWithinTheBoxLength)
{
    const juce::String thirty = "abcdefghijklmnopqrstuvwxyzABCD";
    auto name = box (safetext::kPresetNameLength);
    name->insertTextAtCaret (thirty);
    EXPECT_EQ (name->getText(), thirty.substring (0, 24));
    name->insertTextAtCaret ("x");
    EXPECT_EQ (name->getText().length(), 24);

    // Ten characters selected: a paste may replace them with ten.
    name->setHighlightedRegion ({ 4, 14 });
    name->insertTextAtCaret ("0123456789012345");
    EXPECT_EQ (name->getText(), "abcd0123456789opqrstuvwx");

    // Removing a word pair from the text that still holds a large selection
    // keeps the limit too.
    name->setText ("drop abcdefghijklmnopq");
    name->setHighlightedRegion ({ 2, 22 });
    name->insertTextAtCaret ("table ABCDEFGHIJKLMNOPQRSTU");
    EXPECT_LE (name->getText().length(), 24);

    auto unlimited = box (0);
    unlimited->insertTextAtCaret (thirty + thirty);
    EXPECT_EQ (unlimited->getText().length(), 60);
}

TEST (SafeTextRestriction, CommandWordPairsAreRemovedFromTheWholeText)
{
    auto search = box (safetext::kSearchLength);
    for (auto c : { "d", "r", "o", "p" })
        search->insertTextAtCaret (c);
    EXPECT_EQ (search->getText(), "drop");
    search->insertTextAtCaret (" table");
    EXPECT_EQ (search->getText(), " ");

    search->setText ("DROP");
    search->insertTextAtCaret (" TABLE");
    EXPECT_EQ (search->getText(), "DROP TABLE"); // case-sensitive

    search->setText ("insert");
    search->insertTextAtCaret (" x");
    EXPECT_EQ (search->getText(), "insert x");
    search->insertTextAtCaret (" into");
    EXPECT_EQ (search->getText(), " x ");

    // One pair does not shield the other, and removing a pair cannot leave one behind.
    search->setText ("insert drop");
    search->insertTextAtCaret (" table");
    EXPECT_EQ (search->getText(), "insert  ");
    search->setText ("tatableble dr");
    search->insertTextAtCaret ("dropop");
    EXPECT_EQ (search->getText(), " ");
}
