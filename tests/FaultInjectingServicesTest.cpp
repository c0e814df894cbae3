// SPDX-License-Identifier: MIT
// The fault-injecting wrapper around the emulation: what an injected
// failure returns and leaves behind, which calls a plan fails, and that a
// failed release still releases.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "FaultInjectingServices.h"

namespace nROOTSCOPE_1_0 {
namespace {

constexpr std::uint32_t kGarbage32 = 0xCCCCCCCCu;

tDeviceTable twoNodes() {
    tDeviceNode parent;
    parent.id = "ACPI\\PNP0A08\\0";
    parent.started = true;
    parent.busNumber = 0;
    parent.bootConfig.emplace().descriptors = {{ResType_BusNumber, 0, 0xff, 0, std::nullopt}};
    tDeviceNode child;
    child.id = "PCI\\VEN_8086&DEV_2030\\0";
    child.parent = 0;
    return {parent, child};
}

// Services under test: the emulation, wrapped, drawing its buffers through
// the wrapper.
struct tWrapped {
    tWrapped() : emulation(twoNodes(), tHackFlags{0x400, false}), faults(emulation) {
        emulation.useAllocator(faults.allocator());
    }
    tEmulatedConfigManager emulation;
    tFaultInjectingServices faults;
};

TEST(FaultInjectingServices, AnInjectedFailureReturnsItAndLeavesGarbageInTheOutputs) {
    tWrapped s;
    for (std::uint64_t call = 1; call <= 6; ++call) {
        s.faults.failCall(call, call == 5 ? static_cast<CONFIGRET>(ERROR_INSUFFICIENT_BUFFER) : CR_FAILURE);
    }
    HDEVINFO set = s.faults.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);  // 1
    EXPECT_EQ(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(s.faults.GetLastError(), static_cast<DWORD>(CR_FAILURE));
    DEVINST child = 0;
    EXPECT_EQ(s.faults.CM_Get_Child(&child, 1, 0), CR_FAILURE);  // 2
    EXPECT_EQ(child, kGarbage32);
    RES_DES next = 0;
    RESOURCEID type = 0;
    EXPECT_EQ(s.faults.CM_Get_Next_Res_Des(&next, 0x1c000000, ResType_All, &type, 0), CR_FAILURE);  // 3
    EXPECT_EQ(static_cast<std::uint32_t>(next), kGarbage32);
    EXPECT_EQ(type, kGarbage32);
    // A record keeps its size, for the caller hands it in again.
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    EXPECT_FALSE(s.faults.SetupDiEnumDeviceInfo(nullptr, 0, &record));  // 4
    EXPECT_EQ(record.cbSize, sizeof record);
    EXPECT_EQ(record.DevInst, kGarbage32);
    // A property read fills the buffer only, and leaves its error.
    record.DevInst = 1;
    BYTE buffer[6] = {};
    DWORD valueType = 0;
    DWORD required = 0;
    EXPECT_FALSE(s.faults.SetupDiGetDeviceRegistryPropertyA(nullptr, &record, SPDRP_BUSNUMBER, &valueType, buffer,
                                                            sizeof buffer, &required));  // 5
    EXPECT_EQ(s.faults.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buffer, buffer + sizeof buffer), std::string(sizeof buffer, '\xCC'));
    EXPECT_EQ(record.DevInst, 1u);
    EXPECT_EQ(required, kGarbage32);
    // A registry read: as many bytes as the size it was given.
    unsigned char value[8] = {};
    DWORD size = 4;
    EXPECT_EQ(s.faults.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, kPciHackFlagsValue, RRF_RT_REG_DWORD,
                                    nullptr, value, &size),
              static_cast<LSTATUS>(CR_FAILURE));  // 6
    EXPECT_EQ(std::string(value, value + 8), std::string(4, '\xCC') + std::string(4, '\0'));
    // None of them reached the emulation; the log says which were injected.
    EXPECT_EQ(s.emulation.setsOpened(), 0u);
    ASSERT_EQ(s.faults.callLog().size(), 6u);
    for (const tSimCallRecord& entry : s.faults.callLog()) {
        EXPECT_TRUE(entry.injected);
        EXPECT_NE(entry.result, static_cast<CONFIGRET>(CR_SUCCESS));
    }
    EXPECT_EQ(s.emulation.leakReport(), "");
}

