#include "gui/synth/SplineOscillatorEditor.h"

#include "core/EventAggregator.h"
#include "core/PluginProcessor.h"
#include "gui/ColorSet.h"
#include "gui/ParameterShower.h"
#include "gui/TalvoraLookAndFeel.h"

#include <cmath>

namespace
{
using Node = SplinePointList::Node;

constexpr juce::uint32 kHandle = 0x80C8C8C8;
constexpr juce::uint32 kHandleHovered = 0xFFC8FFC8;
constexpr double kMinVerticalDepth = 0.05;
constexpr double kNewDepth = 0.2;

// Speeds of the note- and beat-relative items, by id - 123 (0-7) and id - 133 (10-19).
double menuSpeed (int offset) noexcept
{
    switch (offset)
    {
        case 0: return 1.0 / 2.0;
        case 1: return 1.0 / 4.0;
        case 2: return 1.0 / 8.0;
        case 3: return 1.0 / 16.0;
        case 4: return 1.0 / 32.0;
        case 5: return 1.0 / 64.0;
        case 6: return 1.0 / 128.0;
        case 7: return 1.0 / 256.0;
        case 10: return 1.0 / 3.0;
        case 11: return 2.0 / 3.0;
        case 12: return 3.0 / 4.0;
        case 13: return 3.0 / 8.0;
        case 14: return 3.0 / 16.0;
        case 15: return 3.0 / 32.0;
        case 16: return 3.0 / 64.0;
        case 17: return 3.0 / 128.0;
        case 18: return 3.0 / 256.0;
        case 19: return 3.0 / 512.0;
        default: return -1.0;
    }
}

const char* const speedTexts[] = { "1/2", "1/4", "1/8", "1/16", "1/32", "1/64", "1/128", "1/256", nullptr, nullptr,
                                   "1/3", "2/3", "3/4", "3/8", "3/16", "3/32", "3/64", "3/128", "3/256", "3/512" };

// Whole beats of items 250-255.
constexpr double beatMultiples[] = { 1.0, 2.0, 3.0, 4.0, 6.0, 8.0 };
const char* const beatTexts[] = { "1/1", "2/1", "3/1", "4/1", "6/1", "8/1" };

const char* const shapeItems[] = { "sine", "triangle", "saw", "reverse saw", "square", "this oscillator shape",
                                   "oh snap! shape", "random sample and hold", "random sample and glide" };
const char* const sourceItems[] = { "LFO 1", "LFO 2", "amp env.", "filter env.", "amp env. inv.", "filter env. inv." };

const char* const shapeNames[] = { "sine", "triangle", "saw", "rev. saw", "square", "osc 4", "oh snap",
                                   "random sample and hold", "random sample and glide" };
const char* const sourceNames[] = { "lfo 1", "lfo 2", "amp envelope", "filter envelope", "amp envelope\ninversed",
                                    "filter envelope\ninversed" };

bool isOwnShape (int source) noexcept
{
    return source == osc4mod::ownShapeNote || source == osc4mod::ownShapeBeat || source == osc4mod::ownShapeHz;
}

juce::Point<double> pairOf (const Node* n, int pair)
{
    return { n->point.x[pair], n->point.y[pair] };
}

bool within (juce::Point<float> mouse, juce::Point<double> p, double reach)
{
    return std::abs (mouse.x - p.x) <= reach && std::abs (mouse.y - p.y) <= reach;
}

uint64_t freshSeed()
{
    return (uint64_t) juce::Random::getSystemRandom().nextInt64() | 1u;
}
} // namespace

//==============================================================================
SplineOscillatorEditor::SplineOscillatorEditor (ColorSet* c, ParameterValue* values, EventAggregator* b, ParameterShower* s,
                                                juce::Slider* knob, BrevonAudioProcessor* p)
    : juce::Component ("osc4"),
      colors (c),
      parameterValues (values),
      bus (b),
      shower (s),
      speedKnob (knob),
      processor (p),
      seed (freshSeed()),
      updateParamsTimer ([this] (bool last) { writePoints (last); })
{
    setSize (kDefaultWidth, kDefaultHeight);
    restoreWatch.startTimer (50);
}

SplineOscillatorEditor::~SplineOscillatorEditor()
{
    restoreWatch.stopTimer();
    pointInfoTimer.stopTimer();
    updateParamsTimer.cancel();
    if (speedKnob != nullptr)
        speedKnob->removeListener (this);
}

void SplineOscillatorEditor::setRandomSeed (uint64_t s) noexcept
{
    seed = s;
    if (list != nullptr)
        list->setSeed (s);
}

