// SPDX-License-Identifier: MIT
#include "IntervalSet.h"

#include <algorithm>

namespace nROOTSCOPE_1_0 {

void tIntervalSet::add(std::uint64_t first, std::uint64_t last) {
    if (first <= last) {
        ranges_.emplace_back(first, last);
    }
}

void tIntervalSet::seal() {
    std::sort(ranges_.begin(), ranges_.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto& range : ranges_) {
        // Touching ranges merge too: last + 1 cannot overflow (last < 2^64 - 1).
        if (!merged.empty() && range.first <= merged.back().second + 1) {
            merged.back().second = std::max(merged.back().second, range.second);
        } else {
            merged.push_back(range);
        }
    }
    ranges_ = std::move(merged);
}

template <typename tGap>
void tIntervalSet::gapsWithin(std::uint64_t first, std::uint64_t last, tGap&& gap) const {
    if (first > last) {
        return;
    }
    // The first range that ends at or after `first`.
    auto at = std::lower_bound(ranges_.begin(), ranges_.end(), first,
                               [](const std::pair<std::uint64_t, std::uint64_t>& range, std::uint64_t value) {
                                   return range.second < value;
                               });
    std::uint64_t next = first;  // the first unit not yet looked at
    for (; at != ranges_.end() && at->first <= last; ++at) {
        if (at->first > next) {
            gap(next, at->first - 1);
        }
        if (at->second >= last) {
            return;
        }
        next = std::max(next, at->second + 1);
    }
    gap(next, last);
}

std::uint64_t tIntervalSet::coveredWithin(std::uint64_t first, std::uint64_t last) const {
    if (first > last) {
        return 0;
    }
    std::uint64_t outside = 0;
    gapsWithin(first, last, [&](std::uint64_t a, std::uint64_t b) { outside += b - a + 1; });
    return (last - first + 1) - outside;
}

std::uint64_t tIntervalSet::largestAlignedGap(std::uint64_t first, std::uint64_t last) const {
    std::uint64_t largest = 0;
    gapsWithin(first, last,
               [&](std::uint64_t a, std::uint64_t b) { largest = std::max(largest, largestAlignedBlock(a, b)); });
    return largest;
}

std::pair<std::uint64_t, std::uint64_t> tIntervalSet::longestGap(std::uint64_t first, std::uint64_t last) const {
    std::pair<std::uint64_t, std::uint64_t> longest{0, 0};
    gapsWithin(first, last, [&](std::uint64_t a, std::uint64_t b) {
        if (b - a + 1 > longest.first) {
            longest = {b - a + 1, a};
        }
    });
    return longest;
}

std::uint64_t largestAlignedBlock(std::uint64_t first, std::uint64_t last) {
    if (first > last) {
        return 0;
    }
    const std::uint64_t length = last - first + 1;
    for (int k = 63; k >= 0; --k) {
        const std::uint64_t block = std::uint64_t{1} << k;
        if (block > length) {
            continue;
        }
        // The first multiple of `block` at or after `first`, if any.
        const std::uint64_t offset = first & (block - 1);
        if (offset != 0 && first > ~std::uint64_t{0} - (block - offset)) {
            continue;
        }
        const std::uint64_t start = offset == 0 ? first : first + (block - offset);
        if (start <= last && last - start >= block - 1) {
            return block;
        }
    }
    return 0;
}

}  // namespace nROOTSCOPE_1_0
