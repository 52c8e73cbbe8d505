// The synth page's placement tables, checked as a whole: what controls exist,
// that nothing overlaps within a view, and the choice vocabularies.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "gui/synth/SynthChoiceLists.h"
#include "gui/synth/SynthPageLayout.h"

using namespace synthpage;

namespace
{
struct Placed
{
    int index;
    const char* kind;
    Box bounds;
    bool hidden = false;
};

std::vector<Placed> everyControl()
{
    std::vector<Placed> all;
    for (const auto& k : knobs())
        all.push_back ({ k.index, "knob", k.bounds(), k.hidden });
    for (const auto& s : sliders())
        all.push_back ({ s.index, "slider", s.bounds() });
    for (const auto& c : curves())
        all.push_back ({ c.index, "curve", c.bounds() });
    for (const auto& f : choiceFields())
        all.push_back ({ f.index, "choice", f.bounds() });
    return all;
}

// Positions a control of this many steps can take: the place operation
// snaps to an interval of 1 / (steps - 1) formed in single precision.
int positionsOf (int steps)
{
    const double interval = steps == 0 ? 0.001 : (double) (1.0f / (float) (steps - 1));
    std::set<double> seen;
    for (int i = 0; i <= 20000; ++i)
    {
        const double v = i / 20000.0;
        seen.insert (std::clamp (std::round (v / interval) * interval, 0.0, 1.0));
    }
    return (int) seen.size();
}
} // namespace

TEST (SynthPageLayout, ControlCountsPerKind)
{
    EXPECT_EQ (knobs().size(), 52u);
    EXPECT_EQ (sliders().size(), 12u);
    EXPECT_EQ (curves().size(), 8u);
    EXPECT_EQ (choiceFields().size(), 15u);

    int shown = 0, labelled = 0;
    std::set<int> hidden;
    for (const auto& k : knobs())
    {
        if (k.hidden)
            hidden.insert (k.index);
        else
            ++shown;
        labelled += std::string (k.text).empty() ? 0 : 1;
    }
    EXPECT_EQ (shown, 50);
    EXPECT_EQ (labelled, 48);
    // Lent to the spline editor's point menu and to the settings menu.
    EXPECT_EQ (hidden, (std::set<int> { 87, 772 }));

    for (const auto& c : curves())
        EXPECT_EQ (c.bounds(), (Box { c.x, 213, 50, 40 })) << c.index;
}

TEST (SynthPageLayout, EveryEditableParameterHasExactlyOneControl)
{
    std::map<int, std::string> owner;
    for (const auto& p : everyControl())
    {
        const auto [it, fresh] = owner.emplace (p.index, p.kind);
        EXPECT_TRUE (fresh) << "index " << p.index << " is both a " << it->second << " and a " << p.kind;
        EXPECT_TRUE (p.index >= 0 && p.index < 1770) << p.index;
    }

    // Nothing to edit by hand: the unused LFO slot, the capture flag, the
    // point block, the unused and version values. The grid comes later.
    std::set<int> noControl { 55, 60, 65, 66, 88, 89, 770, 771 };
    for (int i = 90; i <= 569; ++i)
        noControl.insert (i);

    std::set<int> expected { 772, 773, 774 };
    for (int i = 0; i < 90; ++i)
        if (noControl.count (i) == 0)
            expected.insert (i);

    std::set<int> indexed;
    for (const auto& [index, kind] : owner)
        indexed.insert (index);
    EXPECT_EQ (indexed, expected);
    for (int i : noControl)
        EXPECT_EQ (controlKindOf (i), ControlKind::none) << i;
}

TEST (SynthPageLayout, EachViewIsFreeOfOverlapsAndInsideThePage)
{
    const Box page { 0, 0, 829, 740 };

    for (bool osc4View : { false, true })
    {
        std::vector<Placed> shown;
        for (const auto& p : everyControl())
            if (! p.hidden && isShownIn (viewOfParameter (p.index), osc4View))
                shown.push_back (p);

        EXPECT_EQ ((int) shown.size(), osc4View ? 63 : 82);

        for (size_t a = 0; a < shown.size(); ++a)
        {
            const Box& b = shown[a].bounds;
            EXPECT_TRUE (b.x >= 0 && b.y >= 0 && b.right() <= page.width && b.bottom() <= page.height)
                << shown[a].kind << " " << shown[a].index;
            for (size_t c = a + 1; c < shown.size(); ++c)
                EXPECT_FALSE (b.intersects (shown[c].bounds))
                    << shown[a].kind << " " << shown[a].index << " overlaps " << shown[c].kind << " "
                    << shown[c].index << (osc4View ? " in the osc-4 view" : " in the osc 1-3 view");
        }
    }

    for (const auto& child : children())
    {
        const Box& b = child.bounds;
        EXPECT_TRUE (b.x >= 0 && b.y >= 0 && b.right() <= page.width && b.bottom() <= page.height) << child.text;
    }
}