//==============================================================================
SplinePointList& SplineOscillatorEditor::getList()
{
    prepare();
    return *list;
}

void SplineOscillatorEditor::prepare()
{
    if (list == nullptr)
    {
        buildList();
        return;
    }
    if (processor != nullptr && processor->getStateRestoreCount() != seenRestores)
        rebuildFromBlock();
}

bool SplineOscillatorEditor::readListFromBlock()
{
    bool read = false;
    {
        const juce::ScopedLock sl (lock());
        if (processor != nullptr)
            seenRestores = processor->getStateRestoreCount();
        readBlock();
        read = parameterValues != nullptr && list->updateValuesFromParams (scratch.data());
    }
    if (read)
        for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
            list->makeSureModulationWithinLimits (n);
    return read;
}

void SplineOscillatorEditor::buildList()
{
    const double w = getWidth() > 0 ? getWidth() : kDefaultWidth;
    const double h = getHeight() > 0 ? getHeight() : kDefaultHeight;
    list = std::make_unique<SplinePointList> (w, h, seed);

    if (! readListFromBlock())
    {
        // Unusable (fresh program, values out of range): the default curve, stored at once.
        writePoints (true);
    }
}

void SplineOscillatorEditor::rebuildFromBlock()
{
    // The nodes the timers and the menu refer to are about to go.
    pointInfoTimer.stopTimer();
    infoPointId = 0;
    updateParamsTimer.cancel();
    menuContext.pointId = 0;
    hostNotifyPending = false;

    if (! readListFromBlock())
    {
        list->buildDefaultCurve();
        writePoints (true);
    }
    repaint();
}

void SplineOscillatorEditor::readBlock() noexcept
{
    if (parameterValues == nullptr)
        return;
    for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
        scratch[(size_t) i] = parameterValues[i].get();
}

bool SplineOscillatorEditor::writePoints (bool notify)
{
    if (list == nullptr || parameterValues == nullptr)
        return false;

    bool whole = false;
    bool restored = false;
    {
        const juce::ScopedLock sl (lock());
        // A restore that slipped in since the last look wins over this edit.
        restored = processor != nullptr && processor->getStateRestoreCount() != seenRestores;
        if (! restored)
        {
            // Fields the list does not write (reserved, points after the chain) keep their values.
            readBlock();
            whole = list->updateParamsValues (scratch.data());
            if (whole)
                for (int i = params::kOsc4PointsFirst; i <= params::kOsc4PointsLast; ++i)
                    if (parameterValues[i].get() != scratch[(size_t) i])
                        parameterValues[i].set (scratch[(size_t) i]);
        }
    }

    if (restored)
    {
        rebuildFromBlock();
        return false;
    }

    if (whole)
    {
        ++writeCount;
        if (bus != nullptr)
            bus->sendEvent (Osc4PointsChanged, 0);
        if (processor != nullptr)
            processor->markOsc4PointsChanged();
        hostNotifyPending = true;
        if (notify)
            notifyHost();
    }
    repaint();
    return whole;
}

void SplineOscillatorEditor::notifyHost()
{
    if (! hostNotifyPending)
        return;
    hostNotifyPending = false;
    if (processor != nullptr)
        processor->updateHostDisplay (juce::AudioProcessor::ChangeDetails().withNonParameterStateChanged (true));
}

//==============================================================================
const juce::CriticalSection& SplineOscillatorEditor::lock() const noexcept
{
    return processor != nullptr ? processor->getCallbackLock() : ownLock;
}

double SplineOscillatorEditor::halfRange (const Node* n, int slot) const noexcept
{
    const auto& s = n->point.slots[slot];
    return SplinePointList::isHorizontal (s) ? list->getWidth() * s.depth / 2.0 : 0.0;
}

bool SplineOscillatorEditor::isModulated (const Node* n) const noexcept
{
    const int pairs = SplinePointList::pairsInUse (n->point.type);
    for (int s = 0; s < pairs; ++s)
        if (n->point.slots[s].direction != osc4mod::off)
            return true;
    return false;
}

