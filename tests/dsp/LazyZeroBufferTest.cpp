// A lazily committed buffer must read as zeros everywhere, hold what is
// written, and take memory only for the pages written.

#include "dsp/LazyZeroBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST (LazyZeroBuffer, ReadsZeroAndCommitsOnlyTheWrittenPages)
{
    const std::size_t page = lazyzero::pageSize();
    const std::size_t perPage = page / sizeof (double);

    LazyZeroBuffer<double> b;
    EXPECT_TRUE (b.empty());
    EXPECT_EQ (b.residentBytes(), 0u);

    b.allocate (64 * perPage + 3);   // not a whole number of pages
    ASSERT_EQ (b.size(), 64 * perPage + 3);
    EXPECT_EQ (b.residentBytes(), 0u);

    b[0] = 1.5;
    b[10 * perPage + 1] = -2.0;
    b[b.size() - 1] = 3.0;
    EXPECT_EQ (b.residentBytes(), 3 * page);
    EXPECT_EQ (b[0], 1.5);
    EXPECT_EQ (b[10 * perPage + 1], -2.0);
    EXPECT_EQ (b[b.size() - 1], 3.0);
    EXPECT_EQ (std::count (b.begin(), b.end(), 0.0), (std::ptrdiff_t) b.size() - 3);

    // Cleared: the pages handed back, zeros again.
    b.clear();
    EXPECT_EQ (b.residentBytes(), 0u);
    EXPECT_TRUE (std::all_of (b.begin(), b.end(), [] (double v) { return v == 0.0; }));

    // A new size starts from zeros whatever the old one held.
    b[5] = 7.0;
    b.allocate (3);
    ASSERT_EQ (b.size(), 3u);
    EXPECT_EQ (b[0] + b[1] + b[2], 0.0);

    LazyZeroBuffer<float> f;
    f.allocate (0);
    EXPECT_TRUE (f.empty());
    EXPECT_EQ (f.data(), nullptr);
}

TEST (LazyZeroBuffer, CommittingTheFirstValuesTakesTheirPagesAndKeepsWhatTheyHold)
{
    const std::size_t page = lazyzero::pageSize();
    const std::size_t perPage = page / sizeof (double);

    LazyZeroBuffer<double> none;
    none.commit (100);   // nothing to commit
    EXPECT_EQ (none.residentBytes(), 0u);

    LazyZeroBuffer<double> b;
    b.allocate (16 * perPage);
    b[1] = 2.5;
    b[3 * perPage] = -1.0;
    ASSERT_EQ (b.residentBytes(), 2 * page);

    // Two and a bit pages: three taken, the values written before unchanged.
    b.commit (2 * perPage + 1);
    EXPECT_EQ (b.residentBytes(), 4 * page);   // pages 0, 1, 2 and the one written at 3
    EXPECT_EQ (b[1], 2.5);
    EXPECT_EQ (b[3 * perPage], -1.0);
    EXPECT_EQ (std::count (b.begin(), b.end(), 0.0), (std::ptrdiff_t) b.size() - 2);

    // More than the buffer holds commits the whole buffer and no more.
    b.commit (1000 * perPage);
    EXPECT_EQ (b.residentBytes(), 16 * page);
    EXPECT_EQ (b[1], 2.5);
    EXPECT_EQ (std::count (b.begin(), b.end(), 0.0), (std::ptrdiff_t) b.size() - 2);
}
