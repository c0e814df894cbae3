// SPDX-License-Identifier: MIT
// The arithmetic every resource kind shares, at its edges: aligned blocks at
// the top of the 64-bit space, overlapping and touching ranges.
#include <gtest/gtest.h>

#include <cstdint>

#include "IntervalSet.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr std::uint64_t kTop = ~std::uint64_t{0} - 1;  // the highest last a range may have

TEST(IntervalSet, FindsTheLargestAlignedBlockOfARange) {
    struct tCase {
        std::uint64_t first, last, expected;
    };
    const tCase cases[] = {
        {0, kTop, std::uint64_t{1} << 63},  // all but the last unit
        {1, 2, 1},                           // 2 units, but no 2 aligned
        {0x1000, 0x1fff, 0x1000},
        {0x1800, 0x27ff, 0x800},
        {0x80000000, 0x8fffffff, 0x10000000},
        {kTop, kTop, 1},
        {kTop - 0xffe, kTop, 0x800},  // near the top, where aligning up could overflow
        {5, 4, 0},                    // empty
    };
    for (const tCase& c : cases) {
        EXPECT_EQ(largestAlignedBlock(c.first, c.last), c.expected) << std::hex << c.first << "-" << c.last;
    }
}

TEST(IntervalSet, MeasuresWhatItCoversAndWhatIsLeft) {
    tIntervalSet set;
    set.add(0x300, 0x3ff);
    set.add(0x100, 0x1ff);
    set.add(0x180, 0x27f);  // overlaps the one before
    set.add(0x280, 0x2ff);  // touches it
    set.add(kTop - 1, kTop);
    set.add(9, 8);          // empty: ignored
    set.seal();
    ASSERT_EQ(set.ranges().size(), 2u);
    EXPECT_EQ(set.coveredWithin(0, 0xfff), 0x300u);
    EXPECT_EQ(set.coveredWithin(0x200, 0x20f), 0x10u);
    EXPECT_EQ(set.coveredWithin(0x400, 0x4ff), 0u);
    EXPECT_EQ(set.coveredWithin(kTop - 3, kTop), 2u);
    EXPECT_EQ(set.largestAlignedGap(0, 0xfff), 0x800u);  // 0x800-0xfff
    EXPECT_EQ(set.largestAlignedGap(0x100, 0x3ff), 0u);  // all covered
    EXPECT_EQ(set.longestGap(0, 0x5ff), (std::pair<std::uint64_t, std::uint64_t>{0x200, 0x400}));
    EXPECT_EQ(set.longestGap(0, 0x6ff), (std::pair<std::uint64_t, std::uint64_t>{0x300, 0x400}));
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
