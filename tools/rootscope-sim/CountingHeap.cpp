#include "CountingHeap.h"

#include <cstdlib>

namespace nROOTSCOPE_1_0 {

tCountingHeap::tCountingHeap() : heap_{allocate, release, this} {}

tCountingHeap::~tCountingHeap() {
    // A leak is reported by buffersHeld(); the memory still goes back.
    for (void* buffer : buffers_) {
        std::free(buffer);
    }
}

void* tCountingHeap::allocate(std::size_t size, void* context) {
    auto* self = static_cast<tCountingHeap*>(context);
    void* buffer = std::malloc(size);
    if (buffer != nullptr) {
        self->buffers_.insert(buffer);
    }
    return buffer;
}

void tCountingHeap::release(void* buffer, void* context) {
    auto* self = static_cast<tCountingHeap*>(context);
    if (self->buffers_.erase(buffer) == 0) {
        ++self->misuses_;  // not ours, or released twice: leave it alone
        return;
    }
    std::free(buffer);
}

}  // namespace nROOTSCOPE_1_0
