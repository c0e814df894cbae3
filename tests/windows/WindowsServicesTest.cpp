// The walk over the machine's real device database, through the platform's
// own SetupAPI and configuration-manager services (under Wine, Wine's).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

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