TEST (SynthPageLayout, ViewTableNamesOnlyExistingControlsAndTheTwoSwitchedChildren)
{
    for (const auto& row : viewMembers())
    {
        EXPECT_NE (row.view, View::both);
        if (row.child != Child::none)
            continue;
        ASSERT_LE (row.firstIndex, row.lastIndex);
        for (int i = row.firstIndex; i <= row.lastIndex; ++i)
            EXPECT_NE (controlKindOf (i), ControlKind::none) << "view row names " << i << ", which has no control";
    }

    // The capture button belongs to oscillator 3; the point editor is oscillator 4.
    EXPECT_EQ (viewOfChild (Child::captureButton), View::osc1to3);
    EXPECT_EQ (viewOfChild (Child::splineEditor), View::osc4);
    for (Child c : { Child::presetsButton, Child::viewButton, Child::oscilloscope, Child::valueDisplay, Child::logo })
        EXPECT_EQ (viewOfChild (c), View::both);
}

TEST (SynthPageLayout, StepsAndCentringOfTheSteppedControls)
{
    auto knob = [] (int index) {
        for (const auto& k : knobs())
            if (k.index == index)
                return k;
        ADD_FAILURE() << "no knob " << index;
        return knobs()[0];
    };

    EXPECT_EQ (positionsOf (knob (15).steps), 10);
    EXPECT_EQ (positionsOf (knob (21).steps), 10);
    for (int coarse : { 25, 81 })
    {
        EXPECT_EQ (positionsOf (knob (coarse).steps), 49) << coarse;
        EXPECT_TRUE (knob (coarse).centred) << coarse;
    }

    for (const auto& s : sliders())
    {
        if (s.index == 63)
            EXPECT_TRUE (positionsOf (s.steps) == 5 && s.bipolar);
        else
            EXPECT_EQ (s.steps, 0) << s.index;
    }
}

TEST (SynthPageLayout, ChoiceFieldsInCreationOrder)
{
    const int expectedCounts[] = { 3, 4, 5, 5, 6, 6, 2, 2, 2, 2, 6, 2, 3, 24, 2 };
    ASSERT_EQ (choiceFields().size(), std::size (expectedCounts));
    for (size_t i = 0; i < choiceFields().size(); ++i)
    {
        const auto& f = choiceFields()[i];
        EXPECT_EQ (f.itemCount, expectedCounts[i]) << "field " << i << " (index " << f.index << ")";
        EXPECT_EQ (f.menuNameList().size(), (size_t) f.itemCount);
        EXPECT_EQ (f.fieldNameList().size(), (size_t) f.itemCount);

        // One name per meaning: a repeated menu name would show two stored values alike.
        const auto menu = f.menuNameList();
        EXPECT_EQ (std::set<std::string> (menu.begin(), menu.end()).size(), menu.size()) << f.index;
        for (int k = 0; k < f.itemCount; ++k)
            EXPECT_FALSE (std::string (f.fieldName (k)).empty()) << f.index << " item " << k;
        EXPECT_EQ (f.menuName (-1), nullptr);
        EXPECT_EQ (f.menuName (f.itemCount), nullptr);
    }

    // Pitch-bend range: item k is k + 1 semitones.
    const auto* bend = choiceFieldFor (71);
    ASSERT_NE (bend, nullptr);
    EXPECT_STREQ (bend->menuName (11), "12");
    for (int k = 0; k < bend->itemCount; ++k)
        EXPECT_EQ (std::string (bend->menuName (k)), std::to_string (k + 1));

    // The capture button selects oscillator 3's item 4; the LFOs offer the same wave as item 5.
    EXPECT_STREQ (choiceFieldFor (61)->menuName (4), "OH SNAP!");
    EXPECT_STREQ (choiceFieldFor (70)->menuName (5), "OH SNAP!");
    EXPECT_STREQ (choiceFieldFor (58)->menuName (5), "OH SNAP!");
}

TEST (SynthPageLayout, ChoiceFieldsWhereTheirSectionsPutThem)
{
    // Saturation type hangs under the saturation drive knob.
    EXPECT_EQ (choiceFieldFor (83)->bounds(), (Box { 725, 507, 45, 10 }));

    // LFO 1 in the left column, LFO 2 in the right; rows shape, mode, sync.
    const int lfo1[] = { 70, 57, 56 };
    const int lfo2[] = { 58, 52, 54 };
    const int rowY[] = { 507, 522, 537 };
    for (int r = 0; r < 3; ++r)
    {
        EXPECT_EQ (choiceFieldFor (lfo1[r])->bounds().x, 37);
        EXPECT_EQ (choiceFieldFor (lfo2[r])->bounds().x, 135);
        EXPECT_EQ (choiceFieldFor (lfo1[r])->bounds().y, rowY[r]);
        EXPECT_EQ (choiceFieldFor (lfo2[r])->bounds().y, rowY[r]);
    }
}
