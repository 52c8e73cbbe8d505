// Ten thousand things a user does to the point editor, from the default curve
// and from random stored curves: drags, double clicks, every menu result,
// knob turns and state restores. After each the chain must be drawable and
// storable, and the block must read back as exactly what is shown.

#include "SplineEditorRig.h"

#include <random>

using namespace splineeditor;

namespace
{
// Every id either menu can return, plus a dismissal and an unknown one.
std::vector<int> allResults()
{
    std::vector<int> ids { 0, 1, 2, 3, 4, 300, 1000, 1001, 1002, 2000, 2001, 555 };
    for (int i = 11; i <= 19; ++i)
        ids.push_back (i);
    for (int i = 21; i <= 26; ++i)
        ids.push_back (i);
    for (int base : { 123, 223 })
        for (int i = 0; i < 20; ++i)
            if (i < 8 || i >= 10)
                ids.push_back (base + i);
    for (int i = 250; i <= 255; ++i)
        ids.push_back (i);
    return ids;
}

struct User
{
    Rig& rig;
    std::mt19937 rng;
    std::vector<juce::MemoryBlock> states;
    const std::vector<int> results = allResults();

    double uniform (double a, double b) { return std::uniform_real_distribution<double> (a, b) (rng); }
    int pick (int a, int b) { return std::uniform_int_distribution<int> (a, b) (rng); }

    Node* anyNode() { return rig.list().at (pick (0, rig.list().size() - 1)); }

    /** Mostly on a pair the node uses, sometimes anywhere (also outside). */
    juce::Point<double> target (Node* n)
    {
        if (pick (0, 3) == 0)
            return { uniform (-20.0, kW + 20.0), uniform (-20.0, kH + 20.0) };
        const int pair = pick (0, std::max (0, SplinePointList::pairsInUse (n->getType()) - 1));
        return { n->point.x[pair] + uniform (-3.0, 3.0), n->point.y[pair] + uniform (-3.0, 3.0) };
    }

    std::string apply()
    {
        auto* n = anyNode();
        const auto from = target (n);
        switch (pick (0, 7))
        {
            case 0:
            {
                // A drag of a few moves; sometimes far, sometimes outside.
                rig.press (from.x, from.y);
                for (int i = pick (1, 4); i > 0; --i)
                    rig.editor->mouseDrag (rig.at (from.x + uniform (-60.0, 60.0), from.y + uniform (-60.0, 60.0),
                                                   juce::ModifierKeys::leftButtonModifier));
                rig.editor->mouseUp (rig.at (from.x, from.y));
                return "drag";
            }
            case 1:
                rig.doubleClick (from.x, from.y);
                return "double click";
            case 2:
            case 3:
            {
                const int slot = pick (0, 2);
                const int result = results[(size_t) pick (0, (int) results.size() - 1)];
                rig.pick (n, slot, result);
                return "menu " + std::to_string (result) + " slot " + std::to_string (slot);
            }
            case 4:
            {
                // Range handle of a selected modulated pair, dragged.
                rig.press (from.x, from.y);
                const auto at = target (n);
                rig.editor->mouseDown (rig.at (at.x, at.y, juce::ModifierKeys::leftButtonModifier));
                rig.editor->mouseDrag (rig.at (at.x + uniform (-150.0, 150.0), at.y + uniform (-80.0, 80.0),
                                               juce::ModifierKeys::leftButtonModifier));
                rig.editor->mouseUp (rig.at (at.x, at.y));
                return "range drag";
            }
            case 5:
            {
                // The speed knob in hertz, turned, its timer fired, the menu closed.
                const int slot = pick (0, std::max (0, SplinePointList::pairsInUse (n->getType()) - 1));
                rig.pick (n, slot, 3);
                rig.pick (n, slot, 300);
                rig.menu = rig.editor->buildPointMenu (n, slot);
                for (int i = pick (1, 3); i > 0; --i)
                    rig.knob.setValue (uniform (0.0, 1.0), juce::sendNotificationSync);
                while (rig.editor->getUpdateParamsTimer().isTimerRunning())
                    rig.editor->getUpdateParamsTimer().timerCallback();
                rig.editor->makeMenuCallback() (0);
                return "knob";
            }
            case 6:
                restore (rig.processor, states[(size_t) pick (0, (int) states.size() - 1)]);
                return "restore";
            default:
                rig.editor->normalizePoints();
                return "normalize";
        }
    }
};

/** A random valid chain: the default curve, more points, some modulation. */
std::vector<SplineOscillatorPoint> randomChain (std::mt19937& rng)
{
    SplinePointList list (kW, kH, rng());
    std::uniform_int_distribution<int> count (0, 12), type (splineLinear, splineCubic), slot (0, 2), dir (0, 2);
    for (int i = count (rng); i > 0; --i)
        list.AddSplinePointAfterPoint (list.at (std::uniform_int_distribution<int> (0, list.size() - 2) (rng)),
                                       (SplinePointType) type (rng));
    for (auto* n = list.getFirst(); n != nullptr; n = n->getNext())
    {
        auto& s = n->point.slots[slot (rng)];
        s.direction = dir (rng);
        s.depth = std::uniform_real_distribution<double> (0.0, 0.3) (rng);
        s.source = std::uniform_int_distribution<int> (0, 8) (rng);
        s.speed = std::uniform_real_distribution<double> (0.0, 1.0) (rng);
    }
    list.sanityCheckAndFixPoints (list.getFirst());

    std::vector<SplineOscillatorPoint> chain;
    for (auto* n = list.getFirst(); n != nullptr; n = n->getNext())
        chain.push_back (n->point);
    return chain;
}
} // namespace

TEST (SplineOscillatorEditorProperty, TenThousandUserActionsKeepListAndBlockTheSame)
{
    for (const bool fromDefault : { true, false })
    {
        std::mt19937 rng (fromDefault ? 11u : 29u);
        Rig rig;
        if (! fromDefault)
            storeChain (rig.processor, randomChain (rng));
        rig.open (rng());

        User user { rig, std::mt19937 (rng()), {} };
        {
            BrevonAudioProcessor source;
            for (int i = 0; i < 8; ++i)
            {
                storeChain (source, randomChain (rng));
                juce::MemoryBlock state;
                source.getStateInformation (state);
                user.states.push_back (state);
            }
        }

        int largest = 0;
        for (int step = 0; step < 5000; ++step)
        {
            const auto what = user.apply();
            auto& list = rig.list();
            const auto stored = decoded (rig.processor);
            const std::string where = (fromDefault ? "default " : "random ") + std::to_string (step) + " " + what;
            ASSERT_TRUE (holdsInvariants (list)) << where;
            ASSERT_TRUE (sameChain (list, *stored, 1e-6)) << where;
            ASSERT_TRUE (blockInRange (std::vector<double> (rig.processor.getParameterValues(),
                                                            rig.processor.getParameterValues() + params::kNumValues)))
                << where;
            largest = std::max (largest, list.size());
        }

        // The walk must have done something: edits written, the list grown.
        EXPECT_GT (rig.editor->getWriteCount(), 1000);
        EXPECT_GE (largest, 10);
    }
}