//==============================================================================
void SplineOscillatorEditor::paint (juce::Graphics& g)
{
    prepare();
    // The page's colours until the shared look-and-feel is in force, then its scheme.
    if (auto* laf = TalvoraLookAndFeel::findFor (*this))
        colors = &laf->colors;
    if (normalizing || colors == nullptr || list == nullptr)
        return;

    const auto& c = *colors;
    const float w = (float) getWidth(), h = (float) getHeight();
    const double lw = list->getWidth(), lh = list->getHeight();

    g.fillAll (juce::Colour (mouseInside ? 0x08FFFFFFu : 0x08000000u));
    if (mouseInside)
    {
        g.setColour (c[6]);
        g.drawRect (juce::Rectangle<float> (0.5f, 0.5f, w - 1.0f, h - 1.0f), 0.7f);
    }

    // Modulation ranges under everything else.
    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        const int pairs = SplinePointList::pairsInUse (n->point.type);
        for (int s = 0; s < pairs; ++s)
        {
            const auto& slot = n->point.slots[s];
            const float x = (float) n->point.x[s], y = (float) n->point.y[s];
            juce::Rectangle<float> bar;
            if (SplinePointList::isHorizontal (slot))
                bar = { x - (float) (slot.depth * lw / 2.0), y - 5.0f, (float) (slot.depth * lw), 10.0f };
            else if (SplinePointList::isVertical (slot))
                bar = { x - 5.0f, y - (float) (slot.depth * lh / 2.0), 10.0f, (float) (slot.depth * lh) };
            else
                continue;

            g.setColour (n->selected[s] ? c[2] : c[1]);
            g.fillRoundedRectangle (bar, 3.0f);
            g.setColour (n->selected[s] ? c[0] : c[8]);
            g.drawRoundedRectangle (bar, 3.0f, 0.5f);
        }
    }

    // The curve.
    juce::Path curve;
    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        const auto& p = n->point;
        const float x = (float) p.x[0], y = (float) p.y[0];
        if (n == list->getFirst())
            curve.startNewSubPath (x, y);
        else if (p.type == splineQuadratic)
            curve.quadraticTo ((float) p.x[1], (float) p.y[1], x, y);
        else if (p.type == splineCubic)
            curve.cubicTo ((float) p.x[1], (float) p.y[1], (float) p.x[2], (float) p.y[2], x, y);
        else
            curve.lineTo (x, y);
    }
    g.setColour (c[0]);
    g.strokePath (curve, juce::PathStrokeType (1.0f));

    // Control polygons and handles.
    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        const auto& p = n->point;
        const int pairs = SplinePointList::pairsInUse (p.type);
        if (pairs >= 2 && n->getPrevious() != nullptr)
        {
            juce::Path polygon;
            const auto& q = n->getPrevious()->point;
            polygon.startNewSubPath ((float) q.x[0], (float) q.y[0]);
            for (int pair = 1; pair < pairs; ++pair)
                polygon.lineTo ((float) p.x[pair], (float) p.y[pair]);
            polygon.lineTo ((float) p.x[0], (float) p.y[0]);
            g.setColour (juce::Colour (kHandle));
            g.strokePath (polygon, juce::PathStrokeType (0.5f));

            for (int pair = 1; pair < pairs; ++pair)
            {
                g.setColour (juce::Colour (n->hover[pair] ? kHandleHovered : kHandle));
                g.fillEllipse ((float) p.x[pair] - 4.0f, (float) p.y[pair] - 4.0f, 8.0f, 8.0f);
            }
        }

        g.setColour (juce::Colour (n->hover[0] ? kHandleHovered : kHandle));
        g.fillEllipse ((float) p.x[0] - 5.0f, (float) p.y[0] - 5.0f, 10.0f, 10.0f);
    }
}

//==============================================================================
SplinePointList::Node* SplineOscillatorEditor::updateStates (const juce::MouseEvent& e)
{
    return updateStates (e.position);
}

SplinePointList::Node* SplineOscillatorEditor::updateStates (juce::Point<float> mouse)
{
    prepare();
    Node* hovered = nullptr;
    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        const int type = n->point.type;
        const bool quadOrCubic = type == splineQuadratic || type == splineCubic;
        // Once one point is hovered, none after it is: a stale flag would be dragged.
        n->hover[0] = hovered == nullptr && within (mouse, pairOf (n, 0), 5.0);
        n->hover[1] = hovered == nullptr && quadOrCubic && within (mouse, pairOf (n, 1), 4.0);
        n->hover[2] = hovered == nullptr && type == splineCubic && within (mouse, pairOf (n, 2), 4.0);
        if (hovered == nullptr && (n->hover[0] || n->hover[1] || n->hover[2]))
            hovered = n;
    }
    repaint();
    return hovered;
}

void SplineOscillatorEditor::mouseMove (const juce::MouseEvent& e)
{
    mouseInside = true;
    auto* hovered = updateStates (e);
    repaint();
    if (hovered != nullptr && isModulated (hovered))
    {
        infoPointId = hovered->getId();
        pointInfoTimer.startTimer (500);
    }
}

