// SPDX-License-Identifier: MIT
#include "Memory.h"

#include <cstdlib>

namespace nROOTSCOPE_1_0 {

namespace {

void* processAllocate(std::size_t size, void*) {
    return std::malloc(size);
}

void processRelease(void* buffer, void*) {
    std::free(buffer);
}

constexpr tHeap kProcessHeap{processAllocate, processRelease, nullptr};
const tHeap* gHeap = &kProcessHeap;

}  // namespace

const tHeap* useHeap(const tHeap* heap) {
    const tHeap* previous = gHeap;
    gHeap = heap != nullptr ? heap : &kProcessHeap;
    return previous;
}

void* allocateBuffer(std::size_t size, tStatusBlock& status) {
    if (status.isError() || size == 0) {
        return nullptr;
    }
    void* buffer = gHeap->allocate(size, gHeap->context);
    if (buffer == nullptr) {
        ROOTSCOPE_RAISE(status, kStatusOutOfMemory);
    }
    return buffer;
}

void releaseBuffer(void* buffer) {
    if (buffer != nullptr) {
        gHeap->release(buffer, gHeap->context);
    }
}

}  // namespace nROOTSCOPE_1_0
