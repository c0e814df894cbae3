// SPDX-License-Identifier: MIT
// The allocation wrapper: heap buffers that report exhaustion into the
// caller's status block instead of throwing.
#pragma once

#include <cstddef>
#include <functional>

#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {

// Where buffers come from. The process heap by default; tests and the
// harness install their own to count buffers or to run out on purpose.
struct tHeap {
    void* (*allocate)(std::size_t size, void* context);
    void (*release)(void* buffer, void* context);
    void* context;
};

// Where a heap of handed-out buffers (the emulation's) gets its memory:
// memory for std::free, or null when there is no room. Tests hand in one
// that counts and fails on plan.
using tBufferAllocator = std::function<void*(std::size_t)>;

// Installs `heap` (null: the process heap). Returns the one it replaced.
const tHeap* useHeap(const tHeap* heap);

// Returns a buffer of `size` bytes, or null: at once when `status` already
// holds an error, or after raising kStatusOutOfMemory when the heap has no
// room. A zero size asks for nothing and returns null without an error.
void* allocateBuffer(std::size_t size, tStatusBlock& status);

// Gives a buffer from allocateBuffer back; null is ignored.
void releaseBuffer(void* buffer);

// Owns one buffer from allocateBuffer and releases it on every path.
class tBufferGuard {
public:
    tBufferGuard(std::size_t size, tStatusBlock& status) : buffer_(allocateBuffer(size, status)) {}
    ~tBufferGuard() { releaseBuffer(buffer_); }
    tBufferGuard(const tBufferGuard&) = delete;
    tBufferGuard& operator=(const tBufferGuard&) = delete;

    void* get() const { return buffer_; }

private:
    void* buffer_;
};

}  // namespace nROOTSCOPE_1_0