void SplineOscillatorEditor::mouseEnter (const juce::MouseEvent& e)
{
    mouseInside = true;
    updateStates (e);
    repaint();
}

void SplineOscillatorEditor::mouseExit (const juce::MouseEvent&)
{
    prepare();
    mouseInside = false;
    list->clearHover();
    repaint();
}

void SplineOscillatorEditor::mouseUp (const juce::MouseEvent& e)
{
    updateStates (e);
    list->clearHandleDrag();
    mouseInside = true;
    // A drag writes on every move; the host hears of it once, here.
    notifyHost();
    repaint();
}

void SplineOscillatorEditor::mouseDown (const juce::MouseEvent& e)
{
    prepare();
    mouseInside = true;
    if (list->anyHandleDrag())
        return;

    const auto mouse = e.position;
    const bool menuClick = e.mods.isPopupMenu();
    const double lw = list->getWidth(), lh = list->getHeight();

    // Range handles of the selected pair: hit area twice the bar's length.
    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        const int pairs = SplinePointList::pairsInUse (n->point.type);
        for (int s = 0; s < pairs; ++s)
        {
            const auto& slot = n->point.slots[s];
            if (! n->selected[s] || slot.direction == osc4mod::off)
                continue;
            const double dx = std::abs (mouse.x - n->point.x[s]);
            const double dy = std::abs (mouse.y - n->point.y[s]);
            const bool hit = SplinePointList::isHorizontal (slot) ? (dx <= slot.depth * lw && dy <= 5.0)
                                                                  : (dx <= 5.0 && dy <= slot.depth * lh);
            if (! hit)
                continue;
            n->handleDrag[s] = true;
            if (menuClick)
                showPointPopupMenu (n, s);
            repaint();
            return;
        }
    }

    auto* hovered = updateStates (e);
    list->clearSelected();
    if (hovered != nullptr)
    {
        for (int pair = 0; pair < 3; ++pair)
            if (hovered->hover[pair])
            {
                hovered->selected[pair] = true;
                break;
            }
        if (menuClick)
            showPointPopupMenu (hovered);
    }
    else
    {
        list->clearHandleDrag();
        if (menuClick)
            showBackgroundMenu();
    }
    repaint();
}

void SplineOscillatorEditor::mouseDrag (const juce::MouseEvent& e)
{
    prepare();
    pointInfoTimer.stopTimer();

    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
        for (int pair = 0; pair < 3; ++pair)
            if (n->hover[pair])
            {
                dragPoint (n, pair, e.position);
                return;
            }

    dragRangeHandles (e.position);
}

void SplineOscillatorEditor::dragRangeHandles (juce::Point<float> mouse)
{
    const double lw = list->getWidth(), lh = list->getHeight();
    bool any = false;

    for (auto* n = list->getFirst(); n != nullptr; n = n->getNext())
    {
        int s = 0;
        while (s < 3 && ! n->handleDrag[s])
            ++s;
        if (s == 3)
            continue;

        any = true;
        auto& slot = n->point.slots[s];
        const double x = n->point.x[s], y = n->point.y[s];
        if (SplinePointList::isHorizontal (slot))
        {
            const double depth = 2.0 * std::abs (mouse.x - x) / lw;
            double low = 0.0, high = lw;
            list->getHorizontalModulationLimits (n, s, &low, &high);
            if (x - depth * lw / 2.0 >= low && x + depth * lw / 2.0 <= high)
                slot.depth = depth;
        }
        else if (SplinePointList::isVertical (slot))
        {
            const double depth = 2.0 * std::abs (mouse.y - y) / lh;
            if (y - depth * lh / 2.0 >= 0.0 && y + depth * lh / 2.0 <= lh)
                slot.depth = std::max (depth, kMinVerticalDepth);
            else if (slot.depth < kMinVerticalDepth)
                slot.depth = kMinVerticalDepth;
        }
        repaint();
    }

    if (any)
    {
        list->sanityCheckAndFixPoints (list->getFirst());
        writePoints (false);
    }
}