TEST(FaultInjectingServices, AFailedReleaseStillReleases) {
    tWrapped s;
    HDEVINFO set = s.faults.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    LOG_CONF logConf = 0;
    ASSERT_EQ(s.faults.CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    s.faults.failCall(3);
    s.faults.failCall(4, ERROR_GEN_FAILURE);
    EXPECT_EQ(s.faults.CM_Free_Log_Conf_Handle(logConf), CR_FAILURE);
    EXPECT_FALSE(s.faults.SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(s.faults.GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(s.emulation.leakReport(), "") << "both were released all the same";
    // Releasing again is the caller's misuse, passed on as it is.
    EXPECT_EQ(s.faults.CM_Free_Log_Conf_Handle(logConf), CR_INVALID_LOG_CONF);
    EXPECT_EQ(s.emulation.leakReport(), "1 invalid call");
}

TEST(FaultInjectingServices, PlansFailTheNthOfAKindEveryOneOfAKindAndTheHeap) {
    tWrapped s;
    s.faults.failNth({tSimCall::GetChild, 2, CR_NO_SUCH_DEVNODE});
    s.faults.failEvery(tSimCall::DescribeSet, ERROR_GEN_FAILURE);
    s.faults.exhaustHeapAfter(1);
    DEVINST child = 0;
    EXPECT_EQ(s.faults.CM_Get_Child(&child, 1, 0), CR_SUCCESS);
    EXPECT_EQ(child, 2u);
    EXPECT_EQ(s.faults.CM_Get_Child(&child, 1, 0), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(s.faults.CM_Get_Child(&child, 1, 0), CR_SUCCESS);
    SP_DEVINFO_LIST_DETAIL_DATA_A detail{};
    detail.cbSize = sizeof detail;
    HDEVINFO set = s.faults.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(s.faults.SetupDiGetDeviceInfoListDetailA(set, &detail));
        EXPECT_EQ(s.faults.GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    }
    EXPECT_TRUE(s.faults.SetupDiDestroyDeviceInfoList(set));
    const tHeap& heap = s.emulation.heap();
    void* first = heap.allocate(16, heap.context);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(heap.allocate(16, heap.context), nullptr);
    heap.release(first, heap.context);
    EXPECT_EQ(s.faults.allocations(), 2u);
    EXPECT_EQ(s.faults.calls(), 7u);
    for (const tSimCallRecord& record : s.faults.callLog()) {
        EXPECT_FALSE(record.injected) << "only numbered failures count as injected";
    }
    EXPECT_EQ(s.emulation.leakReport(), "");
}

// Each kind's name is the service's own, once; the log and fixtures rely
// on it.
TEST(FaultInjectingServices, EveryKindHasItsOwnName) {
    std::set<std::string> names;
    for (std::size_t kind = 0; kind < kSimCallKinds; ++kind) {
        names.insert(simCallName(static_cast<tSimCall>(kind)));
    }
    EXPECT_EQ(names.size(), kSimCallKinds);
    EXPECT_STREQ(simCallName(tSimCall::NextResDes), "CM_Get_Next_Res_Des");
    EXPECT_STREQ(simCallName(tSimCall::Allocate), "allocation");
    EXPECT_TRUE(simCallReturnsConfigRet(tSimCall::FreeLogConf));
    EXPECT_FALSE(simCallReturnsConfigRet(tSimCall::RegistryValue));
    EXPECT_FALSE(simCallReturnsConfigRet(tSimCall::OpenSet));
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
