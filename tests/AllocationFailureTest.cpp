// SPDX-License-Identifier: MIT
// Every allocation of a survey over the Linux host reader failed in turn:
// each run must end with the normal report and exit 0, or with the error
// result and exit 1; never abort, and leave nothing allocated or open.
//
// This program replaces operator new (FailingAllocator.cpp), so it is a
// program of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "FailingAllocator.h"
#include "LinuxHostReader.h"
#include "OpenDescriptors.h"
#include "RootBusSurvey.h"
#include "SimulatedDeviceTree.h"

namespace nROOTSCOPE_1_0 {
namespace {

struct tRun {
    int exitCode = -1;
    std::int64_t blocksLeft = 0;  // allocated during the survey, never freed
    std::string report;
};

// One survey of the sysroot, its report read back from a scratch file. With
// `armed`, allocation number gAllocationCounters.failAt of the survey fails.
tRun survey(const std::string& root, std::FILE* scratch, bool armed) {
    std::rewind(scratch);
    tRun run;
    const std::int64_t live = gAllocationCounters.live;
    {
        tLinuxHostDeviceServices services(root);
        tEmulationScope scope(services);
        gAllocationCounters.allocations = 0;
        gAllocationCounters.armed = armed;
        run.exitCode = runRootBusSurvey(scratch, nullptr);
        gAllocationCounters.armed = false;
    }
    run.blocksLeft = gAllocationCounters.live - live;
    const long length = std::ftell(scratch);
    run.report.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    std::rewind(scratch);
    run.report.resize(std::fread(run.report.data(), 1, run.report.size(), scratch));
    return run;
}

class AllocationFailure : public testing::TestWithParam<const char*> {};

TEST_P(AllocationFailure, EveryAllocationOfAHostScanFailedInTurn) {
    const std::string root = std::string(ROOTSCOPE_SYSROOTS_DIR) + "/" + GetParam();
    std::FILE* scratch = std::tmpfile();
    ASSERT_NE(scratch, nullptr);
    const tRun clean = survey(root, scratch, false);
    ASSERT_EQ(clean.exitCode, 0) << clean.report;

    const int descriptors = openDescriptors();
    std::uint64_t failures = 0;
    for (gAllocationCounters.failAt = 1;; ++gAllocationCounters.failAt) {
        const tRun run = survey(root, scratch, true);
        if (gAllocationCounters.allocations < gAllocationCounters.failAt) {
            break;  // the run made fewer allocations: every one has failed once
        }
        ++failures;
        const std::string where = "allocation " + std::to_string(gAllocationCounters.failAt) + "\n" + run.report;
        if (run.exitCode == 0) {
            EXPECT_EQ(run.report, clean.report) << where;
        } else {
            EXPECT_EQ(run.exitCode, 1) << where;
            const bool errorResult =
                run.report.ends_with("This utility ran with error(s).\nResult code: -313569\n") ||
                run.report.ends_with("This utility ran with error(s).\nResult code: -52000\n");
            EXPECT_TRUE(errorResult) << where;
        }
        EXPECT_EQ(run.blocksLeft, 0) << "blocks left allocated, " << where;
        EXPECT_EQ(openDescriptors(), descriptors) << "descriptors left open, " << where;
        if (HasFailure()) {
            break;
        }
    }
    std::fclose(scratch);
    EXPECT_GT(failures, 20u) << "a scan of a machine allocates more than that";
    RecordProperty("allocations_failed", std::to_string(failures));
}

// A kernel log with the range, and an iomem window shared by three bridges.
INSTANTIATE_TEST_SUITE_P(Sysroots, AllocationFailure, testing::Values("kernel_log_range", "shared_ecam"));

}  // namespace
}  // namespace nROOTSCOPE_1_0