void SplineOscillatorEditor::dragPoint (Node* n, int pair, juce::Point<float> mouse)
{
    list->clearHandleDrag();
    auto& p = n->point;
    const double lw = list->getWidth(), lh = list->getHeight();
    const double mx = mouse.x, my = mouse.y;
    const bool yInside = my >= 0.0 && my <= lh;

    if (pair == 0)
    {
        bool moved = false;
        if (my >= 0.0)
            moved |= list->setY (n, my);
        moved |= list->setX (n, mx);
        if (moved)
            list->sanityCheckAndFixPoints (n);
    }
    else if (pair == 1)
    {
        const double r0 = halfRange (n, 0), r1 = halfRange (n, 1), r2 = halfRange (n, 2);
        const auto* prev = n->getPrevious();
        const double prevRight = prev != nullptr ? prev->point.x[0] + halfRange (prev, 0) : 0.0;
        bool fits = mx - r1 >= 0.0 && mx + r1 <= lw && mx + r1 <= p.x[0] - r0 && mx - r1 >= prevRight;
        if (p.type == splineCubic)
            fits = fits && mx + r1 <= p.x[2] - r2;
        if (fits)
            p.x[1] = mx;
        if (yInside)
            p.y[1] = my;
        if (fits || yInside)
            list->sanityCheckAndFixPoints (n);
    }
    else
    {
        const double r0 = halfRange (n, 0), r1 = halfRange (n, 1), r2 = halfRange (n, 2);
        const bool fits = mx - r2 >= p.x[1] + r1 && mx - r2 >= 0.0 && mx + r2 <= lw && mx + r2 <= p.x[0] - r0;
        if (fits)
            p.x[2] = mx;
        if (yInside)
            p.y[2] = my;
        if (fits || yInside)
            list->sanityCheckAndFixPoints (n);
    }

    repaint();
    list->sanityCheckAndFixPoints (list->getFirst());
    writePoints (false);
}

//==============================================================================
int SplineOscillatorEditor::doubleClickPairAt (const Node* n, juce::Point<float> mouse) const
{
    const int type = n->point.type;
    const bool quadOrCubic = type == splineQuadratic || type == splineCubic;
    if (quadOrCubic && within (mouse, pairOf (n, 1), 4.0))
        return 1;
    if (within (mouse, pairOf (n, 0), 5.0))
        return 0;
    if (type == splineCubic && within (mouse, pairOf (n, 2), 4.0))
        return 2;
    return -1;
}

void SplineOscillatorEditor::mouseDoubleClick (const juce::MouseEvent& e)
{
    prepare();
    const auto mouse = e.position;

    Node* target = nullptr;
    int pair = -1;
    for (auto* n = list->getFirst(); n != nullptr && target == nullptr; n = n->getNext())
        if ((pair = doubleClickPairAt (n, mouse)) >= 0)
            target = n;

    const bool changed = target != nullptr ? doubleClickPair (target, pair) : doubleClickBackground (mouse);
    if (changed)
    {
        // Whatever the nodes of a pending description were, they may be gone.
        pointInfoTimer.stopTimer();
        list->sanityCheckAndFixPoints (list->getFirst());
        writePoints (true);
    }

    repaint();
    list->clearSelected();
}

bool SplineOscillatorEditor::doubleClickPair (Node* n, int pair)
{
    auto& p = n->point;
    const auto type = p.type;

    if (pair == 0)
    {
        if (n == list->getLast())
            return false;
        return list->deletePoint (n, 0) != SplinePointList::DeleteResult::nothing;
    }

    Node* prev = n->getPrevious();
    if (prev == nullptr || list->isFull())
        return false; // every remaining edit inserts a point: refused whole when there is no room

    if (type == splineQuadratic || (type == splineCubic && pair == 1))
    {
        const double cx = p.x[pair], cy = p.y[pair];
        // A quadratic point becomes linear, a cubic one quadratic.
        if (list->deletePoint (n, pair) == SplinePointList::DeleteResult::nothing)
            return false;
        SplineOscillatorPoint inserted;
        inserted.type = splineLinear;
        for (int k = 0; k < 3; ++k)
        {
            inserted.x[k] = cx;
            inserted.y[k] = cy;
        }
        list->insertPointAfter (prev, inserted);
        return true;
    }

    if (type == splineCubic && pair == 2)
    {
        if (n == list->getLast())
            return false;
        const double ox = p.x[0], oy = p.y[0];
        if (list->deletePoint (n, 0) == SplinePointList::DeleteResult::nothing)
            return false;
        SplineOscillatorPoint inserted;
        inserted.type = splineLinear;
        for (int k = 0; k < 3; ++k)
        {
            inserted.x[k] = ox;
            inserted.y[k] = oy;
        }
        if (auto* added = list->insertPointAfter (n, inserted))
        {
            list->setX (added, ox);
            list->setY (added, oy);
        }
        return true;
    }
    return false;
}

