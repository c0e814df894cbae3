// SPDX-License-Identifier: MIT
// The counters of the replacement operator new and delete that
// FailingAllocator.cpp gives the allocation-failure test program.
//
// The operators live in a translation unit of their own so that the
// compiler never inlines them into code that allocates: GCC, seeing the
// replacement operator delete's std::free inlined beside a call to operator
// new, takes the two for a mismatched pair (-Wmismatched-new-delete) in
// optimised builds. Out of line, each call reaches the replacement as an
// opaque function, as it does in any program that replaces them.
#pragma once

#include <cstdint>

namespace nROOTSCOPE_1_0 {

struct tAllocationCounters {
    bool armed = false;            // while set, allocation number failAt fails
    std::uint64_t allocations = 0; // allocations made while armed
    std::uint64_t failAt = 0;      // counting from 1
    std::int64_t live = 0;         // blocks allocated and not yet freed
};

// The one set of counters of this program; constant-initialised, so it is
// ready before any static constructor allocates.
extern constinit tAllocationCounters gAllocationCounters;

}  // namespace nROOTSCOPE_1_0
