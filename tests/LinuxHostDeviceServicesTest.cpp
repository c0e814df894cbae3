// The Linux host services over the golden sysroot fixtures: handle rules
// and results as the Windows services give them, and reading the log once.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "LinuxHostDeviceServices.h"

namespace nROOTSCOPE_1_0 {
namespace {

std::string sysroot(const char* name) {
    return std::string(ROOTSCOPE_SYSROOTS_DIR) + "/" + name;
}

// Opens a set and returns the DEVINST of the entry whose ID is `id`.
DEVINST findNode(tLinuxHostDeviceServices& services, const std::string& id) {
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    DEVINST found = 0;
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD index = 0; services.SetupDiEnumDeviceInfo(set, index, &record); ++index) {
        char buffer[MAX_DEVICE_ID_LEN];
        if (services.CM_Get_Device_IDA(record.DevInst, buffer, sizeof buffer, 0) == CR_SUCCESS && id == buffer) {
            found = record.DevInst;
        }
    }
    services.SetupDiDestroyDeviceInfoList(set);
    return found;
}

std::vector<std::string> idsOf(tLinuxHostDeviceServices& services) {
    std::vector<std::string> ids;
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    for (DWORD index = 0; services.SetupDiEnumDeviceInfo(set, index, &record); ++index) {
        char buffer[MAX_DEVICE_ID_LEN];
        services.CM_Get_Device_IDA(record.DevInst, buffer, sizeof buffer, 0);
        ids.emplace_back(buffer);
    }
    services.SetupDiDestroyDeviceInfoList(set);
    return ids;
}

TEST(LinuxHostServices, SetCoversEveryEntryInNameOrderAndNumbersStayPut) {
    tLinuxHostDeviceServices services(sysroot("shared_ecam"));
    const std::vector<std::string> expected = {"ACPI\\LNXSYBUS\\0", "ACPI\\LNXSYSTM\\0", "ACPI\\PNP0A03\\1",
                                               "ACPI\\PNP0A08\\2", "ACPI\\PNP0A08\\1"};
    EXPECT_EQ(idsOf(services), expected);
    const DEVINST first = findNode(services, "ACPI\\PNP0A08\\2");
    EXPECT_NE(first, 0u);
    EXPECT_EQ(findNode(services, "ACPI\\PNP0A08\\2"), first);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(LinuxHostServices, SetCreationFailsWithoutSysAndYieldsNothingWithoutAcpi) {
    tLinuxHostDeviceServices missing(sysroot("missing_sys"));
    EXPECT_EQ(missing.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(missing.setsHeld(), 0u);

    tLinuxHostDeviceServices noRoot(sysroot("no_such_directory"));
    EXPECT_EQ(noRoot.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);

    tLinuxHostDeviceServices noAcpi(sysroot("no_acpi"));
    EXPECT_TRUE(idsOf(noAcpi).empty());
    EXPECT_EQ(noAcpi.leakReport(), "");
}

TEST(LinuxHostServices, BootConfigurationHoldsOneBusNumberDescriptorThenEnds) {
    tLinuxHostDeviceServices services(sysroot("kernel_log_range"));
    const DEVINST node = findNode(services, "ACPI\\PNP0A08\\0");
    ASSERT_NE(node, 0u);

    LOG_CONF logConf = 0;
    ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, node, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES descriptor = 0;
    RESOURCEID type = ResType_All;
    ASSERT_EQ(services.CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(type, static_cast<RESOURCEID>(ResType_BusNumber));

    ULONG size = 0;
    ASSERT_EQ(services.CM_Get_Res_Des_Data_Size(&size, descriptor, 0), CR_SUCCESS);
    EXPECT_EQ(size, 20u);
    unsigned char small[19];
    EXPECT_EQ(services.CM_Get_Res_Des_Data(descriptor, small, sizeof small, 0), CR_BUFFER_SMALL);
    std::uint32_t words[5] = {9, 9, 9, 9, 9};
    ASSERT_EQ(services.CM_Get_Res_Des_Data(descriptor, words, sizeof words, 0), CR_SUCCESS);
    EXPECT_EQ(words[0], 1u);     // count
    EXPECT_EQ(words[1], 16u);    // type: one range record
    EXPECT_EQ(words[2], 0u);     // flags
    EXPECT_EQ(words[3], 0u);     // base
    EXPECT_EQ(words[4], 0x3fu);  // end, from the kernel log rather than the wider window

    RES_DES after = 0;
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&after, descriptor, ResType_All, &type, 0), CR_NO_MORE_RES_DES);
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&after, logConf, ResType_Mem, &type, 0), CR_NO_MORE_RES_DES);

