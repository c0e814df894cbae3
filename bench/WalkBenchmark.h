// What every benchmark of the survey shares: counting the walks a survey
// makes, the bare walk that is its floor, a sink for the report and the
// counters bench/ratio.py reads.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstddef>

#if defined(_WIN32)
#include <malloc.h>
#define ROOTSCOPE_STACK_GAP(bytes) _alloca(bytes)
#else
#include <alloca.h>
#define ROOTSCOPE_STACK_GAP(bytes) alloca(bytes)
#endif

#if defined(_MSC_VER)
#define ROOTSCOPE_NOINLINE __declspec(noinline)
#else
#define ROOTSCOPE_NOINLINE __attribute__((noinline))
#endif

#include "DevMgr.h"
#include "DeviceServices.h"

namespace nROOTSCOPE_1_0 {

// Counts the device sets a survey opens, so the floor makes as many walks.
class tWalkCounter final : public iDeviceServices {
public:
    explicit tWalkCounter(iDeviceServices& inner) : inner_(inner) {}
    int walks() const { return walks_; }

    HDEVINFO SetupDiGetClassDevsA(const GUID* g, PCSTR e, HWND p, DWORD f) override {
        ++walks_;
        return inner_.SetupDiGetClassDevsA(g, e, p, f);
    }
    BOOL SetupDiGetDeviceInfoListDetailA(HDEVINFO s, SP_DEVINFO_LIST_DETAIL_DATA_A* d) override {
        return inner_.SetupDiGetDeviceInfoListDetailA(s, d);
    }
    BOOL SetupDiEnumDeviceInfo(HDEVINFO s, DWORD i, SP_DEVINFO_DATA* r) override {
        return inner_.SetupDiEnumDeviceInfo(s, i, r);
    }
    BOOL SetupDiDestroyDeviceInfoList(HDEVINFO s) override { return inner_.SetupDiDestroyDeviceInfoList(s); }
    CONFIGRET CM_Get_Device_IDA(DEVINST n, PSTR b, ULONG l, ULONG f) override {
        return inner_.CM_Get_Device_IDA(n, b, l, f);
    }
    CONFIGRET CM_Get_DevNode_Status(ULONG* s, ULONG* p, DEVINST n, ULONG f) override {
        return inner_.CM_Get_DevNode_Status(s, p, n, f);
    }
    CONFIGRET CM_Get_First_Log_Conf(LOG_CONF* l, DEVINST n, ULONG f) override {
        return inner_.CM_Get_First_Log_Conf(l, n, f);
    }
    CONFIGRET CM_Get_Next_Res_Des(RES_DES* n, RES_DES c, RESOURCEID r, RESOURCEID* t, ULONG f) override {
        return inner_.CM_Get_Next_Res_Des(n, c, r, t, f);
    }
    CONFIGRET CM_Get_Res_Des_Data_Size(ULONG* s, RES_DES d, ULONG f) override {
        return inner_.CM_Get_Res_Des_Data_Size(s, d, f);
    }
    CONFIGRET CM_Get_Res_Des_Data(RES_DES d, PVOID b, ULONG l, ULONG f) override {
        return inner_.CM_Get_Res_Des_Data(d, b, l, f);
    }
    CONFIGRET CM_Free_Res_Des_Handle(RES_DES d) override { return inner_.CM_Free_Res_Des_Handle(d); }
    CONFIGRET CM_Free_Log_Conf_Handle(LOG_CONF l) override { return inner_.CM_Free_Log_Conf_Handle(l); }

private:
    iDeviceServices& inner_;
    int walks_ = 0;
};

// Where the report goes: written and buffered like a terminal's output, but
// kept nowhere.
class tNullSink {
public:
    tNullSink() : file_(std::fopen("/dev/null", "w")) {}
    ~tNullSink() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }
    tNullSink(const tNullSink&) = delete;
    tNullSink& operator=(const tNullSink&) = delete;
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_;
};

// One walk with nothing on top: open, describe, enumerate, read every ID,
// release. The services come from the same seam the survey uses, so the
// calls are the same indirect calls: handed the services themselves, the
// compiler would see their final type and call them directly, a floor no
// survey can reach.
inline void bareWalk() {
    iDeviceServices& services = deviceServices();
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    if (set == INVALID_HANDLE_VALUE) {
        return;
    }
    SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
    detail.cbSize = sizeof detail;
    if (services.SetupDiGetDeviceInfoListDetailA(set, &detail)) {
        SP_DEVINFO_DATA record{};
        record.cbSize = sizeof record;
        char id[kInstanceIdBufferSize];
        for (DWORD index = 0; services.SetupDiEnumDeviceInfo(set, index, &record); ++index) {
            CONFIGRET result = services.CM_Get_Device_IDA(record.DevInst, id, sizeof id, 0);
            benchmark::DoNotOptimize(result);
            benchmark::DoNotOptimize(id);
        }
    }
    services.SetupDiDestroyDeviceInfoList(set);
}

// Runs `body(context)` with `gap` bytes of stack left unused above it.
ROOTSCOPE_NOINLINE inline void runBelowGap(std::size_t gap, void (*body)(void*), void* context) {
    void* unused = ROOTSCOPE_STACK_GAP(gap);
    benchmark::DoNotOptimize(unused);
    body(context);
}

// The placement the next timed iteration runs at. Shared by every
// benchmark, so that repetitions, which start afresh, do not all start at
// the same one.
inline std::size_t nextStackPlacement = 0;

// Where a walk's stack frames fall decides how much of its memory traffic
// collides with the service's: a processor may take a load for one that
// depends on an earlier store whose address agrees in its low 12 bits, and
// wait for it. Where the stack lies is an accident of each process (the
// kernel places it at random, 16 bytes apart), and the accident moved one
// benchmark by nearly a third: the whole survey measured 7.4 ns per node in
// one process and 9.6 in the next, its floor unmoved. So each timed
// iteration runs at the next of the 256 placements a 4 KiB page allows,
// taken 157 apart so that any run of iterations spreads over the page, and
// a figure is the mean over every placement a process may get, the survey's
// and the floor's alike.
template <typename tBody>
void runAtNextStackPlacement(tBody& body) {
    constexpr std::size_t kAlignment = 16;
    constexpr std::size_t kPlacements = 4096 / kAlignment;
    constexpr std::size_t kStride = 157;
    nextStackPlacement = (nextStackPlacement + kStride) % kPlacements;
    runBelowGap(kAlignment * (1 + nextStackPlacement),
                [](void* context) { (*static_cast<tBody*>(context))(); }, &body);
}

inline void setCounters(benchmark::State& state, std::size_t nodes, int walks) {
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["walks"] = walks;
    // Seconds per node per walk: iterations x nodes x walks over the time.
    state.counters["per_node_walk"] =
        benchmark::Counter(static_cast<double>(nodes) * walks,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Registered by each benchmark source; main calls them all. The host
// services, and so their benchmarks, exist only in Linux builds.
void registerSimulatedTreeBenchmarks();
void registerHostBenchmarks();

}  // namespace nROOTSCOPE_1_0
