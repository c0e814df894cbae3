// SPDX-License-Identifier: MIT
// The emulated configuration manager: answers and errors as the Windows
// services give them, and one database read for every set.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

// ------------------------------------------- typed descriptors, as laid out

// One field of a descriptor's data: its offset, width and value.
struct tField {
    std::size_t offset;
    std::size_t width;
    std::uint64_t value;
};

struct tDescriptorCase {
    const char* what;
    tDeviceDescriptor descriptor;
    ULONG size;                  // as CM_Get_Res_Des_Data_Size reports it
    std::vector<tField> fields;  // every other byte up to `size` is zero
};

std::uint64_t fieldOf(const std::vector<unsigned char>& bytes, const tField& field) {
    std::uint64_t value = 0;
    std::memcpy(&value, bytes.data() + field.offset, field.width);  // little-endian, as Windows
    return value;
}

TEST(EmulatedConfigManager, EachDescriptorTypeIsLaidOutAsWindowsLaysItOut) {
    constexpr std::uint64_t kHigh = 0x3f'8000'0000ull;  // above 4 GiB: no 32-bit field may hold it
    const tDescriptorCase cases[] = {
        {"bus numbers", {ResType_BusNumber, 0x20, 0x3f, 0, std::nullopt}, 20,
         {{4, 4, 16}, {12, 4, 0x20}, {16, 4, 0x3f}}},
        {"memory", {ResType_Mem, 0xfe00'0000, 0xfe0f'ffff, 0x4, std::nullopt}, 32,
         {{4, 4, 36}, {8, 8, 0xfe00'0000}, {16, 8, 0xfe0f'ffff}, {24, 4, 0x4}}},
        {"large memory, 64-bit", {ResType_MemLarge, kHigh, kHigh + 0xfff'ffff, 0x44, std::nullopt}, 32,
         {{4, 4, 40}, {8, 8, kHigh}, {16, 8, kHigh + 0xfff'ffff}, {24, 4, 0x44}}},
        {"I/O", {ResType_IO, 0xe000, 0xefff, 0x80, std::nullopt}, 28,
         {{4, 4, 40}, {8, 8, 0xe000}, {16, 8, 0xefff}, {24, 4, 0x80}}},
        {"memory cut short", {ResType_Mem, 0x1000, 0x1fff, 0x4, 12}, 12, {{4, 4, 36}, {8, 4, 0x1000}}},
        {"I/O padded", {ResType_IO, 0x3b0, 0x3bb, 0x100, 40}, 40,
         {{4, 4, 40}, {8, 8, 0x3b0}, {16, 8, 0x3bb}, {24, 4, 0x100}}},
        {"an interrupt: zeros", {ResType_IRQ, 5, 5, 1, std::nullopt}, 20, {}},
    };
    for (const tDescriptorCase& c : cases) {
        tDeviceNode device;
        device.id = "PCI\\VEN_8086&DEV_1572\\0";
        device.allocConfig.emplace().descriptors = {c.descriptor};
        tEmulatedConfigManager services({device});
        LOG_CONF logConf = 0;
        RES_DES descriptor = 0;
        RESOURCEID type = ResType_All;
        ASSERT_EQ(services.CM_Get_First_Log_Conf(&logConf, 1, ALLOC_LOG_CONF), CR_SUCCESS) << c.what;
        ASSERT_EQ(services.CM_Get_Next_Res_Des(&descriptor, logConf, ResType_All, &type, 0), CR_SUCCESS) << c.what;
        EXPECT_EQ(type, c.descriptor.type) << c.what;
        ULONG size = 0;
        ASSERT_EQ(services.CM_Get_Res_Des_Data_Size(&size, descriptor, 0), CR_SUCCESS) << c.what;
        EXPECT_EQ(size, c.size) << c.what;
        std::vector<unsigned char> bytes(c.size + 8, 0xAB);
        EXPECT_EQ(services.CM_Get_Res_Des_Data(descriptor, bytes.data(), c.size - 1, 0), CR_BUFFER_SMALL) << c.what;
        ASSERT_EQ(services.CM_Get_Res_Des_Data(descriptor, bytes.data(), c.size, 0), CR_SUCCESS) << c.what;
        std::vector<unsigned char> expected(c.size, 0);
        for (const tField& field : c.fields) {
            EXPECT_EQ(fieldOf(bytes, field), field.value) << c.what << " at offset " << field.offset;
            std::memcpy(expected.data() + field.offset, &field.value, field.width);
        }
        EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + c.size), expected)
            << c.what << ": only the fields, zeros elsewhere";
        EXPECT_EQ(bytes[c.size], 0xAB) << c.what << ": nothing written past the size";
        EXPECT_EQ(services.CM_Free_Res_Des_Handle(descriptor), CR_SUCCESS);
        EXPECT_EQ(services.CM_Free_Log_Conf_Handle(logConf), CR_SUCCESS);
        EXPECT_EQ(services.leakReport(), "") << c.what;
    }
}

// ------------------------------------ status, properties and the registry

TEST(EmulatedConfigManager, ProblemAndBarTypesAreServed) {
    tDeviceNode failed;
    failed.id = "PCI\\VEN_10B5&DEV_8724\\0";
    failed.problem = CM_PROB_NORMAL_CONFLICT;
    failed.barTypes = 0x0100'0101;
    tDeviceNode running;
    running.id = "PCI\\VEN_10B5&DEV_8724\\1";
    running.started = true;
    tEmulatedConfigManager services({failed, running});
    const struct {
        DEVINST node;
        ULONG status;
        ULONG problem;
        bool hasBarTypes;
    } rows[] = {{1, DN_HAS_PROBLEM, CM_PROB_NORMAL_CONFLICT, true}, {2, DN_STARTED, 0, false}};
    HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    for (const auto& row : rows) {
        ULONG status = 0xdead;
        ULONG problem = 0xdead;
        ASSERT_EQ(services.CM_Get_DevNode_Status(&status, &problem, row.node, 0), CR_SUCCESS);
        EXPECT_EQ(status, row.status) << row.node;
        EXPECT_EQ(problem, row.problem) << row.node;
        SP_DEVINFO_DATA record{};
        record.cbSize = sizeof record;
        record.DevInst = row.node;
        DEVPROPTYPE valueType = 0;
        ULONG value = 0;
        DWORD required = 0;
        EXPECT_EQ(services.SetupDiGetDevicePropertyW(set, &record, &kPciBarTypesKey, &valueType,
                                                     reinterpret_cast<BYTE*>(&value), sizeof value, &required, 0),
                  row.hasBarTypes ? TRUE : FALSE)
            << row.node;
        EXPECT_EQ(value, row.hasBarTypes ? 0x0100'0101u : 0u) << row.node;
        if (!row.hasBarTypes) {
            EXPECT_EQ(services.GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
        }
    }
    EXPECT_TRUE(services.SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(services.leakReport(), "");
}

TEST(EmulatedConfigManager, HackFlagsAreReadAsTheRegistryGivesThem) {
    const struct {
        const char* what;
        tHackFlags flags;
        DWORD typeFlags;
        DWORD given;  // the buffer's size; 0: no buffer, a size query
        LSTATUS result;
        DWORD size;  // what dataSize says after the call
        DWORD value;
    } rows[] = {
        {"set", {0x600, false}, RRF_RT_REG_DWORD, 4, ERROR_SUCCESS, 4, 0x600},
        {"size query", {0x600, false}, RRF_RT_REG_DWORD, 0, ERROR_SUCCESS, 4, 0},
        {"not set", {std::nullopt, false}, RRF_RT_REG_DWORD, 4, ERROR_FILE_NOT_FOUND, 4, 0},
        {"unreadable", {0x400, true}, RRF_RT_REG_DWORD, 4, ERROR_ACCESS_DENIED, 4, 0},
        {"buffer too small", {0x400, false}, RRF_RT_REG_DWORD, 2, ERROR_MORE_DATA, 4, 0},
        {"asked for another type", {0x400, false}, 0x2 /* RRF_RT_REG_SZ */, 4, ERROR_UNSUPPORTED_TYPE, 4, 0},
    };
    for (const auto& row : rows) {
        tEmulatedConfigManager services(tDeviceTable{}, row.flags);
        DWORD value = 0;
        DWORD size = row.given;
        DWORD valueType = 0;
        EXPECT_EQ(services.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, kPciHackFlagsValue, row.typeFlags,
                                        &valueType, row.given != 0 ? &value : nullptr, &size),
                  row.result)
            << row.what;
        EXPECT_EQ(size, row.size) << row.what;
        EXPECT_EQ(value, row.value) << row.what;
        EXPECT_EQ(services.RegGetValueA(HKEY_LOCAL_MACHINE, kPciHackFlagsKey, "Other", row.typeFlags, nullptr,
                                        nullptr, nullptr),
                  ERROR_FILE_NOT_FOUND)
            << row.what << ": no other value is held";
        EXPECT_EQ(services.leakReport(), "") << row.what;
    }
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