bool SplineOscillatorEditor::doubleClickBackground (juce::Point<float> mouse)
{
    const double lh = list->getHeight();
    const double cx = mouse.x, cy = juce::jlimit (0.0, lh, (double) mouse.y);

    Node* n = list->getFirst();
    while (n != nullptr && n->point.x[0] < cx)
        n = n->getNext();
    if (n == nullptr || n == list->getFirst())
        return false;

    if (! list->sanityCheckAndFixPoints (list->getFirst()) || ! list->sanityCheckAndFixPoints (n))
        return false;

    auto& p = n->point;
    auto makePoint = [] (SplinePointType type, double x, double y) {
        SplineOscillatorPoint q;
        q.type = type;
        for (int k = 0; k < 3; ++k)
        {
            q.x[k] = x;
            q.y[k] = y;
        }
        return q;
    };

    switch (p.type)
    {
        case splineCubic:
        {
            if (n == list->getLast() || list->isFull())
                return false;
            const double ox = p.x[0], oy = p.y[0];
            if (cx > p.x[2])
            {
                p.x[0] = cx;
                p.y[0] = cy;
                list->insertPointAfter (n, makePoint (splineLinear, ox, oy));
            }
            else if (cx >= p.x[1])
            {
                const double c2x = p.x[2], c2y = p.y[2];
                p.x[0] = cx;
                p.y[0] = cy;
                p.type = splineQuadratic;
                p.slots[2] = {};
                auto q = makePoint (splineQuadratic, ox, oy);
                q.x[1] = c2x;
                q.y[1] = c2y;
                list->insertPointAfter (n, q);
            }
            else
            {
                list->insertPointAfter (n->getPrevious(), makePoint (splineLinear, cx, cy));
            }
            return true;
        }

        case splineQuadratic:
        {
            if (cx > p.x[1])
            {
                // Control 2 goes to the click, kept between control 1 and the point.
                p.x[2] = juce::jlimit (p.x[1], p.x[0], cx);
                p.y[2] = cy;
                p.slots[2] = {};
            }
            else
            {
                // The old control 1 becomes control 2, with its modulation.
                p.x[2] = p.x[1];
                p.y[2] = p.y[1];
                p.slots[2] = p.slots[1];
                p.slots[1] = {};
                p.x[1] = cx;
                p.y[1] = cy;
            }
            p.type = splineCubic;
            return true;
        }

        case splineLinear:
            p.x[1] = cx;
            p.y[1] = cy;
            p.slots[1] = {};
            p.type = splineQuadratic;
            return true;

        case splineStart:
        case splineEndMarker:
        default:
            return false;
    }
}

//==============================================================================
void SplineOscillatorEditor::normalizePoints()
{
    prepare();
    normalizing = true;
    const bool changed = list->normalize();
    normalizing = false;
    if (changed)
        writePoints (true);
    repaint();
}

//==============================================================================
juce::PopupMenu SplineOscillatorEditor::buildPointMenu (Node* n, int slot)
{
    prepare();
    juce::PopupMenu menu;
    if (list->indexOf (n) < 0)
        return menu;

    slot = juce::jlimit (0, 2, slot);
    menuContext.open = true;
    menuContext.pointId = n->getId();
    menuContext.slot = slot;

    const auto& s = n->point.slots[slot];
    const bool endPair = slot == 0 && (n == list->getFirst() || n == list->getLast());

    if (! endPair)
        menu.addItem (menuDelete, "delete");
    menu.addItem (menuModulateOff, "modulate off", true, s.direction == osc4mod::off);
    if (! endPair)
        menu.addItem (menuModulateHorizontal, "modulate horizontal", true, s.direction == osc4mod::horizontal);
    menu.addItem (menuModulateVertical, "modulate vertical", true, s.direction == osc4mod::vertical);

    if (s.direction != osc4mod::off)
    {
        menu.addSeparator();

        juce::PopupMenu shapes;
        for (int i = 0; i < 6; ++i)
            shapes.addItem (menuFirstSource + i, sourceItems[i], true, s.source == i + 2);
        shapes.addSeparator();
        for (int i = 0; i < 9; ++i)
            shapes.addItem (menuFirstShape + i, shapeItems[i], true, isOwnShape (s.source) && s.shape == i);
        menu.addSubMenu ("modulation shape", shapes);

        juce::PopupMenu note, beat;
        for (int i = 6; i >= 1; --i)
            beat.addItem (249 + i, beatTexts[i - 1], true,
                          s.source == osc4mod::ownShapeBeat && s.speed == beatMultiples[i - 1] / 32.0);
        for (int offset = 0; offset < 20; ++offset)
        {
            const double v = menuSpeed (offset);
            if (v < 0.0)
                continue;
            note.addItem (123 + offset, speedTexts[offset], true, s.source == osc4mod::ownShapeNote && s.speed == v);
            beat.addItem (223 + offset, speedTexts[offset], true,
                          s.source == osc4mod::ownShapeBeat && s.speed == v / 32.0);
        }
        menu.addSubMenu ("speed relative to note", note);
        menu.addSubMenu ("speed relative to beat", beat);

        juce::PopupMenu hz;
        hz.addItem (menuSpeedInHz, "speed in hz", true, s.source == osc4mod::ownShapeHz);
        if (s.source == osc4mod::ownShapeHz && speedKnob != nullptr)
        {
            // Lent to the menu: the page still owns it.
            auto* knob = speedKnob.getComponent();
            knob->setSliderStyle (juce::Slider::RotaryVerticalDrag);
            knob->setTextBoxStyle (juce::Slider::NoTextBox, false, 0, 0);
            knob->setBounds (100, 100, 150, 150);
            knob->setRange (0.0, 1.0, 0.0001);
            knob->setValue (s.speed, juce::dontSendNotification);
            if (auto* pageListener = dynamic_cast<juce::Slider::Listener*> (getParentComponent()))
                knob->addListener (pageListener);
            knob->addListener (this);

            juce::PopupMenu speed;
            speed.addCustomItem (menuSpeedKnob, *knob, 50, 50, false);
            hz.addSubMenu ("speed", speed);
        }
        menu.addSubMenu ("speed in hz", hz);
    }

    if (n != list->getLast() && ! list->isFull())
    {
        menu.addSeparator();
        menu.addItem (menuAddLinear, "Add Linear after");
        menu.addItem (menuAddQuadratic, "Add Quadratic after");
        menu.addItem (menuAddCubic, "Add Cubic after");
    }
    return menu;
}

