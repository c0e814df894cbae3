// SPDX-License-Identifier: MIT
// Fault injection around any device services: every call, and every
// allocation of the buffers the services hand out, gets a number (1, 2,
// 3, ...) and a line in the call log, and a plan can fail any numbered call
// or the nth call of a kind. A call failed this way is not passed on (a
// release excepted, see ROOTSCOPE_DEVICE_CALLS) and leaves garbage in its
// outputs, as a real service may. The whole class is expanded from the
// seam's list of calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "DeviceServices.h"
#include "Garbage.h"
#include "Memory.h"

namespace nROOTSCOPE_1_0 {

// What a numbered call was: one kind per call of the seam, and the
// allocation of a descriptor buffer.
#define ROOTSCOPE_SIM_CALL_KIND(result, releases, name, kind, type, params, args, fills) kind,
enum class tSimCall : std::uint8_t {
    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_SIM_CALL_KIND) Allocate
};
#undef ROOTSCOPE_SIM_CALL_KIND
inline constexpr std::size_t kSimCallKinds = static_cast<std::size_t>(tSimCall::Allocate) + 1;

// The service's own name for the call ("CM_Get_Next_Res_Des", "allocation"),
// as the log shows it and a fixture's fail_calls names it.
const char* simCallName(tSimCall call);

// True for the calls that answer with a CONFIGRET; the others answer only
// success or failure.
bool simCallReturnsConfigRet(tSimCall call);

// A call of one kind that fails whenever it is made for the `nth` time
// (from 1): CM_ calls with `result`, SetupDi calls leaving it as their error.
struct tSimFailure {
    tSimCall call = tSimCall::GetChild;
    std::uint64_t nth = 1;
    CONFIGRET result = CR_FAILURE;
};

// One line of the call log. `result` is the CONFIGRET of a CM_ call; for a
// SetupDi call, CR_SUCCESS or the error it left (ERROR_NO_MORE_ITEMS at the
// end of an enumeration); for a registry read its status; for an
// allocation, CR_SUCCESS or CR_FAILURE.
struct tSimCallRecord {
    tSimCall call;
    CONFIGRET result;
    bool injected;  // the failure came from failCall
};

class tFaultInjectingServices final : public iDeviceServices {
public:
    // Passes every call on to `inner`, which must outlive this.
    explicit tFaultInjectingServices(iDeviceServices& inner) : inner_(inner) {}

#define ROOTSCOPE_INJECT_FAULTS(result, releases, name, kind, type, params, args, fills) \
    type name params override {                                                          \
        const std::optional<CONFIGRET> failure = beginCall(tSimCall::kind);               \
        if (failure && !(releases)) {                                                     \
            leaveGarbageInFilled fills;                                                   \
            leaveGarbageInNumbers args;                                                   \
            return failed<type>(tCallResult::result, *failure);                           \
        }                                                                                 \
        return endCall<type>(tCallResult::result, failure, inner_.name args);             \
    }
    ROOTSCOPE_DEVICE_CALLS(ROOTSCOPE_INJECT_FAULTS)
#undef ROOTSCOPE_INJECT_FAULTS

    DWORD GetLastError() override { return injectedError_ ? *injectedError_ : inner_.GetLastError(); }
    std::string describeDatabaseFailure() const override { return inner_.describeDatabaseFailure(); }

    // Makes numbered call `call` fail. CM_ calls return `result`; SetupDi
    // calls fail and leave `result` as their error; allocations return
    // null. A failed release still releases: its caller cannot try again.
    void failCall(std::uint64_t call, CONFIGRET result = CR_FAILURE);
    // Makes every call of a kind fail, with `result` as above.
    void failEvery(tSimCall call, CONFIGRET result);
    // Makes the nth call of a kind fail.
    void failNth(const tSimFailure& failure);
    // Lets `allocations` buffers be allocated and fails every later one.
    void exhaustHeapAfter(std::uint64_t allocations) { heapFailsAfter_ = allocations; }

    // An allocator for the services' buffers that counts each allocation
    // as a call (tEmulatedConfigManager::useAllocator). It must not outlive
    // this.
    tBufferAllocator allocator();

    std::uint64_t allocations() const { return allocations_; }
    // Service calls made so far, of every kind (allocations not counted).
    std::uint64_t calls() const { return callNumber_ - allocations_; }

    // Every numbered call so far, in order; entry k-1 is call k.
    const std::vector<tSimCallRecord>& callLog() const { return log_; }

    // The log grows by a record a call; services that serve run after run
    // (a benchmark's iterations) turn it off. Numbering and faults stay.
    void keepCallLog(bool keep);

private:
    // Numbers and logs the next call; returns the failure planned for it.
    std::optional<CONFIGRET> beginCall(tSimCall call);
    void logResult(CONFIGRET result);

    // What a call planned to fail returns, the error it leaves recorded.
    template <class tResult>
    tResult failed(tCallResult kind, CONFIGRET failure) {
        if (kind == tCallResult::Bool || kind == tCallResult::Handle) {
            injectedError_ = failure;
        }
        logResult(failure);
        if constexpr (std::is_pointer_v<tResult>) {
            return static_cast<tResult>(INVALID_HANDLE_VALUE);
        } else {
            return kind == tCallResult::Bool ? tResult{FALSE} : static_cast<tResult>(failure);
        }
    }

    // Logs what the services answered, and returns it, unless the call was
    // planned to fail: a release that did its work then fails all the same.
    template <class tResult>
    tResult endCall(tCallResult kind, std::optional<CONFIGRET> failure, tResult answer) {
        CONFIGRET outcome = CR_SUCCESS;
        if constexpr (std::is_pointer_v<tResult>) {
            outcome = answer != INVALID_HANDLE_VALUE ? CONFIGRET{CR_SUCCESS} : GetLastError();
        } else if (kind == tCallResult::Bool) {
            outcome = answer ? CONFIGRET{CR_SUCCESS} : GetLastError();
        } else {
            outcome = static_cast<CONFIGRET>(answer);
        }
        if (failure && outcome == CR_SUCCESS) {
            return failed<tResult>(kind, *failure);
        }
        logResult(outcome);
        return answer;
    }

    void* allocate(std::size_t size);

    iDeviceServices& inner_;
    std::map<std::uint64_t, CONFIGRET> faults_;
    std::array<std::optional<CONFIGRET>, kSimCallKinds> everyCall_{};
    std::vector<tSimFailure> nthCalls_;
    std::optional<std::uint64_t> heapFailsAfter_;
    std::array<std::uint64_t, kSimCallKinds> callsOfKind_{};
    std::optional<DWORD> injectedError_;
    std::vector<tSimCallRecord> log_;
    bool keepLog_ = true;
    std::uint64_t callNumber_ = 0;
    std::uint64_t allocations_ = 0;
};

}  // namespace nROOTSCOPE_1_0
