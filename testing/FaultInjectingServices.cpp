// SPDX-License-Identifier: MIT
#include "FaultInjectingServices.h"

#include <cstdlib>
#include <new>

namespace nROOTSCOPE_1_0 {

namespace {

// A request this large stands for a heap that cannot satisfy it.
constexpr std::size_t kLargestAllocation = std::size_t{64} << 20;

}  // namespace

const char* simCallName(tSimCall call) {
#define ROOTSCOPE_SIM_CALL_NAME(result, releases, name, kind, type, params, args, fills) \
    case tSimCall::kind: return #name;
    switch (call) {
        ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_SIM_CALL_NAME)
        case tSimCall::Allocate: return "allocation";
    }
#undef ROOTSCOPE_SIM_CALL_NAME
    return "?";
}

bool simCallReturnsConfigRet(tSimCall call) {
#define ROOTSCOPE_SIM_CALL_RESULT(result, releases, name, kind, type, params, args, fills) \
    case tSimCall::kind: return tCallResult::result == tCallResult::ConfigRet;
    switch (call) {
        ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_SIM_CALL_RESULT)
        case tSimCall::Allocate: return false;
    }
#undef ROOTSCOPE_SIM_CALL_RESULT
    return false;
}

void tFaultInjectingServices::failCall(std::uint64_t call, CONFIGRET result) {
    faults_[call] = result == CR_SUCCESS ? CR_FAILURE : result;
}

void tFaultInjectingServices::failEvery(tSimCall call, CONFIGRET result) {
    everyCall_[static_cast<std::size_t>(call)] = result == CR_SUCCESS ? CR_FAILURE : result;
}

void tFaultInjectingServices::failNth(const tSimFailure& failure) {
    nthCalls_.push_back(failure);
}

void tFaultInjectingServices::keepCallLog(bool keep) {
    keepLog_ = keep;
    if (!keep) {
        log_.clear();
        log_.shrink_to_fit();
    }
}

std::optional<CONFIGRET> tFaultInjectingServices::beginCall(tSimCall call) {
    ++callNumber_;
    injectedError_.reset();
    const std::uint64_t ofKind = ++callsOfKind_[static_cast<std::size_t>(call)];
    std::optional<CONFIGRET> planned = everyCall_[static_cast<std::size_t>(call)];
    for (const tSimFailure& failure : nthCalls_) {
        if (!planned && failure.call == call && failure.nth == ofKind) {
            planned = failure.result;
        }
    }
    const auto fault = faults_.find(callNumber_);
    const bool injected = fault != faults_.end();
    if (keepLog_) {
        try {
            log_.push_back({call, CR_SUCCESS, injected});
        } catch (const std::bad_alloc&) {
            keepLog_ = false;  // a log with a hole in it would mislead
            return CR_OUT_OF_MEMORY;
        }
    }
    return injected ? std::optional<CONFIGRET>(fault->second) : planned;
}

void tFaultInjectingServices::logResult(CONFIGRET result) {
    if (keepLog_) {
        log_.back().result = result;
    }
}

tBufferAllocator tFaultInjectingServices::allocator() {
    return [this](std::size_t size) { return allocate(size); };
}

void* tFaultInjectingServices::allocate(std::size_t size) {
    const bool exhausted = heapFailsAfter_ && allocations_ >= *heapFailsAfter_;
    ++allocations_;
    const bool fails = beginCall(tSimCall::Allocate).has_value() || exhausted;
    void* buffer = fails || size > kLargestAllocation ? nullptr : std::malloc(size);
    logResult(buffer != nullptr ? CR_SUCCESS : CR_FAILURE);
    return buffer;
}

}  // namespace nROOTSCOPE_1_0
