#pragma once

#include "dsp/SplineOscillatorMisc.h"
#include "dsp/VoiceRandom.h"

#include <cstdint>

/**
    The chain of oscillator-4 spline points that the point editor edits.

    A doubly linked list of nodes, each holding a SplineOscillatorPoint (pixel
    coordinates, full modulation ranges) and the editor's per-pair hover,
    selected and handle-drag flags. The list owns its nodes: it creates them,
    and it frees a node as soon as it is unlinked, so callers keep node ids
    (or look nodes up again) rather than pointers across edits.

    Every edit keeps the chain drawable and storable: 1 to 16 points, indices
    0 to n - 1 in order, x nondecreasing, the last point at the right edge,
    the first and last y equal, every pair inside width x height, a curve
    point's controls between its neighbour and itself. Edits that cannot keep
    this are refused whole; validation repairs what an outside source broke.

    Nothing here repaints, sends events or locks: the editor does that around
    updateParamsValues(). Message thread only.
*/
class SplinePointList
{
public:
    static constexpr int kMaxPoints = 16;

    /** One list node: the point and the editor's flags for its three pairs. */
    struct Node
    {
        SplineOscillatorPoint point;
        bool hover[3] {};
        bool selected[3] {};
        bool handleDrag[3] {};

        Node* getNext() const noexcept { return next; }
        Node* getPrevious() const noexcept { return previous; }
        /** Unique for the list's lifetime: survives edits, never reused. */
        uint64_t getId() const noexcept { return id; }
        int getIndex() const noexcept { return point.index; }
        SplinePointType getType() const noexcept { return point.type; }

    private:
        friend class SplinePointList;
        Node* previous = nullptr;
        Node* next = nullptr;
        uint64_t id = 0;
    };

    /** What deletePoint did. */
    enum class DeleteResult
    {
        nothing,   // refused, the list is as it was
        changed,   // the point stays, simplified or with slots off
        removed    // the point was unlinked and freed
    };

    /** Builds the default curve (buildDefaultCurve) for an editor of this size. */
    SplinePointList (double width, double height, uint64_t seed = 1);
    ~SplinePointList();

    SplinePointList (const SplinePointList&) = delete;
    SplinePointList& operator= (const SplinePointList&) = delete;

    double getWidth() const noexcept { return width; }
    double getHeight() const noexcept { return height; }

    /** Reseeds the generator behind randomValues (same seed, same curves). */
    void setSeed (uint64_t seed) noexcept { random.setSeed (seed); }

    //==============================================================================
    Node* getFirst() const noexcept { return first; }
    Node* getLast() const noexcept { return last; }

    /** The node after n under the walk rule (may move the recorded last point on). */
    Node* walkNext (Node* n) noexcept;

    /** Number of nodes in the chain. */
    int size() const noexcept;
    bool isFull() const noexcept { return size() >= kMaxPoints; }

    /** The node at a position, or null. */
    Node* at (int index) const noexcept;
    /** Position of a node, or -1 when it is not (or no longer) listed. */
    int indexOf (const Node* n) const noexcept;
    /** The node with this id, or null once it was removed or the list rebuilt. */
    Node* findById (uint64_t id) const noexcept;

    void clearHover() noexcept;
    void clearSelected() noexcept;
    void clearHandleDrag() noexcept;
    bool anyHandleDrag() const noexcept;

    //==============================================================================
    /** Records `last` as the last point; a walk from `from` then carries it on to the chain's end. */
    void setEndPoint (Node* from, Node* lastPoint) noexcept;

    /** First point 0, then each following point the previous index + 1. */
    void renumber() noexcept;

    /**
        The start point at (0, height / 3), three quadratic points at random
        places, the last moved to the right edge at the start point's height.
    */
    void buildDefaultCurve();

    /**
        Creates a point of type linear, quadratic or cubic after `after` at
        random places (randomValues), renumbers and fits every modulation
        range. Refused (null) for other types, unlisted nodes and a full list.
        After the last point the new point becomes the last one, left where
        randomValues put it: only the default-curve build does that.
    */
    Node* addRandomPointAfterThis (Node* after, SplinePointType type);

    /**
        The editor's insertion: addRandomPointAfterThis, then validation of
        the whole chain. Also refused after the last point, whose successor
        could not reach the right edge.
    */
    Node* AddSplinePointAfterPoint (Node* after, SplinePointType type);

