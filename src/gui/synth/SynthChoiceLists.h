#pragma once

// The synth page's choice fields and their items. A choice parameter stores
// item k as k / 100, so the order of each list is what stored values mean:
// never reorder or insert items.
//
// The field paints its field name; the popup menu lists the menu names, item
// k with menu id k + 1 (id 0 is a dismissed menu), and the value display shows
// the menu name too. Where both lists are the same, both point at one array.

#include <string>
#include <vector>

#include "gui/synth/SynthPageLayout.h"

namespace synthpage
{
struct ChoicePlace
{
    int index;
    int x, y;           // ignored when the field is placed from another control
    int width;
    const char* const* menuNames;
    const char* const* fieldNames;
    int itemCount;

    // -1, or the parameter whose control the field is placed from: at that
    // control's x + offsetX, y + offsetY.
    int placedFrom;
    int offsetX, offsetY;

    // The field's rectangle, with placedFrom resolved through the tables.
    Box bounds() const noexcept;

    // Item texts, or nullptr for an item outside the list.
    const char* menuName (int item) const noexcept;
    const char* fieldName (int item) const noexcept;

    std::vector<std::string> menuNameList() const;
    std::vector<std::string> fieldNameList() const;
};

// The fifteen fields in creation order.
Rows<ChoicePlace> choiceFields();

// The field of a parameter, or nullptr.
const ChoicePlace* choiceFieldFor (int index) noexcept;

} // namespace synthpage
