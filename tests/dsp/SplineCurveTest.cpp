// Curve segments of the drawn wave. The walk that finds where a segment takes
// its samples skips steps and evaluates two at a time; the places it finds
// decide every table position, so they must be exactly those of the plain
// walk below (count u down from 1 by repeated subtraction, take a sample
// whenever x has moved on by more than a sample spacing). Heights may differ
// from the Bernstein form by rounding only. A walk stopped and resumed along
// the way must write exactly what it writes in one go.

#include "dsp/SplineOscillatorMisc.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

using namespace splinecurve;

namespace
{
constexpr double kUnwritten = -12345.0;

double bernstein (const Quadratic& s, double w)
{
    const double v = 1.0 - w;
    return s.y0 * v * v + 2.0 * s.y1 * w * v + s.y2 * w * w;
}

double bernstein (const Cubic& s, double w)
{
    const double v = 1.0 - w;
    return s.y0 * v * v * v + 3.0 * s.y1 * w * v * v + 3.0 * s.y2 * w * w * v + s.y3 * w * w * w;
}

double divisorOf (const Quadratic&) { return kQuadraticDivisor; }
double divisorOf (const Cubic&) { return kCubicDivisor; }

struct WalkResult
{
    std::vector<double> table;
    std::vector<double> places;
    std::vector<uint8_t> twice;
    int written = 0;
};

template <typename Segment>
WalkResult plainWalk (const Segment& seg, int m, int pos, int capacity)
{
    WalkResult r;
    r.table.assign ((size_t) capacity, kUnwritten);
    const double h = 1.0 / (m + 1);
    const double step = h / divisorOf (seg);
    double error = 0.000001, lastX = 0.0, lastValue = seg.y0;
    int e = -1;
    auto put = [&] (int i, double v) {
        if (i >= 0 && i < capacity)
            r.table[(size_t) i] = v;
    };
    for (double u = 1.0; u >= 0.0; u -= step)
    {
        const double w = 1.0 - u;
        const double x = seg.X (w);
        if (x - lastX > h)
        {
            lastValue = bernstein (seg, w);
            put (pos + ++e, lastValue);
            error += (x - lastX) - h;
            lastX = x;
            const bool again = error >= h;
            if (again)
            {
                error -= h;
                put (pos + ++e, lastValue);
            }
            r.places.push_back (w);
            r.twice.push_back (again ? 1 : 0);
        }
    }
    if (e + 1 < m)
        put (pos + e + 1, lastValue);
    r.written = e + 1 < m ? e + 2 : e + 1;
    return r;
}

template <typename Segment>
WalkResult fastWalk (const Segment& seg, int m, int pos, int capacity, int recordCapacity)
{
    WalkResult r;
    r.table.assign ((size_t) capacity, kUnwritten);
    std::vector<double> places ((size_t) recordCapacity + 1);
    std::vector<uint8_t> twice ((size_t) recordCapacity + 1);
    ScanRecord record { places.data(), twice.data(), recordCapacity, 0, false };
    r.written = sample (seg, m, r.table.data(), pos, capacity, &record);
    r.places.assign (places.begin(), places.begin() + record.count);
    r.twice.assign (twice.begin(), twice.begin() + record.count);
    return r;
}

bool sameBits (double a, double b) { return std::memcmp (&a, &b, sizeof (a)) == 0; }

// The walk stopped after a few entries at a time and resumed: it must end as
// the whole walk does, and at every stop the entries before ready() must
// already hold what the whole walk leaves there.
template <typename Segment>
void expectStopsChangeNothing (const Segment& seg, int m, int pos, int capacity, const WalkResult& whole)
{
    std::mt19937 rng ((unsigned) m * 7919u + (unsigned) pos);
    std::vector<double> table ((size_t) capacity, kUnwritten);
    std::vector<double> places (whole.places.size() + 4);
    std::vector<uint8_t> twice (whole.places.size() + 4);
    ScanRecord record { places.data(), twice.data(), (int) places.size(), 0, false };

    splinecurve::Walk<Segment> walk;
    walk.start (seg, m, table.data(), pos, capacity, &record);
    int checked = std::max (pos, 0);
    int stops = 0;
    while (! walk.advance (walk.ready() + (int) (rng() % 40) - 3))
    {
        ++stops;
        const int ready = std::min (walk.ready(), capacity);
        ASSERT_GE (ready, checked) << "ready went back";
        for (; checked < ready; ++checked)
            ASSERT_TRUE (sameBits (table[(size_t) checked], whole.table[(size_t) checked]))
                << "entry " << checked << " changed after stop " << stops;
        ASSERT_LT (stops, 4 * m + 64) << "the walk does not get on";
    }
    ASSERT_TRUE (walk.ended());
    ASSERT_EQ (walk.written(), whole.written);
    ASSERT_EQ (record.count, (int) whole.places.size());
    for (int i = 0; i < record.count; ++i)
        ASSERT_TRUE (sameBits (places[(size_t) i], whole.places[(size_t) i]) && twice[(size_t) i] == whole.twice[(size_t) i])
            << "place " << i;
    for (size_t i = 0; i < table.size(); ++i)
        ASSERT_TRUE (sameBits (table[i], whole.table[i])) << "entry " << i;
}

// Same places bit for bit, same twice marks, same entries written, heights
// within rounding of the Bernstein form.
template <typename Segment>
void expectSameWalk (const Segment& seg, int m, int pos, int capacity, const char* what)
{
    const WalkResult plain = plainWalk (seg, m, pos, capacity);
    const WalkResult fast = fastWalk (seg, m, pos, capacity, (int) plain.places.size() + 4);
    SCOPED_TRACE (::testing::Message() << what << " m " << m << " pos " << pos << " capacity " << capacity);

    ASSERT_EQ (fast.written, plain.written);
    ASSERT_EQ (fast.places.size(), plain.places.size());
    for (size_t i = 0; i < plain.places.size(); ++i)
    {
        ASSERT_TRUE (sameBits (fast.places[i], plain.places[i]))
            << "place " << i << ": " << fast.places[i] << " vs " << plain.places[i];
        ASSERT_EQ (fast.twice[i], plain.twice[i]) << "place " << i;
    }
    for (size_t i = 0; i < plain.table.size(); ++i)
    {
        const double a = fast.table[i], b = plain.table[i];
        ASSERT_EQ (a == kUnwritten, b == kUnwritten) << "entry " << i;
        if (std::isfinite (b))
            ASSERT_NEAR (a, b, 1.0e-12 * (1.0 + std::abs (b))) << "entry " << i;
        else
            ASSERT_EQ (std::isnan (a), std::isnan (b)) << "entry " << i;
    }
    expectStopsChangeNothing (seg, m, pos, capacity, fast);
}

// Sample counts from one to cycles of a 192 kHz table, spread on a log scale.
int randomCount (std::mt19937& rng)
{
    std::uniform_real_distribution<double> logScale (0.0, std::log (40000.0));
    return std::max (1, (int) std::exp (logScale (rng)));
}

// Controls inside the segment (x rising), beyond it (x running backwards for
// a while) and far outside (steep, strongly bent curves).
double randomControl (std::mt19937& rng, int regime)
{
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    switch (regime)
    {
        case 0: return unit (rng);
        case 1: return -1.5 + 4.0 * unit (rng);
        default: return (unit (rng) - 0.5) * 400.0;
    }
}
} // namespace

