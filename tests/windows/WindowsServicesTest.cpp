// SPDX-License-Identifier: MIT
// The walk over the machine's real device database, through the platform's
// own SetupAPI and configuration-manager services (under Wine, Wine's).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "DevMgr.h"
#include "DeviceServices.h"
#include "StatusBlock.h"

namespace nROOTSCOPE_1_0 {
namespace {

struct tWalkTally {
    unsigned nodes = 0;
    unsigned idsRead = 0;
    unsigned idsTerminated = 0;
};

// Reads each visited node's ID again, as the survey's visitors would.
void tallyNode(HDEVINFO, const SP_DEVINFO_DATA& record, std::uint32_t, void* context, tStatusBlock&) {
    tWalkTally& tally = *static_cast<tWalkTally*>(context);
    ++tally.nodes;
    char id[kInstanceIdBufferSize];
    // Filled so that a read which leaves no terminator cannot pass on a stale zero.
    std::memset(id, 'x', sizeof id);
    if (deviceServices().CM_Get_Device_IDA(record.DevInst, id, static_cast<ULONG>(sizeof id), 0) == CR_SUCCESS) {
        ++tally.idsRead;
        if (std::memchr(id, '\0', sizeof id) != nullptr) {
            ++tally.idsTerminated;
        }
    }
}

TEST(WindowsServices, WalkVisitsEveryNodeAndReadsEachId) {
    static_assert(kInstanceIdBufferSize == 200);
    tWalkTally tally;
    tStatusBlock status = makeStatusBlock();
    forEachMatchingDevice("*", tallyNode, &tally, status);

    EXPECT_GT(tally.nodes, 0u) << "the device database gave no nodes";
    EXPECT_EQ(tally.idsRead, tally.nodes);
    EXPECT_EQ(tally.idsTerminated, tally.nodes);
    EXPECT_EQ(status.code, kStatusSuccess) << "raised at " << status.file << ":" << status.line;
}

}  // namespace
}  // namespace nROOTSCOPE_1_0

namespace nROOTSCOPE_1_0 {
namespace {

// What rootscope-headroom's reader relies on, asked of the real services: a
// registry property of a device is a REG_DWORD of four bytes or is not set;
// the PCI device type is a UINT32 or not found; the tree calls give a member
// of the set or say there is none, and every chain of siblings ends.
//
// "Not set" is ERROR_INVALID_DATA on Windows; Wine 8 leaves
// ERROR_FILE_NOT_FOUND, or no new error (ERROR_NO_MORE_ITEMS from the
// enumeration stays). "None" is CR_NO_SUCH_DEVNODE on Windows; Wine 8
// answers CR_FAILURE, which the reader takes for a failure: under Wine a
// tree below a root bridge could not be read (Wine has no root bridges).
bool notSet(DWORD error) {
    return error == DWORD{ERROR_INVALID_DATA} || error == DWORD{ERROR_NOT_FOUND} ||
           error == DWORD{ERROR_FILE_NOT_FOUND} || error == DWORD{ERROR_NO_MORE_ITEMS};
}

TEST(WindowsServices, PropertiesAndTreeCallsAnswerAsTheHeadroomReaderExpects) {
    iDeviceServices& services = deviceServices();
    const HDEVINFO set = services.SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<SP_DEVINFO_DATA> members;
    for (DWORD index = 0;; ++index) {
        SP_DEVINFO_DATA record;
        std::memset(&record, 0, sizeof record);
        record.cbSize = sizeof record;
        if (!services.SetupDiEnumDeviceInfo(set, index, &record)) {
            break;
        }
        members.push_back(record);
    }
    ASSERT_FALSE(members.empty());
    std::set<DEVINST> nodes;
    for (const SP_DEVINFO_DATA& record : members) {
        nodes.insert(record.DevInst);
    }
    unsigned propertiesSet = 0;
    unsigned children = 0;
    for (SP_DEVINFO_DATA& record : members) {
        for (const DWORD property : {DWORD{SPDRP_BUSNUMBER}, DWORD{SPDRP_ADDRESS}, DWORD{SPDRP_UI_NUMBER}}) {
            DWORD type = 0;
            DWORD value = 0;
            DWORD required = 0;
            if (services.SetupDiGetDeviceRegistryPropertyA(set, &record, property, &type,
                                                           reinterpret_cast<BYTE*>(&value), sizeof value, &required)) {
                EXPECT_EQ(type, DWORD{REG_DWORD}) << "property " << property;
                EXPECT_EQ(required, DWORD{sizeof value}) << "property " << property;
                ++propertiesSet;
            } else {
                EXPECT_TRUE(notSet(services.GetLastError())) << "property " << property << ", error "
                                                             << services.GetLastError();
            }
        }
        DEVPROPTYPE type = 0;
        ULONG deviceType = 0;
        DWORD required = 0;
        if (!services.SetupDiGetDevicePropertyW(set, &record, &kPciDeviceTypeKey, &type,
                                                reinterpret_cast<BYTE*>(&deviceType), sizeof deviceType, &required, 0)) {
            EXPECT_TRUE(notSet(services.GetLastError())) << "error " << services.GetLastError();
        } else {
            EXPECT_EQ(type, DEVPROPTYPE{DEVPROP_TYPE_UINT32});
        }
        DEVINST child = 0;
        CONFIGRET result = services.CM_Get_Child(&child, record.DevInst, 0);
        std::size_t chain = 0;
        while (result == CR_SUCCESS && chain <= nodes.size()) {
            EXPECT_EQ(nodes.count(child), 1u) << "a child outside the device set";
            ++children;
            ++chain;
            result = services.CM_Get_Sibling(&child, child, 0);
        }
        EXPECT_TRUE(result == CONFIGRET{CR_NO_SUCH_DEVNODE} || result == CONFIGRET{CR_FAILURE}) << result;
        EXPECT_LE(chain, nodes.size()) << "a chain of siblings that does not end";
    }
    EXPECT_TRUE(services.SetupDiDestroyDeviceInfoList(set));
    std::printf("%zu devices: %u registry properties set, %u children\n", members.size(), propertiesSet, children);
    RecordProperty("registry_properties_set", static_cast<int>(propertiesSet));
}

}  // namespace
}  // namespace nROOTSCOPE_1_0
