// A heap for descriptor buffers that keeps every buffer it hands out, so a
// run can be checked for buffers never given back.
#pragma once

#include <cstdint>
#include <unordered_set>

#include "Memory.h"

namespace nROOTSCOPE_1_0 {

class tCountingHeap {
public:
    tCountingHeap();
    ~tCountingHeap();
    tCountingHeap(const tCountingHeap&) = delete;
    tCountingHeap& operator=(const tCountingHeap&) = delete;

    const tHeap& heap() const { return heap_; }
    std::uint64_t buffersHeld() const { return buffers_.size(); }
    // Releases of a buffer this heap did not hand out, or released twice.
    std::uint64_t misuses() const { return misuses_; }

private:
    static void* allocate(std::size_t size, void* context);
    static void release(void* buffer, void* context);

    std::unordered_set<void*> buffers_;
    std::uint64_t misuses_ = 0;
    tHeap heap_;
};

}  // namespace nROOTSCOPE_1_0
