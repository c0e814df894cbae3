// SPDX-License-Identifier: MIT
// Replacement operator new and delete for the allocation-failure test: every
// allocation is counted, and the one the counters name fails. See
// FailingAllocator.h for why these are out of line.
#include "FailingAllocator.h"

#include <cstdlib>
#include <new>

namespace nROOTSCOPE_1_0 {

constinit tAllocationCounters gAllocationCounters;

}  // namespace nROOTSCOPE_1_0

namespace {

void* allocate(std::size_t size) {
    nROOTSCOPE_1_0::tAllocationCounters& counters = nROOTSCOPE_1_0::gAllocationCounters;
    if (counters.armed && ++counters.allocations == counters.failAt) {
        return nullptr;
    }
    void* block = std::malloc(size != 0 ? size : 1);
    counters.live += block != nullptr ? 1 : 0;
    return block;
}

void release(void* block) {
    nROOTSCOPE_1_0::gAllocationCounters.live -= block != nullptr ? 1 : 0;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size) {
    if (void* block = allocate(size)) {
        return block;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return allocate(size);
}
void operator delete(void* block) noexcept {
    release(block);
}
void operator delete[](void* block) noexcept {
    release(block);
}
void operator delete(void* block, std::size_t) noexcept {
    release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    release(block);
}
