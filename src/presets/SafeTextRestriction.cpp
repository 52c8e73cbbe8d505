#include "presets/SafeTextRestriction.h"

namespace
{
struct WordPair
{
    const char* first;
    const char* second;
};

constexpr WordPair kCommandWords[] = { { "insert", "into" }, { "drop", "table" } };

// Removes both words of every pair present, until no pair is left: one
// pair's removal may not hide another, nor put a pair back together.
bool removeCommandWords (juce::String& text)
{
    bool removed = false;
    for (bool again = true; again;)
    {
        again = false;
        for (const auto& pair : kCommandWords)
            if (text.contains (pair.first) && text.contains (pair.second))
            {
                text = text.replace (pair.first, "").replace (pair.second, "");
                removed = again = true;
            }
    }
    return removed;
}
} // namespace

SafeTextRestriction::SafeTextRestriction (juce::String allowed, int maxLengthIn)
    : allowedCharacters (std::move (allowed)), maxLength (maxLengthIn)
{
}

juce::String SafeTextRestriction::filterNewText (juce::TextEditor& editor, const juce::String& newInput)
{
    juce::String text = allowedCharacters.isEmpty() ? newInput : newInput.retainCharacters (allowedCharacters);

    if (maxLength > 0)
    {
        const int room = maxLength - (editor.getTotalNumChars() - editor.getHighlightedRegion().getLength());
        text = room > 0 ? text.substring (0, room) : juce::String();
    }

    juce::String combined = editor.getText() + text;
    if (! removeCommandWords (combined))
        return text;

    // The selection is still part of the box's text here, so the cleaned
    // text can run past the limit.
    if (maxLength > 0)
        combined = combined.substring (0, maxLength);
    editor.setText (combined, true);
    return {};
}
