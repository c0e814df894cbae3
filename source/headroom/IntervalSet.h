// SPDX-License-Identifier: MIT
// Sets of ranges of one address space (bus numbers, I/O ports, memory), and
// what a window of that space has left: the one piece of arithmetic every
// resource kind shares.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace nROOTSCOPE_1_0 {

// Inclusive ranges [first, last], last below 2^64 - 1 so that every size
// fits. Ranges are added in any order and may overlap; `seal` sorts and
// merges them once, after which the queries cost O(log n + ranges met).
class tIntervalSet {
public:
    void add(std::uint64_t first, std::uint64_t last);
    void seal();

    // How many units of [first, last] the set covers.
    std::uint64_t coveredWithin(std::uint64_t first, std::uint64_t last) const;

    // The largest power of two 2^k such that a block of 2^k units aligned to
    // 2^k lies in [first, last] and outside the set; 0 when there is none.
    std::uint64_t largestAlignedGap(std::uint64_t first, std::uint64_t last) const;

    // The longest run of [first, last] outside the set, and where it starts.
    std::pair<std::uint64_t, std::uint64_t> longestGap(std::uint64_t first, std::uint64_t last) const;

    const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges() const { return ranges_; }

private:
    // Calls `gap(first, last)` for every run of [first, last] outside the set.
    template <typename tGap>
    void gapsWithin(std::uint64_t first, std::uint64_t last, tGap&& gap) const;

    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges_;
};

// The largest power of two 2^k such that an aligned block of 2^k lies in
// [first, last].
std::uint64_t largestAlignedBlock(std::uint64_t first, std::uint64_t last);

}  // namespace nROOTSCOPE_1_0