juce::PopupMenu SplineOscillatorEditor::buildBackgroundMenu()
{
    prepare();
    menuContext.open = true;
    menuContext.pointId = 0;
    menuContext.slot = 0;

    juce::PopupMenu menu;
    menu.addItem (menuNormalize, "normalize");
    menu.addItem (menuRandomize, "randomize current points");
    return menu;
}

std::function<void (int)> SplineOscillatorEditor::makeMenuCallback()
{
    juce::Component::SafePointer<SplineOscillatorEditor> editor (this);
    return [editor] (int result) {
        if (editor != nullptr)
            pointPopupMenuCallback (result, editor.getComponent());
    };
}

void SplineOscillatorEditor::showPointPopupMenu (Node* n)
{
    if (n == nullptr)
        return;
    const int slot = n->hover[1] ? 1 : n->hover[2] ? 2 : 0;
    showPointPopupMenu (n, slot);
}

void SplineOscillatorEditor::showPointPopupMenu (Node* n, int slot)
{
    auto menu = buildPointMenu (n, slot);
    if (menuPresenter)
        menuPresenter (std::move (menu), makeMenuCallback());
    else
        menu.showMenuAsync (juce::PopupMenu::Options().withTargetComponent (this), makeMenuCallback());
}

void SplineOscillatorEditor::showBackgroundMenu()
{
    auto menu = buildBackgroundMenu();
    if (menuPresenter)
        menuPresenter (std::move (menu), makeMenuCallback());
    else
        menu.showMenuAsync (juce::PopupMenu::Options().withTargetComponent (this), makeMenuCallback());
}

void SplineOscillatorEditor::pointPopupMenuCallback (int result, SplineOscillatorEditor* editor)
{
    if (editor == nullptr)
        return;
    editor->menuClosed();
    editor->applyMenuResult (result);
}

void SplineOscillatorEditor::menuClosed()
{
    if (speedKnob != nullptr)
        speedKnob->removeListener (this);
}