    // Like Windows: the descriptor outlives its log conf until it is freed.
    EXPECT_EQ(services.CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    EXPECT_EQ(services.CM_Get_Res_Des_Data_Size(&size, descriptor, 0), CR_SUCCESS);
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(descriptor), CR_SUCCESS);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(LinuxHostServices, FreedOrForeignHandlesAreRefusedAndCounted) {
    tLinuxHostDeviceServices services(sysroot("kernel_log_range"));
    const DEVINST node = findNode(services, "ACPI\\PNP0A08\\0");
    LOG_CONF logConf = 0;
    ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, node, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES descriptor = 0;
    RESOURCEID type = 0;
    ASSERT_EQ(services.CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_SUCCESS);
    EXPECT_EQ(services.leakReport(), "1 log-configuration handle, 1 descriptor handle");

    EXPECT_EQ(services.CM_Free_Res_Des_Handle(descriptor), CR_SUCCESS);
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(descriptor), static_cast<CONFIGRET>(CR_INVALID_RES_DES));
    ULONG size = 0;
    EXPECT_EQ(services.CM_Get_Res_Des_Data_Size(&size, descriptor, 0), static_cast<CONFIGRET>(CR_INVALID_RES_DES));
    EXPECT_EQ(services.CM_Free_Res_Des_Handle(logConf), static_cast<CONFIGRET>(CR_INVALID_RES_DES));
    EXPECT_EQ(services.CM_Free_Log_Conf_Handle(descriptor), static_cast<CONFIGRET>(CR_INVALID_LOG_CONF));
    EXPECT_EQ(services.CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0),
              static_cast<CONFIGRET>(CR_INVALID_RES_DES));

    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    EXPECT_TRUE(services.SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(services.SetupDiDestroyDeviceInfoList(set));
    SP_DEVINFO_DATA record{};
    record.cbSize = sizeof record;
    EXPECT_FALSE(services.SetupDiEnumDeviceInfo(set, 0, &record));
    EXPECT_EQ(services.leakReport(), "7 invalid calls");
}

TEST(LinuxHostServices, OnlyStartedHostBridgesHaveABootConfiguration) {
    tLinuxHostDeviceServices services(sysroot("malformed"));
    struct tCase {
        const char* id;
        CONFIGRET result;
    };
    const tCase cases[] = {
        {"ACPI\\PNP0A08\\0", CR_SUCCESS},             // started, bound to pci0000:00
        {"ACPI\\PNP0A08\\2", CR_NO_MORE_LOG_CONF},    // physical_node is a symlink loop
        {"ACPI\\PNP0A08\\3", CR_NO_MORE_LOG_CONF},    // bound to something not a host bridge
        {"ACPI\\PNP0A08\\31", CR_NO_MORE_LOG_CONF},   // status unreadable as a number
        {"ACPI\\PNP0A08\\PNP0A08:zz", CR_NO_MORE_LOG_CONF},  // never bound
    };
    for (const tCase& c : cases) {
        const DEVINST node = findNode(services, c.id);
        ASSERT_NE(node, 0u) << c.id;
        LOG_CONF logConf = 0;
        EXPECT_EQ(services.CM_Get_First_Log_Conf(&logConf, node, BOOT_LOG_CONF), c.result) << c.id;
        if (c.result == CR_SUCCESS) {
            services.CM_Free_Log_Conf_Handle(logConf);
        }
        EXPECT_EQ(services.CM_Get_First_Log_Conf(&logConf, node, 2 /* allocated */), CR_NO_MORE_LOG_CONF) << c.id;
    }
    EXPECT_EQ(services.CM_Get_First_Log_Conf(nullptr, 1, BOOT_LOG_CONF), CR_INVALID_POINTER);
    LOG_CONF logConf = 0;
    EXPECT_EQ(services.CM_Get_First_Log_Conf(&logConf, 0, BOOT_LOG_CONF), CR_INVALID_DEVNODE);
    EXPECT_EQ(services.CM_Get_First_Log_Conf(&logConf, 10000, BOOT_LOG_CONF), CR_INVALID_DEVNODE);
}

