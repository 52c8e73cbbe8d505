#pragma once

// Where every control of the synth page sits, as data. The page's
// constructor walks these tables in order (knobs, sliders, then the choice
// fields of SynthChoiceLists.h, then the curve controls) and hands each row to
// the matching place operation of its page base; paint and the view button
// ask viewOfParameter / viewOfChild which controls the current view shows.
//
// Plain data on purpose: the tables can be checked for overlaps, bounds and
// coverage of the parameter space without building a single component.

#include <cstddef>
#include <optional>

namespace synthpage
{
constexpr int kPageWidth = 829;
constexpr int kPageHeight = 740;
constexpr int kRepaintIntervalMs = 33;

// Every curve control sits on one row; the place operation gives it 50 x 40.
constexpr int kCurveY = 213;
constexpr int kCurveWidth = 50;
constexpr int kCurveHeight = 40;

// Sliders and choice fields are one text line high.
constexpr int kSliderHeight = 10;
constexpr int kChoiceHeight = 10;

// A read-only view over one of the tables.
template <typename Row>
struct Rows
{
    const Row* first = nullptr;
    std::size_t count = 0;

    const Row* begin() const noexcept { return first; }
    const Row* end() const noexcept { return first + count; }
    std::size_t size() const noexcept { return count; }
    const Row& operator[] (std::size_t i) const noexcept { return first[i]; }
};

struct Box
{
    int x = 0, y = 0, width = 0, height = 0;

    int right() const noexcept { return x + width; }
    int bottom() const noexcept { return y + height; }

    // Half-open rectangles: boxes that only share an edge do not intersect.
    bool intersects (const Box& o) const noexcept
    {
        return x < o.right() && o.x < right() && y < o.bottom() && o.y < bottom();
    }

    bool operator== (const Box& o) const noexcept
    {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
};

// A knob spans 0..1. steps 0 is continuous; otherwise the knob has that many
// positions. text is its label under the knob ("" for none) and, after the
// index, its component name. A hidden knob is created with the page but lent
// to someone else to show (the spline editor's point menu, the settings menu).
struct KnobPlace
{
    int index;
    int x, y;
    int size;
    int steps;
    bool centred;
    const char* text;
    bool hidden;

    Box bounds() const noexcept { return { x, y, size, size }; }
};

// A bipolar slider draws its bar from the middle and resets to 0.5 on a
// double click. name goes into the component name only; captions are painted.
struct SliderPlace
{
    int index;
    int x, y;
    int length;
    int steps;
    bool bipolar;
    const char* name;

    Box bounds() const noexcept { return { x, y, length, kSliderHeight }; }
};

// An envelope stage shape. curveStart and curveEnd are the curve's heights at
// the control's left and right edges as fractions of its height from the top;
// locked marks the flat sustain stage.
struct CurvePlace
{
    int index;
    int x;
    float curveStart;
    float curveEnd;
    bool locked;
    const char* name;

    Box bounds() const noexcept { return { x, kCurveY, kCurveWidth, kCurveHeight }; }
};

Rows<KnobPlace> knobs();       // in creation order
Rows<SliderPlace> sliders();   // in creation order
Rows<CurvePlace> curves();     // in creation order

// Children of the page that are not parameter controls.
enum class Child
{
    none,
    presetsButton,
    viewButton,
    captureButton,
    oscilloscope,
    valueDisplay,
    splineEditor,
    logo
};

// text is a button's caption or a component's name.
struct ChildPlace
{
    Child child;
    const char* text;
    Box bounds;
};

Rows<ChildPlace> children();
const ChildPlace& childPlace (Child child); // child must not be Child::none

// The view button's caption while the osc 1-3 view is shown, and while the
// oscillator-4 view is shown.
constexpr const char* kViewButtonOsc4Text = "o\ns\nc\n\n4\n";
constexpr const char* kViewButtonOsc1to3Text = "o\ns\nc\n\n1\n-\n3";

constexpr const char* kValueDisplayStartText = "talvora xl";
constexpr const char* kLogoText = "kevo audio\ntalvora xl";
constexpr const char* kListenerName = "SynthPage";

// The two views of the page. Most controls show in both.
enum class View
{
    both,
    osc1to3,
    osc4
};

// One row of the view-membership table: either a range of parameter indices
// (child is Child::none) or one named child.
struct ViewMember
{
    int firstIndex;
    int lastIndex;
    Child child;
    View view;
};

Rows<ViewMember> viewMembers();

// What the table says for a parameter's controls (its knob label follows its
// knob) and for a named child; View::both when the table does not name it.
View viewOfParameter (int index) noexcept;
View viewOfChild (Child child) noexcept;

constexpr bool isShownIn (View member, bool osc4ViewOn) noexcept
{
    return member == View::both || (member == View::osc4) == osc4ViewOn;
}

// The modulation grid: one knob per source (row) and destination. Columns
// show the destinations in kGridColumnDestinations order: noise first, then
// the volumes, then the pitches. Destinations 16 to 19 have no knob.
constexpr int kGridRows = 5;
constexpr int kGridColumns = 16;
constexpr int kGridKnobSize = 23;
constexpr int kGridColumnDestinations[kGridColumns] = { 2, 0, 3, 4, 5, 6, 1, 7, 8, 9, 10, 11, 12, 13, 14, 15 };
constexpr const char* kGridRowLabels[kGridRows] = { "lfo1", "lfo2", "amp env", "flt env", "velocity" };
constexpr const char* kGridDestinationLabels[kGridColumns] = {
    "o\nvol",  "o\nptc",  "noise",    "o1\nvol", "o2\nvol",  "o3\nvol",  "o4\nvol",  "o1\nptc",
    "o2\nptc", "o3\nptc", "o4\nptc", "o1\npwm", "o2\npwm", "flt\ncut", "flt\nres", "flt\ndec"
};

// Rows overlap their labels by 3 pixels, as drawn.
constexpr Box gridKnobBox (int row, int column) noexcept
{
    return { 250 + 28 * column, 617 + 20 * row, kGridKnobSize, kGridKnobSize };
}
constexpr Box gridRowLabelBox (int row) noexcept { return { 150, 620 + 20 * row, 100, 15 }; }
constexpr Box gridColumnLabelBox (int column) noexcept { return { 210 + 28 * column, 600, 100, 15 }; }

enum class ControlKind
{
    none,
    knob,
    slider,
    curve,
    choice
};

// The first control the tables give the index, looking through knobs,
// sliders, curve controls and choice fields in that order.
ControlKind controlKindOf (int index) noexcept;
std::optional<Box> controlBounds (int index) noexcept;

} // namespace synthpage