TEST (SplineCurve, WalkTakesExactlyThePlacesOfThePlainWalk)
{
    std::mt19937 rng (90210);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (int trial = 0; trial < 300; ++trial)
    {
        const int regime = trial % 3;
        const int m = trial < 12 ? trial + 1 : randomCount (rng);
        const int capacity = 2 * m + 80;

        const double a1 = randomControl (rng, regime), a2 = randomControl (rng, regime);
        const Cubic cubic { a1, a2, unit (rng), unit (rng), unit (rng), unit (rng) };
        expectSameWalk (cubic, m, 7, capacity, "cubic");
        if (HasFatalFailure())
            return;

        const Quadratic quadratic { randomControl (rng, regime), unit (rng), unit (rng), unit (rng) };
        expectSameWalk (quadratic, m, 3, capacity, "quadratic");
        if (HasFatalFailure())
            return;
    }
}

TEST (SplineCurve, WalkTakesThePlainWalksPlacesWhereXSlowsDownOrTurns)
{
    // The walk bounds how fast x moves near each sample by its largest
    // speed over a stretch: curves whose x nearly stops, just stops or
    // turns back inside the segment (the turn of x' close to zero), and the
    // shapes of a wave's evenly spaced cubic points, for many counts.
    std::mt19937 rng (1234);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    auto slowest = [] (double a1, double a2) {
        // x' / 3 = a1 + (2 a2 - 4 a1) w + (3 a1 - 3 a2 + 1) w^2 on [0, 1]
        const double b = 2.0 * a2 - 4.0 * a1, c = 3.0 * a1 - 3.0 * a2 + 1.0;
        double least = std::min (a1, a1 + b + c);
        if (c > 0.0 && -b / (2.0 * c) > 0.0 && -b / (2.0 * c) < 1.0)
            least = std::min (least, a1 - b * b / (4.0 * c));
        return least;
    };
    int tried = 0;
    for (int trial = 0; tried < 400 && trial < 200000; ++trial)
    {
        double a1, a2;
        if (tried % 4 == 0)
        {
            a1 = 0.7 + 1.0e-6 * (unit (rng) - 0.5);
            a2 = 0.15 + 1.0e-6 * (unit (rng) - 0.5);
        }
        else
        {
            a1 = 2.0 * unit (rng) - 0.25;
            a2 = 2.0 * unit (rng) - 0.5;
            const double least = slowest (a1, a2);
            if (! (least > -0.02 && least < 0.05))
                continue;
        }
        ++tried;
        const int m = 16 + (int) std::exp (unit (rng) * std::log (3000.0));
        const Cubic cubic { a1, a2, unit (rng), unit (rng), unit (rng), unit (rng) };
        expectSameWalk (cubic, m, 5, 2 * m + 80, "slow cubic");
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ (tried, 400);

    // A quadratic whose x stops at one end.
    for (int m : { 16, 17, 100, 999, 4000 })
    {
        expectSameWalk (Quadratic { 0.0, 0.2, 0.7, 0.4 }, m, 0, 2 * m + 80, "quadratic stopping at its start");
        expectSameWalk (Quadratic { 1.0, 0.2, 0.7, 0.4 }, m, 0, 2 * m + 80, "quadratic stopping at its end");
    }
}

TEST (SplineCurve, WalkMatchesThePlainWalkAtTheEdgesOfItsInputs)
{
    // Controls that make x flat, exactly linear, or not a number; a table
    // too short for the segment; the largest counts a table can hold.
    const double inf = std::numeric_limits<double>::infinity();
    expectSameWalk (Cubic { 0.0, 0.0, 0.1, 0.9, 0.2, 0.8 }, 500, 0, 1100, "flat start");
    expectSameWalk (Cubic { 1.0, 1.0, 0.1, 0.9, 0.2, 0.8 }, 500, 0, 1100, "flat end");
    expectSameWalk (Cubic { 1.0 / 3.0, 2.0 / 3.0, 0.1, 0.9, 0.2, 0.8 }, 777, 0, 1700, "linear x");
    expectSameWalk (Quadratic { 0.5, 0.3, 0.6, 0.9 }, 1234, 0, 2600, "linear x");
    expectSameWalk (Cubic { inf, 0.5, 0.1, 0.9, 0.2, 0.8 }, 50, 0, 200, "infinite control");
    expectSameWalk (Quadratic { std::nan (""), 0.3, 0.6, 0.9 }, 50, 0, 200, "control not a number");
    expectSameWalk (Cubic { 0.2, 0.9, 0.1, 0.9, 0.2, 0.8 }, 3000, 2000, 2500, "table ends inside");
    expectSameWalk (Cubic { 0.05, 0.95, 0.1, 0.9, 0.2, 0.8 }, 65536, 0, 140000, "longest");
    expectSameWalk (Quadratic { 0.9, 0.3, 0.6, 0.9 }, 65536, 0, 140000, "longest");
}

TEST (SplineCurve, RecordFullMarksOverflowAndKeepsTheFirstPlaces)
{
    const Cubic seg { 0.3, 0.7, 0.1, 0.9, 0.2, 0.8 };
    const WalkResult plain = plainWalk (seg, 200, 0, 500);
    ASSERT_GT (plain.places.size(), 100u);

    std::vector<double> table (500), places (50);
    std::vector<uint8_t> twice (50);
    ScanRecord record { places.data(), twice.data(), 50, 0, false };
    EXPECT_EQ (sample (seg, 200, table.data(), 0, 500, &record), plain.written);
    EXPECT_TRUE (record.overflow);
    ASSERT_EQ (record.count, 50);
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE (sameBits (places[(size_t) i], plain.places[(size_t) i])) << i;
}

TEST (SplineCurve, ReplayWritesWhatAWalkWithTheNewHeightsWrites)
{
    std::mt19937 rng (4711);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial)
    {
        const int regime = trial % 3;
        const int m = trial < 6 ? trial + 1 : randomCount (rng) / 4 + 1;
        // Mostly room to spare; every fourth table ends inside the segment.
        const int pos = (int) (rng() % 9);
        const int capacity = trial % 4 == 3 ? pos + m / 2 + 1 : pos + 2 * m + 64;

        const double a1 = randomControl (rng, regime), a2 = randomControl (rng, regime);
        Cubic seg { a1, a2, unit (rng), unit (rng), unit (rng), unit (rng) };
        const WalkResult first = fastWalk (seg, m, pos, capacity, 16 * (m + 1) + 16);

        seg.y0 = unit (rng);
        seg.y1 = 2.0 * unit (rng) - 1.0;
        seg.y2 = unit (rng);
        seg.y3 = unit (rng);
        const WalkResult expected = fastWalk (seg, m, pos, capacity, 16 * (m + 1) + 16);

        std::vector<double> table ((size_t) capacity, kUnwritten);
        const int written = replay (seg, m, first.places.data(), first.twice.data(), (int) first.places.size(),
                                    table.data(), pos, capacity);
        SCOPED_TRACE (::testing::Message() << "trial " << trial << " m " << m << " capacity " << capacity);
        ASSERT_EQ (written, expected.written);
        for (size_t i = 0; i < table.size(); ++i)
            ASSERT_TRUE (sameBits (table[i], expected.table[i]))
                << "entry " << i << ": " << table[i] << " vs " << expected.table[i];

        Quadratic quad { randomControl (rng, regime), unit (rng), unit (rng), unit (rng) };
        const WalkResult quadFirst = fastWalk (quad, m, pos, capacity, 16 * (m + 1) + 16);
        quad.y1 = unit (rng);
        const WalkResult quadExpected = fastWalk (quad, m, pos, capacity, 16 * (m + 1) + 16);
        std::fill (table.begin(), table.end(), kUnwritten);
        ASSERT_EQ (replay (quad, m, quadFirst.places.data(), quadFirst.twice.data(), (int) quadFirst.places.size(),
                           table.data(), pos, capacity),
                   quadExpected.written);
        for (size_t i = 0; i < table.size(); ++i)
            ASSERT_TRUE (sameBits (table[i], quadExpected.table[i])) << "quadratic entry " << i;
    }
}