void SplineOscillatorEditor::applyMenuResult (int result)
{
    prepare();
    const auto context = menuContext;
    menuContext.open = false;
    if (result == 0 || ! context.open)
    {
        notifyHost(); // the speed knob may have written
        return;
    }

    if (result == menuNormalize || result == menuRandomize)
    {
        if (result == menuNormalize)
        {
            normalizing = true;
            list->normalize();
            normalizing = false;
        }
        else
        {
            list->randomizeCurrentPoints();
        }
        writePoints (true);
        return;
    }

    // A restore or a deletion since the menu opened took its point away.
    Node* n = context.pointId != 0 ? list->findById (context.pointId) : nullptr;
    if (n == nullptr)
        return;

    auto& slot = n->point.slots[context.slot];
    if (result == menuModulateOff)
    {
        slot.direction = osc4mod::off;
        slot.depth = 0.0;
    }
    else if (result == menuModulateHorizontal)
    {
        slot.direction = osc4mod::horizontal;
        slot.depth = kNewDepth;
        list->makeSureModulationWithinLimits (n);
    }
    else if (result == menuModulateVertical)
    {
        slot.direction = osc4mod::vertical;
        slot.depth = kNewDepth;
    }
    else if (result == menuDelete)
    {
        pointInfoTimer.stopTimer();
        if (list->deletePoint (n, context.slot) == SplinePointList::DeleteResult::removed)
            n = nullptr;
    }
    else if (result >= menuFirstShape && result < menuFirstShape + 9)
    {
        slot.shape = result - menuFirstShape;
        if (! isOwnShape (slot.source))
            slot.source = osc4mod::ownShapeNote;
    }
    else if (result >= menuFirstSource && result < menuFirstSource + 6)
    {
        slot.source = result - 19;
    }
    else if (result >= 123 && result <= 142 && menuSpeed (result - 123) > 0.0)
    {
        slot.source = osc4mod::ownShapeNote;
        slot.speed = menuSpeed (result - 123);
    }
    else if (result >= 223 && result <= 242 && menuSpeed (result - 223) > 0.0)
    {
        slot.source = osc4mod::ownShapeBeat;
        slot.speed = menuSpeed (result - 223) / 32.0;
    }
    else if (result >= 250 && result <= 255)
    {
        slot.source = osc4mod::ownShapeBeat;
        slot.speed = beatMultiples[result - 250] / 32.0;
    }
    else if (result == menuSpeedInHz)
    {
        slot.source = osc4mod::ownShapeHz;
        if (slot.speed == 0.0)
            slot.speed = 0.1;
    }
    else if (result == menuAddLinear || result == menuAddQuadratic || result == menuAddCubic)
    {
        list->AddSplinePointAfterPoint (n, (SplinePointType) (splineLinear + result - menuAddLinear));
    }

    writePoints (true);
}

//==============================================================================
void SplineOscillatorEditor::sliderValueChanged (juce::Slider* slider)
{
    if (slider == nullptr || slider != speedKnob.getComponent())
        return;
    prepare();
    auto* n = menuContext.pointId != 0 ? list->findById (menuContext.pointId) : nullptr;
    if (n == nullptr)
        return;
    n->point.slots[menuContext.slot].speed = slider->getValue();
    updateParamsTimer.changed();
}

void SplineOscillatorEditor::onPointInfoTimerTimeout()
{
    prepare();
    auto* n = infoPointId != 0 ? list->findById (infoPointId) : nullptr;
    if (n == nullptr || ! (n->hover[0] || n->hover[1] || n->hover[2]))
        return;

    const auto text = describeModulation (n->point);
    if (text.isEmpty() || shower == nullptr)
        return;
    shower->label.setBounds (shower->getLocalBounds());
    shower->setShortTimeText (text);
}

//==============================================================================
juce::String SplineOscillatorEditor::speedFraction (double v)
{
    for (int n = 1; n <= 64; ++n)
        for (int d = 1; d <= 512; ++d)
        {
            const double f = (double) n / d;
            if (f == v || std::abs (f - v) <= v / 10000.0)
                return juce::String::formatted ("%i/%i", n, d);
        }
    return juce::String::formatted ("%.5f", v);
}

juce::String SplineOscillatorEditor::describeModulation (const SplineOscillatorPoint& p)
{
    int slotIndex = -1;
    const int type = p.type;
    if (type >= splineLinear && type <= splineCubic && p.slots[0].direction != osc4mod::off)
        slotIndex = 0;
    if ((type == splineQuadratic || type == splineCubic) && p.slots[1].direction != osc4mod::off)
        slotIndex = 1;
    if (type == splineCubic && p.slots[2].direction != osc4mod::off)
        slotIndex = 2;
    if (slotIndex < 0)
        return {};

    const auto& s = p.slots[slotIndex];
    if (s.source >= osc4mod::lfo1 && s.source <= osc4mod::filterEnvelopeInverted)
        return sourceNames[s.source - osc4mod::lfo1];
    if (! isOwnShape (s.source) || s.shape < 0 || s.shape > 8)
        return {};

    juce::String text = juce::String (shapeNames[s.shape]) + "\n";
    if (s.source == osc4mod::ownShapeHz)
        return text + juce::String::formatted ("%f", s.speed * s.speed * 100.0) + " Hz";

    const double v = s.source == osc4mod::ownShapeBeat ? s.speed * 32.0 : s.speed;
    return text + speedFraction (v) + (s.source == osc4mod::ownShapeNote ? " rel2note " : " beat");
}
