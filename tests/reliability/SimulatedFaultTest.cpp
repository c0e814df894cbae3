// SPDX-License-Identifier: MIT
// The simulated tree's call numbering and fault plan: numbers run over
// service calls and allocations alike, a planned failure hits exactly its
// call, and a failed call leaves nothing a caller could rely on.
#include <gtest/gtest.h>

#include <string>

#include "Memory.h"
#include "SimTrees.h"
#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {
namespace {

tSimTree oneBridge() {
    return treeOf({bridge("ACPI\\PNP0A08\\0", true, {tSimDescriptor{}})});
}

TEST(SimulatedFaults, ServiceCallsAndAllocationsShareOneNumbering) {
    tSimulatedDeviceTree tree(oneBridge());
    tEmulationScope scope(tree);
    LOG_CONF logConf = 0;
    ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    tStatusBlock status = makeStatusBlock();
    void* buffer = allocateBuffer(20, status);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    releaseBuffer(buffer);

    const auto& log = tree.callLog();
    ASSERT_EQ(log.size(), 3u);  // the release of a buffer is not numbered
    EXPECT_EQ(log[0].call, tSimCall::FirstLogConf);
    EXPECT_EQ(log[1].call, tSimCall::Allocate);
    EXPECT_EQ(log[2].call, tSimCall::FreeLogConf);
    EXPECT_EQ(tree.calls(), 2u);  // service calls only, as before
}

TEST(SimulatedFaults, PlannedFailureHitsExactlyItsCall) {
    tSimulatedDeviceTree tree(oneBridge());
    tree.failCall(2, CR_NO_MORE_LOG_CONF);
    LOG_CONF first = 0;
    LOG_CONF second = 0;
    LOG_CONF third = 0;
    EXPECT_EQ(tree.services().CM_Get_First_Log_Conf(&first, 1, BOOT_LOG_CONF), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Get_First_Log_Conf(&second, 1, BOOT_LOG_CONF), CR_NO_MORE_LOG_CONF);
    EXPECT_EQ(tree.services().CM_Get_First_Log_Conf(&third, 1, BOOT_LOG_CONF), CR_SUCCESS);
    EXPECT_FALSE(tree.callLog()[0].injected);
    EXPECT_TRUE(tree.callLog()[1].injected);
    EXPECT_EQ(tree.callLog()[1].result, CR_NO_MORE_LOG_CONF);
    // The failed call handed out nothing; its output is no handle.
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(second), CR_INVALID_LOG_CONF);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(first), CR_SUCCESS);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(third), CR_SUCCESS);
    EXPECT_EQ(tree.leakReport(), "1 invalid call");
}

TEST(SimulatedFaults, FailedCallsLeaveGarbageInTheirOutputs) {
    tSimulatedDeviceTree tree(oneBridge());
    for (std::uint64_t call = 1; call <= 4; ++call) {
        tree.failCall(call);
    }
    ULONG bits = 0;
    ULONG problem = 0;
    EXPECT_EQ(tree.services().CM_Get_DevNode_Status(&bits, &problem, 1, 0), CR_FAILURE);
    EXPECT_EQ(bits, 0xCCCCCCCCu);  // DN_STARTED and DN_HAS_PROBLEM among them
    EXPECT_EQ(problem, 0xCCCCCCCCu);
    char id[8] = {};
    EXPECT_EQ(tree.services().CM_Get_Device_IDA(1, id, sizeof id, 0), CR_FAILURE);
    EXPECT_NE(id[sizeof id - 1], '\0');
    EXPECT_EQ(tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    tStatusBlock status = makeStatusBlock();
    {
        tEmulationScope scope(tree);
        EXPECT_EQ(allocateBuffer(20, status), nullptr);
    }
    EXPECT_EQ(status.code, kStatusOutOfMemory);
    EXPECT_EQ(tree.leakReport(), "");
}

// The garbage follows the parameters' types: every number written through
// a pointer, a buffer as far as its length (or the count its length points
// to), a record past its own size, which the caller hands in again.
TEST(SimulatedFaults, FailedCallsLeaveGarbageByTheirParametersTypes) {
    tSimulatedDeviceTree tree(oneBridge());
    for (std::uint64_t call = 1; call <= 4; ++call) {
        tree.failCall(call, call == 3 ? static_cast<CONFIGRET>(ERROR_INSUFFICIENT_BUFFER) : CR_FAILURE);
    }
    iDeviceServices& services = tree.services();
    RES_DES next = 0;
    RESOURCEID type = 0;
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&next, 0, ResType_All, &type, 0), CR_FAILURE);
    EXPECT_EQ(static_cast<std::uint32_t>(next), 0xCCCCCCCCu);
    EXPECT_EQ(type, 0xCCCCCCCCu);
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    EXPECT_FALSE(services.SetupDiEnumDeviceInfo(nullptr, 0, &record));
    EXPECT_EQ(record.cbSize, sizeof record);
    EXPECT_EQ(record.DevInst, 0xCCCCCCCCu);
    record.DevInst = 1;
    BYTE buffer[6] = {};
    DWORD required = 0;
    EXPECT_FALSE(services.SetupDiGetDeviceRegistryPropertyA(nullptr, &record, SPDRP_BUSNUMBER, nullptr, buffer,
                                                            sizeof buffer, &required));
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(buffer, buffer + sizeof buffer), std::string(sizeof buffer, '\xCC'));
    EXPECT_EQ(required, 0xCCCCCCCCu);
    EXPECT_EQ(record.DevInst, 1u) << "a record handed in is no output";
    unsigned char value[8] = {};
    DWORD size = 4;
    EXPECT_EQ(services.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, kPciHackFlagsValue, RRF_RT_REG_DWORD,
                                    nullptr, value, &size),
              static_cast<LSTATUS>(CR_FAILURE));
    EXPECT_EQ(std::string(value, value + 8), std::string(4, '\xCC') + std::string(4, '\0'));
    EXPECT_EQ(tree.leakReport(), "");
}

TEST(SimulatedFaults, FailedReleaseStillReleases) {
    tSimulatedDeviceTree tree(oneBridge());
    HDEVINFO set = tree.services().SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    LOG_CONF logConf = 0;
    ASSERT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES descriptor = 0;
    RESOURCEID type = 0;
    ASSERT_EQ(tree.services().CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_SUCCESS);
    tree.failCall(4);
    tree.failCall(5);
    tree.failCall(6);
    EXPECT_EQ(tree.services().CM_Free_Res_Des_Handle(descriptor), CR_FAILURE);
    EXPECT_EQ(tree.services().CM_Free_Log_Conf_Handle(logConf), CR_FAILURE);
    EXPECT_FALSE(tree.services().SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(tree.leakReport(), "");
}

TEST(SimulatedFaults, SuccessIsNoFailure) {
    tSimulatedDeviceTree tree(oneBridge());
    tree.failCall(1, CR_SUCCESS);  // taken as the generic failure
    LOG_CONF logConf = 0;
    EXPECT_EQ(tree.services().CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_FAILURE);
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