    /**
        Inserts a copy of `point` (type linear, quadratic or cubic; pairs and
        slots as given) after `after`, for edits that put a point where the
        user clicked. Its x is kept between `after` and the next point, its
        controls between `after` and itself, so no other point moves.
        Refused (null) like AddSplinePointAfterPoint.
    */
    Node* insertPointAfter (Node* after, const SplineOscillatorPoint& point);

    /**
        Random places for a node with rand()'s range: x between its
        neighbours (first and last keep theirs), controls between the previous
        point and x, y values anywhere in the height.
    */
    void randomValues (Node* n) noexcept;

    /** Linked-y rule: accepted only inside [0, height]; first and last move together. */
    bool setY (Node* n, double y) noexcept;

    /** Moves a point horizontally when every limit allows it; returns whether it moved. */
    bool setX (Node* n, double x) noexcept;

    /** Adds dy to the three y values of n and every following point, then validates from n. */
    void moveYValues (Node* n, double dy) noexcept;

    /** Smallest / largest y from n to the end: pairs in use and vertical ranges. */
    double getHighestPoint (Node* n) noexcept;
    double getLowestPoint (Node* n) noexcept;

    /** Interval a horizontal range of that pair must stay inside. */
    void getHorizontalModulationLimits (Node* n, int slot, double* low, double* high) noexcept;

    /** Shrinks each horizontal range of n by 20 % steps until it fits; below 0.001 it is switched off. */
    void makeSureModulationWithinLimits (Node* n) noexcept;

    /**
        Validates the chain from n and repairs what it finds: indices, pairs
        outside the editor, controls out of order, the last point off the
        right edge, first and last y apart, slot values the block cannot hold,
        ranges that do not fit. Returns true when nothing needed repair.
    */
    bool sanityCheckAndFixPoints (Node* n) noexcept;

    /**
        Removes control pair 1 or 2, simplifies the point, or (pair 0 of an
        inner linear point) unlinks and frees it. The list is renumbered and
        validated before this returns; nothing is written, the caller writes
        once afterwards.
    */
    DeleteResult deletePoint (Node* n, int pair);

    /** Scales the curve with its vertical ranges to span the full height; false when flat. */
    bool normalize() noexcept;

    /** randomValues on every point, then normalize and fit the ranges. */
    void randomizeCurrentPoints() noexcept;

    //==============================================================================
    /**
        Writes the chain into parameters 90 to 569 through the codec, after
        validating it. Returns false when the codec did not take the whole
        chain (the caller then announces nothing).
    */
    bool updateParamsValues (double* values) noexcept;

    /**
        Rebuilds the list from the block. Unknown types (and a start type
        after the first point) end the chain as the engine plays it; the first
        point is a start point. Refused, leaving the list as it was, when the
        block is not usable.
    */
    bool updateValuesFromParams (const double* values);

    /**
        True when the block holds a chain worth showing: points 0 and 1 are
        marked present, their x differ, values 90 to 569 all lie in [0, 1]
        (NaN does not) and the chain reads with at least two points.
    */
    static bool isUsableBlock (const double* values) noexcept;

    /** Pairs a point of this type uses: 1 start and linear, 2 quadratic, 3 cubic, else 0. */
    static int pairsInUse (int type) noexcept;
    static bool isHorizontal (const SplineModulationSlot& s) noexcept { return s.direction == osc4mod::horizontal; }
    /** Any direction but off and horizontal moves y, as the engine plays it. */
    static bool isVertical (const SplineModulationSlot& s) noexcept
    {
        return s.direction != osc4mod::off && s.direction != osc4mod::horizontal;
    }

private:
    double width;
    double height;
    Node* first = nullptr;
    Node* last = nullptr;
    uint64_t nextId = 1;
    VoiceRandom random;

    Node* newNode (SplinePointType type);
    void linkAfter (Node* after, Node* n) noexcept;
    void freeAll() noexcept;
    double r (double a, double b) noexcept;
    double halfRange (const Node* n, int slot) const noexcept;
    double firstAbscissa (const Node* n) const noexcept;
    double firstAbscissaRange (const Node* n) const noexcept;
    bool fits (const Node* n, int slot) const noexcept;
};