namespace
{
// A walk guided by `guide` (another walk's places): places, marks, writes
// and count exactly those of the plain walk, whatever the guide says, and
// the same when stopped and resumed along the way.
template <typename Segment>
void expectGuidedWalkIsPlain (const Segment& seg, int m, const std::vector<double>& guide, const char* what)
{
    const int pos = 3, capacity = 2 * m + 80;
    const WalkResult plain = plainWalk (seg, m, pos, capacity);
    SCOPED_TRACE (::testing::Message() << what << " m " << m << " guide " << guide.size());

    for (int stopping = 0; stopping < 2; ++stopping)
    {
        std::vector<double> table ((size_t) capacity, kUnwritten);
        std::vector<double> places (plain.places.size() + 4);
        std::vector<uint8_t> twice (plain.places.size() + 4);
        ScanRecord record { places.data(), twice.data(), (int) places.size(), 0, false };
        splinecurve::Walk<Segment> walk;
        walk.start (seg, m, table.data(), pos, capacity, &record);
        walk.guideBy (guide.data(), (int) guide.size());
        std::mt19937 rng ((unsigned) m);
        int calls = 0;
        while (! walk.advance (stopping != 0 ? walk.ready() + (int) (rng() % 40) : std::numeric_limits<int>::max()))
            ASSERT_LT (++calls, 4 * m + 64) << "the walk does not get on";

        ASSERT_EQ (walk.written(), plain.written);
        ASSERT_EQ (record.count, (int) plain.places.size());
        for (int i = 0; i < record.count; ++i)
            ASSERT_TRUE (sameBits (places[(size_t) i], plain.places[(size_t) i]) && twice[(size_t) i] == plain.twice[(size_t) i])
                << "place " << i << " stopping " << stopping;
        for (size_t i = 0; i < table.size(); ++i)
        {
            ASSERT_EQ (table[i] == kUnwritten, plain.table[i] == kUnwritten) << "entry " << i;
            ASSERT_NEAR (table[i], plain.table[i], 1.0e-12) << "entry " << i;
        }
    }
}
} // namespace

