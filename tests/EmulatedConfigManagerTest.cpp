// SPDX-License-Identifier: MIT
// The emulated configuration manager: answers and errors as the Windows
// services give them, and one database read for every set.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "EmulatedConfigManager.h"

namespace nROOTSCOPE_1_0 {
namespace {

tDeviceTable oneBridge() {
    tDeviceNode bridge;
    bridge.id = "ACPI\\PNP0A08\\0";
    bridge.started = true;
    bridge.bootConfig.emplace().descriptors = {{ResType_Mem, 0, 0, 0, 64}, {ResType_BusNumber, 0x20, 0x3f, 0, 20}};
    return {bridge};
}

TEST(EmulatedConfigManager, BootConfigurationIsWalkedAsAResourceList) {
    tEmulatedConfigManager services(oneBridge());
    LOG_CONF logConf = 0;
    ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, 1, BOOT_LOG_CONF), CR_SUCCESS);
    EXPECT_EQ(services.CM_Get_First_Log_Conf(&logConf, 1, 2 /* allocated */), CR_NO_MORE_LOG_CONF);
    RES_DES memory = 0;
    RES_DES busNumbers = 0;
    RESOURCEID type = ResType_All;
    ASSERT_EQ(services.CM_Get_Next_Res_Des(&memory, logConf, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(type, static_cast<RESOURCEID>(ResType_Mem));
    ASSERT_EQ(services.CM_Get_Next_Res_Des(&busNumbers, memory, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(type, static_cast<RESOURCEID>(ResType_BusNumber));
    RES_DES after = 0;
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&after, busNumbers, ResType_All, &type, 0), CR_NO_MORE_RES_DES);
    // Asked for one type, the walk skips the others; of a type the
    // configuration does not hold there is none.
    ASSERT_EQ(services.CM_Get_Next_Res_Des(&after, logConf, ResType_BusNumber, &type, 0), CR_SUCCESS);
    EXPECT_EQ(type, static_cast<RESOURCEID>(ResType_BusNumber));
    ULONG size = 0;
    EXPECT_EQ(services.CM_Get_Res_Des_Data_Size(&size, after, 0), CR_SUCCESS);
    EXPECT_EQ(size, 20u) << "the bus-number descriptor, not the 64-byte memory one";
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(after), CR_SUCCESS);
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&after, logConf, ResType_IRQ, nullptr, 0), CR_NO_MORE_RES_DES);

    ASSERT_EQ(services.CM_Get_Res_Des_Data_Size(&size, busNumbers, 0), CR_SUCCESS);
    EXPECT_EQ(size, 20u);
    unsigned char small[19];
    EXPECT_EQ(services.CM_Get_Res_Des_Data(busNumbers, small, sizeof small, 0), CR_BUFFER_SMALL);
    std::uint32_t words[5] = {9, 9, 9, 9, 9};
    ASSERT_EQ(services.CM_Get_Res_Des_Data(busNumbers, words, sizeof words, 0), CR_SUCCESS);
    // No range records, the range type, no flags, the allocated base and end.
    EXPECT_EQ(std::vector<std::uint32_t>(words, words + 5), (std::vector<std::uint32_t>{0, 16, 0, 0x20, 0x3f}));

    // As on Windows, a descriptor outlives its log conf until it is freed.
    EXPECT_EQ(services.CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    EXPECT_EQ(services.CM_Get_Res_Des_Data_Size(&size, busNumbers, 0), CR_SUCCESS);
    EXPECT_EQ(services.leakReport(), "2 descriptor handles");
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(memory), CR_SUCCESS);
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(busNumbers), CR_SUCCESS);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(EmulatedConfigManager, EnumerationLeavesTheErrorWindowsWould) {
    tEmulatedConfigManager services(oneBridge());
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    EXPECT_TRUE(services.SetupDiEnumDeviceInfo(set, 0, &record));
    EXPECT_EQ(record.DevInst, 1u);
    EXPECT_FALSE(services.SetupDiEnumDeviceInfo(set, 1, &record));
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    record.cbSize = 28;  // a 32-bit program's record
    EXPECT_FALSE(services.SetupDiEnumDeviceInfo(set, 0, &record));
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(services.SetupDiDestroyDeviceInfoList(set));
    record.cbSize = sizeof record;
    EXPECT_FALSE(services.SetupDiEnumDeviceInfo(set, 0, &record));
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(services.SetupDiGetClassDevsA(nullptr, "PCI", nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(services.leakReport(), "2 invalid calls");
}

// A database read for the first set and kept for every later one; a read
// that fails is not kept, so the next set tries again.
TEST(EmulatedConfigManager, DatabaseIsReadOnceForEverySetAndAFailedReadIsRetried) {
    int reads = 0;
    tEmulatedConfigManager services([&reads](tDeviceTable& table, std::string& failure) {
        table = oneBridge();
        failure = reads == 0 ? "/sys/bus/acpi/devices: Input/output error" : "";
        return ++reads > 1;
    });
    EXPECT_EQ(services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(services.describeDatabaseFailure(), "/sys/bus/acpi/devices: Input/output error");
    for (int walk = 0; walk < 3; ++walk) {
        HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(services.SetupDiDestroyDeviceInfoList(set));
    }
    EXPECT_EQ(reads, 2);
    EXPECT_EQ(services.setsOpened(), 3u);
    EXPECT_EQ(services.describeDatabaseFailure(), "");
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