TEST(LinuxHostServices, NoRangeSourceGivesAConfigurationWithoutDescriptors) {
    tLinuxHostDeviceServices services(sysroot("no_range_source"));
    const DEVINST node = findNode(services, "ACPI\\PNP0A08\\0");
    LOG_CONF logConf = 0;
    ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, node, BOOT_LOG_CONF), CR_SUCCESS);
    RES_DES descriptor = 0;
    RESOURCEID type = 0;
    EXPECT_EQ(services.CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_NO_MORE_RES_DES);
    EXPECT_EQ(services.CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
    EXPECT_EQ(services.leakReport(), "");
}

TEST(LinuxHostServices, KernelLogAndIomemAreReadOnceForAllRangeReads) {
    tLinuxHostDeviceServices services(sysroot("shared_ecam"));
    EXPECT_EQ(services.kernelLogReads(), 0u);  // nothing read before a range is asked for
    EXPECT_EQ(services.configWindowReads(), 0u);
    for (int round = 0; round < 3; ++round) {
        for (const char* id : {"ACPI\\PNP0A03\\1", "ACPI\\PNP0A08\\2", "ACPI\\PNP0A08\\1"}) {
            LOG_CONF logConf = 0;
            ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, findNode(services, id), BOOT_LOG_CONF), CR_SUCCESS);
            services.CM_Free_Log_Conf_Handle(logConf);
        }
    }
    EXPECT_EQ(services.kernelLogReads(), 1u);
    EXPECT_EQ(services.configWindowReads(), 1u);  // no log here: every range comes from iomem
}

TEST(LinuxHostServices, IomemIsNotReadWhenTheKernelLogGivesEveryRange) {
    tLinuxHostDeviceServices services(sysroot("kernel_log_range"));
    LOG_CONF logConf = 0;
    ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, findNode(services, "ACPI\\PNP0A08\\0"), BOOT_LOG_CONF),
              CR_SUCCESS);
    services.CM_Free_Log_Conf_Handle(logConf);
    EXPECT_EQ(services.kernelLogReads(), 1u);
    EXPECT_EQ(services.configWindowReads(), 0u);
}

TEST(LinuxHostServices, TheDeviceDirectoryIsReadOnceForEverySet) {
    tLinuxHostDeviceServices services(sysroot("shared_ecam"));
    EXPECT_EQ(services.deviceTableReads(), 0u);
    const std::vector<std::string> first = idsOf(services);
    for (int walk = 0; walk < 5; ++walk) {
        EXPECT_EQ(idsOf(services), first);
    }
    EXPECT_EQ(services.deviceTableReads(), 1u);

    // A failed read is not kept: each set tries again.
    tLinuxHostDeviceServices missing(sysroot("missing_sys"));
    EXPECT_EQ(missing.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(missing.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES), INVALID_HANDLE_VALUE);
    EXPECT_EQ(missing.deviceTableReads(), 0u);
}

TEST(LinuxHostServices, IdBufferMustHoldTheTerminator) {
    tLinuxHostDeviceServices services(sysroot("this_vm"));
    const DEVINST node = findNode(services, "ACPI\\PNP0A08\\0");
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(services.CM_Get_Device_IDA(node, buffer, 14, 0), CR_BUFFER_SMALL);  // 14 characters, no room
    EXPECT_EQ(services.CM_Get_Device_IDA(node, buffer, 15, 0), CR_SUCCESS);
    EXPECT_STREQ(buffer, "ACPI\\PNP0A08\\0");
    EXPECT_EQ(services.CM_Get_Device_IDA(node, nullptr, 15, 0), CR_INVALID_POINTER);
    EXPECT_EQ(services.CM_Get_Device_IDA(node, buffer, 15, 1), CR_INVALID_FLAG);

    ULONG status = 0;
    ULONG problem = 0;
    EXPECT_EQ(services.CM_Get_DevNode_Status(&status, &problem, node, 0), CR_SUCCESS);
    EXPECT_EQ(status, static_cast<ULONG>(DN_STARTED));
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