TEST (SplineCurve, GuidedWalkTakesThePlainWalksPlacesWhateverTheGuide)
{
    // A guide is the places of a walk of a curve with nearly the same x and
    // the same count: each guess is checked, so right guides, guides wrong
    // in one place, too short or running off the end, of another count or
    // plain garbage leave the places, marks and writes of the plain walk.
    std::mt19937 rng (777);
    std::uniform_real_distribution<double> unit (0.0, 1.0);
    for (int trial = 0; trial < 40; ++trial)
    {
        const int m = trial < 4 ? 16 + trial : 16 + (int) std::exp (unit (rng) * std::log (3000.0));
        // Shapes of evenly spaced points, their neighbours, and curves whose x turns back.
        const double a1 = trial % 5 == 4 ? 1.6 : 0.7 + 0.05 * (unit (rng) - 0.5);
        const double a2 = trial % 5 == 4 ? -0.4 : 0.15 + 0.05 * (unit (rng) - 0.5);
        const Cubic seg { a1, a2, unit (rng), unit (rng), unit (rng), unit (rng) };
        const Cubic near { a1 + 1.0e-7, a2 - 1.0e-7, 0.5, 0.5, 0.5, 0.5 };
        const Cubic far { 0.3, 0.9, 0.5, 0.5, 0.5, 0.5 };

        const std::vector<double> own = plainWalk (seg, m, 0, 2 * m + 80).places;
        const std::vector<double> fromNear = plainWalk (near, m, 0, 2 * m + 80).places;
        const std::vector<double> fromFar = plainWalk (far, m, 0, 2 * m + 80).places;
        ASSERT_GT (own.size(), 8u);
        const double step = 1.0 / ((m + 1) * kCubicDivisor);

        expectGuidedWalkIsPlain (seg, m, own, "its own places");
        expectGuidedWalkIsPlain (seg, m, fromNear, "a neighbour's places");
        expectGuidedWalkIsPlain (seg, m, fromFar, "another shape's places");
        expectGuidedWalkIsPlain (seg, m + 1, own, "another count's places");

        std::vector<double> wrong = own;
        const size_t at = (size_t) (rng() % own.size());
        wrong[at] += (trial % 2 == 0 ? 1.0 : -1.0) * step;
        expectGuidedWalkIsPlain (seg, m, wrong, "one place a step off");

        std::vector<double> shortGuide (own.begin(), own.begin() + (long) own.size() / 2);
        expectGuidedWalkIsPlain (seg, m, shortGuide, "half the places");

        std::vector<double> longGuide = own;
        for (int k = 1; k <= 20; ++k)
            longGuide.push_back (1.0 + k * step);
        expectGuidedWalkIsPlain (seg, m, longGuide, "places past the end");

        std::vector<double> garbage = own;
        for (size_t k = 0; k < garbage.size(); k += 3)
            garbage[k] = k % 2 == 0 ? std::nan ("") : -1.0e300;
        expectGuidedWalkIsPlain (seg, m, garbage, "garbage");
        if (HasFatalFailure())
            return;
    }

    // x rises, turns back by several sample spacings and rises again, all in
    // the walk's first run: a guide that leaves out the sample at the top
    // and points at where x rises past the sample before it again (a guess
    // that checks out step for step) must not be taken where x does not
    // rise over the whole run.
    {
        const Cubic bump { 0.01527, -0.1603, 0.2, 0.7, 0.1, 0.9 };
        const int m = 2000;
        const double h = 1.0 / (m + 1), step = h / kCubicDivisor;
        std::vector<double> ws, xs;
        std::vector<size_t> taken;
        double lastX = 0.0;
        for (double u = 1.0; u >= 0.0; u -= step)
        {
            ws.push_back (1.0 - u);
            xs.push_back (bump.X (1.0 - u));
            if (xs.back() - lastX > h)
            {
                taken.push_back (xs.size() - 1);
                lastX = xs.back();
            }
        }
        std::vector<double> guide;
        for (size_t n = 1; n < taken.size() && guide.empty(); ++n)
        {
            const double before = xs[taken[n - 1]];
            size_t t = taken[n] + 1;
            while (t < xs.size() && xs[t] - before > h)
                ++t;
            while (t < xs.size() && ! (xs[t] - before > h))
                ++t;
            if (t < xs.size() && ws[t] < 0.45)
            {
                for (size_t k = 0; k < n; ++k)
                    guide.push_back (ws[taken[k]]);
                guide.push_back (ws[t]);
                for (size_t k = n + 1; k < taken.size(); ++k)
                    guide.push_back (ws[taken[k]]);
            }
        }
        ASSERT_FALSE (guide.empty());
        expectGuidedWalkIsPlain (bump, m, guide, "a guide over a turn of x");
    }

    const Quadratic quad { 0.3, 0.1, 0.9, 0.4 };
    const std::vector<double> quadPlaces = plainWalk (Quadratic { 0.3 + 1.0e-7, 0.0, 0.0, 0.0 }, 500, 0, 1100).places;
    expectGuidedWalkIsPlain (quad, 500, quadPlaces, "quadratic, a neighbour's places");
}
