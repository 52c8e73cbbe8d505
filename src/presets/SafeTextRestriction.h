#pragma once

// Input filter of the presets page's name, comments and search boxes: only a
// fixed set of characters, a length limit, and no pair of words that reads
// like a database command ("insert" with "into", "drop" with "table",
// case-sensitive), so that texts sent to the preset server carry neither.

#include <JuceHeader.h>

// What the filtered boxes accept: letters, digits, space, ",.-_/&#!()" and "@".
constexpr char OK_SEARCH_STRING_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ ,.-_/&#!()1234567890@";
static_assert (sizeof (OK_SEARCH_STRING_CHARS) == 74 + 1, "74 search characters");

namespace safetext
{
constexpr int kPresetNameLength = 24;
constexpr int kCommentsLength = 255;
constexpr int kSearchLength = 256;
} // namespace safetext

class SafeTextRestriction : public juce::TextEditor::InputFilter
{
public:
    // allowedCharacters empty: any character; maxLength 0 or less: no limit.
    SafeTextRestriction (juce::String allowedCharacters, int maxLength);

    // Returns what the box inserts in place of newInput: the allowed
    // characters, as many as the box has room for. When the box's text with
    // that input holds a word pair, the box is given that text without the
    // pair's words (listeners notified) and nothing is inserted.
    juce::String filterNewText (juce::TextEditor& editor, const juce::String& newInput) override;

private:
    juce::String allowedCharacters;
    int maxLength;
};
